#pragma once
// Reading a recorded AVI file back three ways: its stream header bytes as
// written, its packets through libavformat, and ffprobe's view of it.

#include <QString>
#include <QStringList>

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
// The main header ('avih'), byte for byte.
struct MainHeader {
    uint32_t microSecPerFrame = 0;
    uint32_t maxBytesPerSec = 0;
    uint32_t totalFrames = 0;
    uint32_t streams = 0;
};
// nullopt when the file holds no main header.
std::optional<MainHeader> ReadMainHeader(const QString& path);
// The bytes of the largest video chunk ("00dc") as stored: its 8-byte
// header, its data and the padding byte of an odd size; 0 when there is none.
int64_t LargestFrameChunk(const QString& path);
// The names of the files in folder (hidden ones too), sorted.
QStringList FilesIn(const QString& folder);

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
// The data of every packet of the video stream, in file order.
std::vector<std::vector<uint8_t>> ReadPacketData(const QString& path);

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
