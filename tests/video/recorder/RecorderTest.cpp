// The web-camera recorder against the simulated phone, with a clock the test
// drives: the files it records, read back byte for byte, with libavformat and
// with ffprobe; the statuses, messages and frames the window gets; the
// commands the phone receives; and every way a recording starts or ends.

#include "AviReadBack.h"
#include "TextRecorderView.h"
#include "video/Recorder.h"
#include "video/Retention.h"
#include "platform/Clock.h"
#include "video/CodecCatalogue.h"
#include "platform/ControlPipe.h"
#include "tests/support/FaultyPipe.h"
#include "capture/Jpeg.h"
#include "phone/PhoneLink.h"
#include "capture/DateStamp.h"
#include "config/Settings.h"
#include "sim/SimBus.h"
#include "sim/SimPhone.h"
#include "tests/support/TestEnv.h"
#include "platform/UiThread.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <mutex>
#include <thread>

#include <sys/resource.h>

#include <gtest/gtest.h>

namespace {

using orv::sim::SimPhone;
using orv::test::ReadPackets;
using orv::test::ReadStreamHeader;
using orv::test::RunFfprobe;
using orv::video::CodecOption;
using orv::video::Recorder;
using Bytes = std::vector<uint8_t>;

const QString kStr3 = QStringLiteral("Статус: не занят.");
const QString kStr8 = QStringLiteral("Телефон не подключён!");
const QString kStr9 = QStringLiteral("Инициализация камеры невозможна!");
const QString kStr11 = QStringLiteral("Инициализация камеры...");
const QString kStr12 = QStringLiteral("Статус: Снимаю");
const QString kStr15 = QStringLiteral("Деинициализация камеры...");
const QString kStr17 = QStringLiteral("Не могу создать видео файл!");
const QString kStr18 = QStringLiteral("Ошибка камеры!");
const QString kStr19 = QStringLiteral("Формат не поддерживается кодеком!");
const QString kStr20 = QStringLiteral("Удаляю...");
const QString kStr21 = QStringLiteral("Время съёмки:");

constexpr uint16_t kFile = 0x4A;
constexpr uint16_t kCamera = 0x61;
const Bytes kCameraOn{0x00, 0x01};
const Bytes kShoot{0x01, 0x00};
const Bytes kCameraOff{0x00, 0x00, 0x00};
const Bytes kOpen{0, 0, 0, 0};
const Bytes kRead{0, 0, 0, 1};
const Bytes kClose{0, 0, 0, 4};
const Bytes kDelete{0, 0, 0, 5};
const std::string kPhonePath = "/a/temp.jpg";

// 6 December 2026, 14:30:15 UTC (the tests run in UTC).
constexpr std::time_t kNow = 1796567415;
const QString kStamp = QStringLiteral("06-12-26_1430");

Bytes WithPath(Bytes head, const std::string& path)
{
    head.insert(head.end(), path.begin(), path.end());
    return head;
}

// Time as the recorder sees it: only the waits it asks for take time. The
// link's one-millisecond polls cost nothing, so a capture lasts exactly its
// "Timeout" and the measured capture times are exact.
class WaitClock final : public orv::Clock {
public:
    uint32_t TickCount() override { return ticks_.load(); }
    void Sleep(uint32_t milliseconds) override
    {
        if (milliseconds > 1) {
            ticks_ += milliseconds;
            slept_ += milliseconds;
            if (onWait)
                onWait(slept_.load());
        }
        std::this_thread::yield();
    }
    std::time_t Now() override { return kNow + static_cast<std::time_t>((ticks_.load() - start_.load()) / 1000); }

    void Reset(uint32_t startTicks)
    {
        ticks_ = startTicks;
        start_ = startTicks;
        slept_ = 0;
        onWait = nullptr;
    }
    uint64_t Slept() const { return slept_.load(); }
    // Called on the waiting thread after each wait, with the total waited.
    std::function<void(uint64_t)> onWait;

private:
    std::atomic<uint32_t> ticks_{0};
    std::atomic<uint32_t> start_{0};
    std::atomic<uint64_t> slept_{0};
};

using orv::test::FaultyPipe;

// The window as the recorder sees it.
class RecorderView final : public orv::test::TextRecorderView {
public:
    struct Status {
        QString work;
        QString time;
        uint32_t ticks = 0;  // the clock's tick count when it was shown
    };
    struct Frame {
        QImage image;
        bool show = false;
        bool fit = false;
        std::optional<Bytes> phoneFile;  // the phone's picture file as the frame arrives
        std::time_t now = 0;
    };

    explicit RecorderView(SimPhone& phone) : phone_(phone) {}

    void ShowWorkStatus(const QString& text) override
    {
        Check();
        statuses.push_back({text, {}, orv::TheClock().TickCount()});
    }
    void ShowRecordingTime(const QString& label, const QString& time) override
    {
        Check();
        if (!statuses.empty())
            statuses.back().time = label + time;
    }
    void ShowMessageText(const QString& text) override
    {
        Check();
        messages << text;
    }
    void ShowFrame(const QImage& frame, bool show, bool fit) override
    {
        Check();
        frames.push_back({frame, show, fit, phone_.File(kPhonePath), orv::TheClock().Now()});
        if (onFrame)
            onFrame(static_cast<int>(frames.size()));
    }
    void RecorderMotion(const orv::video::MotionEvent& event) override
    {
        Check();
        motions.push_back(event);
    }

    std::vector<QString> Works() const
    {
        std::vector<QString> works;
        for (const Status& status : statuses)
            works.push_back(status.work);
        return works;
    }

