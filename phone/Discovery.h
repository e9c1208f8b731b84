#pragma once
// Finding the phone: its modem port, the switch into test-command mode, and
// the interface that names itself "Motorola Test Command". The device monitor
// runs these steps in its loop, in this order: FindModemPort, SendModeSwitch
// (only when a port was found) and a 5000 ms pause, FindTestInterface.

#include "platform/ControlPipe.h"
#include "PhoneLink.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::phone {

// The room the device-name reply is read into, and the work buffer around it.
inline constexpr size_t kNameReplyRoom = 261;
inline constexpr size_t kWorkBufferSize = 4096;

// 0 and the port's name when the bus has a modem port of the phone (its USB
// device has the phone's vendor id), -1 otherwise.
int FindModemPort(PhoneBus& bus, std::string* port);
// Writes "at+mode=8\r\n" (11 bytes) to the phone's port: 0 or -1.
int SendModeSwitch(PhoneBus& bus, const std::string& port);
// Looks at every named interface on the bus; opens the device of the first
// one whose name matches, claims the interface and attaches it to the link.
// Devices whose interfaces do not match are never opened. Returns the found
// flag.
bool FindTestInterface(PhoneBus& bus, PhoneLink& link);

// The device-name query of one listed interface: its name string laid out as
// the device-name reply (a 32-bit little-endian count N of 16-bit units, the
// two units of N itself and a closing zero unit included, then the UTF-16LE
// units and the zero unit) in the work buffer (kWorkBufferSize), which is
// zeroed first, and narrowed there. 0 or -1.
int QueryDeviceName(const NamedInterface& candidate, uint8_t* work);

// Lays a string descriptor out as the device-name reply in reply (room
// bytes); returns the reply's length, 0 when the descriptor is not one.
size_t ShapeNameReply(const uint8_t* descriptor, size_t length, uint8_t* reply, size_t room);
// Narrows the reply of `received` bytes in place: the N 16-bit units from the
// start of the buffer (count included) become their low bytes, in order from
// the start. Stops at the units received. -1 when fewer than 4 bytes came.
int NarrowDeviceName(uint8_t* work, size_t workSize, size_t received);
// The narrowed buffer holds "Motorola Test Command" followed by a zero byte
// at some offset.
bool HoldsTestCommandName(const uint8_t* work, size_t size);

}  // namespace orv::phone
