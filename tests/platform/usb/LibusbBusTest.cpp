// The libusb route against USB hardware that umockdev emulates in this
// process: the phone's modem port found through udev and written to, the
// named interfaces listed from sysfs, the phone's device opened and talked to
// by control transfers, the unplug noticed, and nothing else on the bus
// opened or written.

#include "tests/support/Wait.h"
#include "EmulatedUsb.h"
#include "platform/LibusbBus.h"
#include "platform/Clock.h"
#include "phone/Discovery.h"
#include "phone/PhoneLink.h"
#include "sim/SimPhone.h"

#include <gtest/gtest.h>

#include <libusb.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <thread>
#include <tuple>

namespace orv::test {
namespace {

using namespace std::chrono_literals;

constexpr char kModeSwitch[] = "at+mode=8\r\n";
constexpr size_t kModeSwitchLength = sizeof kModeSwitch - 1;
constexpr uint16_t kPhoneVendor = 0x22B8;
constexpr uint16_t kBoardVendor = 0x2341;

// The name strings of a simulated phone's interfaces, as the kernel reads
// them when the device arrives.
std::map<int, std::string> NamesOf(const sim::SimPhone& model)
{
    std::map<int, std::string> names;
    for (const auto& named : model.InterfaceNames()) {
        std::string text;
        for (size_t i = 2; i + 1 < named.descriptor.size(); i += 2)
            text += static_cast<char>(named.descriptor[i]);
        names[named.number] = text;
    }
    return names;
}

// A device of another make: a USB board with a CDC-ACM port, or a gadget
// with a named vendor-specific interface. It counts what reaches it.
PhoneLayout OtherDevice(bool modem, unsigned usbPort)
{
    PhoneLayout layout;
    layout.deviceDescriptor = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0x00, 0x01, 1, 2, 0, 1};
    const uint16_t vendor = modem ? kBoardVendor : 0x1234;
    layout.deviceDescriptor[8] = static_cast<uint8_t>(vendor & 0xFF);
    layout.deviceDescriptor[9] = static_cast<uint8_t>(vendor >> 8);
    layout.deviceDescriptor[10] = 0x43;
    if (modem) {
        layout.configDescriptor = {9, 2, 27, 0, 2, 1, 0, 0x80, 50,
                                   9, 4, 0, 0, 1, 0x02, 0x02, 0x01, 0,
                                   9, 4, 1, 0, 2, 0x0A, 0x00, 0x00, 0};
    } else {
        layout.configDescriptor = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xFF, 0x00, 0x00, 4};
        layout.interfaceNames[0] = "Vendor Debug Port";
    }
    layout.modemPort = modem;
    layout.watchModemOpens = modem;
    layout.usbPort = usbPort;
    layout.answer = [](const SetupPacket&, uint8_t*) { return TransferResult{TransferStatus::Stall, 0}; };
    return layout;
}

TransferResult GetDescriptor(ControlPipe& pipe, uint8_t type, uint8_t index, uint16_t language, uint8_t* data,
                             uint16_t room)
{
    SetupPacket setup;
    setup.requestType = 0x80;
    setup.request = 6;  // GET_DESCRIPTOR
    setup.value = static_cast<uint16_t>(type << 8 | index);
    setup.index = language;
    setup.length = room;
    return pipe.Transfer(setup, data, 1000ms);
}

struct Reply {
    TransferStatus status = TransferStatus::Error;
    std::vector<uint8_t> bytes;
};

