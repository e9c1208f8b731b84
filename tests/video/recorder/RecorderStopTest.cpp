// STOP while the phone keeps the recorder waiting: under each of the
// simulated phone's faults the recorder ends within 2 s of the program's
// clock, says nothing, and completes its file with the frames written; a
// reply that is late shows in the work panel and goes again once it comes.

#include "AviReadBack.h"
#include "config/Settings.h"
#include "phone/PhoneLink.h"
#include "platform/Clock.h"
#include "platform/UiThread.h"
#include "sim/SimBus.h"
#include "tests/support/StepClock.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Wait.h"
#include "texts/LangTexts.h"
#include "TextRecorderView.h"
#include "video/Recorder.h"
#include "video/CodecCatalogue.h"

#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace orv::test {
namespace {

using sim::SimPhone;
using video::Recorder;

const QString kStr12 = QStringLiteral("Статус: Снимаю");
const QString kStr15 = QStringLiteral("Деинициализация камеры...");
const QString kLate = QStringLiteral("Статус: телефон не отвечает, жду...");

class StopView final : public TextRecorderView {
public:
    void ShowWorkStatus(const QString& text) override
    {
        works.push_back(text);
        // After each frame written.
        if (text == kStr15 && afterFrame)
            afterFrame(static_cast<int>(std::count(works.begin(), works.end(), kStr15)));
    }
    void ShowRecordingTime(const QString&, const QString&) override {}
    void ShowMessageText(const QString& text) override { messages << text; }
    void ShowFrame(const QImage&, bool, bool) override
    {
        ++frames;
        if (onFrame)
            onFrame(frames);
    }

    void Reset()
    {
        works.clear();
        messages.clear();
        frames = 0;
        onFrame = nullptr;
        afterFrame = nullptr;
    }

    std::vector<QString> works;
    QStringList messages;
    int frames = 0;
    std::function<void(int)> onFrame;     // frames shown so far
    std::function<void(int)> afterFrame;  // frames written so far
};

video::CodecCatalogue& Catalogue()
{
    static auto* codecs = new video::CodecCatalogue;
    return *codecs;
}

class RecorderStop : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreshSettingsFile();
        SetClock(&clock_);
        SimPhone::Options options;
        options.startInTestMode = true;
        bus_ = std::make_unique<sim::SimBus>(options);
        auto pipe = bus_->Open(bus_->ListInterfaces().front().devicePath);
        ASSERT_TRUE(pipe && pipe->ClaimInterface(8));
        link_.Attach(std::move(pipe));
        ASSERT_TRUE(folder_.isValid());
        file_ = folder_.filePath(QStringLiteral("record.avi"));
        settings_.SetAviTempName(file_);
        settings_.SetCameraInitTime(0);
        settings_.SetTimeout(1000);
    }

    void TearDown() override
    {
        Phone().SetSilent(false);
        link_.Close();
        SetClock(nullptr);
    }

    SimPhone& Phone() { return bus_->Phone(0); }

    void Start()
    {
        finished_ = false;
        recorder_ = new Recorder(view_, settings_, link_, Catalogue(), [this] {
            finished_ = true;
            finishedAt_ = clock_.TickCount();
        });
    }

    // Waits until the recorder has ended or has looked at the program's
    // clock since the test last moved it; then handles what it posted to the
    // window before.
    bool SeenTheClock()
    {
        const bool seen = WaitFor([&] { return finished_.load() || recorder_->LastLife() == clock_.TickCount(); });
        QCoreApplication::processEvents();
        return seen;
    }

    void Stop()
    {
        stoppedAt_ = clock_.TickCount();
        recorder_->Stop();
    }

    // Waits for the end, the freeing and the completed file.
    void Finish()
    {
        ASSERT_TRUE(WaitFor([&] { return finished_.load(); })) << "the recorder did not end";
        ASSERT_TRUE(Recorder::WaitUntilNoneAlive(std::chrono::seconds(30)));
        ASSERT_TRUE(WaitForWorkersToEnd());
    }

    int Shots() const { return bus_->Phone(0).Count().shots; }

    StepClock clock_{1796567415, true};
    Settings settings_;
    std::unique_ptr<sim::SimBus> bus_;
    phone::PhoneLink link_;
    QTemporaryDir folder_;
    QString file_;
    StopView view_;
    Recorder* recorder_ = nullptr;
    std::atomic<bool> finished_{false};
    uint32_t stoppedAt_ = 0;
    uint32_t finishedAt_ = 0;
};

