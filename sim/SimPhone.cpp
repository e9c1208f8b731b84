#include "SimPhone.h"

#include "platform/Clock.h"
#include "phone/Protocol.h"
#include "phone/Wire.h"

#include <algorithm>
#include <climits>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace orv::sim {

namespace proto = orv::phone::proto;
using namespace orv::wire;

namespace {

constexpr uint16_t kProductNormal = 0x4902;  // modem (CDC-ACM) configuration
constexpr uint16_t kProductTest = 0x4901;    // test-command configuration
constexpr uint8_t kTestInterface = 8;
constexpr uint8_t kOtherInterface = 7;
constexpr uint16_t kLangEnglishUs = 0x0409;
enum StringIndex : uint8_t { kStrManufacturer = 1, kStrProduct = 2, kStrTestName = 4, kStrOtherName = 5 };

// A result kind the phone uses for a command it cannot carry out.
constexpr uint8_t kKindRefused = 0x0A;
constexpr uint8_t kKindOdd = 0x04;  // neither 6 nor 8: for the bad-kind fault
constexpr uint8_t kDescriptorDevice = 1, kDescriptorConfig = 2, kDescriptorString = 3;
constexpr size_t kLargestBlock = 4000;  // what the phone puts in one read reply at most
constexpr size_t kHugePictureSize = 16u * 1024u * 1024u + 1024u;
constexpr size_t kModemLineLimit = 256;

bool TimeReached(uint32_t now, uint32_t at) { return static_cast<int32_t>(now - at) >= 0; }

std::vector<uint8_t> StringDescriptor(const std::string& text)
{
    // ASCII texts only; at most 126 UTF-16 units fit in one descriptor.
    const size_t units = std::min<size_t>(text.size(), 126);
    std::vector<uint8_t> descriptor(2 + 2 * units);
    descriptor[0] = static_cast<uint8_t>(descriptor.size());
    descriptor[1] = kDescriptorString;
    for (size_t i = 0; i < units; ++i) {
        descriptor[2 + 2 * i] = static_cast<uint8_t>(text[i]);
        descriptor[3 + 2 * i] = 0;
    }
    return descriptor;
}

// What a command made the phone say.
struct Answer {
    uint8_t kind = proto::kKindNoData;
    std::vector<uint8_t> data;
    uint32_t delayMs = 0;
    bool restartAfter = false;

    static Answer Data(std::vector<uint8_t> bytes) { return {proto::kKindData, std::move(bytes), 0, false}; }
    static Answer Byte(uint8_t value) { return Data({value}); }
    static Answer Done() { return {}; }
    static Answer Refused() { return {kKindRefused, {}, 0, false}; }
};

}  // namespace

PictureSize ResolutionSize(int code)
{
    static constexpr PictureSize kSizes[proto::kResolutionCount] = {
        {640, 480},    // VGA
        {320, 240},    // QVGA
        {160, 120},    // SQVGA
        {160, 120},    // QQVGA
        {80, 60},      // QQQVGA
        {352, 288},    // CIF
        {176, 144},    // QCIF
        {128, 96},     // SQCIF
        {1280, 960},   // 4VGA
        {1280, 1024},  // SXGA
        {1600, 1200},  // UXGA
    };
    if (code < 0 || code >= proto::kResolutionCount)
        return {};
    return kSizes[code];
}

struct SimPhone::State {
    struct Reply {
        std::vector<uint8_t> packet;  // 8-byte header and data
        uint32_t readyAt = 0;
        bool never = false;
        bool statusTooMany = false;
        bool badFirstByte = false;
        bool restartAfter = false;
    };

    Options options;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;

    bool plugged = true;
    bool testMode = false;
    bool silent = false;
    uint64_t generation = 1;
    std::string modemLine;

    std::deque<Reply> replies;
    std::deque<Fault> faults;
    int unplugAtCommand = 0;

    std::map<std::string, std::vector<uint8_t>> files;
    std::string openFile;
    bool fileOpen = false;
    size_t openOffset = 0;

