// The simulated phone's script of events (ORVELLO_SIM_EVENTS): good scripts
// and the reasons malformed ones are refused for, each action carried out on
// the phone, the script played on the program's clock; and the phone's
// record of commands, which stays bounded however long it runs.

#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "sim/SimBus.h"
#include "sim/SimEvents.h"

#include <gtest/gtest.h>

#include <algorithm>

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
SimEvent AtShot(uint32_t shot, Action action) { return {0, action, Fault::NoReply, shot}; }

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
        {"10:still; 12.5:move;20:still", {At(10000, Action::Still), At(12500, Action::Move), At(20000, Action::Still)}},
        // Tied to the phone's pictures: first, in the script's order.
        {"5:unplug; #30:move;#1:still", {AtShot(30, Action::Move), AtShot(1, Action::Still), At(5000, Action::Unplug)}},
        {"#1000000000:still", {AtShot(1000000000, Action::Still)}},
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
        {"5:stil", "unknown action \"stil\" (known: unplug, plug, mute, unmute, still, move, fault NAME)"},
        {"5:move 3", "unknown action \"move 3\""},
        {"5:fault", "unknown action \"fault\""},
        {"#0:still", "the picture must be a number from 1 to 1000000000 after '#'"},
        {"#:still", "the picture must be a number"},
        {"#1000000001:still", "the picture must be a number"},
        {"#-3:move", "the picture must be a number"},
        {"#3:unplug", "only still and move can wait for a picture"},
        {"5:fault Nonsense", "unknown fault \"Nonsense\" (known: WrongSequence"},
        {"5:fault hugepicture", "unknown fault \"hugepicture\""},
        {"5:unplug;;7:bogus", "event 3 \"7:bogus\""},
        // Quoted on one line: control characters escaped, the quote too.
        {"5:unplug\n7:plug", "event 1 \"5:unplug\\n7:plug\": unknown action \"unplug\\n7:plug\""},
        {"5:\x1b[31mred\x7f", "event 1 \"5:\\x1b[31mred\\x7f\""},
        {"5:say \"hi\"\\", "event 1 \"5:say \\\"hi\\\"\\\\\""},
        {"5:fault \tHuge\rPicture", "unknown fault \"Huge\\rPicture\""},
        // Cut after 80 characters, never inside an escape or a character.
        {"5:012345678901234567890123456789012345678901234567890123456789012345678901234567\n",
         "event 1 \"5:012345678901234567890123456789012345678901234567890123456789012345678901234567\"..."},
        {"5:\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436"
         "\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436"
         "\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436"
         "\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436",
         "event 1 \"5:\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436"
         "\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436"
         "\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436"
         "\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\u0436\"..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        std::vector<SimEvent> events{At(1, Action::Plug)};
        std::string error;
        EXPECT_FALSE(sim::ParseSimEvents(c.script, &events, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_TRUE(std::none_of(error.begin(), error.end(), [](char byte) { return byte >= 0 && byte < 0x20; }))
            << "one line, no control characters";
        EXPECT_EQ(events.size(), 1u) << "nothing is changed";
    }
}

TEST(SimEvents, AHugeMalformedScriptGivesAShortMessage)
{
    const std::string script = "5:" + std::string(100000, 'x');
    std::string error;
    EXPECT_FALSE(sim::ParseSimEvents(script, nullptr, &error));
    // Both quotes (the event and its action) are cut after 80 characters.
    EXPECT_LT(error.size(), 300u) << error;
    EXPECT_NE(error.find("xxxxxxxx\"... (known: unplug"), std::string::npos) << error;
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
        {"ShortNameReply", Fault::ShortNameReply}, {"LongPicture", Fault::LongPicture},
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

    // Still: the picture stands at the last one shot (ball, counter and
    // time), with fresh grain in each; move: it goes on at the shot's number.
    ASSERT_EQ(link.CameraOn(4), phone::kOk);  // 80 x 60
    const auto shoot = [&] {
        EXPECT_EQ(link.TakePicture("/a/temp.jpg"), phone::kOk);
        return phone.File("/a/temp.jpg").value_or(Bytes{});
    };
    const std::time_t shot = clock->Now();
    const auto picture = [](uint32_t frame, std::time_t when, uint32_t grain) {
        return sim::ShootTestPicture(80, 60, frame, when, 1, 3, grain);
    };
    EXPECT_EQ(shoot(), picture(1, shot, 1));
    sim::ApplySimEvent(phone, At(0, Action::Still));
    EXPECT_TRUE(phone.Still());
    clock->Advance(5000);
    EXPECT_EQ(shoot(), picture(1, shot, 2));
    EXPECT_EQ(shoot(), picture(1, shot, 3));
    sim::ApplySimEvent(phone, At(0, Action::Move));
    EXPECT_FALSE(phone.Still());
    EXPECT_EQ(shoot(), picture(4, shot + 5, 4));
    EXPECT_NE(picture(1, start, 2), picture(1, start, 3)) << "the grain differs";
    link.Close();
}

TEST(SimEvents, StillBeforeTheFirstPictureStandsAtTheFirst)
{
    ManualClockScope clock;
    SimPhone::Options options;
    options.startInTestMode = true;
    sim::SimBus bus(options);
    SimPhone& phone = bus.Phone(0);
    phone::PhoneLink link;
    link.Attach(OpenTestInterface(bus));
    sim::ApplySimEvent(phone, At(0, Action::Still));
    ASSERT_EQ(link.CameraOn(4), phone::kOk);
    const std::time_t start = clock->Now();
    for (uint32_t shot = 1; shot <= 2; ++shot) {
        ASSERT_EQ(link.TakePicture("/a/temp.jpg"), phone::kOk);
        EXPECT_EQ(phone.File("/a/temp.jpg"), sim::ShootTestPicture(80, 60, 1, start, 1, 3, shot)) << shot;
        clock->Advance(1000);
    }
    link.Close();
}

// A scene change tied to a picture comes with that picture, whatever the
// time: the shot before it still moves, the one after stays.
TEST(SimEvents, StillAndMoveAtAPictureComeWithThatPicture)
{
    ManualClockScope clock;
    SimPhone::Options options;
    options.startInTestMode = true;
    sim::SimBus bus(options);
    phone::PhoneLink link;
    link.Attach(OpenTestInterface(bus));
    std::vector<SimEvent> events;
    ASSERT_TRUE(sim::ParseSimEvents("#3:still;#5:move", &events, nullptr));
    sim::PlaySimEvents(bus.PhoneAt(0), events, clock->TickCount());
    ASSERT_EQ(link.CameraOn(4), phone::kOk);
    const std::time_t start = clock->Now();
    // Frame drawn, at the time drawn, for shots 1 to 5.
    const std::pair<uint32_t, std::time_t> drawn[] = {{1, start}, {2, start + 1}, {2, start + 1}, {2, start + 1},
                                                      {5, start + 4}};
    for (uint32_t shot = 1; shot <= 5; ++shot) {
        ASSERT_EQ(link.TakePicture("/a/temp.jpg"), phone::kOk);
        const auto [frame, when] = drawn[shot - 1];
        EXPECT_EQ(bus.Phone(0).File("/a/temp.jpg"), sim::ShootTestPicture(80, 60, frame, when, 1, 3, shot)) << shot;
        clock->Advance(1000);
    }
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
