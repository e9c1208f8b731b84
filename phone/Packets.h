#pragma once
// The packets of one test-command exchange, laid out and judged without any
// I/O: the command packet, the status poll, the reply fetch and the checks a
// fetched reply must pass.

#include <cstddef>
#include <cstdint>

namespace orv::phone {

// Size of a request handed to a read exchange: the setup packet and one zero byte.
inline constexpr size_t kReadRequestSize = 9;
inline constexpr size_t kStatusBufferSize = 12;

// The counter after `sequence`: 1, 2, ... 40, then 1 again.
uint16_t NextSequence(uint16_t sequence);

// Writes the command packet (setup, big-endian header, data, two zero bytes)
// to packet, which must hold length + 18 bytes; returns length + 18.
size_t BuildCommandPacket(uint8_t* packet, uint16_t sequence, uint16_t command, const uint8_t* data,
                          size_t length);
// C1 00 00 00 08 00 08 00 00
void BuildStatusPoll(uint8_t* request);
// C1 01, wValue = waiting, wIndex 8, wLength = size + 2 x waiting + 4, one zero byte.
void BuildReplyFetch(uint8_t* request, uint8_t waiting, uint16_t size);
// The status says that the fetch may go ahead (1 or 2 replies waiting).
bool ReplyWaiting(const uint8_t* status);

struct ReplyVerdict {
    int result = -1;         // 0, 1 or -1 as the exchange returns it
    bool hasData = false;    // result 0 with data to copy (kind 8)
    size_t dataLength = 0;   // D, when hasData
};
inline constexpr size_t kReplyDataOffset = 14;

// Judges a fetched reply held in `size` bytes (the zero-filled reply
// buffer): byte 0 must be 1 (else -1); bit 15 of the word at 6 must be set
// (else -1); its low 12 bits must be the sequence number (else 1); kind 6 is
// done without data (0); a kind other than 8 is -1; D must equal L - 8 (else
// 1); data that would run past the buffer is -1.
ReplyVerdict CheckReply(const uint8_t* reply, size_t size, uint16_t sequence);

}  // namespace orv::phone
