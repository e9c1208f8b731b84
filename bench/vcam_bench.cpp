// The PipeWire camera's cost in the program: a phone-like frame (640 x 480,
// a new one every second) handed over on the event loop's thread as the
// window does, with the camera and without it. Prints the process's CPU time
// a second and the event loop's longest stall (the longest gap of a 1 ms
// timer). The consumer is outside (bench/vcam.sh); without a daemon the run
// with the camera says so.

#include "vcam/VirtualCamera.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include <cstdio>
#include <memory>

#include <sys/resource.h>

namespace {

constexpr int kSeconds = 20;

double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QImage Frame(int number)
{
    QImage frame(640, 480, QImage::Format_RGB888);
    frame.fill(QColor::fromHsv((number * 37) % 360, 180, 200));
    QPainter painter(&frame);
    painter.drawText(20, 40, QStringLiteral("frame %1").arg(number));
    return frame;
}

struct Result {
    double cpuPerSecond = 0;
    qint64 longestStallMs = 0;
    uint64_t sent = 0;
};

// kSeconds of frames, one a second, through camera when there is one.
Result Run(orv::vcam::VirtualCamera* camera)
{
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (now - lastTick > longest)
            longest = now - lastTick;
        lastTick = now;
    });
    int number = 0;
    QTimer frames;
    QObject::connect(&frames, &QTimer::timeout, [&] {
        const QImage frame = Frame(++number);
        if (camera)
            camera->SetFrame(frame);
    });
    const double cpu = CpuSeconds();
    tick.start(1);
    frames.start(1000);
    QTimer::singleShot(kSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    Result result;
    result.cpuPerSecond = (CpuSeconds() - cpu) / kSeconds;
    result.longestStallMs = longest - 1;
    result.sent = camera ? camera->FramesSent() : 0;
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const Result without = Run(nullptr);
    std::printf("without the camera: %.1f ms CPU a second, longest event-loop stall %lld ms\n",
                without.cpuPerSecond * 1000, static_cast<long long>(without.longestStallMs));
    QString error;
    QString warning;
    std::unique_ptr<orv::vcam::VirtualCamera> camera = orv::vcam::VirtualCamera::Start(
        QStringLiteral("Motorola V3x"), &error, &warning);
    if (!camera || !warning.isEmpty()) {
        std::printf("with the camera: skipped (%s)\n", (camera ? warning : error).toLocal8Bit().constData());
        return 0;
    }
    camera->SetFrame(Frame(0));  // the node is made at the first frame
    // Measured once the consumer reads: it connects when the node is there.
    QElapsedTimer waited;
    waited.start();
    while (camera->FramesSent() < 5 && waited.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    if (camera->FramesSent() < 5)
        std::printf("with the camera: no consumer reads it (bench/vcam.sh starts one)\n");
    const uint64_t before = camera->FramesSent();
    const Result with = Run(camera.get());
    std::printf("with the camera at %d fps: %.1f ms CPU a second, longest event-loop stall %lld ms, "
                "%.1f frames a second sent\n",
                orv::vcam::kFramesPerSecond, with.cpuPerSecond * 1000, static_cast<long long>(with.longestStallMs),
                static_cast<double>(with.sent - before) / kSeconds);
    return 0;
}
