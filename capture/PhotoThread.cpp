#include "PhotoThread.h"

#include "CaptureView.h"
#include "platform/Clock.h"
#include "Jpeg.h"
#include "texts/Lang.h"
#include "phone/PhoneLink.h"
#include "config/Settings.h"
#include "platform/UiThread.h"
#include "texts/LangTexts.h"

#include <QLoggingCategory>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

Q_LOGGING_CATEGORY(lcCapture, "orvello.capture")

namespace orv {
namespace {

// Room taken for the download up front; the link grows the buffer for a
// larger picture.
constexpr size_t kPictureBufferSize = 131072;
constexpr uint32_t kOpenModeRead = 0;

QString Text(const char* key, const QString& builtIn)
{
    return LangText(QStringLiteral("STRS"), QString::fromLatin1(key), builtIn);
}

// A waiting time from the settings; a negative value waits not at all.
uint32_t Milliseconds(int value) { return value > 0 ? static_cast<uint32_t>(value) : 0u; }

// Waits are taken in slices of this length, so that a stop is seen soon.
constexpr uint32_t kWaitSliceMs = 100;

// Hands the download's byte count to the window without making the reading
// thread wait. At most one hand-over is queued at a time; it shows the latest
// count when it runs, so a fast download does not flood the event queue.
class ProgressRelay {
public:
    explicit ProgressRelay(CaptureView& view) : view_(view) {}

    // Runs on the photo thread, once per block read.
    static void Report(const std::shared_ptr<ProgressRelay>& relay, size_t bytes)
    {
        relay->latest_ = static_cast<long long>(bytes);
        if (relay->queued_.exchange(true))
            return;
        PostToUiThread([relay] {
            // On the user-interface thread.
            relay->queued_ = false;
            relay->view_.ShowDownloadProgress(relay->latest_.load());
        });
    }

private:
    CaptureView& view_;
    std::atomic<long long> latest_{0};
    std::atomic<bool> queued_{false};
};

}  // namespace

PhotoThread::PhotoThread(CaptureView& view, const Settings& settings, phone::PhoneLink& link,
                     std::function<void()> finished)
    : view_(view), settings_(settings), link_(link), phoneFile_(settings.GetTempJpgName())
{
    if (finished)
        OnTerminate = [finished = std::move(finished)](WorkerThread*) { finished(); };
    SetFreeOnTerminate(true);
    Start();
}

void PhotoThread::Run()
{
    if (!link_.IsConnected())
        return;
    // The whole capture, camera on to camera off, is one turn of the camera.
    std::lock_guard turn(link_.CaptureTurn());
    // A reply that keeps the photo waiting is shown in the work panel.
    Control().SetLateNotice(phone::kLateReplyMs, [this](bool late) { ShowLate(late); });

    bool setUp = true;
    bool download = true;
    QString captureTime;

    ShowStatus(Text("STR11", QStringLiteral("Статус: Инициализация камеры...")));
    if (link_.CameraOn(static_cast<uint8_t>(settings_.GetJpgType())) != phone::kOk) {
        ShowError(Text("STR9", QStringLiteral("Невозможна инициализация камеры!")));
        setUp = false;
        download = false;
    }

    if (setUp) {
        link_.SetLighting(static_cast<uint8_t>(settings_.GetAmbientLight() + 1));
        link_.SetExposure(static_cast<uint8_t>(settings_.GetExpose() + 1));
        WaitUnlessStopped(Milliseconds(settings_.GetCameraInitTime()));
        ShowStatus(Text("STR12", QStringLiteral("Статус: Снимаю")));
        captureTime = QString::fromStdString(FormatStampTime(TheClock().Now()));
        if (link_.TakePicture(phoneFile_.toStdString()) != phone::kOk) {
            ShowError(Text("STR10", QStringLiteral("Не могу снять!")));
            download = false;
        }
    }

    // Also after a failed set-up: the phone gets its time before the camera
    // is switched off.
    WaitUnlessStopped(Milliseconds(settings_.GetTimeout()));

    if (download)
        Download(captureTime);

    ShowStatus(Text("STR15", QStringLiteral("Статус: Деинициализация камеры...")));
    if (link_.CameraOff() != phone::kOk)
        ShowError(Text("STR16", QStringLiteral("Невозможна деинициализация камеры!")));
    ShowStatus(LangText(txt::kStr3Idle));
}

void PhotoThread::Download(const QString& captureTime)
{
    const std::string path = phoneFile_.toStdString();

    // A file left open by an earlier capture would block the open.
    link_.ClosePhoneFile();
    ShowStatus(Text("STR13", QStringLiteral("Статус: Сливаю...")));

    // One more attempt at once: the phone may still be writing the file.
    const bool opened = link_.OpenPhoneFile(path, kOpenModeRead) == phone::kOk
                        || link_.OpenPhoneFile(path, kOpenModeRead) == phone::kOk;
    if (!opened) {
        ShowError(Text("STR14", QStringLiteral("Не могу прочитать, увеличте значение таймаута.")));
    } else if (!ReadAndShow(captureTime)) {
        Synchronize([this] { view_.ShowDownloadProgress(-1); });
    }

    link_.ClosePhoneFile();
    link_.DeletePhoneFile(path);
}

bool PhotoThread::ReadAndShow(const QString& captureTime)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(kPictureBufferSize);
    int32_t total = 0;
    auto relay = std::make_shared<ProgressRelay>(view_);
    const auto progress = [relay](size_t count) { ProgressRelay::Report(relay, count); };
    if (link_.ReadPhoneFile(bytes, total, progress) != phone::kOk) {
        qCWarning(lcCapture) << "the picture could not be read from the phone";
        return false;
    }

