#pragma once
// What the phone tests share: a pipe that answers from a script and records
// every transfer, a recorder around any other pipe, reply packets built by
// hand, and a manual clock installed for the test's lifetime.

#include "platform/Clock.h"
#include "platform/ControlPipe.h"
#include "sim/SimBus.h"
#include "phone/Wire.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orv::test {

using Bytes = std::vector<uint8_t>;

struct RecordedTransfer {
    SetupPacket setup;
    Bytes data;  // sent (host to device) or received (device to host)
    TransferStatus status = TransferStatus::Ok;
    std::chrono::milliseconds limit{0};  // the time limit the transfer was given

    Bytes SetupBytes() const
    {
        Bytes bytes(8);
        wire::PutSetup(bytes.data(), setup);
        return bytes;
    }
    bool IsCommand() const { return setup.requestType == 0x41 && setup.request == 0x02; }
    bool IsStatusPoll() const { return setup.requestType == 0xC1 && setup.request == 0x00; }
    bool IsFetch() const { return setup.requestType == 0xC1 && setup.request == 0x01; }
    bool IsDetach() const { return setup.requestType == 0x40 && setup.request == 0x01; }
    // The command code of a command packet (0 for other transfers).
    uint16_t Code() const { return IsCommand() && data.size() >= 4 ? wire::GetBe16(&data[2]) & 0x0FFF : 0; }
};

class TransferLog {
public:
    void Add(RecordedTransfer transfer)
    {
        std::lock_guard lock(mutex_);
        transfers_.push_back(std::move(transfer));
    }
    std::vector<RecordedTransfer> All() const
    {
        std::lock_guard lock(mutex_);
        return transfers_;
    }
    std::vector<RecordedTransfer> Commands() const
    {
        std::vector<RecordedTransfer> commands;
        for (const auto& t : All())
            if (t.IsCommand())
                commands.push_back(t);
        return commands;
    }
    int Count(bool (RecordedTransfer::*is)() const) const
    {
        int count = 0;
        for (const auto& t : All())
            count += (t.*is)() ? 1 : 0;
        return count;
    }
    void Clear()
    {
        std::lock_guard lock(mutex_);
        transfers_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<RecordedTransfer> transfers_;
};

inline RecordedTransfer Record(const SetupPacket& setup, const uint8_t* data, const TransferResult& result,
                               std::chrono::milliseconds limit)
{
    RecordedTransfer t;
    t.setup = setup;
    t.status = result.status;
    t.limit = limit;
    const size_t count = wire::IsDeviceToHost(setup) ? result.transferred : setup.length;
    if (data != nullptr && count > 0)
        t.data.assign(data, data + count);
    return t;
}

// Records every transfer of the pipe it wraps.
class RecordingPipe final : public ControlPipe {
public:
    RecordingPipe(std::unique_ptr<ControlPipe> inner, std::shared_ptr<TransferLog> log)
        : inner_(std::move(inner)), log_(std::move(log))
    {
    }
    TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout) override
    {
        const TransferResult result = inner_->Transfer(setup, data, timeout);
        log_->Add(Record(setup, data, result, timeout));
        return result;
    }
    bool ClaimInterface(int number) override { return inner_->ClaimInterface(number); }
    void WaitForRemoval() override { inner_->WaitForRemoval(); }
    void CancelWait() override { inner_->CancelWait(); }
    std::string Path() const override { return inner_->Path(); }

private:
    std::unique_ptr<ControlPipe> inner_;
    std::shared_ptr<TransferLog> log_;
};

// The bytes of a reply fetch carrying one reply packet: 01 00 00 00, the
// packet length L, the sequence word, the kind byte, a spare byte, the data
// length D, two spare bytes and the data.
inline Bytes ReplyBytes(uint16_t word, uint8_t kindByte, uint16_t packetLength, uint16_t dataLength,
                        const Bytes& data = {})
{
    Bytes bytes(14 + data.size(), 0);
    bytes[0] = 1;
    wire::PutBe16(&bytes[4], packetLength);
    wire::PutBe16(&bytes[6], word);
    bytes[8] = kindByte;
    wire::PutBe16(&bytes[10], dataLength);
    for (size_t i = 0; i < data.size(); ++i)  // (an insert here trips GCC 12's -Warray-bounds)
        bytes[14 + i] = data[i];
    return bytes;
}

