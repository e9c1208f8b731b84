#pragma once
// The USB route to a real phone: libusb-1.0 carries the control transfers of
// the test-command interface, libudev finds the modem port and the named
// interfaces and notices the unplug, and the AT command goes to the port with
// plain POSIX calls.
// Nothing outside this pair of files sees libusb or libudev.

#include "ControlPipe.h"

#include <memory>
#include <string>

namespace orv {

// The phone bus over the machine's own USB devices.
//
// Device paths have the form "usb:BBB:DDD" (bus number and device address,
// three digits each). A phone that is unplugged and plugged in again gets a
// new address, so a path never names two different attachments.
//
// All the buses share one libusb context, made at first use and never
// released, so that a thread still blocked in a transfer at program exit
// finds it intact.
class LibusbBus final : public PhoneBus {
public:
    std::string FindModemPort(uint16_t vendorId) override;
    int WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length) override;
    // From udev: every vendor-specific interface whose string the kernel
    // holds (its "interface" attribute). No device is opened.
    std::vector<NamedInterface> ListInterfaces() override;
    std::unique_ptr<ControlPipe> Open(const std::string& devicePath) override;
    std::string DeniedDevice() override;
};

// The user may not open the phone's device (a USB device node or the modem
// port): says so, naming the device and the missing udev rules, on standard
// error and in the phone trace ($ORVELLO_PHONE_TRACE), once per kind of
// device for the life of the process; DeniedDevice names it for a while.
void ReportNoPermission(const std::string& device);
// The udev rules that give the user at the machine the phone's devices.
std::string UdevRulesFile();

// The bus that the entry point installs when no simulated phone is asked for.
std::unique_ptr<PhoneBus> MakeUsbBus();

// A libusb result code as text for messages and traces, for example
// "LIBUSB_ERROR_PIPE: Pipe error".
std::string LibusbErrorText(int code);

// What a failed libusb transfer means to the protocol above the seam.
TransferStatus TransferStatusFromLibusb(int code);

// "usb:BBB:DDD" for bus and address, and back. Parsing fails (false) for
// anything else, including numbers outside 1..255 for the bus and 1..127
// for the address.
std::string UsbDevicePath(unsigned bus, unsigned address);
bool ParseUsbDevicePath(const std::string& path, unsigned* bus, unsigned* address);

}  // namespace orv
