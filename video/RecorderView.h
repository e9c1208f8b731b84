#pragma once
// What the web-camera recorder needs of the main window. Every call runs on
// the user-interface thread (the recorder brings it there and waits).

#include <QString>

class QImage;

namespace orv::video {

class RecorderView {
public:
    virtual ~RecorderView() = default;
    // Status-bar panel 3: what the recorder is doing.
    virtual void ShowWorkStatus(const QString& text) = 0;
    // Status-bar panel 4: the recording time (" hh:nn:ss") after its label.
    virtual void ShowRecordingTime(const QString& label, const QString& time) = 0;
    // A modal message box with an OK button.
    virtual void ShowMessageText(const QString& text) = 0;
    // The latest frame. It always becomes the window's current frame (the
    // one the picture web server serves); with show set it is also shown in
    // the window's picture, and with fit set as well the window is fitted to
    // a frame wider than 300 pixels.
    virtual void ShowFrame(const QImage& frame, bool show, bool fit) = 0;
};

}  // namespace orv::video
