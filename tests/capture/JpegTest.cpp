// The JPEG codec: pictures in and out, and bytes that are no picture.

#include "capture/Jpeg.h"

#include <QColor>
#include <QImage>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include <gtest/gtest.h>

namespace {

// A smooth picture: JPEG keeps it close to the original.
QImage Gradient(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x + 0] = static_cast<uchar>(x * 255 / width);
            row[3 * x + 1] = static_cast<uchar>(y * 255 / height);
            row[3 * x + 2] = 128;
        }
    }
    return image;
}

int LargestDifference(const QImage& a, const QImage& b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x)
            largest = std::max(largest, std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]));
    return largest;
}

QByteArray ValidJpeg() { return orv::EncodeJpeg(Gradient(64, 48)); }

// Encodes with libjpeg directly, for the input kinds the program itself never writes.
QByteArray EncodeRaw(const std::vector<uint8_t>& samples, int width, int height, int components, J_COLOR_SPACE space)
{
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = space;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + info.next_scanline * size_t(width) * size_t(components));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray bytes(reinterpret_cast<const char*>(out), static_cast<qsizetype>(size));
    std::free(out);
    return bytes;
}

bool Decode(const QByteArray& bytes, QImage* frame, QString* error)
{
    return orv::DecodeJpeg(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), frame, error);
}

// Offset of the first byte after a marker (FF xx), or -1.
qsizetype FindMarker(const QByteArray& bytes, uint8_t marker)
{
    for (qsizetype i = 0; i + 1 < bytes.size(); ++i)
        if (uint8_t(bytes[i]) == 0xFF && uint8_t(bytes[i + 1]) == marker)
            return i + 2;
    return -1;
}

}  // namespace

TEST(Jpeg, RoundTripKeepsSizeAndPixels)
{
    const QImage original = Gradient(640, 480);
    const QByteArray bytes = orv::EncodeJpeg(original);
    ASSERT_FALSE(bytes.isEmpty());
    QImage decoded;
    QString error;
    ASSERT_TRUE(Decode(bytes, &decoded, &error)) << error.toStdString();
    EXPECT_EQ(decoded.format(), QImage::Format_RGB888);
    EXPECT_EQ(decoded.size(), original.size());
    EXPECT_LE(LargestDifference(original, decoded), 12);

    // Odd sizes whose rows are padded in the frame.
    const QImage odd = Gradient(37, 5);
    ASSERT_TRUE(Decode(orv::EncodeJpeg(odd), &decoded, &error));
    EXPECT_EQ(decoded.size(), odd.size());
    EXPECT_LE(LargestDifference(odd, decoded), 20);
}

TEST(Jpeg, EncodesBaselineQuality90FromAnyFormat)
{
    QImage argb = Gradient(48, 32).convertToFormat(QImage::Format_ARGB32);
    const QByteArray bytes = orv::EncodeJpeg(argb);
    ASSERT_FALSE(bytes.isEmpty());
    EXPECT_GE(FindMarker(bytes, 0xC0), 0) << "baseline frame";
    EXPECT_LT(FindMarker(bytes, 0xC2), 0) << "not progressive";

    jpeg_decompress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    ASSERT_EQ(jpeg_read_header(&info, TRUE), JPEG_HEADER_OK);
    EXPECT_EQ(info.num_components, 3);
    EXPECT_EQ(info.jpeg_color_space, JCS_YCbCr);
    EXPECT_FALSE(info.progressive_mode);
    // Quality 90 scales the standard luminance table to 20 %.
    static const unsigned kStandardLuminance[8] = {16, 11, 10, 16, 24, 40, 51, 61};
    ASSERT_NE(info.quant_tbl_ptrs[0], nullptr);
    for (int i = 0; i < 8; ++i) {
        const unsigned expected = (kStandardLuminance[i] * 20 + 50) / 100;
        EXPECT_EQ(info.quant_tbl_ptrs[0]->quantval[i], expected) << i;  // the first row in natural order
    }
    jpeg_destroy_decompress(&info);

    // The same picture in RGB888 gives the same bytes.
    EXPECT_EQ(orv::EncodeJpeg(Gradient(48, 32)), bytes);
}

