// Pictures of the window as a user sees it, in the built-in language and in
// English, for looking at: $ORVELLO_SCREENSHOT_DIR, else "screenshots" in the
// build folder. Also checks what can be checked on them: nothing of the
// status bar is cut off, and the menu bar holds every caption.

#include "tests/support/FreePort.h"
#include "WindowFixture.h"

#include "texts/LangTexts.h"
#include "shell/OptionsDialog.h"
#include "shell/SplashScreen.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QScreen>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTcpServer>
#include <QSystemTrayIcon>

namespace orv::test {
namespace {

QString ScreenshotFolder()
{
    QString folder = qEnvironmentVariable("ORVELLO_SCREENSHOT_DIR");
    if (folder.isEmpty())
        folder = BinaryDir() + QStringLiteral("/screenshots");
    QDir().mkpath(folder);
    return folder;
}

class ScreenshotTest : public WindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(ScreenshotTest, WindowConnectedWithAPicture)
{
    const int language = GetParam();
    const QString suffix = language == 0 ? QStringLiteral("ru") : QStringLiteral("en");
    const QString platform = QGuiApplication::platformName();
    qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
    Settings().SetAutoPhoneConnect(false);
    Settings().SetLangIndex(language);
    MainWindow& form = MakeForm();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    const QString folder = ScreenshotFolder();
    const QString prefix = folder + QStringLiteral("/%1-%2-").arg(platform, suffix);
    form.grab().save(prefix + QStringLiteral("idle.png"));

    // What the window shows once a phone is connected and a photo taken,
    // with the next download under way.
    AddPhone();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    form.TakePhoto();
    ASSERT_TRUE(WaitFor([&] { return form.phoneMenuAction->isEnabled() && !form.Picture().isNull(); }));
    EXPECT_TRUE(form.IndicatorConnected());
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), LangText(txt::kStr1Connected));
    EXPECT_EQ(form.PanelText(MainWindow::kModelPanel), LangText(txt::kStr2Model) + QStringLiteral(" Motorola V3x"));
    form.ShowWorkStatus(LangText(txt::kStr13Downloading));
    form.ShowDownloadProgress(38211);
    QTest::qWait(50);
    const QImage shot = form.grab().toImage();
    shot.save(prefix + QStringLiteral("photo.png"));
    // The picture's size and the room around it: the status bar's panels
    // give way rather than widen the window.
    EXPECT_EQ(form.frameGeometry().size(), QSize(665, 560));

    // Each panel shows its whole text here. Every text the work panel is
    // given shows whole, or cut with the whole text in its tip.
    const auto label = [&](int panel) { return form.statusPanels->findChildren<QLabel*>().at(panel); };
    for (int panel = MainWindow::kConnectionPanel; panel <= MainWindow::kWorkPanel; ++panel)
        EXPECT_EQ(form.ShownPanelText(panel), form.PanelText(panel)) << suffix.toStdString() << " panel " << panel;
    QLabel* work = label(MainWindow::kWorkPanel);
    for (const LangEntry& text : kWorkPanelTexts) {
        form.SetPanelText(MainWindow::kWorkPanel, LangText(text));
        QTest::qWait(20);
        const QString shown = form.ShownPanelText(MainWindow::kWorkPanel);
        EXPECT_TRUE(shown == LangText(text) || form.PanelTip(MainWindow::kWorkPanel).contains(LangText(text)))
            << suffix.toStdString() << " " << text.key;
        EXPECT_EQ(form.frameGeometry().size(), QSize(665, 560)) << text.key;
    }
    // The download bar lies beside the downloading text, never over it, and
    // holds its largest label (a picture of 16 MiB, the most that is read).
    form.SetPanelText(MainWindow::kWorkPanel, LangText(txt::kStr13Downloading));
    form.ShowDownloadProgress(16LL * 1024 * 1024);
    const QFontMetrics workMetrics(work->font());
    const int textEnd = work->contentsRect().left() + workMetrics.horizontalAdvance(QLatin1Char('x')) / 2
                        + workMetrics.horizontalAdvance(work->text());
    EXPECT_GE(form.downloadBar->geometry().left(), textEnd) << suffix.toStdString();
    EXPECT_LE(form.downloadBar->geometry().right(), work->contentsRect().right()) << suffix.toStdString();
    EXPECT_EQ(form.downloadBar->text(), language == 0 ? QStringLiteral("16384 КБ") : QStringLiteral("16384 KB"));
    EXPECT_LE(QFontMetrics(form.downloadBar->font()).horizontalAdvance(form.downloadBar->text()) + 8,
              form.downloadBar->width())
        << suffix.toStdString();
    form.ShowDownloadProgress(38211);