    std::vector<Status> statuses;
    QStringList messages;
    std::vector<Frame> frames;
    std::vector<orv::video::MotionEvent> motions;
    bool allOnUiThread = true;
    // Called with the number of frames so far; the recorder waits meanwhile.
    std::function<void(int)> onFrame;

private:
    void Check() { allOnUiThread = allOnUiThread && orv::IsUiThread(); }
    SimPhone& phone_;
};

orv::video::CodecCatalogue& Catalogue()
{
    static auto* codecs = new orv::video::CodecCatalogue;
    return *codecs;
}

int EncoderIndex(const char* name) { return Catalogue().IndexOf(QLatin1String(name)); }

class RecorderTest : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }

    void SetUp() override
    {
        orv::test::FreshSettingsFile();
        clock_.Reset(1000);
        orv::SetClock(&clock_);
        AttachPhone();
        view_ = std::make_unique<RecorderView>(Phone());
        ASSERT_TRUE(folder_.isValid());
        file_ = folder_.filePath(QStringLiteral("record.avi"));
        settings_.SetAviTempName(file_);
        settings_.SetCameraInitTime(0);
        settings_.SetTimeout(1000);
    }

    void TearDown() override
    {
        link_.Close();
        orv::SetClock(nullptr);
    }

    // A simulated phone that has shot no picture yet, on the link.
    void AttachPhone()
    {
        link_.Close();
        SimPhone::Options options;
        options.startInTestMode = true;
        bus_ = std::make_unique<orv::sim::SimBus>(options);
        rules_ = std::make_shared<FaultyPipe::Rules>();
        const auto interfaces = bus_->ListInterfaces();
        ASSERT_EQ(interfaces.size(), 1u);
        auto pipe = bus_->Open(interfaces.front().devicePath);
        ASSERT_TRUE(pipe);
        link_.Attach(std::make_unique<FaultyPipe>(std::move(pipe), rules_));
        ASSERT_TRUE(link_.IsConnected());
    }

    SimPhone& Phone() { return bus_->Phone(0); }

    void Fail(uint16_t code, Bytes prefix, int times = 1)
    {
        std::lock_guard lock(rules_->mutex);
        rules_->rules.push_back({code, std::move(prefix), 0, times});
    }

    // Makes a recorder, stops it once it has shown stopAfter frames (0: it
    // is never stopped), and waits, handling the window's events, until it
    // has ended and freed itself (its file complete). The view keeps what
    // this recording showed.
    void Record(int stopAfter = 0, bool automatic = false)
    {
        view_->statuses.clear();
        view_->messages.clear();
        view_->frames.clear();
        view_->motions.clear();
        const auto hook = view_->onFrame;
        view_->onFrame = [this, hook, stopAfter](int frames) {
            if (hook)
                hook(frames);
            if (frames == stopAfter)
                recorder_.load()->Stop();
        };
        bool finished = false;
        QEventLoop loop;
        recorder_ = new Recorder(*view_, settings_, link_, Catalogue(), [&] {
            finished = orv::IsUiThread();
            loop.quit();
        }, QString(), Recorder::Recording::FromSettings, automatic);
        // A safety net, never reached when all is well: a recorder that does
        // not end is stopped, so that it does not outlive the test.
        bool overdue = false;
        QTimer::singleShot(120000, &loop, [&] {
            overdue = true;
            recorder_.load()->Stop();
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        });
        if (!finished)
            loop.exec();
        ASSERT_TRUE(finished) << "the recorder did not end";
        EXPECT_FALSE(overdue) << "the recorder had to be stopped";
        ASSERT_TRUE(Recorder::WaitUntilNoneAlive(std::chrono::seconds(30))) << "the recorder did not free itself";
        ASSERT_TRUE(orv::test::WaitForWorkersToEnd()) << "the recorder's thread still runs";
        recorder_ = nullptr;
        view_->onFrame = hook;
        EXPECT_TRUE(view_->allOnUiThread);
    }

    std::vector<std::pair<uint16_t, Bytes>> Received() const
    {
        std::vector<std::pair<uint16_t, Bytes>> received;
        for (const auto& command : bus_->Phone(0).Commands())
            received.emplace_back(command.code, command.data);
        return received;
    }
    bool Received(uint16_t code, const Bytes& prefix) const
    {
        for (const auto& [c, data] : Received())
            if (c == code && data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin()))
                return true;
        return false;
    }
    // The last command the phone received.
    std::pair<uint16_t, Bytes> LastReceived() const
    {
        const auto received = Received();
        return received.empty() ? std::pair<uint16_t, Bytes>{} : received.back();
    }

    WaitClock clock_;
    orv::Settings settings_;
    std::unique_ptr<orv::sim::SimBus> bus_;
    std::shared_ptr<FaultyPipe::Rules> rules_;
    orv::phone::PhoneLink link_;
    std::unique_ptr<RecorderView> view_;
    std::atomic<Recorder*> recorder_{nullptr};
    QTemporaryDir folder_;
    QString file_;
};

// --- recordings read back ---

struct EncoderCase {
    const char* name;  // the encoder's short name
    const char* fourcc;
    std::vector<bool> keyFrames;  // of 12 frames
};

TEST_F(RecorderTest, EachEncoderRecordsAFileThatReadsBackExactly)
{
    const std::vector<bool> all(12, true);
    std::vector<bool> first(12, false);
    first[0] = true;
    std::vector<bool> everyTenth = first;
    everyTenth[10] = true;
    const EncoderCase cases[] = {
        {"mjpeg", "MJPG", all},
        {"mpeg4", "FMP4", first},
        {"libx264", "H264", everyTenth},
        {"huffyuv", "HFYU", all},
    };
    settings_.SetTimeout(1250);
    for (const EncoderCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int index = EncoderIndex(c.name);
        ASSERT_GE(index, 0) << "not in the catalogue";
        settings_.SetCodecIndex(index);
        Record(12);
        EXPECT_TRUE(view_->messages.isEmpty()) << view_->messages.join(QLatin1Char('|')).toStdString();
        ASSERT_EQ(view_->frames.size(), 12u);

        const auto header = ReadStreamHeader(file_);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->fccType, QStringLiteral("vids"));
        EXPECT_EQ(header->fccHandler, QLatin1String(c.fourcc));
        EXPECT_EQ(header->scale, 10000u);
        EXPECT_EQ(header->rate, 8000u);
        EXPECT_EQ(header->quality, 10000);
        EXPECT_EQ(header->length, 12u);
        EXPECT_EQ(std::vector<int16_t>(header->frame, header->frame + 4), (std::vector<int16_t>{0, 0, 640, 480}));
        EXPECT_EQ(header->bitmapWidth, 640);
        EXPECT_EQ(header->bitmapHeight, 480);
        EXPECT_EQ(header->bitmapCompression, QLatin1String(c.fourcc));

        const auto packets = ReadPackets(file_);
        ASSERT_TRUE(packets.opened);
        EXPECT_EQ(packets.streams, 1);
        EXPECT_EQ(packets.width, 640);
        EXPECT_EQ(packets.height, 480);
        EXPECT_EQ(packets.codecTag, QLatin1String(c.fourcc));
        EXPECT_EQ(packets.keyFrames, c.keyFrames);

        const auto probe = RunFfprobe(file_);
        ASSERT_TRUE(probe.ran);
        EXPECT_EQ(probe.frames, 12);
        EXPECT_EQ(probe.width, 640);
        EXPECT_EQ(probe.height, 480);
        EXPECT_EQ(probe.codecTag, QLatin1String(c.fourcc));
        EXPECT_EQ(probe.averageRate, QStringLiteral("4/5"));
    }
}

struct RateCase {
    const char* what;
    bool autoFps;
    double fps;           // "Fps" at the start
    uint32_t startTicks;  // the tick count when the recorder is made
    int firstTimeout;     // "Timeout" of the first capture
    uint32_t rate;        // expected dwRate over dwScale 10000
    int cameraInitTime = 0;  // "CameraInitTime": not part of the first capture
};

TEST_F(RecorderTest, FirstCaptureOrTheFixedRateSetsTheStreamRate)
{
    const RateCase cases[] = {
        {"1500 ms", true, 1.0, 1000, 1500, 6666},
        {"1250 ms", true, 1.0, 1000, 1250, 8000},
        {"1250 ms across the tick count's wrap", true, 1.0, 0xFFFFFFFFu - 600, 1250, 8000},
        {"1250 ms after the camera's start of 4 s", true, 1.0, 1000, 1250, 8000, 4000},
        {"0 ms counts as 1 ms", true, 1.0, 1000, 0, 10000000},
        {"fixed 2.5", false, 2.5, 1000, 1250, 25000},
        {"fixed 0", false, 0.0, 1000, 1250, 10000},
        {"fixed -3", false, -3.0, 1000, 1250, 10000},
        {"fixed, not a number", false, std::numeric_limits<double>::quiet_NaN(), 1000, 1250, 10000},
    };
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    for (const RateCase& c : cases) {
        SCOPED_TRACE(c.what);
        clock_.Reset(c.startTicks);
        settings_.SetAutoFps(c.autoFps);
        settings_.SetFps(c.fps);
        settings_.SetTimeout(c.firstTimeout);
        settings_.SetCameraInitTime(c.cameraInitTime);
        // Later captures take longer, and the fixed rate changes once the
        // stream exists: neither touches the stream any more.
        view_->onFrame = [this](int frames) {
            if (frames == 1)
                settings_.SetTimeout(3000);
            if (frames == 2)
                settings_.SetFps(7.0);
        };
        Record(3);
        view_->onFrame = nullptr;
        const auto header = ReadStreamHeader(file_);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->rate, c.rate);
        EXPECT_EQ(header->scale, 10000u);
        EXPECT_EQ(header->length, 3u);
    }
}

