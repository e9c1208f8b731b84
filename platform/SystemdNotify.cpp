#include "SystemdNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace orv::systemd {

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyStatus(const std::string& status)
{
    // One line: a newline would start another assignment.
    std::string line = status;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    sd_notify(0, ("STATUS=" + line).c_str());
}

void NotifyWatchdog() { sd_notify(0, "WATCHDOG=1"); }

std::chrono::microseconds WatchdogInterval()
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec);
}

}  // namespace orv::systemd