// One test-command exchange on interface 8: the command packet, status polls
// until a reply waits, and the fetch.
Reply Exchange(ControlPipe& pipe, uint16_t sequence, uint16_t command, std::vector<uint8_t> requestData)
{
    std::vector<uint8_t> packet = {static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
                                   static_cast<uint8_t>(command >> 8), static_cast<uint8_t>(command),
                                   static_cast<uint8_t>(requestData.size() >> 8),
                                   static_cast<uint8_t>(requestData.size()), 0, 0};
    packet.insert(packet.end(), requestData.begin(), requestData.end());
    SetupPacket write{0x41, 0x02, 0, 8, static_cast<uint16_t>(packet.size())};
    Reply reply;
    reply.status = pipe.Transfer(write, packet.data(), 10000ms).status;
    if (reply.status != TransferStatus::Ok)
        return reply;

    uint8_t status[8] = {};
    for (int poll = 0; poll < 100; ++poll) {
        std::fill(std::begin(status), std::end(status), 0);
        const TransferResult result = pipe.Transfer({0xC1, 0x00, 0, 8, 8}, status, 40000ms);
        if (result.status != TransferStatus::Ok) {
            reply.status = result.status;
            return reply;
        }
        if (status[1] == 1 || status[1] == 2)
            break;
    }
    const uint16_t size = static_cast<uint16_t>(status[2] << 8 | status[3]);
    reply.bytes.assign(4096, 0);
    const TransferResult fetched = pipe.Transfer(
        {0xC1, 0x01, status[1], 8, static_cast<uint16_t>(size + 2 * status[1] + 4)}, reply.bytes.data(), 40000ms);
    reply.status = fetched.status;
    reply.bytes.resize(fetched.transferred);
    return reply;
}

// WaitForRemoval on a thread of its own. Cancelled when the test is over, so
// that a failing test ends instead of hanging.
class WaitInBackground {
public:
    explicit WaitInBackground(ControlPipe& pipe)
        : pipe_(pipe), done_(std::async(std::launch::async, [&pipe] { pipe.WaitForRemoval(); }))
    {
    }
    ~WaitInBackground()
    {
        pipe_.CancelWait();
        done_.wait();
    }
    bool EndsWithin(std::chrono::milliseconds limit) { return done_.wait_for(limit) == std::future_status::ready; }

private:
    ControlPipe& pipe_;
    std::future<void> done_;
};

std::shared_ptr<sim::SimPhone> PhoneInTestMode(std::string otherInterfaceName = {})
{
    sim::SimPhone::Options options;
    options.startInTestMode = true;
    options.otherInterfaceName = std::move(otherInterfaceName);
    return std::make_shared<sim::SimPhone>(options);
}

class UsbRoute : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(EmulatedUsb::Instance().Active()) << "this program runs under umockdev-wrapper";
        SetClock(&clock_);
    }
    void TearDown() override { SetClock(nullptr); }

    // Plugs the phone in as it presents itself now, and waits until libusb's
    // device list has it. Its transfers are answered by the phone, or by
    // answer where one is given.
    std::unique_ptr<EmulatedPhone> Plug(const std::shared_ptr<sim::SimPhone>& model, bool modemPort,
                                        unsigned usbPort = 1, ControlAnswer answer = nullptr)
    {
        PhoneLayout layout;
        layout.deviceDescriptor = model->DeviceDescriptor();
        layout.configDescriptor = model->ConfigDescriptor();
        layout.answer = answer ? std::move(answer) : [model](const SetupPacket& setup, uint8_t* data) {
            return model->ControlTransfer(setup, data);
        };
        layout.modemPort = modemPort;
        layout.usbPort = usbPort;
        layout.interfaceNames = NamesOf(*model);
        auto plugged = std::make_unique<EmulatedPhone>(std::move(layout));
        const std::string path = PathOf(*plugged);
        EXPECT_TRUE(WaitFor([&] { return UsbKnows(path); })) << path << " never seen by libusb";
        return plugged;
    }
    // A phone in its normal mode: a USB modem only.
    std::unique_ptr<EmulatedPhone> PlugModem(unsigned usbPort = 1)
    {
        return Plug(std::make_shared<sim::SimPhone>(), true, usbPort);
    }
    // A phone already in test-command mode, without a modem port.
    std::unique_ptr<EmulatedPhone> PlugTestPhone(unsigned usbPort = 1) { return Plug(phone_, false, usbPort); }

    // Whether libusb's device list holds the device: opening it by its path
    // works.
    bool UsbKnows(const std::string& path) { return bus_.Open(path) != nullptr; }

    static std::string PathOf(const EmulatedPhone& phone) { return UsbDevicePath(phone.Bus(), phone.Address()); }

    ManualClock clock_;
    std::shared_ptr<sim::SimPhone> phone_ = PhoneInTestMode();
    LibusbBus bus_;
};

// --- the modem port ------------------------------------------------------------