// --- the course of a recording ---

TEST_F(RecorderTest, OneFrameGoesThroughTheStatusesCommandsAndRecordingTime)
{
    settings_.SetCameraInitTime(65000);
    settings_.SetJpgType(0);
    Record(1);
    EXPECT_TRUE(view_->messages.isEmpty());
    const std::vector<RecorderView::Status> expected = {
        {kStr11, kStr21 + QStringLiteral(" 00:00:00")}, {kStr12, kStr21 + QStringLiteral(" 00:01:05")},
        {kStr20, kStr21 + QStringLiteral(" 00:01:06")}, {kStr15, kStr21 + QStringLiteral(" 00:01:06")},
        {kStr3, kStr21 + QStringLiteral(" 00:01:06")},
    };
    ASSERT_EQ(view_->statuses.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(view_->statuses[i].work, expected[i].work) << i;
        EXPECT_EQ(view_->statuses[i].time, expected[i].time) << i;
    }

    ASSERT_EQ(view_->frames.size(), 1u);
    ASSERT_TRUE(view_->frames[0].phoneFile);
    const size_t fileSize = view_->frames[0].phoneFile->size();
    std::vector<std::pair<uint16_t, Bytes>> commands = {
        {kCamera, {0x00, 0x01, 0x00}},  // camera on, picture type 0
        {kCamera, {0x20, 0x02}},        // lighting 1 + 1
        {kCamera, {0x21, 0x03}},        // exposure 2 + 1
        {kCamera, WithPath(kShoot, kPhonePath)},
        {kFile, kClose},
        {kFile, WithPath({0, 0, 0, 0, 0, 0, 0, 0}, kPhonePath)},
    };
    for (size_t block = 0; block <= (fileSize + 1023) / 1024; ++block)
        commands.push_back({kFile, {0, 0, 0, 1, 0, 0, 0x04, 0x00}});
    commands.push_back({kFile, kClose});
    commands.push_back({kFile, WithPath(kDelete, kPhonePath)});
    commands.push_back({kCamera, kCameraOff});
    EXPECT_EQ(Received(), commands);
    EXPECT_FALSE(Phone().File(kPhonePath));
    EXPECT_FALSE(Phone().CameraOn());
}

// With "RecordToFile" off the frame loop is the same, but no file is made
// and no encoder is even looked up: an index past the catalogue, which stops
// a recording, does not matter.
TEST_F(RecorderTest, WithoutRecordingToFileFramesComeButNoFileNorEncoder)
{
    struct Row {
        const char* what;
        bool recordToFile;
        bool encoderThere;
        int frames;
        QStringList messages;
        bool fileMade;
    };
    const Row rows[] = {
        {"off, an encoder chosen", false, true, 2, {}, false},
        {"off, no encoder at the chosen index", false, false, 2, {}, false},
        {"on, no encoder at the chosen index", true, false, 0, {kStr19}, false},
        {"on, an encoder chosen", true, true, 2, {}, true},
    };
    EXPECT_TRUE(orv::Settings().GetRecordToFile()) << "recording to a file is the default";
    for (const Row& row : rows) {
        QFile::remove(file_);
        settings_.SetRecordToFile(row.recordToFile);
        settings_.SetCodecIndex(row.encoderThere ? EncoderIndex("mjpeg") : Catalogue().Count() + 5);
        Record(row.frames);
        EXPECT_EQ(view_->messages, row.messages) << row.what;
        EXPECT_EQ(static_cast<int>(view_->frames.size()), row.frames) << row.what;
        EXPECT_EQ(QFile::exists(file_), row.fileMade) << row.what;
        if (row.frames > 0) {
            const std::vector<QString> works{kStr11, kStr12, kStr20, kStr15, kStr12, kStr20, kStr15, kStr3};
            EXPECT_EQ(view_->Works(), works) << row.what;
            EXPECT_EQ(LastReceived(), (std::pair<uint16_t, Bytes>{kCamera, kCameraOff})) << row.what;
        }
    }
    settings_.SetRecordToFile(true);
}

TEST_F(RecorderTest, StopDuringTheCameraWaitGivesNoFrameAndNoStream)
{
    settings_.SetCameraInitTime(5000);
    clock_.onWait = [this](uint64_t waited) {
        if (waited >= 1000)
            if (Recorder* recorder = recorder_.load())
                recorder->Stop();
    };
    Record();
    EXPECT_TRUE(view_->frames.empty());
    EXPECT_TRUE(view_->messages.isEmpty());
    EXPECT_EQ(view_->Works(), (std::vector<QString>{kStr11, kStr3}));
    EXPECT_FALSE(Received(kCamera, kShoot));
    EXPECT_EQ(LastReceived(), (std::pair<uint16_t, Bytes>{kCamera, kCameraOff}));
    EXPECT_LT(clock_.Slept(), 5000u) << "the wait ends with the stop";
    EXPECT_EQ(orv::test::FilesIn(folder_.path()), QStringList()) << "no frame, no file";
}

struct StartCase {
    const char* what;
    std::function<void(RecorderTest&)> arrange;
    QStringList messages;
    std::vector<QString> statuses;
};

