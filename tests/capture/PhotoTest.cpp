// The photo thread against the simulated phone: the status texts, the
// messages and the picture the window gets, and the commands the phone
// receives, for the default settings and for each way a step can fail.

#include "capture/CaptureView.h"
#include "platform/Clock.h"
#include "platform/ControlPipe.h"
#include "tests/support/FaultyPipe.h"
#include "capture/Jpeg.h"
#include "phone/PhoneLink.h"
#include "capture/PhotoThread.h"
#include "config/Settings.h"
#include "sim/SimBus.h"
#include "sim/SimPhone.h"
#include "tests/support/TestEnv.h"
#include "platform/UiThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>

#include <gtest/gtest.h>

namespace {

using orv::sim::SimPhone;

const QString kStr11 = QStringLiteral("Статус: Инициализация камеры...");
const QString kStr12 = QStringLiteral("Статус: Снимаю");
const QString kStr13 = QStringLiteral("Статус: Сливаю...");
const QString kStr15 = QStringLiteral("Статус: Деинициализация камеры...");
const QString kStr3 = QStringLiteral("Статус: не занят.");
const QString kStr9 = QStringLiteral("Невозможна инициализация камеры!");
const QString kStr10 = QStringLiteral("Не могу снять!");
const QString kStr14 = QStringLiteral("Не могу прочитать, увеличте значение таймаута.");
const QString kStr16 = QStringLiteral("Невозможна деинициализация камеры!");

constexpr uint16_t kFile = 0x4A;
constexpr uint16_t kCamera = 0x61;
using Bytes = std::vector<uint8_t>;

Bytes WithPath(Bytes head, const std::string& path)
{
    head.insert(head.end(), path.begin(), path.end());
    return head;
}

using orv::test::FaultyPipe;

// The window as the photo thread sees it: every call is recorded, with the
// phone's copy of the picture file at the moment the picture arrives.
class RecordingView final : public orv::CaptureView {
public:
    enum class Kind { Status, Message, Picture, Progress };
    struct Event {
        Kind kind;
        QString text;
        QImage picture;
        long long bytes = 0;
    };

    explicit RecordingView(SimPhone& phone) : phone_(phone) {}

    void ShowWorkStatus(const QString& text) override { Record({Kind::Status, text, {}, 0}); }
    void ShowMessageText(const QString& text) override { Record({Kind::Message, text, {}, 0}); }
    void ShowPicture(const QImage& picture) override
    {
        Record({Kind::Picture, {}, picture, 0});
        phoneFile = phone_.File("/a/temp.jpg");
    }
    void ShowDownloadProgress(long long bytes) override { Record({Kind::Progress, {}, {}, bytes}); }

    std::vector<QString> Texts(Kind kind) const
    {
        std::vector<QString> texts;
        for (const Event& event : events)
            if (event.kind == kind)
                texts.push_back(event.text);
        return texts;
    }
    std::vector<QImage> Pictures() const
    {
        std::vector<QImage> pictures;
        for (const Event& event : events)
            if (event.kind == Kind::Picture)
                pictures.push_back(event.picture);
        return pictures;
    }
    std::vector<long long> Progress() const
    {
        std::vector<long long> counts;
        for (const Event& event : events)
            if (event.kind == Kind::Progress)
                counts.push_back(event.bytes);
        return counts;
    }

    std::vector<Event> events;
    bool allOnUiThread = true;
    std::optional<Bytes> phoneFile;

private:
    void Record(Event event)
    {
        allOnUiThread = allOnUiThread && orv::IsUiThread();
        events.push_back(std::move(event));
    }

