#pragma once
// Reading a recorded AVI file back three ways: its stream header bytes as
// written, its packets through libavformat, and ffprobe's view of it.

#include <QString>

#include <cstdint>
#include <optional>
#include <ostream>
#include <vector>

// Texts in test failures as text, not as UTF-16 code units.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace orv::test {

// The 'strh' and 'strf' chunks of the first stream, byte for byte.
struct StreamHeader {
    QString fccType;
    QString fccHandler;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t length = 0;
    int32_t quality = 0;
    int16_t frame[4] = {};  // rcFrame: left, top, right, bottom
    int32_t bitmapWidth = 0;
    int32_t bitmapHeight = 0;
    QString bitmapCompression;
};
// nullopt when the file holds no stream header.
std::optional<StreamHeader> ReadStreamHeader(const QString& path);
// Whether the file ends with its index (it was completed, not cut off).
bool HasIndex(const QString& path);
// The number of video chunks ("00dc") in the file's bytes.
int CountFrameChunks(const QString& path);

struct Packets {
    bool opened = false;
    int streams = 0;
    int width = 0;
    int height = 0;
    QString codecTag;
    std::vector<bool> keyFrames;  // one per packet of the video stream
};
Packets ReadPackets(const QString& path);

struct Probe {
    bool ran = false;
    int frames = -1;  // decoded frames (-count_frames)
    int width = 0;
    int height = 0;
    QString codecTag;
    QString averageRate;  // "4/5"
};
Probe RunFfprobe(const QString& path);

}  // namespace orv::test