TEST_F(RecorderTest, RecordingsThatCannotStartSayWhyAndSendNoPhoneCommandTheyNeedNot)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    const QString missingFolder = folder_.filePath(QStringLiteral("no-such-folder/record.avi"));
    const QString notAFolder = folder_.filePath(QStringLiteral("plain/record.avi"));
    const QString missing = kStr17 + QLatin1Char('\n') + missingFolder + QStringLiteral(": No such file or directory");
    const StartCase cases[] = {
        {"not connected", [](RecorderTest& t) { t.link_.Close(); }, {kStr8}, {}},
        {"folder does not exist", [&](RecorderTest& t) { t.settings_.SetAviTempName(missingFolder); }, {missing}, {}},
        {"folder does not exist, not connected",
         [&](RecorderTest& t) {
             t.settings_.SetAviTempName(missingFolder);
             t.link_.Close();
         },
         {missing, kStr8}, {}},
        {"a file where the folder should be",
         [&](RecorderTest& t) {
             QFile plain(t.folder_.filePath(QStringLiteral("plain")));
             ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
             t.settings_.SetAviTempName(notAFolder);
         },
         {kStr17 + QLatin1Char('\n') + notAFolder + QStringLiteral(": Not a directory")}, {}},
        {"no encoder at the index", [](RecorderTest& t) { t.settings_.SetCodecIndex(Catalogue().Count()); },
         {kStr19}, {}},
        {"negative index", [](RecorderTest& t) { t.settings_.SetCodecIndex(-1); }, {kStr19}, {}},
        {"camera will not start", [](RecorderTest& t) { t.Fail(kCamera, kCameraOn); }, {kStr9}, {kStr11, kStr3}},
    };
    // An earlier recording at the name is left as it was, and nothing else
    // is left in the folder.
    const QByteArray earlier("an earlier recording");
    for (const StartCase& c : cases) {
        for (const bool hadFile : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.what << (hadFile ? ", over an earlier file" : ""));
            SetUp();  // a fresh phone, link and view for each case
            settings_.SetCodecIndex(EncoderIndex("mjpeg"));
            for (const QString& name : orv::test::FilesIn(folder_.path()))
                QFile::remove(folder_.filePath(name));
            if (hadFile) {
                QFile file(file_);
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                file.write(earlier);
            }
            c.arrange(*this);
            const QStringList before = orv::test::FilesIn(folder_.path());
            Record();
            EXPECT_EQ(view_->messages, c.messages);
            EXPECT_EQ(view_->Works(), c.statuses);
            EXPECT_TRUE(view_->frames.empty());
            EXPECT_EQ(Phone().Count().commands, 0) << "no command reaches the phone";
            EXPECT_FALSE(Phone().CameraOn());
            EXPECT_EQ(orv::test::FilesIn(folder_.path()), before);
            if (hadFile) {
                QFile file(file_);
                ASSERT_TRUE(file.open(QIODevice::ReadOnly));
                EXPECT_EQ(file.readAll(), earlier);
            }
            EXPECT_FALSE(QFile::exists(missingFolder));
            TearDown();
        }
    }
    SetUp();
}

struct FailureCase {
    const char* what;
    std::function<void(RecorderTest&)> inject;  // after the third frame
    bool phoneStillThere;
};

TEST_F(RecorderTest, CaptureThatFailsAfterThreeFramesKeepsThemAndSaysSo)
{
    const FailureCase cases[] = {
        {"the shot fails", [](RecorderTest& t) { t.Fail(kCamera, kShoot); }, true},
        {"the file will not open twice", [](RecorderTest& t) { t.Fail(kFile, kOpen, 2); }, true},
        {"the file cannot be read", [](RecorderTest& t) { t.Fail(kFile, kRead); }, true},
        {"the picture does not decode", [](RecorderTest& t) { t.Phone().InjectFault(SimPhone::Fault::GarbagePicture); },
         true},
        {"the phone is gone", [](RecorderTest& t) { t.link_.Close(); }, false},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        settings_.SetCodecIndex(EncoderIndex("mjpeg"));
        view_->onFrame = [&](int frames) {
            if (frames == 3)
                c.inject(*this);
        };
        Record();
        EXPECT_EQ(view_->messages, QStringList{kStr18});
        EXPECT_EQ(view_->frames.size(), 3u);
        EXPECT_EQ(view_->Works().back(), kStr3);
        const auto header = ReadStreamHeader(file_);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->length, 3u);
        EXPECT_EQ(RunFfprobe(file_).frames, 3);
        if (c.phoneStillThere) {
            EXPECT_FALSE(Phone().File(kPhonePath)) << "the picture file is deleted on the phone";
            EXPECT_FALSE(Phone().CameraOn());
            EXPECT_EQ(LastReceived(), (std::pair<uint16_t, Bytes>{kCamera, kCameraOff}));
        }
        TearDown();
    }
    SetUp();
}

TEST_F(RecorderTest, WriteThatFailsStopsTheRecordingAndKeepsTheFramesWritten)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    // The file may grow only so far: the write beyond fails as on a full
    // disk, at the first frame or after a few.
    const struct {
        rlim_t limit;
        int minimumShown;
    } cases[] = {{200 * 1024, 2}, {2 * 1024, 1}, {24 * 1024, 1}};
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit);
        QFile::remove(file_);
        rlimit limited = previous;
        limited.rlim_cur = c.limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        Record();
        setrlimit(RLIMIT_FSIZE, &previous);

        EXPECT_EQ(view_->messages, QStringList{QStringLiteral("Диск заполнен, запись остановлена: %1 (File too large)")
                                                   .arg(file_)});
        const int shown = static_cast<int>(view_->frames.size());
        EXPECT_GE(shown, c.minimumShown);
        EXPECT_EQ(view_->Works().back(), kStr3);
        EXPECT_EQ(LastReceived(), (std::pair<uint16_t, Bytes>{kCamera, kCameraOff}));
        // The frame that found no room is not in the file; every one before
        // is, and the file is complete: index and counts.
        EXPECT_EQ(orv::test::CountFrameChunks(file_), shown - 1);
        if (shown > 1) {
            EXPECT_TRUE(orv::test::HasIndex(file_));
            EXPECT_LE(QFileInfo(file_).size(), static_cast<qint64>(c.limit));
            EXPECT_EQ(ReadStreamHeader(file_).value_or(orv::test::StreamHeader{}).length,
                      static_cast<uint32_t>(shown - 1));
            EXPECT_EQ(orv::test::ReadMainHeader(file_).value_or(orv::test::MainHeader{}).totalFrames,
                      static_cast<uint32_t>(shown - 1));
            const auto probe = RunFfprobe(file_);
            ASSERT_TRUE(probe.ran);
            EXPECT_EQ(probe.frames, shown - 1);
            EXPECT_EQ(probe.width, 640);
        } else {
            EXPECT_FALSE(QFile::exists(file_)) << "no frame, no file";
        }
        EXPECT_EQ(orv::test::FilesIn(folder_.path()).size(), shown > 1 ? 1 : 0) << "no temporary file is left";
    }
    std::signal(SIGXFSZ, previousHandler);
}

TEST_F(RecorderTest, ConfiguringTheEncoderDuringARecordingLeavesTheRecordingWhole)
{
    const int index = EncoderIndex("mjpeg");
    settings_.SetCodecIndex(index);
    settings_.SetTimeout(100);
    // The options dialog's OK, again and again, while frames are compressed:
    // the key-frame interval, which Motion JPEG does not use.
    const std::vector<CodecOption> options = Catalogue().Options(index);
    ASSERT_TRUE(std::any_of(options.begin(), options.end(), [](const CodecOption& o) { return o.name == "g"; }));
    int applied = 0;
    QTimer configure;
    QObject::connect(&configure, &QTimer::timeout, [&] {
        QString error;
        const QString interval = QString::number(10 + applied % 2);
        applied += Catalogue().SetOptions(index, {{QStringLiteral("g"), interval}}, &error) ? 1 : 0;
    });
    configure.start(1);
    Record(20);
    configure.stop();
    EXPECT_GT(applied, 0);
    EXPECT_TRUE(view_->messages.isEmpty());
    EXPECT_EQ(RunFfprobe(file_).frames, 20);
}

TEST_F(RecorderTest, WaitsForACaptureUnderWayAndSendsNothingMeanwhile)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    orv::phone::Turn& turn = link_.CaptureTurn();
    turn.lock();  // the options dialog's frame-rate test, say
    view_->onFrame = [&](int frames) {
        if (frames == 1) {
            EXPECT_FALSE(turn.try_lock()) << "held for the whole recording";
        }
    };
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(QTest::qWaitFor([&] { return turn.Waiting() == 1; }, 10000));
        EXPECT_EQ(Phone().Count().commands, 0);
        EXPECT_TRUE(view_->statuses.empty());
        turn.unlock();
    });
    Record(2);
    EXPECT_EQ(view_->frames.size(), 2u);
    EXPECT_EQ(view_->Works().front(), kStr11);
    EXPECT_TRUE(turn.try_lock()) << "given back at the end";
    turn.unlock();
}

