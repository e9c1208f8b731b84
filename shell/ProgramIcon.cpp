#include "ProgramIcon.h"

#include "ProgramIconPixels.h"

#include <QPixmap>

namespace orv {

QImage ProgramIconImage(int size)
{
    if (size < 1 || size > 1024)
        return {};
    // The carried size itself, else the smallest larger one, else the largest.
    const IconPixels* best = nullptr;
    const IconPixels* largest = nullptr;
    for (int i = 0; i < kProgramIconPixelsCount; ++i) {
        const IconPixels& candidate = kProgramIconPixels[i];
        if (!largest || candidate.size > largest->size)
            largest = &candidate;
        if (candidate.size >= size && (!best || candidate.size < best->size))
            best = &candidate;
    }
    if (!best)
        best = largest;
    if (!best)
        return {};
    // The pixels are the program's own constant data: the image shares them.
    const QImage carried(reinterpret_cast<const uchar*>(best->argb), best->size, best->size,
                         best->size * static_cast<qsizetype>(sizeof(std::uint32_t)),
                         QImage::Format_ARGB32_Premultiplied);
    if (best->size == size)
        return carried;
    return carried.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (const int size : kProgramIconSizes)
        icon.addPixmap(QPixmap::fromImage(ProgramIconImage(size)));
    return icon;
}

}  // namespace orv
