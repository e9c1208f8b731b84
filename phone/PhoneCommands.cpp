// The commands spoken over the phone link: files, camera, suspend, restart,
// the detach request and data records. Each one runs whole in one turn of the
// link: filling the request, the exchange and the reading of the reply. A
// file read takes one turn per block.

#include "PhoneLink.h"

#include "PhoneLinkState.h"
#include "PictureLimit.h"
#include "Protocol.h"
#include "Wire.h"

#include <QLoggingCategory>

#include <cstring>
#include <limits>

Q_LOGGING_CATEGORY(lcPhoneFiles, "orvello.phone")

namespace orv::phone {

using namespace orv::wire;

namespace {
// Marks "no data came with the reply": the exchange leaves the reply length
// alone for a reply of kind 6.
constexpr uint32_t kNoReplyData = std::numeric_limits<uint32_t>::max();
constexpr size_t kModelNameLimit = 31;
constexpr size_t kModelRecordRoom = 256;
}  // namespace

int PhoneLink::Exchange(ControlPipe* device, uint16_t command, size_t requestLength)
{
    return SendCommand(device, command, state_->requestData.data(), requestLength, state_->replyData.data(),
                       state_->replyData.size(), &state_->replyLength);
}

int PhoneLink::PathCommand(uint32_t subCommand, const std::string& path, bool withMode, uint32_t openMode)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    const size_t head = withMode ? 8 : 4;
    if (path.size() > kMaxRequestData - head)
        return kFailed;
    uint8_t* request = state_->requestData.data();
    PutBe32(request, subCommand);
    if (withMode)
        PutBe32(request + 4, openMode);
    std::memcpy(request + head, path.data(), path.size());
    return Exchange(device, proto::kFileCommand, head + path.size());
}

int PhoneLink::OpenPhoneFile(const std::string& path, uint32_t openMode)
{
    // Any answer to this very packet opens the file, whatever its data.
    return PathCommand(proto::kFileOpen, path, true, openMode) == kOk ? kOk : kFailed;
}

int PhoneLink::ReadPhoneFile(std::vector<uint8_t>& destination, int32_t& total, const ReadProgress& progress)
{
    total = 0;
    // The phone whose open file this is; a phone connected anew since knows
    // nothing of it.
    const std::shared_ptr<ControlPipe> phone = SharedDevice();
    if (!phone)
        return kFailed;
    State& s = *state_;
    size_t received = 0;
    const size_t start = destination.size();
    // A picture is refused as soon as its first bytes show that it cannot
    // be one, or once it grows past what its frame header allows.
    PictureLimit limit(kMaxPictureFile);
    for (;;) {
        {
            // One block per turn: a command waiting on another thread (the
            // detach, the restart at exit) goes out between two blocks.
            auto lock = Lock();
            if (!lock)
                return kFailed;
            ControlPipe* device = DeviceHandle();
            if (device != phone.get())
                return kFailed;
            ClearBuffers();
            PutBe32(s.requestData.data(), proto::kFileRead);
            PutBe32(s.requestData.data() + 4, proto::kFileBlockSize);
            s.replyLength = kNoReplyData;
            if (Exchange(device, proto::kFileCommand, 8) != kOk)
                return kFailed;
            // A block answered without data (or with none) would leave
            // nothing to append and nothing to end the file: the read fails.
            if (s.replyLength == kNoReplyData || s.replyLength == 0)
                return kFailed;
            if (s.replyLength == 1)
                return kOk;
            if (received + s.replyLength > limit.Limit()) {
                qCWarning(lcPhoneFiles) << "the file on the phone is larger than" << limit.Limit()
                                        << "bytes: its read ends after" << received;
                return kFailed;
            }
            destination.insert(destination.end(), s.replyData.begin(), s.replyData.begin() + s.replyLength);
            received += s.replyLength;
            total = static_cast<int32_t>(received);
            if (!limit.Look(destination.data() + start, received)) {
                qCWarning(lcPhoneFiles).noquote() << "the file on the phone is refused after" << received
                                                  << "bytes:" << QString::fromStdString(limit.Refusal());
                return kFailed;
            }
        }
        if (progress)
            progress(received);
    }
}

int PhoneLink::ClosePhoneFile()
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    PutBe32(state_->requestData.data(), proto::kFileClose);
    // An answer without data leaves the cleared reply byte 0: success.
    if (Exchange(device, proto::kFileCommand, 4) != kOk || state_->replyData[0] == 1)
        return kFailed;
    return kOk;
}

int PhoneLink::DeletePhoneFile(const std::string& path)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    if (PathCommand(proto::kFileDelete, path, false, 0) != kOk || state_->replyData[0] == 1)
        return kFailed;
    return kOk;
}

