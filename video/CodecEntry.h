#pragma once
// One encoder of the catalogue with this run's configuration. Not for use
// outside the video library.

#include "Codecs.h"
#include "Ffmpeg.h"

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

}  // namespace orv::video

// Declared in Codecs.h in the library's namespace.
struct orv::video::CodecEntry {
    const AVCodec* codec = nullptr;

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

private:
    mutable std::mutex mutex_;
    CodecConfig config_;
};

namespace orv::video {

// The pixel formats that swscale can make from RGB and the encoder takes,
// in the encoder's order (every plain format for encoders that take any).
std::vector<AVPixelFormat> FeedableFormats(const AVCodec& codec);

// Applies option values to a codec context (its own options and its
// encoder's); false with the failing option and the reason.
bool ApplyOptions(AVCodecContext& context, const OptionValues& values, QString* error);

}  // namespace orv::video
