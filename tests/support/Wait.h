#pragma once
// Waiting on what a test can observe: the condition is polled in real time,
// with the application's events handled meanwhile on its thread, for a time
// that only a failure uses up. The program's clock does not move meanwhile.

#include <functional>

namespace orv::test {

inline constexpr int kPatienceMs = 30000;

// True as soon as the condition holds; false when it still does not after
// the given real milliseconds.
bool WaitFor(const std::function<bool()>& condition, int milliseconds = kPatienceMs);

}  // namespace orv::test
