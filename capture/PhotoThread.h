#pragma once
// The photo thread: takes one picture with the phone's camera and brings it,
// stamped with the capture time, into the main window.

#include "CaptureView.h"
#include "platform/WorkerThread.h"

#include <QImage>

#include <atomic>
#include <functional>
#include <string>

namespace orv {

class Settings;
namespace phone {
class PhoneLink;
}

class PhotoThread final : public WorkerThread {
public:
    // Starts at once and frees itself when done; finished runs on the
    // user-interface thread after the thread's work (the window's
    // PhotoFinished). view and settings must outlive the thread (the main
    // window does). The object may be gone by the time the constructor's
    // caller looks at it: keep no pointer to it.
    PhotoThread(CaptureView& view, const Settings& settings, phone::PhoneLink& link, std::function<void()> finished);

protected:
    void Run() override;

private:
    void ShowStep(PhotoStep step);
    // Nothing is told once a stop has come: the photo fails its commands on
    // purpose then.
    void ShowFailure(PhotoFailure failure);
    void ShowPicture(const QImage& picture);
    // The work panel says that the phone's reply is late, or, once it came,
    // shows the step again.
    void ShowLate(bool late);

    CaptureView& view_;
    const Settings& settings_;
    phone::PhoneLink& link_;
    std::string phoneFile_;
    // The step shown, set and read on the photo thread.
    PhotoStep step_ = PhotoStep::StartingCamera;
};

}  // namespace orv
