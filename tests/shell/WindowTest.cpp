// The main window on the simulated phone: its states, the state handler, the
// commands, the close rules, the lamp, the panels, saving and resizing.

#include "tests/support/FreePort.h"
#include "WindowFixture.h"

#include "texts/LangTexts.h"
#include "phone/PhoneWorker.h"
#include "platform/SettingsStore.h"

#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QTcpServer>

#include <csignal>
#include <future>
#include <sys/resource.h>

namespace orv::test {
namespace {

const QString kIdle = QStringLiteral("Статус: не занят.");
const QString kNotConnected = QStringLiteral("Статус: не соединён.");
const QString kConnected = QStringLiteral("Статус: соединён.");

QImage TestImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixelColor(x, y, QColor(x % 256, y % 256, (x + y) % 256));
    return image;
}

std::vector<uint16_t> CommandCodes(const sim::SimPhone& phone)
{
    std::vector<uint16_t> codes;
    for (const auto& command : phone.Commands())
        codes.push_back(command.code);
    return codes;
}

// A phone that answers the restart and stays on the bus, so that a second
// restart would reach it too.
sim::SimPhone::Options StayingPhone()
{
    sim::SimPhone::Options options;
    options.rebootOnRestart = false;
    return options;
}

// Waits until the phone worker has run everything queued before this call.
bool PhoneWorkerIdle() { return phone::PhoneWorker::Instance().RunAndWait([] {}, std::chrono::seconds(10)); }

TEST_F(WindowTest, StartsWithoutMonitorWhenAutoConnectIsOff)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    EXPECT_EQ(form.deviceMonitor, nullptr);
    ExpectMenus(form, kNoPhone);
    EXPECT_FALSE(form.IndicatorConnected());
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), kNotConnected);
    EXPECT_EQ(form.PanelText(MainWindow::kModelPanel), QStringLiteral("Модель:"));
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), kIdle);
    EXPECT_EQ(form.PanelText(MainWindow::kTimePanel), QString());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Orvello v" ORV_VERSION " \u2014 by the Orvello authors"));
    EXPECT_EQ(form.tray->Tip(), form.windowTitle());
    EXPECT_EQ(form.fileMenuAction->text(), QStringLiteral("&Файл"));
    EXPECT_EQ(form.takePhotoAction->shortcut(), QKeySequence(Qt::Key_F4));
    EXPECT_FALSE(form.session->Server().isListening());
    EXPECT_TRUE(form.session->CurrentFrame().isNull());
    EXPECT_TRUE(CameraIdle(form));
    // Nothing happens until Connect is chosen; F4 does nothing either: the
    // phone gets only what connecting sends (the model and the suspend).
    sim::SimPhone& phone = AddPhone();
    QTest::keyClick(&form, Qt::Key_F4);
    form.TakePhoto();
    EXPECT_EQ(form.deviceMonitor, nullptr);
    EXPECT_EQ(phone.Count().modeSwitches, 0);
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    EXPECT_EQ(CommandCodes(phone), (std::vector<uint16_t>{0x20, 0x36}));
    EXPECT_TRUE(SharedDialogs().Messages().empty());
}

TEST_F(WindowTest, ConnectingShowsThePhoneAndSuspendsIt)
{
    Settings().SetAutoPhoneConnect(false);
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    form.ConnectPhone();
    phone::DeviceMonitor* monitor = form.deviceMonitor;
    ASSERT_NE(monitor, nullptr);
    form.ConnectPhone();  // a second Connect makes no second monitor
    EXPECT_EQ(form.deviceMonitor, monitor);
    ASSERT_TRUE(WaitForConnected());

    ExpectMenus(form, kPhoneIdle);
    EXPECT_TRUE(form.IndicatorConnected());
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), kConnected);
    EXPECT_EQ(form.PanelText(MainWindow::kModelPanel), QStringLiteral("Модель: Motorola V3x"));
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), kIdle);
    EXPECT_EQ(phone.Count().modeSwitches, 1);
    EXPECT_EQ(phone.Count().suspends, 1);
    EXPECT_TRUE(SharedDialogs().Messages().empty());
}

TEST_F(WindowTest, AutoConnectStartsTheMonitorAndSuspendCanBeOff)
{
    Settings().SetAutoSuspendMode(false);
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    EXPECT_NE(form.deviceMonitor, nullptr);
    ASSERT_TRUE(WaitForConnected());
    EXPECT_EQ(phone.Count().suspends, 0);
}

