#pragma once
// One encoder of a catalogue with this run's configuration, on the module's
// side. Not for use outside the module.

#include "video/FfmpegModule.h"
#include "Ffmpeg.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orv::video {

// Option values in the order they were set, each name once, as
// avcodec_open2 and av_opt_set take them ("g" = "10", "flags" = "+qscale").
using OptionValues = std::vector<std::pair<std::string, std::string>>;

struct CodecConfig {
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;  // what the encoder is fed
    OptionValues options;
};

class FfmpegEntry final : public CodecEntry {
public:
    explicit FfmpegEntry(const AVCodec& codec) : codec_(codec) {}

    const AVCodec& Codec() const { return codec_; }

    // The configuration is read by a recording's start (recorder thread) and
    // changed by the configuration dialog (user-interface thread).
    CodecConfig Config() const
    {
        std::lock_guard lock(mutex_);
        return config_;
    }
    void SetConfig(CodecConfig config)
    {
        std::lock_guard lock(mutex_);
        config_ = std::move(config);
    }

    QString Name() const override;
    QString LongName() const override;
    std::vector<CodecOption> Options() const override;
    bool SetOptions(const std::vector<std::pair<QString, QString>>& values, QString* error) override;
    CodecInfo Info() const override;

private:
    const AVCodec& codec_;
    mutable std::mutex mutex_;
    CodecConfig config_;
};

// The encoders that can record into AVI and take RGB frames, most useful
// first, each entry with the configuration a run starts with.
class FfmpegCatalogue final : public module::Catalogue {
public:
    FfmpegCatalogue();
    int Count() const override;
    CodecEntry* Entry(int index) const override;

private:
    std::vector<std::unique_ptr<FfmpegEntry>> entries_;
};

// One recording's encoder for the entry, which outlives it.
std::unique_ptr<module::Compressor> NewFfmpegCompressor(FfmpegEntry& entry);

// The pixel formats that swscale can make from RGB and the encoder takes,
// in the encoder's order (every plain format for encoders that take any).
std::vector<AVPixelFormat> FeedableFormats(const AVCodec& codec);

// Applies option values to a codec context (its own options and its
// encoder's); false with the failing option and the reason.
bool ApplyOptions(AVCodecContext& context, const OptionValues& values, QString* error);

// Sets up an encoder's context as a recording does: the size, the pixel
// format it is fed with that format's colour range and matrix, and one tick
// a frame of timeBase.
void PrepareEncoder(AVCodecContext& context, AVPixelFormat format, int width, int height, AVRational timeBase);
// Opens the prepared context's encoder with the option values (logging the
// ones it does not take); FFmpeg's result code.
int OpenEncoder(AVCodecContext& context, const OptionValues& values);

}  // namespace orv::video
