#pragma once
// A phone of the program's own that answers at the USB control-transfer
// level: the standard descriptor requests and the vendor requests of the
// test-command protocol, byte for byte. The transport, the commands,
// discovery and the monitor run the same code against it as against a real
// phone.

#include "ControlPipe.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orv::sim {

class SimPhone {
public:
    struct Options {
        bool startInTestMode = false;          // already switched, no modem port
        std::string model = "Motorola V3x";    // record 0x0117
        uint32_t exchangeLatencyMs = 0;        // per control transfer (through the clock)
        uint32_t shotLatencyMs = 0;            // per picture taken
    };

    SimPhone();
    explicit SimPhone(Options options);
    ~SimPhone();

    // The device side of one control transfer on endpoint 0 (the same
    // contract as ControlPipe::Transfer). Thread-safe.
    TransferResult ControlTransfer(const SetupPacket& setup, uint8_t* data);

    // Descriptors as the device reports them (for the USB emulation).
    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> ConfigDescriptor() const;

    // The modem side: "at+mode=8\r\n" switches the phone to test-command mode.
    void ReceiveModemBytes(const void* bytes, size_t length);
    bool InTestMode() const;
    bool Plugged() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace orv::sim
