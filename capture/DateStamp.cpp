// The date stamp: the capture time in the picture's bottom-right corner.
// Runs on the capture threads; QPainter on a QImage and fonts are allowed
// there once the application object exists.

#include "DateStamp.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

namespace orv {
namespace {

// 96 dots per inch, the screen resolution the stamp's 14 points were meant
// for: 14 pt is then about 19 pixels whatever the picture's file says.
constexpr int kDotsPerMeter96Dpi = 3780;
constexpr int kMargin = 10;

}  // namespace

QFont DateStampFont()
{
    QFont font(QStringLiteral("Microsoft Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(14);
    font.setBold(true);
    return font;
}

QPoint DateStampOrigin(const QSize& picture, const QSize& text)
{
    return {picture.width() - text.width() - kMargin, picture.height() - text.height() - kMargin};
}

void DrawDateStamp(QImage& bitmap, const QString& text)
{
    if (bitmap.isNull() || text.isEmpty())
        return;
    const int dotsPerMeterX = bitmap.dotsPerMeterX();
    const int dotsPerMeterY = bitmap.dotsPerMeterY();
    bitmap.setDotsPerMeterX(kDotsPerMeter96Dpi);
    bitmap.setDotsPerMeterY(kDotsPerMeter96Dpi);
    {
        QPainter painter(&bitmap);
        painter.setFont(DateStampFont());
        painter.setPen(QColor(255, 255, 255));
        painter.setBrush(Qt::NoBrush);
        const QFontMetrics metrics = painter.fontMetrics();
        const QSize textSize(metrics.horizontalAdvance(text), metrics.height());
        const QPoint origin = DateStampOrigin(bitmap.size(), textSize);
        // drawText places the baseline; the origin is the text's top-left.
        painter.drawText(origin.x(), origin.y() + metrics.ascent(), text);
    }
    bitmap.setDotsPerMeterX(dotsPerMeterX);
    bitmap.setDotsPerMeterY(dotsPerMeterY);
}

}  // namespace orv
