// The simulated phone as a device: its descriptors in both modes, the modem
// switch, handles that die when it re-enumerates, the status and fetch
// layout, its camera pictures, latency, restart and detach.

#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "sim/SimBus.h"

#include <QImage>

#include <gtest/gtest.h>

#include <thread>

namespace orv::test {
namespace {

using sim::SimPhone;

TransferResult Raw(SimPhone& phone, uint8_t type, uint8_t request, uint16_t value, uint16_t index, Bytes& data)
{
    SetupPacket setup;
    setup.requestType = type;
    setup.request = request;
    setup.value = value;
    setup.index = index;
    setup.length = static_cast<uint16_t>(data.size());
    return phone.ControlTransfer(setup, data.data());
}

Bytes CommandStage(uint16_t sequence, uint16_t code, const Bytes& request)
{
    Bytes stage(8 + request.size(), 0);
    wire::PutBe16(&stage[0], sequence);
    wire::PutBe16(&stage[2], code);
    wire::PutBe16(&stage[4], static_cast<uint16_t>(request.size()));
    for (size_t i = 0; i < request.size(); ++i)
        stage[8 + i] = request[i];
    return stage;
}

// Vendor interfaces (class 0xFF) of a configuration descriptor: number and iInterface.
std::vector<std::pair<int, int>> VendorInterfaces(const Bytes& config)
{
    std::vector<std::pair<int, int>> found;
    for (size_t at = 0; at + 9 <= config.size() && config[at] >= 2; at += config[at])
        if (config[at + 1] == 4 && config[at + 5] == 0xFF)
            found.emplace_back(config[at + 2], config[at + 8]);
    return found;
}

TEST(SimPhone, DescriptorsShowTheTestInterfaceOnlyInTestMode)
{
    SimPhone phone;
    const Bytes device = phone.DeviceDescriptor();
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[1], 1);
    EXPECT_EQ(wire::GetLe16(&device[8]), 0x22B8);
    Bytes normal = phone.ConfigDescriptor();
    EXPECT_EQ(wire::GetLe16(&normal[2]), normal.size());
    EXPECT_TRUE(VendorInterfaces(normal).empty());
    EXPECT_EQ(normal[9 + 5], 0x02);  // a CDC communication interface first

    phone.ReceiveModemBytes("at+mo", 5);
    EXPECT_FALSE(phone.InTestMode());
    phone.ReceiveModemBytes("de=8\r\n", 6);
    ASSERT_TRUE(phone.InTestMode());
    EXPECT_EQ(VendorInterfaces(phone.ConfigDescriptor()), (std::vector<std::pair<int, int>>{{8, 4}}));

