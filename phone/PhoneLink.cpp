// The connection and the transport of the phone link: the held interface,
// the sequence counter, the buffers, and one exchange of a test command.

#include "PhoneLink.h"

#include "platform/Clock.h"
#include "Packets.h"
#include "PhoneLinkState.h"
#include "TracePipe.h"
#include "Wire.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace orv::phone {

using namespace orv::wire;

namespace {
// The wait for a reply, as the thread's control hears of it: begun after the
// command went out, ended on every path out of the exchange.
class WaitNotice {
public:
    explicit WaitNotice(TransferControl* control) : control_(control)
    {
        if (control_ != nullptr)
            control_->BeginWait();
    }
    ~WaitNotice()
    {
        if (control_ != nullptr)
            control_->EndWait();
    }
    WaitNotice(const WaitNotice&) = delete;
    WaitNotice& operator=(const WaitNotice&) = delete;

private:
    TransferControl* control_;
};
}  // namespace

PhoneLink::PhoneLink() : state_(std::make_unique<State>()) {}

PhoneLink::~PhoneLink() = default;

PhoneLink& PhoneLink::Instance()
{
    static auto* link = new PhoneLink;  // never destroyed: workers may still use it at exit
    return *link;
}

// --- connection ---

bool PhoneLink::IsConnected() const
{
    std::lock_guard lock(state_->deviceMutex);
    return state_->device != nullptr;
}

ControlPipe* PhoneLink::DeviceHandle() const
{
    std::lock_guard lock(state_->deviceMutex);
    return state_->device.get();
}

std::shared_ptr<ControlPipe> PhoneLink::SharedDevice() const
{
    std::lock_guard lock(state_->deviceMutex);
    return state_->device;
}

void PhoneLink::Attach(std::unique_ptr<ControlPipe> device)
{
    std::shared_ptr<ControlPipe> previous;
    std::shared_ptr<ControlPipe> next = TraceIfAsked(std::move(device));
    std::lock_guard commandLock(state_->exchangeTurn);
    std::lock_guard lock(state_->deviceMutex);
    previous = std::exchange(state_->device, std::move(next));
    state_->devicePath = state_->device ? state_->device->Path() : std::string();
    state_->found = state_->device != nullptr;
}

void PhoneLink::Close()
{
    std::shared_ptr<ControlPipe> closing;
    {
        std::lock_guard commandLock(state_->exchangeTurn);
        std::lock_guard lock(state_->deviceMutex);
        closing = std::move(state_->device);
        state_->device.reset();
    }
    // The handle closes here, or when the last thread holding it lets go.
}

bool PhoneLink::Found() const
{
    std::lock_guard lock(state_->deviceMutex);
    return state_->found;
}

std::string PhoneLink::DevicePath() const
{
    std::lock_guard lock(state_->deviceMutex);
    return state_->devicePath;
}

void PhoneLink::ForgetDevice()
{
    std::lock_guard lock(state_->deviceMutex);
    state_->found = false;
    state_->devicePath.clear();
}

std::mutex& PhoneLink::MonitorTurn() { return state_->monitorTurn; }

Turn& PhoneLink::CaptureTurn() { return state_->captureTurn; }

// --- turns ---

void Turn::lock()
{
    std::unique_lock lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == self) {
        ++depth_;
        return;
    }
    const uint64_t ticket = nextTicket_++;
    ++waiting_;
    turned_.wait(lock, [&] { return serving_ == ticket; });
    --waiting_;
    owner_ = self;
    depth_ = 1;
}

