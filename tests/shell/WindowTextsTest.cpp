// One language throughout, and what the window says of its state: the texts
// of the main window, the options dialog, the about box and the message
// boxes in the built-in language and in the shipped English; the search for
// the phone, the recording mark, the server's address, the file written, the
// tray's menu, the keys and the manual of each language.

#include "tests/support/FreePort.h"
#include "WindowFixture.h"

#include "shell/OptionsDialog.h"
#include "texts/LangTexts.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QDateTime>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QNetworkInterface>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTabWidget>
#include <QTcpServer>

#include <set>

namespace orv::test {
namespace {

bool HasCyrillic(const QString& text)
{
    static const QRegularExpression cyrillic(QStringLiteral("[\\x{0400}-\\x{04FF}]"));
    return text.contains(cyrillic);
}

// Every item of the menu bar and its menus, separators left out.
std::vector<QAction*> MenuItems(const QMenuBar& bar)
{
    std::vector<QAction*> items;
    for (QAction* top : bar.actions()) {
        if (top->isSeparator())
            continue;
        items.push_back(top);
        if (QMenu* menu = top->menu())
            for (QAction* item : menu->actions())
                if (!item->isSeparator())
                    items.push_back(item);
    }
    return items;
}

class WindowTextsTest : public WindowTest, public ::testing::WithParamInterface<int> {
protected:
    void UseShippedLanguages(int language)
    {
        qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
        Settings().SetLangIndex(language);
    }
};

// The main window, the about box, a message box and the options dialog take
// every text they show from the language in use: in English no Russian
// letter is left; in the built-in language the texts are the built-in ones.
TEST_P(WindowTextsTest, EveryVisibleTextComesFromTheLanguage)
{
    const int language = GetParam();
    UseShippedLanguages(language);
    Settings().SetAutoPhoneConnect(false);
    auto& form = MakeForm<CamForm>();

    std::set<QString> builtIn;
    for (const LangEntry& entry : kMenuTexts)
        builtIn.insert(QString::fromUtf8(entry.builtIn));
    for (QAction* item : MenuItems(*form.mainMenu)) {
        if (language == 1) {
            EXPECT_FALSE(HasCyrillic(item->text())) << item->text().toStdString();
        } else {
            EXPECT_TRUE(builtIn.count(item->text())) << item->text().toStdString();
        }
    }
    for (int panel = MainWindow::kConnectionPanel; panel < MainWindow::kPanelCount; ++panel)
        EXPECT_EQ(HasCyrillic(form.PanelText(panel)), language == 0 && panel != MainWindow::kTimePanel) << panel;
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel),
              language == 0 ? QStringLiteral("Статус: не соединён.") : QStringLiteral("Status: not connected."));
    EXPECT_FALSE(HasCyrillic(form.windowTitle()));
    EXPECT_EQ(form.tray->Tip(), form.windowTitle());

