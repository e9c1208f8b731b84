#pragma once
// The bus of simulated phones: their modem ports, their USB devices and the
// handles opened on them. `orvello --simulate-phone` runs the program on it,
// and the tests put phones with the behaviour they need on it.

#include "platform/ControlPipe.h"
#include "SimEvents.h"
#include "SimPhone.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orv::sim {

class SimBus final : public PhoneBus {
public:
    SimBus() = default;
    // A bus with one phone.
    explicit SimBus(SimPhone::Options options);

    // Plugs another phone into the bus (it stays plugged until told otherwise).
    std::shared_ptr<SimPhone> AddPhone(SimPhone::Options options = {});
    // The phone added n-th (0 first).
    SimPhone& Phone(size_t n = 0) const;
    // The same, shared (nullptr when there is none).
    std::shared_ptr<SimPhone> PhoneAt(size_t n) const;

    // PhoneBus: a phone in its normal mode offers "/dev/ttyACM<n>".
    std::string FindModemPort(uint16_t vendorId) override;
    int WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length) override;
    // The named vendor interfaces of every plugged phone, on "sim:usb-1-<n>".
    std::vector<NamedInterface> ListInterfaces() override;
    std::unique_ptr<ControlPipe> Open(const std::string& devicePath) override;
    // A device that the user may not open, as a test says (empty: none).
    std::string DeniedDevice() override;
    void SetDeniedDevice(std::string device);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimPhone>> phones_;
    std::string denied_;
};

// Set to 1, the phone of `orvello --simulate-phone` comes up switched to
// test-command mode already: the discovery finds its interface at once,
// without the mode switch and the pause after it (for tests of the whole
// program that are not about the discovery).
inline constexpr char kSwitchedVariable[] = "ORVELLO_SIM_SWITCHED";

// The phone of `orvello --simulate-phone`: in its normal mode (unless the
// variable above says otherwise), so the whole discovery runs, with a few
// milliseconds per exchange and about 300 ms per shot.
SimPhone::Options SimulatedPhoneOptions();
// The bus behind `orvello --simulate-phone`, with that one phone.
std::unique_ptr<PhoneBus> MakeSimBus();
// The same, with its phone following a script of events (SimEvents.h) timed
// from startTick.
std::unique_ptr<PhoneBus> MakeSimBus(std::vector<SimEvent> events, uint32_t startTick);

}  // namespace orv::sim
