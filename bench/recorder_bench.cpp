// The web-camera recorder's loop against the simulated phone without latency
// ("Timeout" and "CameraInitTime" 0), Motion JPEG, VGA and UXGA: frames per
// second of the whole loop against the floor measured in the same run, the
// same phone commands for one picture (shoot, download, delete), decoding
// and encoding into an AVI file, one after the other with nothing else.
// Rounds of both alternate, so that a busy machine slows both sides alike;
// the fastest round of each counts. Then the resident memory over a long
// recording.
//
// Usage: bench_recorder [--rounds N] [--frames N] [--memory-frames N]

#include "BenchKit.h"
#include "video/AviFile.h"
#include "video/RecorderView.h"
#include "video/Recorder.h"
#include "video/CodecCatalogue.h"
#include "platform/ControlPipe.h"
#include "capture/Jpeg.h"
#include "phone/PhoneLink.h"
#include "config/Settings.h"
#include "sim/SimBus.h"
#include "sim/SimPhone.h"
#include "platform/UiThread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using orv::video::Recorder;

const std::string kPhonePath = "/a/temp.jpg";

struct Options {
    int rounds = 3;
    int frames = 40;          // per round at VGA; a quarter of it at UXGA
    int memoryFrames = 2000;  // VGA
};

// The window's share of the work, as light as it can be: the frame becomes
// the current frame, texts are kept.
class BenchView final : public orv::video::RecorderView {
public:
    void RecorderStatus(orv::video::RecorderStep step, std::chrono::seconds elapsed) override
    {
        work = step;
        time = elapsed;
    }
    void RecorderFailed(const orv::video::RecorderProblem& problem, bool) override
    {
        std::fprintf(stderr, "fault %d: %s %s\n", static_cast<int>(problem.fault), qPrintable(problem.file),
                     qPrintable(problem.reason));
        failed = true;
    }
    void RecorderFrame(const QImage& frame, bool, bool) override
    {
        current = frame;
        stamps.push_back(clock.nsecsElapsed());
        if (onFrame)
            onFrame(static_cast<int>(stamps.size()));
    }

    orv::video::RecorderStep work{};
    std::chrono::seconds time{};
    QImage current;
    QElapsedTimer clock;
    std::vector<qint64> stamps;
    std::function<void(int)> onFrame;
    bool failed = false;
};

class Bench {
public:
    Bench() : bus_(PhoneOptions())
    {
        auto pipe = bus_.Open(bus_.ListInterfaces().front().devicePath);
        link_.Attach(std::move(pipe));
        settings_.SetTimeout(0);
        settings_.SetCameraInitTime(0);
        settings_.SetAviTempName(folder_.filePath(QStringLiteral("recorder.avi")));
        settings_.SetCodecIndex(codecs_.IndexOf(QStringLiteral("mjpeg")));
    }

    // Seconds per frame of the recorder's loop, over frames frames after one
    // to warm up; the file is complete when it returns.
    double RecorderLoop(int frames, BenchView* view = nullptr, const std::function<void(int)>& onFrame = {})
    {
        BenchView local;
        BenchView& v = view ? *view : local;
        v.stamps.clear();
        v.clock.start();
        Recorder* recorder = nullptr;
        v.onFrame = [&](int shown) {
            if (onFrame)
                onFrame(shown);
            if (shown == frames + 1)
                recorder->Stop();
        };
        QEventLoop loop;
        recorder = new Recorder(v, settings_, link_, codecs_, [&] { loop.quit(); });
        loop.exec();
        Recorder::WaitUntilNoneAlive(std::chrono::seconds(60));
        if (v.failed || static_cast<int>(v.stamps.size()) != frames + 1)
            return -1;
        return double(v.stamps.back() - v.stamps.front()) / 1e9 / frames;
    }

    // Seconds per frame of the same phone commands, decoding and encoding;
    // parts gets the three shares.
    double Floor(int frames, double parts[3])
    {
        QString error;
        auto file = orv::video::AviFile::Open(folder_.filePath(QStringLiteral("floor.avi")), &error);
        orv::video::FrameEncoder compressor(codecs_.Handle(settings_.GetCodecIndex()));
        if (!file)
            return -1;
        link_.CameraOn(static_cast<uint8_t>(settings_.GetJpgType()));
        std::vector<uint8_t> bytes;
        QImage frame;
        QElapsedTimer clock, part;
        qint64 shares[3] = {};
        for (int i = 0; i <= frames; ++i) {
            if (i == 1) {
                clock.start();  // the first frame warms up
                std::fill(std::begin(shares), std::end(shares), 0);
            }
            part.start();
            bytes.clear();
            int32_t total = 0;
            if (link_.TakePicture(kPhonePath) != 0)
                return -1;
            link_.ClosePhoneFile();  // as the recorder does; nothing is open
            if (link_.OpenPhoneFile(kPhonePath, 0) != 0 || link_.ReadPhoneFile(bytes, total) != 0)
                return -1;
            link_.ClosePhoneFile();
            link_.DeletePhoneFile(kPhonePath);
            shares[0] += part.nsecsElapsed();
            part.start();
            if (!orv::DecodeJpeg(bytes.data(), bytes.size(), &frame))
                return -1;
            shares[1] += part.nsecsElapsed();
            part.start();
            if (!compressor.StartStream(*file, frame, 1.0) || !compressor.CompressFrame(frame))
                return -1;
            shares[2] += part.nsecsElapsed();
        }
        const double seconds = double(clock.nsecsElapsed()) / 1e9 / frames;
        for (int i = 0; i < 3; ++i)
            parts[i] = double(shares[i]) / 1e9 / frames;
        link_.CameraOff();
        return seconds;
    }