TEST_F(WindowTest, UnreadableModelShowsTheErrorAndUnnoun)
{
    Settings().SetAutoPhoneConnect(false);
    sim::SimPhone& phone = AddPhone();
    phone.InjectFault(sim::SimPhone::Fault::Stall);  // the model query is the first command
    MainWindow& form = MakeForm();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    EXPECT_EQ(form.PanelText(MainWindow::kModelPanel), QStringLiteral("Модель: Unnoun"));
    const auto messages = SharedDialogs().Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("Не могу получить модель телефона!"));
    EXPECT_EQ(messages[0].kind, MessageKind::Error);
}

TEST_F(WindowTest, DisconnectThenConnectMakesANewMonitor)
{
    Settings().SetAutoPhoneConnect(false);
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());

    form.DisconnectPhone();
    EXPECT_EQ(form.deviceMonitor, nullptr);
    // Connect again at once, while the old monitor may still wind down.
    form.ConnectPhone();
    EXPECT_NE(form.deviceMonitor, nullptr);
    ASSERT_TRUE(WaitFor([&] { return phone.Count().detaches >= 1 && phone.Count().modeSwitches >= 2; }));
    ASSERT_TRUE(WaitForConnected());
    ExpectMenus(form, kPhoneIdle);

    form.DisconnectPhone();
    ASSERT_TRUE(WaitFor([&] { return form.connectAction->isEnabled(); }));
    ExpectMenus(form, kNoPhone);
    EXPECT_FALSE(form.IndicatorConnected());
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), kNotConnected);
    EXPECT_EQ(form.PanelText(MainWindow::kModelPanel), QStringLiteral("Модель:"));
}

TEST_F(WindowTest, PhotoDisablesThePhoneMenuAndFitsTheWindow)
{
    Settings().SetAutoPhoneConnect(false);
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());

    QTest::keyClick(&form, Qt::Key_F4);
    ExpectMenus(form, kTakingPhoto);
    form.TakePhoto();  // a second F4 while the photo is under way is ignored
    ASSERT_TRUE(WaitFor([&] { return form.phoneMenuAction->isEnabled(); }));
    ExpectMenus(form, kPhoneIdle);
    ASSERT_FALSE(form.Picture().isNull());
    EXPECT_EQ(form.Picture().size(), QSize(640, 480));
    EXPECT_EQ(form.pictureLabel->size(), QSize(640, 480));
    // The picture's size and the room around it, unless the window cannot be
    // that narrow: its status bar's panels hold their texts.
    const int frameWidth = form.frameGeometry().width() - form.width();
    EXPECT_EQ(form.frameGeometry().size(), QSize(std::max(665, form.minimumWidth() + frameWidth), 560));
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QStringLiteral("Статус: не занят."));
    EXPECT_EQ(phone.Count().shots, 1);
    EXPECT_TRUE(form.downloadBar->isHidden());
    EXPECT_TRUE(SharedDialogs().Messages().empty()) << SharedDialogs().MessageTexts().join(QLatin1Char('|')).toStdString();
}

TEST_F(WindowTest, ResizeRuleFollowsPicturesWiderThan300)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.show();
    const QSize before = form.frameGeometry().size();
    form.ShowPicture(TestImage(300, 500));
    form.PhotoFinished();
    EXPECT_EQ(form.frameGeometry().size(), before);

    form.ShowPicture(TestImage(640, 480));
    form.pictureArea->horizontalScrollBar()->setValue(40);
    form.PhotoFinished();
    // The picture's size and the room around it, unless the window cannot be
    // that narrow: its status bar's panels hold their texts.
    const int frameWidth = form.frameGeometry().width() - form.width();
    EXPECT_EQ(form.frameGeometry().size(), QSize(std::max(665, form.minimumWidth() + frameWidth), 560));
    EXPECT_EQ(form.pictureLabel->pos(), QPoint(0, 0));
    EXPECT_FALSE(form.phoneMenuAction->isEnabled());  // it follows the connection: no phone

    Settings().SetAutoFormResize(false);
    form.resize(700, 400);
    form.ShowPicture(TestImage(800, 600));
    form.PhotoFinished();
    EXPECT_EQ(form.size(), QSize(700, 400));
}

