// Discovery: the modem port and the switch, the interface found by its name
// string, the narrowing of the device-name reply and its match.

#include "phone/Discovery.h"
#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "sim/SimBus.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace orv::test {
namespace {

using phone::kFailed;
using phone::kOk;
using sim::SimPhone;

// A work buffer holding `text` narrowed as the phone's name reply leaves it.
std::vector<uint8_t> NarrowedName(const std::string& text)
{
    std::vector<uint8_t> descriptor = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        descriptor.push_back(static_cast<uint8_t>(c));
        descriptor.push_back(0);
    }
    std::vector<uint8_t> work(phone::kWorkBufferSize, 0);
    const size_t received = phone::ShapeNameReply(descriptor.data(), descriptor.size(), work.data(), 261);
    EXPECT_EQ(phone::NarrowDeviceName(work.data(), work.size(), received), kOk);
    return work;
}

TEST(DeviceName, ReplyIsLaidOutWithItsUnitCountAndNarrowedToText)
{
    const std::string name = "Motorola Test Command";
    std::vector<uint8_t> descriptor = {static_cast<uint8_t>(2 + 2 * name.size()), 3};
    for (char c : name) {
        descriptor.push_back(static_cast<uint8_t>(c));
        descriptor.push_back(0);
    }
    uint8_t reply[261] = {};
    const size_t received = phone::ShapeNameReply(descriptor.data(), descriptor.size(), reply, sizeof reply);
    ASSERT_EQ(received, 4 + 2 * name.size() + 2);
    EXPECT_EQ(wire::GetLe32(reply), name.size() + 3);

    const auto work = NarrowedName(name);
    EXPECT_EQ(work[0], name.size() + 3);
    EXPECT_EQ(work[1], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&work[2])), name);
    EXPECT_TRUE(phone::HoldsTestCommandName(work.data(), work.size()));
}

TEST(DeviceName, MatchNeedsTheZeroByteBehindTheName)
{
    EXPECT_FALSE(phone::HoldsTestCommandName(NarrowedName("Motorola Test Commander").data(), 4096));
    EXPECT_TRUE(phone::HoldsTestCommandName(NarrowedName("USB Motorola Test Command").data(), 4096));
    EXPECT_FALSE(phone::HoldsTestCommandName(NarrowedName("Motorola Test").data(), 4096));
    EXPECT_FALSE(phone::HoldsTestCommandName(NarrowedName("motorola test command").data(), 4096));

    // At the very end of the buffer, with its zero byte as the last byte.
    std::vector<uint8_t> work(4096, 'x');
    const char name[] = "Motorola Test Command";
    std::memcpy(&work[4096 - sizeof name], name, sizeof name);
    EXPECT_TRUE(phone::HoldsTestCommandName(work.data(), work.size()));
    work.back() = 'x';
    EXPECT_FALSE(phone::HoldsTestCommandName(work.data(), work.size()));
}

TEST(DeviceName, ShortReplyFailsAndNarrowingStopsAtTheUnitsReceived)
{
    std::vector<uint8_t> work(4096, 0x77);
    EXPECT_EQ(phone::NarrowDeviceName(work.data(), work.size(), 3), kFailed);
    EXPECT_EQ(phone::NarrowDeviceName(work.data(), work.size(), 0), kFailed);

    // A count far beyond the 10 bytes received: only 5 units are narrowed.
    wire::PutLe32(work.data(), 100000);
    const uint8_t units[] = {'A', 0, 'B', 0, 'C', 0};
    std::memcpy(&work[4], units, sizeof units);
    ASSERT_EQ(phone::NarrowDeviceName(work.data(), work.size(), 10), kOk);
    EXPECT_EQ(work[2], 'A');
    EXPECT_EQ(work[3], 'B');
    EXPECT_EQ(work[4], 'C');
    EXPECT_EQ(work[5], 0);   // untouched: byte 5 of the reply
    EXPECT_EQ(work[10], 0x77);
}