TEST(Jpeg, EmptyImageGivesNoBytes)
{
    EXPECT_TRUE(orv::EncodeJpeg(QImage()).isEmpty());
    EXPECT_TRUE(orv::EncodeJpeg(QImage(0, 10, QImage::Format_RGB888)).isEmpty());
}

TEST(Jpeg, GreyscaleAndCmykPicturesComeOutAsRgb)
{
    const int width = 24, height = 16;
    std::vector<uint8_t> grey(size_t(width) * height);
    for (size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<uint8_t>(i % width * 10);
    QImage frame;
    QString error;
    ASSERT_TRUE(Decode(EncodeRaw(grey, width, height, 1, JCS_GRAYSCALE), &frame, &error)) << error.toStdString();
    ASSERT_EQ(frame.format(), QImage::Format_RGB888);
    ASSERT_EQ(frame.size(), QSize(width, height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const QColor pixel = frame.pixelColor(x, y);
            EXPECT_EQ(pixel.red(), pixel.green());
            EXPECT_EQ(pixel.green(), pixel.blue());
            EXPECT_NEAR(pixel.red(), x * 10, 6) << x << "," << y;
        }

    // Inverted CMYK as Adobe writes it: left half red, right half white.
    std::vector<uint8_t> cmyk(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &cmyk[(size_t(y) * width + x) * 4];
            const bool red = x < width / 2;
            p[0] = 255;              // no cyan
            p[1] = red ? 0 : 255;    // full magenta on the red side
            p[2] = red ? 0 : 255;    // full yellow on the red side
            p[3] = 255;              // no black
        }
    ASSERT_TRUE(Decode(EncodeRaw(cmyk, width, height, 4, JCS_CMYK), &frame, &error)) << error.toStdString();
    ASSERT_EQ(frame.format(), QImage::Format_RGB888);
    const QColor red = frame.pixelColor(2, 8);
    const QColor white = frame.pixelColor(width - 3, 8);
    EXPECT_GT(red.red(), 240);
    EXPECT_LT(red.green(), 20);
    EXPECT_LT(red.blue(), 20);
    EXPECT_GT(white.red(), 240);
    EXPECT_GT(white.green(), 240);
    EXPECT_GT(white.blue(), 240);
}

TEST(Jpeg, BytesThatAreNoPictureGiveAnErrorAndLeaveTheFrame)
{
    const QImage previous = Gradient(8, 8);
    const QByteArray valid = ValidJpeg();
    QByteArray random(5000, '\0');
    QRandomGenerator generator(7);
    for (auto& byte : random)
        byte = static_cast<char>(generator.bounded(256));
    QByteArray badHeader = valid.left(2) + QByteArray(200, '\x55');

    const struct {
        const char* name;
        QByteArray bytes;
        const char* reason;
    } cases[] = {
        {"empty", QByteArray(), "no bytes"},
        {"random", random, ""},
        {"text", QByteArray("GIF89a, not a JPEG at all"), ""},
        {"start marker then garbage", badHeader, ""},
        {"truncated in the header", valid.left(40), ""},
        {"start marker only", valid.left(2), ""},
    };
    for (const auto& c : cases) {
        QImage frame = previous;
        QString error;
        EXPECT_FALSE(Decode(c.bytes, &frame, &error)) << c.name;
        EXPECT_TRUE(error.startsWith(QStringLiteral("not a JPEG picture: "))) << c.name << ": " << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << c.name << ": " << error.toStdString();
        EXPECT_EQ(frame, previous) << c.name;
    }
    EXPECT_FALSE(orv::DecodeJpeg(nullptr, 10, nullptr, nullptr));
}

TEST(Jpeg, StrayBytesAfterThePictureAreIgnored)
{
    QByteArray padded = ValidJpeg();
    padded.append(QByteArray(1500, '\0'));
    QImage frame;
    QString error;
    EXPECT_TRUE(Decode(padded, &frame, &error)) << error.toStdString();
    EXPECT_EQ(frame.size(), QSize(64, 48));
}

TEST(Jpeg, RefusesAbsurdSizesBeforeTakingMemory)
{
    const QByteArray valid = ValidJpeg();
    const qsizetype frame = FindMarker(valid, 0xC0);
    ASSERT_GT(frame, 0);
    // SOF0: length (2), precision (1), height (2), width (2).
    const auto withSize = [&](int width, int height) {
        QByteArray bytes = valid;
        bytes[frame + 3] = char(height >> 8);
        bytes[frame + 4] = char(height & 0xFF);
        bytes[frame + 5] = char(width >> 8);
        bytes[frame + 6] = char(width & 0xFF);
        return bytes;
    };
    for (const QSize size : {QSize(20000, 16), QSize(16, 40000), QSize(10000, 10000)}) {
        QString error;
        EXPECT_FALSE(Decode(withSize(size.width(), size.height()), nullptr, &error)) << size.width();
        const QString expected = QStringLiteral("%1 x %2").arg(size.width()).arg(size.height());
        EXPECT_TRUE(error.contains(expected)) << error.toStdString();
    }
}

// A picture cut short (the phone was still writing it) shows what arrived and
// grey for the rest, as a JPEG viewer shows it; so does one whose size asks
// for more than its data hold. The top-left corner is the picture's red, the
// bottom-right corner grey.
TEST(Jpeg, PicturesCutShortShowWhatArrivedAndGreyForTheRest)
{
    QImage red(64, 48, QImage::Format_RGB888);
    red.fill(QColor(220, 20, 20));
    const QByteArray whole = orv::EncodeJpeg(red);
    const qsizetype scan = FindMarker(whole, 0xDA);
    ASSERT_GT(scan, 0);
    QByteArray larger = whole;
    const qsizetype frameHeader = FindMarker(whole, 0xC0);
    ASSERT_GT(frameHeader, 0);
    larger[frameHeader + 3] = char(3000 >> 8);  // SOF0: length (2), precision (1), height (2), width (2)
    larger[frameHeader + 4] = char(3000 & 0xFF);
    larger[frameHeader + 5] = char(4000 >> 8);
    larger[frameHeader + 6] = char(4000 & 0xFF);

    const struct {
        const char* name;
        QByteArray bytes;
        QSize size;
    } cases[] = {
        {"cut in the middle of its data", whole.left(scan + (whole.size() - scan) / 2), QSize(64, 48)},
        {"cut soon after the scan header", whole.left(scan + 40), QSize(64, 48)},
        {"a size its data do not fill", larger, QSize(4000, 3000)},
    };
    for (const auto& c : cases) {
        QImage frame;
        QString error;
        bool cutShort = false;
        ASSERT_TRUE(orv::DecodeJpeg(reinterpret_cast<const uint8_t*>(c.bytes.constData()), size_t(c.bytes.size()),
                                    &frame, &error, &cutShort))
            << c.name << ": " << error.toStdString();
        EXPECT_TRUE(cutShort) << c.name;
        EXPECT_EQ(frame.size(), c.size) << c.name;
        const QColor first = frame.pixelColor(0, 0);
        const QColor last = frame.pixelColor(frame.width() - 1, frame.height() - 1);
        EXPECT_GT(first.red(), 180) << c.name;
        EXPECT_LT(first.green(), 60) << c.name;
        for (const int channel : {last.red(), last.green(), last.blue()})
            EXPECT_NEAR(channel, 128, 8) << c.name;
    }

    bool cutShort = true;
    QImage frame;
    ASSERT_TRUE(orv::DecodeJpeg(reinterpret_cast<const uint8_t*>(whole.constData()), size_t(whole.size()), &frame,
                                nullptr, &cutShort));
    EXPECT_FALSE(cutShort) << "a whole picture";
}

TEST(Jpeg, DamagedPicturesNeverCrash)
{
    const QByteArray valid = orv::EncodeJpeg(Gradient(96, 64));
    QRandomGenerator generator(1234);
    int decoded = 0;
    for (int round = 0; round < 400; ++round) {
        QByteArray bytes = valid;
        const int changes = 1 + int(generator.bounded(8));
        for (int i = 0; i < changes; ++i)
            bytes[qsizetype(generator.bounded(quint32(bytes.size())))] = char(generator.bounded(256));
        if (round % 3 == 0)
            bytes.truncate(qsizetype(generator.bounded(quint32(bytes.size()))));
        QImage frame;
        QString error;
        if (Decode(bytes, &frame, &error)) {
            ++decoded;
            EXPECT_FALSE(frame.isNull());
            EXPECT_LE(frame.width(), 16384);
        } else {
            EXPECT_FALSE(error.isEmpty());
        }
    }
    EXPECT_GT(decoded, 0) << "damage in the entropy-coded data still decodes";
}
