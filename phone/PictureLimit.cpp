#include "PictureLimit.h"

#include <algorithm>

namespace orv::phone {
namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfScan = 0xDA;

uint32_t Be16(const uint8_t* at) { return uint32_t(at[0]) << 8 | at[1]; }

// A frame header: SOF0 to SOF15, leaving out the tables (C4 DHT, CC DAC)
// and JPG (C8) that share their range.
bool IsFrameHeader(uint8_t marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Markers that stand alone, without a length: TEM and RST0 to RST7.
bool StandsAlone(uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

}  // namespace

bool PictureLimit::Refuse(std::string why)
{
    refusal_ = std::move(why);
    settled_ = true;
    return false;
}

bool PictureLimit::Look(const uint8_t* data, size_t size)
{
    if (!refusal_.empty())
        return false;
    if (settled_ || size < 2)
        return true;
    if (data[0] != kMarker || data[1] != kStartOfImage) {
        settled_ = true;  // no picture: a file like any other
        return true;
    }
    while (next_ < size) {
        if (next_ >= kHeaderLimit)
            return Refuse("a picture without its frame header in its first " + std::to_string(kHeaderLimit) + " bytes");
        // A segment: FF (fill bytes FF may come before the marker), the
        // marker, a length of two bytes that counts itself, the data.
        size_t at = next_;
        if (data[at] != kMarker)
            return Refuse("a picture whose header has no marker at byte " + std::to_string(at));
        while (at < size && data[at] == kMarker)
            ++at;
        if (at >= size) {
            next_ = at - 1;  // the fill so far is not looked at again
            return true;
        }
        const uint8_t marker = data[at++];
        if (StandsAlone(marker)) {
            next_ = at;
            continue;
        }
        if (marker == 0x00 || marker == kStartOfImage || marker == kEndOfImage || marker == kStartOfScan)
            return Refuse("a picture whose header ends before its frame header");
        if (at + 2 > size)
            return true;
        const uint32_t length = Be16(data + at);
        if (length < 2)
            return Refuse("a picture whose header has a segment of length " + std::to_string(length));
        if (IsFrameHeader(marker)) {
            // Length, precision, then height and width.
            if (at + 7 > size)
                return true;
            const size_t height = Be16(data + at + 3);
            const size_t width = Be16(data + at + 5);
            settled_ = true;
            // A height of 0 comes later (DNL): the size stays unknown.
            if (height > 0 && width > 0)
                limit_ = std::min(fileLimit_, at + kTrailerRoom + width * height * kBytesPerPixel);
            return true;
        }
        next_ = at + length;
    }
    return true;
}

}  // namespace orv::phone
