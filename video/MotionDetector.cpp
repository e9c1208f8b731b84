#include "MotionDetector.h"

#include "config/Settings.h"

#include <algorithm>
#include <cmath>

namespace orv::video {
namespace {

// Each frame moves the background this far towards itself: a change that
// stays becomes background after some dozens of frames.
constexpr float kBackgroundRate = 1.0f / 16;
// A block's channel may differ from what is expected by this much, plus a
// share of it, before it counts as changed: sensor noise and JPEG
// artefacts, averaged over a block, stay within. The second part is the
// noise of a single pixel, less for the mean of more.
constexpr float kBlockTolerance = 10;
constexpr float kPixelTolerance = 24;
constexpr float kBlockToleranceShare = 1.0f / 32;
// A pixel's channel this bright may have been clipped: what it was, or
// becomes at another exposure, is not known.
constexpr uint8_t kClipped = 248;
// Blocks whose channel lies between these in the background measure the
// gain; fewer than a sixteenth of the blocks leave it at 1. A change of
// more than four times either way is more than an exposure does (the lights
// went out, or something covers the lens).
constexpr float kGainDark = 16;
constexpr float kGainBright = 240;
constexpr float kGainLimit = 4;

// The grid's blocks split the frame as evenly as whole pixels allow; each
// block's channels are the means of its pixels, and a channel counts as
// clipped when one of its pixels is. The rows of a block are summed first,
// byte by byte in a plain loop that the compiler vectorises (Sum holds as
// many rows as a block has), then the columns.
template <typename Sum>
void ShrinkInto(const QImage& frame, int columns, int rows, std::vector<Sum>& lineSums,
                std::vector<uint8_t>& lineMax, float* block, uint8_t* clipped)
{
    const int width = frame.width();
    const int height = frame.height();
    const size_t lineBytes = static_cast<size_t>(width) * 3;
    lineSums.resize(lineBytes);
    lineMax.resize(lineBytes);
    Sum* __restrict sums = lineSums.data();
    uint8_t* __restrict brightest = lineMax.data();
    for (int row = 0; row < rows; ++row) {
        const int top = row * height / rows;
        const int bottom = (row + 1) * height / rows;
        std::fill(lineSums.begin(), lineSums.end(), Sum{0});
        std::fill(lineMax.begin(), lineMax.end(), uint8_t{0});
        for (int y = top; y < bottom; ++y) {
            const uchar* __restrict line = frame.constScanLine(y);
            for (size_t i = 0; i < lineBytes; ++i) {
                sums[i] = static_cast<Sum>(sums[i] + line[i]);
                brightest[i] = std::max(brightest[i], line[i]);
            }
        }
        for (int column = 0; column < columns; ++column) {
            const int left = column * width / columns;
            const int right = (column + 1) * width / columns;
            uint32_t channel[3] = {0, 0, 0};
            uint8_t peak[3] = {0, 0, 0};
            for (int x = left; x < right; ++x) {
                for (int c = 0; c < 3; ++c) {
                    channel[c] += sums[3 * x + c];
                    peak[c] = std::max(peak[c], brightest[3 * x + c]);
                }
            }
            const float pixels = static_cast<float>((right - left) * (bottom - top));
            for (int c = 0; c < 3; ++c) {
                *block++ = static_cast<float>(channel[c]) / pixels;
                *clipped++ = peak[c] >= kClipped;
            }
        }
    }
}

}  // namespace

MotionPlan MotionPlan::FromSettings(const Settings& settings)
{
    MotionPlan plan;
    plan.enabled = settings.GetRecordOnMotion();
    plan.thresholdTenths = std::clamp(settings.GetMotionThreshold(), 0, kMaxThreshold);
    plan.keepSeconds = static_cast<uint32_t>(
        std::clamp(settings.GetMotionKeepSeconds(), 0, static_cast<int>(kMaxKeepSeconds)));
    return plan;
}

MotionDetector::MotionDetector(int thresholdTenths) { SetThreshold(thresholdTenths); }

void MotionDetector::SetThreshold(int thresholdTenths)
{
    thresholdTenths_ = std::clamp(thresholdTenths, 0, MotionPlan::kMaxThreshold);
}

void MotionDetector::Reset()
{
    width_ = height_ = 0;
    background_.clear();
}

void MotionDetector::Shrink(const QImage& frame)
{
    columns_ = std::min(kGridWidth, frame.width());
    rows_ = std::min(kGridHeight, frame.height());
    current_.resize(static_cast<size_t>(columns_ * rows_) * 3);
    previousClipped_.swap(currentClipped_);
    currentClipped_.resize(current_.size());
    // 257 rows of 255 fit into 16 bits.
    if ((frame.height() + rows_ - 1) / rows_ <= 257)
        ShrinkInto(frame, columns_, rows_, shortSums_, lineMax_, current_.data(), currentClipped_.data());
    else
        ShrinkInto(frame, columns_, rows_, longSums_, lineMax_, current_.data(), currentClipped_.data());
}

// The median ratio of the frame to the background in one channel, over the
// blocks where both are neither dark nor clipped: a moving object covers
// too few blocks to shift it, a change of exposure shifts all of them.
float MotionDetector::ChannelGain(int channel)
{
    ratios_.clear();
    for (size_t i = static_cast<size_t>(channel); i < background_.size(); i += 3) {
        const float was = background_[i];
        const float now = current_[i];
        if (was >= kGainDark && was <= kGainBright && now <= kGainBright)
            ratios_.push_back(now / was);
    }
    if (ratios_.size() < background_.size() / 3 / 16)
        return 1;
    const auto middle = ratios_.begin() + static_cast<std::ptrdiff_t>(ratios_.size() / 2);
    std::nth_element(ratios_.begin(), middle, ratios_.end());
    return std::clamp(*middle, 1 / kGainLimit, kGainLimit);
}

MotionDetector::Result MotionDetector::Compare(const QImage& frame)
{
    if (frame.isNull())
        return {};
    if (frame.format() != QImage::Format_RGB888)
        return Compare(frame.convertToFormat(QImage::Format_RGB888));
    Shrink(frame);
    if (frame.width() != width_ || frame.height() != height_ || background_.size() != current_.size()) {
        width_ = frame.width();
        height_ = frame.height();
        background_ = current_;
        previousClipped_ = currentClipped_;
        return {};
    }
    const float gains[3] = {ChannelGain(0), ChannelGain(1), ChannelGain(2)};
    // The noise of a block's mean falls with the root of its pixels.
    const float pixels = static_cast<float>((width_ / columns_) * (height_ / rows_));
    const float noise = kBlockTolerance + kPixelTolerance / std::sqrt(pixels);
    size_t changed = 0;
    for (size_t i = 0; i < background_.size(); i += 3) {
        bool differs = false;
        for (size_t c = 0; c < 3; ++c) {
            // What the channel should be after the change of gain; with
            // clipped pixels, in this frame or the one before, it may have
            // kept its brightness or followed the gain, or anything between.
            const float was = background_[i + c];
            const float now = current_[i + c];
            const float expected = std::min(255.0f, was * gains[c]);
            const bool clipped = currentClipped_[i + c] || previousClipped_[i + c];
            const float low = clipped ? std::min(was, expected) : expected;
            const float high = clipped ? std::max(was, expected) : expected;
            const float tolerance = noise + kBlockToleranceShare * low;
            differs = differs || now < low - tolerance || now > high + tolerance;
            background_[i + c] = was + (now - was) * kBackgroundRate;
        }
        if (differs)
            ++changed;
    }
    const size_t blocks = background_.size() / 3;
    Result result;
    result.changedShare = static_cast<double>(changed) / static_cast<double>(blocks);
    result.motion = changed > 0 && changed * 1000 >= static_cast<size_t>(thresholdTenths_) * blocks;
    return result;
}

}  // namespace orv::video
