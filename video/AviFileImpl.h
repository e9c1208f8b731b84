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
    // A descriptor of the temporary file that holds an flock on it while
    // the file is recorded, so that no other run takes it for a leftover.
    int partLock = -1;
};

}  // namespace orv::video
