#pragma once
// The phone as a camera for every PipeWire program (OBS Studio, GNOME's
// Camera, browsers through the desktop's camera portal): one video source
// node, node.name "orvello", media.class "Video/Source", media.role
// "Camera", that repeats the web camera's latest frame at a steady rate.
// libpipewire is in a module loaded on the first start (PipeWireModule.h),
// so the program starts without it and runs without it.

#include <QImage>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace orv::vcam {

namespace module {
class Node;
}

// The rate at which the node repeats its frame. A phone gives one frame
// every second or two; consumers built for 30 frames a second give up on a
// source that sends nothing for a while, so the latest frame is sent again
// this often. 10 a second keeps every consumer tried fed, costs one copy of
// the frame per repetition, and lets a new frame wait at most 100 ms (it is
// in fact sent at once).
constexpr int kFramesPerSecond = 10;

// "Orvello: Motorola V3x"; "Orvello" alone without a model.
QString NodeDescription(const QString& model);

class VirtualCamera {
public:
    ~VirtualCamera();
    VirtualCamera(const VirtualCamera&) = delete;
    VirtualCamera& operator=(const VirtualCamera&) = delete;

    // Loads the module on the first call, publishes the node and returns
    // it. nullptr when the module cannot be loaded (no libpipewire on the
    // machine), with the reason in *error. When no PipeWire daemon runs the
    // camera is returned all the same, *warning says so, and the node
    // appears when a daemon starts; so it does when the daemon restarts.
    static std::unique_ptr<VirtualCamera> Start(const QString& model, QString* error, QString* warning = nullptr);

    // Any thread; returns at once, whatever the consumers do. The frame
    // (any format; converted to RGB here) replaces the repeated one.
    void SetFrame(const QImage& frame);
    bool Connected() const;
    uint64_t FramesSent() const;

private:
    explicit VirtualCamera(std::unique_ptr<module::Node> node);
    std::unique_ptr<module::Node> node_;
};

// The module's loading, as the program's FFmpeg module is loaded: once per
// process, from any thread, never unloaded; beside the executable first,
// then in lib/orvello of the installed prefix. The first failure is one
// line on standard error and kept for LoadFailure().
bool ModuleLoaded();
QString LoadFailure();
QStringList ModuleCandidates();
// For tests: the only place the module is looked for. Before the first load.
void SetModulePathForTests(const QString& path);

}  // namespace orv::vcam
