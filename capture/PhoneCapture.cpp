#include "PhoneCapture.h"

#include "DateStamp.h"
#include "Jpeg.h"
#include "config/Settings.h"
#include "platform/Clock.h"
#include "platform/ControlPipe.h"

#include <QLoggingCategory>
#include <QString>

#include <algorithm>

Q_LOGGING_CATEGORY(lcPhoneCapture, "orvello.capture")

namespace orv {
namespace {

// Room taken for the download up front; the link grows it for a larger
// picture.
constexpr size_t kPictureBufferSize = 131072;
constexpr uint32_t kOpenModeRead = 0;
// Waits are taken in slices of this length, so that a stop is seen soon.
constexpr uint32_t kWaitSliceMs = 100;

}  // namespace

uint32_t WaitingTime(int milliseconds) { return milliseconds > 0 ? static_cast<uint32_t>(milliseconds) : 0u; }

CapturePlan CapturePlan::FromSettings(const Settings& settings, const std::string& phoneFile)
{
    CapturePlan plan;
    plan.phoneFile = phoneFile;
    plan.pictureType = static_cast<uint8_t>(settings.GetJpgType());
    plan.lighting = static_cast<uint8_t>(settings.GetAmbientLight() + 1);
    plan.exposure = static_cast<uint8_t>(settings.GetExpose() + 1);
    plan.settleMs = WaitingTime(settings.GetCameraInitTime());
    plan.afterShotMs = WaitingTime(settings.GetTimeout());
    plan.dateStamp = settings.GetPrintDateOnImage();
    return plan;
}

PhoneCapture::PhoneCapture(phone::PhoneLink& link, CapturePlan plan, std::function<bool()> stopped, Hooks hooks)
    : link_(link), plan_(std::move(plan)), stopped_(std::move(stopped)), hooks_(std::move(hooks)),
      turn_(link.CaptureTurn())
{
    if (TransferControl* const control = CurrentTransferControl(); control && hooks_.late)
        control->SetLateNotice(phone::kLateReplyMs, hooks_.late);
}

PhoneCapture::~PhoneCapture() = default;

bool PhoneCapture::SwitchOn()
{
    if (Stopped() || link_.CameraOn(plan_.pictureType) != phone::kOk)
        return false;
    if (plan_.lighting && !Stopped())
        link_.SetLighting(*plan_.lighting);
    if (plan_.exposure && !Stopped())
        link_.SetExposure(*plan_.exposure);
    Wait(plan_.settleMs);
    return true;
}

CapturedPicture PhoneCapture::TakePicture()
{
    using Outcome = CapturedPicture::Outcome;
    CapturedPicture result;
    if (hooks_.step)
        hooks_.step(Step::Shooting);
    const QString stamp = QString::fromStdString(FormatStampTime(TheClock().Now()));
    if (Stopped() || link_.TakePicture(plan_.phoneFile) != phone::kOk)
        return result;
    result.outcome = Outcome::NotOpened;
    Wait(plan_.afterShotMs);
    if (Stopped())
        return result;

    // A file left open by an earlier capture would block the open.
    link_.ClosePhoneFile();
    if (hooks_.step)
        hooks_.step(Step::Downloading);
    if (Stopped())
        return result;
    // One more attempt at once: the phone may still be writing the file.
    if (link_.OpenPhoneFile(plan_.phoneFile, kOpenModeRead) != phone::kOk &&
        link_.OpenPhoneFile(plan_.phoneFile, kOpenModeRead) != phone::kOk) {
        if (!Stopped())
            qCWarning(lcPhoneCapture) << "the picture file could not be opened on the phone";
        return result;
    }

    result.outcome = Outcome::NotRead;
    download_.clear();
    if (download_.capacity() < kPictureBufferSize)
        download_.reserve(kPictureBufferSize);
    int32_t total = 0;
    if (Stopped() || link_.ReadPhoneFile(download_, total, hooks_.progress) != phone::kOk) {
        // A stop ends the read: no fault of the phone's.
        if (!Stopped())
            qCWarning(lcPhoneCapture) << "the picture could not be read from the phone";
        return result;
    }
    if (!plan_.decode) {
        result.outcome = Outcome::Downloaded;
        return result;
    }

    const size_t length = std::min(download_.size(), static_cast<size_t>(std::max<int32_t>(total, 0)));
    QString error;
    if (!DecodeJpeg(download_.data(), length, &result.picture, &error, &result.cutShort)) {
        qCWarning(lcPhoneCapture).noquote() << "picture of" << length << "bytes from the phone:" << error;
        result.outcome = Outcome::NotAPicture;
        result.picture = QImage();
        return result;
    }
    // Kept all the same, grey where its data are missing: the sign that the
    // phone was still writing it, and the waiting time should be longer.
    if (result.cutShort)
        qCWarning(lcPhoneCapture) << "the picture of" << length << "bytes from the phone is cut short";
    if (hooks_.decoded)
        hooks_.decoded(result.picture);
    if (plan_.dateStamp)
        DrawDateStamp(result.picture, stamp);
    result.outcome = Outcome::Picture;
    return result;
}

void PhoneCapture::DeletePhoneFile()
{
    Tidy([this] {
        link_.ClosePhoneFile();
        return link_.DeletePhoneFile(plan_.phoneFile) == phone::kOk;
    });
}

bool PhoneCapture::SwitchOff()
{
    return Tidy([this] { return link_.CameraOff() == phone::kOk; });
}

void PhoneCapture::Wait(uint32_t milliseconds)
{
    // The thread shows life while it waits on purpose.
    TransferControl* const control = CurrentTransferControl();
    while (milliseconds > 0 && !Stopped()) {
        const uint32_t slice = std::min(milliseconds, kWaitSliceMs);
        if (control)
            control->Beat();
        TheClock().Sleep(slice);
        milliseconds -= slice;
    }
}

bool PhoneCapture::Tidy(const std::function<bool()>& commands)
{
    if (!Stopped())
        return commands();
    if (plan_.stopGraceMs == 0)
        return false;
    // The stop may have ended this thread's exchanges for good: what tidies
    // up goes out under a control of its own, which gives the phone the
    // grace in all from the first of these commands.
    if (!tidying_) {
        tidying_ = std::make_unique<TransferControl>();
        tidying_->SetDeadline(TheClock().TickCount() + plan_.stopGraceMs);
    }
    const TransferControlScope scope(tidying_.get());
    return commands();
}

}  // namespace orv
