// The file, camera, suspend, restart and record commands against the
// simulated phone: the request bytes on the wire and each command's rule of
// success, including every kind of bad reply the phone can give.

#include "phone/PhoneLink.h"
#include "PhoneTestKit.h"
#include "sim/SimBus.h"

#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace orv::test {
namespace {

using phone::kFailed;
using phone::kOk;
using phone::kWrongReply;
using phone::PhoneLink;
using sim::SimPhone;
using Fault = SimPhone::Fault;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Pattern(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class CommandsTest : public ::testing::Test {
protected:
    CommandsTest() : bus(TestModeOptions())
    {
        link.Attach(std::make_unique<RecordingPipe>(OpenTestInterface(bus), log));
    }

    static SimPhone::Options TestModeOptions()
    {
        SimPhone::Options options;
        options.startInTestMode = true;
        options.model = "Motorola V3x";
        return options;
    }

    SimPhone& phone() { return bus.Phone(); }

    // Request data of the last command the phone received.
    Bytes LastRequest() { return phone().Commands().back().data; }
    uint16_t LastCode() { return phone().Commands().back().code; }

    ManualClockScope clock;
    sim::SimBus bus;
    std::shared_ptr<TransferLog> log = std::make_shared<TransferLog>();
    PhoneLink link;
};

TEST_F(CommandsTest, RequestBytesOfEveryCommand)
{
    EXPECT_EQ(link.CameraOn(10), kOk);
    EXPECT_EQ(LastCode(), 0x61);
    EXPECT_EQ(LastRequest(), (Bytes{0x00, 0x01, 0x0A}));

    EXPECT_EQ(link.SetLighting(0 + 1), kOk);
    EXPECT_EQ(LastRequest(), (Bytes{0x20, 0x01}));
    EXPECT_EQ(link.SetExposure(4 + 1), kOk);
    EXPECT_EQ(LastRequest(), (Bytes{0x21, 0x05}));

    EXPECT_EQ(link.TakePicture("/a/temp.jpg"), kOk);
    EXPECT_EQ(LastRequest(), Concat({0x01, 0x00}, Text("/a/temp.jpg")));

    EXPECT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    EXPECT_EQ(LastCode(), 0x4A);
    EXPECT_EQ(LastRequest(), Concat({0, 0, 0, 0, 0, 0, 0, 0}, Text("/a/temp.jpg")));
    EXPECT_EQ(LastRequest().size(), 19u);

    Bytes picture;
    int32_t total = 0;
    EXPECT_EQ(link.ReadPhoneFile(picture, total), kOk);
    EXPECT_EQ(LastRequest(), (Bytes{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00}));

    EXPECT_EQ(link.ClosePhoneFile(), kOk);
    EXPECT_EQ(LastRequest(), (Bytes{0x00, 0x00, 0x00, 0x04}));
    EXPECT_EQ(link.DeletePhoneFile("/a/temp.jpg"), kOk);
    EXPECT_EQ(LastRequest(), Concat({0x00, 0x00, 0x00, 0x05}, Text("/a/temp.jpg")));
    EXPECT_EQ(link.CameraOff(), kOk);
    EXPECT_EQ(LastRequest(), (Bytes{0x00, 0x00, 0x00}));

    EXPECT_EQ(link.SuspendPhone(), kOk);
    EXPECT_EQ(LastCode(), 0x36);
    EXPECT_EQ(LastRequest(), (Bytes{0x00}));

    // The restart packet carries no data: an 8-byte data stage, data length 0.
    log->Clear();
    EXPECT_EQ(link.RestartPhone(), kOk);
    const auto restart = log->Commands().at(0);
    EXPECT_EQ(restart.setup.length, 8);
    EXPECT_EQ(wire::GetBe16(&restart.data[2]), 0x22);
    EXPECT_EQ(wire::GetBe16(&restart.data[4]), 0);
    EXPECT_EQ(phone().Count().restarts, 1);
}

TEST_F(CommandsTest, FileOfTwentyFiveHundredBytesComesInThreeBlocksAndAnEndReply)
{
    const Bytes contents = Pattern(2500);
    phone().PutFile("/a/temp.jpg", contents);
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    log->Clear();
    Bytes picture;
    int32_t total = -5;
    std::vector<size_t> progress;
    ASSERT_EQ(link.ReadPhoneFile(picture, total, [&](size_t n) { progress.push_back(n); }), kOk);
    EXPECT_EQ(total, 2500);
    EXPECT_EQ(picture, contents);
    EXPECT_EQ(progress, (std::vector<size_t>{1024, 2048, 2500}));

    // The data lengths of the four replies as they came over the wire.
    std::vector<uint16_t> lengths;
    for (const auto& t : log->All())
        if (t.IsFetch())
            lengths.push_back(wire::GetBe16(&t.data[10]));
    EXPECT_EQ(lengths, (std::vector<uint16_t>{1024, 1024, 452, 1}));
}

TEST_F(CommandsTest, ReadAppendsToWhatTheDestinationHolds)
{
    phone().PutFile("/a/x.jpg", Pattern(10));
    ASSERT_EQ(link.OpenPhoneFile("/a/x.jpg", 0), kOk);
    Bytes picture = {0xAB};
    int32_t total = 0;
    ASSERT_EQ(link.ReadPhoneFile(picture, total), kOk);
    EXPECT_EQ(total, 10);
    ASSERT_EQ(picture.size(), 11u);
    EXPECT_EQ(picture[0], 0xAB);
}

TEST_F(CommandsTest, LargePictureIsReadWhole)
{
    ASSERT_EQ(link.CameraOn(10), kOk);  // UXGA
    ASSERT_EQ(link.TakePicture("/a/temp.jpg"), kOk);
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    Bytes picture;
    int32_t total = 0;
    ASSERT_EQ(link.ReadPhoneFile(picture, total), kOk);
    EXPECT_GT(total, 128 * 1024);
    EXPECT_EQ(picture, *phone().File("/a/temp.jpg"));
    const QImage image = QImage::fromData(picture.data(), static_cast<int>(picture.size()), "JPEG");
    EXPECT_EQ(image.size(), QSize(1600, 1200));
}

TEST_F(CommandsTest, SixteenMebibytesIsTheLargestFileThatDownloads)
{
    constexpr size_t kLimit = 16u * 1024u * 1024u;
    struct Case {
        size_t size;
        int result;
        size_t kept;  // the phone never leaves one byte for a last block: 1023, then 2 bytes
    };
    for (const Case c : {Case{kLimit, kOk, kLimit}, Case{kLimit + 1, kFailed, kLimit - 1}}) {
        phone().PutFile("/a/big.jpg", Pattern(c.size));
        ASSERT_EQ(link.OpenPhoneFile("/a/big.jpg", 0), kOk);
        Bytes picture;
        int32_t total = 0;
        EXPECT_EQ(link.ReadPhoneFile(picture, total), c.result) << c.size;
        EXPECT_EQ(static_cast<size_t>(total), c.kept) << c.size;
        EXPECT_EQ(picture.size(), c.kept) << c.size;
        log->Clear();
        ASSERT_EQ(link.ClosePhoneFile(), kOk);
    }
}

// A JPEG segment: FF, the marker, a length that counts itself, the data.
Bytes Segment(uint8_t marker, const Bytes& data)
{
    const size_t length = data.size() + 2;
    return Concat({0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}, data);
}

// The start of a JPEG of width x height: SOI, a JFIF segment (20 bytes in
// all so far), the frame header with its marker at bytes 20 and 21.
Bytes PictureStart(int width, int height)
{
    const Bytes jfif = Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    const Bytes frame = Segment(0xC0, {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                                       static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), 3, 1, 0x22, 0,
                                       2, 0x11, 1, 3, 0x11, 1});
    return Concat(Concat({0xFF, 0xD8}, jfif), frame);
}

Bytes Filled(Bytes start, size_t size)
{
    start.resize(size, 0x11);
    return start;
}

// A picture is read only as far as its first bytes allow: one that cannot
// be a picture stops at the block that shows it, one longer than its frame
// header allows at four bytes a pixel (and 64 KiB) beyond it.
TEST_F(CommandsTest, APictureIsRefusedAsSoonAsItsFirstBytesShowItCannotBeOne)
{
    constexpr size_t kMiB = 1024 * 1024;
    const Bytes vga = PictureStart(640, 480);
    Bytes comments{0xFF, 0xD8};
    for (int i = 0; i < 17; ++i)
        comments = Concat(comments, Segment(0xFE, Bytes(65533, 'c')));
    const struct {
        const char* what;
        Bytes file;
        int result;
        size_t kept;
    } cases[] = {
        // 22 + 65536 + 640 * 480 * 4 = 1,294,358 bytes at most: 1264 blocks.
        {"VGA by its frame header, 16 MiB long", Filled(PictureStart(640, 480), 16 * kMiB), kFailed, 1294336},
        {"VGA by its frame header, 1 MiB long", Filled(PictureStart(640, 480), kMiB), kOk, kMiB},
        {"UXGA, 7 MiB long", Filled(PictureStart(1600, 1200), 7 * kMiB), kOk, 7 * kMiB},
        {"a frame too large to tell", Filled(PictureStart(65535, 65535), 2 * kMiB), kOk, 2 * kMiB},
        {"a height that comes later", Filled(PictureStart(640, 0), 2 * kMiB), kOk, 2 * kMiB},
        {"fill bytes before a marker", Filled(Concat({0xFF, 0xD8, 0xFF, 0xFF}, Bytes(vga.begin() + 2, vga.end())), 3 * kMiB),
         kFailed, 1294336},
        {"noise after its start", Filled({0xFF, 0xD8, 0x3C, 0x91}, 16 * kMiB), kFailed, 1024},
        {"a scan before any frame header", Filled(Concat({0xFF, 0xD8}, Segment(0xDA, Bytes(10, 0))), 5000), kFailed,
         1024},
        {"its end before any frame header", Filled({0xFF, 0xD8, 0xFF, 0xD9}, 5000), kFailed, 1024},
        {"a segment shorter than its length", Filled({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}, 5000), kFailed, 1024},
        // The frame header would come after 17 comments of 65537 bytes: past
        // 1 MiB the picture is refused at the block beyond the 16th.
        {"a frame header kept back", Filled(Concat(comments, vga), 2 * kMiB), kFailed, 1049600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        phone().PutFile("/a/temp.jpg", c.file);
        ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
        Bytes picture;
        int32_t total = 0;
        EXPECT_EQ(link.ReadPhoneFile(picture, total), c.result);
        EXPECT_EQ(static_cast<size_t>(total), c.kept);
        EXPECT_EQ(picture.size(), c.kept);
        log->Clear();
        ASSERT_EQ(link.ClosePhoneFile(), kOk);
    }
}

TEST_F(CommandsTest, UnplugDuringTheReadFailsItAndKeepsWhatArrived)
{
    phone().PutFile("/a/temp.jpg", Pattern(5000));
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    phone().UnplugAtCommand(3);
    Bytes picture;
    int32_t total = 0;
    EXPECT_EQ(link.ReadPhoneFile(picture, total), kFailed);
    EXPECT_EQ(total, 2048);
    EXPECT_EQ(picture.size(), 2048u);
    // Afterwards every command fails at once.
    const uint32_t start = clock->TickCount();
    EXPECT_EQ(link.CameraOff(), kFailed);
    EXPECT_LT(clock->TickCount() - start, 5u);
}

TEST_F(CommandsTest, BlockAnsweredWithoutDataFailsTheRead)
{
    phone().PutFile("/a/temp.jpg", Pattern(3000));
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    Bytes picture;
    int32_t total = 0;
    ASSERT_EQ(link.ReadPhoneFile(picture, total, [&](size_t n) {
        if (n == 1024)
            phone().InjectFault(Fault::NoData);
    }),
              kFailed);
    // The second block did not reuse the first block's length or data.
    EXPECT_EQ(total, 1024);
}

TEST_F(CommandsTest, OversizedBlockIsTakenAsItCame)
{
    phone().PutFile("/a/temp.jpg", Pattern(9000));
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    phone().InjectFault(Fault::OversizedBlock);
    Bytes picture;
    int32_t total = 0;
    ASSERT_EQ(link.ReadPhoneFile(picture, total), kOk);
    EXPECT_EQ(picture, Pattern(9000));
}

TEST_F(CommandsTest, EveryBadReplyOfThePhone)
{
    struct Case {
        Fault fault;
        int suspendResult;  // what the raw exchange gives
    };
    const Case cases[] = {
        {Fault::WrongSequence, kWrongReply}, {Fault::NotAReply, kFailed},      {Fault::BadKind, kFailed},
        {Fault::LengthMismatch, kWrongReply}, {Fault::OversizedData, kFailed}, {Fault::BadFirstByte, kFailed},
        {Fault::NoReply, kFailed},            {Fault::StatusTooMany, kFailed}, {Fault::Stall, kFailed},
        {Fault::NoData, kOk},
    };
    for (const Case& c : cases) {
        phone().InjectFault(c.fault);
        EXPECT_EQ(link.SuspendPhone(), c.suspendResult) << static_cast<int>(c.fault);
        // The link is usable again for the next command.
        EXPECT_EQ(link.SuspendPhone(), kOk) << static_cast<int>(c.fault);
    }
}

TEST_F(CommandsTest, NoReplyGivesUpAfterFortySeconds)
{
    phone().InjectFault(Fault::NoReply);
    const uint32_t start = clock->TickCount();
    EXPECT_EQ(link.SetLighting(2), kFailed);
    EXPECT_GE(clock->TickCount() - start, 40000u);
    EXPECT_LE(clock->TickCount() - start, 40002u);
}

TEST_F(CommandsTest, CameraCommandsNeedExactlyOneZeroByte)
{
    EXPECT_EQ(link.TakePicture("/a/temp.jpg"), kFailed);  // camera off: the phone answers 1
    EXPECT_EQ(link.CameraOn(11), kFailed);                // no such resolution: answer 1
    phone().InjectFault(Fault::NoData);
    EXPECT_EQ(link.CameraOn(0), kFailed);  // an answer without data
    EXPECT_EQ(link.CameraOn(0), kOk);
    phone().InjectFault(Fault::WrongSequence);
    EXPECT_EQ(link.TakePicture("/a/temp.jpg"), kFailed);
    EXPECT_EQ(link.TakePicture("/a/temp.jpg"), kOk);
    phone().InjectFault(Fault::LengthMismatch);
    EXPECT_EQ(link.CameraOff(), kFailed);
}

TEST_F(CommandsTest, CloseAndDeleteFailOnlyOnAnAnswerOfOne)
{
    EXPECT_EQ(link.ClosePhoneFile(), kFailed);  // nothing open: the phone answers 1
    EXPECT_EQ(link.DeletePhoneFile("/a/none.jpg"), kFailed);
    phone().PutFile("/a/temp.jpg", Pattern(10));
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    phone().InjectFault(Fault::NoData);  // an answer without data counts as success
    EXPECT_EQ(link.ClosePhoneFile(), kOk);
    EXPECT_EQ(link.DeletePhoneFile("/a/temp.jpg"), kOk);
    EXPECT_FALSE(phone().File("/a/temp.jpg"));
    phone().InjectFault(Fault::WrongSequence);
    EXPECT_EQ(link.ClosePhoneFile(), kFailed);
}

TEST_F(CommandsTest, OpenFailsOnlyWhenTheExchangeFails)
{
    EXPECT_EQ(link.OpenPhoneFile("/a/missing.jpg", 0), kFailed);
    phone().PutFile("/a/temp.jpg", Pattern(10));
    phone().InjectFault(Fault::NoData);
    EXPECT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    phone().InjectFault(Fault::WrongSequence);
    EXPECT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kFailed);
}

TEST_F(CommandsTest, ModelNameComesFromTheRecord)
{
    std::string model;
    ASSERT_TRUE(phone::ReadModelName(link, &model));
    EXPECT_EQ(model, "Motorola V3x");
    EXPECT_EQ(LastRequest(), (Bytes{0x01, 0x17, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(LastCode(), 0x20);

    phone().InjectFault(Fault::WrongSequence);
    EXPECT_FALSE(phone::ReadModelName(link, &model));
    phone().InjectFault(Fault::NoData);
    EXPECT_FALSE(phone::ReadModelName(link, &model));
}

TEST_F(CommandsTest, RecordIsCutToTheDestination)
{
    uint8_t record[5] = {};
    EXPECT_EQ(link.ReadPhoneRecord(0x0117, 1, 0, 0, record, sizeof record), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record), 5), "Motor");
    EXPECT_EQ(link.ReadPhoneRecord(0x0999, 1, 0, 0, record, sizeof record), kFailed);
}

TEST(ModelName, BuiltByTheRecordRules)
{
    const uint8_t named[] = {'V', 0, '3', 'x', 0xFF, 'z', 'z'};
    EXPECT_EQ(phone::ModelNameFromRecord(named, sizeof named), "V3x");
    EXPECT_EQ(phone::ModelNameFromRecord(named, 0), "");
    const std::string longName(40, 'A');
    EXPECT_EQ(phone::ModelNameFromRecord(reinterpret_cast<const uint8_t*>(longName.data()), longName.size()),
              std::string(31, 'A'));
}

TEST(ModelName, OneByteRecordGivesNoBytesAndAnEmptyName)
{
    ManualClockScope clock;
    PhoneLink link;
    auto pipe = std::make_unique<ScriptedPipe>();
    pipe->responder = [](const Bytes& c) { return DataReply(c, {0x00}); };
    link.Attach(std::move(pipe));
    uint8_t record[256];
    EXPECT_EQ(link.ReadPhoneRecord(0x0117, 1, 0, 0, record, sizeof record), 0);
    std::string model = "old";
    ASSERT_TRUE(phone::ReadModelName(link, &model));
    EXPECT_EQ(model, "");
}

TEST(NotConnected, EveryCommandFailsAtOnce)
{
    PhoneLink link;
    Bytes picture;
    int32_t total = 3;
    uint8_t record[8];
    std::string model;
    EXPECT_FALSE(link.IsConnected());
    EXPECT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kFailed);
    EXPECT_EQ(link.ReadPhoneFile(picture, total), kFailed);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(link.ClosePhoneFile(), kFailed);
    EXPECT_EQ(link.DeletePhoneFile("/a/temp.jpg"), kFailed);
    EXPECT_EQ(link.CameraOn(0), kFailed);
    EXPECT_EQ(link.TakePicture("/a/temp.jpg"), kFailed);
    EXPECT_EQ(link.CameraOff(), kFailed);
    EXPECT_EQ(link.SetLighting(1), kFailed);
    EXPECT_EQ(link.SetExposure(1), kFailed);
    EXPECT_EQ(link.SuspendPhone(), kFailed);
    EXPECT_EQ(link.RestartPhone(), kFailed);
    EXPECT_EQ(link.SendDetach(), kFailed);
    EXPECT_EQ(link.ReadPhoneRecord(0x0117, 1, 0, 0, record, sizeof record), kFailed);
    EXPECT_FALSE(phone::ReadModelName(link, &model));
    EXPECT_EQ(link.SequenceCounter(), 0);
}

TEST_F(CommandsTest, CommandsFromTwoThreadsNeverMix)
{
    phone().PutFile("/a/temp.jpg", Pattern(200 * 1024));
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    std::atomic<bool> reading{true};
    int suspendFailures = 0;
    std::thread other([&] {
        while (reading)
            suspendFailures += link.SuspendPhone() == kOk ? 0 : 1;
    });
    Bytes picture;
    int32_t total = 0;
    const int result = link.ReadPhoneFile(picture, total);
    reading = false;
    other.join();
    EXPECT_EQ(result, kOk);
    EXPECT_EQ(picture, Pattern(200 * 1024));
    EXPECT_EQ(suspendFailures, 0);
}

TEST(CommandTurns, ACommandWaitsForTheBlockOnTheWireNotForTheWholeFile)
{
    ManualClockScope clock;
    PhoneLink link;
    auto owned = std::make_unique<ScriptedPipe>();
    ScriptedPipe& pipe = *owned;
    link.Attach(std::move(owned));
    int reads = 0;
    std::thread other;
    // A file of 20 blocks. While the third is on the wire, another thread
    // asks for a command and queues for the link.
    pipe.responder = [&](const Bytes& command) {
        if (command.size() != 16 || command[11] != 1)  // not a block read
            return DataReply(command, {0});
        if (++reads == 3) {
            other = std::thread([&] { link.SuspendPhone(); });
            EXPECT_TRUE(QTest::qWaitFor([&] { return link.CommandsWaiting() == 1; }, 10000));
        }
        return DataReply(command, reads <= 20 ? Pattern(1024) : Bytes{0});
    };
    Bytes picture;
    int32_t total = 0;
    EXPECT_EQ(link.ReadPhoneFile(picture, total), kOk);
    ASSERT_TRUE(other.joinable());
    other.join();
    EXPECT_EQ(total, 20 * 1024);
    // Three blocks, the suspend, the other seventeen and the end reply.
    std::vector<uint16_t> codes;
    for (const auto& command : pipe.log->Commands())
        codes.push_back(wire::GetBe16(&command.data[2]));
    std::vector<uint16_t> expected(22, 0x4A);
    expected[3] = 0x36;
    EXPECT_EQ(codes, expected);
}

TEST_F(CommandsTest, LateDetachReachesOnlyItsOwnConnection)
{
    const std::shared_ptr<ControlPipe> first = link.SharedDevice();  // kept: its address stays its own
    // The link went on to another connection since the detach was asked for.
    link.Attach(std::make_unique<RecordingPipe>(OpenTestInterface(bus), log));
    log->Clear();
    EXPECT_EQ(link.SendDetach(first.get()), kFailed);
    EXPECT_TRUE(log->All().empty());
    EXPECT_EQ(link.SendDetach(link.DeviceHandle()), kOk);
    EXPECT_EQ(phone().Count().detaches, 1);
}

TEST_F(CommandsTest, FileReadStopsWhenAnotherPhoneTakesTheLinkBetweenBlocks)
{
    phone().PutFile("/a/temp.jpg", Pattern(8 * 1024));
    ASSERT_EQ(link.OpenPhoneFile("/a/temp.jpg", 0), kOk);
    Bytes picture;
    int32_t total = 0;
    bool replaced = false;
    EXPECT_EQ(link.ReadPhoneFile(picture, total,
                                 [&](size_t) {
                                     if (!replaced)
                                         link.Attach(std::make_unique<RecordingPipe>(OpenTestInterface(bus), log));
                                     replaced = true;
                                 }),
              kFailed);
    EXPECT_EQ(total, 1024);  // the first block, from the phone the read began with
}

}  // namespace
}  // namespace orv::test
