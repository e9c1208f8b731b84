// The date stamp: where it goes, how it looks, and that it is drawn the same
// on a worker thread.

#include "Photo.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QRect>

#include <thread>

#include <gtest/gtest.h>

namespace {

const QString kStamp = QStringLiteral("06-12-26_1430");

QImage Black(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(Qt::black);
    return image;
}

// The smallest rectangle holding every pixel that is not black.
QRect InkBounds(const QImage& image)
{
    QRect bounds;
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x)
            if (row[3 * x] || row[3 * x + 1] || row[3 * x + 2])
                bounds |= QRect(x, y, 1, 1);
    }
    return bounds;
}

// The text's box as the stamp measures it: the stamp's font on a 96-dpi picture.
QRect TextBox(const QSize& picture, const QString& text)
{
    QImage device(1, 1, QImage::Format_RGB888);
    device.setDotsPerMeterX(3780);
    device.setDotsPerMeterY(3780);
    const QFontMetrics metrics(orv::DateStampFont(), &device);
    const QSize size(metrics.horizontalAdvance(text), metrics.height());
    return QRect(orv::DateStampOrigin(picture, size), size);
}

}  // namespace

TEST(DateStamp, StartsTenPixelsInFromTheBottomRightCorner)
{
    EXPECT_EQ(orv::DateStampOrigin(QSize(640, 480), QSize(120, 16)), QPoint(510, 454));
    EXPECT_EQ(orv::DateStampOrigin(QSize(160, 120), QSize(200, 19)), QPoint(-50, 91));
}

TEST(DateStamp, WhiteBoldTextInsideItsMeasuredBox)
{
    const QFont font = orv::DateStampFont();
    EXPECT_TRUE(font.bold());
    EXPECT_EQ(font.pointSize(), 14);
    EXPECT_EQ(font.family(), QStringLiteral("Microsoft Sans Serif"));

    QImage picture = Black(640, 480);
    picture.setDotsPerMeterX(11811);  // a 300-dpi file must not make the stamp three times larger
    picture.setDotsPerMeterY(11811);
    orv::DrawDateStamp(picture, kStamp);
    EXPECT_EQ(picture.format(), QImage::Format_RGB888);
    EXPECT_EQ(picture.size(), QSize(640, 480));
    EXPECT_EQ(picture.dotsPerMeterX(), 11811);

    const QRect box = TextBox(picture.size(), kStamp);
    // 14 points at 96 dpi: about 19 pixels of em height.
    EXPECT_GE(box.height(), 17);
    EXPECT_LE(box.height(), 26);
    EXPECT_EQ(box.right(), 640 - 10 - 1);
    EXPECT_EQ(box.bottom(), 480 - 10 - 1);

    const QRect ink = InkBounds(picture);
    ASSERT_FALSE(ink.isNull()) << "nothing drawn";
    // Glyph bearings may reach a pixel or two outside the advance box.
    EXPECT_TRUE(box.adjusted(-2, -2, 2, 2).contains(ink))
        << "ink " << ink.x() << "," << ink.y() << " " << ink.width() << "x" << ink.height();
    EXPECT_GT(ink.width(), box.width() * 3 / 4) << "the whole text, not a part";
    EXPECT_GT(ink.height(), box.height() / 2);

    // White on black, without a background: grey levels only, the strokes'
    // cores pure white, and black left between the glyphs.
    int white = 0;
    int black = 0;
    for (int y = ink.top(); y <= ink.bottom(); ++y)
        for (int x = ink.left(); x <= ink.right(); ++x) {
            const QColor pixel = picture.pixelColor(x, y);
            EXPECT_EQ(pixel.red(), pixel.green());
            EXPECT_EQ(pixel.green(), pixel.blue());
            white += pixel.red() == 255;
            black += pixel.red() == 0;
        }
    EXPECT_GT(white, 40);
    EXPECT_GT(black, ink.width() * ink.height() / 4);
}

TEST(DateStamp, KeepsTheBackgroundAroundTheText)
{
    QImage picture(320, 240, QImage::Format_RGB888);
    picture.fill(QColor(10, 200, 30));
    const QImage before = picture;
    orv::DrawDateStamp(picture, kStamp);
    const QRect box = TextBox(picture.size(), kStamp).adjusted(-2, -2, 2, 2);
    int changedInside = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const bool changed = picture.pixel(x, y) != before.pixel(x, y);
            if (!box.contains(x, y)) {
                ASSERT_FALSE(changed) << x << "," << y;
            }
            changedInside += changed;
        }
    EXPECT_GT(changedInside, 0);
    // Between the glyphs the green shows through.
    EXPECT_EQ(picture.pixelColor(box.right() - 1, box.top() + 1), QColor(10, 200, 30));
}

TEST(DateStamp, SameOnAWorkerThreadAndOnSmallPictures)
{
    QImage onUi = Black(352, 288);
    orv::DrawDateStamp(onUi, kStamp);
    QImage onWorker = Black(352, 288);
    std::thread worker([&] { orv::DrawDateStamp(onWorker, kStamp); });
    worker.join();
    EXPECT_EQ(onUi, onWorker);

    // A picture narrower than the text gets what fits, and nothing breaks.
    QImage tiny = Black(40, 30);
    orv::DrawDateStamp(tiny, kStamp);
    EXPECT_EQ(tiny.size(), QSize(40, 30));
    QImage none;
    orv::DrawDateStamp(none, kStamp);
    EXPECT_TRUE(none.isNull());
}