    // The about box and a message box.
    form.ShowAbout();
    AddPhone();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    form.StartWebCamera();
    ASSERT_TRUE(form.session->Running());
    EXPECT_FALSE(form.MayClose());  // answered No
    const std::vector<RecordingDialogs::Message> messages = SharedDialogs().Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].caption, language == 0 ? QStringLiteral("О программе") : QStringLiteral("About Orvello"));
    EXPECT_TRUE(messages[0].text.startsWith(QStringLiteral("Orvello v" ORV_VERSION "\n")));
    EXPECT_EQ(messages[1].text, language == 0 ? QStringLiteral("Веб-камера работает. Остановить её и выйти из программы?")
                                              : QStringLiteral("The web camera is running. Stop it and exit?"));
    EXPECT_EQ(messages[1].kind, MessageKind::Question);
    for (const auto& message : messages) {
        EXPECT_EQ(HasCyrillic(message.caption + message.text), language == 0) << message.text.toStdString();
        EXPECT_FALSE(message.text.contains(QStringLiteral("\\n")));
        // Lines break where a sentence ends (none goes on in lower case),
        // and are short enough that the box never wraps them.
        for (const QString& line : message.text.split(QLatin1Char('\n'))) {
            EXPECT_FALSE(!line.isEmpty() && line.front().isLower()) << line.toStdString();
            EXPECT_LE(line.size(), 56) << line.toStdString();
        }
    }
    form.StopWebCamera();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));

    // The options dialog: its title, tabs, labels, buttons and lists.
    int opened = 0;
    SharedDialogs().onModal = [&](QDialog* dialog) {
        auto* options = qobject_cast<OptionsDialog*>(dialog);
        if (!options)
            return static_cast<int>(QDialog::Rejected);
        ++opened;
        options->show();
        QStringList texts{options->windowTitle()};
        for (int tab = 0; tab < options->tabs->count(); ++tab)
            texts << options->tabs->tabText(tab);
        for (const QLabel* label : options->findChildren<QLabel*>())
            texts << label->text();
        for (const QAbstractButton* button : options->findChildren<QAbstractButton*>())
            texts << button->text();
        // The language list names each language in its own tongue.
        for (const QComboBox* list : {options->pictureSizeList, options->encoderList, options->exposureList, options->lightingList})
            for (int item = 0; item < list->count(); ++item)
                texts << list->itemText(item);
        for (const QString& text : texts) {
            if (language == 1) {
                EXPECT_FALSE(HasCyrillic(text)) << text.toStdString();
            }
        }
        const struct {
            QString shown;
            const char* russian;
            const char* english;
        } rows[] = {
            {options->windowTitle(), "Настройки", "Options"},
            {options->okButton->text(), "OK", "OK"},
            {options->cancelButton->text(), "Cancel", "Cancel"},
            {options->autoSuspendCheck->text(), "Auto Suspend mode", "Suspend the phone when it connects"},
            {options->datedNamesCheck->text(), "Auto file name:", "Name files by date in:"},
            {options->fpsTestButton->text(), ">>TEST<<", "Measure"},
            {options->shotTimeoutLabel->text(), "Таймаут после съёмки (мс):", "Timeout after shooting (ms):"},
            {options->cameraInitLabel->text(), "Таймаут инициализации (мс):", "Camera start-up time (ms):"},
            {options->pictureSizeList->itemText(0), "VGA (640×480)", "VGA (640×480)"},
            // A size its name does not fix is shown without pixels.
            {options->pictureSizeList->itemText(2), "SQVGA", "SQVGA"},
            {options->pictureSizeList->itemText(3), "QQVGA (160×120)", "QQVGA (160×120)"},
            {options->pictureSizeList->itemText(10), "UXGA (1600×1200)", "UXGA (1600×1200)"},
            {options->languageList->itemText(0), "Русский", "Русский"},
            {options->languageList->itemText(1), "English", "English"},
        };
        for (const auto& row : rows)
            EXPECT_EQ(row.shown, QString::fromUtf8(language == 0 ? row.russian : row.english));
        options->hide();
        return static_cast<int>(QDialog::Rejected);
    };
    form.ShowOptions();
    EXPECT_EQ(opened, 1);
}

// The status bar, the title and the menu change language as soon as the
// options are closed with OK, whatever state they show.
TEST_P(WindowTextsTest, PanelsAndTitleTakeTheNewLanguageAtOnce)
{
    const int language = GetParam();
    const int other = 1 - language;
    UseShippedLanguages(language);
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    AddPhone();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    SharedDialogs().onModal = [&](QDialog* dialog) {
        auto* options = qobject_cast<OptionsDialog*>(dialog);
        if (!options)
            return static_cast<int>(QDialog::Rejected);
        options->languageList->setCurrentIndex(other);
        options->accept();  // OK writes the settings
        return options->result();
    };
    form.ShowOptions();
    SharedDialogs().onModal = nullptr;
    ASSERT_EQ(Settings().GetLangIndex(), other);
    const struct {
        int panel;
        const char* russian;
        const char* english;
    } rows[] = {
        {MainWindow::kConnectionPanel, "Статус: соединён.", "Status: connected."},
        {MainWindow::kModelPanel, "Модель: Motorola V3x", "Model: Motorola V3x"},
        {MainWindow::kWorkPanel, "Статус: не занят.", "Status: idle."},
    };
    for (const auto& row : rows)
        EXPECT_EQ(form.PanelText(row.panel), QString::fromUtf8(other == 0 ? row.russian : row.english)) << row.panel;
    EXPECT_EQ(form.fileMenuAction->text(), other == 0 ? QStringLiteral("&Файл") : QStringLiteral("&File"));
    EXPECT_EQ(form.trayExitAction->text(), form.exitAction->text());
    EXPECT_EQ(form.tray->Tip(), form.windowTitle());
    // Qt's own buttons too.
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"),
              other == 0 ? QStringLiteral("Отмена") : QStringLiteral("Cancel"));
}

