#include "Discovery.h"

#include "Protocol.h"
#include "TracePipe.h"
#include "Wire.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace orv::phone {

using namespace orv::wire;

namespace {
constexpr uint8_t kDescriptorString = 3;
}  // namespace

int FindModemPort(PhoneBus& bus, std::string* port)
{
    std::string name = bus.FindModemPort(proto::kPhoneVendorId);
    const bool found = !name.empty();
    if (port != nullptr)
        *port = std::move(name);
    return found ? kOk : kFailed;
}

int SendModeSwitch(PhoneBus& bus, const std::string& port)
{
    return bus.WriteModemPort(port, proto::kPhoneVendorId, proto::kModeSwitch, proto::kModeSwitchLength) == 0
               ? kOk
               : kFailed;
}

size_t ShapeNameReply(const uint8_t* descriptor, size_t length, uint8_t* reply, size_t room)
{
    if (length < 2 || descriptor[1] != kDescriptorString || room < 6)
        return 0;
    const size_t usable = std::min<size_t>(length, descriptor[0]);
    if (usable < 2)
        return 0;
    const size_t units = std::min((usable - 2) / 2, (room - 6) / 2);
    PutLe32(reply, static_cast<uint32_t>(units + 3));
    std::memcpy(reply + 4, descriptor + 2, 2 * units);
    reply[4 + 2 * units] = 0;
    reply[5 + 2 * units] = 0;
    return 6 + 2 * units;
}

int NarrowDeviceName(uint8_t* work, size_t workSize, size_t received)
{
    if (received < 4 || received > workSize)
        return kFailed;
    const uint32_t count = GetLe32(work);
    const size_t units = std::min<size_t>(count, received / 2);
    // Unit i moves to byte i; its bytes 2i and 2i+1 are never before byte i.
    for (size_t i = 0; i < units; ++i)
        work[i] = work[2 * i];
    return kOk;
}

bool HoldsTestCommandName(const uint8_t* work, size_t size)
{
    // The name and its closing zero byte.
    const uint8_t* name = reinterpret_cast<const uint8_t*>(proto::kTestCommandName);
    const size_t length = sizeof proto::kTestCommandName;
    return std::search(work, work + size, name, name + length) != work + size;
}

int QueryDeviceName(const NamedInterface& candidate, uint8_t* work)
{
    std::memset(work, 0, kWorkBufferSize);
    const std::vector<uint8_t>& descriptor = candidate.nameDescriptor;
    const size_t received =
        descriptor.empty() ? 0 : ShapeNameReply(descriptor.data(), descriptor.size(), work, kNameReplyRoom);
    return NarrowDeviceName(work, kWorkBufferSize, received);
}

bool FindTestInterface(PhoneBus& bus, PhoneLink& link)
{
    std::vector<uint8_t> work(kWorkBufferSize);
    for (const NamedInterface& candidate : bus.ListInterfaces()) {
        if (QueryDeviceName(candidate, work.data()) != kOk || !HoldsTestCommandName(work.data(), work.size()))
            continue;  // not the phone: its device is never opened
        std::unique_ptr<ControlPipe> device = TraceIfAsked(bus.Open(candidate.devicePath));
        if (!device)
            continue;
        if (!device->ClaimInterface(candidate.number))
            continue;  // held by someone else: not usable; the handle closes here
        link.Attach(std::move(device));
        return true;
    }
    return false;
}

}  // namespace orv::phone
