// The device monitor against the simulated phone, on a manual clock: the
// search with and without the mode switch, the unplug and the search that
// follows it, disconnecting with and without a phone (and with one that
// stopped answering), and a second monitor made while the first one still
// winds down; the phone worker that carries the disconnect.

#include "phone/DeviceMonitor.h"
#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "phone/PhoneWorker.h"
#include "sim/SimBus.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <stdexcept>
#include <thread>

namespace orv::test {
namespace {

using namespace std::chrono_literals;
using phone::DeviceMonitor;
using sim::SimPhone;

// What the state callback saw, and on which thread.
struct Events {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> states;
    std::vector<std::thread::id> threads;
    std::vector<uint64_t> slept;  // the clock's slept total at each callback
    bool ended = false;           // the destructor's callback has come
    std::function<void(int)> onState;

    bool WaitFor(const std::function<bool()>& ready)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, ready);
    }
    std::vector<int> States()
    {
        std::lock_guard lock(mutex);
        return states;
    }
};

// The bus of the tests: the simulated phones, seen through hooks.
class HookBus final : public PhoneBus {
public:
    explicit HookBus(sim::SimBus& inner) : inner_(inner) {}

    std::string FindModemPort(uint16_t vendorId) override
    {
        Note();
        if (beforeModemLookup)
            beforeModemLookup();
        return inner_.FindModemPort(vendorId);
    }
    int WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length) override
    {
        Note();
        return inner_.WriteModemPort(port, vendorId, bytes, length);
    }
    std::vector<NamedInterface> ListInterfaces() override
    {
        Note();
        return inner_.ListInterfaces();
    }
    std::unique_ptr<ControlPipe> Open(const std::string& path) override
    {
        Note();
        auto pipe = inner_.Open(path);
        if (pipe && ignoreDetach)
            return std::make_unique<DeafToDetach>(std::move(pipe));
        return pipe;
    }

    std::vector<std::thread::id> Callers()
    {
        std::lock_guard lock(mutex_);
        return callers_;
    }

    std::function<void()> beforeModemLookup;
    bool ignoreDetach = false;

private:
    // A phone that takes the detach request and does nothing about it.
    class DeafToDetach final : public ControlPipe {
    public:
        explicit DeafToDetach(std::unique_ptr<ControlPipe> inner) : inner_(std::move(inner)) {}
        TransferResult Transfer(const SetupPacket& s, uint8_t* d, std::chrono::milliseconds t) override
        {
            if (s.requestType == 0x40 && s.request == 0x01)
                return {TransferStatus::Ok, 0};
            return inner_->Transfer(s, d, t);
        }
        bool ClaimInterface(int number) override { return inner_->ClaimInterface(number); }
        void WaitForRemoval() override { inner_->WaitForRemoval(); }
        void CancelWait() override { inner_->CancelWait(); }
        std::string Path() const override { return inner_->Path(); }

    private:
        std::unique_ptr<ControlPipe> inner_;
    };

    void Note()
    {
        std::lock_guard lock(mutex_);
        callers_.push_back(std::this_thread::get_id());
    }

    sim::SimBus& inner_;
    std::mutex mutex_;
    std::vector<std::thread::id> callers_;
};

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest() : bus(sims) { SetBus(&bus); }
    ~MonitorTest() override { SetBus(nullptr); }

    // The fixture's clock, bus and link go with the test: no monitor thread
    // may outlive it, not even in its last clean-up.
    void TearDown() override { EXPECT_TRUE(WaitForWorkersToEnd()) << "a monitor thread still runs"; }

    // A monitor whose callback writes into events; it frees itself.
    DeviceMonitor* Start(const std::shared_ptr<Events>& events)
    {
        ManualClock* manual = &*clock;
        auto callback = [events, manual](int state) {
            const uint64_t slept = manual->SleptMilliseconds();
            if (events->onState)
                events->onState(state);
            std::lock_guard lock(events->mutex);
            events->states.push_back(state);
            events->threads.push_back(std::this_thread::get_id());
            events->slept.push_back(slept);
            events->changed.notify_all();
        };
        return new DeviceMonitor(callback, link);
    }

    // Waits for the destructor's callback: a final 0 after `count` states.
    static bool WaitForEnd(Events& events, size_t count)
    {
        return events.WaitFor([&] { return events.states.size() >= count; });
    }

    ManualClockScope clock;  // first in, last out: the monitor thread uses it to its end
    sim::SimBus sims;
    HookBus bus;
    phone::PhoneLink link;
};

SimPhone::Options TestMode()
{
    SimPhone::Options options;
    options.startInTestMode = true;
    return options;
}

