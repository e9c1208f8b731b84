#pragma once
// How long a file read from the phone may grow, as its first bytes tell. A
// file that begins as a JPEG (the bytes FF D8) is a picture of the camera:
// its header segments follow one another up to its frame header, which
// gives its width and height, and no picture of that size is more than
// kBytesPerPixel bytes a pixel (a third more than its pixels uncompressed)
// beyond its header. A picture that breaks that order, or keeps its frame
// header back beyond kHeaderLimit, is not one the decoder reads: it is
// refused as soon as that shows. Any other file may take kMaxPictureFile.

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::phone {

class PictureLimit {
public:
    static constexpr size_t kBytesPerPixel = 4;
    // Room for what follows the frame header besides the pixels' data:
    // tables, markers, the end.
    static constexpr size_t kTrailerRoom = 64 * 1024;
    static constexpr size_t kHeaderLimit = 1024 * 1024;

    // fileLimit: the most any file may take (kMaxPictureFile).
    explicit PictureLimit(size_t fileLimit) : limit_(fileLimit), fileLimit_(fileLimit) {}

    // Looks at the file's bytes received so far (data[0] is its first), as
    // far as they tell more. False, with the reason, once the file cannot be
    // a picture; then the read stops.
    bool Look(const uint8_t* data, size_t size);
    // The most the whole file may take, as far as it is known.
    size_t Limit() const { return limit_; }
    const std::string& Refusal() const { return refusal_; }

private:
    bool Refuse(std::string why);

    size_t limit_;
    const size_t fileLimit_;
    size_t next_ = 2;      // where the next header segment begins
    bool settled_ = false; // nothing more to look at
    std::string refusal_;
};

}  // namespace orv::phone
