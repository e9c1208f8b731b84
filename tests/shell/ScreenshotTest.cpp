// Pictures of the window as a user sees it, in the built-in language and in
// English, for looking at: $ORVELLO_SCREENSHOT_DIR, else "screenshots" in the
// build folder. Also checks what can be checked on them: nothing of the
// status bar is cut off, and the menu bar holds every caption.

#include "WindowFixture.h"

#include "Jpeg.h"
#include "LangTexts.h"
#include "SimPhone.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>

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
    TForm1& form = MakeForm();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    const QString folder = ScreenshotFolder();
    const QString prefix = folder + QStringLiteral("/%1-%2-").arg(platform, suffix);
    form.grab().save(prefix + QStringLiteral("idle.png"));

    // What the window shows once a phone is connected and a photo taken.
    const std::vector<uint8_t> jpeg = sim::ShootTestPicture(640, 480, 7, 1796567400, 2, 3);
    QImage picture;
    ASSERT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), &picture));
    form.DrawIndicator(true);
    form.N15->setEnabled(false);
    form.N16->setEnabled(true);
    form.N12->setEnabled(true);
    form.SetPanelText(TForm1::kConnectionPanel, LangText(txt::kStr1Connected));
    form.SetPanelText(TForm1::kModelPanel, LangText(txt::kStr2Model) + QStringLiteral(" Motorola V3x"));
    form.SetPanelText(TForm1::kWorkPanel, LangText(txt::kStr13Downloading));
    form.ShowDownloadProgress(38211);
    form.ShowPicture(picture);
    form.PhotoFinished();
    QTest::qWait(50);
    const QImage shot = form.grab().toImage();
    shot.save(prefix + QStringLiteral("photo.png"));
    EXPECT_EQ(form.frameGeometry().size(), QSize(665, 560));

    // Each panel text fits its panel (the download bar takes the work panel's right end).
    const QFontMetrics metrics(form.StatusBar1->font());
    for (int panel = TForm1::kConnectionPanel; panel <= TForm1::kModelPanel; ++panel) {
        auto* label = form.StatusBar1->findChildren<QLabel*>().at(panel);
        EXPECT_LE(metrics.horizontalAdvance(form.PanelText(panel)), label->contentsRect().width())
            << suffix.toStdString() << " panel " << panel;
    }

    // The open menus, one picture each.
    for (QAction* item : {form.N1, form.N12, form.N8}) {
        QMenu* menu = item->menu();
        menu->popup(form.mapToGlobal(form.MainMenu1->actionGeometry(item).bottomLeft()));
        QTest::qWait(20);
        menu->grab().save(prefix + QStringLiteral("menu-%1.png").arg(form.MainMenu1->actions().indexOf(item)));
        if (platform == QLatin1String("xcb"))
            form.screen()->grabWindow(0).save(prefix + QStringLiteral("screen-menu-%1.png")
                                                            .arg(form.MainMenu1->actions().indexOf(item)));
        menu->hide();
    }
    form.DownloadBar->hide();
}

INSTANTIATE_TEST_SUITE_P(Languages, ScreenshotTest, ::testing::Values(0, 1));

}  // namespace
}  // namespace orv::test