TEST(DeviceName, DescriptorThatIsNotAStringGivesNoReply)
{
    uint8_t reply[261];
    const uint8_t device[] = {18, 1, 0, 2};
    EXPECT_EQ(phone::ShapeNameReply(device, sizeof device, reply, sizeof reply), 0u);
    const uint8_t one[] = {4};
    EXPECT_EQ(phone::ShapeNameReply(one, sizeof one, reply, sizeof reply), 0u);
    // bLength shorter than what came: only bLength counts.
    const uint8_t cut[] = {4, 3, 'A', 0, 'B', 0};
    EXPECT_EQ(phone::ShapeNameReply(cut, sizeof cut, reply, sizeof reply), 8u);
}

// The bus of the tests: the simulated phones, with every open, close and
// claim counted.
class CountingBus final : public PhoneBus {
public:
    explicit CountingBus(sim::SimBus& inner) : inner_(inner) {}

    std::string FindModemPort(uint16_t vendorId) override { return inner_.FindModemPort(vendorId); }
    int WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length) override
    {
        written.assign(static_cast<const char*>(bytes), length);
        writtenTo = port;
        return inner_.WriteModemPort(port, vendorId, bytes, length);
    }
    std::vector<NamedInterface> ListInterfaces() override { return inner_.ListInterfaces(); }
    std::unique_ptr<ControlPipe> Open(const std::string& path) override
    {
        openedPaths.push_back(path);
        auto pipe = inner_.Open(path);
        if (!pipe)
            return nullptr;
        ++opened;
        return std::make_unique<Counted>(std::move(pipe), *this);
    }

    std::vector<std::string> openedPaths;
    int opened = 0;
    int closed = 0;
    std::vector<int> claimed;
    std::string written;
    std::string writtenTo;

private:
    class Counted final : public ControlPipe {
    public:
        Counted(std::unique_ptr<ControlPipe> inner, CountingBus& bus) : inner_(std::move(inner)), bus_(bus) {}
        ~Counted() override { ++bus_.closed; }
        TransferResult Transfer(const SetupPacket& s, uint8_t* d, std::chrono::milliseconds t) override
        {
            return inner_->Transfer(s, d, t);
        }
        bool ClaimInterface(int number) override
        {
            bus_.claimed.push_back(number);
            return inner_->ClaimInterface(number);
        }
        void WaitForRemoval() override { inner_->WaitForRemoval(); }
        void CancelWait() override { inner_->CancelWait(); }
        std::string Path() const override { return inner_->Path(); }

    private:
        std::unique_ptr<ControlPipe> inner_;
        CountingBus& bus_;
    };

    sim::SimBus& inner_;
};

SimPhone::Options TestMode(std::string name = "Motorola Test Command")
{
    SimPhone::Options options;
    options.startInTestMode = true;
    options.testInterfaceName = std::move(name);
    return options;
}

TEST(Discovery, ModemPortSwitchThenInterface)
{
    sim::SimBus sims;
    sims.AddPhone();
    CountingBus bus(sims);
    phone::PhoneLink link;

    // In its normal mode the phone has no test-command interface.
    EXPECT_FALSE(phone::FindTestInterface(bus, link));
    EXPECT_EQ(bus.opened, 0);  // nothing names itself: nothing is opened

    std::string port;
    ASSERT_EQ(phone::FindModemPort(bus, &port), kOk);
    EXPECT_EQ(port, "/dev/ttyACM0");
    ASSERT_EQ(phone::SendModeSwitch(bus, port), kOk);
    EXPECT_EQ(bus.written, "at+mode=8\r\n");
    EXPECT_EQ(bus.writtenTo, "/dev/ttyACM0");
    EXPECT_TRUE(sims.Phone().InTestMode());

    EXPECT_EQ(phone::FindModemPort(bus, &port), kFailed);
    EXPECT_TRUE(port.empty());
    ASSERT_TRUE(phone::FindTestInterface(bus, link));
    EXPECT_TRUE(link.Found());
    EXPECT_TRUE(link.IsConnected());
    EXPECT_EQ(link.DevicePath(), "sim:usb-1-0");
    EXPECT_EQ(bus.claimed, (std::vector<int>{8}));
    EXPECT_EQ(link.RestartPhone(), kOk);
}

TEST(Discovery, SwitchToAPortThatIsNotThereFails)
{
    sim::SimBus sims;
    sims.AddPhone();
    EXPECT_EQ(phone::SendModeSwitch(sims, "/dev/ttyACM7"), kFailed);
    EXPECT_FALSE(sims.Phone().InTestMode());
}