TEST_F(WindowTest, WebCameraStateAndCloseRules)
{
    Settings().SetAutoPhoneConnect(false);
    sim::SimPhone& phone = AddPhone(StayingPhone());
    CamForm& form = MakeForm<CamForm>();
    form.show();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());

    form.StartWebCamera();
    ASSERT_TRUE(form.session->Running());
    ExpectMenus(form, kWebCamera);
    form.StartWebCamera();  // START is hidden now; choosing it anyway makes nothing
    EXPECT_EQ(form.camThreadsMade, 1);

    // Disconnect waits for STOP.
    form.DisconnectPhone();
    EXPECT_NE(form.deviceMonitor, nullptr);
    EXPECT_TRUE(form.session->Running());

    // Closing asks first; No keeps the web camera, without a restart.
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.session->Running());
    EXPECT_EQ(SharedDialogs().MessageTexts(),
              QStringList{QStringLiteral("Веб-камера работает. Остановить её и выйти из программы?")});
    EXPECT_EQ(phone.Count().restarts, 0);

    form.StopWebCamera();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
    ExpectMenus(form, kPhoneIdle);

    // AutoRestart (on by default): exactly one restart however often the
    // close is asked for, then the window closes.
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.MayClose());
    ASSERT_TRUE(PhoneWorkerIdle());
    EXPECT_EQ(phone.Count().restarts, 1);
    EXPECT_TRUE(phone.InTestMode());
}

// Each way of closing asks while the web camera runs: No keeps it running;
// Yes stops it, and the window closes once the session has ended, with no
// mark left in the title or on the tray icon.
TEST_F(WindowTest, ClosingWhileTheWebCameraRunsAsksWhetherToStopIt)
{
    Settings().SetAutoPhoneConnect(false);
    Settings().SetAutoRestart(false);
    AddPhone();
    CamForm& form = MakeForm<CamForm>();
    form.show();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    const QString title = form.windowTitle();
    form.StartWebCamera();
    ASSERT_TRUE(form.session->Running());
    form.ShowRecordingTime(QStringLiteral("Время съёмки:"), QStringLiteral(" 00:00:07"));
    ASSERT_TRUE(form.windowTitle().startsWith(QStringLiteral("● REC 00:00:07")));
    const struct {
        const char* way;
        std::function<void()> close;
    } ways[] = {
        {"closing the window", [&] { form.close(); }},
        {"Exit (Ctrl+Q)", [&] { form.exitAction->trigger(); }},
        {"the tray's Exit", [&] { form.trayExitAction->trigger(); }},
    };
    for (const auto& way : ways) {
        SharedDialogs().Clear();
        way.close();  // answered No
        EXPECT_TRUE(form.session->Running()) << way.way;
        EXPECT_TRUE(form.isVisible()) << way.way;
        ASSERT_EQ(SharedDialogs().Messages().size(), 1u) << way.way;
        EXPECT_EQ(SharedDialogs().Messages()[0].text,
                  QStringLiteral("Веб-камера работает. Остановить её и выйти из программы?"));
        EXPECT_EQ(SharedDialogs().Messages()[0].kind, MessageKind::Question) << way.way;
    }
    SharedDialogs().Clear();
    SharedDialogs().QueueAnswer(true);
    form.trayExitAction->trigger();
    ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }));
    EXPECT_TRUE(CameraIdle(form));
    EXPECT_EQ(form.camThreadsMade, 1);
    EXPECT_EQ(form.windowTitle(), title);
    EXPECT_FALSE(form.tray->Recording());
    EXPECT_EQ(SharedDialogs().Messages().size(), 1u);
}

TEST_F(WindowTest, CloseWithoutAutoRestartSendsNothing)
{
    Settings().SetAutoPhoneConnect(false);
    Settings().SetAutoRestart(false);
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    form.show();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    const int commandsBefore = phone.Count().commands;
    EXPECT_TRUE(form.close());
    EXPECT_EQ(phone.Count().restarts, 0);
    EXPECT_EQ(phone.Count().commands, commandsBefore);
}

TEST_F(WindowTest, CloseWithAutoRestartAndNoPhoneReturnsAtOnce)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.show();
    const uint64_t slept = SharedClock().SleptMilliseconds();
    EXPECT_TRUE(form.close());
    EXPECT_EQ(SharedClock().SleptMilliseconds(), slept);
}

// Makes the phone silent until Lift(), or for at most 5 s: a command that
// the window waited for would then have reached the phone by the time the
// test looks, so the test fails instead of hanging.
class SilenceLifter {
public:
    explicit SilenceLifter(sim::SimPhone& phone) : phone_(phone)
    {
        phone_.SetSilent(true);
        lifter_ = std::async(std::launch::async, [this, lifted = lifted_.get_future()] {
            lifted.wait_for(std::chrono::seconds(5));
            phone_.SetSilent(false);
        });
    }
    ~SilenceLifter()
    {
        lifted_.set_value();
        lifter_.wait();
    }

private:
    sim::SimPhone& phone_;
    std::promise<void> lifted_;
    std::future<void> lifter_;
};

