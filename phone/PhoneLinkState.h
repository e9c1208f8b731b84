#pragma once
// The inside of PhoneLink: the held interface and the transport buffers.
// Static and reused; an exchange allocates nothing.

#include "PhoneLink.h"
#include "Packets.h"

#include <array>
#include <mutex>
#include <string>
#include <vector>

namespace orv::phone {

struct PhoneLink::State {
    // Whole commands, from filling the request to reading the reply.
    mutable Turn exchangeTurn;
    Turn captureTurn;
    // The handle, path and found flag; never held across an exchange.
    mutable std::mutex deviceMutex;
    std::mutex monitorTurn;

    std::shared_ptr<ControlPipe> device;
    std::string devicePath;
    bool found = false;

    uint16_t sequence = 0;  // 0 at start, then 1..40, never reset
    std::array<uint8_t, kBufferSize> packet{};
    std::array<uint8_t, kStatusBufferSize> status{};
    std::array<uint8_t, kBufferSize> reply{};
    // Data stages of the transfers: a read may ask for up to 65535 bytes.
    std::array<uint8_t, kBufferSize> writeArea{};
    std::vector<uint8_t> readArea = std::vector<uint8_t>(0x10000);

    // For the commands.
    std::array<uint8_t, kBufferSize> requestData{};
    std::array<uint8_t, kBufferSize> replyData{};
    uint32_t replyLength = 0;
    std::vector<uint8_t> recordReply = std::vector<uint8_t>(kRecordReplyRoom);
};

}  // namespace orv::phone
