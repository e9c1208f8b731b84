#include "Clock.h"

#include <thread>

namespace orv {
namespace {
SystemClock gSystemClock;
std::atomic<Clock*> gClock{&gSystemClock};
}  // namespace

Clock& TheClock() { return *gClock.load(); }

void SetClock(Clock* clock) { gClock.store(clock ? clock : &gSystemClock); }

uint32_t SystemClock::TickCount()
{
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void SystemClock::Sleep(uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::time_t SystemClock::Now() { return std::time(nullptr); }

void ManualClock::Sleep(uint32_t milliseconds)
{
    slept_ += milliseconds;
    ticks_ += milliseconds;
    // Let other threads run: a worker that polls in a loop must not starve
    // the test that drives it.
    std::this_thread::yield();
}

std::string FormatStampTime(std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d-%m-%y_%H%M", &local);
    return text;
}

}  // namespace orv
