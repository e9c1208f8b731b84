#pragma once
// The inside of an AviFile: the FFmpeg module's writer, which the compressor
// hands to its own side. Not for use outside the video library.

#include "AviFile.h"
#include "FfmpegModule.h"

#include <memory>

namespace orv::video {

struct AviFile::Impl {
    QString path;  // where the file is now
    // The name it is to take; empty once it has it.
    QString pendingName;
    std::unique_ptr<module::AviWriter> writer;
};

}  // namespace orv::video
