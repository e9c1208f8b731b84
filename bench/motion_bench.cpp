// The motion detector: the comparison of one frame with the background at
// VGA and UXGA, on the simulated phone's pictures with the ball moving,
// against its targets (1 ms and 3 ms a frame) and against the floor measured
// in the same run, one copy of the frame. Times are the thread's CPU time,
// so that the machine's other work does not count; rounds of both
// alternate, and the fastest round of each counts. Then the resident memory over a long run of frames with
// events: detector and event tracker as the recorder drives them, the frame
// decoded into the same buffer each time. Last, the same through the
// recorder: the simulated phone without latency, its scene standing and
// moving in turn, on a manual clock; every event a file of its own in a
// folder kept within a size, as `--record FOLDER/ --on-motion` records.
//
// Usage: bench_motion [--rounds N] [--frames N] [--memory-frames N]

#include "BenchKit.h"
#include "capture/Jpeg.h"
#include "config/Settings.h"
#include "phone/PhoneLink.h"
#include "platform/Clock.h"
#include "platform/UiThread.h"
#include "sim/SimBus.h"
#include "sim/SimPhone.h"
#include "video/CodecCatalogue.h"
#include "video/MotionDetector.h"
#include "video/MotionEvents.h"
#include "video/Recorder.h"
#include "video/RecorderView.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

using orv::video::MotionDetector;
using orv::video::MotionEvents;
// The time this thread ran: the machine's other work does not count.
struct ThreadClock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<ThreadClock>;
    static time_point now()
    {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return time_point(duration(t.tv_sec * 1000000000LL + t.tv_nsec));
    }
};
using Clock = ThreadClock;

struct Options {
    int rounds = 5;
    int frames = 400;  // per round at VGA; a quarter of it at UXGA
    int memoryFrames = 2000;
};

Options Parse(int argc, char** argv)
{
    Options options;
    orv::bench::ParseCounts(argc, argv,
                            {{"--rounds", &options.rounds}, {"--frames", &options.frames}, {"--memory-frames", &options.memoryFrames}});
    return options;
}

// The simulated phone's picture of that frame number, decoded as the
// recorder decodes it.
QImage Picture(int width, int height, uint32_t frame, uint32_t grain)
{
    const std::vector<uint8_t> jpeg = orv::sim::ShootTestPicture(width, height, frame, 1796567400 + frame, 1, 3, grain);
    QImage decoded;
    orv::DecodeJpeg(jpeg.data(), jpeg.size(), &decoded);
    return decoded;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Seconds a frame of the comparison, over frames frames of the moving ball.
double Comparison(const std::vector<QImage>& pictures, int frames, double* changed)
{
    MotionDetector detector;
    detector.Compare(pictures.front());
    int moving = 0;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < frames; ++i)
        moving += detector.Compare(pictures[static_cast<size_t>(i) % pictures.size()]).motion ? 1 : 0;
    const double seconds = Seconds(Clock::now() - start) / frames;
    *changed = double(moving) / frames;
    return seconds;
}

// Seconds a frame of copying it: the least a comparison that reads the
// whole frame can cost.
double Floor(const std::vector<QImage>& pictures, int frames)
{
    std::vector<uchar> copy(static_cast<size_t>(pictures.front().sizeInBytes()));
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        const QImage& picture = pictures[static_cast<size_t>(i) % pictures.size()];
        std::memcpy(copy.data(), picture.constBits(), copy.size());
    }
    const double seconds = Seconds(Clock::now() - start) / frames;
    if (copy[static_cast<size_t>(frames) % copy.size()] == 1)
        std::printf(" ");  // keeps the copies from being left out
    return seconds;
}

