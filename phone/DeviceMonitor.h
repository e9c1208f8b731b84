#pragma once
// Owns the phone connection: finds the phone, switches it into test-command
// mode, opens it, reports it, waits for it to go away, and searches again.

#include "PhoneLink.h"
#include "platform/WorkerThread.h"

#include <functional>

namespace orv::phone {

class DeviceMonitor : public WorkerThread {
public:
    // 1 connected, 0 not connected. Called on the monitor thread.
    using StateCallback = std::function<void(int state)>;

    // Calls the callback with 0 on the constructing thread, then starts the
    // monitor thread. The object frees itself when the thread ends.
    explicit DeviceMonitor(StateCallback callback, PhoneLink& link = PhoneLink::Instance());
    ~DeviceMonitor() override;

    // Asks the monitor to stop: when a phone is connected, queues the detach
    // request on the phone worker, followed by the wake-up of the wait for
    // the phone to go away, and returns at once. The object may be gone as
    // soon as this returns.
    void Disconnect();

    // The longest a phone that is already plugged in takes to be found: the
    // pause before a search and, for a phone that first shows its modem, the
    // pause while it switches to its test interface.
    static constexpr uint32_t kSearchPauseMs = 1000;
    static constexpr uint32_t kModeSwitchPauseMs = 5000;
    static constexpr uint32_t kLongestFindMs = kSearchPauseMs + kModeSwitchPauseMs;

    PhoneLink& Link() const { return link_; }
    bool IsConnected() const { return link_.IsConnected(); }

protected:
    void Run() override;

private:
    void Report(int state);

    StateCallback callback_;
    PhoneLink& link_;
};

}  // namespace orv::phone