    Bytes name(255);
    const TransferResult result = Raw(phone, 0x80, 0x06, 0x0304, 0x0409, name);
    ASSERT_EQ(result.status, TransferStatus::Ok);
    name.resize(result.transferred);
    EXPECT_EQ(name.size(), 2u + 2 * 21);
    EXPECT_EQ(name[2], 'M');
    Bytes wrongLanguage(255);
    EXPECT_EQ(Raw(phone, 0x80, 0x06, 0x0304, 0x0407, wrongLanguage).status, TransferStatus::Stall);
    Bytes shortRead(4);
    EXPECT_EQ(Raw(phone, 0x80, 0x06, 0x0200, 0, shortRead).transferred, 4u);
}

TEST(SimPhone, ModemIgnoresOtherLinesAndTestMode)
{
    SimPhone phone;
    phone.ReceiveModemBytes("ATZ\r\nat+mode=9\r\n", 16);
    EXPECT_FALSE(phone.InTestMode());
    phone.ReceiveModemBytes("AT+MODE=8\r\n", 11);
    EXPECT_TRUE(phone.InTestMode());
    EXPECT_EQ(phone.Count().modeSwitches, 1);
    phone.ReceiveModemBytes("at+mode=8\r\n", 11);
    EXPECT_EQ(phone.Count().modeSwitches, 1);
}

TEST(SimPhone, VendorRequestsStallOutsideTestModeAndFailUnplugged)
{
    SimPhone phone;
    Bytes status(8);
    EXPECT_EQ(Raw(phone, 0xC1, 0x00, 0, 8, status).status, TransferStatus::Stall);
    phone.ReceiveModemBytes("at+mode=8\r\n", 11);
    EXPECT_EQ(Raw(phone, 0xC1, 0x00, 0, 8, status).status, TransferStatus::Ok);
    EXPECT_EQ(Raw(phone, 0xC1, 0x07, 0, 8, status).status, TransferStatus::Stall);
    EXPECT_EQ(Raw(phone, 0xC1, 0x00, 0, 3, status).status, TransferStatus::Stall);
    EXPECT_EQ(Raw(phone, 0xC1, 0x01, 1, 8, status).status, TransferStatus::Stall);  // no reply waits
    phone.Unplug();
    EXPECT_EQ(Raw(phone, 0xC1, 0x00, 0, 8, status).status, TransferStatus::NoDevice);
    EXPECT_EQ(Raw(phone, 0x80, 0x06, 0x0100, 0, status).status, TransferStatus::NoDevice);
}

TEST(SimPhone, RepliesQueueUpAndAreFetchedTogether)
{
    ManualClockScope clock;
    SimPhone::Options options;
    options.startInTestMode = true;
    SimPhone phone(options);
    Bytes first = CommandStage(1, 0x36, {0});
    Bytes second = CommandStage(2, 0x20, {0x01, 0x17, 0, 1, 0, 0, 0, 0});
    ASSERT_EQ(Raw(phone, 0x41, 0x02, 0, 8, first).status, TransferStatus::Ok);
    ASSERT_EQ(Raw(phone, 0x41, 0x02, 0, 8, second).status, TransferStatus::Ok);

    Bytes status(8);
    ASSERT_EQ(Raw(phone, 0xC1, 0x00, 0, 8, status).transferred, 8u);
    EXPECT_EQ(status[1], 2);
    const uint16_t size = wire::GetBe16(&status[2]);
    EXPECT_EQ(size, 8 + (8 + 40));

    Bytes fetch(size + 2 * 2 + 4);
    ASSERT_EQ(Raw(phone, 0xC1, 0x01, 2, 8, fetch).transferred, fetch.size());
    EXPECT_EQ(fetch[0], 2);
    EXPECT_EQ(wire::GetBe16(&fetch[4]), 8);
    EXPECT_EQ(wire::GetBe16(&fetch[6]), 48);
    EXPECT_EQ(wire::GetBe16(&fetch[8]), 0x8001);
    EXPECT_EQ(fetch[10] >> 4, 6);
    EXPECT_EQ(wire::GetBe16(&fetch[16]), 0x8002);
    EXPECT_EQ(fetch[18] >> 4, 8);
    EXPECT_EQ(wire::GetBe16(&fetch[20]), 40);
    // The record: a status byte, the name with a zero inside, 0xFF filler.
    const Bytes record(fetch.begin() + 24, fetch.end());
    EXPECT_EQ(record[0], 0);
    EXPECT_EQ(std::string(record.begin() + 1, record.begin() + 9), "Motorola");
    EXPECT_EQ(record[9], 0);
    EXPECT_EQ(std::string(record.begin() + 10, record.begin() + 14), " V3x");
    EXPECT_EQ(record.back(), 0xFF);

    EXPECT_EQ(Raw(phone, 0xC1, 0x00, 0, 8, status).transferred, 8u);
    EXPECT_EQ(status[1], 0);
}

TEST(SimPhone, MalformedCommandPacketsStall)
{
    SimPhone::Options options;
    options.startInTestMode = true;
    SimPhone phone(options);
    Bytes stage = CommandStage(1, 0x36, {0});
    stage[5] = 2;  // states 2 data bytes, carries 1
    EXPECT_EQ(Raw(phone, 0x41, 0x02, 0, 8, stage).status, TransferStatus::Stall);
    Bytes tiny(4);
    EXPECT_EQ(Raw(phone, 0x41, 0x02, 0, 8, tiny).status, TransferStatus::Stall);
    EXPECT_EQ(phone.Count().commands, 0);
}

class SimCameraTest : public ::testing::Test {
protected:
    SimCameraTest() : bus(Options()) { link.Attach(OpenTestInterface(bus)); }
    static SimPhone::Options Options()
    {
        SimPhone::Options options;
        options.startInTestMode = true;
        return options;
    }