TEST_F(UsbRoute, ModeSwitchReachesThePhoneByteForByte)
{
    auto phone = PlugModem();
    const std::string port = bus_.FindModemPort(kPhoneVendor);
    ASSERT_EQ(port, phone->ModemNode());
    ASSERT_EQ(port.rfind("/dev/ttyACM", 0), 0u);

    // With output processing on, the port would turn "\n" into "\r\n": the
    // switch goes out as its 11 bytes all the same, and the port's output
    // processing is as it was before, on or off.
    for (const bool processing : {true, false}) {
        const auto flags = static_cast<tcflag_t>(ONLCR | (processing ? OPOST : 0));
        termios settings{};
        ASSERT_EQ(::tcgetattr(phone->ModemPeer(), &settings), 0);
        settings.c_oflag = flags;
        ASSERT_EQ(::tcsetattr(phone->ModemPeer(), TCSANOW, &settings), 0);
        ASSERT_EQ(bus_.WriteModemPort(port, kPhoneVendor, kModeSwitch, kModeSwitchLength), 0);
        EXPECT_EQ(phone->ReadModem(64, 300ms), kModeSwitch) << processing;
        ASSERT_EQ(::tcgetattr(phone->ModemPeer(), &settings), 0);
        EXPECT_EQ(settings.c_oflag, flags) << processing;
    }
}

TEST_F(UsbRoute, ModemPortIsTheLowestCdcAcmTtyOfThePhonesMake)
{
    EmulatedUsb& usb = EmulatedUsb::Instance();
    const std::string hub = "/devices/pci0000:00/0000:00:14.0/usb2";
    const auto device = [&](const std::string& port, const char* vendor) {
        return "P: " + hub + "/" + port + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vendor +
               "\\n\n\n";
    };
    // Of the phone's make: ttyACM100 on a cdc_acm interface, ttyACM99 on an
    // interface of the communications class, ttyACM98 on a vendor interface
    // of another driver. Of another make: ttyACM97 on a cdc_acm interface.
    // ttyS0 on no USB at all.
    usb.Add(device("2-1", "22b8") + device("2-2", "22b8") + device("2-3", "22b8") + device("2-4", "2341") +
            "P: " + hub + "/2-1/2-1:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
            "L: driver=../../../../../../bus/usb/drivers/cdc_acm\n"
            "A: bInterfaceClass=0a\\n\n\n"
            "P: " + hub + "/2-1/2-1:1.0/tty/ttyACM100\nN: ttyACM100\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM100\n\n"
            "P: " + hub + "/2-2/2-2:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
            "A: bInterfaceClass=02\\n\n\n"
            "P: " + hub + "/2-2/2-2:1.0/tty/ttyACM99\nN: ttyACM99\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM99\n\n"
            "P: " + hub + "/2-3/2-3:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
            "L: driver=../../../../../../bus/usb/drivers/option\n"
            "A: bInterfaceClass=ff\\n\n\n"
            "P: " + hub + "/2-3/2-3:1.0/tty/ttyACM98\nN: ttyACM98\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM98\n\n"
            "P: " + hub + "/2-4/2-4:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
            "L: driver=../../../../../../bus/usb/drivers/cdc_acm\n"
            "A: bInterfaceClass=02\\n\n\n"
            "P: " + hub + "/2-4/2-4:1.0/tty/ttyACM97\nN: ttyACM97\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM97\n\n"
            "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n");

    EXPECT_EQ(bus_.FindModemPort(kPhoneVendor), "/dev/ttyACM99");  // by number, not by name: 99 before 100
    EXPECT_EQ(bus_.FindModemPort(kBoardVendor), "/dev/ttyACM97");
    {
        auto phone = PlugModem();
        EXPECT_EQ(bus_.FindModemPort(kPhoneVendor), phone->ModemNode());
    }
    usb.Remove("/sys" + hub + "/2-2");
    EXPECT_EQ(bus_.FindModemPort(kPhoneVendor), "/dev/ttyACM100");  // by the cdc_acm driver alone
    usb.Remove("/sys" + hub + "/2-1");
    EXPECT_EQ(bus_.FindModemPort(kPhoneVendor), "");  // ttyACM98 and ttyS0 are no modems, ttyACM97 not the phone's

    usb.Remove("/sys" + hub + "/2-3");
    usb.Remove("/sys" + hub + "/2-4");
    usb.Remove("/sys/devices/platform/serial8250/tty/ttyS0");
}

