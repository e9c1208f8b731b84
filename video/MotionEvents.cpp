#include "MotionEvents.h"

#include <algorithm>
#include <cstring>

namespace orv::video {

MotionEvents::MotionEvents(uint32_t keepMs) : keepMs_(keepMs) {}

MotionEvents::Step MotionEvents::Feed(bool motion, uint32_t tick, const QImage& frame)
{
    // The copies handed out are let go first, so that the ring's pictures
    // are its own again and are overwritten in place.
    before_.clear();
    if (!inEvent_) {
        if (!motion) {
            Keep(frame);
            return Step::Wait;
        }
        inEvent_ = true;
        startTick_ = lastMotionTick_ = lastTick_ = tick;
        TakeKept();
        frames_ = before_.size() + 1;
        return Step::Start;
    }
    if (motion) {
        lastMotionTick_ = tick;
    } else if (tick - lastMotionTick_ > keepMs_) {  // right across the tick count's wrap
        inEvent_ = false;
        Keep(frame);
        return Step::End;
    }
    lastTick_ = tick;
    ++frames_;
    return Step::Record;
}

void MotionEvents::Reset()
{
    inEvent_ = false;
    keptCount_ = 0;
    before_.clear();
}

void MotionEvents::Keep(const QImage& frame)
{
    if (frame.isNull())
        return;
    QImage& slot = kept_[nextKept_];
    if (slot.size() == frame.size() && slot.format() == frame.format()) {
        const size_t bytes = static_cast<size_t>(std::min(slot.bytesPerLine(), frame.bytesPerLine()));
        for (int y = 0; y < frame.height(); ++y)
            std::memcpy(slot.scanLine(y), frame.constScanLine(y), bytes);
    } else {
        slot = frame.copy();
    }
    nextKept_ = (nextKept_ + 1) % kFramesBefore;
    keptCount_ = std::min(keptCount_ + 1, kFramesBefore);
}

void MotionEvents::TakeKept()
{
    for (size_t i = kFramesBefore - keptCount_; i < kFramesBefore; ++i)
        before_.push_back(kept_[(nextKept_ + i) % kFramesBefore]);
    keptCount_ = 0;
}

}  // namespace orv::video