// While the phone is looked for in vain, the picture area says what to do
// once a few seconds have gone by on the program's clock: plug the phone in,
// or, when the device is there but may not be opened, the udev rules and
// groups; where the manual is; how to try the program without a phone. It
// goes when the phone comes.
TEST_P(WindowTextsTest, NoPhoneTellsWhatToDoAfterAFewSeconds)
{
    const int language = GetParam();
    UseShippedLanguages(language);
    Settings().SetAutoPhoneConnect(true);
    MainWindow& form = MakeForm();
    form.show();
    ASSERT_NE(form.deviceMonitor, nullptr);
    // (The search's own waits move the test's clock on as well.)
    SharedClock().Advance(MainWindow::kPhoneHintDelayMs);
    ASSERT_TRUE(WaitFor([&] { return form.phoneHint->isVisible(); })) << "the window's poll shows it";
    const struct {
        const char* denied;
        QStringList russian;
        QStringList english;
    } rows[] = {
        {"",
         {QStringLiteral("Телефон не найден. Подключите телефон Motorola к компьютеру кабелем USB и включите его")},
         {QStringLiteral("No phone found. Plug the Motorola phone into the computer with its USB cable and switch it on")}},
        {"/dev/bus/usb/001/007",
         {QStringLiteral("Телефон подключён (/dev/bus/usb/001/007), но открыть его нельзя"), QStringLiteral("70-orvello.rules"),
          QStringLiteral("plugdev и dialout")},
         {QStringLiteral("The phone is there (/dev/bus/usb/001/007) but cannot be opened"), QStringLiteral("70-orvello.rules"),
          QStringLiteral("plugdev and dialout")}},
    };
    for (const auto& row : rows) {
        SharedBus().SetDeniedDevice(row.denied);
        form.UpdatePhoneHint();
        const QString hint = form.phoneHint->text();
        for (const QString& part : language == 0 ? row.russian : row.english)
            EXPECT_TRUE(hint.contains(part)) << hint.toStdString();
        EXPECT_TRUE(hint.contains(language == 0 ? QStringLiteral("Подробнее: Справка \u2192 Справка Orvello (F1).")
                                                : QStringLiteral("More: Help \u2192 Orvello help (F1).")))
            << hint.toStdString();
        EXPECT_TRUE(hint.endsWith(QStringLiteral(": orvello --simulate-phone"))) << hint.toStdString();
        EXPECT_EQ(HasCyrillic(hint), language == 0);
        EXPECT_TRUE(form.pictureArea->viewport()->rect().contains(form.phoneHint->geometry()));
    }
    SharedBus().SetDeniedDevice({});
    AddPhone();
    ASSERT_TRUE(WaitForConnected());
    EXPECT_FALSE(form.phoneHint->isVisible());
}

// Help opens the manual of the language in use.
TEST_P(WindowTextsTest, HelpOpensTheManualOfTheLanguage)
{
    const int language = GetParam();
    UseShippedLanguages(language);
    Settings().SetAutoPhoneConnect(false);
    MainWindow& form = MakeForm();
    form.OpenManual();
    ASSERT_EQ(urls_.size(), 1u);
    const QString expected = language == 0 ? QStringLiteral("manual.ru.html") : QStringLiteral("manual.html");
    // Where the Russian manual is missing, the English one stands in.
    const QString opened = QFileInfo(urls_[0].toLocalFile()).fileName();
    if (QFileInfo::exists(urls_[0].toLocalFile()) || language == 1) {
        EXPECT_TRUE(opened == expected || (language == 0 && opened == QStringLiteral("manual.html"))) << opened.toStdString();
    } else {
        EXPECT_EQ(opened, expected);
    }
    EXPECT_TRUE(SharedDialogs().Messages().empty());
}

