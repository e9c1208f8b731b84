#pragma once
// The seam between the phone protocol and the machine: one opened USB device
// that carries control transfers, and the bus that finds the modem port and
// the devices. The libusb route and the simulated phone both implement it;
// nothing above it knows which one runs.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orv {

// USB 2.0 setup packet (section 9.3). On the wire the 16-bit fields are
// little-endian; here they are plain numbers.
struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;  // bytes of the data stage
};

enum class TransferStatus { Ok, Timeout, Stall, NoDevice, Error };

struct TransferResult {
    TransferStatus status = TransferStatus::Error;
    size_t transferred = 0;  // bytes of the data stage moved
};

const char* TransferStatusName(TransferStatus status);

class ControlPipe {
public:
    virtual ~ControlPipe() = default;

    // One control transfer on endpoint 0. Host to device (bit 7 of
    // requestType clear): data holds setup.length bytes to send. Device to
    // host: data has room for setup.length bytes.
    virtual TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout) = 0;

    // Claims the interface before the protocol uses it.
    virtual bool ClaimInterface(int number) = 0;

    // Blocks until the device goes away or CancelWait() is called; returns at
    // once when removal cannot be watched.
    virtual void WaitForRemoval() = 0;
    // Makes a WaitForRemoval() in progress (or the next one) return. Any thread.
    virtual void CancelWait() = 0;

    // Where the device sits, for traces and messages.
    virtual std::string Path() const = 0;
};

// A vendor-specific USB interface that names itself with a string, as the
// system describes it from what it read when the device arrived: listing it
// opens no device and sends nothing.
struct NamedInterface {
    std::string devicePath;  // the device that carries it, for PhoneBus::Open
    int number = 0;          // bInterfaceNumber
    // The interface's name string (iInterface) laid out as a USB string
    // descriptor: bLength, type 3, then UTF-16LE units.
    std::vector<uint8_t> nameDescriptor;
};

class PhoneBus {
public:
    virtual ~PhoneBus() = default;

    // The lowest-numbered USB modem port (CDC-ACM) of a USB device with this
    // vendor id, or an empty text when there is none. Ports of other devices
    // are never reported.
    virtual std::string FindModemPort(uint16_t vendorId) = 0;
    // Opens the port for writing (not as the controlling terminal, taken
    // exclusively), writes the bytes once, closes it. A port that does not
    // belong to a USB device with this vendor id (any more) is not opened.
    // 0 or -1.
    virtual int WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length) = 0;

    // The named vendor-specific interfaces of the present USB devices, by
    // device path and interface number.
    virtual std::vector<NamedInterface> ListInterfaces() = 0;
    // Opens one device; nothing when that fails.
    virtual std::unique_ptr<ControlPipe> Open(const std::string& devicePath) = 0;
};

// The bus in force (chosen once by the entry point; tests set their own).
PhoneBus* TheBus();
void SetBus(PhoneBus* bus);

}  // namespace orv
