#include "DeviceMonitor.h"

#include "platform/Clock.h"
#include "Discovery.h"
#include "PhoneWorker.h"

namespace orv::phone {

namespace {
constexpr uint32_t kAfterRemovalPauseMs = 5000;
}  // namespace

DeviceMonitor::DeviceMonitor(StateCallback callback, PhoneLink& link) : callback_(std::move(callback)), link_(link)
{
    SetFreeOnTerminate(true);
    Report(0);
    Start();
}

DeviceMonitor::~DeviceMonitor() { Report(0); }

void DeviceMonitor::Report(int state)
{
    if (callback_)
        callback_(state);
}

void DeviceMonitor::Disconnect()
{
    // Once the stop flag is set the thread may end and free this object at
    // any moment: nothing of it is touched afterwards.
    PhoneLink& link = link_;
    Terminate();
    std::shared_ptr<ControlPipe> device = link.SharedDevice();
    if (!device)
        return;
    // The detach makes the phone leave test-command mode, which ends the
    // monitor's wait; a phone that ignores it must not keep the monitor
    // waiting for ever, so the wait is cancelled as well, after the detach.
    // Both go out on the phone worker: the caller (the window) must wait
    // neither for another thread's exchange nor for a phone that no longer
    // answers. The detach reaches this connection only, never one made
    // after it.
    PhoneWorker::Instance().Post([&link, device] {
        link.SendDetach(device.get());
        device->CancelWait();
    });
}

// This is run on the monitor thread.
void DeviceMonitor::Run()
{
    // The monitor's own exchanges (discovery, the state handler's commands,
    // the detach after a stop) are not cut by its stop: it ends at the end of
    // its pass, and the detach still goes out.
    const TransferControlScope uncut(nullptr);
    // A monitor made while an earlier one still winds down waits here.
    std::lock_guard turn(link_.MonitorTurn());
    for (;;) {
        link_.Close();
        TheClock().Sleep(kSearchPauseMs);

        bool found = false;
        if (PhoneBus* bus = TheBus()) {
            std::string port;
            if (FindModemPort(*bus, &port) == kOk) {
                SendModeSwitch(*bus, port);
                TheClock().Sleep(kModeSwitchPauseMs);
            }
            found = FindTestInterface(*bus, link_);
        }
        if (!found) {
            if (Terminated())
                break;
            continue;
        }
        if (Terminated()) {
            // Asked to stop while this pass searched: the phone it found is
            // let go again instead of being reported.
            link_.SendDetach();
            break;
        }

        Report(1);
        if (std::shared_ptr<ControlPipe> device = link_.SharedDevice())
            device->WaitForRemoval();
        Report(0);
        link_.ForgetDevice();
        if (Terminated())
            break;
        TheClock().Sleep(kAfterRemovalPauseMs);
    }
    // The handle is not left open behind a monitor that has ended.
    link_.Close();
}

}  // namespace orv::phone