// The window's share of a recording on motion, as light as it can be: each
// frame moves the clock on by frameMs; the resident size is read at each.
class MotionView final : public orv::video::RecorderView {
public:
    MotionView(orv::ManualClock& clock, uint32_t frameMs) : clock_(clock), frameMs_(frameMs) {}
    void RecorderStatus(orv::video::RecorderStep, std::chrono::seconds) override {}
    void RecorderFailed(const orv::video::RecorderProblem& problem, bool) override
    {
        std::fprintf(stderr, "fault %d: %s %s\n", static_cast<int>(problem.fault), qPrintable(problem.file),
                     qPrintable(problem.reason));
        failed = true;
    }
    void RecorderFrame(const QImage&, bool, bool) override
    {
        ++frames;
        clock_.Advance(frameMs_);
        const long now = orv::bench::ResidentKiB();
        if (frames == warmUp)
            atWarmUp = now;
        if (frames > warmUp)
            peak = std::max(peak, now);
        if (frames == last && recorder)
            recorder->Stop();
    }
    void RecorderMotion(const orv::video::MotionEvent& event) override
    {
        if (event.ended) {
            ++events;
            written += event.frames;
        }
    }

    orv::video::Recorder* recorder = nullptr;
    long frames = 0, warmUp = 0, last = 0;
    long atWarmUp = 0, peak = 0;
    long events = 0, written = 0;
    bool failed = false;

private:
    orv::ManualClock& clock_;
    const uint32_t frameMs_;
};