TEST_F(UsbRoute, ModemWriteRefusesWhatIsNotThePhonesPort)
{
    EXPECT_EQ(bus_.WriteModemPort("", kPhoneVendor, kModeSwitch, kModeSwitchLength), -1);
    EXPECT_EQ(bus_.WriteModemPort("/dev/ttyACM77", kPhoneVendor, kModeSwitch, kModeSwitchLength), -1);  // absent

    // A plain file is left untouched.
    char name[] = "/tmp/orvello-not-a-port-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(bus_.WriteModemPort(name, kPhoneVendor, kModeSwitch, kModeSwitchLength), -1);
    struct stat info {};
    ASSERT_EQ(::stat(name, &info), 0);
    EXPECT_EQ(info.st_size, 0);
    ::unlink(name);

    auto phone = PlugModem();
    EXPECT_EQ(bus_.WriteModemPort(phone->ModemNode(), kPhoneVendor, nullptr, kModeSwitchLength), -1);
    EXPECT_EQ(phone->ReadModem(1, 50ms), "");

    // Another make's port is not even opened, named as it may be.
    EmulatedPhone board(OtherDevice(true, 2));
    EXPECT_EQ(bus_.WriteModemPort(board.ModemNode(), kPhoneVendor, kModeSwitch, kModeSwitchLength), -1);
    EXPECT_EQ(board.ModemOpens(), 0);
    EXPECT_EQ(board.ReadModem(1, 50ms), "");
    // The watch counts the opens of a port that is written.
    ASSERT_EQ(bus_.WriteModemPort(board.ModemNode(), kBoardVendor, kModeSwitch, kModeSwitchLength), 0);
    EXPECT_EQ(board.ModemOpens(), 1);
    EXPECT_EQ(board.ReadModem(kModeSwitchLength, 300ms), kModeSwitch);
}

// --- finding and opening the phone -------------------------------------------------

TEST_F(UsbRoute, NamedVendorInterfacesAreListedFromSysfsWithoutOpeningAnyDevice)
{
    phone_ = PhoneInTestMode("Motorola Test Commands");  // interface 7, ahead of 8
    auto phone = PlugTestPhone(1);
    auto modem = PlugModem(2);  // a phone in its normal mode offers no vendor interface
    // A mass-storage stick with a named interface, a vendor interface with no
    // name string, and a gadget of another make with a named one (UTF-8 in
    // sysfs).
    PhoneLayout stick;
    stick.deviceDescriptor = {0x12, 0x01, 0x00, 0x02, 0, 0, 0, 0x40, 0x81, 0x07, 0x51, 0x55, 0, 1, 1, 2, 3, 1};
    stick.configDescriptor = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0x08, 0x06, 0x50, 4};
    stick.interfaceNames[0] = "Mass Storage";
    stick.modemPort = false;
    stick.usbPort = 3;
    PhoneLayout unnamed = stick;
    unnamed.configDescriptor[9 + 5] = 0xFF;
    unnamed.configDescriptor[9 + 8] = 0;
    unnamed.interfaceNames.clear();
    unnamed.usbPort = 4;
    PhoneLayout gadgetLayout = OtherDevice(false, 5);
    gadgetLayout.interfaceNames[0] = "Caméra";
    EmulatedPhone stickDevice(stick);
    EmulatedPhone unnamedDevice(unnamed);
    EmulatedPhone gadget(gadgetLayout);
    const int phoneOpens = phone->OpensEver();

    using Entry = std::tuple<std::string, int, std::vector<uint8_t>>;
    std::vector<Entry> listed;
    for (const NamedInterface& entry : bus_.ListInterfaces())
        listed.emplace_back(entry.devicePath, entry.number, entry.nameDescriptor);
    const auto utf16 = [](const std::string& text) {
        std::vector<uint8_t> descriptor = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
        for (char c : text)
            descriptor.insert(descriptor.end(), {static_cast<uint8_t>(c), 0});
        return descriptor;
    };
    EXPECT_EQ(listed, (std::vector<Entry>{{PathOf(*phone), 7, utf16("Motorola Test Commands")},
                                          {PathOf(*phone), 8, utf16("Motorola Test Command")},
                                          {PathOf(gadget), 0, {14, 3, 'C', 0, 'a', 0, 'm', 0, 0xE9, 0, 'r', 0, 'a', 0}}}));
    // Nothing was opened to learn it, and nothing was asked of any device.
    EXPECT_EQ(phone->OpensEver(), phoneOpens);
    for (const EmulatedPhone* device : {&stickDevice, &unnamedDevice, &gadget})
        EXPECT_EQ(device->OpensEver() + device->Urbs(), 0);

    phone->Unplug();  // gone from the list
    for (const NamedInterface& entry : bus_.ListInterfaces())
        EXPECT_NE(entry.devicePath, PathOf(*phone));
}