bool Turn::LockUnlessStopped()
{
    TransferControl* control = CurrentTransferControl();
    if (control == nullptr) {
        lock();
        return true;
    }
    const std::thread::id self = std::this_thread::get_id();
    uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        if (depth_ > 0 && owner_ == self) {
            ++depth_;
            return true;
        }
        if (control->StopRequested())
            return false;
        ticket = nextTicket_++;
        ++waiting_;
    }
    // The stop wakes this wait; registered outside the turn's mutex, which
    // the wake-up takes.
    const bool watched = control->SetWake([this] {
        std::lock_guard lock(mutex_);
        turned_.notify_all();
    });
    bool served = false;
    {
        std::unique_lock lock(mutex_);
        // Looked at now and then as well: a deadline comes without a wake-up.
        while (serving_ != ticket && watched && !control->StopRequested())
            turned_.wait_for(lock, std::chrono::milliseconds(10));
        --waiting_;
        served = serving_ == ticket;
        if (served) {
            owner_ = self;
            depth_ = 1;
        } else {
            // Skipped when its turn comes.
            abandoned_.push_back(ticket);
        }
    }
    if (watched)
        control->ClearWake();
    return served;
}

bool Turn::try_lock()
{
    std::lock_guard lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == self) {
        ++depth_;
        return true;
    }
    if (depth_ > 0 || serving_ != nextTicket_)
        return false;
    ++nextTicket_;
    owner_ = self;
    depth_ = 1;
    return true;
}

void Turn::unlock()
{
    // Notified under the lock: a waiter that goes ahead may end the link's
    // life before a notification made after the unlock would run.
    std::lock_guard lock(mutex_);
    if (--depth_ > 0)
        return;
    owner_ = std::thread::id();
    ++serving_;
    for (auto it = std::find(abandoned_.begin(), abandoned_.end(), serving_); it != abandoned_.end();
         it = std::find(abandoned_.begin(), abandoned_.end(), serving_)) {
        abandoned_.erase(it);
        ++serving_;
    }
    turned_.notify_all();
}

int Turn::Waiting() const
{
    std::lock_guard lock(mutex_);
    return waiting_;
}

// --- transport ---

std::unique_lock<Turn> PhoneLink::Lock() const
{
    if (!state_->exchangeTurn.LockUnlessStopped())
        return std::unique_lock<Turn>(state_->exchangeTurn, std::defer_lock);
    return std::unique_lock<Turn>(state_->exchangeTurn, std::adopt_lock);
}

int PhoneLink::CommandsWaiting() const { return state_->exchangeTurn.Waiting(); }

void PhoneLink::ClearBuffers()
{
    auto lock = Lock();
    if (!lock)
        return;
    state_->requestData.fill(0);
    state_->replyData.fill(0);
}

uint16_t PhoneLink::SequenceCounter() const
{
    std::lock_guard lock(state_->exchangeTurn);
    return state_->sequence;
}

int PhoneLink::WriteControl(ControlPipe* device, const uint8_t* buffer, uint32_t* length)
{
    if (device == nullptr || buffer == nullptr || length == nullptr || *length < kSetupSize)
        return kFailed;
    const SetupPacket setup = GetSetup(buffer);
    // Only host-to-device transfers, and only a data stage that lies inside
    // the bytes handed over.
    if (IsDeviceToHost(setup) || kSetupSize + setup.length > *length || setup.length > kBufferSize) {
        *length = 0;
        return kFailed;
    }
    auto lock = Lock();
    if (!lock) {
        *length = 0;
        return kFailed;
    }
    std::memcpy(state_->writeArea.data(), buffer + kSetupSize, setup.length);
    const TransferResult result = device->Transfer(setup, state_->writeArea.data(), kWriteTimeout);
    if (result.status != TransferStatus::Ok || result.transferred != setup.length) {
        *length = 0;
        return kFailed;
    }
    *length = static_cast<uint32_t>(kSetupSize + result.transferred);
    return kOk;
}

int PhoneLink::ReadControl(ControlPipe* device, uint8_t* buffer, uint32_t* length)
{
    return ReadExchange(device, buffer, kBufferSize, length, nullptr);
}

