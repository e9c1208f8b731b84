#include "PictureFile.h"

#include "Jpeg.h"

#include <QBuffer>
#include <QFileInfo>

namespace orv {

std::optional<PictureFormat> PictureFormatOf(const QString& fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("bmp"))
        return PictureFormat::Bitmap;
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return PictureFormat::Jpeg;
    return std::nullopt;
}

QString WithPictureSuffix(const QString& fileName, PictureFormat format)
{
    const QFileInfo info(fileName);
    if (info.fileName().isEmpty() || !info.suffix().isEmpty())
        return fileName;
    const QString suffix = format == PictureFormat::Jpeg ? QStringLiteral("jpg") : QStringLiteral("bmp");
    // "name." has an empty extension: it is completed, not doubled.
    return fileName.endsWith(QLatin1Char('.')) ? fileName + suffix : fileName + QLatin1Char('.') + suffix;
}

QByteArray EncodePictureFile(const QImage& picture, PictureFormat format)
{
    if (picture.isNull())
        return {};
    if (format == PictureFormat::Jpeg)
        return EncodeJpeg(picture);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "BMP"))
        bytes.clear();
    return bytes;
}

}  // namespace orv
