// The simulated phone's script of events (ORVELLO_SIM_EVENTS): good scripts
// and the reasons malformed ones are refused for, each action carried out on
// the phone, the script played on the program's clock; and the phone's
// record of commands, which stays bounded however long it runs.

#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "sim/SimBus.h"
#include "sim/SimEvents.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace orv::test {
namespace {

using sim::SimEvent;
using sim::SimPhone;
using Action = SimEvent::Action;
using Fault = SimPhone::Fault;

SimEvent At(uint32_t ms, Action action, Fault fault = Fault::NoReply) { return {ms, action, fault}; }

TEST(SimEvents, GoodScriptsGiveTheirEventsInTimeOrder)
{
    const struct {
        const char* script;
        std::vector<SimEvent> events;
    } cases[] = {
        {"", {}},
        {"  ;  ", {}},
        {"5:unplug", {At(5000, Action::Unplug)}},
        {"5:unplug;10:plug;", {At(5000, Action::Unplug), At(10000, Action::Plug)}},
        {" 2 : mute ; 4.5 : unmute ", {At(2000, Action::Mute), At(4500, Action::Unmute)}},
        {"0.25:fault HugePicture", {At(250, Action::Fault, Fault::HugePicture)}},
        {"1:fault   GarbagePicture;1:fault NoReply",
         {At(1000, Action::Fault, Fault::GarbagePicture), At(1000, Action::Fault, Fault::NoReply)}},
        // Sorted by time; the same time keeps the script's order.
        {"9:plug;3:unplug;3:mute", {At(3000, Action::Unplug), At(3000, Action::Mute), At(9000, Action::Plug)}},
        {"86400:unplug", {At(86400000, Action::Unplug)}},
        {"0.001:fault ShortNameReply;0.1:fault Stall",
         {At(1, Action::Fault, Fault::ShortNameReply), At(100, Action::Fault, Fault::Stall)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        std::vector<SimEvent> events{At(1, Action::Plug)};  // replaced, not added to
        std::string error;
        ASSERT_TRUE(sim::ParseSimEvents(c.script, &events, &error)) << error;
        EXPECT_EQ(events, c.events);
    }
}

TEST(SimEvents, MalformedScriptsAreRefusedWithTheReason)
{
    const struct {
        const char* script;
        const char* reason;  // a part of the one-line error
    } cases[] = {
        {"unplug", "event 1 \"unplug\": expected SECONDS:ACTION"},
        {"5:unplug;plug", "event 2 \"plug\": expected SECONDS:ACTION"},
        {"x:unplug", "the time must be seconds"},
        {"-1:unplug", "the time must be seconds"},
        {":unplug", "the time must be seconds"},
        {"1.5s:unplug", "the time must be seconds"},
        {"1.2345:unplug", "the time must be seconds"},
        {"1.:unplug", "the time must be seconds"},
        {"86400.001:unplug", "the time must be seconds"},
        {"99999999999999999999:unplug", "the time must be seconds"},
        {"5:reboot", "unknown action \"reboot\""},
        {"5:", "unknown action \"\""},
        {"5:UNPLUG", "unknown action \"UNPLUG\""},
        {"5:fault", "unknown action \"fault\""},
        {"5:fault Nonsense", "unknown fault \"Nonsense\" (known: WrongSequence"},
        {"5:fault hugepicture", "unknown fault \"hugepicture\""},
        {"5:unplug;;7:bogus", "event 3 \"7:bogus\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        std::vector<SimEvent> events{At(1, Action::Plug)};
        std::string error;
        EXPECT_FALSE(sim::ParseSimEvents(c.script, &events, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
        EXPECT_EQ(events.size(), 1u) << "nothing is changed";
    }
}

TEST(SimEvents, EveryFaultHasItsNameAndNamesAreExact)
{
    const std::pair<const char*, Fault> names[] = {
        {"WrongSequence", Fault::WrongSequence},   {"NotAReply", Fault::NotAReply},
        {"NoData", Fault::NoData},                 {"BadKind", Fault::BadKind},
        {"LengthMismatch", Fault::LengthMismatch}, {"OversizedData", Fault::OversizedData},
        {"BadFirstByte", Fault::BadFirstByte},     {"NoReply", Fault::NoReply},
        {"StatusTooMany", Fault::StatusTooMany},   {"Stall", Fault::Stall},
        {"OversizedBlock", Fault::OversizedBlock}, {"GarbagePicture", Fault::GarbagePicture},
        {"HugePicture", Fault::HugePicture},       {"CutShortPicture", Fault::CutShortPicture},
        {"ShortNameReply", Fault::ShortNameReply},
    };
    for (const auto& [name, fault] : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(sim::FaultByName(name), fault);
        EXPECT_NE(sim::FaultNames().find(name), std::string::npos);
    }
    EXPECT_FALSE(sim::FaultByName(""));
    EXPECT_FALSE(sim::FaultByName("NoReply "));
}

TEST(SimEvents, ActionsAreCarriedOutOnThePhone)
{
    ManualClockScope clock;
    SimPhone::Options options;
    options.startInTestMode = true;
    sim::SimBus bus(options);
    SimPhone& phone = bus.Phone(0);
    const uint64_t generation = phone.Generation();

    sim::ApplySimEvent(phone, At(0, Action::Unplug));
    EXPECT_FALSE(phone.Plugged());
    EXPECT_GT(phone.Generation(), generation);
    sim::ApplySimEvent(phone, At(0, Action::Plug));
    EXPECT_TRUE(phone.Plugged());
    EXPECT_FALSE(phone.InTestMode()) << "plugged in again in its normal mode";

    // Mute: a command transfer hangs until its limit on the program's clock.
    phone.ReceiveModemBytes("at+mode=8\r\n", 11);
    phone::PhoneLink link;
    link.Attach(OpenTestInterface(bus));
    sim::ApplySimEvent(phone, At(0, Action::Mute));
    const uint32_t start = clock->TickCount();
    auto muted = std::async(std::launch::async, [&] { return link.RestartPhone(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(muted.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    // Its limit counts from when its thread came to the transfer, which may
    // be after any advance made here: the clock moves a second at a time
    // until the command gives up.
    for (int i = 0; i < 20000 && muted.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready; ++i)
        clock->Advance(1000);
    if (muted.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        sim::ApplySimEvent(phone, At(0, Action::Unmute));  // lets it end, so that the failure is told
        FAIL() << "the muted command never gave up";
    }
    EXPECT_EQ(muted.get(), phone::kFailed);
    EXPECT_GE(clock->TickCount() - start, 10000u);
    sim::ApplySimEvent(phone, At(0, Action::Unmute));
    EXPECT_EQ(link.SuspendPhone(), phone::kOk);

    // A fault acts on the next event it applies to.
    sim::ApplySimEvent(phone, At(0, Action::Fault, Fault::WrongSequence));
    EXPECT_EQ(link.SuspendPhone(), phone::kWrongReply);
    EXPECT_EQ(link.SuspendPhone(), phone::kOk);
    link.Close();
}

TEST(SimEvents, ScriptIsPlayedWhenItsTimesComeOnTheProgramsClock)
{
    ManualClockScope clock;
    auto phone = std::make_shared<SimPhone>();
    const uint32_t start = clock->TickCount();
    sim::PlaySimEvents(phone, {At(1000, Action::Unplug), At(3000, Action::Plug)}, start);
    // The player's own waits move the manual clock; the events come in order
    // and at their times.
    for (int i = 0; i < 5000 && !(phone->Plugged() && phone->Generation() >= 3); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(phone->Plugged());
    EXPECT_EQ(phone->Generation(), 3u) << "unplugged once and plugged once";
    EXPECT_GE(clock->TickCount() - start, 3000u);
}

TEST(SimPhoneRecord, KeepsTheLatestCommandsOnlyAndCountsThemAll)
{
    ManualClockScope clock;
    SimPhone::Options options;
    options.startInTestMode = true;
    sim::SimBus bus(options);
    phone::PhoneLink link;
    link.Attach(OpenTestInterface(bus));
    const int total = static_cast<int>(SimPhone::kCommandRecordLimit) + 500;
    for (int i = 0; i < total; ++i)
        ASSERT_EQ(link.SetLighting(static_cast<uint8_t>(1 + i % 6)), phone::kOk);
    ASSERT_EQ(link.SetExposure(5), phone::kOk);
    const auto commands = bus.Phone(0).Commands();
    ASSERT_EQ(commands.size(), SimPhone::kCommandRecordLimit);
    EXPECT_EQ(bus.Phone(0).Count().commands, total + 1);
    EXPECT_EQ(commands.back().data, (Bytes{0x21, 5})) << "the newest is kept";
    // The oldest kept is the one that many commands back.
    const int oldest = total + 1 - static_cast<int>(SimPhone::kCommandRecordLimit);
    EXPECT_EQ(commands.front().data, (Bytes{0x20, static_cast<uint8_t>(1 + oldest % 6)}));
    EXPECT_EQ(commands.front().sequence, (oldest % 40) + 1);
    link.Close();
}

}  // namespace
}  // namespace orv::test