    bool cameraOn = false;
    int resolution = 0;
    int lighting = 1;
    int exposure = 3;
    bool suspended = false;
    uint32_t frame = 0;
    uint32_t noise = 0x2545F491u;
    // A still scene: the pictures show the frame number and time of the
    // last one shot before it (the sensor's grain still changes).
    bool still = false;
    // Changes of the scene waiting for a picture: its number, still or not.
    std::map<uint32_t, bool> stillAtShot;
    uint32_t drawnFrame = 0;
    std::time_t drawnWhen = 0;

    // The latest commands, at most kCommandRecordLimit: a phone left running
    // for days keeps a bounded record (the counters count them all).
    std::deque<Command> commands;
    Counters counters;

    // --- helpers; the mutex is held ---

    bool TakeFault(std::initializer_list<Fault> kinds, Fault* taken)
    {
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (std::find(kinds.begin(), kinds.end(), *it) != kinds.end()) {
                *taken = *it;
                faults.erase(it);
                return true;
            }
        }
        return false;
    }

    bool TakeFault(Fault kind)
    {
        Fault taken;
        return TakeFault({kind}, &taken);
    }

    // The phone left the bus or came back in another shape: every session
    // state ends and old handles die.
    void Reenumerate()
    {
        ++generation;
        replies.clear();
        fileOpen = false;
        openOffset = 0;
        cameraOn = false;
        suspended = false;
        modemLine.clear();
        changed.notify_all();
    }

    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t langId) const
    {
        switch (type) {
        case kDescriptorDevice: return DeviceDescriptor();
        case kDescriptorConfig: return index == 0 ? ConfigDescriptor() : std::vector<uint8_t>{};
        case kDescriptorString:
            if (index == 0)
                return {4, kDescriptorString, kLangEnglishUs & 0xFF, kLangEnglishUs >> 8};
            if (langId != kLangEnglishUs)
                return {};
            if (index == kStrManufacturer)
                return StringDescriptor("Motorola Inc.");
            if (index == kStrProduct)
                return StringDescriptor(options.model);
            if (testMode && index == kStrTestName)
                return StringDescriptor(options.testInterfaceName);
            if (testMode && index == kStrOtherName && !options.otherInterfaceName.empty())
                return StringDescriptor(options.otherInterfaceName);
            return {};
        default: return {};
        }
    }

    std::vector<uint8_t> DeviceDescriptor() const
    {
        std::vector<uint8_t> d = {18, kDescriptorDevice, 0x00, 0x02, 0x00, 0x00, 0x00, 64, 0, 0, 0, 0,
                                  0x01, 0x00, kStrManufacturer, kStrProduct, 0, 1};
        PutLe16(&d[8], options.vendorId);
        PutLe16(&d[10], testMode ? kProductTest : kProductNormal);
        return d;
    }

    std::vector<uint8_t> ConfigDescriptor() const
    {
        std::vector<uint8_t> body;
        uint8_t interfaces = 0;
        auto add = [&body](std::initializer_list<uint8_t> bytes) { body.insert(body.end(), bytes); };
        if (!testMode) {
            // A CDC-ACM modem: communication interface with its functional
            // descriptors and interrupt endpoint, then the data interface.
            add({9, 4, 0, 0, 1, 0x02, 0x02, 0x01, 0});
            add({5, 0x24, 0x00, 0x10, 0x01});
            add({5, 0x24, 0x01, 0x00, 0x01});
            add({4, 0x24, 0x02, 0x02});
            add({5, 0x24, 0x06, 0x00, 0x01});
            add({7, 5, 0x81, 0x03, 0x10, 0x00, 0x0A});
            add({9, 4, 1, 0, 2, 0x0A, 0x00, 0x00, 0});
            add({7, 5, 0x82, 0x02, 0x40, 0x00, 0x00});
            add({7, 5, 0x02, 0x02, 0x40, 0x00, 0x00});
            interfaces = 2;
        } else {
            if (!options.otherInterfaceName.empty()) {
                add({9, 4, kOtherInterface, 0, 0, 0xFF, 0x00, 0x00, kStrOtherName});
                ++interfaces;
            }
            // The test-command interface works on endpoint 0 only.
            add({9, 4, kTestInterface, 0, 0, 0xFF, 0x00, 0x00, kStrTestName});
            ++interfaces;
        }
        std::vector<uint8_t> config = {9, kDescriptorConfig, 0, 0, interfaces, 1, 0, 0xC0, 50};
        PutLe16(&config[2], static_cast<uint16_t>(9 + body.size()));
        config.insert(config.end(), body.begin(), body.end());
        return config;
    }

    bool HasInterface(int number) const
    {
        return testMode && (number == kTestInterface ||
                            (number == kOtherInterface && !options.otherInterfaceName.empty()));
    }

    static TransferResult Send(const std::vector<uint8_t>& bytes, const SetupPacket& setup, uint8_t* data)
    {
        const size_t count = std::min<size_t>(bytes.size(), setup.length);
        if (count > 0)
            std::memcpy(data, bytes.data(), count);
        return {TransferStatus::Ok, count};
    }

    TransferResult Standard(const SetupPacket& setup, uint8_t* data)
    {
        const bool in = IsDeviceToHost(setup);
        if (in && setup.request == 0x06) {  // GET_DESCRIPTOR
            const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
            const uint8_t index = static_cast<uint8_t>(setup.value & 0xFF);
            std::vector<uint8_t> descriptor = Descriptor(type, index, setup.index);
            if (descriptor.empty())
                return {TransferStatus::Stall, 0};
            if (type == kDescriptorString && index == kStrTestName && TakeFault(Fault::ShortNameReply))
                descriptor.resize(1);
            return Send(descriptor, setup, data);
        }
        if (in && setup.request == 0x00)  // GET_STATUS
            return Send({0x01, 0x00}, setup, data);
        if (in && setup.request == 0x08)  // GET_CONFIGURATION
            return Send({0x01}, setup, data);
        if (!in && (setup.request == 0x09 || setup.request == 0x0B))  // SET_CONFIGURATION, SET_INTERFACE
            return {TransferStatus::Ok, 0};
        return {TransferStatus::Stall, 0};
    }

    // --- test-command side ---

    size_t ReadyCount(uint32_t now) const
    {
        size_t count = 0;
        for (const auto& reply : replies) {
            if (reply.never || !TimeReached(now, reply.readyAt))
                break;
            ++count;
        }
        return count;
    }

    TransferResult Status(const SetupPacket& setup, uint8_t* data) const
    {
        const size_t ready = ReadyCount(TheClock().TickCount());
        uint32_t size = 0;
        for (size_t i = 0; i < ready; ++i)
            size += static_cast<uint32_t>(replies[i].packet.size());
        std::vector<uint8_t> status(proto::kStatusLength, 0);
        status[1] = static_cast<uint8_t>(std::min<size_t>(ready, 255));
        if (ready > 0 && replies.front().statusTooMany)
            status[1] = 3;
        PutBe16(&status[2], static_cast<uint16_t>(std::min<uint32_t>(size, 0xFFFF)));
        return Send(status, setup, data);
    }

    TransferResult Fetch(const SetupPacket& setup, uint8_t* data)
    {
        const size_t count = std::min<size_t>(setup.value, ReadyCount(TheClock().TickCount()));
        if (count == 0)
            return {TransferStatus::Stall, 0};
        std::vector<uint8_t> bytes(4 + 2 * count, 0);
        bytes[0] = static_cast<uint8_t>(count);
        bool restart = false;
        for (size_t i = 0; i < count; ++i) {
            const auto& reply = replies[i];
            PutBe16(&bytes[4 + 2 * i], static_cast<uint16_t>(reply.packet.size()));
            if (reply.badFirstByte)
                bytes[0] = 2;
            restart = restart || reply.restartAfter;
        }
        for (size_t i = 0; i < count; ++i)
            bytes.insert(bytes.end(), replies[i].packet.begin(), replies[i].packet.end());
        replies.erase(replies.begin(), replies.begin() + static_cast<std::ptrdiff_t>(count));
        const TransferResult result = Send(bytes, setup, data);
        if (restart && options.rebootOnRestart) {
            // The phone reboots into its normal mode once it has answered.
            testMode = false;
            Reenumerate();
        }
        return result;
    }

    TransferResult CommandPacket(const SetupPacket& setup, const uint8_t* data)
    {
        if (setup.index != kTestInterface || setup.length < proto::kCommandHeaderSize || data == nullptr)
            return {TransferStatus::Stall, 0};
        const uint16_t sequence = GetBe16(data) & proto::kSequenceMask;
        const uint16_t code = GetBe16(data + 2) & proto::kSequenceMask;
        const size_t length = GetBe16(data + 4);
        if (length != setup.length - proto::kCommandHeaderSize)
            return {TransferStatus::Stall, 0};
        if (unplugAtCommand > 0 && --unplugAtCommand == 0) {
            plugged = false;
            Reenumerate();
            return {TransferStatus::NoDevice, 0};
        }
        if (TakeFault(Fault::Stall))
            return {TransferStatus::Stall, 0};

        const uint8_t* request = data + proto::kCommandHeaderSize;
        if (commands.size() >= kCommandRecordLimit)
            commands.pop_front();
        commands.push_back({sequence, code, std::vector<uint8_t>(request, request + length)});
        ++counters.commands;
        const Answer answer = Execute(code, request, length);

        // Replies nobody will ever fetch do not block the ones after them.
        std::erase_if(replies, [](const State::Reply& r) { return r.never || r.statusTooMany; });
        replies.push_back(BuildReply(sequence, answer));
        return {TransferStatus::Ok, setup.length};
    }

    State::Reply BuildReply(uint16_t sequence, const Answer& answer)
    {
        State::Reply reply;
        reply.readyAt = TheClock().TickCount() + answer.delayMs;
        reply.restartAfter = answer.restartAfter;
        uint16_t word = static_cast<uint16_t>(sequence | proto::kReplyFlag);
        uint8_t kind = answer.kind;
        std::vector<uint8_t> payload = answer.data;
        size_t statedLength = payload.size();

        Fault fault = Fault::Stall;
        if (TakeFault({Fault::WrongSequence, Fault::NotAReply, Fault::NoData, Fault::BadKind, Fault::LengthMismatch,
                       Fault::OversizedData, Fault::BadFirstByte, Fault::NoReply, Fault::StatusTooMany},
                      &fault)) {
            switch (fault) {
            case Fault::WrongSequence:
                word = static_cast<uint16_t>((sequence % proto::kMaxSequence + 1) | proto::kReplyFlag);
                break;
            case Fault::NotAReply: word = sequence; break;
            case Fault::NoData:
                kind = proto::kKindNoData;
                payload.clear();
                statedLength = 0;
                break;
            case Fault::BadKind: kind = kKindOdd; break;
            case Fault::LengthMismatch:
                kind = proto::kKindData;
                statedLength = payload.size() + 1;
                break;
            case Fault::OversizedData:
                kind = proto::kKindData;
                payload.assign(4090, 0x55);
                statedLength = payload.size();
                break;
            case Fault::BadFirstByte: reply.badFirstByte = true; break;
            case Fault::NoReply: reply.never = true; break;
            case Fault::StatusTooMany: reply.statusTooMany = true; break;
            default: break;
            }
        }
        if (kind == proto::kKindNoData) {
            payload.clear();
            statedLength = 0;
        }
        reply.packet.assign(proto::kCommandHeaderSize, 0);
        PutBe16(&reply.packet[0], word);
        reply.packet[2] = static_cast<uint8_t>(kind << 4);
        PutBe16(&reply.packet[4], static_cast<uint16_t>(statedLength));
        reply.packet.insert(reply.packet.end(), payload.begin(), payload.end());
        return reply;
    }

    Answer Execute(uint16_t code, const uint8_t* request, size_t length)
    {
        switch (code) {
        case proto::kFileCommand: return FileCommand(request, length);
        case proto::kCameraCommand: return CameraCommand(request, length);
        case proto::kSuspendCommand:
            if (length != 1 || request[0] != 0)
                return Answer::Refused();
            suspended = true;
            ++counters.suspends;
            return Answer::Done();
        case proto::kRestartCommand: {
            if (length != 0)
                return Answer::Refused();
            ++counters.restarts;
            Answer answer = Answer::Done();
            answer.restartAfter = true;
            return answer;
        }
        case proto::kRecordCommand: return RecordCommand(request, length);
        default: return Answer::Refused();
        }
    }

    static std::string Text(const uint8_t* bytes, size_t length)
    {
        return std::string(reinterpret_cast<const char*>(bytes), length);
    }

    Answer FileCommand(const uint8_t* request, size_t length)
    {
        if (length < 4)
            return Answer::Refused();
        switch (GetBe32(request)) {
        case proto::kFileOpen: {
            if (length < 8)
                return Answer::Refused();
            const std::string path = Text(request + 8, length - 8);
            if (!files.count(path))
                return Answer::Refused();
            openFile = path;
            fileOpen = true;
            openOffset = 0;
            return Answer::Byte(0);
        }
        case proto::kFileRead: {
            if (length != 8 || !fileOpen || !files.count(openFile))
                return Answer::Refused();
            const auto& contents = files[openFile];
            const size_t remaining = contents.size() - std::min(openOffset, contents.size());
            if (remaining == 0)
                return Answer::Byte(0);  // a one-byte reply ends the file
            size_t block = std::min<size_t>(GetBe32(request + 4), kLargestBlock);
            if (TakeFault(Fault::OversizedBlock))
                block = kLargestBlock;
            size_t count = std::min(remaining, block);
            // A one-byte reply means the end of the file, so the phone never
            // leaves a single byte for the last block.
            if (remaining - count == 1 && count > 1)
                --count;
            if (count == 0)
                return Answer::Refused();
            const auto begin = contents.begin() + static_cast<std::ptrdiff_t>(openOffset);
            std::vector<uint8_t> bytes(begin, begin + static_cast<std::ptrdiff_t>(count));
            openOffset += count;
            return Answer::Data(std::move(bytes));
        }
        case proto::kFileClose:
            if (!fileOpen)
                return Answer::Byte(1);
            fileOpen = false;
            return Answer::Byte(0);
        case proto::kFileDelete: {
            const std::string path = Text(request + 4, length - 4);
            if (!files.erase(path))
                return Answer::Byte(1);
            if (fileOpen && openFile == path)
                fileOpen = false;
            return Answer::Byte(0);
        }
        default: return Answer::Refused();
        }
    }

    Answer CameraCommand(const uint8_t* request, size_t length)
    {
        if (length < 2)
            return Answer::Refused();
        const uint8_t sub = request[0];
        if (sub == proto::kCameraPower && length == 3 && request[1] == 1) {
            if (request[2] >= proto::kResolutionCount)
                return Answer::Byte(1);
            cameraOn = true;
            resolution = request[2];
            Answer answer = Answer::Byte(0);
            answer.delayMs = options.cameraOnLatencyMs;
            return answer;
        }
        if (sub == proto::kCameraPower && length == 3 && request[1] == 0 && request[2] == 0) {
            cameraOn = false;
            return Answer::Byte(0);
        }
        if (sub == proto::kCameraShoot && request[1] == 0) {
            const std::string path = Text(request + 2, length - 2);
            if (!cameraOn || path.rfind("/a/", 0) != 0 || path.size() <= 3)
                return Answer::Byte(1);
            files[path] = Shoot();
            if (fileOpen && openFile == path)
                openOffset = 0;
            Answer answer = Answer::Byte(0);
            answer.delayMs = options.shotLatencyMs;
            return answer;
        }
        if (sub == proto::kCameraLighting && length == 2) {
            if (request[1] < 1 || request[1] > 6)
                return Answer::Byte(1);
            lighting = request[1];
            return Answer::Byte(0);
        }
        if (sub == proto::kCameraExposure && length == 2) {
            if (request[1] < 1 || request[1] > 5)
                return Answer::Byte(1);
            exposure = request[1];
            return Answer::Byte(0);
        }
        return Answer::Refused();
    }

    std::vector<uint8_t> Shoot()
    {
        ++frame;
        ++counters.shots;
        if (const auto change = stillAtShot.find(frame); change != stillAtShot.end()) {
            still = change->second;
            stillAtShot.erase(change);
        }
        Fault fault;
        if (TakeFault({Fault::GarbagePicture, Fault::HugePicture}, &fault)) {
            std::vector<uint8_t> bytes(fault == Fault::HugePicture ? kHugePictureSize : 20000);
            for (auto& byte : bytes) {
                noise = noise * 1664525u + 1013904223u;
                byte = static_cast<uint8_t>(noise >> 24);
            }
            if (fault == Fault::HugePicture && bytes.size() >= 2) {
                bytes[0] = 0xFF;  // starts like a JPEG, but far too long
                bytes[1] = 0xD8;
            }
            return bytes;
        }
        if (TakeFault(Fault::LongPicture)) {
            // SOI, then a baseline frame header of 640 x 0, then noise.
            std::vector<uint8_t> bytes{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 8, 0, 0, 0x02, 0x80, 3,
                                       1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
            bytes.resize(kHugePictureSize);
            for (size_t i = 21; i < bytes.size(); ++i) {
                noise = noise * 1664525u + 1013904223u;
                bytes[i] = static_cast<uint8_t>(noise >> 24);
            }
            return bytes;
        }
        const PictureSize size = ResolutionSize(resolution);
        if (!still || drawnFrame == 0) {
            drawnFrame = frame;
            drawnWhen = TheClock().Now();
        }
        std::vector<uint8_t> picture =
            ShootTestPicture(size.width, size.height, drawnFrame, drawnWhen, lighting, exposure, frame);
        if (TakeFault(Fault::CutShortPicture))
            picture.resize(picture.size() / 2);
        return picture;
    }

    Answer RecordCommand(const uint8_t* request, size_t length)
    {
        if (length != 8)
            return Answer::Refused();
        if (GetBe16(request) != proto::kModelRecord || GetBe16(request + 2) != proto::kModelRecordIndex)
            return Answer::Refused();
        // A status byte, then the name as the phone stores it: a zero byte
        // inside (where the first word ends) and 0xFF filler behind it.
        std::vector<uint8_t> record = {0x00};
        const std::string& name = options.model;
        const size_t split = std::min(name.find(' '), name.size());
        record.insert(record.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(split));
        record.push_back(0x00);
        record.insert(record.end(), name.begin() + static_cast<std::ptrdiff_t>(split), name.end());
        while (record.size() < 40)
            record.push_back(0xFF);
        return Answer::Data(std::move(record));
    }

    TransferResult Transfer(const SetupPacket& setup, uint8_t* data)
    {
        if (!plugged)
            return {TransferStatus::NoDevice, 0};
        if (setup.length > 0 && data == nullptr)
            return {TransferStatus::Error, 0};
        const uint8_t type = setup.requestType & 0x60;
        if (type == 0x00)
            return Standard(setup, data);
        if (type != 0x40 || !testMode)
            return {TransferStatus::Stall, 0};

        if (setup.requestType == proto::kCommandRequestType && setup.request == proto::kCommandRequest)
            return CommandPacket(setup, data);
        if (setup.requestType == proto::kReadRequestType && setup.index == kTestInterface) {
            if (setup.request == proto::kStatusRequest)
                return Status(setup, data);
            if (setup.request == proto::kFetchRequest)
                return Fetch(setup, data);
        }
        if (setup.requestType == proto::kDetachRequestType && setup.request == proto::kDetachRequest &&
            setup.index == proto::kDetachIndex) {
            ++counters.detaches;
            testMode = false;
            Reenumerate();
            return {TransferStatus::Ok, 0};
        }
        return {TransferStatus::Stall, 0};
    }

    void ModemBytes(const uint8_t* bytes, size_t length)
    {
        if (!plugged || testMode)
            return;
        ++counters.modemWrites;
        for (size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(bytes[i]);
            if (c == '\n') {
                std::string line = modemLine;
                modemLine.clear();
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                std::transform(line.begin(), line.end(), line.begin(),
                               [](char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); });
                if (line == "at+mode=8") {
                    ++counters.modeSwitches;
                    testMode = true;
                    Reenumerate();
                    return;
                }
            } else if (modemLine.size() < kModemLineLimit) {
                modemLine.push_back(c);
            }
        }
    }
};

