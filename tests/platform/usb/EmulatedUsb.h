#pragma once
// USB hardware for the tests of the libusb route, emulated by umockdev in
// this very process: a testbed (sysfs, /dev, uevents) shared by the whole
// test program, phones plugged into it and unplugged again, each with a
// usbfs node whose control transfers are answered by a function of the test,
// and optionally a CDC-ACM modem port (/dev/ttyACMn) backed by a pty.
//
// The program must run under umockdev-wrapper (the umockdev preload).

#include "platform/ControlPipe.h"

#include <umockdev.h>

#include <chrono>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orv::test {

// The device side of a control transfer on endpoint 0, with the contract of
// ControlPipe::Transfer; a Timeout leaves the transfer unanswered until the
// program cancels it. Runs on umockdev's worker thread.
using ControlAnswer = std::function<TransferResult(const SetupPacket& setup, uint8_t* data)>;

// The one testbed of the test program, made at first use.
class EmulatedUsb {
public:
    static EmulatedUsb& Instance();

    // True when the umockdev preload is in force (only then does anything
    // here reach the program's code).
    bool Active() const { return active_; }

    // Adds devices in umockdev's text format; they stay until removed.
    void Add(const std::string& description);
    // Announces the removal ("remove" uevent) and then takes the device and
    // everything below it out of sysfs.
    void Remove(const std::string& syspath, bool announce = true);
    // Sends a uevent for a device already in the testbed.
    void Announce(const std::string& syspath, const char* action);

    UMockdevTestbed* Testbed() const { return testbed_; }

private:
    EmulatedUsb();
    static void RemoveDanglingLinks(const std::filesystem::path& sys);
    UMockdevTestbed* testbed_ = nullptr;
    bool active_ = false;
};

// What a plugged phone looks like.
struct PhoneLayout {
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configDescriptor;
    ControlAnswer answer;
    // A CDC-ACM modem port beside the device. Each one gets a number of its
    // own, counting from ttyACM0.
    bool modemPort = true;
    // The USB port on bus 1 ("1-<port>"); a phone plugged again into the same
    // port keeps its sysfs path but gets a new address.
    unsigned usbPort = 1;
    // Interface number -> its name string, as the kernel keeps it in the
    // interface's "interface" attribute.
    std::map<int, std::string> interfaceNames;
    // Counts the opens of the modem port (its ioctls are handed on to the
    // pty behind it).
    bool watchModemOpens = false;
};

// One phone attached to the emulated bus from construction until Unplug()
// or destruction.
class EmulatedPhone {
public:
    explicit EmulatedPhone(PhoneLayout layout);
    ~EmulatedPhone();
    EmulatedPhone(const EmulatedPhone&) = delete;
    EmulatedPhone& operator=(const EmulatedPhone&) = delete;

    // The cable is pulled: every later usbfs request fails with ENODEV, then
    // the removal is announced (unless told not to, as if the event were
    // lost) and the devices leave sysfs.
    void Unplug(bool announce = true);

    unsigned Bus() const { return 1; }
    unsigned Address() const { return address_; }
    const std::string& UsbSyspath() const { return usbSyspath_; }
    const std::string& UsbfsNode() const { return usbfsNode_; }
    // "/dev/ttyACMn", or "" without a modem port.
    const std::string& ModemNode() const { return modemNode_; }
    // The phone's end of the modem port: reads what the program wrote.
    int ModemPeer() const;
    // Up to `want` bytes that arrive at the phone's end within `limit`.
    std::string ReadModem(size_t want, std::chrono::milliseconds limit) const;

    // What the usbfs node has seen: interfaces claimed and released, how
    // many opened descriptors are open now, how many were ever opened, and
    // the URBs submitted.
    std::vector<int> ClaimedInterfaces() const;
    std::vector<int> ReleasedInterfaces() const;
    int OpenClients() const;
    int OpensEver() const;
    int Urbs() const;
    // The opens of the modem port (with watchModemOpens).
    int ModemOpens() const;

    struct Device;

private:
    std::shared_ptr<Device> device_;
    unsigned address_ = 0;
    std::string usbSyspath_;
    std::string usbfsNode_;
    std::vector<std::string> interfaceSyspaths_;
    std::string modemSyspath_;
    std::string modemNode_;
    bool watchedModem_ = false;
    bool plugged_ = false;
};

}  // namespace orv::test
