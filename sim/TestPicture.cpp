// The simulated camera's picture: a test pattern drawn with QPainter (no
// fonts, so it works in any thread and without a GUI application), turned
// into a JPEG file with libjpeg.

#include "SimPhone.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace orv::sim {
namespace {

constexpr int kQuality = 85;

// Segments a..g of each digit, bit 0 = a (top), clockwise, g in the middle.
constexpr std::array<uint8_t, 10> kSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void DrawDigit(QPainter& painter, int x, int y, int w, int h, int digit, const QColor& colour)
{
    const int t = std::max(1, w / 5);  // stroke
    const int half = h / 2;
    const QRect segments[7] = {
        {x + t, y, w - 2 * t, t},                         // a
        {x + w - t, y + t, t, half - t},                  // b
        {x + w - t, y + half + 1, t, half - t - 1},       // c
        {x + t, y + h - t, w - 2 * t, t},                 // d
        {x, y + half + 1, t, half - t - 1},               // e
        {x, y + t, t, half - t},                          // f
        {x + t, y + half - t / 2, w - 2 * t, t},          // g
    };
    for (int s = 0; s < 7; ++s) {
        if (kSegments[static_cast<size_t>(digit)] & (1 << s))
            painter.fillRect(segments[s], colour);
    }
}

// Draws text made of digits, ':' and '-' ; returns the x after it.
int DrawDigits(QPainter& painter, int x, int y, int h, const std::string& text, const QColor& colour)
{
    const int w = std::max(3, h / 2);
    const int gap = std::max(1, w / 3);
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            DrawDigit(painter, x, y, w, h, c - '0', colour);
            x += w + gap;
        } else if (c == ':') {
            const int t = std::max(1, w / 5);
            painter.fillRect(QRect(x, y + h / 3, t, t), colour);
            painter.fillRect(QRect(x, y + 2 * h / 3, t, t), colour);
            x += t + gap;
        } else {
            x += w / 2 + gap;
        }
    }
    return x;
}

QImage DrawPattern(int width, int height, uint32_t frame, std::time_t when)
{
    QImage image(width, height, QImage::Format_RGB888);
    QPainter painter(&image);

    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0.0, QColor(70, 130, 200));
    sky.setColorAt(0.6, QColor(180, 210, 230));
    sky.setColorAt(1.0, QColor(60, 120, 60));
    painter.fillRect(image.rect(), sky);

    // Colour bars below the band.
    static const QColor kBars[] = {Qt::white, Qt::yellow, Qt::cyan, Qt::green, Qt::magenta, Qt::red, Qt::blue,
                                   Qt::black};
    const int bars = 8;
    for (int i = 0; i < bars; ++i) {
        const int x0 = i * width / bars;
        const int x1 = (i + 1) * width / bars;
        painter.fillRect(QRect(x0, height / 6, x1 - x0, height / 4), kBars[i]);
    }

    // A fine grid in the lower left (detail for the encoder) and a ball that
    // moves with every frame.
    painter.setPen(QColor(30, 30, 30));
    for (int x = 0; x < width / 2; x += 4)
        painter.drawLine(x, height / 2, x, height * 3 / 4);
    for (int y = height / 2; y < height * 3 / 4; y += 4)
        painter.drawLine(0, y, width / 2, y);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(230, 90, 30));
    const int radius = std::max(2, height / 10);
    const int travel = std::max(1, width - 2 * radius);
    const int ballX = static_cast<int>((frame * 37u) % static_cast<uint32_t>(travel));
    painter.drawEllipse(QPoint(radius + ballX, height * 5 / 8), radius, radius);

    // Frame counter and time of day on a black band at the top, so that the
    // date stamp in the bottom-right corner never covers them.
    const int band = std::max(8, height / 7);
    painter.fillRect(QRect(0, 0, width, band), Qt::black);
    std::tm local{};
    localtime_r(&when, &local);
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    char counter[16];
    std::snprintf(counter, sizeof counter, "%06u", static_cast<unsigned>(frame % 1000000u));
    const int digitHeight = band * 2 / 3;
    const int top = (band - digitHeight) / 2;
    const int after = DrawDigits(painter, band / 4, top, digitHeight, counter, QColor(255, 220, 0));
    DrawDigits(painter, after + band / 2, top, digitHeight, clock, Qt::white);
    painter.end();
    return image;
}

// Lighting tints the picture, exposure scales its brightness, and a little
// sensor noise makes it look like a photo (and compress like one).
void Develop(QImage& image, int lighting, int exposure, uint32_t grainSeed)
{
    static constexpr float kTint[6][3] = {
        {1.00f, 1.00f, 1.00f},  // auto
        {1.10f, 1.05f, 0.80f},  // sunny
        {0.85f, 0.95f, 1.15f},  // cloudy
        {1.20f, 0.95f, 0.65f},  // incandescent
        {0.90f, 1.15f, 0.95f},  // fluorescent
        {0.40f, 0.45f, 0.65f},  // night
    };
    static constexpr float kExposure[5] = {0.45f, 0.7f, 1.0f, 1.3f, 1.6f};
    const float* tint = kTint[std::clamp(lighting, 1, 6) - 1];
    const float gain = kExposure[std::clamp(exposure, 1, 5) - 1];
    uint32_t noise = 0x9E3779B9u + grainSeed * 0x6C8E9CF5u;
    for (int y = 0; y < image.height(); ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < image.width() * 3; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const float grain = static_cast<float>(static_cast<int>(noise >> 28) - 8);
            const float value = static_cast<float>(line[x]) * tint[x % 3] * gain + grain;
            line[x] = static_cast<uchar>(std::clamp(value, 0.0f, 255.0f));
        }
    }
}

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info)
{
    auto* error = reinterpret_cast<JpegError*>(info->err);
    std::longjmp(error->jump, 1);
}

// Keeps libjpeg's longjmp inside a function that holds no C++ objects.
bool CompressRgb(const QImage& image, unsigned char** output, unsigned long* size)
{
    jpeg_compress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = OnJpegError;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, output, size);
    info.image_width = static_cast<JDIMENSION>(image.width());
    info.image_height = static_cast<JDIMENSION>(image.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kQuality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.constScanLine(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

std::vector<uint8_t> ShootTestPicture(int width, int height, uint32_t frame, std::time_t when, int lighting,
                                      int exposure, uint32_t grain)
{
    if (width <= 0 || height <= 0)
        return {};
    QImage image = DrawPattern(width, height, frame, when);
    Develop(image, lighting, exposure, grain);
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const bool ok = CompressRgb(image, &output, &size);
    std::vector<uint8_t> jpeg;
    if (ok && output)
        jpeg.assign(output, output + size);
    std::free(output);
    return jpeg;
}

}  // namespace orv::sim