// Resident memory of the recorder recording on motion over frames VGA
// frames at 5 a second: the scene stands for 60 frames and moves for 40 in
// turn; events kept on for 2 s; the folder kept within 20 MB. True when it
// stayed within 1 MiB after the first 300 frames.
bool RecorderMemory(int frames)
{
    QTemporaryDir work;
    qputenv("ORVELLO_SETTINGS_FILE", work.filePath(QStringLiteral("settings.reg")).toUtf8());
    const QString folder = work.filePath(QStringLiteral("videos"));
    QDir().mkpath(folder);
    orv::ManualClock clock;
    orv::SetClock(&clock);
    orv::sim::SimPhone::Options fast;
    fast.startInTestMode = true;
    orv::sim::SimBus bus(fast);
    for (int cycle = 0; cycle * 100 < frames; ++cycle) {
        bus.Phone(0).SetStillAtShot(static_cast<uint32_t>(cycle * 100 + 1), true);
        bus.Phone(0).SetStillAtShot(static_cast<uint32_t>(cycle * 100 + 61), false);
    }
    orv::phone::PhoneLink link;
    link.Attach(bus.Open(bus.ListInterfaces().front().devicePath));
    // The phone's own record of commands (bounded, a few MB when full) is
    // filled first, so that its growth is not counted.
    for (size_t i = 0; i < orv::sim::SimPhone::kCommandRecordLimit; ++i)
        link.SetLighting(1);
    orv::Settings settings;
    settings.SetTimeout(0);
    settings.SetCameraInitTime(0);
    settings.SetJpgType(0);
    orv::video::CodecCatalogue codecs;
    settings.SetCodecIndex(codecs.IndexOf(QStringLiteral("mjpeg")));
    MotionView view(clock, 200);
    view.warmUp = std::min(300, frames / 2);
    view.last = frames;
    orv::video::MotionPlan motion;
    motion.enabled = true;
    motion.keepSeconds = 2;
    QEventLoop loop;
    view.recorder = new orv::video::Recorder(view, settings, link, codecs, [&] { loop.quit(); },
                                             folder + QLatin1Char('/'), orv::video::Recorder::Recording::FromSettings,
                                             true, orv::video::SplitPlan{0, 20}, nullptr, motion);
    loop.exec();
    orv::video::Recorder::WaitUntilNoneAlive(std::chrono::seconds(60));
    orv::SetClock(nullptr);
    const long growth = view.peak - view.atWarmUp;
    const bool flat = !view.failed && view.events > 1 && growth < 1024;
    std::printf("Resident memory of the recorder over %ld VGA frames on motion (Motion JPEG, %ld events into files "
                "of their own, %ld frames in them, %lld files kept): %ld KiB after %ld frames, %ld KiB at most after "
                "that, growth %+ld KiB (target under 1024 KiB: %s)\n",
                view.frames, view.events, view.written,
                static_cast<long long>(QDir(folder).entryList({QStringLiteral("*.avi")}, QDir::Files).size()),
                view.atWarmUp, view.warmUp, view.peak, growth, flat ? "met" : "MISSED");
    return flat;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "orvello.*.info=false");
    QGuiApplication app(argc, argv);
    orv::InstallUiThread();
    const Options options = Parse(argc, argv);
    std::printf("Motion detector: the comparison of one frame, the ball moving, fastest of %d rounds\n",
                options.rounds);
    struct Size {
        const char* name;
        int width, height, frames;
        double target;  // seconds a frame
    };
    int failures = 0;
    for (const Size& size : {Size{"VGA 640 x 480", 640, 480, options.frames, 1e-3},
                             Size{"UXGA 1600 x 1200", 1600, 1200, std::max(1, options.frames / 4), 3e-3}}) {
        std::vector<QImage> pictures;
        for (uint32_t frame = 1; frame <= 16; ++frame)
            pictures.push_back(Picture(size.width, size.height, frame, frame));
        double compare = 1e9, floor = 1e9, changed = 0;
        for (int round = 0; round < options.rounds; ++round) {
            compare = std::min(compare, Comparison(pictures, size.frames, &changed));
            floor = std::min(floor, Floor(pictures, size.frames));
        }
        const bool met = compare < size.target;
        failures += met ? 0 : 1;
        std::printf("  %-17s %4d frames a round: comparison %6.3f ms of CPU a frame (target under %.0f ms: %s), "
                    "floor %6.3f ms (one copy of the frame), %.1f times the floor; motion in %.0f %% of frames\n",
                    size.name, size.frames, compare * 1e3, size.target * 1e3, met ? "met" : "MISSED", floor * 1e3,
                    compare / floor, changed * 100);
    }

    // Memory: VGA at 5 frames a second, the scene standing for 12 s and
    // moving for 8 s in turn, events kept on for 2 s; the frame decoded
    // into the same buffer each time as the recorder does.
    std::vector<QImage> moving, standing;
    for (uint32_t frame = 1; frame <= 16; ++frame)
        moving.push_back(Picture(640, 480, frame, frame));
    for (uint32_t grain = 0; grain < 8; ++grain)
        standing.push_back(Picture(640, 480, 16, 100 + grain));
    MotionDetector detector;
    MotionEvents events(2000);
    QImage frame(640, 480, QImage::Format_RGB888);
    const int warmUp = std::min(200, options.memoryFrames / 10 + 1);
    long atWarmUp = 0, peak = 0;
    int started = 0;
    size_t written = 0;
    for (int i = 0; i < options.memoryFrames; ++i) {
        const bool moves = i % 100 >= 60;
        const QImage& source = moves ? moving[static_cast<size_t>(i) % moving.size()]
                                     : standing[static_cast<size_t>(i) % standing.size()];
        std::memcpy(frame.bits(), source.constBits(), static_cast<size_t>(source.sizeInBytes()));
        const bool motion = detector.Compare(frame).motion;
        switch (events.Feed(motion, static_cast<uint32_t>(i) * 200, frame)) {
        case MotionEvents::Step::Start:
            ++started;
            written += events.Before().size() + 1;
            break;
        case MotionEvents::Step::Record: ++written; break;
        case MotionEvents::Step::End:
        case MotionEvents::Step::Wait: break;
        }
        const long now = orv::bench::ResidentKiB();
        if (i + 1 == warmUp)
            atWarmUp = now;
        if (i + 1 > warmUp)
            peak = std::max(peak, now);
    }
    const bool flat = peak - atWarmUp < 1024 && started > 1;
    failures += flat ? 0 : 1;
    std::printf("Resident memory over %d VGA frames with %d events (%zu frames in them): %ld KiB after %d frames, "
                "%ld KiB at most after that, growth %+ld KiB (target under 1024 KiB: %s)\n",
                options.memoryFrames, started, written, atWarmUp, warmUp, peak, peak - atWarmUp,
                flat ? "met" : "MISSED");
    failures += RecorderMemory(options.memoryFrames) ? 0 : 1;
    return failures == 0 ? 0 : 1;
}