SimPhone::SimPhone() : SimPhone(Options{}) {}

SimPhone::SimPhone(Options options) : state_(std::make_shared<State>())
{
    state_->options = std::move(options);
    state_->testMode = state_->options.startInTestMode;
}

SimPhone::~SimPhone() = default;

TransferResult SimPhone::ControlTransfer(const SetupPacket& setup, uint8_t* data)
{
    return ControlTransfer(setup, data, std::chrono::milliseconds::max());
}

TransferResult SimPhone::ControlTransfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds limit)
{
    const bool testCommand = (setup.requestType & 0x60) != 0;
    uint32_t latency;
    {
        std::lock_guard lock(state_->mutex);
        latency = state_->options.exchangeLatencyMs;
    }
    if (latency > 0 && testCommand)
        TheClock().Sleep(latency);
    TransferControl* const control = CurrentTransferControl();
    std::unique_lock lock(state_->mutex);
    if (testCommand && state_->silent) {
        // Hangs like a device that no longer answers, until the limit has
        // passed on the program's clock (tests move it), the silence ends or
        // a stop on the calling thread cancels the transfer.
        const uint32_t start = TheClock().TickCount();
        const bool limited = limit < std::chrono::milliseconds(UINT32_MAX);
        ++state_->counters.silentHolds;
        while (state_->silent && state_->plugged) {
            if (control != nullptr) {
                if (control->StopRequested())
                    return {TransferStatus::Cancelled, 0};
                lock.unlock();
                control->StillWaiting();
                lock.lock();
            }
            if (limited && TheClock().TickCount() - start >= static_cast<uint32_t>(limit.count()))
                return {TransferStatus::Timeout, 0};
            state_->changed.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    if (testCommand && control != nullptr && control->StopRequested())
        return {TransferStatus::Cancelled, 0};
    return state_->Transfer(setup, data);
}

std::vector<uint8_t> SimPhone::DeviceDescriptor() const
{
    std::lock_guard lock(state_->mutex);
    return state_->DeviceDescriptor();
}

std::vector<uint8_t> SimPhone::ConfigDescriptor() const
{
    std::lock_guard lock(state_->mutex);
    return state_->ConfigDescriptor();
}

uint16_t SimPhone::VendorId() const
{
    std::lock_guard lock(state_->mutex);
    return state_->options.vendorId;
}

std::vector<SimPhone::NamedString> SimPhone::InterfaceNames() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<NamedString> names;
    const std::vector<uint8_t> config = state_->ConfigDescriptor();
    for (size_t at = 0; at + 9 <= config.size() && config[at] >= 2; at += config[at]) {
        if (config[at + 1] != 4 || config[at + 5] != 0xFF || config[at + 8] == 0)
            continue;
        const uint8_t index = config[at + 8];
        std::vector<uint8_t> descriptor = state_->Descriptor(kDescriptorString, index, kLangEnglishUs);
        if (index == kStrTestName && state_->TakeFault(Fault::ShortNameReply))
            descriptor.resize(1);
        if (!descriptor.empty())
            names.push_back({config[at + 2], std::move(descriptor)});
    }
    return names;
}

void SimPhone::ReceiveModemBytes(const void* bytes, size_t length)
{
    std::lock_guard lock(state_->mutex);
    state_->ModemBytes(static_cast<const uint8_t*>(bytes), length);
}

bool SimPhone::InTestMode() const
{
    std::lock_guard lock(state_->mutex);
    return state_->testMode;
}

bool SimPhone::Plugged() const
{
    std::lock_guard lock(state_->mutex);
    return state_->plugged;
}

void SimPhone::Unplug()
{
    std::lock_guard lock(state_->mutex);
    if (!state_->plugged)
        return;
    state_->plugged = false;
    state_->Reenumerate();
}

void SimPhone::Plug()
{
    std::lock_guard lock(state_->mutex);
    if (state_->plugged)
        return;
    state_->plugged = true;
    state_->testMode = false;
    state_->Reenumerate();
}

void SimPhone::UnplugAtCommand(int n)
{
    std::lock_guard lock(state_->mutex);
    state_->unplugAtCommand = std::max(n, 0);
}

uint64_t SimPhone::Generation() const
{
    std::lock_guard lock(state_->mutex);
    return state_->generation;
}

void SimPhone::WaitForRemoval(uint64_t generation, const std::atomic<bool>& cancelled) const
{
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] {
        return cancelled.load() || !state_->plugged || state_->generation != generation;
    });
}