    const size_t length = std::min(bytes.size(), static_cast<size_t>(std::max<int32_t>(total, 0)));
    QImage picture;
    QString error;
    bool cutShort = false;
    if (!DecodeJpeg(bytes.data(), length, &picture, &error, &cutShort)) {
        qCWarning(lcCapture).noquote() << "picture of" << length << "bytes from the phone:" << error;
        return false;
    }
    // Shown all the same, grey where its data are missing: the sign that
    // the phone was still writing it, and the waiting time should be longer.
    if (cutShort)
        qCWarning(lcCapture) << "the picture of" << length << "bytes from the phone is cut short";
    if (settings_.GetPrintDateOnImage())
        DrawDateStamp(picture, captureTime);
    ShowPicture(picture);
    return true;
}

void PhotoThread::WaitUnlessStopped(uint32_t milliseconds)
{
    while (milliseconds > 0 && !Terminated()) {
        const uint32_t slice = std::min(milliseconds, kWaitSliceMs);
        TheClock().Sleep(slice);
        milliseconds -= slice;
    }
}

void PhotoThread::ShowLate(bool late)
{
    // On the photo thread, inside the wait: the panel changes without the
    // thread waiting for the window.
    const QString text = late ? LangText(txt::kPhoneLate) : statusText_;
    CaptureView* const view = &view_;
    PostToUiThread([view, text] { view->ShowWorkStatus(text); });
}

void PhotoThread::ShowStatus(const QString& text)
{
    statusText_ = text;
    Synchronize([this] { view_.ShowWorkStatus(statusText_); });
}

void PhotoThread::ShowError(const QString& text)
{
    // A photo stopped as the program ends fails its commands on purpose:
    // nothing to tell.
    if (Terminated())
        return;
    const QString status = statusText_;
    statusText_ = text;
    Synchronize([this] { view_.ShowMessageText(statusText_); });
    statusText_ = status;
}

void PhotoThread::ShowPicture(const QImage& picture)
{
    Synchronize([this, &picture] {
        view_.ShowDownloadProgress(-1);
        view_.ShowPicture(picture);
    });
}

}  // namespace orv
