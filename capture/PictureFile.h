#pragma once
// A picture as the bytes of a file: a Windows bitmap, or JPEG at quality 90.

#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

namespace orv {

enum class PictureFormat { Bitmap, Jpeg };

// The format that a file name asks for by its extension, in any case: .bmp,
// .jpg or .jpeg. Nothing for any other name.
std::optional<PictureFormat> PictureFormatOf(const QString& fileName);

// The name with the extension of format (".bmp", ".jpg") added when it has
// none; a name with any extension stays as it is.
QString WithPictureSuffix(const QString& fileName, PictureFormat format);

// The file's bytes: JPEG through EncodeJpeg, or a bitmap. Empty when the
// picture is null or cannot be encoded.
QByteArray EncodePictureFile(const QImage& picture, PictureFormat format);

}  // namespace orv