TEST_F(WindowTest, PhoneCommandsOfTheMenuNeverHoldTheWindow)
{
    Settings().SetAutoPhoneConnect(false);
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    form.show();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    const std::vector<uint16_t> before = CommandCodes(phone);
    {
        SilenceLifter silence(phone);
        form.SuspendPhone();
        form.RestartPhone();
        // Both returned while the phone was still silent: nothing reached it.
        EXPECT_EQ(CommandCodes(phone), before);
    }
    // Once it answers again, both go out in the order they were chosen.
    ASSERT_TRUE(WaitFor([&] { return phone.Count().restarts == 1; }));
    std::vector<uint16_t> expected = before;
    expected.insert(expected.end(), {0x36, 0x22});
    EXPECT_EQ(CommandCodes(phone), expected);
    EXPECT_TRUE(phone.Commands().back().data.empty());  // the restart carries no data
}

// Counts the paint events of a widget.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

TEST_F(WindowTest, ExitGivesUpOnAPhoneThatStoppedAnsweringAndKeepsPainting)
{
    Settings().SetAutoPhoneConnect(false);  // "AutoRestart" is on by default
    sim::SimPhone& phone = AddPhone(StayingPhone());
    CamForm& form = MakeForm<CamForm>();
    form.show();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    QCoreApplication::processEvents();
    form.exitRestartWait = std::chrono::milliseconds(200);
    PaintCounter counter;
    form.installEventFilter(&counter);
    {
        SilenceLifter silence(phone);
        form.update();  // a paint due while the restart is on its way
        EXPECT_TRUE(form.close());
        EXPECT_FALSE(form.isVisible());
        EXPECT_GE(counter.paints, 1);  // painted during the wait
        EXPECT_EQ(phone.Count().restarts, 0);  // closed before the phone answered
    }
    form.removeEventFilter(&counter);
    // The restart still goes out once the phone answers, and only once.
    ASSERT_TRUE(WaitFor([&] { return phone.Count().restarts == 1; }));
    EXPECT_TRUE(form.MayClose());
    ASSERT_TRUE(PhoneWorkerIdle());
    const std::vector<uint16_t> codes = CommandCodes(phone);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x22), 1);
}

TEST_F(WindowTest, RecorderThatCannotStartGivesStartBack)
{
    Settings().SetAutoPhoneConnect(false);
    Settings().SetCodecIndex(1000);  // no such encoder
    const QString file = TempFolder() + QStringLiteral("/never-made.avi");
    Settings().SetAviTempName(file);
    MainWindow& form = MakeForm();
    form.StartWebCamera();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
    ExpectMenus(form, kNoPhone);
    EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{QStringLiteral("Формат не поддерживается кодеком!")});
    EXPECT_FALSE(QFile::exists(file));
    form.StopWebCamera();  // nothing to stop
    EXPECT_TRUE(CameraIdle(form));
}

TEST_F(WindowTest, WebServerListensOnlyWhileTheCameraRuns)
{
    const int port = FreePort();
    Settings().SetAutoPhoneConnect(false);
    Settings().SetServerEnabled(true);
    Settings().SetServerPort(port);
    CamForm& form = MakeForm<CamForm>();

    form.StartWebCamera();
    ASSERT_TRUE(form.session->Running());
    EXPECT_TRUE(form.session->Server().isListening());
    EXPECT_EQ(form.session->Server().serverPort(), port);
    form.StopWebCamera();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
    EXPECT_FALSE(form.session->Server().isListening());

    // A port that is taken: the error is shown and no thread is started.
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::Any, static_cast<quint16>(port)));
    form.StartWebCamera();
    EXPECT_TRUE(CameraIdle(form));
    EXPECT_EQ(form.camThreadsMade, 1);
    ExpectMenus(form, kNoPhone);
    ASSERT_EQ(SharedDialogs().Messages().size(), 1u);
    EXPECT_EQ(SharedDialogs().Messages()[0].text,
              QStringLiteral("Socket error: Address already in use (98), on API 'bind'"));
    EXPECT_EQ(SharedDialogs().Messages()[0].kind, MessageKind::Error);
}

TEST_F(WindowTest, SwitchSStartsTheWebCameraOnConnect)
{
    Settings().SetAutoPhoneConnect(false);
    SetProgramArguments({QStringLiteral("/s")});
    AddPhone();
    CamForm& form = MakeForm<CamForm>();
    form.ConnectPhone();
    ASSERT_TRUE(WaitFor([&] { return form.session->Running(); }));
    EXPECT_EQ(form.PanelText(MainWindow::kModelPanel), QStringLiteral("Модель: Motorola V3x"));
    ExpectMenus(form, kWebCamera);
}

