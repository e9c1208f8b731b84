#include "ProgramIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace orv {

QImage RenderProgramIcon(int size)
{
    if (size < 1 || size > 1024)
        return {};
    QSvgRenderer renderer(QStringLiteral(":/orvello/orvello.svg"));
    if (!renderer.isValid())
        return {};
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    painter.end();
    return image;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (const int size : kProgramIconSizes) {
        const QImage image = RenderProgramIcon(size);
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

}  // namespace orv
