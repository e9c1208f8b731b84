// The live MJPEG stream under viewers: the window hands over a VGA frame of
// the simulated camera 5 times a second, as the recorder does (through a
// synchronised call from a worker thread, the frame shown in the window too),
// while 0, 1 and 50 viewers read /stream.mjpg from a child process. Printed:
// the processor time of the whole program per second of streaming and per
// viewer, the parts the viewers got, what the server held for them at most,
// and the longest stall of the window's event loop (target under 20 ms).
//
// Arguments: seconds per run (default 10). The child runs as
// `bench_stream --viewers PORT COUNT SECONDS`.

#include "capture/Jpeg.h"
#include "shell/MainWindow.h"
#include "sim/SimPhone.h"
#include "platform/WorkerThread.h"
#include "platform/UiThread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kFramesPerSecond = 5;
constexpr std::string_view kPartStart = "--orvelloframe\r\n";

// --- the viewers (child process) ---

// Opens count streams, says READY, and reads them for the given seconds;
// prints the fewest and most parts one viewer got in that time and the
// bytes all got.
int RunViewers(int port, int count, int seconds)
{
    struct Viewer {
        int fd = -1;
        long long parts = 0;
        long long bytes = 0;
        std::string tail;  // the end of the last read, for a boundary split across reads
    };
    std::vector<Viewer> viewers(static_cast<size_t>(count));
    const char request[] = "GET /stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (size_t i = 0; i < viewers.size(); ++i) {
        Viewer& viewer = viewers[i];
        viewer.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Each viewer from a loopback address of its own, as from its own
        // machine: the server takes at most 8 connections from one address.
        sockaddr_in own{};
        own.sin_family = AF_INET;
        own.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(i));
        ::bind(viewer.fd, reinterpret_cast<const sockaddr*>(&own), sizeof own);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(viewer.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::send(viewer.fd, request, sizeof request - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request - 1)) {
            std::fprintf(stderr, "a viewer could not connect\n");
            return 1;
        }
        ::fcntl(viewer.fd, F_SETFL, ::fcntl(viewer.fd, F_GETFL) | O_NONBLOCK);
    }
    std::printf("READY\n");
    std::fflush(stdout);
    std::vector<pollfd> polled;
    for (const Viewer& viewer : viewers)
        polled.push_back({viewer.fd, POLLIN, 0});
    std::vector<char> buffer(256 * 1024);
    // What arrived while the others connected does not count.
    for (Viewer& viewer : viewers) {
        while (::recv(viewer.fd, buffer.data(), buffer.size(), 0) > 0) {
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(polled.data(), polled.size(), 50) <= 0)
            continue;
        for (size_t i = 0; i < polled.size(); ++i) {
            if (!(polled[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Viewer& viewer = viewers[i];
            const ssize_t n = ::recv(viewer.fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                polled[i].fd = -1;  // ended
                continue;
            }
            viewer.bytes += n;
            std::string text = viewer.tail + std::string(buffer.data(), static_cast<size_t>(n));
            for (size_t at = text.find(kPartStart); at != std::string::npos; at = text.find(kPartStart, at + 1))
                ++viewer.parts;
            viewer.tail = text.substr(text.size() - std::min(text.size(), kPartStart.size() - 1));
        }
    }
    long long fewest = viewers.front().parts, most = 0, bytes = 0;
    for (const Viewer& viewer : viewers) {
        fewest = std::min(fewest, viewer.parts);
        most = std::max(most, viewer.parts);
        bytes += viewer.bytes;
        ::close(viewer.fd);
    }
    std::printf("VIEWERS %lld %lld %lld\n", fewest, most, bytes);
    return 0;
}

// --- the program (parent process) ---

// The longest time between two turns of a 1 ms timer on the event loop, and
// the most processor time the loop's thread spent between two turns.
class StallMeter {
public:
    StallMeter()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const long long cpu = ThreadCpuNs();
            longestNs_ = std::max(longestNs_, clock_.nsecsElapsed());
            longestCpuNs_ = std::max(longestCpuNs_, cpu - lastCpuNs_);
            clock_.restart();
            lastCpuNs_ = cpu;
        });
    }
    void Start()
    {
        longestNs_ = longestCpuNs_ = 0;
        clock_.start();
        lastCpuNs_ = ThreadCpuNs();
        timer_.start();
    }
    void Stop() { timer_.stop(); }
    double LongestMs() const { return static_cast<double>(longestNs_) / 1e6; }
    double LongestCpuMs() const { return static_cast<double>(longestCpuNs_) / 1e6; }
    static long long ThreadCpuNs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    long long longestNs_ = 0;
    long long longestCpuNs_ = 0;
    long long lastCpuNs_ = 0;
};

double ProcessCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// The recorder's stand-in: a new frame 5 times a second, on a deadline that
// does not drift, handed over through a synchronised call as the recorder
// hands over its frames (and shown in the window).
class FrameFeeder final : public orv::WorkerThread {
public:
    FrameFeeder(orv::video::RecorderView& view, std::vector<QImage> frames) : view_(view), frames_(std::move(frames)) {}

protected:
    void Run() override
    {
        auto next = std::chrono::steady_clock::now();
        for (size_t n = 0; !Terminated(); ++n) {
            next += std::chrono::milliseconds(1000 / kFramesPerSecond);
            std::this_thread::sleep_until(next);
            const QImage frame = frames_[n % frames_.size()].copy();  // a new frame each time
            Synchronize([&] { view_.RecorderFrame(frame, true, false); });
        }
    }

private:
    orv::video::RecorderView& view_;
    std::vector<QImage> frames_;
};

// The window whose web camera is the stand-in.
class BenchForm final : public orv::MainWindow {
public:
    std::vector<QImage> frames;

    BenchForm()
    {
        session->SetRecorderMaker([this](orv::video::RecorderView& view, std::function<void()> finished,
                                         const orv::webcam::Session::Request&,
                                         std::shared_ptr<orv::video::RecordingLog>) {
            auto* thread = new FrameFeeder(view, frames);
            thread->SetFreeOnTerminate(true);
            thread->OnTerminate = [finished](orv::WorkerThread*) { finished(); };
            thread->Start();
            return static_cast<orv::WorkerThread*>(thread);
        });
    }
};

struct Figures {
    int viewers = 0;
    int frames = 0;  // handed over during the run
    double cpuMsPerSecond = 0;
    double loopCpuMsPerSecond = 0;
    long long fewestParts = 0, mostParts = 0;
    double stallMs = 0, stallCpuMs = 0;
};

int FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 5 && std::strcmp(argv[1], "--viewers") == 0)
        return RunViewers(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    orv::InstallUiThread();
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;

    std::vector<QImage> frames;
    for (uint32_t n = 1; n <= 2; ++n) {
        const std::vector<uint8_t> jpeg = orv::sim::ShootTestPicture(640, 480, n, 1796567400, 1, 3);
        QImage frame;
        orv::DecodeJpeg(jpeg.data(), jpeg.size(), &frame);
        frames.push_back(frame);
    }
    const long long partBytes = orv::EncodeJpeg(frames[0]).size();

    QTemporaryDir dir;
    qputenv("ORVELLO_SETTINGS_FILE", dir.filePath(QStringLiteral("settings.reg")).toUtf8());
    qputenv("ORVELLO_LOCK_DIR", dir.path().toUtf8());
    const int port = FreePort();
    std::vector<Figures> results;
    {
        BenchForm form;
        form.frames = frames;
        orv::Settings().SetAutoPhoneConnect(false);
        orv::Settings().SetServerEnabled(true);
        orv::Settings().SetServerStream(true);
        orv::Settings().SetServerPort(port);
        form.show();
        form.StartWebCamera();
        if (!form.session->Running() || !form.session->Server().isListening()) {
            std::fprintf(stderr, "the picture server did not start\n");
            return 1;
        }
        StallMeter stalls;
        const auto handedOver = [&form] { return static_cast<int>(form.session->Frames()); };
        // Rounds of runs, interleaved so that a change in the machine's load
        // touches them alike.
        for (const int viewers : {0, 1, 50, 0, 50, 0, 50}) {
            Figures figures;
            figures.viewers = viewers;
            QProcess child;
            QEventLoop loop;
            QObject::connect(&child, &QProcess::finished, &loop, &QEventLoop::quit);
            QObject::connect(&child, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
            int framesBefore = 0;
            double cpuBefore = 0;
            long long loopCpuBefore = 0;
            QElapsedTimer wall;
            // The run is measured from the moment every viewer is there.
            const auto begin = [&] {
                framesBefore = handedOver();
                cpuBefore = ProcessCpuMs();
                loopCpuBefore = StallMeter::ThreadCpuNs();
                wall.start();
                stalls.Start();
            };
            QByteArray said;
            QObject::connect(&child, &QProcess::readyReadStandardOutput, [&] {
                said += child.readAllStandardOutput();
                if (said.startsWith("READY\n") && !wall.isValid())
                    begin();
            });
            if (viewers > 0) {
                child.start(QCoreApplication::applicationFilePath(),
                            {QStringLiteral("--viewers"), QString::number(port), QString::number(viewers),
                             QString::number(seconds)});
                loop.exec();  // the window's event loop turns while the viewers read
            } else {
                begin();
                QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
                loop.exec();
            }
            stalls.Stop();
            const double elapsedS = static_cast<double>(wall.elapsed()) / 1000.0;
            figures.cpuMsPerSecond = (ProcessCpuMs() - cpuBefore) / elapsedS;
            figures.loopCpuMsPerSecond =
                static_cast<double>(StallMeter::ThreadCpuNs() - loopCpuBefore) / 1e6 / elapsedS;
            figures.frames = handedOver() - framesBefore;
            figures.stallMs = stalls.LongestMs();
            figures.stallCpuMs = stalls.LongestCpuMs();
            if (viewers > 0) {
                said += child.readAllStandardOutput();
                const QString output = QString::fromLocal8Bit(said).section(QLatin1Char('\n'), 1).trimmed();
                const QStringList fields = output.split(QLatin1Char(' '));
                if (fields.size() == 4 && fields[0] == QLatin1String("VIEWERS")) {
                    figures.fewestParts = fields[1].toLongLong();
                    figures.mostParts = fields[2].toLongLong();
                } else {
                    std::fprintf(stderr, "the viewers gave no figures: %s\n", qPrintable(output));
                }
            }
            results.push_back(figures);
            // Let the streams of the run close before the next one.
            QElapsedTimer settle;
            settle.start();
            while (form.session->Server().StreamStatus().streams > 0 && settle.elapsed() < 5000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        const auto streams = form.session->Server().StreamStatus();

        std::printf("Live stream /stream.mjpg: VGA frames of the simulated camera (JPEG %lld bytes) at %d a second, "
                    "%d s a run\n",
                    partBytes, kFramesPerSecond, seconds);
        std::printf("%8s %8s %14s %14s %12s %12s %14s %16s\n", "viewers", "frames", "CPU ms/s", "loop CPU ms/s", "parts min",
                    "parts max", "longest stall", "its loop CPU ms");
        for (const Figures& f : results)
            std::printf("%8d %8d %14.1f %14.1f %12lld %12lld %11.1f ms %16.1f\n", f.viewers, f.frames, f.cpuMsPerSecond,
                        f.loopCpuMsPerSecond, f.fewestParts, f.mostParts, f.stallMs, f.stallCpuMs);
        const auto median = [&results](int viewers, double Figures::*field) {
            std::vector<double> values;
            for (const Figures& f : results) {
                if (f.viewers == viewers)
                    values.push_back(f.*field);
            }
            std::sort(values.begin(), values.end());
            return values[values.size() / 2];
        };
        const double perViewer =
            (median(50, &Figures::cpuMsPerSecond) - median(0, &Figures::cpuMsPerSecond)) / 50.0;
        std::printf("Processor time per viewer (medians, 50 viewers against none): %.2f ms a second, %.3f %% of a "
                    "core\n",
                    perViewer, perViewer / 10.0);
        std::printf("Longest stall of the window's event loop with 50 viewers (target under 20 ms): median %.1f ms, "
                    "the loop's own processor time in it %.1f ms;\n  without viewers: median %.1f ms, %.1f ms of it "
                    "the loop's\n",
                    median(50, &Figures::stallMs), median(50, &Figures::stallCpuMs), median(0, &Figures::stallMs),
                    median(0, &Figures::stallCpuMs));
        std::printf("Frames encoded: %d; parts written: %lld; waiting frames replaced: %lld; the most one viewer's "
                    "connection held: %lld bytes (%.2f parts), and the system for it %lld bytes (%.2f parts)\n",
                    form.session->Server().EncodingCount(), streams.partsWritten, streams.framesReplaced,
                    streams.peakHeldBytes, static_cast<double>(streams.peakHeldBytes) / static_cast<double>(partBytes),
                    streams.peakKernelBytes,
                    static_cast<double>(streams.peakKernelBytes) / static_cast<double>(partBytes));
        double load[3] = {};
        if (getloadavg(load, 3) == 3)
            std::printf("Load average of the machine after the runs: %.1f\n", load[0]);

        form.StopWebCamera();
        QElapsedTimer waited;
        waited.start();
        while (form.session->CurrentState() != orv::webcam::State::Idle && waited.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return 0;
}