void SimPhone::Wake() const
{
    std::lock_guard lock(state_->mutex);
    state_->changed.notify_all();
}

void SimPhone::InjectFault(Fault fault)
{
    std::lock_guard lock(state_->mutex);
    state_->faults.push_back(fault);
}

void SimPhone::SetSilent(bool silent)
{
    std::lock_guard lock(state_->mutex);
    state_->silent = silent;
    state_->changed.notify_all();
}

void SimPhone::SetStill(bool still)
{
    std::lock_guard lock(state_->mutex);
    state_->still = still;
}

void SimPhone::SetStillAtShot(uint32_t shot, bool still)
{
    std::lock_guard lock(state_->mutex);
    state_->stillAtShot[shot] = still;
}

bool SimPhone::Still() const
{
    std::lock_guard lock(state_->mutex);
    return state_->still;
}

void SimPhone::SetLatency(uint32_t exchangeMs, uint32_t shotMs, uint32_t cameraOnMs)
{
    std::lock_guard lock(state_->mutex);
    state_->options.exchangeLatencyMs = exchangeMs;
    state_->options.shotLatencyMs = shotMs;
    state_->options.cameraOnLatencyMs = cameraOnMs;
}

void SimPhone::PutFile(const std::string& path, std::vector<uint8_t> contents)
{
    std::lock_guard lock(state_->mutex);
    state_->files[path] = std::move(contents);
}

