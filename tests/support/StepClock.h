#pragma once
// A clock for the stop tests: time moves only by the waits of 2 ms and more
// that the program asks for, and by the test. The link's one-millisecond
// polls and a mute phone's hang cost nothing, so a fault holds the exchange
// until the stop comes.

#include "platform/Clock.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <thread>

namespace orv::test {

class StepClock final : public Clock {
public:
    // now: the wall-clock time; with nowFollowsTicks it moves with the ticks.
    explicit StepClock(std::time_t now, bool nowFollowsTicks = false) : now_(now), follows_(nowFollowsTicks) {}

    uint32_t TickCount() override { return ticks_.load(); }
    void Sleep(uint32_t milliseconds) override
    {
        if (milliseconds > 1)
            ticks_ += milliseconds;
        std::this_thread::yield();
    }
    std::time_t Now() override { return follows_ ? now_ + ticks_.load() / 1000 : now_; }
    void Advance(uint32_t milliseconds) { ticks_ += milliseconds; }

private:
    const std::time_t now_;
    const bool follows_;
    std::atomic<uint32_t> ticks_{1000};
};

}  // namespace orv::test