    // The open menus, one picture each.
    for (QAction* item : {form.fileMenuAction, form.phoneMenuAction, form.helpMenuAction}) {
        QMenu* menu = item->menu();
        menu->popup(form.mapToGlobal(form.mainMenu->actionGeometry(item).bottomLeft()));
        QTest::qWait(20);
        menu->grab().save(prefix + QStringLiteral("menu-%1.png").arg(form.mainMenu->actions().indexOf(item)));
        if (platform == QLatin1String("xcb"))
            form.screen()->grabWindow(0).save(prefix + QStringLiteral("screen-menu-%1.png")
                                                            .arg(form.mainMenu->actions().indexOf(item)));
        menu->hide();
    }
    form.downloadBar->hide();
}

// Every tab of the options dialog, and on each: every named control gets at
// least the room its text asks for, and no two of them overlap.
TEST_P(ScreenshotTest, OptionsDialogTabs)
{
    const int language = GetParam();
    const QString suffix = language == 0 ? QStringLiteral("ru") : QStringLiteral("en");
    qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
    Settings().SetAutoPhoneConnect(false);
    Settings().SetLangIndex(language);
    MainWindow& form = MakeForm();
    const QString prefix =
        ScreenshotFolder() + QStringLiteral("/%1-%2-options-").arg(QGuiApplication::platformName(), suffix);
    int tabsSeen = 0;
    SharedDialogs().onModal = [&](QDialog* dialog) {
        auto* options = qobject_cast<OptionsDialog*>(dialog);
        if (!options)
            return static_cast<int>(QDialog::Rejected);
        options->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(options));
        const QTabBar* tabs = options->tabs->tabBar();
        EXPECT_GE(tabs->width(), tabs->sizeHint().width()) << suffix.toStdString();
        for (int tab = 0; tab < options->tabs->count(); ++tab) {
            options->tabs->setCurrentIndex(tab);
            QTest::qWait(20);
            options->grab().save(prefix + QStringLiteral("tab%1.png").arg(tab + 1));
            QWidget* page = options->tabs->widget(tab);
            std::vector<QWidget*> controls;
            for (QWidget* child : page->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
                if (!child->objectName().isEmpty() && child->isVisible())
                    controls.push_back(child);
            EXPECT_GE(controls.size(), 3u) << page->objectName().toStdString();
            for (size_t i = 0; i < controls.size(); ++i) {
                const QWidget* control = controls[i];
                const std::string where = suffix.toStdString() + " " + control->objectName().toStdString();
                // Fields take any width; texts need their size hint.
                const bool text = qobject_cast<const QLabel*>(control) || qobject_cast<const QAbstractButton*>(control)
                                  || qobject_cast<const QComboBox*>(control);
                EXPECT_GE(control->width(), text ? control->sizeHint().width() : control->minimumSizeHint().width())
                    << where;
                EXPECT_GE(control->height(), control->minimumSizeHint().height()) << where;
                EXPECT_TRUE(page->rect().contains(control->geometry())) << where;
                for (size_t j = i + 1; j < controls.size(); ++j)
                    EXPECT_FALSE(control->geometry().intersects(controls[j]->geometry()))
                        << where << " / " << controls[j]->objectName().toStdString();
            }
            ++tabsSeen;
        }
        return static_cast<int>(QDialog::Rejected);
    };
    form.ShowOptions();
    SharedDialogs().onModal = nullptr;
    EXPECT_EQ(tabsSeen, 4);
}