    SimPhone& phone_;
};

class PhotoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        orv::test::FreshSettingsFile();
        clock_.SetNow(1796567415);  // 15 s into a minute: the stamp's minute cannot change during a photo
        orv::SetClock(&clock_);
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
        view_ = std::make_unique<RecordingView>(Phone());
    }

    void TearDown() override
    {
        link_.Close();
        orv::SetClock(nullptr);
    }

    SimPhone& Phone() { return bus_->Phone(0); }

    void Fail(uint16_t code, Bytes prefix, int skip = 0, int times = 1)
    {
        std::lock_guard lock(rules_->mutex);
        rules_->rules.push_back({code, std::move(prefix), skip, times});
    }

    // Takes one photo and waits, handling the window's events, until the
    // thread's end handler has run and the thread has ended entirely.
    void TakePhoto()
    {
        bool finished = false;
        QEventLoop loop;
        new orv::PhotoThread(*view_, settings_, link_, [&] {
            finished = orv::IsUiThread();
            loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);  // a safety net, never reached when all is well
        if (!finished)
            loop.exec();
        ASSERT_TRUE(finished) << "the photo thread did not end";
        ASSERT_TRUE(orv::test::WaitForWorkersToEnd()) << "the photo thread still runs after its end handler";
        // Progress posted without waiting has been delivered before the end
        // handler; nothing is left for the window.
        QCoreApplication::processEvents();
        EXPECT_TRUE(view_->allOnUiThread);
    }

    // The commands the phone received, as code and data.
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

    orv::ManualClock clock_;
    orv::Settings settings_;
    std::unique_ptr<orv::sim::SimBus> bus_;
    std::shared_ptr<FaultyPipe::Rules> rules_;
    orv::phone::PhoneLink link_;
    std::unique_ptr<RecordingView> view_;
};

const Bytes kCameraOn{0x00, 0x01};
const Bytes kShoot{0x01, 0x00};
const Bytes kCameraOff{0x00, 0x00, 0x00};
const Bytes kOpen{0, 0, 0, 0};
const Bytes kRead{0, 0, 0, 1};
const Bytes kClose{0, 0, 0, 4};
const Bytes kDelete{0, 0, 0, 5};

}  // namespace

TEST_F(PhotoTest, DefaultSettingsSendTheWholeSequenceAndShowTheStampedPicture)
{
    TakePhoto();

    EXPECT_EQ(view_->Texts(RecordingView::Kind::Status), (std::vector<QString>{kStr11, kStr12, kStr13, kStr15, kStr3}));
    EXPECT_TRUE(view_->Texts(RecordingView::Kind::Message).empty());
    const auto pictures = view_->Pictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].size(), QSize(640, 480));
    EXPECT_EQ(pictures[0].format(), QImage::Format_RGB888);

    // The picture arrives between the download status and the camera-off status.
    const auto& events = view_->events;
    const auto at = [&](auto predicate) {
        return std::find_if(events.begin(), events.end(), predicate) - events.begin();
    };
    const auto pictureAt = at([](const auto& e) { return e.kind == RecordingView::Kind::Picture; });
    EXPECT_GT(pictureAt, at([](const auto& e) { return e.text == kStr13; }));
    EXPECT_LT(pictureAt, at([](const auto& e) { return e.text == kStr15; }));

    // Exactly these commands, in this order: the file is read in blocks of
    // 1024 bytes until the one-byte end reply.
    ASSERT_TRUE(view_->phoneFile);
    const size_t fileSize = view_->phoneFile->size();
    const std::string path = "/a/temp.jpg";
    std::vector<std::pair<uint16_t, Bytes>> expected = {
        {kCamera, {0x00, 0x01, 0x00}},
        {kCamera, {0x20, 0x02}},
        {kCamera, {0x21, 0x03}},
        {kCamera, WithPath({0x01, 0x00}, path)},
        {kFile, kClose},
        {kFile, WithPath({0, 0, 0, 0, 0, 0, 0, 0}, path)},
    };
    for (size_t block = 0; block <= (fileSize + 1023) / 1024; ++block)
        expected.push_back({kFile, {0, 0, 0, 1, 0, 0, 0x04, 0x00}});
    expected.push_back({kFile, kClose});
    expected.push_back({kFile, WithPath(kDelete, path)});
    expected.push_back({kCamera, kCameraOff});
    EXPECT_EQ(Received(), expected);

    EXPECT_FALSE(Phone().File(path)) << "the phone file is deleted";
    EXPECT_FALSE(Phone().CameraOn());
    EXPECT_GE(clock_.SleptMilliseconds(), 2500u) << "1500 ms after set-up and 1000 ms after the shot";

    // The download's progress: counts that grow to the file's size, then the
    // bar hidden as the picture is shown.
    const auto progress = view_->Progress();
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.back(), -1);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end() - 1));
    EXPECT_GT(progress.front(), 0);
    EXPECT_LE(progress[progress.size() - 2], static_cast<long long>(fileSize));
}

