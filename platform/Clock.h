#pragma once
// Time for the whole program: every wait and every millisecond tick count goes
// through the current Clock, so tests replace it and never wait real seconds.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

namespace orv {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start, wrapping like a 32-bit tick count.
    virtual uint32_t TickCount() = 0;
    // Blocks the calling thread for the given milliseconds.
    virtual void Sleep(uint32_t milliseconds) = 0;
    // The local wall-clock time (date stamps, file names).
    virtual std::time_t Now() = 0;
};

// The clock in force. Defaults to the system clock.
Clock& TheClock();
// Replaces the clock (nullptr restores the system clock). The clock must
// outlive every thread that uses it.
void SetClock(Clock* clock);

class SystemClock final : public Clock {
public:
    uint32_t TickCount() override;
    void Sleep(uint32_t milliseconds) override;
    std::time_t Now() override;
};

// A clock for tests: Sleep returns at once after advancing the tick count by
// the time asked for, so a 40000 ms wait costs nothing. Thread-safe.
class ManualClock final : public Clock {
public:
    explicit ManualClock(uint32_t startTicks = 1000, std::time_t now = 1796567400 /* 2026-12-06 14:30 UTC */)
        : ticks_(startTicks), now_(now) {}
    uint32_t TickCount() override { return ticks_.load(); }
    void Sleep(uint32_t milliseconds) override;
    std::time_t Now() override { return now_.load() + static_cast<std::time_t>(ticks_.load() / 1000); }

    void Advance(uint32_t milliseconds) { ticks_ += milliseconds; }
    void SetNow(std::time_t now) { now_ = now; }
    // Total milliseconds that Sleep was asked for.
    uint64_t SleptMilliseconds() const { return slept_.load(); }

private:
    std::atomic<uint32_t> ticks_;
    std::atomic<std::time_t> now_;
    std::atomic<uint64_t> slept_{0};
};

// "dd-mm-yy_hhnn" in local time: date stamps and automatic file names.
std::string FormatStampTime(std::time_t when);

}  // namespace orv
