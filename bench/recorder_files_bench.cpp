// Resident memory of a recording that goes on for many files: the recorder
// with a split every minute and a size to keep, dated names in a folder (as
// `--record FOLDER/ --split-minutes 1 --keep-megabytes N`), against the
// simulated phone without latency. The program's clock is a manual one that
// every frame moves on by a second (by default), so a one-minute file takes
// 60 frames and sixty of them take about as long as 3,600 VGA frames.
//
// The simulated phone's own record of commands is filled before the first
// file. The resident size is read at every frame and each file's largest kept;
// the heap (in use, and taken from the system) as each file begins. Target:
// every file's largest resident size within 5 MiB of the first file's.
//
// Usage: bench_recorder_files [--files N] [--frames-per-file N] [--keep-megabytes N]

#include "BenchKit.h"
#include "video/Recorder.h"
#include "video/RecorderView.h"
#include "video/CodecCatalogue.h"
#include "phone/PhoneLink.h"
#include "config/Settings.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "sim/SimPhone.h"
#include "platform/UiThread.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <vector>

namespace {

struct Options {
    int files = 60;
    int framesPerFile = 60;
    int keepMegabytes = 20;
};

Options Parse(int argc, char** argv)
{
    Options options;
    orv::bench::ParseCounts(argc, argv,
                            {{"--files", &options.files},
                             {"--frames-per-file", &options.framesPerFile},
                             {"--keep-megabytes", &options.keepMegabytes}});
    return options;
}

struct Sample {
    long residentKiB = 0;
    long heapInUseKiB = 0;  // malloc's blocks handed out
    long heapTakenKiB = 0;  // what malloc holds from the system
};

Sample Measure()
{
    const struct mallinfo2 heap = mallinfo2();
    return {orv::bench::ResidentKiB(), long((heap.uordblks + heap.hblkhd) / 1024), long((heap.arena + heap.hblkhd) / 1024)};
}

// The window's share, as light as it can be; each frame moves the clock on
// by its share of a minute.
class FilesView final : public orv::video::RecorderView {
public:
    FilesView(orv::ManualClock& clock, uint32_t frameMs) : clock_(clock), frameMs_(frameMs) {}
    void RecorderStatus(orv::video::RecorderStep, std::chrono::seconds) override {}
    void RecorderFailed(const orv::video::RecorderProblem& problem, bool) override
    {
        std::fprintf(stderr, "fault %d: %s %s\n", static_cast<int>(problem.fault), qPrintable(problem.file),
                     qPrintable(problem.reason));
        failed = true;
    }
    void RecorderFrame(const QImage& frame, bool, bool) override
    {
        current = frame;
        ++frames;
        clock_.Advance(frameMs_);
        if (onFrame)
            onFrame();
    }

    QImage current;
    long frames = 0;
    bool failed = false;
    std::function<void()> onFrame;

private:
    orv::ManualClock& clock_;
    const uint32_t frameMs_;
};

orv::sim::SimPhone::Options FastPhone()
{
    orv::sim::SimPhone::Options options;
    options.startInTestMode = true;
    options.exchangeLatencyMs = 0;
    options.shotLatencyMs = 0;
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A line for every file would bury the figures.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "orvello.*.info=false");
    QApplication app(argc, argv);
    orv::InstallUiThread();
    const Options options = Parse(argc, argv);
    QTemporaryDir work;
    qputenv("ORVELLO_SETTINGS_FILE", work.filePath(QStringLiteral("settings.reg")).toUtf8());
    const QString folder = work.filePath(QStringLiteral("videos"));
    QDir().mkpath(folder);

    orv::ManualClock clock;
    orv::SetClock(&clock);
    orv::sim::SimBus bus(FastPhone());
    orv::phone::PhoneLink link;
    link.Attach(bus.Open(bus.ListInterfaces().front().devicePath));
    // The simulated phone keeps a record of its latest commands, 2 MiB or so
    // when full: filled first, its growth (the test phone's, and bounded)
    // is not counted against the program's files.
    for (size_t i = 0; i < orv::sim::SimPhone::kCommandRecordLimit; ++i)
        link.SetLighting(1);
    orv::Settings settings;
    settings.SetTimeout(0);
    settings.SetCameraInitTime(0);
    settings.SetJpgType(0);  // VGA
    orv::video::CodecCatalogue codecs;
    settings.SetCodecIndex(codecs.IndexOf(QStringLiteral("mjpeg")));

    FilesView view(clock, static_cast<uint32_t>(60000 / options.framesPerFile));
    // Per file: the heap as it begins, the largest resident size while it
    // is recorded. The last one is cut short by the stop and not counted.
    std::vector<Sample> samples;
    QString currentFile;
    orv::video::Recorder* recorder = nullptr;
    view.onFrame = [&] {
        const QString name = recorder->FileName();
        if (name != currentFile) {
            if (static_cast<int>(samples.size()) == options.files) {
                recorder->Stop();
                return;
            }
            samples.push_back(Measure());
            currentFile = name;
        }
        samples.back().residentKiB = std::max(samples.back().residentKiB, orv::bench::ResidentKiB());
    };
    QEventLoop loop;
    const orv::video::SplitPlan plan{1, static_cast<uint32_t>(options.keepMegabytes)};
    recorder = new orv::video::Recorder(view, settings, link, codecs, [&] { loop.quit(); }, folder + QLatin1Char('/'),
                                        orv::video::Recorder::Recording::FromSettings, true, plan);
    loop.exec();
    orv::video::Recorder::WaitUntilNoneAlive(std::chrono::seconds(60));
    orv::SetClock(nullptr);

    const int kept = static_cast<int>(QDir(folder).entryList({QStringLiteral("*.avi")}, QDir::Files).size());
    std::printf("Recorder over %d one-minute files (VGA, Motion JPEG, %d frames a file on a manual clock, "
                "keep %d MB, dated names): %ld frames, %d files kept\n",
                options.files, options.framesPerFile, options.keepMegabytes, view.frames, kept);
    if (view.failed || static_cast<int>(samples.size()) < options.files) {
        std::printf("The run failed: %zu files recorded\n", samples.size());
        return 1;
    }
    const Sample& first = samples.front();
    long largest = first.residentKiB;
    for (size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        largest = std::max(largest, s.residentKiB);
        const size_t file = i + 1;
        if (file <= 3 || file % 10 == 0 || file == samples.size())
            std::printf("  file %2zu: resident at most %7ld KiB (%+6ld); as it began, heap in use %7ld KiB (%+6ld), "
                        "taken from the system %7ld KiB (%+6ld)\n",
                        file, s.residentKiB, s.residentKiB - first.residentKiB, s.heapInUseKiB,
                        s.heapInUseKiB - first.heapInUseKiB, s.heapTakenKiB, s.heapTakenKiB - first.heapTakenKiB);
    }
    constexpr long kTargetKiB = 5 * 1024;
    const long growth = largest - first.residentKiB;
    std::printf("Target: resident memory within %ld KiB of the first file's %ld KiB: largest %ld KiB (%+ld KiB), "
                "%s\n",
                kTargetKiB, first.residentKiB, largest, growth, growth <= kTargetKiB ? "met" : "NOT met");
    return 0;
}
