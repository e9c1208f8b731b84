// A long recording, run by hand (it writes gigabytes): records until the
// file passes a size or a frame count, then checks what a player will find.
// Past 1 GiB the AVI muxer goes on in OpenDML form (further 'AVIX' RIFF
// lists, a master index); the stream header must keep its corrected values
// and every frame must be readable. Also reports the resident memory's
// growth while the stream runs.
//
//   avi_soak [--gib 2.3] [--frames N] [--encoder rawvideo] [--width 1600] [--path FILE] [--keep]

#include "video/AviFile.h"
#include "video/CodecCatalogue.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace {

long ResidentKib()
{
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

uint32_t Le32(const char* at)
{
    uint32_t value = 0;
    std::memcpy(&value, at, 4);
    return value;
}

// A frame that changes a little each time: a gradient with a moving band.
void Draw(QImage& frame, int index)
{
    const int width = frame.width(), height = frame.height();
    for (int y = 0; y < height; ++y) {
        uchar* row = frame.scanLine(y);
        const bool band = ((y + index * 4) % height) < height / 10;
        for (int x = 0; x < width; ++x) {
            row[3 * x] = band ? 250 : uchar(40 + 150 * x / width);
            row[3 * x + 1] = band ? 250 : uchar(60 + 120 * y / height);
            row[3 * x + 2] = uchar(120 + (index % 100));
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    double gib = 2.3;
    long long frameLimit = 0;
    QString encoder = QStringLiteral("rawvideo");
    int width = 1600;
    QString path = QDir::tempPath() + QStringLiteral("/orvello-soak.avi");
    bool keep = false;
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const QString next = i + 1 < arguments.size() ? arguments[i + 1] : QString();
        if (argument == QLatin1String("--gib"))
            gib = next.toDouble(), ++i;
        else if (argument == QLatin1String("--frames"))
            frameLimit = next.toLongLong(), ++i;
        else if (argument == QLatin1String("--encoder"))
            encoder = next, ++i;
        else if (argument == QLatin1String("--width"))
            width = next.toInt(), ++i;
        else if (argument == QLatin1String("--path"))
            path = next, ++i;
        else if (argument == QLatin1String("--keep"))
            keep = true;
        else {
            std::fprintf(stderr, "unknown argument %s\n", qPrintable(argument));
            return 2;
        }
    }
    const long long sizeLimit = frameLimit > 0 ? 0 : static_cast<long long>(gib * 1024 * 1024 * 1024);

    orv::video::CodecCatalogue codecs;
    const int index = codecs.IndexOf(encoder);
    if (index < 0) {
        std::fprintf(stderr, "no encoder %s\n", qPrintable(encoder));
        return 2;
    }
    QString error;
    auto file = orv::video::AviFile::Open(path, &error);
    if (!file) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(error));
        return 1;
    }
    auto compressor = std::make_unique<orv::video::FrameEncoder>(codecs.Handle(index));
    QImage frame(width, width * 3 / 4, QImage::Format_RGB888);
    long long written = 0;
    long residentAfterStart = 0;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (frameLimit > 0 && written >= frameLimit)
            break;
        if (sizeLimit > 0 && QFileInfo(path).size() >= sizeLimit)
            break;
        Draw(frame, int(written));
        if (!compressor->StartStream(*file, frame, 1.0) || !compressor->CompressFrame(frame)) {
            std::fprintf(stderr, "frame %lld: %s\n", written, qPrintable(compressor->LastError()));
            return 1;
        }
        ++written;
        if (written == 10)
            residentAfterStart = ResidentKib();
    }
    const double seconds = double(timer.elapsed()) / 1000.0;
    const long residentAtEnd = ResidentKib();
    file.reset();
    compressor.reset();
    const long long size = QFileInfo(path).size();
    std::printf("%s %dx%d: %lld frames, %.2f GiB, %.1f ms a frame, resident memory %ld KiB after 10 frames, "
                "%ld KiB at the end (growth %ld KiB)\n",
                qPrintable(encoder), frame.width(), frame.height(), written, double(size) / (1 << 30),
                1000.0 * seconds / double(std::max<long long>(1, written)), residentAfterStart, residentAtEnd,
                residentAtEnd - residentAfterStart);

    // The stream header and the OpenDML parts, from the bytes.
    QFile bytes(path);
    if (!bytes.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray head = bytes.read(1 << 20);
    const qsizetype strh = head.indexOf("strh");
    bool good = strh >= 0;
    if (good) {
        const char* fields = head.constData() + strh + 8;
        const uint32_t scale = Le32(fields + 20), rate = Le32(fields + 24), length = Le32(fields + 32),
                       quality = Le32(fields + 40);
        std::printf("strh: scale %u, rate %u, length %u, quality %u\n", scale, rate, length, quality);
        good = scale == 10000 && rate == 10000 && quality == 10000 && length == uint32_t(written);
    }
    const bool openDml = head.contains("odml") && head.contains("indx");
    long long riffs = 0;
    {
        // Count the RIFF lists: AVI, then AVIX for each further gigabyte.
        qint64 at = 0;
        char chunk[12];
        while (bytes.seek(at) && bytes.read(chunk, 12) == 12 && std::memcmp(chunk, "RIFF", 4) == 0) {
            ++riffs;
            at += 8 + qint64(Le32(chunk + 4));
        }
    }
    std::printf("RIFF lists: %lld, OpenDML header: %s\n", riffs, openDml ? "yes" : "no");

    long long packets = 0;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.toUtf8().constData(), nullptr, nullptr) == 0) {
        avformat_find_stream_info(format, nullptr);
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(format, packet) >= 0) {
            ++packets;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        avformat_close_input(&format);
    }
    std::printf("libavformat reads %lld frames\n", packets);
    good = good && packets == written;

    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                 QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=nb_read_frames,avg_frame_rate"), QStringLiteral("-of"),
                 QStringLiteral("default=nw=1"), path});
    if (probe.waitForFinished(-1)) {
        const QString answer = QString::fromUtf8(probe.readAllStandardOutput()).simplified();
        std::printf("ffprobe: %s %s\n", qPrintable(answer),
                    qPrintable(QString::fromUtf8(probe.readAllStandardError()).simplified()));
        good = good && answer.contains(QStringLiteral("nb_read_frames=%1").arg(written));
    }
    if (!keep)
        QFile::remove(path);
    std::printf("%s\n", good ? "OK" : "MISMATCH");
    return good ? 0 : 1;
}
