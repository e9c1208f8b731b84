// The transport byte for byte: the command packet, the status poll, the
// reply fetch, the checks of the reply in their order, the sequence counter
// and the time limits.

#include "phone/Packets.h"
#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace orv::test {
namespace {

using phone::PhoneLink;

class TransportTest : public ::testing::Test {
protected:
    TransportTest()
    {
        auto owned = std::make_unique<ScriptedPipe>();
        pipe = owned.get();
        link.Attach(std::move(owned));
    }

    int Send(uint16_t command, const Bytes& request = {})
    {
        auto lock = link.Lock();
        return link.SendCommand(link.DeviceHandle(), command, request.data(), request.size(), reply.data(),
                                reply.size(), &replyLength);
    }

    ManualClockScope clock;
    PhoneLink link;
    ScriptedPipe* pipe = nullptr;
    Bytes reply = Bytes(4096, 0xEE);
    uint32_t replyLength = 777;
};

TEST_F(TransportTest, FirstCommandIsTheExamplePacketAndItsExchangeHasThreeTransfers)
{
    ASSERT_EQ(Send(0x22), phone::kOk);
    const auto transfers = pipe->log->All();
    ASSERT_EQ(transfers.size(), 3u);
    // The setup packet and its data stage; the two closing zero bytes are not sent.
    EXPECT_EQ(transfers[0].SetupBytes(), (Bytes{0x41, 0x02, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00}));
    EXPECT_EQ(transfers[0].data, (Bytes{0x00, 0x01, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(transfers[1].SetupBytes(), (Bytes{0xC1, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00}));
    // The default script answers with one data byte: S = 9, wLength = 9 + 2 + 4.
    EXPECT_EQ(transfers[2].SetupBytes(), (Bytes{0xC1, 0x01, 0x01, 0x00, 0x08, 0x00, 0x0F, 0x00}));
    EXPECT_EQ(replyLength, 1u);
    EXPECT_EQ(reply[0], 0);
}

TEST_F(TransportTest, EveryKindOfTransferCarriesItsTimeLimit)
{
    ASSERT_EQ(Send(0x22), phone::kOk);
    ASSERT_EQ(link.SendDetach(), phone::kOk);
    const struct {
        const char* kind;
        bool (RecordedTransfer::*is)() const;
        long long limit;
    } kinds[] = {
        {"command write", &RecordedTransfer::IsCommand, 10000},
        {"status poll", &RecordedTransfer::IsStatusPoll, 40000},
        {"reply fetch", &RecordedTransfer::IsFetch, 40000},
        {"detach", &RecordedTransfer::IsDetach, 10000},
    };
    const auto transfers = pipe->log->All();
    for (const auto& kind : kinds) {
        std::vector<long long> limits;
        for (const auto& t : transfers)
            if ((t.*kind.is)())
                limits.push_back(t.limit.count());
        EXPECT_EQ(limits, std::vector<long long>{kind.limit}) << kind.kind;
    }
}

TEST_F(TransportTest, PacketLayoutWithDataHasBigEndianHeaderAndClosingZeros)
{
    uint8_t packet[64];
    std::fill(std::begin(packet), std::end(packet), 0xAA);
    const uint8_t data[] = {0x00, 0x01, 0x0A};
    ASSERT_EQ(phone::BuildCommandPacket(packet, 0x0123, 0x0061, data, sizeof data), 21u);
    EXPECT_EQ(Bytes(packet, packet + 21), (Bytes{0x41, 0x02, 0x00, 0x00, 0x08, 0x00, 0x0B, 0x00, 0x01, 0x23, 0x00,
                                                 0x61, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x0A, 0x00, 0x00}));
    EXPECT_EQ(packet[21], 0xAA);
}

TEST_F(TransportTest, SequenceRunsOneToFortyThenStartsAgainAtOne)
{
    for (int i = 0; i < 41; ++i)
        ASSERT_EQ(Send(0x22), phone::kOk);
    const auto commands = pipe->log->Commands();
    ASSERT_EQ(commands.size(), 41u);
    EXPECT_EQ(SequenceOf(commands[0].data), 1);
    EXPECT_EQ(SequenceOf(commands[39].data), 40);
    EXPECT_EQ(SequenceOf(commands[40].data), 1);
    EXPECT_EQ(link.SequenceCounter(), 1);
}

TEST_F(TransportTest, CounterSurvivesAReconnect)
{
    ASSERT_EQ(Send(0x22), phone::kOk);
    ASSERT_EQ(Send(0x22), phone::kOk);
    link.Close();
    auto owned = std::make_unique<ScriptedPipe>();
    pipe = owned.get();
    link.Attach(std::move(owned));
    ASSERT_EQ(Send(0x22), phone::kOk);
    EXPECT_EQ(SequenceOf(pipe->log->Commands().at(0).data), 3);
}

// The checks of a reply in their order, and what a reply that passes them
// delivers: its data exactly, and nothing when it carries none (kind 6) or
// more than the reply buffer holds.
TEST_F(TransportTest, ReplyChecksRunInOrder)
{
    using Responder = std::function<Bytes(const Bytes&)>;
    const auto reply8 = [](uint8_t kind, uint16_t l, uint16_t d, Bytes data) -> Responder {
        return [=](const Bytes& c) { return ReplyBytes(0x8000 | SequenceOf(c), kind, l, d, data); };
    };
    struct Case {
        const char* what;
        Responder responder;
        int expected;
        uint32_t replyLength;                            // 777: left alone
        std::vector<std::pair<size_t, uint8_t>> bytes;   // of the reply buffer afterwards (0xEE: untouched)
    };
    const std::vector<Case> cases = {
        {"byte 0 not 1", [](const Bytes& c) { auto r = DataReply(c, {5}); r[0] = 2; return r; }, phone::kFailed, 777,
         {{0, 0xEE}}},
        {"bit 15 clear, sequence matching",
         [](const Bytes& c) { return ReplyBytes(SequenceOf(c), 0x80, 9, 1, {5}); }, phone::kFailed, 777, {{0, 0xEE}}},
        {"another sequence", [](const Bytes& c) { return ReplyBytes(0x8000 | (SequenceOf(c) + 1), 0x80, 9, 1, {5}); },
         phone::kWrongReply, 777, {{0, 0xEE}}},
        {"another sequence beats a bad kind",
         [](const Bytes& c) { return ReplyBytes(0x8000 | (SequenceOf(c) + 1), 0x30, 9, 1, {5}); },
         phone::kWrongReply, 777, {{0, 0xEE}}},
        {"kind other than 6 and 8", reply8(0x30, 9, 1, {5}), phone::kFailed, 777, {{0, 0xEE}}},
        {"L = 9, D = 2", reply8(0x80, 9, 2, {5, 6}), phone::kWrongReply, 777, {{0, 0xEE}}},
        {"low nibble of the kind byte ignored", reply8(0x8F, 9, 1, {5}), phone::kOk, 1, {{0, 5}, {1, 0xEE}}},
        {"kind 6 without data", reply8(0x60, 8, 0, {}), phone::kOk, 777, {{0, 0xEE}}},
        {"one data byte of two sent", reply8(0x80, 9, 1, {0x42, 0x43}), phone::kOk, 1, {{0, 0x42}, {1, 0xEE}}},
        {"4083 bytes: beyond the buffer", reply8(0x80, 4091, 4083, Bytes(4083, 0x11)), phone::kFailed, 777,
         {{0, 0xEE}}},
        {"4082 bytes: the buffer full", reply8(0x80, 4090, 4082, Bytes(4082, 0x11)), phone::kOk, 4082,
         {{0, 0x11}, {4081, 0x11}, {4082, 0xEE}}},
    };
    for (const Case& c : cases) {
        pipe->responder = c.responder;
        replyLength = 777;
        reply.assign(4096, 0xEE);
        EXPECT_EQ(Send(0x20), c.expected) << c.what;
        EXPECT_EQ(replyLength, c.replyLength) << c.what;
        for (const auto& [at, value] : c.bytes)
            EXPECT_EQ(reply[at], value) << c.what << " at " << at;
    }
}

TEST_F(TransportTest, CheckReplyNeverReadsPastShortBuffers)
{
    const Bytes good = ReplyBytes(0x8001, 0x80, 9, 1, {7});
    EXPECT_EQ(phone::CheckReply(good.data(), good.size(), 1).result, phone::kOk);
    // The same header with its data byte cut off: D would run past the buffer.
    EXPECT_EQ(phone::CheckReply(good.data(), 14, 1).result, phone::kFailed);
    EXPECT_EQ(phone::CheckReply(good.data(), 13, 1).result, phone::kFailed);
}

TEST_F(TransportTest, StatusWithoutAWaitingReplyPollsEveryMillisecondUpToTheLimit)
{
    for (uint8_t waiting : {uint8_t{0}, uint8_t{3}, uint8_t{200}}) {
        pipe->waiting = waiting;
        pipe->log->Clear();
        const uint32_t start = clock->TickCount();
        EXPECT_EQ(Send(0x22), phone::kFailed) << int(waiting);
        const uint32_t elapsed = clock->TickCount() - start;
        EXPECT_GT(elapsed, 40000u);
        EXPECT_LE(elapsed, 40001u);
        EXPECT_EQ(pipe->log->Count(&RecordedTransfer::IsFetch), 0);
        EXPECT_EQ(pipe->log->Count(&RecordedTransfer::IsStatusPoll), 40001);
    }
}

TEST_F(TransportTest, TwoWaitingRepliesAreFetchedTogether)
{
    pipe->waiting = 2;
    EXPECT_EQ(Send(0x22), phone::kOk);
    const auto fetch = pipe->log->All().back();
    ASSERT_TRUE(fetch.IsFetch());
    EXPECT_EQ(fetch.setup.value, 2);
    EXPECT_EQ(fetch.setup.length, 9 + 2 * 2 + 4);
}

TEST_F(TransportTest, SleepsOneMillisecondBeforeTheFetch)
{
    const uint64_t before = clock->SleptMilliseconds();
    ASSERT_EQ(Send(0x22), phone::kOk);
    EXPECT_EQ(clock->SleptMilliseconds() - before, 1u);
}

TEST_F(TransportTest, FailedWriteOrFetchFailsTheExchange)
{
    pipe->failWith = TransferStatus::Timeout;
    EXPECT_EQ(Send(0x22), phone::kFailed);
    EXPECT_EQ(pipe->log->Count(&RecordedTransfer::IsStatusPoll), 0);

    pipe->failWith = TransferStatus::Ok;
    pipe->responder = [](const Bytes&) { return Bytes{}; };  // the fetch comes back empty
    pipe->waiting = 1;
    // An empty pending reply shows no waiting reply: poll to the limit.
    EXPECT_EQ(Send(0x22), phone::kFailed);
}

TEST_F(TransportTest, DeviceGoneDuringThePollEndsTheExchangeAtOnce)
{
    pipe->responder = [this](const Bytes& c) {
        pipe->failWith = TransferStatus::NoDevice;
        return DataReply(c, {0});
    };
    const uint32_t start = clock->TickCount();
    EXPECT_EQ(Send(0x22), phone::kFailed);
    EXPECT_LT(clock->TickCount() - start, 10u);
}

TEST_F(TransportTest, WriteControlSendsOnlyWhatWasHandedOver)
{
    auto lock = link.Lock();
    uint8_t packet[16] = {0x41, 0x02, 0, 0, 8, 0, 8, 0};  // wLength 8 but only 10 bytes handed over
    uint32_t length = 10;
    EXPECT_EQ(link.WriteControl(link.DeviceHandle(), packet, &length), phone::kFailed);
    EXPECT_EQ(pipe->log->All().size(), 0u);
    length = 16;
    EXPECT_EQ(link.WriteControl(link.DeviceHandle(), packet, &length), phone::kOk);
    EXPECT_EQ(length, 16u);
    // A device-to-host request is not a write.
    uint8_t poll[9] = {0xC1, 0, 0, 0, 8, 0, 8, 0, 0};
    length = 9;
    EXPECT_EQ(link.WriteControl(link.DeviceHandle(), poll, &length), phone::kFailed);
}

TEST_F(TransportTest, ReadControlWritesTheReplyBackIntoTheBuffer)
{
    ASSERT_EQ(Send(0x22), phone::kOk);  // nothing pending afterwards
    auto lock = link.Lock();
    Bytes buffer(phone::kBufferSize, 0);
    phone::BuildStatusPoll(buffer.data());
    uint32_t length = 0;
    ASSERT_EQ(link.ReadControl(link.DeviceHandle(), buffer.data(), &length), phone::kOk);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(buffer[1], 0);
    // An empty read fails.
    phone::BuildReplyFetch(buffer.data(), 1, 9);
    EXPECT_EQ(link.ReadControl(link.DeviceHandle(), buffer.data(), &length), phone::kFailed);
}

TEST_F(TransportTest, TraceWritesOneLinePerTransferWithSetupAndData)
{
    const std::string file = TempFolder().toStdString() + "/transport-trace.txt";
    std::remove(file.c_str());
    ::setenv("ORVELLO_PHONE_TRACE", file.c_str(), 1);
    PhoneLink traced;
    traced.Attach(std::make_unique<ScriptedPipe>());
    ::unsetenv("ORVELLO_PHONE_TRACE");
    ASSERT_EQ(traced.RestartPhone(), phone::kOk);

    std::FILE* in = std::fopen(file.c_str(), "r");
    ASSERT_NE(in, nullptr);
    std::vector<std::string> lines;
    char line[512];
    while (std::fgets(line, sizeof line, in))
        lines.emplace_back(line);
    std::fclose(in);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("OUT 41 02 00 00 08 00 08 00 | 00 01 00 22 00 00 00 00 -> ok 8"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("IN  C1 00 00 00 08 00 08 00 | 00 01 00 09 00 00 00 00 -> ok 8"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("IN  C1 01 01 00 08 00 0F 00 | 01 00 00 00 00 09 80 01 80 00 00 01 00 00 00 -> ok 15"),
              std::string::npos)
        << lines[2];
}

TEST(Turn, WaitersGetItInTheOrderTheyAskedAndTheHolderMayTakeItAgain)
{
    phone::Turn turn;
    std::vector<int> order;  // written only by the holder of the turn
    std::vector<std::thread> waiters;
    turn.lock();
    turn.lock();  // the holder again: no deadlock
    for (int n = 1; n <= 3; ++n) {
        waiters.emplace_back([&, n] {
            std::lock_guard held(turn);
            order.push_back(n);
        });
        ASSERT_TRUE(QTest::qWaitFor([&] { return turn.Waiting() == n; }, 10000));  // queued in this order
    }
    EXPECT_FALSE(std::async(std::launch::async, [&] { return turn.try_lock(); }).get());
    turn.unlock();
    turn.unlock();
    turn.lock();  // asked for again at once: behind the three waiting
    order.push_back(0);
    turn.unlock();
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 0}));
    EXPECT_TRUE(turn.try_lock());  // free, and nobody waits
    turn.unlock();
}

}  // namespace
}  // namespace orv::test