TEST_F(WindowTest, LampIsRedWhenConnectedAndDarkGreenOtherwise)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    EXPECT_EQ(form.connectionLamp->size(), QSize(25, 22));
    for (const bool connected : {false, true}) {
        form.DrawIndicator(connected);
        const QImage lamp = form.connectionLamp->grab().toImage();
        ASSERT_EQ(lamp.size(), QSize(25, 22));
        const QColor fill = connected ? QColor(255, 0, 0) : QColor(0, 128, 0);
        EXPECT_EQ(lamp.pixelColor(12, 11).rgb(), fill.rgb()) << connected;
        // The outline: rows 4 and 17, columns 5 and 19 at their middles.
        EXPECT_EQ(lamp.pixelColor(12, 4).rgb(), QColor(Qt::black).rgb());
        EXPECT_EQ(lamp.pixelColor(12, 17).rgb(), QColor(Qt::black).rgb());
        EXPECT_EQ(lamp.pixelColor(5, 11).rgb(), QColor(Qt::black).rgb());
        EXPECT_EQ(lamp.pixelColor(19, 11).rgb(), QColor(Qt::black).rgb());
        // Outside the outline and in the rounded corners the lamp is not painted.
        for (const QPoint p : {QPoint(12, 3), QPoint(12, 18), QPoint(4, 11), QPoint(20, 11), QPoint(5, 4)})
            EXPECT_NE(lamp.pixelColor(p).rgb(), fill.rgb()) << p.x() << "," << p.y();
    }
}

TEST_F(WindowTest, EnglishLanguageFileRelabelsMenuAndPanels)
{
    qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
    Settings().SetAutoPhoneConnect(false);
    Settings().SetLangIndex(1);
    MainWindow& form = MakeForm();
    EXPECT_EQ(form.fileMenuAction->text(), QStringLiteral("&File"));
    EXPECT_EQ(form.aboutAction->text(), QStringLiteral("&About"));
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), QStringLiteral("Status: not connected."));
    EXPECT_EQ(form.PanelText(MainWindow::kModelPanel), QStringLiteral("Model:"));
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QStringLiteral("Status: idle."));
}

TEST_F(WindowTest, OptionsOkRelabelsTheMenuAndCancelDoesNot)
{
    QFile file(languageFolder_ + QStringLiteral("/a.lng"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[menu]\nexit=\nhelp=A help caption longer than fifteen\n");
    file.close();
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    SharedDialogs().onModal = [](QDialog*) {
        Settings().SetLangIndex(1);  // what the dialog writes on OK
        return static_cast<int>(QDialog::Rejected);
    };
    form.ShowOptions();
    EXPECT_EQ(form.exitAction->text(), QStringLiteral("&Выход"));
    SharedDialogs().onModal = [](QDialog*) { return static_cast<int>(QDialog::Accepted); };
    form.ShowOptions();
    EXPECT_EQ(form.exitAction->text(), QString());
    EXPECT_EQ(form.helpMenuAction->text(), QStringLiteral("A help caption longer than fifteen"));
    EXPECT_EQ(form.fileMenuAction->text(), QStringLiteral("&Файл"));
}

TEST_F(WindowTest, HelpMenuSitsAtTheRightEndOfTheMenuBar)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QRect help = form.mainMenu->actionGeometry(form.helpMenuAction);
    const QRect options = form.mainMenu->actionGeometry(form.optionsAction);
    EXPECT_GT(help.left(), options.right() + 100);
    EXPECT_GE(help.right(), form.mainMenu->width() - 12);
}

TEST_F(WindowTest, SavingWritesTheChosenFormatOrNothing)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    const QString folder = TempFolder() + QStringLiteral("/save");
    QDir().mkpath(folder);

    // No picture yet: the command is disabled and, reached anyway, opens no
    // dialog and writes nothing.
    EXPECT_FALSE(form.savePictureAction->isEnabled());
    form.SavePictureAs();
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_TRUE(SharedDialogs().saveRequests.empty());
    SharedDialogs().Clear();
    form.SavePicture(folder + QStringLiteral("/none.bmp"), 1);
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());

    form.ShowPicture(TestImage(64, 48));
    EXPECT_TRUE(form.savePictureAction->isEnabled());
    // The JPEG filter decides the format, whatever the name says.
    SharedDialogs().QueueSave(SaveAnswer{folder + QStringLiteral("/photo.bmp"), 2});
    form.SavePictureAs();
    QFile jpeg(folder + QStringLiteral("/photo.bmp"));
    ASSERT_TRUE(jpeg.open(QIODevice::ReadOnly));
    const QByteArray jpegBytes = jpeg.readAll();
    EXPECT_TRUE(jpegBytes.startsWith("\xFF\xD8\xFF"));
    EXPECT_EQ(QImage::fromData(jpegBytes, "JPEG").size(), QSize(64, 48));

    // The bitmap filter replaces the existing file with a bitmap.
    SharedDialogs().QueueSave(SaveAnswer{folder + QStringLiteral("/photo.bmp"), 1});
    form.SavePictureAs();
    QFile bmp(folder + QStringLiteral("/photo.bmp"));
    ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
    const QByteArray bmpBytes = bmp.readAll();
    EXPECT_TRUE(bmpBytes.startsWith("BM"));
    EXPECT_EQ(QImage::fromData(bmpBytes, "BMP").pixelColor(10, 20), form.Picture().pixelColor(10, 20));

    ASSERT_EQ(SharedDialogs().saveRequests.size(), 2u);
    EXPECT_EQ(SharedDialogs().saveRequests[0].filters,
              (QStringList{QStringLiteral("Bitmaps(*.bmp)"), QStringLiteral("Jpeg(*.jpg)")}));
    // Cancelling writes nothing; no temporary files are left behind.
    form.SavePictureAs();
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("photo.bmp")});
    EXPECT_TRUE(SharedDialogs().Messages().empty());
}

