#pragma once
// The photo thread: takes one picture with the phone's camera and brings it,
// stamped with the capture time, into the main window.

#include "TThread.h"

#include <QImage>
#include <QString>

#include <functional>

namespace orv {

class CaptureView;
class Settings;
namespace phone {
class PhoneLink;
}

class MakePhoto : public TThread {
public:
    // Starts at once and frees itself when done; finished runs on the
    // user-interface thread after the thread's work (the window's
    // PhotoFinished). view and settings must outlive the thread (the main
    // window does).
    MakePhoto(CaptureView& view, const Settings& settings, phone::PhoneLink& link, std::function<void()> finished);

protected:
    void Run() override;

private:
    void ShowStatus(const QString& text);
    void ShowError(const QString& text);
    void ShowPicture(const QImage& picture);

    CaptureView& view_;
    const Settings& settings_;
    phone::PhoneLink& Monitor;
    QString TempName;
    QString StatusText;
};

// Draws text white, bold, 14-point "Microsoft Sans Serif" (or the face the
// system offers in its place), without background, 10 pixels in from the
// right and bottom edges.
void DrawDateStamp(QImage& bitmap, const QString& text);

}  // namespace orv