TEST_F(RecorderTest, MainHeaderStatesTheFrameTimeAndTheMeasuredDataRate)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    settings_.SetAutoFps(false);
    const struct {
        double fps;
        uint32_t rate;  // over 10000
        uint32_t microSecPerFrame;
    } cases[] = {
        {0.0001, 1, 4294967295u},  // 10^10 µs does not fit: the field's largest value
        {0.8, 8000, 1250000},
        {2.5, 25000, 400000},
        {30.0, 300000, 33333},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fps);
        settings_.SetFps(c.fps);
        Record(3);
        const auto stream = ReadStreamHeader(file_);
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->rate, c.rate);
        const auto main = orv::test::ReadMainHeader(file_);
        ASSERT_TRUE(main);
        EXPECT_EQ(main->microSecPerFrame, c.microSecPerFrame);
        EXPECT_EQ(main->totalFrames, 3u);
        EXPECT_EQ(main->streams, 1u);
        // The largest frame at the stream's rate, rounded up.
        const int64_t largest = orv::test::LargestFrameChunk(file_);
        ASSERT_GT(largest, 1000);
        const auto expected = static_cast<uint32_t>((largest * c.rate + 9999) / 10000);
        EXPECT_EQ(main->maxBytesPerSec, expected) << "largest frame " << largest;
    }
}

TEST_F(RecorderTest, MissingFolderOfTheDefaultFileOrOfDatedNamesIsMade)
{
    const QString home = folder_.filePath(QStringLiteral("home"));
    ASSERT_TRUE(QDir().mkpath(home));
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toUtf8());
    const struct {
        const char* what;
        std::function<void(orv::Settings&)> arrange;
        QString file;  // expected, recorded with 1 frame
    } cases[] = {
        {"the default file in the videos folder", [](orv::Settings&) {}, home + QStringLiteral("/Videos/temp.avi")},
        {"dated names in a folder two levels down",
         [this](orv::Settings& settings) {
             settings.SetAutoAviFileName(true);
             settings.SetAviFolder(folder_.filePath(QStringLiteral("a/b/")));
         },
         folder_.filePath(QStringLiteral("a/b/") + kStamp + QStringLiteral(".avi"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        orv::test::FreshSettingsFile();  // the default "AviTempName"
        settings_.SetCodecIndex(EncoderIndex("mjpeg"));
        settings_.SetCameraInitTime(0);
        settings_.SetTimeout(1000);
        c.arrange(settings_);
        clock_.Reset(1000);
        Record(1);
        EXPECT_TRUE(view_->messages.isEmpty()) << view_->messages.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(RunFfprobe(c.file).frames, 1);
    }
    qputenv("HOME", oldHome);
    if (oldConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", oldConfig);
    // A file named in the settings by the user keeps its folder as it is.
    const QString missing = folder_.filePath(QStringLiteral("typo/record.avi"));
    settings_.SetAutoAviFileName(false);
    settings_.SetAviTempName(missing);
    Record(1);
    EXPECT_EQ(view_->messages,
              QStringList{kStr17 + QLatin1Char('\n') + missing + QStringLiteral(": No such file or directory")});
    EXPECT_FALSE(QFileInfo::exists(folder_.filePath(QStringLiteral("typo"))));
}

TEST_F(RecorderTest, AutomaticStartsNeverReplaceARecordingAndTheUsersStartDoes)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    {
        QFile earlier(file_);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("an earlier recording");
    }
    const struct {
        bool automatic;
        int frames;
        const char* file;
    } recordings[] = {
        {true, 2, "record-2.avi"},
        {true, 3, "record-3.avi"},
        {false, 1, "record.avi"},  // START replaces the file named in the settings
        {true, 2, "record-4.avi"},
    };
    for (const auto& recording : recordings) {
        SCOPED_TRACE(recording.file);
        Record(recording.frames, recording.automatic);
        EXPECT_TRUE(view_->messages.isEmpty());
        EXPECT_EQ(RunFfprobe(folder_.filePath(QLatin1String(recording.file))).frames, recording.frames);
    }
    EXPECT_EQ(RunFfprobe(folder_.filePath(QStringLiteral("record-2.avi"))).frames, 2);
    EXPECT_EQ(RunFfprobe(folder_.filePath(QStringLiteral("record-3.avi"))).frames, 3);
    // The program's own starts left numbered names, entered in the folder's
    // record; the user's name is not one of them.
    EXPECT_EQ(orv::test::FilesIn(folder_.path()),
              (QStringList{QStringLiteral(".orvello-recordings"), QStringLiteral("record-2.avi"),
                           QStringLiteral("record-3.avi"), QStringLiteral("record-4.avi"),
                           QStringLiteral("record.avi")}));
}

TEST_F(RecorderTest, AutomaticStartComesBackAfterFaultsAfterAPauseThatGrowsWhileTheyRepeat)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    // Three frames, then a shot that fails and a camera that will not start
    // seven times; two frames, a failing shot again; one frame more.
    view_->onFrame = [this](int frames) {
        if (frames == 3) {
            Fail(kCamera, kShoot);
            Fail(kCamera, kCameraOn, 7);
        }
        if (frames == 5)
            Fail(kCamera, kShoot);
    };
    Record(6, true);
    view_->onFrame = nullptr;
    EXPECT_TRUE(view_->messages.isEmpty()) << "no box waits for somebody who is not there";
    EXPECT_EQ(view_->frames.size(), 6u);

    // Each pause: from the idle text at the end of one recording to the
    // camera's next start.
    std::vector<uint32_t> pauses;
    uint32_t ended = 0;
    bool first = true;
    for (const auto& status : view_->statuses) {
        if (status.work == kStr3)
            ended = status.ticks;
        if (status.work == kStr11) {
            if (!first)
                pauses.push_back(status.ticks - ended);
            first = false;
        }
    }
    EXPECT_EQ(pauses, (std::vector<uint32_t>{5000, 10000, 20000, 40000, 80000, 160000, 300000, 300000, 5000}));
    // The fault is shown in the work panel meanwhile.
    EXPECT_TRUE(std::any_of(view_->statuses.begin(), view_->statuses.end(),
                            [](const RecorderView::Status& status) { return status.work == kStr9; }));

    // Each recording that got frames is a file of its own, complete.
    const struct {
        const char* file;
        int frames;
    } files[] = {{"record.avi", 3}, {"record-2.avi", 2}, {"record-3.avi", 1}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const QString path = folder_.filePath(QLatin1String(f.file));
        EXPECT_TRUE(orv::test::HasIndex(path));
        EXPECT_EQ(RunFfprobe(path).frames, f.frames);
    }
    EXPECT_EQ(orv::test::FilesIn(folder_.path()).size(), 4) << "three files and their record";
    EXPECT_FALSE(Phone().CameraOn());
}

TEST_F(RecorderTest, AutomaticStartThatNeverRecordedEndsWithItsMessage)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    const struct {
        const char* what;
        std::function<void(RecorderTest&)> arrange;
        QString message;
    } cases[] = {
        {"camera will not start", [](RecorderTest& t) { t.Fail(kCamera, kCameraOn); }, kStr9},
        {"first shot fails", [](RecorderTest& t) { t.Fail(kCamera, kShoot); }, kStr18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange(*this);
        Record(0, true);
        EXPECT_EQ(view_->messages, QStringList{c.message});
        const std::vector<QString> works = view_->Works();
        EXPECT_EQ(std::count(works.begin(), works.end(), kStr11), 1) << "started once";
        ASSERT_FALSE(works.empty());
        EXPECT_EQ(works.back(), kStr3);
    }
    EXPECT_EQ(orv::test::FilesIn(folder_.path()), QStringList());
}

// --- names ---

TEST_F(RecorderTest, DatedNameHasOneSeparatorAndNeverReplacesAnEarlierRecording)
{
    using orv::video::DatedAviName;
    const std::time_t when = kNow;  // 06-12-26 14:30
    EXPECT_EQ(DatedAviName(QStringLiteral("/video/"), when), QStringLiteral("/video/06-12-26_1430.avi"));
    EXPECT_EQ(DatedAviName(QStringLiteral("/video"), when), QStringLiteral("/video/06-12-26_1430.avi"));
    const QString noFolder = DatedAviName(QString(), when);
    EXPECT_TRUE(noFolder.endsWith(QStringLiteral("/06-12-26_1430.avi")));
    EXPECT_NE(noFolder, QStringLiteral("/06-12-26_1430.avi")) << "never the root folder";

    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    settings_.SetTimeout(100);  // every recording within the same minute
    settings_.SetAutoAviFileName(true);
    settings_.SetAviFolder(folder_.path());  // without a trailing "/"
    const QString dated = folder_.filePath(kStamp + QStringLiteral(".avi"));
    const struct {
        int frames;
        QString file;
    } recordings[] = {
        {2, dated},
        {1, folder_.filePath(kStamp + QStringLiteral("-2.avi"))},
        {3, folder_.filePath(kStamp + QStringLiteral("-3.avi"))},
    };
    for (const auto& recording : recordings) {
        Record(recording.frames);
        EXPECT_EQ(ReadStreamHeader(recording.file).value_or(orv::test::StreamHeader{}).length,
                  static_cast<uint32_t>(recording.frames))
            << recording.file.toStdString();
    }
    EXPECT_EQ(RunFfprobe(dated).frames, 2) << "the first recording is intact";
    EXPECT_FALSE(QFile::exists(file_));

    // The file named by "AviTempName" is there to be replaced.
    settings_.SetAutoAviFileName(false);
    Record(3);
    Record(1);
    EXPECT_EQ(RunFfprobe(file_).frames, 1);
    EXPECT_EQ(QDir(folder_.path()).entryList(QDir::Files).size(), 4);
}

// --- the frames the window gets ---

struct FrameCase {
    bool stamp;
    bool duplicate;
    bool resize;
    bool show;
    bool fit;
};

TEST_F(RecorderTest, FramesReachTheWindowStampedAndWithTheirDisplaySettings)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    const FrameCase cases[] = {
        {true, true, true, true, true},
        {true, true, false, true, false},
        {false, false, true, false, false},
        {false, false, false, false, false},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "stamp " << c.stamp << " duplicate " << c.duplicate << " resize "
                                        << c.resize);
        settings_.SetPrintDateOnImage(c.stamp);
        settings_.SetDuplicatePicture(c.duplicate);
        settings_.SetAutoFormResize(c.resize);
        Record(2);
        ASSERT_EQ(view_->frames.size(), 2u);
        for (const auto& frame : view_->frames) {
            EXPECT_EQ(frame.show, c.show);
            EXPECT_EQ(frame.fit, c.fit);
            ASSERT_TRUE(frame.phoneFile);
            QImage expected;
            ASSERT_TRUE(orv::DecodeJpeg(frame.phoneFile->data(), frame.phoneFile->size(), &expected));
            EXPECT_EQ(expected.size(), QSize(640, 480));
            if (c.stamp)
                orv::DrawDateStamp(expected, kStamp);
            EXPECT_EQ(frame.image, expected);
        }
        EXPECT_NE(view_->frames[0].image, view_->frames[1].image) << "the phone's frame counter moves on";
    }
}

