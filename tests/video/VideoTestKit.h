#pragma once
// What the video tests share: pictures to record, and readers of recorded
// AVI files that are independent of the code that wrote them (the stream
// header's bytes straight from the file, the samples through libavformat,
// the pictures through libavcodec, and what ffprobe makes of the file).

#include <QImage>
#include <QMap>
#include <QString>

#include <cstdint>
#include <vector>

namespace orv::test {

// A picture that changes a little from one index to the next, as a web
// camera's do: a soft gradient with a bright square moving across it.
QImage MovingPicture(int width, int height, int index);

// The first 'strh' chunk's fields, as stored.
struct StreamHeaderBytes {
    bool found = false;
    QByteArray type;  // "vids"
    uint32_t handler = 0;
    uint32_t scale = 0;
    uint32_t rate = 0;
    uint32_t length = 0;
    uint32_t quality = 0;
    int16_t frame[4] = {};  // rcFrame left, top, right, bottom
};
StreamHeaderBytes ReadStreamHeader(const QString& path);

// The video stream as libavformat demuxes it.
struct DemuxedVideo {
    bool opened = false;
    int streams = 0;
    int width = 0;
    int height = 0;
    uint32_t tag = 0;
    std::vector<bool> keyFrames;  // one per sample, in order
};
DemuxedVideo Demux(const QString& path);

// The pictures of the first video stream, decoded to 24-bit RGB.
std::vector<QImage> DecodeFrames(const QString& path);

// ffprobe's answers (-show_entries of the first video stream, with
// -count_frames), as key=value; "exit" holds its exit code.
QMap<QString, QString> Ffprobe(const QString& path);

// The mean of each colour channel over a rectangle.
struct MeanColour {
    double red = 0, green = 0, blue = 0;
};
MeanColour Mean(const QImage& image, const QRect& area);
// The mean absolute difference of two pictures' channels (0 when equal;
// 255 when either is missing or their sizes differ).
double MeanDifference(const QImage& a, const QImage& b);

// "MJPG" as the little-endian number the file stores.
constexpr uint32_t Fourcc(const char (&text)[5])
{
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

}  // namespace orv::test