// The window while it looks for the phone (and, after a few seconds, what
// to do), while it records and serves (with the PipeWire camera waiting for
// PipeWire), and after STOP: each state says so in the language in use, in
// full.
TEST_P(ScreenshotTest, WindowConnectingRecordingAndServing)
{
    const int language = GetParam();
    const QString suffix = language == 0 ? QStringLiteral("ru") : QStringLiteral("en");
    qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
    Settings().SetAutoPhoneConnect(true);
    Settings().SetLangIndex(language);
    Settings().SetServerEnabled(true);
    Settings().SetServerStream(true);
    Settings().SetServerPort(FreePort());
    auto& form = MakeForm<CamForm>();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QString prefix = ScreenshotFolder() + QStringLiteral("/%1-%2-").arg(QGuiApplication::platformName(), suffix);
    const auto label = [&](int panel) { return form.statusPanels->findChildren<QLabel*>().at(panel); };
    const auto fits = [&](QLabel* panel) { return panel->sizeHint().width() <= panel->width(); };

    QTest::qWait(20);
    form.grab().save(prefix + QStringLiteral("connecting.png"));
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel),
              language == 0 ? QStringLiteral("Поиск телефона...") : QStringLiteral("Searching for the phone..."));
    EXPECT_TRUE(fits(label(MainWindow::kConnectionPanel))) << suffix.toStdString();
    SharedClock().Advance(MainWindow::kPhoneHintDelayMs);
    ASSERT_TRUE(WaitFor([&] { return form.phoneHint->isVisible(); }));
    form.grab().save(prefix + QStringLiteral("no-phone.png"));
    SharedBus().SetDeniedDevice("/dev/bus/usb/001/007");
    form.UpdatePhoneHint();
    form.grab().save(prefix + QStringLiteral("no-phone-access.png"));
    SharedBus().SetDeniedDevice({});

    AddPhone();
    ASSERT_TRUE(WaitForConnected());
    EXPECT_FALSE(form.phoneHint->isVisible());
    const QString recorded = TempFolder() + QStringLiteral("/screenshot-%1.avi").arg(suffix);
    {
        QFile file(recorded);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    form.fileToRecord = recorded;
    form.StartWebCamera();
    ASSERT_TRUE(form.session->Running());
    form.ShowRecordingTime(LangText(txt::kStr21RecordingTime), QStringLiteral(" 00:01:23"));
    form.SessionVirtualCamera(true, QStringLiteral("PipeWire is not running (no daemon in /run/user/1000)"));
    QTest::qWait(20);
    form.grab().save(prefix + QStringLiteral("recording.png"));
    EXPECT_TRUE(fits(form.virtualCameraPanel)) << suffix.toStdString();
    EXPECT_TRUE(form.windowTitle().startsWith(QStringLiteral("● REC 00:01:23"))) << form.windowTitle().toStdString();
    EXPECT_EQ(form.tray->Tip(), form.windowTitle());
    EXPECT_TRUE(form.tray->Recording());
    const QString address = webcam::BrowserAddress(Settings().GetServerPort());
    const QString expected =
        (language == 0 ? QStringLiteral("Сервер: %1 (поток: /stream.mjpg)") : QStringLiteral("Server: %1 (stream: /stream.mjpg)"))
            .arg(address);
    EXPECT_EQ(form.addressPanel->text(), expected);
    // A frame fits the window to its picture meanwhile; a small one must not
    // squeeze the address out of sight.
    form.resize(200, form.height());
    QTest::qWait(20);
    EXPECT_GT(form.addressPanel->width(), 0);
    EXPECT_TRUE(fits(form.addressPanel)) << suffix.toStdString();
    // The recording time beside it is not squeezed.
    EXPECT_TRUE(fits(label(MainWindow::kTimePanel))) << form.PanelText(MainWindow::kTimePanel).toStdString();
    EXPECT_TRUE(form.statusPanels->rect().contains(form.addressPanel->geometry())) << suffix.toStdString();
    // The tray icon with its mark, for looking at.
    form.tray->Icon()->icon().pixmap(48, 48).save(prefix + QStringLiteral("tray-recording.png"));
    form.trayMenu->popup(form.mapToGlobal(QPoint(40, 40)));
    QTest::qWait(20);
    form.trayMenu->grab().save(prefix + QStringLiteral("tray-menu.png"));
    form.trayMenu->hide();
    // STOP does not widen the window for an address that is going: that
    // left a grey strip beside the picture.
    const int widthBeforeStop = form.width();
    form.StopWebCamera();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
    EXPECT_EQ(form.width(), widthBeforeStop);
    // After STOP at the window's first size: the file's name, whole.
    QTest::qWait(20);  // the bar without the server's address
    form.resize(650, 330 + form.mainMenu->height());
    QTest::qWait(20);
    EXPECT_EQ(form.width(), 650);
    form.grab().save(prefix + QStringLiteral("stopped.png"));
    EXPECT_FALSE(form.virtualCameraPanel->isVisible());
    EXPECT_EQ(form.ShownPanelText(MainWindow::kWorkPanel),
              (language == 0 ? QStringLiteral("Записано: ") : QStringLiteral("Saved: ")) + QFileInfo(recorded).fileName());
    QFile::remove(recorded);
}

