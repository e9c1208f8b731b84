#pragma once
// Byte order on the wire: the USB setup fields are little-endian, the
// test-command header fields big-endian. Every packet of the phone link and of
// the simulated phone is read and written through these helpers.

#include <cstddef>
#include <cstdint>

#include "platform/ControlPipe.h"

namespace orv::wire {

inline void PutLe16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutBe16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value & 0xFF);
}

inline void PutBe32(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>((value >> 16) & 0xFF);
    at[2] = static_cast<uint8_t>((value >> 8) & 0xFF);
    at[3] = static_cast<uint8_t>(value & 0xFF);
}

inline void PutLe32(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    at[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
    at[3] = static_cast<uint8_t>(value >> 24);
}

inline uint16_t GetLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
inline uint16_t GetBe16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

inline uint32_t GetBe32(const uint8_t* at)
{
    return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
           (static_cast<uint32_t>(at[2]) << 8) | static_cast<uint32_t>(at[3]);
}

inline uint32_t GetLe32(const uint8_t* at)
{
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

inline constexpr size_t kSetupSize = 8;

// The 8 setup bytes as they go on the wire.
inline void PutSetup(uint8_t* at, const SetupPacket& setup)
{
    at[0] = setup.requestType;
    at[1] = setup.request;
    PutLe16(at + 2, setup.value);
    PutLe16(at + 4, setup.index);
    PutLe16(at + 6, setup.length);
}

inline SetupPacket GetSetup(const uint8_t* at)
{
    SetupPacket setup;
    setup.requestType = at[0];
    setup.request = at[1];
    setup.value = GetLe16(at + 2);
    setup.index = GetLe16(at + 4);
    setup.length = GetLe16(at + 6);
    return setup;
}

inline bool IsDeviceToHost(const SetupPacket& setup) { return (setup.requestType & 0x80) != 0; }

}  // namespace orv::wire