std::optional<std::vector<uint8_t>> SimPhone::File(const std::string& path) const
{
    std::lock_guard lock(state_->mutex);
    const auto it = state_->files.find(path);
    if (it == state_->files.end())
        return std::nullopt;
    return it->second;
}

std::vector<std::string> SimPhone::Files() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> names;
    for (const auto& entry : state_->files)
        names.push_back(entry.first);
    return names;
}

std::vector<SimPhone::Command> SimPhone::Commands() const
{
    std::lock_guard lock(state_->mutex);
    return std::vector<Command>(state_->commands.begin(), state_->commands.end());
}

SimPhone::Counters SimPhone::Count() const
{
    std::lock_guard lock(state_->mutex);
    return state_->counters;
}

bool SimPhone::CameraOn() const
{
    std::lock_guard lock(state_->mutex);
    return state_->cameraOn;
}

int SimPhone::Resolution() const
{
    std::lock_guard lock(state_->mutex);
    return state_->resolution;
}

int SimPhone::Lighting() const
{
    std::lock_guard lock(state_->mutex);
    return state_->lighting;
}

int SimPhone::Exposure() const
{
    std::lock_guard lock(state_->mutex);
    return state_->exposure;
}

bool SimPhone::Suspended() const
{
    std::lock_guard lock(state_->mutex);
    return state_->suspended;
}

}  // namespace orv::sim