inline uint16_t SequenceOf(const Bytes& commandData) { return wire::GetBe16(commandData.data()) & 0x0FFF; }

// A well-formed reply with data to the command (its data stage).
inline Bytes DataReply(const Bytes& command, const Bytes& data)
{
    const auto d = static_cast<uint16_t>(data.size());
    return ReplyBytes(static_cast<uint16_t>(0x8000 | SequenceOf(command)), 0x80, static_cast<uint16_t>(d + 8), d,
                      data);
}

// Answers the test-command requests from a script and records every transfer.
class ScriptedPipe final : public ControlPipe {
public:
    // Gets the data stage of each command packet; returns the fetch bytes.
    std::function<Bytes(const Bytes& command)> responder = [](const Bytes& command) { return DataReply(command, {0}); };
    // What byte 1 of the status says once a reply waits (0 = "none" for ever).
    uint8_t waiting = 1;
    // Makes every transfer fail with this status from now on.
    TransferStatus failWith = TransferStatus::Ok;
    std::shared_ptr<TransferLog> log = std::make_shared<TransferLog>();

    TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds limit) override
    {
        TransferResult result = Answer(setup, data);
        log->Add(Record(setup, data, result, limit));
        return result;
    }
    bool ClaimInterface(int) override { return true; }
    void WaitForRemoval() override {}
    void CancelWait() override {}
    std::string Path() const override { return "scripted"; }

private:
    TransferResult Answer(const SetupPacket& setup, uint8_t* data)
    {
        if (failWith != TransferStatus::Ok)
            return {failWith, 0};
        if (setup.requestType == 0x41 && setup.request == 0x02) {
            pending_ = responder(Bytes(data, data + setup.length));
            return {TransferStatus::Ok, setup.length};
        }
        if (setup.requestType == 0xC1 && setup.request == 0x00) {
            Bytes status(8, 0);
            status[1] = pending_.empty() ? 0 : waiting;
            wire::PutBe16(&status[2], static_cast<uint16_t>(pending_.size() >= 6 ? pending_.size() - 6 : 0));
            return Give(status, setup, data);
        }
        if (setup.requestType == 0xC1 && setup.request == 0x01) {
            const Bytes reply = std::move(pending_);
            pending_.clear();
            return Give(reply, setup, data);
        }
        if (setup.requestType == 0x40)
            return {TransferStatus::Ok, 0};
        return {TransferStatus::Stall, 0};
    }
    static TransferResult Give(const Bytes& bytes, const SetupPacket& setup, uint8_t* data)
    {
        const size_t count = std::min<size_t>(bytes.size(), setup.length);
        std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count), data);
        return {TransferStatus::Ok, count};
    }

    Bytes pending_;
};

// Installs a ManualClock for the lifetime of the object. Tests whose threads
// may outlive the scope keep the clock alive with a static one instead.
class ManualClockScope {
public:
    ManualClockScope() { SetClock(&clock_); }
    ~ManualClockScope() { SetClock(nullptr); }
    ManualClock& operator*() { return clock_; }
    ManualClock* operator->() { return &clock_; }

private:
    ManualClock clock_;
};

// Opens the bus's n-th simulated phone (in test-command mode) and claims its
// test-command interface; the caller attaches the pipe.
inline std::unique_ptr<ControlPipe> OpenTestInterface(sim::SimBus& bus, size_t n = 0)
{
    auto pipe = bus.Open("sim:usb-1-" + std::to_string(n));
    if (!pipe || !pipe->ClaimInterface(8))
        return nullptr;
    return pipe;
}

}  // namespace orv::test