    orv::Settings& Settings() { return settings_; }
    size_t PictureBytes()
    {
        link_.CameraOn(static_cast<uint8_t>(settings_.GetJpgType()));
        link_.TakePicture(kPhonePath);
        const auto file = bus_.Phone(0).File(kPhonePath);
        link_.DeletePhoneFile(kPhonePath);
        link_.CameraOff();
        return file ? file->size() : 0;
    }

private:
    static orv::sim::SimPhone::Options PhoneOptions()
    {
        orv::sim::SimPhone::Options options;
        options.startInTestMode = true;
        options.exchangeLatencyMs = 0;
        options.shotLatencyMs = 0;
        return options;
    }

    QTemporaryDir folder_;
    orv::sim::SimBus bus_;
    orv::phone::PhoneLink link_;
    orv::Settings settings_;
    orv::video::CodecCatalogue codecs_;
};

Options Parse(int argc, char** argv)
{
    Options options;
    orv::bench::ParseCounts(argc, argv,
                            {{"--rounds", &options.rounds}, {"--frames", &options.frames}, {"--memory-frames", &options.memoryFrames}});
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    orv::InstallUiThread();
    const Options options = Parse(argc, argv);
    QTemporaryDir settingsFolder;
    qputenv("ORVELLO_SETTINGS_FILE", settingsFolder.filePath(QStringLiteral("settings.reg")).toUtf8());

    Bench bench;
    std::printf("Recorder loop against the zero-latency simulated phone, Motion JPEG, fastest of %d rounds\n",
                options.rounds);
    int failures = 0;
    for (const auto& [code, name, frames] :
         {std::tuple{0, "VGA 640 x 480", options.frames}, std::tuple{10, "UXGA 1600 x 1200", std::max(1, options.frames / 4)}}) {
        bench.Settings().SetJpgType(code);
        double recorder = 1e9, floor = 1e9, parts[3] = {};
        for (int round = 0; round < options.rounds; ++round) {
            double roundParts[3];
            const double r = bench.RecorderLoop(frames);
            const double f = bench.Floor(frames, roundParts);
            if (r <= 0 || f <= 0) {
                std::printf("%s: the run failed\n", name);
                ++failures;
                break;
            }
            recorder = std::min(recorder, r);
            if (f < floor) {
                floor = f;
                std::copy(std::begin(roundParts), std::end(roundParts), std::begin(parts));
            }
        }
        if (recorder >= 1e9)
            continue;
        std::printf("  %-17s picture %7zu bytes, %3d frames a round: recorder %6.2f fps (%7.2f ms a frame), "
                    "floor %6.2f fps (%7.2f ms: phone commands %.2f, decode %.2f, encode %.2f), "
                    "recorder %.2f of the floor's rate (target 0.90 or more)\n",
                    name, bench.PictureBytes(), frames, 1.0 / recorder, recorder * 1e3, 1.0 / floor, floor * 1e3,
                    parts[0] * 1e3, parts[1] * 1e3, parts[2] * 1e3, floor / recorder);
    }

    // Memory: VGA, the resident size after a warm-up against the end.
    bench.Settings().SetJpgType(0);
    const int warmUp = std::min(100, options.memoryFrames / 10 + 1);
    long atWarmUp = 0, peak = 0;
    BenchView view;
    const double perFrame = bench.RecorderLoop(options.memoryFrames, &view, [&](int shown) {
        const long now = orv::bench::ResidentKiB();
        if (shown == warmUp)
            atWarmUp = now;
        if (shown > warmUp)
            peak = std::max(peak, now);
    });
    if (perFrame <= 0) {
        std::printf("Memory run failed\n");
        ++failures;
    } else {
        std::printf("Resident memory over %d VGA frames: %ld KiB after %d frames, %ld KiB at most after that, "
                    "growth %+ld KiB (target under 1024 KiB); %.2f fps\n",
                    options.memoryFrames, atWarmUp, warmUp, peak, peak - atWarmUp, 1.0 / perFrame);
    }
    return failures == 0 ? 0 : 1;
}
