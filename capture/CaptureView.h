#pragma once
// What the capture threads need of the main window. Every call runs on the
// user-interface thread (the threads bring it there and wait).

#include <QString>

#include <cstddef>

class QImage;

namespace orv {

class CaptureView {
public:
    virtual ~CaptureView() = default;
    // Status-bar panel 3.
    virtual void ShowWorkStatus(const QString& text) = 0;
    // A modal message box with an OK button.
    virtual void ShowMessageText(const QString& text) = 0;
    // The window's picture (it keeps its own copy).
    virtual void ShowPicture(const QImage& picture) = 0;
    // Bytes of the picture downloaded so far; a negative count hides the bar.
    virtual void ShowDownloadProgress(long long bytes) = 0;
};

}  // namespace orv