TEST_F(MonitorTest, ConnectsThroughTheModemSwitchAndDisconnects)
{
    auto& phone = *sims.AddPhone();
    auto events = std::make_shared<Events>();
    std::string model;
    events->onState = [&](int state) {
        if (state == 1)
            phone::ReadModelName(link, &model);  // the window's handler sends commands here
    };
    const uint64_t start = clock->SleptMilliseconds();
    DeviceMonitor* monitor = Start(events);
    {
        // The constructor's 0 comes first, on this thread. The monitor's
        // thread may have found the phone already (its pauses cost no real
        // time), so only the first report is looked at here.
        std::lock_guard lock(events->mutex);
        ASSERT_FALSE(events->states.empty());
        EXPECT_EQ(events->states[0], 0);
        EXPECT_EQ(events->threads[0], std::this_thread::get_id());
    }

    ASSERT_TRUE(events->WaitFor([&] { return events->states.size() >= 2; }));
    EXPECT_EQ(events->states[1], 1);
    EXPECT_NE(events->threads[1], std::this_thread::get_id());
    // One pass: 1000 ms, the switch, 5000 ms, the interface.
    EXPECT_EQ(events->slept[1] - start, 6000u);
    EXPECT_EQ(phone.Count().modeSwitches, 1);
    EXPECT_EQ(model, "Motorola V3x");
    EXPECT_TRUE(monitor->IsConnected());

    monitor->Disconnect();
    ASSERT_TRUE(WaitForEnd(*events, 4));
    EXPECT_EQ(events->States(), (std::vector<int>{0, 1, 0, 0}));
    EXPECT_EQ(phone.Count().detaches, 1);
    EXPECT_FALSE(phone.InTestMode());
    EXPECT_FALSE(link.IsConnected());
}

// Without a modem port of the phone's make there is nothing to switch and no
// pause after a switch: the phone is found in the first pass, after its
// 1000 ms. A modem of another make is never written to.
TEST_F(MonitorTest, WithoutThePhonesModemPortThereIsNoSwitchAndNoPause)
{
    SimPhone::Options board;
    board.vendorId = 0x2341;  // a board with a CDC-ACM port
    for (const bool withBoard : {false, true}) {
        SimPhone* other = withBoard ? sims.AddPhone(board).get() : nullptr;
        auto& phone = *sims.AddPhone(TestMode());
        auto events = std::make_shared<Events>();
        const uint64_t start = clock->SleptMilliseconds();
        DeviceMonitor* monitor = Start(events);
        ASSERT_TRUE(events->WaitFor([&] { return events->states.size() >= 2; })) << withBoard;
        EXPECT_EQ(events->slept[1] - start, 1000u) << withBoard;
        EXPECT_EQ(phone.Count().modeSwitches, 0) << withBoard;
        EXPECT_EQ(other ? other->Count().modemWrites : 0, 0) << withBoard;
        monitor->Disconnect();
        ASSERT_TRUE(WaitForEnd(*events, 4)) << withBoard;
        phone.Unplug();
        if (other)
            other->Unplug();
    }
}

TEST_F(MonitorTest, DisconnectReturnsAtOnceFromAPhoneThatStoppedAnswering)
{
    auto& phone = *sims.AddPhone(TestMode());
    auto events = std::make_shared<Events>();
    DeviceMonitor* monitor = Start(events);
    ASSERT_TRUE(events->WaitFor([&] { return events->states.size() >= 2; }));

    phone.SetSilent(true);  // the detach would hang up to its 10 s
    auto disconnect = std::async(std::launch::async, [monitor] { monitor->Disconnect(); });
    // A Disconnect that waited for the detach would never return: nothing
    // moves the clock while the phone is silent.
    const bool returned = disconnect.wait_for(20s) == std::future_status::ready;
    EXPECT_TRUE(returned);
    EXPECT_EQ(events->States(), (std::vector<int>{0, 1}));  // still waiting for the detach to go out

    phone.SetSilent(false);  // the detach goes out, then the wait is cancelled
    ASSERT_TRUE(WaitForEnd(*events, 4));
    EXPECT_EQ(events->States(), (std::vector<int>{0, 1, 0, 0}));
    EXPECT_EQ(phone.Count().detaches, 1);
}

