// The module's entry point: the program calls orvello_ffmpeg_open once,
// after checking orvello_ffmpeg_abi, and keeps the module for the rest of
// the process.

#include "AviWriter.h"
#include "CodecEntry.h"
#include "Ffmpeg.h"
#include "video/FfmpegModule.h"

namespace orv::video {
namespace {

// What the program lent at the first opening, for the rest of the process.
module::HostServices& Host()
{
    static module::HostServices host{};
    return host;
}

class FfmpegModule final : public module::Module {
public:
    std::unique_ptr<module::Catalogue> NewCatalogue() override { return std::make_unique<FfmpegCatalogue>(); }

    std::unique_ptr<module::AviWriter> OpenAvi(const QString& path, bool exclusive, QString* error) override
    {
        return AviFileWriter::Open(path, exclusive, error);
    }

    // Every entry is one of this module's catalogues'.
    std::unique_ptr<module::Compressor> NewCompressor(CodecEntry& entry) override
    {
        return NewFfmpegCompressor(static_cast<FfmpegEntry&>(entry));
    }
};

}  // namespace

uint32_t HostTickCount()
{
    return Host().tickCount();
}

}  // namespace orv::video

extern "C" {

[[gnu::visibility("default")]] extern const int orvello_ffmpeg_abi;
const int orvello_ffmpeg_abi = orv::video::module::kAbiVersion;

[[gnu::visibility("default")]] orv::video::module::Module* orvello_ffmpeg_open(
    int abiVersion, const orv::video::module::HostServices* host)
{
    using namespace orv::video;
    if (abiVersion != module::kAbiVersion || !host || !host->tickCount)
        return nullptr;
    static FfmpegModule ffmpeg = [host] {
        Host() = *host;
        InstallFfmpegLog();
        return FfmpegModule();
    }();
    return &ffmpeg;
}

}  // extern "C"
