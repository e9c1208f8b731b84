// A string descriptor of any bytes laid out as the device-name reply, and a
// raw reply of any bytes and any stated unit count, narrowed and matched in
// the 4096-byte work buffer: nothing is read or written outside it.

#include "phone/Discovery.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace orv::phone;
    // As a string descriptor read from the device.
    std::vector<uint8_t> work(kWorkBufferSize, 0);
    const size_t shaped = ShapeNameReply(data, size, work.data(), kNameReplyRoom);
    if (shaped > kNameReplyRoom)
        std::abort();
    if (NarrowDeviceName(work.data(), work.size(), shaped) == 0)
        (void)HoldsTestCommandName(work.data(), work.size());

    // As the reply itself, up to the room it is read into.
    std::vector<uint8_t> raw(kWorkBufferSize, 0);
    const size_t received = std::min(size, kNameReplyRoom);
    if (received > 0)
        std::memcpy(raw.data(), data, received);
    const int result = NarrowDeviceName(raw.data(), raw.size(), received);
    if ((received < 4) != (result != 0))
        std::abort();
    (void)HoldsTestCommandName(raw.data(), raw.size());
    return 0;
}
