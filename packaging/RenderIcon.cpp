// Writes the program's icon as PNG files for the desktop's icon theme:
//   orv_render_icon FOLDER SIZE...
// makes FOLDER/<SIZE>x<SIZE>/apps/orvello.png for each size.

#include "ProgramIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QString>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FOLDER SIZE...\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        const QImage image = ok ? orv::RenderProgramIcon(size) : QImage();
        if (image.isNull()) {
            std::fprintf(stderr, "cannot render the icon at size %s\n", argv[i]);
            return 1;
        }
        const QString appsFolder = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        const QString file = appsFolder + QStringLiteral("/orvello.png");
        if (!QDir().mkpath(appsFolder) || !image.save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
