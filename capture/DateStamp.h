#pragma once
// The date stamp: the capture time in the picture's bottom-right corner, on
// photos and web-camera frames. Safe on worker threads once the application
// object exists.

#include <QPoint>
#include <QSize>
#include <QString>

class QFont;
class QImage;

namespace orv {

// Draws text white, bold, 14-point "Microsoft Sans Serif" (or the face the
// system offers in its place), without background, 10 pixels in from the
// right and bottom edges.
void DrawDateStamp(QImage& bitmap, const QString& text);

// The stamp's face: "Microsoft Sans Serif", 14 points, bold.
QFont DateStampFont();
// Where a text of the given size starts (its top-left corner) on a picture.
QPoint DateStampOrigin(const QSize& picture, const QSize& text);

}  // namespace orv