TEST_F(MonitorTest, UnplugGivesOneZeroAndTheSearchResumesFiveSecondsLater)
{
    auto& phone = *sims.AddPhone(TestMode());
    auto events = std::make_shared<Events>();
    DeviceMonitor* monitor = Start(events);
    ASSERT_TRUE(events->WaitFor([&] { return events->states.size() >= 2; }));

    std::mutex lookupMutex;
    std::vector<uint64_t> lookups;
    bus.beforeModemLookup = [&] {
        std::lock_guard lock(lookupMutex);
        lookups.push_back(clock->SleptMilliseconds());
    };
    phone.Unplug();
    ASSERT_TRUE(events->WaitFor([&] { return events->states.size() >= 3; }));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard lock(lookupMutex);
        return !lookups.empty();
    }));
    {
        std::lock_guard lock(lookupMutex);
        // The 5000 ms pause, then the 1000 ms of the next pass.
        EXPECT_EQ(lookups.front() - events->slept[2], 6000u);
    }
    EXPECT_FALSE(link.Found()) << "the phone that went is not found any more";
    EXPECT_EQ(link.DevicePath(), "");
    EXPECT_EQ(events->States(), (std::vector<int>{0, 1, 0}));

    phone.Plug();  // back in its normal mode: switched and found again
    ASSERT_TRUE(events->WaitFor([&] { return events->states.size() >= 4; }));
    EXPECT_EQ(events->States(), (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(phone.Count().modeSwitches, 1);
    bus.beforeModemLookup = nullptr;

    monitor->Disconnect();
    ASSERT_TRUE(WaitForEnd(*events, 6));
    EXPECT_EQ(events->States(), (std::vector<int>{0, 1, 0, 1, 0, 0}));
}

TEST_F(MonitorTest, DisconnectWithoutAPhoneEndsThePassAndSendsNothing)
{
    SimPhone::Options other = TestMode();
    other.testInterfaceName = "Another Interface";
    auto& phone = *sims.AddPhone(other);
    auto events = std::make_shared<Events>();
    DeviceMonitor* monitor = Start(events);
    ASSERT_TRUE(WaitFor([&] { return bus.Callers().size() > 10; }));  // a few passes
    monitor->Disconnect();
    ASSERT_TRUE(WaitForEnd(*events, 2));
    EXPECT_EQ(events->States(), (std::vector<int>{0, 0}));
    EXPECT_EQ(phone.Count().detaches, 0);
    EXPECT_EQ(phone.Count().commands, 0);
}

TEST_F(MonitorTest, PhoneThatIgnoresTheDetachCannotKeepTheMonitorWaiting)
{
    auto& phone = *sims.AddPhone(TestMode());
    bus.ignoreDetach = true;
    auto events = std::make_shared<Events>();
    DeviceMonitor* monitor = Start(events);
    ASSERT_TRUE(events->WaitFor([&] { return events->states.size() >= 2; }));
    monitor->Disconnect();
    ASSERT_TRUE(WaitForEnd(*events, 4));
    EXPECT_EQ(events->States(), (std::vector<int>{0, 1, 0, 0}));
    EXPECT_TRUE(phone.InTestMode());
}

TEST_F(MonitorTest, DisconnectDuringTheSearchLetsTheFoundPhoneGo)
{
    auto& phone = *sims.AddPhone(TestMode());
    auto events = std::make_shared<Events>();
    std::atomic<DeviceMonitor*> monitor{nullptr};
    std::atomic<bool> asked{false};
    bus.beforeModemLookup = [&] {
        if (asked.exchange(true))
            return;
        DeviceMonitor* self = nullptr;
        while ((self = monitor.load()) == nullptr)
            std::this_thread::yield();
        self->Disconnect();  // arrives while this pass searches
    };
    monitor = Start(events);
    ASSERT_TRUE(WaitForEnd(*events, 2));
    EXPECT_EQ(events->States(), (std::vector<int>{0, 0}));
    EXPECT_EQ(phone.Count().detaches, 1);
    EXPECT_FALSE(link.IsConnected());
}

TEST_F(MonitorTest, SecondMonitorWaitsUntilTheFirstHasEnded)
{
    sims.AddPhone(TestMode());
    auto first = std::make_shared<Events>();
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool gateOpen = false;
    std::atomic<bool> firstWindingDown{false};
    first->onState = [&](int state) {
        if (state != 0 || !firstWindingDown)
            return;
        // The first monitor reports the disconnection and is held there.
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return gateOpen; });
    };
    DeviceMonitor* monitor = Start(first);
    ASSERT_TRUE(first->WaitFor([&] { return first->states.size() >= 2; }));
    const std::thread::id firstThread = first->threads[1];

    firstWindingDown = true;
    monitor->Disconnect();
    auto second = std::make_shared<Events>();
    DeviceMonitor* next = Start(second);
    // The constructor returned at once, after its callback with 0.
    EXPECT_EQ(second->States(), (std::vector<int>{0}));

    // While the first is held, the second does nothing on the link.
    const size_t callsBefore = bus.Callers().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(bus.Callers().size(), callsBefore);
    EXPECT_EQ(second->States(), (std::vector<int>{0}));
    {
        std::lock_guard lock(gateMutex);
        gateOpen = true;
    }
    gateChanged.notify_all();

    ASSERT_TRUE(WaitForEnd(*first, 4));
    ASSERT_TRUE(second->WaitFor([&] { return second->states.size() >= 2; }));
    EXPECT_EQ(second->states[1], 1);

    // Every bus call of the first monitor came before any of the second.
    const auto callers = bus.Callers();
    size_t lastOfFirst = 0;
    size_t firstOfSecond = callers.size();
    for (size_t i = 0; i < callers.size(); ++i) {
        if (callers[i] == firstThread)
            lastOfFirst = i;
        else if (firstOfSecond == callers.size())
            firstOfSecond = i;
    }
    EXPECT_LT(lastOfFirst, firstOfSecond);

    next->Disconnect();
    ASSERT_TRUE(WaitForEnd(*second, 4));
}

TEST(PhoneWorker, AFailingCommandDoesNotStopTheWorker)
{
    phone::PhoneWorker::Instance().Post([] { throw std::runtime_error("the phone went away"); });
    phone::PhoneWorker::Instance().Post([] { throw 7; });
    EXPECT_TRUE(phone::PhoneWorker::Instance().RunAndWait([] {}, 10s));
}

}  // namespace
}  // namespace orv::test
