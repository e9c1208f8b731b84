#pragma once
// Whether the camera's picture changes: each frame, before the date stamp is
// drawn, is averaged into the blocks of a small grid (80 x 60) and compared,
// channel by channel, with a slowly updated background of the same grid. A
// block counts as changed when it differs by more than sensor noise and JPEG
// artefacts leave; the frame shows motion when the changed blocks reach a
// share of the picture. A change of the whole picture's brightness or colour
// (a cloud, the phone's automatic exposure or white balance) is taken out
// first: the background is scaled by the picture's gain in each channel,
// the median over the blocks; where a pixel's channel is clipped, the block
// may follow the gain or keep its brightness.

#include <QImage>

#include <cstdint>
#include <vector>

namespace orv {
class Settings;
}

namespace orv::video {

// Recording only while something moves: "RecordOnMotion", "MotionThreshold"
// and "MotionKeepSeconds", brought into their ranges.
struct MotionPlan {
    static constexpr int kMaxThreshold = 1000;        // tenths of a percent: all of the picture
    static constexpr uint32_t kMaxKeepSeconds = 3600;

    bool enabled = false;
    int thresholdTenths = 10;  // of a percent of the picture that must change
    uint32_t keepSeconds = 10;  // recording goes on this long after the last change
    static MotionPlan FromSettings(const Settings& settings);
};

class MotionDetector {
public:
    static constexpr int kGridWidth = 80;
    static constexpr int kGridHeight = 60;

    struct Result {
        bool motion = false;
        double changedShare = 0;  // of the picture's blocks, 0 to 1
    };

    // thresholdTenths: the share of the picture that must change, in tenths
    // of a percent (brought into 0..1000; 0: any changed block).
    explicit MotionDetector(int thresholdTenths = 10);

    // One frame (RGB888 as the recorder decodes it; other formats are
    // converted first). The first frame, and the first of another size,
    // becomes the background and shows no motion; so does a null frame,
    // which leaves the background as it was.
    Result Compare(const QImage& frame);
    // The next frame starts a new background.
    void Reset();
    void SetThreshold(int thresholdTenths);
    int Threshold() const { return thresholdTenths_; }

private:
    void Shrink(const QImage& frame);
    float ChannelGain(int channel);

    int thresholdTenths_;
    int width_ = 0, height_ = 0;  // of the frames the background comes from
    int columns_ = 0, rows_ = 0;  // of the grid
    // Red, green and blue means of each block, row by row.
    std::vector<float> current_;
    std::vector<float> background_;
    // Whether a block's channel has a clipped pixel, in this frame and in
    // the one before.
    std::vector<uint8_t> currentClipped_;
    std::vector<uint8_t> previousClipped_;
    // Working room, kept between frames so that no frame allocates.
    std::vector<uint16_t> shortSums_;
    std::vector<uint32_t> longSums_;
    std::vector<uint8_t> lineMax_;
    std::vector<float> ratios_;
};

}  // namespace orv::video
