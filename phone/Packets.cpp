#include "Packets.h"

#include "PhoneLink.h"
#include "Protocol.h"
#include "Wire.h"

#include <cstring>

namespace orv::phone {

using namespace orv::wire;

uint16_t NextSequence(uint16_t sequence)
{
    ++sequence;
    return sequence > proto::kMaxSequence ? 1 : sequence;
}

size_t BuildCommandPacket(uint8_t* packet, uint16_t sequence, uint16_t command, const uint8_t* data,
                          size_t length)
{
    SetupPacket setup;
    setup.requestType = proto::kCommandRequestType;
    setup.request = proto::kCommandRequest;
    setup.value = 0;
    setup.index = kTestCommandInterface;
    setup.length = static_cast<uint16_t>(length + proto::kCommandHeaderSize);
    PutSetup(packet, setup);
    uint8_t* header = packet + kSetupSize;
    PutBe16(header, sequence & proto::kSequenceMask);
    PutBe16(header + 2, command & proto::kSequenceMask);
    PutBe16(header + 4, static_cast<uint16_t>(length));
    PutBe16(header + 6, 0);
    if (length > 0)
        std::memcpy(header + proto::kCommandHeaderSize, data, length);
    // Two zero bytes close the packet; they are not part of the data stage.
    header[proto::kCommandHeaderSize + length] = 0;
    header[proto::kCommandHeaderSize + length + 1] = 0;
    return length + kSetupSize + proto::kCommandHeaderSize + 2;
}

void BuildStatusPoll(uint8_t* request)
{
    SetupPacket setup;
    setup.requestType = proto::kReadRequestType;
    setup.request = proto::kStatusRequest;
    setup.index = kTestCommandInterface;
    setup.length = proto::kStatusLength;
    PutSetup(request, setup);
    request[kSetupSize] = 0;
}

void BuildReplyFetch(uint8_t* request, uint8_t waiting, uint16_t size)
{
    SetupPacket setup;
    setup.requestType = proto::kReadRequestType;
    setup.request = proto::kFetchRequest;
    setup.value = waiting;
    setup.index = kTestCommandInterface;
    setup.length = static_cast<uint16_t>(size + 2 * waiting + 4);
    PutSetup(request, setup);
    request[kSetupSize] = 0;
}

bool ReplyWaiting(const uint8_t* status) { return status[1] == 1 || status[1] == 2; }

ReplyVerdict CheckReply(const uint8_t* reply, size_t size, uint16_t sequence)
{
    ReplyVerdict verdict;
    if (size < kReplyDataOffset || reply[0] != 1)
        return verdict;
    const uint16_t word = GetBe16(reply + 6);
    if ((word & proto::kReplyFlag) == 0)
        return verdict;
    if ((word & proto::kSequenceMask) != (sequence & proto::kSequenceMask)) {
        verdict.result = kWrongReply;
        return verdict;
    }
    const uint8_t kind = reply[8] >> 4;
    if (kind == proto::kKindNoData) {
        verdict.result = kOk;
        return verdict;
    }
    if (kind != proto::kKindData)
        return verdict;
    const uint16_t packetLength = GetBe16(reply + 4);
    const uint16_t dataLength = GetBe16(reply + 10);
    if (static_cast<int>(dataLength) != static_cast<int>(packetLength) - 8) {
        verdict.result = kWrongReply;
        return verdict;
    }
    // Data that would not fit behind the header is never copied.
    if (dataLength > size - kReplyDataOffset)
        return verdict;
    verdict.result = kOk;
    verdict.hasData = true;
    verdict.dataLength = dataLength;
    return verdict;
}

}  // namespace orv::phone
