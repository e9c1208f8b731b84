#pragma once
// The boundary between the program and its FFmpeg module (orvello-ffmpeg.so),
// shared by both sides. Everything that touches libavcodec, libavformat and
// libswscale lives in the module, which the program loads on the first use
// of the encoder catalogue or of a recording, so its start does not pay for
// loading FFmpeg's hundred shared libraries.
//
// The module gets what it needs of the program through HostServices (it has
// no copies of the program's own singletons) and hands out its objects
// through the abstract classes below. Both sides are built from this header;
// kAbiVersion changes whenever anything here changes, and each side checks
// it, so a module of another build is refused rather than misused.

#include "CodecCatalogue.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace orv::video {

// One encoder of a catalogue with the configuration of this run (declared
// in CodecCatalogue.h). Made and owned by the module's catalogue.
struct CodecEntry {
    virtual ~CodecEntry() = default;
    // The encoder's short name ("mjpeg") and its description.
    virtual QString Name() const = 0;
    virtual QString LongName() const = 0;
    // As CodecCatalogue::Options, SetOptions and Info describe them.
    virtual std::vector<CodecOption> Options() const = 0;
    virtual bool SetOptions(const std::vector<std::pair<QString, QString>>& values, QString* error) = 0;
    virtual CodecInfo Info() const = 0;
};

namespace module {

constexpr int kAbiVersion = 2;

// The file's name, and the symbols it exports: an int holding its
// kAbiVersion, and the OpenFunction that starts it.
inline constexpr char kFileName[] = "orvello-ffmpeg.so";
inline constexpr char kAbiSymbol[] = "orvello_ffmpeg_abi";
inline constexpr char kOpenSymbol[] = "orvello_ffmpeg_open";

// What the program lends the module, for the life of the process.
struct HostServices {
    // The program's millisecond tick count (its replaceable clock), which
    // times the periodic sync of a file being recorded.
    uint32_t (*tickCount)();
};

// The encoders that can record into AVI, most useful first (see CodecCatalogue.h),
// each with a configuration of its own catalogue.
class Catalogue {
public:
    virtual ~Catalogue() = default;
    virtual int Count() const = 0;
    // nullptr outside 0 .. Count() - 1.
    virtual CodecEntry* Entry(int index) const = 0;
};

// An AVI file being recorded (see AviFile.h); destruction completes it.
class AviWriter {
public:
    virtual ~AviWriter() = default;
    // True once a frame was refused for want of room (a full disk, a file
    // size limit); the file is completed with the frames before it.
    virtual bool OutOfRoom() const = 0;
};

// One recording's encoder (see FrameEncoder in CodecCatalogue.h). The writer given to
// StartStream must be one of the same module's.
class Compressor {
public:
    virtual ~Compressor() = default;
    virtual bool StartStream(AviWriter& file, const QImage& frame, double framesPerSecond) = 0;
    virtual bool CompressFrame(const QImage& frame) = 0;
    virtual QString LastError() const = 0;
    virtual bool FileFailed() const = 0;
};

// The module itself: one per process, never unloaded.
class Module {
public:
    virtual std::unique_ptr<Catalogue> NewCatalogue() = 0;
    // nullptr, with the reason in *error, when the file cannot be created.
    // exclusive: the file must not exist yet (no link is followed either);
    // otherwise an existing file is replaced.
    virtual std::unique_ptr<AviWriter> OpenAvi(const QString& path, bool exclusive, QString* error) = 0;
    // The entry must be one of this module's catalogues'.
    virtual std::unique_ptr<Compressor> NewCompressor(CodecEntry& entry) = 0;

protected:
    virtual ~Module() = default;
};

// The module's entry point: nullptr when abiVersion is not its own.
using OpenFunction = Module* (*)(int abiVersion, const HostServices* host);

}  // namespace module
}  // namespace orv::video
