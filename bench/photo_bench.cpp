// The photo path after the download: decode, stamp, hand over, for VGA and
// UXGA pictures, against the floor of libjpeg-turbo decoding the same bytes
// into a buffer of its own. The ratio of the two is printed at the end.

#include "capture/Jpeg.h"
#include "capture/DateStamp.h"

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>

#include <benchmark/benchmark.h>

namespace {

// Something like a photo: soft light, shapes with edges, writing and sensor
// noise, so the coded data are of a camera's density.
QByteArray CameraLikeJpeg(int width, int height)
{
    QImage picture(width, height, QImage::Format_RGB888);
    QPainter painter(&picture);
    QLinearGradient sky(0, 0, width, height);
    sky.setColorAt(0, QColor(90, 140, 200));
    sky.setColorAt(1, QColor(230, 200, 150));
    painter.fillRect(picture.rect(), sky);
    QRandomGenerator generator(42);
    for (int i = 0; i < 60; ++i) {
        painter.setBrush(QColor::fromRgb(generator.generate() | 0xFF000000u));
        painter.setPen(Qt::NoPen);
        const int x = int(generator.bounded(width)), y = int(generator.bounded(height));
        painter.drawEllipse(x, y, int(generator.bounded(width / 4)) + 8, int(generator.bounded(height / 4)) + 8);
    }
    painter.setPen(Qt::black);
    painter.setFont(QFont(QStringLiteral("DejaVu Sans"), height / 30));
    painter.drawText(picture.rect(), Qt::AlignCenter, QStringLiteral("Orvello 06-12-26 14:30"));
    painter.end();
    for (int y = 0; y < height; ++y) {
        uchar* row = picture.scanLine(y);
        for (int x = 0; x < width * 3; ++x)
            row[x] = uchar(qBound(0, row[x] + int(generator.bounded(9)) - 4, 255));
    }
    return orv::EncodeJpeg(picture);
}

const QByteArray& Picture(int width)
{
    static std::map<int, QByteArray> pictures;
    auto& bytes = pictures[width];
    if (bytes.isEmpty())
        bytes = CameraLikeJpeg(width, width * 3 / 4);
    return bytes;
}

// The floor: libjpeg-turbo alone, RGB scanlines into one reused buffer.
void LibjpegAlone(benchmark::State& state)
{
    const QByteArray& bytes = Picture(int(state.range(0)));
    std::vector<uint8_t> buffer;
    for (auto _ : state) {
        jpeg_decompress_struct info;
        jpeg_error_mgr error;
        info.err = jpeg_std_error(&error);
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                     static_cast<unsigned long>(bytes.size()));
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        const size_t stride = size_t(info.output_width) * 3;
        buffer.resize(stride * info.output_height);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = buffer.data() + info.output_scanline * stride;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

// The program's path: decode into a new frame, stamp it, hand it over (the
// window keeps a shared copy).
void DownloadedBytesToWindow(benchmark::State& state)
{
    const QByteArray& bytes = Picture(int(state.range(0)));
    const QString stamp = QStringLiteral("06-12-26_1430");
    QImage window;
    for (auto _ : state) {
        QImage frame;
        if (!orv::DecodeJpeg(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), &frame)) {
            state.SkipWithError("the picture does not decode");
            break;
        }
        orv::DrawDateStamp(frame, stamp);
        window = frame;
        benchmark::DoNotOptimize(window.constBits());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

// Repeated and interleaved (see main), so that a busy machine slows both
// sides alike; the ratio is taken between the fastest repetitions.
constexpr int kRepetitions = 8;
BENCHMARK(LibjpegAlone)->Arg(640)->Arg(1600)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(DownloadedBytesToWindow)->Arg(640)->Arg(1600)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);

// Prints as usual, then each size's ratio of the program's path to the floor.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            const double time = run.GetAdjustedRealTime();
            const auto known = times_.find(name);
            if (known == times_.end() || time < known->second)
                times_[name] = time;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char* size : {"640", "1600"}) {
            const auto floor = times_.find(std::string("LibjpegAlone/") + size);
            const auto path = times_.find(std::string("DownloadedBytesToWindow/") + size);
            if (floor == times_.end() || path == times_.end() || floor->second <= 0)
                continue;
            std::printf("%s-pixel-wide picture (%lld bytes), fastest of %d: decode+stamp+hand-over %.3f ms, "
                        "libjpeg alone %.3f ms, ratio %.2f (target 1.30 or less)\n",
                        size, static_cast<long long>(Picture(std::stoi(size)).size()), kRepetitions, path->second,
                        floor->second, path->second / floor->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // fonts for the stamp
    std::vector<char*> arguments(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave.data());  // later arguments may still override it
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