// Recording on motion: the work panel and the title's mark say whether the
// web camera waits for something to move or records it; once an event has
// begun, the status bar keeps the time it began.
TEST_P(WindowTextsTest, RecordingOnMotionSaysWhetherItWaitsAndWhenSomethingLastMoved)
{
    const int language = GetParam();
    UseShippedLanguages(language);
    Settings().SetAutoPhoneConnect(false);
    auto& form = MakeForm<CamForm>();
    const QString title = form.windowTitle();
    AddPhone();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    form.StartWebCamera();
    ASSERT_TRUE(form.session->Running());
    EXPECT_TRUE(form.motionPanel->isHidden()) << "no event yet";

    form.SessionStatus(video::RecorderStep::WaitingForMotion, std::chrono::seconds(5));
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), language == 0 ? QStringLiteral("Жду движения")
                                                                     : QStringLiteral("Waiting for motion"));
    EXPECT_EQ(form.windowTitle(), (language == 0 ? QStringLiteral("○ ЖДУ 00:00:05") : QStringLiteral("○ WAIT 00:00:05")) +
                                      QStringLiteral(" \u2014 ") + title);

    video::MotionEvent event;
    event.number = 1;
    event.start = QDateTime(QDate(2026, 12, 6), QTime(14, 30, 20)).toSecsSinceEpoch();
    event.end = event.start;
    event.file = QStringLiteral("/videos/06-12-26_1430.avi");
    event.frames = 4;
    form.SessionMotion(event);
    form.SessionStatus(video::RecorderStep::MotionRecording, std::chrono::seconds(6));
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), language == 0 ? QStringLiteral("Движение: запись")
                                                                     : QStringLiteral("Motion: recording"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("● REC 00:00:06 \u2014 ") + title);
    EXPECT_FALSE(form.motionPanel->isHidden());
    EXPECT_EQ(form.motionPanel->text(), language == 0 ? QStringLiteral("Последнее движение: 14:30:20")
                                                      : QStringLiteral("Last motion: 14:30:20"));

    // The event is over: waiting again, the time of the last one stays.
    event.ended = true;
    form.SessionMotion(event);
    form.SessionStatus(video::RecorderStep::WaitingForMotion, std::chrono::seconds(20));
    EXPECT_TRUE(form.windowTitle().startsWith(QStringLiteral("○ "))) << form.windowTitle().toStdString();
    EXPECT_FALSE(form.motionPanel->isHidden());
    form.StopWebCamera();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
    EXPECT_EQ(form.windowTitle(), title);
}

INSTANTIATE_TEST_SUITE_P(Languages, WindowTextsTest, ::testing::Values(0, 1));

// The connection panel says that the phone is looked for while the monitor
// looks, and says "not connected" only when nothing looks.
TEST_F(WindowTest, ConnectionPanelSaysWhileThePhoneIsSearchedFor)
{
    Settings().SetAutoPhoneConnect(true);
    MainWindow& form = MakeForm();
    ASSERT_NE(form.deviceMonitor, nullptr);
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), QStringLiteral("Поиск телефона..."));
    sim::SimPhone& phone = AddPhone();
    ASSERT_TRUE(WaitForConnected());
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), QStringLiteral("Статус: соединён."));
    phone.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !form.phoneMenuAction->isEnabled(); }));
    EXPECT_EQ(form.PanelText(MainWindow::kConnectionPanel), QStringLiteral("Поиск телефона..."));
    form.DisconnectPhone();
    ASSERT_TRUE(WaitFor([&] { return form.PanelText(MainWindow::kConnectionPanel) == QStringLiteral("Статус: не соединён."); }));
    // The panel shows the longest of its texts whole at the window's size.
    form.show();
    form.SetPanelText(MainWindow::kConnectionPanel, QStringLiteral("Поиск телефона..."));
    QTest::qWait(20);
    EXPECT_EQ(form.ShownPanelText(MainWindow::kConnectionPanel), QStringLiteral("Поиск телефона..."));
}

