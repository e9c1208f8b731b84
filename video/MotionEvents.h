#pragma once
// The events of a recording that records only while something moves: an
// event starts at a frame with motion and ends once no frame has shown any
// for the time to keep. Between events the latest frames (up to three) are
// kept in memory, so that an event's file begins a little before the change.

#include <QImage>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv::video {

class MotionEvents {
public:
    static constexpr size_t kFramesBefore = 3;

    // What to do with a frame.
    enum class Step {
        Wait,    // no event: nothing is written (the frame is kept as one from before)
        Start,   // an event starts: write Before(), then this frame, into a new file
        Record,  // the event goes on: write this frame
        End,     // the event ended with the frame before: complete its file; this frame is kept
    };

    // keepMs: how long an event goes on after its last frame with motion.
    explicit MotionEvents(uint32_t keepMs);

    // One frame: whether it shows motion, the clock's tick count when it was
    // taken (milliseconds, wrapping as TickCount does) and the frame as it
    // is written (with its date stamp).
    Step Feed(bool motion, uint32_t tick, const QImage& frame);

    // After Start, until the next Feed: the frames kept from before the
    // change, oldest first.
    const std::vector<QImage>& Before() const { return before_; }

    bool InEvent() const { return inEvent_; }
    // The event in progress, or the last one after End: the tick of its
    // first frame with motion, of its last frame with motion, of its last
    // frame written, and how many frames it has (those from before included).
    uint32_t StartTick() const { return startTick_; }
    uint32_t LastMotionTick() const { return lastMotionTick_; }
    uint32_t LastTick() const { return lastTick_; }
    size_t Frames() const { return frames_; }

    // Forgets the event in progress and the kept frames (the recording
    // stopped or its file was completed otherwise).
    void Reset();

private:
    void Keep(const QImage& frame);
    void TakeKept();

    uint32_t keepMs_;
    bool inEvent_ = false;
    uint32_t startTick_ = 0;
    uint32_t lastMotionTick_ = 0;
    uint32_t lastTick_ = 0;
    size_t frames_ = 0;
    // A ring of copies whose pixels are overwritten in place, so that a
    // long wait allocates nothing after the first frames.
    std::array<QImage, kFramesBefore> kept_;
    size_t keptCount_ = 0;
    size_t nextKept_ = 0;
    std::vector<QImage> before_;
};

}  // namespace orv::video
