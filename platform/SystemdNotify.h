#pragma once
// Tells systemd how the program is doing, when systemd started it as a unit
// of Type=notify (NOTIFY_SOCKET set): ready, a status line, and the
// watchdog's "still alive". Anywhere else every call does nothing, so the
// program runs the same without systemd. Any thread.

#include <chrono>
#include <string>

namespace orv::systemd {

// READY=1: the service does what it is for.
void NotifyReady();
// STATUS=...: one line for `systemctl status`.
void NotifyStatus(const std::string& status);
// WATCHDOG=1: the program is alive.
void NotifyWatchdog();
// The unit's WatchdogSec= (WATCHDOG_USEC); zero when there is no watchdog.
std::chrono::microseconds WatchdogInterval();

}  // namespace orv::systemd