INSTANTIATE_TEST_SUITE_P(Languages, ScreenshotTest, ::testing::Values(0, 1));

// A UXGA photo on a 1280 x 1024 screen (the test run with that screen): the
// window fills the screen's free area and no more, the picture scrolls at its
// own size, and the menu bar, the status bar and the window's edges are all on
// the screen.
TEST_F(WindowTest, UxgaPhotoOnA1280x1024Screen)
{
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    if (area.size() != QSize(1280, 1024))
        GTEST_SKIP() << "run with a 1280 x 1024 screen (test_shell_screenshots_1280x1024)";
    Settings().SetAutoPhoneConnect(false);
    Settings().SetJpgType(10);  // UXGA
    AddPhone();
    MainWindow& form = MakeForm();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    form.TakePhoto();
    ASSERT_TRUE(WaitFor([&] { return form.phoneMenuAction->isEnabled() && !form.Picture().isNull(); }));
    QTest::qWait(50);
    EXPECT_EQ(form.Picture().size(), QSize(1600, 1200));
    const QImage shot = form.grab().toImage();
    shot.save(ScreenshotFolder() + QStringLiteral("/%1-uxga-1280x1024.png").arg(QGuiApplication::platformName()));

    const QRect frame = form.frameGeometry();
    EXPECT_EQ(frame.size(), QSize(1280, 1024));
    EXPECT_TRUE(area.contains(frame)) << frame.x() << "," << frame.y();
    const auto onScreen = [&](const QWidget* widget) {
        return area.contains(QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()));
    };
    EXPECT_TRUE(onScreen(form.mainMenu));
    EXPECT_TRUE(onScreen(form.statusPanels));
    EXPECT_TRUE(form.statusPanels->isVisible());
    EXPECT_TRUE(form.pictureArea->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(form.pictureArea->verticalScrollBar()->isVisible());
    EXPECT_EQ(form.pictureLabel->size(), QSize(1600, 1200)) << "scrolled, not scaled";
    // The picture reaches the scroll bars, the status bar lies below them.
    EXPECT_EQ(shot.size(), form.size() * shot.devicePixelRatio());
    EXPECT_LE(form.pictureArea->geometry().bottom(), form.statusPanels->geometry().top());
}

// The splash, with the version in whatever face stands in for Times New Roman.
TEST(SplashScreenshot, VersionOnThePicture)
{
    SplashScreen splash;
    splash.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&splash));
    splash.grab().save(ScreenshotFolder() + QStringLiteral("/%1-splash.png").arg(QGuiApplication::platformName()));
    EXPECT_LE(splash.versionLabel->sizeHint().width(), splash.versionLabel->width());
}

}  // namespace
}  // namespace orv::test
