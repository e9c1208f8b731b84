// One recorded frame: RGB conversion, encoding and writing into the AVI file
// (flushed, synced every 2 s), for VGA and UXGA phone pictures and the
// catalogue's main encoders, against the floor of libjpeg-turbo encoding the
// same RGB frame into memory. Motion JPEG's ratio to that floor is printed at
// the end; its per-frame time is the encode part of the recorder's floor.

#include "video/AviFile.h"
#include "video/CodecCatalogue.h"
#include "capture/Jpeg.h"

#include <QDir>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

namespace {

// A decoded phone picture: soft light, shapes with edges, sensor noise, gone
// through JPEG once, as every recorded frame has.
QImage PhoneFrame(int width)
{
    static std::map<int, QImage> frames;
    QImage& frame = frames[width];
    if (!frame.isNull())
        return frame;
    const int height = width * 3 / 4;
    QImage picture(width, height, QImage::Format_RGB888);
    QPainter painter(&picture);
    QLinearGradient sky(0, 0, width, height);
    sky.setColorAt(0, QColor(90, 140, 200));
    sky.setColorAt(1, QColor(230, 200, 150));
    painter.fillRect(picture.rect(), sky);
    QRandomGenerator generator(7);
    for (int i = 0; i < 60; ++i) {
        painter.setBrush(QColor::fromRgb(generator.generate() | 0xFF000000u));
        painter.setPen(Qt::NoPen);
        const int x = int(generator.bounded(width)), y = int(generator.bounded(height));
        painter.drawEllipse(x, y, int(generator.bounded(width / 4)) + 8, int(generator.bounded(height / 4)) + 8);
    }
    painter.end();
    for (int y = 0; y < height; ++y) {
        uchar* row = picture.scanLine(y);
        for (int x = 0; x < width * 3; ++x)
            row[x] = uchar(qBound(0, row[x] + int(generator.bounded(9)) - 4, 255));
    }
    const QByteArray jpeg = orv::EncodeJpeg(picture);
    orv::DecodeJpeg(reinterpret_cast<const uint8_t*>(jpeg.constData()), size_t(jpeg.size()), &frame);
    return frame;
}

orv::video::CodecCatalogue& Catalogue()
{
    static orv::video::CodecCatalogue codecs;
    return codecs;
}

QString Folder()
{
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/orvello-bench-XXXXXX"));
    return folder.path();
}

// The floor: libjpeg-turbo, quality 90, the same RGB frame into memory.
void LibjpegEncode(benchmark::State& state)
{
    const QImage frame = PhoneFrame(int(state.range(0)));
    for (auto _ : state) {
        const QByteArray bytes = orv::EncodeJpeg(frame);
        benchmark::DoNotOptimize(bytes.constData());
    }
}

// The recorder's call: one CompressFrame into a running stream.
void CompressFrame(benchmark::State& state, const char* encoder)
{
    const QImage frame = PhoneFrame(int(state.range(0)));
    const int index = Catalogue().IndexOf(QLatin1String(encoder));
    if (index < 0) {
        state.SkipWithError("the encoder is not in the catalogue");
        return;
    }
    const QString path = Folder() + QStringLiteral("/%1-%2.avi").arg(QLatin1String(encoder)).arg(state.range(0));
    auto file = orv::video::AviFile::Open(path);
    auto compressor = std::make_unique<orv::video::FrameEncoder>(Catalogue().Handle(index));
    if (!file || !compressor->StartStream(*file, frame, 1.0)) {
        state.SkipWithError("the stream does not start");
        return;
    }
    int64_t bytes = 0;
    for (auto _ : state) {
        if (!compressor->CompressFrame(frame)) {
            state.SkipWithError(compressor->LastError().toUtf8().constData());
            break;
        }
    }
    file.reset();
    compressor.reset();
    bytes = QFileInfo(path).size();
    state.counters["KiB/frame"] = double(bytes) / 1024.0 / double(std::max<int64_t>(1, state.iterations()));
    QFile::remove(path);
}

constexpr int kRepetitions = 3;
BENCHMARK(LibjpegEncode)->Arg(640)->Arg(1600)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(CompressFrame, mjpeg, "mjpeg")
    ->Arg(640)
    ->Arg(1600)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions);
BENCHMARK_CAPTURE(CompressFrame, mpeg4, "mpeg4")->Arg(640)->Arg(1600)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CompressFrame, libx264, "libx264")->Arg(640)->Arg(1600)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CompressFrame, huffyuv, "huffyuv")->Arg(640)->Arg(1600)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CompressFrame, rawvideo, "rawvideo")->Arg(640)->Arg(1600)->Unit(benchmark::kMillisecond);

// Prints as usual, then Motion JPEG's time against the floor for each size.
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
            const auto floor = times_.find(std::string("LibjpegEncode/") + size);
            const auto mjpeg = times_.find(std::string("CompressFrame/mjpeg/") + size);
            if (floor == times_.end() || mjpeg == times_.end() || floor->second <= 0)
                continue;
            std::printf("%s-pixel-wide frame, fastest of %d: Motion JPEG frame (convert, encode, write) %.3f ms, "
                        "libjpeg-turbo encode alone %.3f ms, ratio %.2f\n",
                        size, kRepetitions, mjpeg->second, floor->second, mjpeg->second / floor->second);
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
    QGuiApplication app(argc, argv);
    std::vector<char*> arguments(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave.data());
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