// The stamp shows the minute of the shot: the clock is read after the 1500 ms
// set-up wait and before the 1000 ms wait behind the shot.
TEST_F(PhotoTest, StampShowsTheMinuteOfTheShot)
{
    struct Case {
        std::time_t start;  // the clock at the start, on a whole second
        const char* stamp;
    };
    const Case cases[] = {
        {1796567400 + 58, "06-12-26_1430"},  // shot at 14:30:59.5, shown after 14:31:00.5
        {1796567400 + 59, "06-12-26_1431"},  // started at 14:30:59, shot at 14:31:00.5
    };
    qputenv("TZ", "UTC");
    tzset();
    for (const Case& c : cases) {
        clock_.Advance(1000 - clock_.TickCount() % 1000);
        clock_.SetNow(c.start - static_cast<std::time_t>(clock_.TickCount() / 1000));
        view_->events.clear();
        TakePhoto();
        ASSERT_EQ(view_->Pictures().size(), 1u) << c.stamp;
        ASSERT_TRUE(view_->phoneFile);
        QImage expected;
        ASSERT_TRUE(orv::DecodeJpeg(view_->phoneFile->data(), view_->phoneFile->size(), &expected));
        orv::DrawDateStamp(expected, QString::fromLatin1(c.stamp));
        EXPECT_EQ(view_->Pictures()[0], expected) << c.stamp;
    }
}

TEST_F(PhotoTest, WithoutTheStampThePictureIsExactlyAsDecoded)
{
    settings_.SetPrintDateOnImage(false);
    TakePhoto();
    ASSERT_EQ(view_->Pictures().size(), 1u);
    ASSERT_TRUE(view_->phoneFile);
    QImage decoded;
    ASSERT_TRUE(orv::DecodeJpeg(view_->phoneFile->data(), view_->phoneFile->size(), &decoded));
    EXPECT_EQ(view_->Pictures()[0], decoded);
}

TEST_F(PhotoTest, EveryResolutionGivesAPictureOfItsSize)
{
    for (int code = 0; code <= 10; ++code) {
        settings_.SetJpgType(code);
        view_->events.clear();
        TakePhoto();
        const auto size = orv::sim::ResolutionSize(code);
        const auto pictures = view_->Pictures();
        ASSERT_EQ(pictures.size(), 1u) << code;
        EXPECT_EQ(pictures[0].size(), QSize(size.width, size.height)) << code;
        EXPECT_EQ(Phone().Resolution(), code);
    }
}

TEST_F(PhotoTest, SettingsReachTheCameraAndTheWaits)
{
    struct Case {
        int light, expose, initTime, timeout;
        Bytes lightCommand, exposeCommand;
        uint64_t sleptFrom, sleptBelow;  // the two waits and a millisecond per exchange
    };
    const Case cases[] = {
        {0, 4, 7000, 3000, {0x20, 0x01}, {0x21, 0x05}, 10000, 11000},
        {5, 0, -5, -1, {0x20, 0x06}, {0x21, 0x01}, 0, 1000},  // a negative wait waits not at all
    };
    for (const Case& c : cases) {
        settings_.SetAmbientLight(c.light);
        settings_.SetExpose(c.expose);
        settings_.SetCameraInitTime(c.initTime);
        settings_.SetTimeout(c.timeout);
        const uint64_t before = clock_.SleptMilliseconds();
        TakePhoto();
        EXPECT_TRUE(Received(kCamera, c.lightCommand)) << c.initTime;
        EXPECT_TRUE(Received(kCamera, c.exposeCommand)) << c.initTime;
        EXPECT_GE(clock_.SleptMilliseconds() - before, c.sleptFrom) << c.initTime;
        EXPECT_LT(clock_.SleptMilliseconds() - before, c.sleptBelow) << c.initTime;
    }
}

