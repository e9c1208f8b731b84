#include "Discovery.h"

#include "Protocol.h"
#include "TracePipe.h"
#include "Wire.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace orv::phone {

using namespace orv::wire;

namespace {

constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kStandardIn = 0x80;  // device to host, standard, device
constexpr uint8_t kDescriptorConfig = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint16_t kDefaultLanguage = 0x0409;
constexpr uint16_t kStringRoom = 255;
// Enough for any configuration a phone reports; longer ones are read cut.
constexpr uint16_t kConfigRoom = 4096;

TransferResult GetDescriptor(ControlPipe& device, uint8_t type, uint8_t index, uint16_t language, uint8_t* data,
                             uint16_t room)
{
    SetupPacket setup;
    setup.requestType = kStandardIn;
    setup.request = kGetDescriptor;
    setup.value = static_cast<uint16_t>((type << 8) | index);
    setup.index = language;
    setup.length = room;
    return device.Transfer(setup, data, kNameQueryTimeout);
}

// The whole configuration descriptor: its first 9 bytes tell its length.
std::vector<uint8_t> ReadConfiguration(ControlPipe& device)
{
    std::vector<uint8_t> config(kConfigRoom);
    TransferResult result = GetDescriptor(device, kDescriptorConfig, 0, 0, config.data(), 9);
    if (result.status != TransferStatus::Ok || result.transferred < 4)
        return {};
    const uint16_t total = std::min<uint16_t>(GetLe16(&config[2]), kConfigRoom);
    if (total < 9)
        return {};
    result = GetDescriptor(device, kDescriptorConfig, 0, 0, config.data(), total);
    if (result.status != TransferStatus::Ok)
        return {};
    config.resize(result.transferred);
    return config;
}

// The first language of the device's string table.
uint16_t FirstLanguage(ControlPipe& device)
{
    std::array<uint8_t, kStringRoom> table{};
    const TransferResult result = GetDescriptor(device, kDescriptorString, 0, 0, table.data(), kStringRoom);
    if (result.status != TransferStatus::Ok || result.transferred < 4 || table[1] != kDescriptorString)
        return kDefaultLanguage;
    return GetLe16(&table[2]);
}

struct NamedInterface {
    uint8_t number = 0;
    uint8_t stringIndex = 0;
};

// Interfaces with a name string, in descriptor order, each number once.
std::vector<NamedInterface> NamedInterfaces(const std::vector<uint8_t>& config)
{
    std::vector<NamedInterface> named;
    size_t at = 0;
    while (at + 2 <= config.size()) {
        const size_t length = config[at];
        if (length < 2 || at + length > config.size())
            break;
        if (config[at + 1] == kDescriptorInterface && length >= 9 && config[at + 8] != 0) {
            const uint8_t number = config[at + 2];
            const bool seen = std::any_of(named.begin(), named.end(),
                                          [number](const NamedInterface& n) { return n.number == number; });
            if (!seen)
                named.push_back({number, config[at + 8]});
        }
        at += length;
    }
    return named;
}

}  // namespace

int FindModemPort(PhoneBus& bus, std::string* port)
{
    std::string name = bus.FindModemPort();
    const bool found = !name.empty();
    if (port != nullptr)
        *port = std::move(name);
    return found ? kOk : kFailed;
}

int SendModeSwitch(PhoneBus& bus, const std::string& port)
{
    return bus.WriteModemPort(port, proto::kModeSwitch, proto::kModeSwitchLength) == 0 ? kOk : kFailed;
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

int QueryDeviceName(ControlPipe& device, uint8_t stringIndex, uint16_t languageId, uint8_t* work)
{
    std::memset(work, 0, kWorkBufferSize);
    std::array<uint8_t, kStringRoom> descriptor{};
    const TransferResult result =
        GetDescriptor(device, kDescriptorString, stringIndex, languageId, descriptor.data(), kStringRoom);
    if (result.status != TransferStatus::Ok)
        return kFailed;
    const size_t received = ShapeNameReply(descriptor.data(), std::min<size_t>(result.transferred, kStringRoom),
                                           work, kNameReplyRoom);
    return NarrowDeviceName(work, kWorkBufferSize, received);
}

bool FindTestInterface(PhoneBus& bus, PhoneLink& link)
{
    std::vector<uint8_t> work(kWorkBufferSize);
    for (const std::string& path : bus.ListDevices()) {
        std::unique_ptr<ControlPipe> device = TraceIfAsked(bus.Open(path));
        if (!device)
            continue;
        const std::vector<NamedInterface> interfaces = NamedInterfaces(ReadConfiguration(*device));
        if (interfaces.empty())
            continue;
        const uint16_t language = FirstLanguage(*device);
        for (const NamedInterface& candidate : interfaces) {
            if (QueryDeviceName(*device, candidate.stringIndex, language, work.data()) != kOk ||
                !HoldsTestCommandName(work.data(), work.size()))
                continue;
            if (!device->ClaimInterface(candidate.number))
                continue;  // held by someone else: not usable
            link.Attach(std::move(device));
            return true;
        }
        // No match: the handle closes here and the next device is examined.
    }
    return false;
}

}  // namespace orv::phone