    QImage Shoot(int resolution, int lighting = 1, int exposure = 3)
    {
        EXPECT_EQ(link.CameraOn(static_cast<uint8_t>(resolution)), phone::kOk);
        EXPECT_EQ(link.SetLighting(static_cast<uint8_t>(lighting)), phone::kOk);
        EXPECT_EQ(link.SetExposure(static_cast<uint8_t>(exposure)), phone::kOk);
        EXPECT_EQ(link.TakePicture("/a/temp.jpg"), phone::kOk);
        const auto file = bus.Phone().File("/a/temp.jpg");
        if (!file)
            return {};
        return QImage::fromData(file->data(), static_cast<int>(file->size()), "JPEG");
    }

    static double Mean(const QImage& image, int channel)
    {
        double sum = 0;
        const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
        for (int y = 0; y < rgb.height(); ++y) {
            const uchar* line = rgb.constScanLine(y);
            for (int x = 0; x < rgb.width(); ++x)
                sum += line[3 * x + channel];
        }
        return sum / (rgb.width() * rgb.height());
    }

    ManualClockScope clock;
    sim::SimBus bus;
    phone::PhoneLink link;
};

TEST_F(SimCameraTest, EveryResolutionShootsAJpegOfItsSize)
{
    for (int code = 0; code < 11; ++code) {
        const QImage image = Shoot(code);
        const sim::PictureSize size = sim::ResolutionSize(code);
        EXPECT_EQ(image.size(), QSize(size.width, size.height)) << code;
    }
    EXPECT_EQ(bus.Phone().Count().shots, 11);
    EXPECT_EQ(sim::ResolutionSize(11).width, 0);
}

TEST_F(SimCameraTest, LightingAndExposureChangeThePicture)
{
    const QImage plain = Shoot(1, 1, 3);
    const QImage bright = Shoot(1, 1, 5);
    const QImage dark = Shoot(1, 1, 1);
    const QImage night = Shoot(1, 6, 3);
    const QImage lamp = Shoot(1, 4, 3);
    const double plainLuma = Mean(plain, 0) + Mean(plain, 1) + Mean(plain, 2);
    EXPECT_GT(Mean(bright, 0) + Mean(bright, 1) + Mean(bright, 2), plainLuma * 1.2);
    EXPECT_LT(Mean(dark, 0) + Mean(dark, 1) + Mean(dark, 2), plainLuma * 0.7);
    EXPECT_LT(Mean(night, 0) + Mean(night, 1) + Mean(night, 2), plainLuma * 0.7);
    EXPECT_GT(Mean(lamp, 0) / Mean(lamp, 2), Mean(plain, 0) / Mean(plain, 2) * 1.3);
}

TEST_F(SimCameraTest, EveryShotIsANewFrame)
{
    const QImage first = Shoot(4);
    const QImage second = Shoot(4);
    EXPECT_NE(first, second);
}

TEST_F(SimCameraTest, GarbageAndHugePictures)
{
    bus.Phone().InjectFault(SimPhone::Fault::GarbagePicture);
    EXPECT_TRUE(Shoot(0).isNull());
    bus.Phone().InjectFault(SimPhone::Fault::HugePicture);
    EXPECT_EQ(link.TakePicture("/a/temp.jpg"), phone::kOk);
    EXPECT_GT(bus.Phone().File("/a/temp.jpg")->size(), phone::kMaxPictureFile);
    EXPECT_FALSE(Shoot(0).isNull());
    // A frame header without its height: only the file limit ends the read.
    bus.Phone().InjectFault(SimPhone::Fault::LongPicture);
    EXPECT_EQ(link.TakePicture("/a/temp.jpg"), phone::kOk);
    const auto file = bus.Phone().File("/a/temp.jpg");
    ASSERT_TRUE(file);
    EXPECT_GT(file->size(), phone::kMaxPictureFile);
    EXPECT_EQ(std::vector<uint8_t>(file->begin(), file->begin() + 10),
              (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 8, 0, 0, 0x02}));
}

TEST_F(SimCameraTest, LatencyOfExchangesAndShotsRunsOnTheClock)
{
    bus.Phone().SetLatency(3, 300);
    ASSERT_EQ(link.CameraOn(0), phone::kOk);
    const uint32_t start = clock->TickCount();
    ASSERT_EQ(link.TakePicture("/a/temp.jpg"), phone::kOk);
    // Three transfers at 3 ms each, the shot's 300 ms polled through, the
    // 1 ms before the fetch.
    const uint32_t elapsed = clock->TickCount() - start;
    EXPECT_GE(elapsed, 300u);
    EXPECT_LT(elapsed, 300u + 4 * 60);
    const uint32_t quick = clock->TickCount();
    ASSERT_EQ(link.SuspendPhone(), phone::kOk);
    EXPECT_EQ(clock->TickCount() - quick, 3u * 3 + 1);
}

