#pragma once
// What the photo thread needs of the window (or of the command line): its
// steps and failures as names, which each view turns into what it shows.
// Every call runs on the user-interface thread (the thread brings it there
// and waits, or, for the late notice and the download's progress, posts it).

#include <cstddef>

class QImage;

namespace orv {

// What the photo is doing.
enum class PhotoStep {
    StartingCamera,
    Shooting,
    Downloading,
    StoppingCamera,
    Done,
    PhoneLate,  // a reply of the phone is late; once it comes, the step before shows again
};

// A failure that the user is told of. A picture that could not be read or
// decoded is no message: the window keeps its picture.
enum class PhotoFailure {
    CameraNotStarted,
    ShotNotTaken,
    FileNotOpened,  // at the second attempt either: the phone was still writing it
    CameraNotStopped,
};

class CaptureView {
public:
    virtual ~CaptureView() = default;
    // The window's work panel.
    virtual void ShowPhotoStep(PhotoStep step) = 0;
    // The window's message box with an OK button.
    virtual void ShowPhotoFailure(PhotoFailure failure) = 0;
    // The window's picture (it keeps its own copy).
    virtual void ShowPicture(const QImage& picture) = 0;
    // Bytes of the picture downloaded so far; a negative count hides the bar.
    virtual void ShowDownloadProgress(long long bytes) = 0;
};

}  // namespace orv