// While the web camera runs: the mark and the time in the title and the
// tray's tip, the red mark on the tray icon; after STOP no mark, the name of
// the file written in the work panel (its path in the tip), and its folder
// opened in the file manager.
TEST_F(WindowTest, RecordingIsShownAndTheFileNamedAfterStop)
{
    Settings().SetAutoPhoneConnect(false);
    const QString file = TempFolder() + QStringLiteral("/recordings-%1/take.avi").arg(QCoreApplication::applicationPid());
    QDir().mkpath(QFileInfo(file).absolutePath());
    {
        QFile avi(file);
        ASSERT_TRUE(avi.open(QIODevice::WriteOnly));
        avi.write("RIFF");
    }
    Settings().SetAviTempName(file);
    Settings().SetAutoAviFileName(false);
    auto& form = MakeForm<CamForm>();
    form.fileToRecord = file;
    const QString title = form.windowTitle();
    AddPhone();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    form.StartWebCamera();
    ASSERT_TRUE(form.session->Running());
    EXPECT_TRUE(form.tray->Recording());
    form.ShowRecordingTime(LangText(txt::kStr21RecordingTime), QStringLiteral(" 00:01:23"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("● REC 00:01:23 \u2014 ") + title);
    EXPECT_EQ(form.tray->Tip(), form.windowTitle().left(TrayIcon::kMaxTipLength));
    EXPECT_EQ(form.tray->Icon()->toolTip(), form.tray->Tip());

    form.StopWebCamera();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
    EXPECT_EQ(form.windowTitle(), title);
    EXPECT_EQ(form.tray->Tip(), title);
    EXPECT_FALSE(form.tray->Recording());
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QStringLiteral("Записано: take.avi"));
    // (After the text itself while the hidden window's panel cuts it.)
    EXPECT_EQ(form.PanelTip(MainWindow::kWorkPanel).split(QLatin1Char('\n')).constLast(), file);
    EXPECT_FALSE((form.addressPanel->maximumWidth() > 0));
    EXPECT_EQ(form.RecordingFile(), file);
    // In the other language at once.
    qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
    Settings().SetLangIndex(1);
    form.ApplyMenuTexts();
    EXPECT_EQ(form.PanelText(MainWindow::kWorkPanel), QStringLiteral("Saved: take.avi"));
    Settings().SetLangIndex(0);
    form.ApplyMenuTexts();

    // The folder in the file manager; with none, a message names it.
    struct Row {
        bool openerWorks;
        size_t messages;
    };
    for (const Row row : {Row{true, 0}, Row{false, 1}}) {
        SharedDialogs().Clear();
        urls_.clear();
        openerWorks_ = row.openerWorks;
        form.OpenRecordingsFolder();
        ASSERT_EQ(urls_.size(), 1u);
        EXPECT_EQ(urls_[0], QUrl::fromLocalFile(QFileInfo(file).absolutePath()));
        ASSERT_EQ(SharedDialogs().Messages().size(), row.messages);
        if (row.messages) {
            EXPECT_EQ(SharedDialogs().MessageTexts().at(0),
                      QStringLiteral("Не могу открыть папку в файловом менеджере. Она находится здесь: ") +
                          QFileInfo(file).absolutePath());
        }
    }
}

// While the server listens, the status bar shows the address a browser on
// another machine would use, and the menu copies it.
TEST_F(WindowTest, ServerAddressIsShownAndCopied)
{
    Settings().SetAutoPhoneConnect(false);
    const int port = FreePort();
    Settings().SetServerEnabled(true);
    Settings().SetServerPort(port);
    auto& form = MakeForm<CamForm>();
    AddPhone();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    const QString address = webcam::BrowserAddress(port);
    EXPECT_TRUE(address.startsWith(QStringLiteral("http://")));
    EXPECT_TRUE(address.endsWith(QStringLiteral(":%1/").arg(port)));
    // The loopback address only where the machine has no other.
    bool otherAddress = false;
    for (const QHostAddress& host : QNetworkInterface::allAddresses())
        otherAddress |= host.protocol() == QAbstractSocket::IPv4Protocol && !host.isLoopback();
    EXPECT_EQ(address.contains(QStringLiteral("://127.")), !otherAddress);

    struct Row {
        bool stream;
        QString panel;
        QString clipboard;
    };
    const Row rows[] = {
        {false, QStringLiteral("Сервер: ") + address, address},
        {true, QStringLiteral("Сервер: ") + address + QStringLiteral(" (поток: /stream.mjpg)"),
         address + QStringLiteral("\n") + address + QStringLiteral("stream.mjpg")},
    };
    for (const Row& row : rows) {
        Settings().SetServerStream(row.stream);
        EXPECT_FALSE(form.copyAddressAction->isEnabled());
        form.StartWebCamera();
        ASSERT_TRUE(form.session->Running());
        EXPECT_TRUE((form.addressPanel->maximumWidth() > 0));
        EXPECT_EQ(form.addressPanel->text(), row.panel);
        EXPECT_EQ(form.ServerAddress(), address);
        EXPECT_TRUE(form.copyAddressAction->isEnabled());
        form.CopyServerAddress();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), row.clipboard);
        form.StopWebCamera();
        ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
        // The stand-in recorder writes no file: nothing is left to name.
        EXPECT_FALSE((form.addressPanel->maximumWidth() > 0));
        EXPECT_TRUE(form.ServerAddress().isEmpty());
        EXPECT_FALSE(form.copyAddressAction->isEnabled());
    }
}

