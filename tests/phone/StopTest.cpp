// A stop that reaches into the phone link: a thread's exchange ends at once,
// whatever the phone does (mute, no reply, a picture without end), between
// transfers and in flight; the exchanges of other threads go on; a wait
// beyond a few seconds is told; a deadline stops by itself.

#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "sim/SimBus.h"
#include "tests/support/StepClock.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <future>
#include <thread>

namespace orv::test {
namespace {

using namespace std::chrono_literals;
using phone::PhoneLink;
using sim::SimPhone;

class PhoneStop : public ::testing::Test {
protected:
    PhoneStop()
    {
        SetClock(&clock);
        SimPhone::Options options;
        options.startInTestMode = true;
        bus = std::make_unique<sim::SimBus>(options);
        link.Attach(OpenTestInterface(*bus));
    }
    ~PhoneStop() override
    {
        link.Close();
        SetClock(nullptr);
    }

    SimPhone& Phone() { return bus->Phone(0); }
    // Waits until the silent phone holds one more transfer than `before`.
    bool HoldsTransfer(int before) { return WaitFor([&] { return Phone().Count().silentHolds == before + 1; }); }
    // Waits until the thread under control has looked at the program's
    // clock since the test last moved it.
    bool SeenTheClock(const TransferControl& control)
    {
        return WaitFor([&] { return control.LastLife() == clock.TickCount(); });
    }

    // Runs work on a thread of its own under control.
    std::future<int> RunUnder(TransferControl& control, std::function<int()> work)
    {
        return std::async(std::launch::async, [&control, work = std::move(work)] {
            const TransferControlScope scope(&control);
            return work();
        });
    }

    StepClock clock{1796567400};
    std::unique_ptr<sim::SimBus> bus;
    PhoneLink link;
};

TEST_F(PhoneStop, StopEndsTheExchangeInFlightUnderEveryFaultAndTheLinkWorksOn)
{
    const struct {
        const char* fault;
        std::function<void(SimPhone&)> make;
        std::function<void(SimPhone&)> lift;
        bool commandArrives;  // the phone accepts the command before it hangs
    } cases[] = {
        {"mute", [](SimPhone& p) { p.SetSilent(true); }, [](SimPhone& p) { p.SetSilent(false); }, false},
        {"no reply", [](SimPhone& p) { p.InjectFault(SimPhone::Fault::NoReply); }, [](SimPhone&) {}, true},
        {"status says three replies", [](SimPhone& p) { p.InjectFault(SimPhone::Fault::StatusTooMany); },
         [](SimPhone&) {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        const SimPhone::Counters before = Phone().Count();
        c.make(Phone());
        TransferControl control;
        const uint32_t start = clock.TickCount();
        auto result = RunUnder(control, [this] { return link.CameraOn(0); });
        if (c.commandArrives)
            ASSERT_TRUE(WaitFor([&] { return Phone().Count().commands == before.commands + 1; }));
        else
            ASSERT_TRUE(HoldsTransfer(before.silentHolds)) << "the write did not reach the phone";
        ASSERT_EQ(result.wait_for(0s), std::future_status::timeout) << "the fault did not hold the exchange";

        control.RequestStop();
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << "the stop did not end the exchange";
        EXPECT_EQ(result.get(), phone::kFailed);
        EXPECT_LT(clock.TickCount() - start, 2000u);
        c.lift(Phone());

        // The next command of another thread goes through as usual.
        EXPECT_EQ(link.CameraOn(1), phone::kOk);
        EXPECT_EQ(Phone().Resolution(), 1);
    }
}

TEST_F(PhoneStop, StopBetweenBlocksEndsTheReadOfAPictureWithoutEnd)
{
    Phone().PutFile("/a/huge.jpg", Bytes(phone::kMaxPictureFile + 1024, 0x5A));
    ASSERT_EQ(link.OpenPhoneFile("/a/huge.jpg", 0), phone::kOk);
    TransferControl control;
    std::vector<uint8_t> bytes;
    int32_t total = 0;
    size_t stoppedAt = 0;
    int reads = 0;
    auto result = RunUnder(control, [&] {
        return link.ReadPhoneFile(bytes, total, [&](size_t sofar) {
            ++reads;
            if (reads == 5) {
                stoppedAt = sofar;
                control.RequestStop();
            }
        });
    });
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), phone::kFailed);
    EXPECT_EQ(reads, 5) << "no block was read after the stop";
    EXPECT_EQ(static_cast<size_t>(total), stoppedAt);
    EXPECT_EQ(bytes.size(), stoppedAt);
    EXPECT_LT(stoppedAt, phone::kMaxPictureFile);
}

TEST_F(PhoneStop, StoppedWhileWaitingForTheTurnGivesUpAndLeavesTheHolderAlone)
{
    Phone().SetSilent(true);
    // Another thread's exchange hangs on the mute phone, holding the turn; it
    // runs under no control and keeps its time limits.
    auto holder = std::async(std::launch::async, [this] { return link.CameraOn(2); });
    ASSERT_TRUE(HoldsTransfer(0)) << "the holder's write did not reach the phone";

    TransferControl control;
    auto waiter = RunUnder(control, [this] { return link.CameraOff(); });
    ASSERT_TRUE(WaitFor([&] { return link.CommandsWaiting() == 1; })) << "the second command waits for its turn";
    control.RequestStop();
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), phone::kFailed);
    EXPECT_EQ(holder.wait_for(0s), std::future_status::timeout) << "the holder's exchange was not cut";

