#include "PhotoThread.h"

#include "PhoneCapture.h"
#include "config/Settings.h"
#include "phone/PhoneLink.h"
#include "platform/UiThread.h"

#include <atomic>
#include <memory>

namespace orv {
namespace {

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
    : view_(view), settings_(settings), link_(link), phoneFile_(settings.GetTempJpgName().toStdString())
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
    // A stop (the program's end) sends nothing more to tidy up.
    auto relay = std::make_shared<ProgressRelay>(view_);
    PhoneCapture::Hooks hooks;
    hooks.step = [this](PhoneCapture::Step step) {
        ShowStep(step == PhoneCapture::Step::Shooting ? PhotoStep::Shooting : PhotoStep::Downloading);
    };
    hooks.late = [this](bool late) { ShowLate(late); };
    hooks.progress = [relay](size_t count) { ProgressRelay::Report(relay, count); };
    PhoneCapture capture(link_, CapturePlan::FromSettings(settings_, phoneFile_), [this] { return Terminated(); },
                         std::move(hooks));

    ShowStep(PhotoStep::StartingCamera);
    CapturedPicture shot;
    if (!capture.SwitchOn()) {
        ShowFailure(PhotoFailure::CameraNotStarted);
    } else {
        shot = capture.TakePicture();
        if (!shot.ShotTaken())
            ShowFailure(PhotoFailure::ShotNotTaken);
    }
    if (!shot.ShotTaken()) {
        // Also after a failed set-up: the phone gets its time before the
        // camera is switched off.
        capture.Wait(capture.Plan().afterShotMs);
    } else {
        switch (shot.outcome) {
        case CapturedPicture::Outcome::NotOpened: ShowFailure(PhotoFailure::FileNotOpened); break;
        case CapturedPicture::Outcome::Picture: ShowPicture(shot.picture); break;
        default:
            // Quietly: the window keeps its picture; the bar goes.
            Synchronize([this] { view_.ShowDownloadProgress(-1); });
            break;
        }
        capture.DeletePhoneFile();
    }

    ShowStep(PhotoStep::StoppingCamera);
    if (!capture.SwitchOff())
        ShowFailure(PhotoFailure::CameraNotStopped);
    ShowStep(PhotoStep::Done);
}

void PhotoThread::ShowLate(bool late)
{
    // On the photo thread, inside the wait: the panel changes without the
    // thread waiting for the window.
    const PhotoStep step = late ? PhotoStep::PhoneLate : step_;
    CaptureView* const view = &view_;
    PostToUiThread([view, step] { view->ShowPhotoStep(step); });
}

void PhotoThread::ShowStep(PhotoStep step)
{
    step_ = step;
    Synchronize([this, step] { view_.ShowPhotoStep(step); });
}

void PhotoThread::ShowFailure(PhotoFailure failure)
{
    if (Terminated())
        return;
    Synchronize([this, failure] { view_.ShowPhotoFailure(failure); });
}

void PhotoThread::ShowPicture(const QImage& picture)
{
    Synchronize([this, &picture] {
        view_.ShowDownloadProgress(-1);
        view_.ShowPicture(picture);
    });
}

}  // namespace orv