TEST(Discovery, FindingThePhoneSendsNothingToAnyDevice)
{
    const std::string file = TempFolder().toStdString() + "/discovery-trace.txt";
    std::remove(file.c_str());
    ::setenv("ORVELLO_PHONE_TRACE", file.c_str(), 1);
    sim::SimBus sims(TestMode());
    phone::PhoneLink link;
    const bool found = phone::FindTestInterface(sims, link);
    ::unsetenv("ORVELLO_PHONE_TRACE");
    ASSERT_TRUE(found);
    // The name came from the system's list: the traced pipe carried nothing.
    std::ifstream in(file);
    std::string line;
    EXPECT_FALSE(std::getline(in, line)) << line;
}

TEST(Discovery, QueryOfAListedName)
{
    struct Case {
        std::vector<uint8_t> listed;
        int result;
    };
    const Case cases[] = {
        {{}, kFailed},                   // no string
        {{44}, kFailed},                 // cut to one byte
        {{18, 1, 0, 2, 0, 0}, kFailed},  // not a string descriptor
        {{6, 3, 'O', 0, 'K', 0}, kOk},
    };
    std::vector<uint8_t> work(phone::kWorkBufferSize, 0x55);
    for (const Case& c : cases) {
        EXPECT_EQ(phone::QueryDeviceName({"sim:usb-1-0", 8, c.listed}, work.data()), c.result);
        EXPECT_EQ(work[300], 0);  // zeroed beyond the reply
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&work[2])), "OK");
}

// Which device discovery opens: only one whose interface names itself with
// the test-command name (other text may come ahead of it), and only the
// named interface is claimed.
TEST(Discovery, OnlyTheInterfaceOfTheNameIsOpenedAndClaimed)
{
    SimPhone::Options twoInterfaces = TestMode();
    twoInterfaces.otherInterfaceName = "Motorola Data Port";  // interface 7, ahead of 8
    struct Case {
        const char* what;
        std::vector<SimPhone::Options> phones;
        bool shortNameReply;  // the first phone's name string comes as one byte
        std::vector<std::string> opened;
        std::vector<int> claimed;
    };
    const Case cases[] = {
        {"another interface ahead", {twoInterfaces}, false, {"sim:usb-1-0"}, {8}},
        {"a longer name first", {TestMode("Motorola Test Commander"), TestMode()}, false, {"sim:usb-1-1"}, {8}},
        {"other text ahead of the name", {TestMode("USB Motorola Test Command")}, false, {"sim:usb-1-0"}, {8}},
        {"a name string of one byte", {TestMode()}, true, {}, {}},
    };
    for (const Case& c : cases) {
        sim::SimBus sims;
        for (const auto& options : c.phones)
            sims.AddPhone(options);
        if (c.shortNameReply)
            sims.Phone().InjectFault(SimPhone::Fault::ShortNameReply);
        CountingBus bus(sims);
        phone::PhoneLink link;
        EXPECT_EQ(phone::FindTestInterface(bus, link), !c.opened.empty()) << c.what;
        EXPECT_EQ(bus.openedPaths, c.opened) << c.what;
        EXPECT_EQ(bus.claimed, c.claimed) << c.what;
        EXPECT_EQ(bus.closed, 0) << c.what;
        EXPECT_EQ(link.DevicePath(), c.opened.empty() ? std::string() : c.opened.front()) << c.what;
        EXPECT_TRUE(phone::FindTestInterface(bus, link)) << c.what << ": found at the next search";
    }
}

TEST(Discovery, NothingOnTheBus)
{
    sim::SimBus sims;
    phone::PhoneLink link;
    std::string port = "stale";
    EXPECT_EQ(phone::FindModemPort(sims, &port), kFailed);
    EXPECT_TRUE(port.empty());
    EXPECT_FALSE(phone::FindTestInterface(sims, link));
    sims.AddPhone(TestMode());
    sims.Phone().Unplug();
    EXPECT_FALSE(phone::FindTestInterface(sims, link));
}

}  // namespace
}  // namespace orv::test
