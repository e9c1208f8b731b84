#pragma once
// The start-up splash: the program's picture with its version line.

#include <QWidget>

class QLabel;

namespace orv {

class SplashScreen : public QWidget {
    Q_OBJECT
public:
    explicit SplashScreen(QWidget* parent = nullptr);
    // Shows the splash and paints it at once: no event loop runs yet while
    // the program starts.
    void ShowAndPaint();
    // A synchronous repaint.
    void Repaint();

    QLabel* pictureLabel = nullptr;
    QLabel* versionLabel = nullptr;

    // The 380 × 201 picture, drawn by the program.
    static QPixmap DrawPicture();
};

}  // namespace orv