TEST_F(WindowTest, FailedSaveLeavesNoFileAndSaysWhy)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.ShowPicture(TestImage(32, 32));
    const QString target = TempFolder() + QStringLiteral("/missing-folder/picture.jpg");
    EXPECT_FALSE(form.SavePicture(target, 2));
    EXPECT_FALSE(QFile::exists(target));
    ASSERT_EQ(SharedDialogs().Messages().size(), 1u);
    EXPECT_TRUE(SharedDialogs().Messages()[0].text.startsWith(QStringLiteral("Не могу сохранить картинку в файл ") + target));

    // A full disk, as a file-size limit stands in for it: the write fails
    // and the old file stays as it was.
    const QString existing = TempFolder() + QStringLiteral("/kept.bmp");
    {
        QFile old(existing);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old contents");
    }
    SharedDialogs().Clear();
    form.ShowPicture(TestImage(400, 300));
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 512;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved1 = form.SavePicture(existing, 1);
    const bool saved2 = form.SavePicture(existing, 2);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(saved1);
    EXPECT_FALSE(saved2);
    ASSERT_EQ(SharedDialogs().Messages().size(), 2u);
    for (const auto& message : SharedDialogs().Messages())
        EXPECT_TRUE(message.text.contains(QStringLiteral("too large"), Qt::CaseInsensitive)) << message.text.toStdString();
    QFile kept(existing);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("old contents"));
    EXPECT_EQ(QDir(TempFolder()).entryList({QStringLiteral("kept.bmp*")}, QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("kept.bmp")});

    // A name that is not a regular file is never replaced.
    SharedDialogs().Clear();
    EXPECT_FALSE(form.SavePicture(TempFolder(), 1));
    EXPECT_TRUE(QFileInfo(TempFolder()).isDir());
    EXPECT_EQ(SharedDialogs().Messages().size(), 1u);
}

TEST_F(WindowTest, HelpCommandsOpenTheManualSiteAndMail)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.OpenManual();
    form.OpenWebSite();
    form.MailAuthor();
    ASSERT_EQ(urls_.size(), 3u);
    EXPECT_TRUE(urls_[0].isLocalFile());
    // The manual of the built-in language (the test program has none beside it).
    EXPECT_TRUE(urls_[0].toLocalFile().endsWith(QStringLiteral("manual.ru.html")));
    EXPECT_EQ(urls_[1].scheme(), QStringLiteral("https"));
    EXPECT_EQ(urls_[2].scheme(), QStringLiteral("mailto"));

    form.ShowAbout();
    const auto messages = SharedDialogs().Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, QStringLiteral("О программе"));
    EXPECT_EQ(messages[0].kind, MessageKind::About);
    EXPECT_TRUE(messages[0].text.contains(QLatin1String(kAuthorMail)));
    EXPECT_TRUE(messages[0].text.contains(QLatin1String(kWebSite)));
}