int PhoneLink::ReadExchange(ControlPipe* device, uint8_t* buffer, size_t room, uint32_t* length, bool* gone)
{
    if (device == nullptr || buffer == nullptr || length == nullptr)
        return kFailed;
    *length = 0;
    const SetupPacket setup = GetSetup(buffer);
    if (!IsDeviceToHost(setup))
        return kFailed;
    auto lock = Lock();
    if (!lock)
        return kFailed;
    const TransferResult result = device->Transfer(setup, state_->readArea.data(), kReadTimeout);
    if (gone != nullptr)
        *gone = result.status == TransferStatus::NoDevice;
    // An empty or failed read fails the exchange.
    if (result.status != TransferStatus::Ok || result.transferred == 0)
        return kFailed;
    const size_t count = std::min({result.transferred, static_cast<size_t>(setup.length), room});
    std::memcpy(buffer, state_->readArea.data(), count);
    *length = static_cast<uint32_t>(count);
    return kOk;
}

int PhoneLink::SendCommand(ControlPipe* device, uint16_t command, const uint8_t* request, size_t requestLength,
                           uint8_t* reply, size_t replyRoom, uint32_t* replyLength)
{
    if (device == nullptr || requestLength > kMaxRequestData || (requestLength > 0 && request == nullptr))
        return kFailed;
    TransferControl* const control = CurrentTransferControl();
    auto lock = Lock();
    if (!lock || (control != nullptr && control->StopRequested()))
        return kFailed;
    State& s = *state_;

    // 1-2: the packet with the next sequence number.
    s.sequence = NextSequence(s.sequence);
    const uint16_t sequence = s.sequence;
    s.packet.fill(0);
    uint32_t packetLength =
        static_cast<uint32_t>(BuildCommandPacket(s.packet.data(), sequence, command, request, requestLength));

    // 3: write it. From here on the thread's control hears of a phone that
    // keeps it waiting (the write of a mute phone, or its reply).
    const WaitNotice notice(control);
    if (WriteControl(device, s.packet.data(), &packetLength) != kOk)
        return kFailed;

    // 4-5: poll every millisecond until the phone says a reply waits. A
    // stop asked for on this thread ends the wait at once.
    const uint32_t start = TheClock().TickCount();
    const auto limit = static_cast<uint32_t>(kReadTimeout.count());
    for (;;) {
        if (control != nullptr) {
            if (control->StopRequested())
                return kFailed;
            control->StillWaiting();
        }
        s.status.fill(0);
        BuildStatusPoll(s.status.data());
        uint32_t got = 0;
        bool gone = false;
        if (ReadExchange(device, s.status.data(), s.status.size(), &got, &gone) == kOk && ReplyWaiting(s.status.data()))
            break;
        // A phone that has left the bus never answers: no point polling it.
        if (gone)
            return kFailed;
        TheClock().Sleep(1);
        if (TheClock().TickCount() - start > limit)
            return kFailed;
    }

    // 6: fetch the reply.
    TheClock().Sleep(1);
    const uint8_t waiting = s.status[1];
    const uint16_t size = GetBe16(&s.status[2]);
    s.reply.fill(0);
    BuildReplyFetch(s.reply.data(), waiting, size);
    uint32_t got = 0;
    if (ReadExchange(device, s.reply.data(), s.reply.size(), &got, nullptr) != kOk)
        return kFailed;

    // 7: judge it.
    const ReplyVerdict verdict = CheckReply(s.reply.data(), s.reply.size(), sequence);
    if (verdict.result != kOk || !verdict.hasData)
        return verdict.result;
    if (verdict.dataLength > replyRoom || (verdict.dataLength > 0 && reply == nullptr))
        return kFailed;
    if (verdict.dataLength > 0)
        std::memcpy(reply, s.reply.data() + kReplyDataOffset, verdict.dataLength);
    if (replyLength != nullptr)
        *replyLength = static_cast<uint32_t>(verdict.dataLength);
    return kOk;
}

}  // namespace orv::phone
