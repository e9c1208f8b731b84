// The main window with the real recorder on the simulated phone: its menus
// through start, stop and failure, the current frame, the picture and the
// window's size.

#include "tests/shell/WindowFixture.h"

#include "AviReadBack.h"
#include "vcam/VirtualCamera.h"
#include "video/Recorder.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QStatusBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QTcpServer>
#include <QTemporaryDir>

namespace orv::test {
namespace {

const QString kStr3 = QStringLiteral("Статус: не занят.");
const QString kStr18 = QStringLiteral("Ошибка камеры!");
const QString kStr19 = QStringLiteral("Формат не поддерживается кодеком!");

QImage Filled(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(colour);
    return image;
}

// The window whose recorder's end handler, once asked, chooses START right
// after it has run: the recorder is still there then, waiting to complete
// its file.
class StartAgainForm final : public MainWindow {
public:
    bool startInHandler = false;
    bool handlerRan = false;
    bool startRefused = false;

    StartAgainForm()
    {
        session->SetRecorderMaker([this](video::RecorderView& view, std::function<void()> finished,
                                         const webcam::Session::Request& request,
                                         std::shared_ptr<video::RecordingLog> log) {
            return session->MakeRecorder(view, [this, finished] {
                finished();
                if (!startInHandler)
                    return;
                startInHandler = false;
                StartWebCamera();
                startRefused = !session->Running() && !startCameraAction->isEnabled() && startCameraAction->isVisible();
                handlerRan = true;
            }, request, std::move(log));
        });
    }
};

class RecorderWindowTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        ASSERT_TRUE(folder_.isValid());
        file_ = folder_.filePath(QStringLiteral("record.avi"));
        Settings().SetAutoPhoneConnect(false);
        Settings().SetAviTempName(file_);
        Settings().SetCameraInitTime(0);
        Settings().SetTimeout(0);
    }

    void TearDown() override
    {
        WindowTest::TearDown();
        EXPECT_TRUE(video::Recorder::WaitUntilNoneAlive(std::chrono::seconds(10)));
    }

    MainWindow& ConnectedForm()
    {
        AddPhone();
        MainWindow& form = MakeForm();
        form.show();
        form.ConnectPhone();
        EXPECT_TRUE(WaitForConnected());
        return form;
    }

    // A recording takes its name at its first frame and leaves an earlier
    // file until then: the file is removed before START, so that frames
    // counted are the new recording's.
    void StartAfresh(MainWindow& form)
    {
        QFile::remove(file_);
        form.StartWebCamera();
    }

    // Records until the file holds at least frames frames.
    bool WaitForFrames(int frames)
    {
        return QTest::qWaitFor([&] { return CountFrameChunks(file_) >= frames; }, 30000);
    }

    bool WaitForRecorderEnd()
    {
        return WaitFor([&] { return CameraIdle(Form()); })
               && video::Recorder::WaitUntilNoneAlive(std::chrono::seconds(10));
    }

    QTemporaryDir folder_;
    QString file_;
};

TEST_F(RecorderWindowTest, MenusFollowTheRecorderThroughStartStopAndFailure)
{
    MainWindow& form = ConnectedForm();
    ExpectMenus(form, kPhoneIdle);

    StartAfresh(form);
    ASSERT_TRUE(form.session->Running());
    ExpectMenus(form, kWebCamera);
    ASSERT_TRUE(WaitForFrames(2));
    form.StopWebCamera();
    ASSERT_TRUE(WaitForRecorderEnd());
    ExpectMenus(form, kPhoneIdle);
    // Where it went, whole at the window's first size.
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QStringLiteral("Записано: record.avi"));
    EXPECT_TRUE(WaitFor([&] { return form.ShownPanelText(MainWindow::kWorkPanel) == form.PanelText(MainWindow::kWorkPanel); }))
        << form.ShownPanelText(MainWindow::kWorkPanel).toStdString();
    // The time, with its label where that fits (the panels give way at
    // this size), never cut.
    const QString time = form.PanelText(MainWindow::kTimePanel);
    EXPECT_TRUE(time.startsWith(QStringLiteral("00:00:")) || time.startsWith(QStringLiteral("Время съёмки: 00:00:")))
        << time.toStdString();
    EXPECT_EQ(form.ShownPanelText(MainWindow::kTimePanel), time);
    EXPECT_TRUE(SharedDialogs().Messages().empty());
    EXPECT_TRUE(HasIndex(file_)) << "the file is complete";
    EXPECT_GE(RunFfprobe(file_).frames, 2);

    // No encoder at the chosen index: the message, and START again.
    Settings().SetCodecIndex(1000);
    form.StartWebCamera();
    ASSERT_TRUE(WaitForRecorderEnd());
    ExpectMenus(form, kPhoneIdle);
    EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{kStr19});

    // START works after the failure; the phone going away ends the recording.
    Settings().SetCodecIndex(0);
    StartAfresh(form);
    ExpectMenus(form, kWebCamera);
    ASSERT_TRUE(WaitForFrames(2));
    phones_.back()->Unplug();
    ASSERT_TRUE(WaitForRecorderEnd());
    ASSERT_TRUE(WaitFor([&] { return form.connectAction->isEnabled(); }));
    ExpectMenus(form, kNoPhone);
    EXPECT_EQ(SharedDialogs().MessageTexts(), (QStringList{kStr19, kStr18}));
    EXPECT_GE(RunFfprobe(file_).frames, 2);
    form.StopWebCamera();  // nothing to stop
    EXPECT_TRUE(CameraIdle(form));
}

