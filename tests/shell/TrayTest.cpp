// The tray icon and the window's minimise rules, and a second copy's call
// that brings the window back.

#include "shell/ProgramIcon.h"
#include "shell/SecondCopy.h"
#include "WindowFixture.h"

#include <QFile>
#include <QSessionManager>
#include <QTemporaryDir>
#include <QSystemTrayIcon>
#include <QWidget>

#include <future>

namespace orv::test {
namespace {

TEST(TrayTest, TipIsCutTo127Characters)
{
    QWidget window;
    TrayIcon tray(&window);
    EXPECT_FALSE(tray.Visible());
    tray.SetTip(QString(200, QLatin1Char('t')));
    EXPECT_EQ(tray.Tip(), QString(127, QLatin1Char('t')));
    EXPECT_EQ(tray.Icon()->toolTip(), tray.Tip());
    tray.SetTip(QStringLiteral("Orvello"));
    EXPECT_EQ(tray.Icon()->toolTip(), QStringLiteral("Orvello"));
    EXPECT_FALSE(tray.Icon()->icon().isNull());
}

TEST(TrayTest, OnlyALeftClickRestoresTheWindow)
{
    QWidget window;
    window.show();
    TrayIcon tray(&window);
    tray.MinimizeToTray();
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(tray.Visible());

    for (const auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick}) {
        emit tray.Icon()->activated(reason);
        EXPECT_FALSE(window.isVisible());
        EXPECT_TRUE(tray.Visible());
    }
    emit tray.Icon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_FALSE(tray.Visible());
}

// A logout asks the program first and may still be cancelled: the icon
// stays, so the hidden window can be reached again. It goes when the
// program really quits.
TEST(TrayTest, TheIconOutlivesACancelledLogoutAndGoesWhenTheProgramQuits)
{
    QWidget window;
    window.show();
    TrayIcon tray(&window);
    tray.MinimizeToTray();
    auto* session = qApp->findChild<QSessionManager*>();
    ASSERT_NE(session, nullptr);
    emit qApp->commitDataRequest(*session);
    EXPECT_TRUE(tray.Icon()->isVisible());
    emit tray.Icon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window.isVisible()) << "the window is reached through the icon after the logout was cancelled";

    tray.MinimizeToTray();
    ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
    EXPECT_FALSE(tray.Icon()->isVisible());
}

// The window, the tray and the about box (which shows the application's
// icon) all carry the program's own icon, not a stock one.
TEST_F(WindowTest, WindowTrayAndAboutBoxShareTheProgramIcon)
{
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    const QImage drawn = ProgramIconImage(32).convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(drawn.size(), QSize(32, 32));
    EXPECT_EQ(qAlpha(drawn.pixel(0, 0)), 0) << "transparent around the phone";
    EXPECT_EQ(qAlpha(drawn.pixel(16, 23)), 255) << "the lens is opaque";
    EXPECT_GT(qBlue(drawn.pixel(16, 23)), qRed(drawn.pixel(16, 23))) << "and blue";

    const QIcon shown[] = {form.windowIcon(), form.tray->Icon()->icon(), QApplication::windowIcon()};
    for (const QIcon& icon : shown)
        EXPECT_EQ(icon.pixmap(32).toImage().convertToFormat(QImage::Format_ARGB32), drawn);
}

// The icon at every size the program shows (the splash's among them), and at
// sizes between and beyond those: square, transparent around the phone, its
// lens opaque and blue; no image for a size outside 1..1024.
TEST(ProgramIconTest, EachSizeShowsThePhoneAndItsLens)
{
    for (const int size : {16, 22, 24, 32, 48, 64, 100, 128, 140, 256, 300, 1024}) {
        SCOPED_TRACE(size);
        const QImage image = ProgramIconImage(size).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(image.size(), QSize(size, size));
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size - 1, size - 1)), 0);
        // The lens's centre lies at (128, 186) of the 256-pixel picture.
        const QRgb lens = image.pixel(size / 2, size * 186 / 256);
        EXPECT_EQ(qAlpha(lens), 255);
        EXPECT_GT(qBlue(lens), qRed(lens) + 40);
    }
    for (const int size : {0, -16, 1025})
        EXPECT_TRUE(ProgramIconImage(size).isNull()) << size;
}