TEST_F(UsbRoute, OpenRefusesPathsOfNoPresentDevice)
{
    auto phone = PlugTestPhone();
    const std::string path = PathOf(*phone);
    EXPECT_EQ(bus_.Open(""), nullptr);
    EXPECT_EQ(bus_.Open("usb:1:2"), nullptr);
    EXPECT_EQ(bus_.Open(path + "x"), nullptr);
    EXPECT_EQ(bus_.Open("usb:001:127"), nullptr);  // no device there
    auto pipe = bus_.Open(path);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(pipe->Path(), path);
    pipe.reset();

    phone->Unplug();
    EXPECT_TRUE(WaitFor([&] { return !UsbKnows(path); }));
}

// --- control transfers -----------------------------------------------------------

TEST_F(UsbRoute, TestCommandRoundTrip)
{
    auto phone = PlugTestPhone();
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    ASSERT_TRUE(pipe->ClaimInterface(8));

    // The model record (0x0117, index 1): a reply with data.
    const std::vector<uint8_t> request = {0x01, 0x17, 0x00, 0x01, 0, 0, 0, 0};
    for (uint16_t sequence : {1, 2, 40}) {
        const Reply reply = Exchange(*pipe, sequence, 0x20, request);
        ASSERT_EQ(reply.status, TransferStatus::Ok);
        ASSERT_GE(reply.bytes.size(), 14u);
        EXPECT_EQ(reply.bytes[0], 1);
        EXPECT_EQ(reply.bytes[6] << 8 | reply.bytes[7], 0x8000 | sequence);
        EXPECT_EQ(reply.bytes[8] >> 4, 8);  // done, with data
        const size_t dataLength = static_cast<size_t>(reply.bytes[10] << 8 | reply.bytes[11]);
        ASSERT_EQ(reply.bytes.size(), 14 + dataLength);
        const std::string record(reply.bytes.begin() + 15, reply.bytes.begin() + 23);
        EXPECT_EQ(record, "Motorola");
    }
    const auto commands = phone_->Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[2].sequence, 40);
    EXPECT_EQ(commands[2].code, 0x20);
    EXPECT_EQ(commands[2].data, request);
}

TEST_F(UsbRoute, FailedTransfersMapToTheirStatus)
{
    auto phone = PlugTestPhone();
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);

    // Fetching when no reply waits stalls endpoint 0...
    uint8_t data[64] = {};
    TransferResult result = pipe->Transfer({0xC1, 0x01, 1, 8, 64}, data, 1000ms);
    EXPECT_EQ(result.status, TransferStatus::Stall);
    EXPECT_EQ(result.transferred, 0u);
    // ...and the pipe still works afterwards.
    result = GetDescriptor(*pipe, 1, 0, 0, data, 18);
    EXPECT_EQ(result.status, TransferStatus::Ok);
    EXPECT_EQ(result.transferred, 18u);

    // A data stage without a buffer never reaches the device.
    EXPECT_EQ(pipe->Transfer({0x41, 0x02, 0, 8, 8}, nullptr, 1000ms).status, TransferStatus::Error);
    EXPECT_TRUE(phone_->Commands().empty());

    phone->Unplug();
    result = GetDescriptor(*pipe, 1, 0, 0, data, 18);
    EXPECT_EQ(result.status, TransferStatus::NoDevice);
    EXPECT_EQ(result.transferred, 0u);
}