namespace {
// The rule of the camera commands: exactly one reply byte, and it is 0.
bool CameraAnswerOk(int result, uint32_t replyLength, uint8_t firstByte)
{
    return result == kOk && replyLength == 1 && firstByte == 0;
}
}  // namespace

int PhoneLink::CameraOn(uint8_t resolution)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    const uint8_t request[] = {proto::kCameraPower, 0x01, resolution};
    std::memcpy(state_->requestData.data(), request, sizeof request);
    state_->replyLength = 0;
    const int result = Exchange(device, proto::kCameraCommand, sizeof request);
    return CameraAnswerOk(result, state_->replyLength, state_->replyData[0]) ? kOk : kFailed;
}

int PhoneLink::TakePicture(const std::string& path)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    if (path.size() > kMaxRequestData - 2)
        return kFailed;
    state_->requestData[0] = proto::kCameraShoot;
    state_->requestData[1] = 0x00;
    std::memcpy(state_->requestData.data() + 2, path.data(), path.size());
    state_->replyLength = 0;
    const int result = Exchange(device, proto::kCameraCommand, path.size() + 2);
    return CameraAnswerOk(result, state_->replyLength, state_->replyData[0]) ? kOk : kFailed;
}

int PhoneLink::CameraOff()
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    const uint8_t request[] = {proto::kCameraPower, 0x00, 0x00};
    std::memcpy(state_->requestData.data(), request, sizeof request);
    state_->replyLength = 0;
    const int result = Exchange(device, proto::kCameraCommand, sizeof request);
    return CameraAnswerOk(result, state_->replyLength, state_->replyData[0]) ? kOk : kFailed;
}

int PhoneLink::SetLighting(uint8_t lighting)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    state_->requestData[0] = proto::kCameraLighting;
    state_->requestData[1] = lighting;
    return Exchange(device, proto::kCameraCommand, 2);
}

int PhoneLink::SetExposure(uint8_t exposure)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    state_->requestData[0] = proto::kCameraExposure;
    state_->requestData[1] = exposure;
    return Exchange(device, proto::kCameraCommand, 2);
}

int PhoneLink::SuspendPhone()
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    state_->requestData[0] = 0x00;
    return Exchange(device, proto::kSuspendCommand, 1);
}

int PhoneLink::RestartPhone()
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    ClearBuffers();
    return Exchange(device, proto::kRestartCommand, 0);
}

int PhoneLink::SendDetach(const ControlPipe* onlyTo)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr || (onlyTo != nullptr && device != onlyTo))
        return kFailed;
    ClearBuffers();
    SetupPacket setup;
    setup.requestType = proto::kDetachRequestType;
    setup.request = proto::kDetachRequest;
    setup.index = proto::kDetachIndex;
    setup.length = 0;
    state_->packet.fill(0);
    PutSetup(state_->packet.data(), setup);
    uint32_t length = kSetupSize + 1;  // the setup packet and one zero byte
    return WriteControl(device, state_->packet.data(), &length);
}

int PhoneLink::ReadPhoneRecord(uint16_t record, uint16_t index, uint16_t value3, uint16_t value4,
                               uint8_t* destination, size_t room)
{
    auto lock = Lock();
    if (!lock)
        return kFailed;
    ControlPipe* device = DeviceHandle();
    if (device == nullptr)
        return kFailed;
    uint8_t request[8];
    PutBe16(request, record);
    PutBe16(request + 2, index);
    PutBe16(request + 4, value3);
    PutBe16(request + 6, value4);
    State& s = *state_;
    uint32_t replyLength = 0;
    const int result = SendCommand(device, proto::kRecordCommand, request, sizeof request, s.recordReply.data(),
                                   s.recordReply.size(), &replyLength);
    if (result == kFailed || replyLength == 0)
        return kFailed;
    // The first byte is the phone's status; the record follows, cut to the room.
    const size_t count = std::min<size_t>(replyLength - 1, destination != nullptr ? room : 0);
    if (count > 0)
        std::memcpy(destination, s.recordReply.data() + 1, count);
    return static_cast<int>(count);
}

std::string ModelNameFromRecord(const uint8_t* bytes, size_t count)
{
    std::string model;
    for (size_t i = 0; i < count && model.size() < kModelNameLimit; ++i) {
        if (bytes[i] == 0xFF)
            break;
        if (bytes[i] != 0)
            model.push_back(static_cast<char>(bytes[i]));
    }
    return model;
}

bool ReadModelName(PhoneLink& link, std::string* model)
{
    uint8_t record[kModelRecordRoom] = {};
    const int count =
        link.ReadPhoneRecord(proto::kModelRecord, proto::kModelRecordIndex, 0, 0, record, sizeof record);
    if (count < 0)
        return false;
    if (model != nullptr)
        *model = ModelNameFromRecord(record, static_cast<size_t>(count));
    return true;
}

}  // namespace orv::phone