TEST_F(RecorderWindowTest, StartRightAfterStopWaitsUntilTheLastFileIsComplete)
{
    AddPhone();
    auto& form = MakeForm<StartAgainForm>();
    form.show();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        form.StartWebCamera();
        ASSERT_TRUE(form.session->Running());
        // The third frame is shown once the second is in the file.
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.session->Frames() >= 3; }, 30000));
        // STOP, and START within the same moment.
        form.startInHandler = true;
        form.StopWebCamera();
        ASSERT_TRUE(WaitFor([&] { return form.handlerRan; }));
        form.handlerRan = false;
        EXPECT_TRUE(form.startRefused) << "START waits for the file";
        // START comes back once the file is complete, and the file reads.
        ASSERT_TRUE(WaitFor([&] { return form.startCameraAction->isEnabled(); }));
        EXPECT_EQ(video::Recorder::WaitUntilNoneAlive(std::chrono::milliseconds(0)), true);
        ExpectMenus(form, kPhoneIdle);
        EXPECT_TRUE(HasIndex(file_));
        const int chunks = CountFrameChunks(file_);
        EXPECT_GE(chunks, 2);
        EXPECT_EQ(RunFfprobe(file_).frames, chunks);
        EXPECT_EQ(ReadStreamHeader(file_).value_or(StreamHeader{}).length, static_cast<uint32_t>(chunks));
    }
    EXPECT_TRUE(SharedDialogs().Messages().empty());
}

TEST_F(RecorderWindowTest, WebCameraOfSwitchSComesBackAfterAFaultWithItsServerUp)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const int port = probe.serverPort();
    probe.close();
    Settings().SetServerEnabled(true);
    Settings().SetServerPort(port);
    SetProgramArguments({QStringLiteral("/s")});
    const QByteArray earlier("an earlier recording");
    {
        QFile file(file_);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    MainWindow& form = ConnectedForm();
    ASSERT_TRUE(WaitFor([&] { return form.session->Running(); }));
    const QString second = folder_.filePath(QStringLiteral("record-2.avi"));
    const QString third = folder_.filePath(QStringLiteral("record-3.avi"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return CountFrameChunks(second) >= 2; }, 30000));
    // A picture that does not decode: the recording ends, and the camera
    // starts again into a new file, its server listening all along.
    phones_.back()->InjectFault(sim::SimPhone::Fault::GarbagePicture);
    ASSERT_TRUE(QTest::qWaitFor([&] { return CountFrameChunks(third) >= 2; }, 30000));
    EXPECT_TRUE(form.session->Running());
    EXPECT_TRUE(form.session->Server().isListening());
    ExpectMenus(form, kWebCamera);
    EXPECT_TRUE(SharedDialogs().Messages().empty()) << "no box waits for somebody who is not there";
    form.StopWebCamera();
    ASSERT_TRUE(WaitForRecorderEnd());
    EXPECT_FALSE(form.session->Server().isListening());
    QFile file(file_);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), earlier) << "never replaced";
    // The last file by name, whole once the bar is laid out again without
    // the server's address; every file in the tip.
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QStringLiteral("Записано: record-3.avi"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return form.ShownPanelText(MainWindow::kWorkPanel) == QStringLiteral("Записано: record-3.avi"); }));
    EXPECT_EQ(form.PanelTip(MainWindow::kWorkPanel), second + QLatin1Char('\n') + third);
    for (const QString& path : {second, third}) {
        EXPECT_TRUE(HasIndex(path)) << path.toStdString();
        EXPECT_EQ(RunFfprobe(path).frames, CountFrameChunks(path)) << path.toStdString();
    }
}

