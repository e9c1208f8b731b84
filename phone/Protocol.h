#pragma once
// The numbers of the test-command protocol: control requests, command codes,
// sub-commands, reply kinds and the texts that discovery looks for. The phone
// link and the simulated phone both take them from here.

#include <cstddef>
#include <cstdint>

namespace orv::phone::proto {

// Control requests on the test-command interface.
inline constexpr uint8_t kCommandRequestType = 0x41;  // host to device, vendor, interface
inline constexpr uint8_t kCommandRequest = 0x02;
inline constexpr uint8_t kReadRequestType = 0xC1;  // device to host, vendor, interface
inline constexpr uint8_t kStatusRequest = 0x00;
inline constexpr uint8_t kFetchRequest = 0x01;
inline constexpr uint8_t kDetachRequestType = 0x40;  // host to device, vendor, device
inline constexpr uint8_t kDetachRequest = 0x01;
inline constexpr uint16_t kDetachIndex = 1;
inline constexpr uint16_t kStatusLength = 8;

// Command header (big-endian) ahead of the request data.
inline constexpr size_t kCommandHeaderSize = 8;
// Reply fetch: 4 bytes, one 16-bit length per reply, then the reply packet
// (8-byte header and data).
inline constexpr size_t kReplyHeaderSize = 14;
inline constexpr uint16_t kReplyFlag = 0x8000;
inline constexpr uint16_t kSequenceMask = 0x0FFF;
inline constexpr uint8_t kKindNoData = 6;
inline constexpr uint8_t kKindData = 8;
inline constexpr uint16_t kMaxSequence = 40;

// Command codes.
inline constexpr uint16_t kFileCommand = 0x4A;
inline constexpr uint16_t kCameraCommand = 0x61;
inline constexpr uint16_t kSuspendCommand = 0x36;
inline constexpr uint16_t kRestartCommand = 0x22;
inline constexpr uint16_t kRecordCommand = 0x20;

// File sub-commands (32-bit big-endian at the start of the request data).
inline constexpr uint32_t kFileOpen = 0;
inline constexpr uint32_t kFileRead = 1;
inline constexpr uint32_t kFileClose = 4;
inline constexpr uint32_t kFileDelete = 5;
inline constexpr uint32_t kFileBlockSize = 1024;

// Camera sub-commands (first byte, and the second where it has one).
inline constexpr uint8_t kCameraPower = 0x00;  // 00 01 r: on at resolution r; 00 00 00: off
inline constexpr uint8_t kCameraShoot = 0x01;  // 01 00 path
inline constexpr uint8_t kCameraLighting = 0x20;
inline constexpr uint8_t kCameraExposure = 0x21;
inline constexpr uint8_t kResolutionCount = 11;

inline constexpr uint16_t kModelRecord = 0x0117;
inline constexpr uint16_t kModelRecordIndex = 1;

// Discovery.
// The USB vendor id of the phone: only a modem port of a device with this id
// is ever opened for the mode switch.
inline constexpr uint16_t kPhoneVendorId = 0x22B8;
inline constexpr char kModeSwitch[] = "at+mode=8\r\n";
inline constexpr size_t kModeSwitchLength = sizeof kModeSwitch - 1;  // 11 bytes, no zero
inline constexpr char kTestCommandName[] = "Motorola Test Command";

}  // namespace orv::phone::proto
