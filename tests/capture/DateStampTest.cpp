// The date stamp: where it goes, how it looks, and that it is drawn the same
// on a worker thread.

#include "capture/DateStamp.h"

#include <QColor>
#include <QFont>
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

// Runs of columns that hold bright ink: one per character when they keep apart.
int InkRuns(const QImage& image, const QRect& area)
{
    int runs = 0;
    bool inRun = false;
    for (int x = area.left(); x <= area.right(); ++x) {
        bool bright = false;
        for (int y = area.top(); y <= area.bottom() && !bright; ++y)
            bright = qGray(image.pixel(x, y)) >= 128;
        runs += bright && !inRun;
        inRun = bright;
    }
    return runs;
}

}  // namespace

TEST(DateStamp, StartsTenPixelsInFromTheBottomRightCorner)
{
    EXPECT_EQ(orv::DateStampOrigin(QSize(640, 480), QSize(120, 16)), QPoint(510, 454));
    EXPECT_EQ(orv::DateStampOrigin(QSize(160, 120), QSize(200, 19)), QPoint(-50, 91));
}

// 14-point bold text at 96 dpi, whatever the picture's file says: the
// thirteen characters about 157 pixels wide and 19 high, the last ink 10
// pixels in from the right edge, the text's box 10 pixels up from the bottom
// one (only the underscore reaches a pixel or two below it).
TEST(DateStamp, WhiteBoldTextOfFourteenPointsInTheCorner)
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

    const QRect ink = InkBounds(picture);
    ASSERT_FALSE(ink.isNull()) << "nothing drawn";
    EXPECT_GE(ink.right(), 627);
    EXPECT_LE(ink.right(), 630);
    EXPECT_GE(ink.top(), 449);
    EXPECT_LE(ink.top(), 455);
    EXPECT_GE(ink.bottom(), 466);
    EXPECT_LE(ink.bottom(), 471);
    EXPECT_GE(ink.width(), 150);
    EXPECT_LE(ink.width(), 165);
    EXPECT_EQ(InkRuns(picture, ink), 13) << "every character drawn";

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
    EXPECT_GT(white, 450) << "bold strokes";
    EXPECT_GT(black, ink.width() * ink.height() / 4);
}

TEST(DateStamp, KeepsTheBackgroundAroundTheText)
{
    QImage picture(320, 240, QImage::Format_RGB888);
    picture.fill(QColor(10, 200, 30));
    const QImage before = picture;
    orv::DrawDateStamp(picture, kStamp);
    const QRect stampArea(320 - 10 - 180, 240 - 10 - 26, 180 + 2, 26 + 2);
    int changedInside = 0;
    int changedOutside = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const bool changed = picture.pixel(x, y) != before.pixel(x, y);
            (stampArea.contains(x, y) ? changedInside : changedOutside) += changed;
        }
    EXPECT_EQ(changedOutside, 0);
    EXPECT_GT(changedInside, 600);
    // Between the glyphs the green shows through.
    EXPECT_LT(changedInside, stampArea.width() * stampArea.height() / 2);
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