TEST_F(WindowTest, HelpWithoutABrowserSaysWhereTheManualIs)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    openerWorks_ = false;
    form.OpenManual();
    ASSERT_EQ(urls_.size(), 1u);
    const auto messages = SharedDialogs().Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("Не могу открыть руководство в браузере. Оно находится здесь: ") +
                                    urls_[0].toLocalFile());
    EXPECT_TRUE(urls_[0].toLocalFile().endsWith(QStringLiteral("/manual.ru.html")));

    // The web site and mail commands open no manual and say nothing more.
    form.OpenWebSite();
    EXPECT_EQ(SharedDialogs().Messages().size(), 1u);
}

TEST_F(WindowTest, DownloadBarCountsBytesAndHides)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.ShowDownloadProgress(0);
    EXPECT_FALSE(form.downloadBar->isHidden());
    form.ShowDownloadProgress(30000);
    EXPECT_EQ(form.downloadBar->value(), 30000);
    EXPECT_EQ(form.downloadBar->text(), QStringLiteral("29 КБ"));
    form.ShowDownloadProgress(900);
    EXPECT_EQ(form.downloadBar->text(), QStringLiteral("900 Б"));
    const int firstScale = form.downloadBar->maximum();
    form.ShowDownloadProgress(5'000'000);
    EXPECT_GE(form.downloadBar->maximum(), 5'000'000);
    EXPECT_GT(form.downloadBar->maximum(), firstScale);
    EXPECT_EQ(form.downloadBar->value(), 5'000'000);
    form.ShowDownloadProgress(-1);
    EXPECT_TRUE(form.downloadBar->isHidden());
    form.ShowWorkStatus(QStringLiteral("busy"));
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QStringLiteral("busy"));
}

// The photo's steps in the work panel and its failures in message boxes, in
// the built-in language.
TEST_F(WindowTest, PhotoStepsAndFailuresAreShownInTheirTexts)
{
    const std::pair<PhotoStep, const char*> steps[] = {
        {PhotoStep::StartingCamera, "Статус: Инициализация камеры..."},
        {PhotoStep::Shooting, "Статус: Снимаю"},
        {PhotoStep::Downloading, "Статус: Сливаю..."},
        {PhotoStep::StoppingCamera, "Статус: Деинициализация камеры..."},
        {PhotoStep::Done, "Статус: не занят."},
        {PhotoStep::PhoneLate, "Статус: телефон не отвечает, жду..."},
    };
    const std::pair<PhotoFailure, const char*> failures[] = {
        {PhotoFailure::CameraNotStarted, "Невозможна инициализация камеры!"},
        {PhotoFailure::ShotNotTaken, "Не могу снять!"},
        {PhotoFailure::FileNotOpened, "Не могу прочитать, увеличте значение таймаута."},
        {PhotoFailure::CameraNotStopped, "Невозможна деинициализация камеры!"},
    };
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    for (const auto& [step, text] : steps) {
        form.ShowPhotoStep(step);
        EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QString::fromUtf8(text));
    }
    for (const auto& [failure, text] : failures) {
        SharedDialogs().Clear();
        form.ShowPhotoFailure(failure);
        EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{QString::fromUtf8(text)});
    }
}

// The save dialog opens in the pictures folder (or the home folder while
// there is none), then in the folder last saved to; a name typed without an
// extension gets the one of the chosen type.
TEST_F(WindowTest, SaveDialogFolderAndTheExtensionOfTheChosenType)
{
    const QString root = TempFolder() + QStringLiteral("/save-folders");
    const QString pictures = root + QStringLiteral("/My Pictures");
    const QString other = root + QStringLiteral("/other");
    QDir().mkpath(other);
    QDir().mkpath(root + QStringLiteral("/config"));
    {
        QFile dirs(root + QStringLiteral("/config/user-dirs.dirs"));
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_PICTURES_DIR=\"" + QFile::encodeName(pictures) + "\"\n");
    }
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.ShowPicture(TestImage(40, 30));
    struct Row {
        const char* what;
        bool picturesExist;
        QString typed;
        int filter;
        QString opensIn;   // the folder the dialog is opened at
        QString written;   // the file that holds the picture afterwards
        const char* magic; // its first bytes
    };
    const Row rows[] = {
        {"no pictures folder yet", false, other + QStringLiteral("/first"), 1, QDir::homePath(),
         other + QStringLiteral("/first.bmp"), "BM"},
        {"the folder last saved to", true, other + QStringLiteral("/second"), 2, other,
         other + QStringLiteral("/second.jpg"), "\xFF\xD8"},
        {"a name with a dot at its end", true, pictures + QStringLiteral("/third."), 2, other,
         pictures + QStringLiteral("/third.jpg"), "\xFF\xD8"},
        {"an extension of its own stays", true, pictures + QStringLiteral("/fourth.bmp"), 2, pictures,
         pictures + QStringLiteral("/fourth.bmp"), "\xFF\xD8"},
        {"another extension stays too", true, pictures + QStringLiteral("/fifth.v2"), 1, pictures,
         pictures + QStringLiteral("/fifth.v2"), "BM"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.picturesExist)
            QDir().mkpath(pictures);
        SharedDialogs().Clear();
        SharedDialogs().QueueSave(SaveAnswer{row.typed, row.filter});
        form.SavePictureAs();
        ASSERT_EQ(SharedDialogs().saveRequests.size(), 1u);
        EXPECT_EQ(SharedDialogs().saveRequests[0].fileName, row.opensIn);
        EXPECT_EQ(SharedDialogs().saveRequests[0].suffixes, (QStringList{QStringLiteral("bmp"), QStringLiteral("jpg")}));
        QFile written(row.written);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        EXPECT_TRUE(written.readAll().startsWith(row.magic));
        EXPECT_FALSE(QFile::exists(row.typed) && row.typed != row.written) << "no file under the typed name";
        EXPECT_TRUE(SharedDialogs().Messages().empty());
    }
    // A window that has saved nothing yet opens the pictures folder, now that
    // there is one.
    MainWindow& fresh = MakeForm();
    fresh.ShowPicture(TestImage(40, 30));
    SharedDialogs().Clear();
    fresh.SavePictureAs();
    ASSERT_EQ(SharedDialogs().saveRequests.size(), 1u);
    EXPECT_EQ(SharedDialogs().saveRequests[0].fileName, pictures);
    if (savedConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", savedConfig);
}