TEST_F(SimCameraTest, RestartBringsThePhoneBackInItsNormalMode)
{
    ASSERT_EQ(link.RestartPhone(), phone::kOk);
    EXPECT_FALSE(bus.Phone().InTestMode());
    EXPECT_EQ(bus.FindModemPort(0x22B8), "/dev/ttyACM0");
    // The old handle is dead.
    EXPECT_EQ(link.SuspendPhone(), phone::kFailed);
}

TEST(SimBus, HandlesDieWhenThePhoneReenumerates)
{
    sim::SimBus bus;
    SimPhone& phone = *bus.AddPhone();
    EXPECT_EQ(bus.FindModemPort(0x22B8), "/dev/ttyACM0");
    EXPECT_EQ(bus.FindModemPort(0x1234), "");  // no modem of that make
    EXPECT_TRUE(bus.ListInterfaces().empty());  // a modem has no named vendor interface
    EXPECT_EQ(bus.Open("sim:usb-1-9"), nullptr);
    EXPECT_EQ(bus.Open("/dev/bus/usb/001/002"), nullptr);
    auto before = bus.Open("sim:usb-1-0");
    ASSERT_NE(before, nullptr);
    EXPECT_FALSE(before->ClaimInterface(8));  // normal mode: no such interface

    EXPECT_EQ(bus.WriteModemPort("/dev/ttyACM0", 0x1234, "at+mode=8\r\n", 11), -1);  // not its make
    EXPECT_FALSE(phone.InTestMode());
    EXPECT_EQ(bus.WriteModemPort("/dev/ttyACM0", 0x22B8, "at+mode=8\r\n", 11), 0);
    EXPECT_EQ(bus.FindModemPort(0x22B8), "");
    EXPECT_EQ(bus.WriteModemPort("/dev/ttyACM0", 0x22B8, "at+mode=8\r\n", 11), -1);
    const auto named = bus.ListInterfaces();
    ASSERT_EQ(named.size(), 1u);
    EXPECT_EQ(named[0].devicePath, "sim:usb-1-0");
    EXPECT_EQ(named[0].number, 8);
    Bytes descriptor(18);
    SetupPacket setup{0x80, 0x06, 0x0100, 0, 18};
    EXPECT_EQ(before->Transfer(setup, descriptor.data(), std::chrono::milliseconds(10)).status,
              TransferStatus::NoDevice);
    before->WaitForRemoval();  // already gone: returns at once

    auto after = bus.Open("sim:usb-1-0");
    EXPECT_TRUE(after->ClaimInterface(8));
    EXPECT_FALSE(after->ClaimInterface(3));
    EXPECT_EQ(after->Transfer(setup, descriptor.data(), std::chrono::milliseconds(10)).status, TransferStatus::Ok);

    std::thread waiter([&] { after->WaitForRemoval(); });
    phone.Unplug();
    waiter.join();
    EXPECT_TRUE(bus.ListInterfaces().empty());
    phone.Plug();
    EXPECT_EQ(bus.FindModemPort(0x22B8), "/dev/ttyACM0");
}

TEST(SimBus, CancelWaitEndsTheWaitNowOrNext)
{
    SimPhone::Options options;
    options.startInTestMode = true;
    sim::SimBus bus(options);
    auto pipe = bus.Open("sim:usb-1-0");
    std::thread waiter([&] { pipe->WaitForRemoval(); });
    pipe->CancelWait();
    waiter.join();
    pipe->WaitForRemoval();  // the cancel holds for the next wait too
    EXPECT_TRUE(bus.Phone().Plugged());
}

TEST(SimBus, DemoBusStartsInNormalModeWithAModemPort)
{
    auto bus = sim::MakeSimBus();
    EXPECT_EQ(bus->FindModemPort(0x22B8), "/dev/ttyACM0");
    EXPECT_TRUE(bus->ListInterfaces().empty());
}

}  // namespace
}  // namespace orv::test