// The tray's menu offers what the main menu offers, in each state.
TEST_F(WindowTest, TrayMenuFollowsTheMenusRules)
{
    Settings().SetAutoPhoneConnect(false);
    auto& form = MakeForm<CamForm>();
    ASSERT_EQ(form.tray->ContextMenu(), form.trayMenu);
    struct Expected {
        bool photo, startShown, startEnabled, stopShown, stopEnabled;
    };
    const auto check = [&](const char* state, const Expected& expected) {
        form.UpdateTrayMenu();
        EXPECT_TRUE(form.trayRestoreAction->isEnabled()) << state;
        EXPECT_TRUE(form.trayExitAction->isEnabled()) << state;
        EXPECT_EQ(form.trayPhotoAction->isEnabled(), expected.photo) << state;
        EXPECT_EQ(form.trayStartAction->isVisible(), expected.startShown) << state;
        EXPECT_EQ(form.trayStartAction->isEnabled(), expected.startEnabled) << state;
        EXPECT_EQ(form.trayStopAction->isVisible(), expected.stopShown) << state;
        EXPECT_EQ(form.trayStopAction->isEnabled(), expected.stopEnabled) << state;
    };
    check("no phone", {false, true, false, false, false});
    // Without a phone the items do nothing.
    form.trayStartAction->trigger();
    EXPECT_TRUE(CameraIdle(form));
    AddPhone();
    form.ConnectPhone();
    ASSERT_TRUE(WaitForConnected());
    check("phone idle", {true, true, true, false, false});
    form.trayStartAction->trigger();
    ASSERT_TRUE(form.session->Running());
    check("web camera", {false, false, false, true, true});  // a hidden item is never enabled
    form.trayStopAction->trigger();
    ASSERT_TRUE(WaitFor([&] { return CameraIdle(form); }));
    check("stopped", {true, true, true, false, false});
    EXPECT_EQ(form.camThreadsMade, 1);
    EXPECT_EQ(form.trayPhotoAction->text(), form.takePhotoAction->text());
    EXPECT_EQ(form.trayRestoreAction->text(), QStringLiteral("&Развернуть окно"));
}

// The keys of the common commands, and an accelerator letter for each item,
// no two alike within a menu, in both languages.
TEST_F(WindowTest, ShortcutsAndAccelerators)
{
    Settings().SetAutoPhoneConnect(false);
    qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
    MainWindow& form = MakeForm();
    const struct {
        QAction* item;
        QKeySequence keys;
    } rows[] = {
        {form.takePhotoAction, QKeySequence(Qt::Key_F4)},          {form.savePictureAction, QKeySequence(Qt::CTRL | Qt::Key_S)},
        {form.startCameraAction, QKeySequence(Qt::Key_F5)},        {form.stopCameraAction, QKeySequence(Qt::Key_F6)},
        {form.exitAction, QKeySequence(Qt::CTRL | Qt::Key_Q)}, {form.manualAction, QKeySequence(Qt::Key_F1)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.item->shortcut(), row.keys) << row.item->text().toStdString();
        // They act while every menu is closed.
        EXPECT_TRUE(form.actions().contains(row.item)) << row.item->text().toStdString();
    }
    for (int language : {0, 1}) {
        Settings().SetLangIndex(language);
        form.ApplyMenuTexts();
        std::vector<std::vector<QAction*>> menus{{}};
        for (QAction* top : form.mainMenu->actions()) {
            if (top->isSeparator())
                continue;
            menus[0].push_back(top);
            if (top->menu()) {
                const QList<QAction*> items = top->menu()->actions();
                menus.emplace_back(items.begin(), items.end());
            }
        }
        for (const auto& menu : menus) {
            std::set<QChar> letters;
            for (const QAction* item : menu) {
                // START and STOP are never shown together.
                if (item->isSeparator() || item == form.stopCameraAction)
                    continue;
                const qsizetype mark = item->text().indexOf(QLatin1Char('&'));
                ASSERT_GE(mark, 0) << language << " " << item->text().toStdString();
                const QChar letter = item->text().at(mark + 1).toLower();
                EXPECT_TRUE(letters.insert(letter).second) << language << " " << item->text().toStdString();
            }
        }
    }
}

}  // namespace
}  // namespace orv::test