// Each step that can fail: the status texts and messages in their order, the
// picture shown or not, and what reached the phone. A failing file step still
// closes and deletes the file; the camera is switched off whatever failed.
TEST_F(PhotoTest, EachFailingStepEndsTheCaptureInOrder)
{
    const auto message = [](const QString& text) { return QStringLiteral("message: ") + text; };
    const std::vector<QString> downloadStatuses = {kStr11, kStr12, kStr13, kStr15, kStr3};
    struct Case {
        const char* what;
        std::function<void()> cause;
        std::vector<QString> texts;  // statuses, and messages marked as such
        size_t pictures;
        bool fileCommands;  // the phone got file commands, the last two a close and the delete
        bool cameraOff;     // the camera-off command reached the phone
        bool downloaded;    // the download bar came and was hidden again
        uint64_t sleptFrom, sleptBelow;
    };
    const Case cases[] = {
        {"camera will not start", [&] { Fail(kCamera, kCameraOn); }, {kStr11, message(kStr9), kStr15, kStr3}, 0,
         false, true, false, 1000, 5000},  // the wait after the shot, not the camera's settling time
        {"shot fails", [&] { Fail(kCamera, kShoot); }, {kStr11, kStr12, message(kStr10), kStr15, kStr3}, 0, false,
         true, false, 6000, 7000},
        {"file will not open", [&] { Fail(kFile, kOpen, 0, 2); },
         {kStr11, kStr12, kStr13, message(kStr14), kStr15, kStr3}, 0, true, true, false, 6000, 7000},
        {"garbage instead of a picture", [&] { Phone().InjectFault(SimPhone::Fault::GarbagePicture); },
         downloadStatuses, 0, true, true, true, 6000, 7000},
        {"picture too large for the program", [&] { Phone().InjectFault(SimPhone::Fault::HugePicture); },
         downloadStatuses, 0, true, true, true, 6000, 40000},
        {"camera will not stop", [&] { Fail(kCamera, kCameraOff); },
         {kStr11, kStr12, kStr13, kStr15, message(kStr16), kStr3}, 1, true, false, true, 6000, 7000},
    };
    settings_.SetCameraInitTime(5000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = Received().size();
        view_->events.clear();
        c.cause();
        const uint64_t slept = clock_.SleptMilliseconds();
        TakePhoto();
        std::vector<QString> texts;
        for (const auto& event : view_->events)
            if (event.kind == RecordingView::Kind::Status || event.kind == RecordingView::Kind::Message)
                texts.push_back(event.kind == RecordingView::Kind::Message ? message(event.text) : event.text);
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(view_->Pictures().size(), c.pictures);
        const auto received = Received();
        std::vector<Bytes> fileCommands;
        bool cameraOff = false;
        for (auto command = received.begin() + static_cast<std::ptrdiff_t>(before); command != received.end();
             ++command) {
            if (command->first == kFile)
                fileCommands.push_back(Bytes(command->second.begin(), command->second.begin() + 4));
            cameraOff = cameraOff || *command == std::pair<uint16_t, Bytes>{kCamera, kCameraOff};
        }
        const std::vector<Bytes> lastTwo(fileCommands.end() - std::min<std::ptrdiff_t>(2, std::ssize(fileCommands)),
                                         fileCommands.end());
        EXPECT_EQ(lastTwo, (c.fileCommands ? std::vector<Bytes>{kClose, kDelete} : std::vector<Bytes>{}));
        EXPECT_EQ(cameraOff, c.cameraOff);
        EXPECT_FALSE(Phone().File("/a/temp.jpg"));
        EXPECT_GE(clock_.SleptMilliseconds() - slept, c.sleptFrom);
        EXPECT_LT(clock_.SleptMilliseconds() - slept, c.sleptBelow);
        EXPECT_EQ(view_->Progress().empty() ? 0 : view_->Progress().back(), c.downloaded ? -1 : 0);
    }
}

TEST_F(PhotoTest, FileThatOpensAtTheSecondAttemptIsShownWithoutAMessage)
{
    Fail(kFile, kOpen);
    TakePhoto();
    EXPECT_TRUE(view_->Texts(RecordingView::Kind::Message).empty());
    EXPECT_EQ(view_->Pictures().size(), 1u);
}

TEST_F(PhotoTest, FailedReadKeepsThePreviousPictureQuietly)
{
    TakePhoto();
    ASSERT_EQ(view_->Pictures().size(), 1u);
    view_->events.clear();

    Fail(kFile, kRead, 3);  // the fourth block
    TakePhoto();
    EXPECT_TRUE(view_->Texts(RecordingView::Kind::Message).empty());
    EXPECT_TRUE(view_->Pictures().empty());
    EXPECT_EQ(view_->Texts(RecordingView::Kind::Status).back(), kStr3);
    ASSERT_FALSE(view_->Progress().empty());
    EXPECT_EQ(view_->Progress().back(), -1) << "the bar is hidden again";
    EXPECT_FALSE(Phone().File("/a/temp.jpg")) << "closed and deleted all the same";
    EXPECT_FALSE(Phone().CameraOn());
}

