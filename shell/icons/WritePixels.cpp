// Writes the icon's PNG files as a C++ source file of premultiplied ARGB32
// pixel arrays, so that the program shows its icon without decoding a file:
//   orv_icon_pixels OUT.cpp SIZE=FILE.png...
// Each FILE.png must be SIZE x SIZE pixels.

#include <QFile>
#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUT.cpp SIZE=FILE.png...\n", argv[0]);
        return 2;
    }
    QByteArray arrays;
    QByteArray table;
    for (int i = 2; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        bool ok = false;
        const int size = argument.left(equals).toInt(&ok);
        const QImage image = ok && size > 0 ? QImage(argument.mid(equals + 1)) : QImage();
        if (image.isNull() || image.size() != QSize(size, size)) {
            std::fprintf(stderr, "%s: not a PNG file of the size before '='\n", argv[i]);
            return 1;
        }
        const QImage pixels = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QByteArray name = "kPixels" + QByteArray::number(size);
        arrays += "const std::uint32_t " + name + "[] = {";
        for (int y = 0; y < size; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
            arrays += "\n   ";
            for (int x = 0; x < size; ++x)
                arrays += " 0x" + QByteArray::number(line[x], 16) + "u,";
        }
        arrays += "\n};\n";
        table += "    {" + QByteArray::number(size) + ", " + name + "},\n";
    }
    const QByteArray text = "// Written by orv_icon_pixels from the icon's PNG files.\n"
                            "#include \"shell/ProgramIconPixels.h\"\n\n"
                            "namespace orv {\nnamespace {\n" +
                            arrays + "}  // namespace\n\nconst IconPixels kProgramIconPixels[] = {\n" + table +
                            "};\nconst int kProgramIconPixelsCount = " + QByteArray::number(argc - 2) +
                            ";\n\n}  // namespace orv\n";
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size() || !out.flush()) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