    Phone().SetSilent(false);
    ASSERT_EQ(holder.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(holder.get(), phone::kOk);
    EXPECT_TRUE(Phone().CameraOn());
    // The turn given up is skipped: commands after it get theirs.
    EXPECT_EQ(link.CameraOff(), phone::kOk);
    EXPECT_EQ(link.CameraOn(3), phone::kOk);
    EXPECT_EQ(Phone().Resolution(), 3);
}

TEST_F(PhoneStop, ClosingWaitsForTheCommandOnTheWire)
{
    Phone().SetSilent(true);
    auto holder = std::async(std::launch::async, [this] { return link.CameraOn(2); });
    ASSERT_TRUE(HoldsTransfer(0));
    std::atomic<bool> closed{false};
    auto closer = std::async(std::launch::async, [&] {
        link.Close();
        closed = true;
    });
    EXPECT_FALSE(WaitFor([&] { return closed || !link.IsConnected(); }, 200))
        << "the handle went while a command was on the wire";
    Phone().SetSilent(false);
    EXPECT_EQ(holder.get(), phone::kOk);
    closer.get();
    EXPECT_FALSE(link.IsConnected());
}

TEST_F(PhoneStop, StopAskedForBeforehandSendsNothing)
{
    TransferControl control;
    control.RequestStop();
    const int before = Phone().Count().commands;
    const uint16_t sequence = link.SequenceCounter();
    auto result = RunUnder(control, [this] {
        std::vector<uint8_t> bytes;
        int32_t total = 0;
        const int results[] = {link.CameraOn(0), link.TakePicture("/a/x.jpg"), link.ReadPhoneFile(bytes, total),
                               link.ClosePhoneFile(), link.RestartPhone(), link.SendDetach()};
        for (const int r : results)
            if (r != phone::kFailed)
                return r;
        return phone::kFailed;
    });
    EXPECT_EQ(result.get(), phone::kFailed);
    EXPECT_EQ(Phone().Count().commands, before);
    EXPECT_EQ(Phone().Count().detaches, 0);
    EXPECT_EQ(link.SequenceCounter(), sequence);
}

TEST_F(PhoneStop, LateExchangeIsToldOnceAndItsEndToo)
{
    Phone().SetSilent(true);
    TransferControl control;
    std::mutex mutex;
    std::vector<bool> told;
    uint32_t toldAt = 0;
    control.SetLateNotice(phone::kLateReplyMs, [&](bool late) {
        std::lock_guard lock(mutex);
        told.push_back(late);
        toldAt = told.size() == 1 ? clock.TickCount() : toldAt;
    });
    const auto heard = [&] {
        std::lock_guard lock(mutex);
        return told;
    };
    const uint32_t start = clock.TickCount();
    auto result = RunUnder(control, [this] { return link.CameraOn(4); });
    ASSERT_TRUE(HoldsTransfer(0));
    // The clock moves a quarter of a second at a time while the write hangs,
    // each step once the waiting thread has seen the one before.
    for (int steps = 0; heard().empty() && steps < 40; ++steps) {
        ASSERT_TRUE(SeenTheClock(control));
        clock.Advance(250);
    }
    ASSERT_TRUE(WaitFor([&] { return !heard().empty(); }));
    ASSERT_EQ(heard(), std::vector<bool>{true});
    EXPECT_GE(toldAt - start, phone::kLateReplyMs) << "not before it is late";
    clock.Advance(250);
    ASSERT_TRUE(SeenTheClock(control));
    EXPECT_EQ(heard(), std::vector<bool>{true}) << "told once while it waits";

    Phone().SetSilent(false);
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), phone::kOk);
    EXPECT_EQ(heard(), (std::vector<bool>{true, false}));

    // A prompt exchange is not told at all.
    EXPECT_EQ(RunUnder(control, [this] { return link.CameraOff(); }).get(), phone::kOk);
    EXPECT_EQ(heard().size(), 2u);
}

TEST_F(PhoneStop, DeadlineStopsByItselfOnTheProgramsClock)
{
    Phone().SetSilent(true);
    TransferControl control;
    control.SetDeadline(clock.TickCount() + 500);
    auto result = RunUnder(control, [this] { return link.CameraOff(); });
    ASSERT_TRUE(HoldsTransfer(0));
    clock.Advance(499);
    ASSERT_TRUE(SeenTheClock(control));
    EXPECT_EQ(result.wait_for(0s), std::future_status::timeout) << "before the deadline";
    EXPECT_FALSE(control.StopRequested());
    clock.Advance(1);
    EXPECT_TRUE(control.StopRequested());
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), phone::kFailed);
    EXPECT_TRUE(control.StopRequested());
}

TEST(TransferControl, WakeRunsOnceAndNeverAfterItIsCleared)
{
    int woken = 0;
    TransferControl control;
    ASSERT_TRUE(control.SetWake([&] { ++woken; }));
    control.ClearWake();
    ASSERT_TRUE(control.SetWake([&] { ++woken; }));
    control.RequestStop();
    control.RequestStop();
    EXPECT_EQ(woken, 1);
    EXPECT_FALSE(control.SetWake([&] { ++woken; })) << "a stop already asked for is not waited on";
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(CurrentTransferControl(), nullptr);
    {
        const TransferControlScope scope(&control);
        EXPECT_EQ(CurrentTransferControl(), &control);
        {
            const TransferControlScope none(nullptr);
            EXPECT_EQ(CurrentTransferControl(), nullptr);
        }
        EXPECT_EQ(CurrentTransferControl(), &control);
    }
    EXPECT_EQ(CurrentTransferControl(), nullptr);
}

}  // namespace
}  // namespace orv::test