class MinimiseTest : public WindowTest {
protected:
    MainWindow& Minimised()
    {
        MainWindow& form = MakeForm();
        form.show();
        form.setWindowState(Qt::WindowMinimized);
        QCoreApplication::processEvents();
        return form;
    }
};

TEST_F(MinimiseTest, MinimisedWindowGoesBehindTheIconOnlyWhenAskedAndThereIsAnArea)
{
    Settings().SetAutoPhoneConnect(false);
    const struct {
        bool closeToTray, notificationArea;
        bool visible, trayVisible;
    } cases[] = {
        {false, true, true, false},  // the taskbar button stays
        {true, false, true, false},  // no notification area: the window stays on the taskbar
        {true, true, false, true},   // hidden behind the icon
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "CloseToTray " << c.closeToTray << ", area " << c.notificationArea);
        Settings().SetCloseToTray(c.closeToTray);
        const bool area = c.notificationArea;
        TrayIcon::SetAvailabilityCheck([area] { return area; });
        MainWindow& form = Minimised();
        EXPECT_EQ(form.isVisible(), c.visible);
        EXPECT_TRUE(form.isMinimized());
        EXPECT_EQ(form.tray->Visible(), c.trayVisible);
        EXPECT_EQ(form.tray->Tip(), form.windowTitle());
    }
}

TEST_F(MinimiseTest, TheTrayIconBringsTheHiddenWindowBack)
{
    Settings().SetAutoPhoneConnect(false);
    Settings().SetCloseToTray(true);
    TrayIcon::SetAvailabilityCheck([] { return true; });
    MainWindow& form = Minimised();
    ASSERT_FALSE(form.isVisible());
    emit form.tray->Icon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
    EXPECT_FALSE(form.tray->Visible());
}

// A second copy's call brings the window to the front from the tray or the
// taskbar; a socket an ended copy left behind is no obstacle.
TEST_F(MinimiseTest, ASecondCopysCallBringsTheWindowBack)
{
    Settings().SetAutoPhoneConnect(false);
    Settings().SetCloseToTray(true);
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath(QStringLiteral("front.socket"));
    {
        QFile left(path);  // what a copy that ended left there
        ASSERT_TRUE(left.open(QIODevice::WriteOnly));
    }
    for (const bool area : {true, false}) {
        SCOPED_TRACE(area ? "in the tray" : "minimised on the taskbar");
        TrayIcon::SetAvailabilityCheck([area] { return area; });
        MainWindow& form = Minimised();
        ASSERT_EQ(form.tray->Visible(), area);
        FrontListener listener([&form] {
            form.BringToFront();
            return form.isVisible() && !form.isMinimized();
        });
        ASSERT_TRUE(listener.Listen(path));
        // The call blocks its thread until the answer: the window's thread
        // goes on meanwhile.
        auto shown = std::async(std::launch::async, [&] { return AskToComeToFront(path, std::chrono::seconds(10)); });
        ASSERT_TRUE(WaitFor([&] { return shown.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        EXPECT_TRUE(shown.get());
        EXPECT_TRUE(form.isVisible());
        EXPECT_FALSE(form.isMinimized());
        EXPECT_FALSE(form.tray->Visible());
    }
    EXPECT_FALSE(AskToComeToFront(folder.filePath(QStringLiteral("nobody.socket")), std::chrono::seconds(1)));
}

TEST_F(MinimiseTest, SwitchMStartsInTheTrayOrMinimised)
{
    Settings().SetAutoPhoneConnect(false);
    Settings().SetCloseToTray(true);
    TrayIcon::SetAvailabilityCheck([] { return true; });
    SetProgramArguments({QStringLiteral("-M")});
    {
        MainWindow& form = MakeForm();
        EXPECT_TRUE(form.isMinimized());
        QCoreApplication::processEvents();
        EXPECT_FALSE(form.isVisible());
        EXPECT_TRUE(form.tray->Visible());
    }
    Settings().SetCloseToTray(false);
    MainWindow& form = MakeForm();
    QCoreApplication::processEvents();
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.isMinimized());
    EXPECT_FALSE(form.tray->Visible());
}

}  // namespace
}  // namespace orv::test
