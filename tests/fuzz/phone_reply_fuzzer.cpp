// A fetched reply of any bytes, judged as the transport judges it: the
// verdict is one of 0, 1, -1, and data is promised only where it lies inside
// the reply buffer.

#include "phone/Packets.h"
#include "phone/PhoneLink.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the sequence number the reply is checked against.
    const uint16_t sequence = static_cast<uint16_t>(data[0] % 41);
    // The reply buffer as the transport holds it: zero-filled, the reply copied in.
    std::vector<uint8_t> reply(orv::phone::kBufferSize, 0);
    const size_t count = std::min(size - 1, reply.size());
    if (count > 0)
        std::memcpy(reply.data(), data + 1, count);
    const orv::phone::ReplyVerdict verdict = orv::phone::CheckReply(reply.data(), reply.size(), sequence);
    if (verdict.result != 0 && verdict.result != 1 && verdict.result != -1)
        std::abort();
    if (verdict.hasData && (verdict.result != 0 ||
                            verdict.dataLength > reply.size() - orv::phone::kReplyDataOffset))
        std::abort();

    // The same bytes in a buffer of exactly their size must never be read past.
    std::vector<uint8_t> exact(data + 1, data + size);
    const auto tight = orv::phone::CheckReply(exact.data(), exact.size(), sequence);
    if (tight.hasData && orv::phone::kReplyDataOffset + tight.dataLength > exact.size())
        std::abort();
    return 0;
}