// The window fits a picture exactly while that fits the screen's free area,
// and never grows past that area: a larger picture scrolls at its own size,
// and the whole window stays on the screen.
TEST_F(WindowTest, TheWindowNeverGrowsPastTheScreen)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QRect area = form.screen()->availableGeometry();
    struct Row {
        const char* what;
        QSize picture;
        bool scrolls;
    };
    const Row rows[] = {
        {"fits", QSize(area.width() - 200, area.height() - 200), false},
        {"exactly as large as the area allows", QSize(area.width() - 25, area.height() - 80), false},
        {"wider", QSize(area.width() + 300, 200), true},
        {"taller", QSize(400, area.height() + 50), true},
        {"UXGA-like, larger both ways", QSize(area.width() + 320, area.height() + 176), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        form.move(area.topLeft() + QPoint(150, 100));
        form.ShowPicture(TestImage(row.picture.width(), row.picture.height()));
        form.PhotoFinished();
        QTest::qWait(20);
        // The window is never narrower than its status bar's panels.
        const QRect frame = form.frameGeometry();
        const int narrowest = form.minimumWidth() + frame.width() - form.width();
        const QSize wanted(std::max(row.picture.width() + 25, narrowest), row.picture.height() + 80);
        EXPECT_EQ(frame.size(), wanted.boundedTo(area.size()));
        EXPECT_TRUE(area.contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height()
                                          << " in " << area.width() << "x" << area.height();
        const bool scrollBars = form.pictureArea->horizontalScrollBar()->isVisible() ||
                                form.pictureArea->verticalScrollBar()->isVisible();
        EXPECT_EQ(scrollBars, row.scrolls);
        EXPECT_EQ(form.pictureLabel->size(), row.picture) << "shown at its own size";
        EXPECT_EQ(form.pictureLabel->pos(), QPoint(0, 0));
    }
}

// When a photo ends, the phone menu follows the connection: it stays
// disabled when the phone went during the photo.
TEST_F(WindowTest, AfterAPhotoThePhoneMenuFollowsTheConnection)
{
    Settings().SetAutoPhoneConnect(false);
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    struct Row {
        const char* what;
        int unplugAtCommand;  // 0: the phone stays
        MenuState after;
    };
    const Row rows[] = {
        {"the phone stays", 0, kPhoneIdle},
        {"the phone goes during the photo", 2, kNoPhone},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SharedDialogs().Clear();
        phone.UnplugAtCommand(row.unplugAtCommand);
        form.TakePhoto();
        ExpectMenus(form, kTakingPhoto);
        // Both the photo's end and the monitor's report have come.
        ASSERT_TRUE(WaitFor([&] {
            return !form.CaptureRunning() && form.IndicatorConnected() == (row.unplugAtCommand == 0);
        }));
        QTest::qWait(20);
        ExpectMenus(form, row.after);
    }
    // Nothing was connected since: F4 does nothing.
    form.TakePhoto();
    EXPECT_FALSE(form.CaptureRunning());
}

}  // namespace
}  // namespace orv::test
