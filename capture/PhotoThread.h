#pragma once
// The photo thread: takes one picture with the phone's camera and brings it,
// stamped with the capture time, into the main window.

#include "platform/WorkerThread.h"

#include <QImage>
#include <QPoint>
#include <QSize>
#include <QString>

#include <cstdint>
#include <functional>

class QFont;

namespace orv {

class CaptureView;
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
    void ShowStatus(const QString& text);
    void ShowError(const QString& text);
    void ShowPicture(const QImage& picture);
    // Panel 3 says that the phone's reply is late, or, once it came, shows
    // the status again.
    void ShowLate(bool late);
    // Waits in slices, so that a stop asked for meanwhile is seen soon.
    void WaitUnlessStopped(uint32_t milliseconds);
    // Closes any open phone file, opens, reads, decodes and shows the
    // picture, then closes and deletes the phone file.
    void Download(const QString& captureTime);
    // True when a picture reached the window.
    bool ReadAndShow(const QString& captureTime);

    CaptureView& view_;
    const Settings& settings_;
    phone::PhoneLink& link_;
    QString phoneFile_;
    QString statusText_;
};

// Draws text white, bold, 14-point "Microsoft Sans Serif" (or the face the
// system offers in its place), without background, 10 pixels in from the
// right and bottom edges.
void DrawDateStamp(QImage& bitmap, const QString& text);

// The stamp's face: "Microsoft Sans Serif", 14 points, bold.
QFont DateStampFont();
// Where a text of the given size starts (its top-left corner) on a picture.
QPoint DateStampOrigin(const QSize& picture, const QSize& text);

}  // namespace orv