TEST_F(RecorderWindowTest, CameraThatDoesNotStartLeavesTheIdleText)
{
    MainWindow& form = ConnectedForm();
    Settings().SetJpgType(11);  // a picture type the phone's camera refuses
    form.StartWebCamera();
    ASSERT_TRUE(WaitForRecorderEnd());
    EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{QStringLiteral("Инициализация камеры невозможна!")});
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), kStr3);
    ExpectMenus(form, kPhoneIdle);
    EXPECT_FALSE(QFile::exists(file_)) << "no frame, no file";
}

TEST_F(RecorderWindowTest, EveryFrameBecomesTheCurrentFrameAndTheShownOneOnlyWhenDuplicated)
{
    const struct {
        bool duplicate;
        bool pictureShown;
        QSize outerSize;  // of the window afterwards; empty: as before
    } cases[] = {
        {true, true, QSize(665, 560)},
        {false, false, QSize()},
    };
    MainWindow& form = ConnectedForm();
    // The window is never narrower than its menu and status bar.
    form.resize(1, 300);
    const int narrowest = form.frameGeometry().width();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.duplicate ? "duplicated" : "not duplicated");
        Settings().SetDuplicatePicture(c.duplicate);
        form.ShowPicture(QImage());
        form.resize(500, 300);
        const QSize before = form.frameGeometry().size();
        ServeFrame(form, QImage());
        StartAfresh(form);
        ASSERT_TRUE(WaitForFrames(3));
        form.StopWebCamera();
        ASSERT_TRUE(WaitForRecorderEnd());
        ASSERT_FALSE(form.session->CurrentFrame().isNull());
        EXPECT_EQ(form.session->CurrentFrame().size(), QSize(640, 480));
        EXPECT_EQ(form.Picture().isNull(), !c.pictureShown);
        if (c.pictureShown) {
            EXPECT_EQ(form.Picture(), form.session->CurrentFrame()) << "the last frame is the one shown";
        }
        EXPECT_EQ(form.frameGeometry().size(),
                  c.outerSize.isEmpty() ? before : QSize(std::max(c.outerSize.width(), narrowest), c.outerSize.height()));
    }
    EXPECT_TRUE(SharedDialogs().Messages().empty());
}

TEST_F(RecorderWindowTest, FrameWiderThan300FitsTheWindowWhenAsked)
{
    MainWindow& form = MakeForm();
    form.show();
    // The window is never narrower than its menu and status bar: the
    // narrowest it gets.
    form.resize(1, 300);
    const int narrowest = form.frameGeometry().width();
    form.resize(500, 300);
    const QSize start = form.frameGeometry().size();
    const struct {
        int width;
        int height;
        bool show;
        bool fit;
        QSize outerSize;  // empty: unchanged
    } cases[] = {
        {300, 200, true, true, QSize()},
        {301, 500, true, true, QSize(326, 580)},
        {640, 480, true, false, QSize()},
        {500, 400, false, true, QSize()},
        {640, 480, true, true, QSize(665, 560)},
    };
    QImage shown;
    int colour = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " show " << c.show << " fit " << c.fit);
        const QSize before = form.frameGeometry().size();
        form.pictureArea->verticalScrollBar()->setValue(10);
        const QImage frame = Filled(c.width, c.height, QColor::fromHsv(colour += 40, 200, 200));
        form.session->View().RecorderFrame(frame, c.show, c.fit);
        EXPECT_EQ(form.session->CurrentFrame(), frame);
        if (c.show)
            shown = frame;
        EXPECT_EQ(form.Picture(), shown);
        const QSize expected = c.outerSize.isEmpty()
                                   ? before
                                   : QSize(std::max(c.outerSize.width(), narrowest), c.outerSize.height());
        EXPECT_EQ(form.frameGeometry().size(), expected);
        if (!c.outerSize.isEmpty()) {
            EXPECT_EQ(form.pictureLabel->pos(), QPoint(0, 0));
        }
    }
    EXPECT_NE(form.frameGeometry().size(), start);
    EXPECT_LT(narrowest, 326) << "the status bar's panels give way to a picture 301 pixels wide";
}

