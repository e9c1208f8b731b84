#pragma once
// JPEG through libjpeg-turbo's libjpeg API, with an error manager that returns
// to the caller: a bad picture never ends the process.

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace orv {

// Decodes into a 24-bit frame (QImage::Format_RGB888) at the picture's own
// size. Returns false, with a reason in *error, when the bytes are not a
// picture that decodes. A picture whose data end too early (a file cut short)
// decodes as far as its data go, the rest grey; *cutShort says so.
bool DecodeJpeg(const uint8_t* bytes, size_t length, QImage* frame, QString* error = nullptr,
                bool* cutShort = nullptr);

// Encodes from 24-bit RGB: quality 90 with baseline tables, the
// floating-point DCT, not progressive, not greyscale. An empty (0 × 0) image
// gives no bytes.
QByteArray EncodeJpeg(const QImage& image);

}  // namespace orv