TEST_F(UsbRoute, ATransferThePhoneNeverAnswersEndsAtTheLimitItWasGiven)
{
    // The phone leaves every status poll unanswered.
    auto phone = Plug(phone_, false, 1, [model = phone_](const SetupPacket& setup, uint8_t* data) {
        if (setup.requestType == 0xC1 && setup.request == 0x00)
            return TransferResult{TransferStatus::Timeout, 0};
        return model->ControlTransfer(setup, data);
    });
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    uint8_t data[64] = {};
    for (const std::chrono::milliseconds limit : {150ms, 400ms}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(pipe->Transfer({0xC1, 0x00, 0, 8, 8}, data, limit).status, TransferStatus::Timeout) << limit.count();
        // Never before the limit; well before any other limit (a loaded
        // machine may add a little).
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, limit) << limit.count();
        EXPECT_LT(took, limit + 5s) << limit.count();
    }
    // The cancelled transfers leave the pipe usable.
    EXPECT_EQ(GetDescriptor(*pipe, 1, 0, 0, data, 18).status, TransferStatus::Ok);
}

// A stop asked for on the thread of a transfer in flight cancels it at once,
// long before its limit; meanwhile the wait is told when it becomes late on
// the program's clock. A stop asked for before a transfer sends nothing.
TEST_F(UsbRoute, AStopCancelsTheTransferInFlightAndIsToldOfItsLateness)
{
    auto phone = Plug(phone_, false, 1, [model = phone_](const SetupPacket& setup, uint8_t* data) {
        if (setup.requestType == 0xC1 && setup.request == 0x00)
            return TransferResult{TransferStatus::Timeout, 0};
        return model->ControlTransfer(setup, data);
    });
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    TransferControl control;
    std::atomic<int> late{0};
    control.SetLateNotice(3000, [&](bool isLate) { late += isLate ? 1 : 0; });
    auto transfer = std::async(std::launch::async, [&] {
        const TransferControlScope scope(&control);
        control.BeginWait();
        uint8_t data[8] = {};
        return pipe->Transfer({0xC1, 0x00, 0, 8, 8}, data, 40000ms);
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(late.load(), 0);
    clock_.Advance(3001);
    EXPECT_TRUE(WaitFor([&] { return late.load() == 1; })) << "the wait in flight was not told late";
    ASSERT_EQ(transfer.wait_for(0s), std::future_status::timeout);
    const auto start = std::chrono::steady_clock::now();
    control.RequestStop();
    ASSERT_EQ(transfer.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(transfer.get().status, TransferStatus::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "not left to its 40 s limit";

    // Another thread's transfer on the pipe goes on as usual...
    uint8_t descriptor[18] = {};
    EXPECT_EQ(GetDescriptor(*pipe, 1, 0, 0, descriptor, 18).status, TransferStatus::Ok);
    // ...while the stopped thread sends nothing any more.
    const size_t before = phone_->Commands().size();
    auto after = std::async(std::launch::async, [&] {
        const TransferControlScope scope(&control);
        uint8_t command[8] = {0x00, 0x01, 0x00, 0x22, 0x00, 0x00, 0x00, 0x00};
        return pipe->Transfer({0x41, 0x02, 0, 8, 8}, command, 10000ms);
    });
    EXPECT_EQ(after.get().status, TransferStatus::Cancelled);
    EXPECT_EQ(phone_->Commands().size(), before);
}

TEST_F(UsbRoute, ClosingReleasesTheInterfaceAndTheDevice)
{
    auto phone = PlugTestPhone();
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(pipe->ClaimInterface(8));
    EXPECT_TRUE(pipe->ClaimInterface(8));  // already held: no second claim
    EXPECT_FALSE(pipe->ClaimInterface(-1));
    EXPECT_FALSE(pipe->ClaimInterface(256));
    EXPECT_EQ(phone->ClaimedInterfaces(), std::vector<int>{8});
    EXPECT_EQ(phone->OpenClients(), 1);

    pipe.reset();
    EXPECT_EQ(phone->ReleasedInterfaces(), std::vector<int>{8});
    EXPECT_TRUE(WaitFor([&] { return phone->OpenClients() == 0; }));
}

// --- the unplug ----------------------------------------------------------------------

TEST_F(UsbRoute, UnplugEndsTheWait)
{
    auto phone = PlugTestPhone();
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    WaitInBackground wait(*pipe);
    EXPECT_FALSE(wait.EndsWithin(100ms));  // still plugged: still waiting

    phone->Unplug();
    EXPECT_TRUE(wait.EndsWithin(5s));
    // Gone before the wait starts: it returns at once.
    WaitInBackground again(*pipe);
    EXPECT_TRUE(again.EndsWithin(5s));
}

TEST_F(UsbRoute, OtherDevicesLeavingDoNotEndTheWait)
{
    auto phone = PlugTestPhone(1);
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    auto other = PlugModem(2);
    WaitInBackground wait(*pipe);
    other->Unplug();
    EXPECT_FALSE(wait.EndsWithin(200ms));
    pipe->CancelWait();
    EXPECT_TRUE(wait.EndsWithin(5s));
}

TEST_F(UsbRoute, CancelEndsTheWaitAndLaterOnes)
{
    auto phone = PlugTestPhone();
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    WaitInBackground wait(*pipe);
    EXPECT_FALSE(wait.EndsWithin(100ms));
    pipe->CancelWait();
    EXPECT_TRUE(wait.EndsWithin(5s));
    WaitInBackground next(*pipe);
    EXPECT_TRUE(next.EndsWithin(5s));
}

TEST_F(UsbRoute, ClosingThePipeEndsAWaitInProgress)
{
    auto phone = PlugTestPhone();
    auto pipe = bus_.Open(PathOf(*phone));
    ASSERT_NE(pipe, nullptr);
    std::promise<void> entered;
    ControlPipe* raw = pipe.get();
    std::thread waiter([&] {
        entered.set_value();
        raw->WaitForRemoval();
    });
    entered.get_future().wait();
    std::this_thread::sleep_for(20ms);  // let it reach the poll
    auto closed = std::async(std::launch::async, [&] { pipe.reset(); });
    EXPECT_EQ(closed.wait_for(5s), std::future_status::ready);
    waiter.join();
}

TEST_F(UsbRoute, APhonePluggedAgainAtTheSamePortIsAnotherDevice)
{
    auto first = PlugTestPhone(5);
    auto pipe = bus_.Open(PathOf(*first));
    ASSERT_NE(pipe, nullptr);
    // The removal is never announced (a monitor that lost the event), and a
    // phone appears at the same port with a new address.
    first->Unplug(/*announce=*/false);
    auto second = PlugTestPhone(5);
    ASSERT_EQ(second->UsbSyspath(), first->UsbSyspath());
    WaitInBackground wait(*pipe);
    EXPECT_TRUE(wait.EndsWithin(5s));
}

// --- the phone link's own discovery over this bus -------------------------------------

TEST_F(UsbRoute, DiscoverySwitchesFindsAndTalksToThePhone)
{
    auto model = std::make_shared<sim::SimPhone>();  // normal mode: a modem
    auto modem = Plug(model, true);

    std::string port;
    ASSERT_EQ(phone::FindModemPort(bus_, &port), 0);
    EXPECT_EQ(port, modem->ModemNode());
    ASSERT_EQ(phone::SendModeSwitch(bus_, port), 0);
    const std::string received = modem->ReadModem(kModeSwitchLength, 1000ms);
    EXPECT_EQ(received, kModeSwitch);

    // The phone takes the command, leaves the bus and comes back in
    // test-command mode.
    model->ReceiveModemBytes(received.data(), received.size());
    ASSERT_TRUE(model->InTestMode());
    modem->Unplug();
    auto phone = Plug(model, false);

    phone::PhoneLink link;
    ASSERT_TRUE(phone::FindTestInterface(bus_, link));
    ASSERT_TRUE(link.IsConnected());
    EXPECT_EQ(phone->ClaimedInterfaces(), std::vector<int>{8});
    std::string name;
    ASSERT_TRUE(phone::ReadModelName(link, &name));
    EXPECT_EQ(name, "Motorola V3x");

    // The wait that the device monitor makes ends with the unplug; the
    // exchange after it fails without hanging.
    {
        WaitInBackground wait(*link.DeviceHandle());
        EXPECT_FALSE(wait.EndsWithin(100ms));  // listening before the phone goes
        phone->Unplug();
        EXPECT_TRUE(wait.EndsWithin(5s));
    }
    EXPECT_FALSE(phone::ReadModelName(link, &name));
    link.Close();
    EXPECT_TRUE(WaitFor([&] { return phone->OpenClients() == 0; }));
}

TEST_F(UsbRoute, DiscoveryLeavesOtherDevicesAlone)
{
    // A board's modem port comes first by number, and a gadget of another
    // make names a vendor interface of its own.
    EmulatedPhone board(OtherDevice(true, 1));
    EmulatedPhone gadget(OtherDevice(false, 2));
    phone::PhoneLink link;
    std::string port;
    EXPECT_EQ(phone::FindModemPort(bus_, &port), -1);  // no port of the phone: no switch, no pause
    EXPECT_FALSE(phone::FindTestInterface(bus_, link));

    auto model = std::make_shared<sim::SimPhone>();
    auto modem = Plug(model, true, 3);
    ASSERT_EQ(phone::FindModemPort(bus_, &port), 0);
    EXPECT_EQ(port, modem->ModemNode());
    ASSERT_EQ(phone::SendModeSwitch(bus_, port), 0);
    EXPECT_EQ(modem->ReadModem(kModeSwitchLength, 1000ms), kModeSwitch);
    model->ReceiveModemBytes(kModeSwitch, kModeSwitchLength);
    modem->Unplug();
    auto phone = Plug(model, false, 4);
    ASSERT_TRUE(phone::FindTestInterface(bus_, link));
    EXPECT_EQ(link.DevicePath(), PathOf(*phone));

    // The gadget was listed (so it was seen), never opened, never asked.
    bool listed = false;
    for (const NamedInterface& entry : bus_.ListInterfaces())
        listed = listed || entry.devicePath == PathOf(gadget);
    EXPECT_TRUE(listed);
    EXPECT_EQ(gadget.OpensEver(), 0);
    EXPECT_EQ(gadget.Urbs(), 0);
    EXPECT_EQ(board.ModemOpens(), 0);
    EXPECT_EQ(board.ReadModem(1, 50ms), "");
    link.Close();
}

// --- pure helpers ------------------------------------------------------------------------

TEST(UsbPaths, RoundTripAndRejects)
{
    unsigned bus = 0;
    unsigned address = 0;
    EXPECT_EQ(UsbDevicePath(1, 2), "usb:001:002");
    ASSERT_TRUE(ParseUsbDevicePath("usb:003:127", &bus, &address));
    EXPECT_EQ(bus, 3u);
    EXPECT_EQ(address, 127u);
    for (const char* bad : {"", "usb:", "usb:001:02", "usb:001:0021", "USB:001:002", "usb:000:002", "usb:001:128",
                            "usb:001:000", "usb:256:002", "usb:0x1:002", "usb:001-002", "usb:+01:002"})
        EXPECT_FALSE(ParseUsbDevicePath(bad, &bus, &address)) << bad;
}

TEST(UsbErrors, TextAndStatus)
{
    EXPECT_EQ(LibusbErrorText(LIBUSB_ERROR_PIPE).rfind("LIBUSB_ERROR_PIPE: ", 0), 0u);
    EXPECT_EQ(LibusbErrorText(0), "LIBUSB_SUCCESS");
    EXPECT_FALSE(LibusbErrorText(-12345).empty());
    EXPECT_EQ(TransferStatusFromLibusb(LIBUSB_ERROR_TIMEOUT), TransferStatus::Timeout);
    EXPECT_EQ(TransferStatusFromLibusb(LIBUSB_ERROR_PIPE), TransferStatus::Stall);
    EXPECT_EQ(TransferStatusFromLibusb(LIBUSB_ERROR_NO_DEVICE), TransferStatus::NoDevice);
    EXPECT_EQ(TransferStatusFromLibusb(LIBUSB_ERROR_IO), TransferStatus::Error);
    EXPECT_EQ(TransferStatusFromLibusb(LIBUSB_ERROR_OVERFLOW), TransferStatus::Error);
    EXPECT_EQ(TransferStatusFromLibusb(4), TransferStatus::Ok);
}

}  // namespace
}  // namespace orv::test