TEST_F(RecorderStop, StopEndsTheWaitForAnAnsweringPhoneAtOnceUnderEachFault)
{
    const struct {
        const char* fault;
        SimPhone::Fault inject;
        bool inReading;  // the fault holds the download, not the shot
    } cases[] = {
        {"no reply to the shot", SimPhone::Fault::NoReply, false},
        {"status of three replies", SimPhone::Fault::StatusTooMany, false},
        {"a picture without end", SimPhone::Fault::LongPicture, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        view_.Reset();
        // The fault comes with the third picture.
        std::atomic<int> injectedAt{-1};
        view_.afterFrame = [&](int frames) {
            if (frames == 2) {
                injectedAt = Phone().Count().commands;
                Phone().InjectFault(c.inject);
            }
        };
        const int shotsBefore = Shots();
        Start();
        if (c.inReading) {
            // Well into the reading of the picture, block by block.
            ASSERT_TRUE(WaitFor([&] { return injectedAt >= 0 && Phone().Count().commands >= injectedAt + 300; }));
        } else {
            ASSERT_TRUE(WaitFor([&] { return Shots() == shotsBefore + 3; })) << "the third shot reached the phone";
        }
        ASSERT_FALSE(finished_.load()) << "the fault did not hold the recorder";
        const int commands = Phone().Count().commands;
        Stop();
        Finish();
        EXPECT_LE(finishedAt_ - stoppedAt_, 2000u);
        EXPECT_TRUE(view_.messages.isEmpty()) << view_.messages.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(view_.frames, 2);
        // The phone answers: the picture file still goes and the camera off,
        // and nothing else goes out after the stop.
        EXPECT_FALSE(Phone().CameraOn());
        EXPECT_LE(Phone().Count().commands, commands + 4)
            << "a block on the wire, the picture file's close and delete and the camera-off";
        if (c.inReading) {
            EXPECT_FALSE(Phone().File("/a/temp.jpg")) << "the picture file is deleted all the same";
        }
        EXPECT_TRUE(HasIndex(file_)) << "the file was completed";
        EXPECT_EQ(CountFrameChunks(file_), 2);
        const auto header = ReadStreamHeader(file_);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->length, 2u);
    }
}

TEST_F(RecorderStop, StopEndsTheWaitForAMutePhoneWithinTheGraceForTheCamera)
{
    view_.afterFrame = [&](int frames) {
        if (frames == 2)
            Phone().SetSilent(true);
    };
    Start();
    ASSERT_TRUE(WaitFor([&] { return Phone().Count().silentHolds == 1; })) << "the third shot hangs";
    EXPECT_EQ(Shots(), 2);
    ASSERT_FALSE(finished_.load());
    Stop();
    // The capture ends at once; the camera-off that follows gets 500 ms of
    // the program's clock, which moves only when the test moves it.
    ASSERT_TRUE(WaitFor([&] { return finished_ || Phone().Count().silentHolds == 2; }));
    ASSERT_FALSE(finished_.load()) << "the camera-off was not sent";
    clock_.Advance(499);
    EXPECT_FALSE(WaitFor([&] { return finished_.load(); }, 50)) << "ended before the camera's grace";
    clock_.Advance(1);
    Finish();
    EXPECT_EQ(finishedAt_ - stoppedAt_, 500u);
    EXPECT_TRUE(view_.messages.isEmpty()) << view_.messages.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(HasIndex(file_));
    EXPECT_EQ(CountFrameChunks(file_), 2);
}

TEST_F(RecorderStop, LateReplyShowsInTheWorkPanelUntilItComes)
{
    view_.afterFrame = [&](int frames) {
        if (frames == 1)
            Phone().SetSilent(true);
        if (frames == 3)
            recorder_->Stop();
    };
    Start();
    ASSERT_TRUE(WaitFor([&] { return Phone().Count().silentHolds == 1; })) << "the second shot hangs";
    const auto told = [&] { return std::count(view_.works.begin(), view_.works.end(), kLate); };
    // The program's clock moves half a second at a time while the shot
    // hangs, each step once the recorder has seen the one before: the notice
    // comes once 3 s have passed since the shot went out, and not before.
    const uint32_t hung = clock_.TickCount();
    while (clock_.TickCount() - hung < phone::kLateReplyMs) {
        ASSERT_TRUE(SeenTheClock());
        ASSERT_EQ(told(), 0) << "told after " << clock_.TickCount() - hung << " ms";
        clock_.Advance(500);
    }
    ASSERT_TRUE(WaitFor([&] { return told() > 0; }));
    EXPECT_EQ(view_.works.back(), kLate);
    clock_.Advance(500);
    ASSERT_TRUE(SeenTheClock());
    EXPECT_EQ(told(), 1) << "told once";

    Phone().SetSilent(false);
    Finish();
    EXPECT_EQ(view_.frames, 3);
    EXPECT_TRUE(view_.messages.isEmpty());
    // Once the reply came, the panel shows again what the recorder does.
    const auto late = std::find(view_.works.begin(), view_.works.end(), kLate);
    ASSERT_NE(late, view_.works.end());
    ASSERT_NE(late + 1, view_.works.end());
    EXPECT_EQ(*(late - 1), kStr12);
    EXPECT_EQ(*(late + 1), kStr12);
    EXPECT_EQ(LangText(txt::kPhoneLate), kLate) << "the built-in text";
}

}  // namespace
}  // namespace orv::test