TEST_F(RecorderWindowTest, RecordingTimeKeepsItsLabelWhereThereIsRoom)
{
    MainWindow& form = MakeForm();
    form.show();
    const QString label = QStringLiteral("Время съёмки:");
    const QString full = QStringLiteral("Время съёмки: 00:01:05");
    for (const auto& [width, shown] : {std::pair{650, QStringLiteral("00:01:05")}, std::pair{1200, full}}) {
        form.resize(width, 400);
        QApplication::processEvents();
        form.ShowRecordingTime(label, QStringLiteral(" 00:01:05"));
        EXPECT_EQ(form.PanelText(MainWindow::kTimePanel), shown) << width;
        QString tip;
        for (const QLabel* panel : form.statusPanels->findChildren<QLabel*>())
            if (panel->text() == shown)
                tip = panel->toolTip();
        EXPECT_EQ(tip, full);
    }
}

// The PipeWire camera lives while the web camera runs with "VirtualCamera"
// on. With no daemon (a runtime folder of its own, empty) a panel of its own
// says so once, in the language in force, beside the time and work panels,
// and the web camera runs on; "RecordToFile" off leaves no file, and the
// title says that the web camera is live.
TEST_F(RecorderWindowTest, PipeWireCameraFollowsTheWebCameraAndSaysWhenThereIsNoPipeWire)
{
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const QByteArray oldRuntime = qgetenv("PIPEWIRE_RUNTIME_DIR");
    qputenv("PIPEWIRE_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    struct Row {
        const char* what;
        bool virtualCamera;
        QString panel;
        QString tip;
    };
    const Row rows[] = {
        {"camera off (the default)", false, QString(), QString()},
        {"camera on, no daemon", true, QStringLiteral("PipeWire не запущен"),
         QStringLiteral("PipeWire is not running (no daemon in %1)").arg(runtime.path())},
    };
    MainWindow& form = ConnectedForm();
    EXPECT_FALSE(Settings().GetVirtualCamera());
    Settings().SetRecordToFile(false);
    for (const Row& row : rows) {
        if (row.virtualCamera)
            Settings().SetVirtualCamera(true);
        ServeFrame(form, QImage());
        form.StartWebCamera();
        ASSERT_TRUE(form.session->Running()) << row.what;
        EXPECT_EQ(form.session->VirtualCameraRunning(), row.virtualCamera) << row.what;
        EXPECT_EQ(form.virtualCameraPanel->isVisible(), row.virtualCamera) << row.what;
        EXPECT_EQ(form.virtualCameraPanel->text(), row.panel) << row.what;
        // Whole once the bar is laid out, the system's reason in the tip.
        EXPECT_TRUE(WaitFor([&] { return form.virtualCameraPanel->ShownText() == row.panel; })) << row.what;
        EXPECT_EQ(form.virtualCameraPanel->toolTip(), row.tip) << row.what;
        EXPECT_TRUE(form.statusPanels->currentMessage().isEmpty()) << row.what;
        ASSERT_TRUE(WaitFor([&] { return !form.session->CurrentFrame().isNull(); })) << row.what;
        EXPECT_TRUE(form.windowTitle().startsWith(QStringLiteral("● ЭФИР 00:00:"))) << form.windowTitle().toStdString();
        EXPECT_TRUE(form.tray->Tip().startsWith(QStringLiteral("● ЭФИР 00:00:"))) << row.what;
        for (const int panel : {MainWindow::kWorkPanel, MainWindow::kTimePanel})
            EXPECT_TRUE(form.statusPanels->findChildren<QLabel*>().at(panel)->isVisible()) << row.what;
        form.StopWebCamera();
        ASSERT_TRUE(WaitForRecorderEnd()) << row.what;
        EXPECT_FALSE(form.session->VirtualCameraRunning()) << row.what << ": the node outlives the web camera";
        EXPECT_FALSE(form.virtualCameraPanel->isVisible()) << row.what;
        EXPECT_FALSE(form.windowTitle().contains(QStringLiteral("●"))) << row.what;
        EXPECT_FALSE(QFile::exists(file_)) << row.what;
        EXPECT_TRUE(SharedDialogs().Messages().empty()) << row.what;
    }
    Settings().SetVirtualCamera(false);
    Settings().SetRecordToFile(true);
    if (oldRuntime.isNull())
        qunsetenv("PIPEWIRE_RUNTIME_DIR");
    else
        qputenv("PIPEWIRE_RUNTIME_DIR", oldRuntime);
}

}  // namespace
}  // namespace orv::test