// A picture the phone had only half written when it was read is shown all
// the same, grey below what arrived, with no message: the grey tells the
// user to wait longer. The whole picture before it has no grey.
TEST_F(PhotoTest, PictureCutShortIsShownGreyBelowWhatArrived)
{
    settings_.SetPrintDateOnImage(false);
    const struct {
        const char* what;
        bool cutShort;
    } cases[] = {{"whole", false}, {"cut short", true}};
    QSize wholeSize;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        view_->events.clear();
        if (c.cutShort)
            Phone().InjectFault(SimPhone::Fault::CutShortPicture);
        TakePhoto();
        EXPECT_TRUE(view_->Texts(RecordingView::Kind::Message).empty());
        EXPECT_EQ(view_->Texts(RecordingView::Kind::Status), (std::vector<QString>{kStr11, kStr12, kStr13, kStr15, kStr3}));
        ASSERT_EQ(view_->Pictures().size(), 1u);
        const QImage picture = view_->Pictures()[0];
        if (!c.cutShort)
            wholeSize = picture.size();
        EXPECT_EQ(picture.size(), wholeSize);
        EXPECT_LT(qGray(picture.pixel(2, 2)), 40) << "the counter's black band at the top";
        const QColor corner = picture.pixelColor(picture.width() - 3, picture.height() - 3);
        const bool grey = std::abs(corner.red() - 128) <= 8 && std::abs(corner.green() - 128) <= 8 &&
                          std::abs(corner.blue() - 128) <= 8;
        EXPECT_EQ(grey, c.cutShort) << corner.name().toStdString();
        EXPECT_FALSE(Phone().File("/a/temp.jpg")) << "closed and deleted";
    }
}

TEST_F(PhotoTest, WithoutAPhoneNothingHappens)
{
    link_.Close();
    TakePhoto();
    EXPECT_TRUE(view_->events.empty());
    EXPECT_EQ(clock_.SleptMilliseconds(), 0u);
}

TEST_F(PhotoTest, LargePictureIsDownloadedWhole)
{
    settings_.SetJpgType(10);
    settings_.SetPrintDateOnImage(false);
    TakePhoto();
    ASSERT_TRUE(view_->phoneFile);
    EXPECT_GT(view_->phoneFile->size(), 131072u) << "the test needs a picture larger than the room taken up front";
    ASSERT_EQ(view_->Pictures().size(), 1u);
    QImage decoded;
    ASSERT_TRUE(orv::DecodeJpeg(view_->phoneFile->data(), view_->phoneFile->size(), &decoded));
    EXPECT_EQ(view_->Pictures()[0], decoded);
    EXPECT_EQ(decoded.size(), QSize(1600, 1200));
}

TEST_F(PhotoTest, TempNameIsTakenWhenTheThreadIsMade)
{
    settings_.SetTempJpgName(QStringLiteral("/a/other.jpg"));
    TakePhoto();
    EXPECT_TRUE(Received(kCamera, WithPath(kShoot, "/a/other.jpg")));
    EXPECT_TRUE(Received(kFile, WithPath(kDelete, "/a/other.jpg")));
    EXPECT_FALSE(Phone().File("/a/other.jpg"));
}

TEST_F(PhotoTest, WaitsForACaptureUnderWayAndSendsNothingMeanwhile)
{
    orv::phone::Turn& turn = link_.CaptureTurn();
    turn.lock();  // another capture (the options dialog's test, say) is under way
    bool finished = false;
    QEventLoop loop;
    new orv::PhotoThread(*view_, settings_, link_, [&] {
        finished = true;
        loop.quit();
    });
    const bool queued = QTest::qWaitFor([&] { return turn.Waiting() == 1; }, 10000);
    EXPECT_TRUE(queued);
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(view_->events.empty());
    turn.unlock();

    QTimer::singleShot(60000, &loop, &QEventLoop::quit);  // a safety net, never reached when all is well
    if (!finished)
        loop.exec();
    ASSERT_TRUE(finished);
    EXPECT_EQ(view_->Pictures().size(), 1u);
    EXPECT_EQ(view_->Texts(RecordingView::Kind::Status).front(), kStr11);
}