TEST(RecordingTime, HoursMinutesAndSecondsEachWrapWhereTheyShould)
{
    const struct {
        long long seconds;
        const char* shown;
    } rows[] = {
        {0, " 00:00:00"},    {59, " 00:00:59"},      {60, " 00:01:00"},        {3599, " 00:59:59"},
        {3600, " 01:00:00"}, {3661, " 01:01:01"},    {7322, " 02:02:02"},      {86399, " 23:59:59"},
        {360000, " 100:00:00"}, {-5, " 00:00:00"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(orv::video::RecordingTimeText(row.seconds), QString::fromLatin1(row.shown)) << row.seconds;
}

}  // namespace

// --- long runs cut into files ---

namespace orv_split {

// The shown frame that a decoded file frame is nearest to: the phone's frame
// counter tells neighbours apart, the encoder's loss does not.
int NearestFrame(const QImage& decoded, const std::vector<RecorderView::Frame>& frames)
{
    int best = -1;
    int64_t bestDistance = std::numeric_limits<int64_t>::max();
    const QImage a = decoded.convertToFormat(QImage::Format_RGB32);
    for (size_t i = 0; i < frames.size(); ++i) {
        const QImage b = frames[i].image.convertToFormat(QImage::Format_RGB32);
        if (b.size() != a.size())
            continue;
        int64_t distance = 0;
        for (int y = 0; y < a.height(); y += 2) {
            const auto* pa = reinterpret_cast<const QRgb*>(a.constScanLine(y));
            const auto* pb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
            for (int x = 0; x < a.width(); x += 2)
                distance += std::abs(qGray(pa[x]) - qGray(pb[x]));
        }
        if (distance < bestDistance) {
            bestDistance = distance;
            best = static_cast<int>(i);
        }
    }
    return best;
}

}  // namespace orv_split

TEST_F(RecorderTest, ASplitRunContinuesInNewFilesWithoutLosingAFrame)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    settings_.SetAviSplitMinutes(1);
    settings_.SetTimeout(20000);  // a frame every 20 s: three to a file
    const QString earlier = kStamp.left(11) + QStringLiteral("31.avi");  // a recording of 14:31 already there
    const struct {
        const char* what;
        bool dated;
        bool automatic;
        QStringList files;  // with their frames: 3, 3, 3, 1
    } cases[] = {
        {"dated names", true, false,
         {kStamp + QStringLiteral(".avi"), kStamp.left(11) + QStringLiteral("31-2.avi"),
          kStamp.left(11) + QStringLiteral("32.avi"), kStamp.left(11) + QStringLiteral("33.avi")}},
        {"a fixed name is numbered", false, false,
         {QStringLiteral("record-0001.avi"), QStringLiteral("record-0002.avi"), QStringLiteral("record-0003.avi"),
          QStringLiteral("record-0004.avi")}},
        {"a fixed name, started by the program", false, true,
         {QStringLiteral("record-0001.avi"), QStringLiteral("record-0002.avi"), QStringLiteral("record-0003.avi"),
          QStringLiteral("record-0004.avi")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        {
            QFile taken(folder.filePath(earlier));
            ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
            taken.write("not to be replaced");
        }
        settings_.SetAutoAviFileName(c.dated);
        settings_.SetAviFolder(folder.path() + QLatin1Char('/'));
        settings_.SetAviTempName(folder.filePath(QStringLiteral("record.avi")));
        clock_.Reset(1000);
        const auto cameraStartsSoFar = [this] {
            int starts = 0;
            for (const auto& [code, data] : Received())
                starts += code == kCamera && data.size() >= kCameraOn.size() &&
                          std::equal(kCameraOn.begin(), kCameraOn.end(), data.begin());
            return starts;
        };
        const int startsBefore = cameraStartsSoFar();
        Record(10, c.automatic);
        EXPECT_TRUE(view_->messages.isEmpty()) << view_->messages.join(QLatin1Char('|')).toStdString();
        ASSERT_EQ(view_->frames.size(), 10u) << "the picture is served all along";

        QStringList expected = c.files;
        expected << earlier << QStringLiteral(".orvello-recordings");
        expected.sort();
        EXPECT_EQ(orv::test::FilesIn(folder.path()), expected);
        const uint32_t lengths[] = {3, 3, 3, 1};
        int next = 0;
        for (int i = 0; i < c.files.size(); ++i) {
            const QString path = folder.filePath(c.files[i]);
            SCOPED_TRACE(c.files[i].toStdString());
            EXPECT_TRUE(orv::test::HasIndex(path)) << "completed with its index";
            const auto header = ReadStreamHeader(path);
            ASSERT_TRUE(header);
            EXPECT_EQ(header->length, lengths[i]);
            EXPECT_EQ(header->rate, 500u) << "every file at the rate of the first frame";
            EXPECT_EQ(RunFfprobe(path).frames, static_cast<int>(lengths[i]));
            for (const auto& packet : orv::test::ReadPacketData(path)) {
                QImage decoded;
                ASSERT_TRUE(orv::DecodeJpeg(packet.data(), packet.size(), &decoded));
                EXPECT_EQ(orv_split::NearestFrame(decoded, view_->frames), next) << "frames in order, none missing";
                ++next;
            }
        }
        EXPECT_EQ(next, 10);
        QFile taken(folder.filePath(earlier));
        ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
        EXPECT_EQ(taken.readAll(), QByteArray("not to be replaced"));
        EXPECT_EQ(cameraStartsSoFar() - startsBefore, 1) << "the camera runs on across the splits";
    }
}

TEST_F(RecorderTest, ASplitRunKeepsItsFolderWithinItsSize)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    settings_.SetAviSplitMinutes(1);
    settings_.SetAviKeepMegabytes(1);
    settings_.SetTimeout(30000);  // two frames to a file
    settings_.SetAutoAviFileName(true);
    settings_.SetAviFolder(folder_.path() + QLatin1Char('/'));
    const QDateTime longAgo = QDateTime::currentDateTimeUtc().addDays(-3);
    const struct {
        const char* name;
        int kilobytes;
        bool recorded;  // by an earlier run, which entered it in the folder's record
    } present[] = {
        {"01-12-26_1000.avi", 1100, true},  // older recordings, each beyond the size kept
        {"02-12-26_1000-2.avi", 1100, false},  // another camera's, of the same name form
        {"notes.avi", 3000, false},         // the user's own
        {"06-12-26_1430.txt", 3000, false},
    };
    for (const auto& p : present) {
        QFile file(folder_.filePath(QLatin1String(p.name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(p.kilobytes * 1024, 'x'));
        ASSERT_TRUE(file.setFileTime(longAgo, QFileDevice::FileModificationTime));
        file.close();
        if (p.recorded) {
            ASSERT_TRUE(orv::video::NoteRecording(file.fileName()));
        }
    }
    ASSERT_TRUE(QDir(folder_.path()).mkpath(QStringLiteral("01-11-26_0900.avi/inside")));
    Record(6);
    EXPECT_TRUE(view_->messages.isEmpty()) << view_->messages.join(QLatin1Char('|')).toStdString();
    const QStringList files = orv::test::FilesIn(folder_.path());
    EXPECT_FALSE(files.contains(QStringLiteral("01-12-26_1000.avi")));
    EXPECT_TRUE(files.contains(QStringLiteral("02-12-26_1000-2.avi")));
    EXPECT_TRUE(files.contains(QStringLiteral("notes.avi")));
    EXPECT_TRUE(files.contains(QStringLiteral("06-12-26_1430.txt")));
    EXPECT_TRUE(QFileInfo(folder_.filePath(QStringLiteral("01-11-26_0900.avi/inside"))).isDir());
    // The three files of this run, the last one complete.
    const QString last = folder_.filePath(kStamp.left(11) + QStringLiteral("32.avi"));
    EXPECT_TRUE(files.contains(QFileInfo(last).fileName())) << files.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(RunFfprobe(last).frames, 2);
    qint64 kept = 0;
    for (const QString& name : files)
        if (orv::video::IsRecordingName(name, QString()) && folder_.filePath(name) != last &&
            name != QLatin1String("02-12-26_1000-2.avi"))
            kept += QFileInfo(folder_.filePath(name)).size();
    EXPECT_LE(kept, 1024 * 1024);
    // Every file of the run is in the record, the last one too.
    QFile record(folder_.filePath(QStringLiteral(".orvello-recordings")));
    ASSERT_TRUE(record.open(QIODevice::ReadOnly));
    const QByteArray lines = record.readAll();
    for (const QString& minute : {QStringLiteral("30"), QStringLiteral("31"), QStringLiteral("32")})
        EXPECT_TRUE(lines.contains((" " + kStamp.left(11) + minute + QStringLiteral(".avi\n")).toUtf8()))
            << minute.toStdString() << " in " << lines.toStdString();
}

// --- recording only while something moves ---

namespace orv_motion {

// The scene in front of the simulated phone, by the frame of this recording
// (from 1): "s" stands still from that frame on, "m" moves.
struct SceneChange {
    int frame;
    bool still;
};

struct MotionFile {
    QString name;
    int firstFrame;  // the shown frame (from 0) the file begins with
    int frames;
};

struct MotionCase {
    const char* what;
    std::vector<SceneChange> scene;
    int keepSeconds;
    int splitMinutes;
    int frames;  // shown before the stop
    std::vector<MotionFile> files;
};

}  // namespace orv_motion

// One frame a second (the "Timeout" of each capture on the test's clock), at
// 80 x 60. The scene stands from the first frame, so that only the changes
// the case makes are motion; the ball stops in the picture, and that stays
// motion until the background has taken it in some dozens of frames later.
TEST_F(RecorderTest, RecordingOnMotionWritesEachEventWithItsFramesBeforeIntoAFileOfItsOwn)
{
    using orv_motion::MotionCase;
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    settings_.SetJpgType(4);
    settings_.SetRecordOnMotion(true);
    settings_.SetMotionThreshold(10);
    settings_.SetAutoAviFileName(true);
    const MotionCase cases[] = {
        {"nothing moves: no file", {{1, true}}, 0, 0, 40, {}},
        {"one event: three frames before, the change, until it is taken in",
         {{1, true}, {8, false}, {11, true}}, 0, 0, 60, {{QStringLiteral("06-12-26_1430.avi"), 4, 3 + 26}}},
        {"the same, kept on for 5 s more", {{1, true}, {8, false}, {11, true}}, 5, 0, 60,
         {{QStringLiteral("06-12-26_1430.avi"), 4, 3 + 26 + 5}}},
        {"two events, each named at its start", {{1, true}, {8, false}, {10, true}, {70, false}, {72, true}}, 3, 0,
         80, {{QStringLiteral("06-12-26_1430.avi"), 4, 3 + 29}, {QStringLiteral("06-12-26_1431.avi"), 66, 3 + 11}}},
        {"stopped during an event: its file is complete", {{1, true}, {8, false}}, 0, 0, 12,
         {{QStringLiteral("06-12-26_1430.avi"), 4, 3 + 5}}},
        {"a long event is split", {{1, true}, {5, false}}, 0, 1, 80,
         {{QStringLiteral("06-12-26_1430.avi"), 1, 3 + 60}, {QStringLiteral("06-12-26_1431.avi"), 64, 16}}},
    };
    for (const MotionCase& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        settings_.SetAviFolder(folder.path() + QLatin1Char('/'));
        settings_.SetMotionKeepSeconds(c.keepSeconds);
        settings_.SetAviSplitMinutes(c.splitMinutes);
        // The same pictures for the same script.
        clock_.Reset(1000);
        AttachPhone();
        view_ = std::make_unique<RecorderView>(Phone());
        for (const auto& change : c.scene)
            Phone().SetStillAtShot(static_cast<uint32_t>(change.frame), change.still);
        Record(c.frames, true);
        EXPECT_TRUE(view_->messages.isEmpty()) << view_->messages.join(QLatin1Char('|')).toStdString();
        ASSERT_EQ(static_cast<int>(view_->frames.size()), c.frames) << "every frame is shown and served";

        QStringList names;
        for (const auto& file : c.files)
            names << file.name;
        if (!names.isEmpty())
            names << QStringLiteral(".orvello-recordings");
        names.sort();
        EXPECT_EQ(orv::test::FilesIn(folder.path()), names) << "no other file, no temporary one left";
        for (const auto& file : c.files) {
            SCOPED_TRACE(file.name.toStdString());
            const QString path = folder.filePath(file.name);
            EXPECT_TRUE(orv::test::HasIndex(path)) << "completed with its index";
            EXPECT_EQ(RunFfprobe(path).frames, file.frames);
            int expected = file.firstFrame;
            for (const auto& packet : orv::test::ReadPacketData(path)) {
                QImage decoded;
                ASSERT_TRUE(orv::DecodeJpeg(packet.data(), packet.size(), &decoded));
                EXPECT_EQ(orv_split::NearestFrame(decoded, view_->frames), expected) << "frames in order, none missing";
                ++expected;
            }
        }
        // Each event is reported as it begins and as it ends, the end with
        // the frames of its file when no split cut it.
        std::vector<std::pair<bool, long long>> reported;
        for (const auto& motion : view_->motions)
            reported.emplace_back(motion.ended, motion.frames);
        std::vector<std::pair<bool, long long>> expected;
        if (c.splitMinutes == 0)
            for (const auto& file : c.files) {
                expected.emplace_back(false, 4);
                expected.emplace_back(true, file.frames);
            }
        else
            expected = {{false, 4}, {true, 3 + 76}};
        EXPECT_EQ(reported, expected);
    }
}

// The picture is compared before its stamp: the stamp's minute changes and
// nothing moves. The work panel says whether the recorder waits or records.
TEST_F(RecorderTest, RecordingOnMotionIgnoresTheStampAndSaysWhetherItWaitsOrRecords)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    settings_.SetJpgType(4);
    settings_.SetPrintDateOnImage(true);
    settings_.SetRecordOnMotion(true);
    settings_.SetMotionKeepSeconds(2);
    settings_.SetAutoAviFileName(true);
    settings_.SetAviFolder(folder_.path() + QLatin1Char('/'));
    const struct {
        const char* what;
        std::vector<orv_motion::SceneChange> scene;
        std::vector<QString> works;  // each text once, in the order of its first showing
        size_t files;
    } rows[] = {
        {"still across a minute", {{1, true}}, {kStr11, RecorderView::kMotionWaiting, kStr3}, 0},
        {"a change",
         {{1, true}, {5, false}, {6, true}},
         {kStr11, RecorderView::kMotionWaiting, RecorderView::kMotionRecording, kStr3},
         1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        clock_.Reset(1000);
        AttachPhone();
        view_ = std::make_unique<RecorderView>(Phone());
        for (const auto& change : row.scene)
            Phone().SetStillAtShot(static_cast<uint32_t>(change.frame), change.still);
        Record(70);
        EXPECT_TRUE(view_->messages.isEmpty()) << view_->messages.join(QLatin1Char('|')).toStdString();
        std::vector<QString> works;
        for (const QString& work : view_->Works())
            if (std::find(works.begin(), works.end(), work) == works.end())
                works.push_back(work);
        EXPECT_EQ(works, row.works);
        EXPECT_EQ(view_->motions.size(), 2 * row.files);
        EXPECT_NE(view_->frames.front().image, view_->frames.back().image) << "the stamp's minute moved on";
    }
}

// Beside a fixed name each event is numbered, never replacing a file, and
// the folder keeps within its size at each new file.
TEST_F(RecorderTest, RecordingOnMotionNumbersAFixedNameAndKeepsTheFolderWithinItsSize)
{
    settings_.SetCodecIndex(EncoderIndex("mjpeg"));
    settings_.SetJpgType(4);
    settings_.SetRecordOnMotion(true);
    settings_.SetMotionKeepSeconds(3);
    settings_.SetAviKeepMegabytes(1);
    const QString older = folder_.filePath(QStringLiteral("record-0001.avi"));
    {
        QFile file(older);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(1100 * 1024, 'x'));
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTimeUtc().addDays(-3), QFileDevice::FileModificationTime));
        file.close();
        ASSERT_TRUE(orv::video::NoteRecording(older));
    }
    AttachPhone();
    view_ = std::make_unique<RecorderView>(Phone());
    for (const orv_motion::SceneChange change : {orv_motion::SceneChange{1, true}, {8, false}, {10, true},
                                                 {70, false}, {72, true}})
        Phone().SetStillAtShot(static_cast<uint32_t>(change.frame), change.still);
    Record(80);
    EXPECT_TRUE(view_->messages.isEmpty()) << view_->messages.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(orv::test::FilesIn(folder_.path()),
              (QStringList{QStringLiteral(".orvello-recordings"), QStringLiteral("record-0002.avi"),
                           QStringLiteral("record-0003.avi")}));
    EXPECT_EQ(RunFfprobe(folder_.filePath(QStringLiteral("record-0002.avi"))).frames, 32);
    EXPECT_EQ(RunFfprobe(folder_.filePath(QStringLiteral("record-0003.avi"))).frames, 14);
    ASSERT_EQ(view_->motions.size(), 4u);
    EXPECT_EQ(view_->motions[3].number, 2);
    EXPECT_EQ(view_->motions[3].file, folder_.filePath(QStringLiteral("record-0003.avi")));
    EXPECT_EQ(view_->motions[3].start, kNow + 70);  // the 70th frame, taken 70 s after the start
}
