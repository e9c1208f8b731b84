#pragma once
// The boundary between the program and its PipeWire module
// (orvello-pipewire.so), shared by both sides. Everything that touches
// libpipewire lives in the module, which the program loads when the PipeWire
// camera is first turned on, so its start does not pay for PipeWire and a
// machine without it loses only that camera.
//
// kAbiVersion changes whenever anything here changes; each side checks it,
// so a module of another build is refused rather than misused.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orv::vcam::module {

constexpr int kAbiVersion = 1;

inline constexpr char kFileName[] = "orvello-pipewire.so";
inline constexpr char kAbiSymbol[] = "orvello_pipewire_abi";
inline constexpr char kOpenSymbol[] = "orvello_pipewire_open";

// A camera frame: packed RGB, three bytes a pixel, rows of stride bytes.
struct RgbFrame {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<uint8_t> pixels;
};

// What the node says of itself and how often it repeats its frame.
struct NodeSettings {
    std::string name;         // node.name
    std::string description;  // node.description
    int framesPerSecond = 10;
};

// What the program lends the module, for the life of the process.
struct HostServices {
    // One line for the program's log (no line break at its end).
    void (*log)(const char* line);
};

// One published video source node. Destruction removes it.
class Node {
public:
    virtual ~Node() = default;
    // Any thread; returns at once. The frame replaces the one being
    // repeated as soon as the node's thread takes it; a frame of another
    // size renegotiates the stream.
    virtual void SetFrame(std::shared_ptr<const RgbFrame> frame) = 0;
    // Whether the program is connected to a PipeWire daemon now.
    virtual bool Connected() const = 0;
    // How many frames went out to consumers since the node was made.
    virtual uint64_t FramesSent() const = 0;
};

// The module itself: one per process, never unloaded.
class Module {
public:
    // Starts the node's thread and its first connection attempt; when no
    // daemon answers it keeps trying, and *error (if given) says why the
    // first attempt failed.
    virtual std::unique_ptr<Node> Publish(const NodeSettings& settings, std::string* error) = 0;

protected:
    virtual ~Module() = default;
};

// The module's entry point: nullptr when abiVersion is not its own.
using OpenFunction = Module* (*)(int abiVersion, const HostServices* host);

}  // namespace orv::vcam::module
