// One language throughout, and what the window says of its state: the texts
// of the main window, the options dialog, the about box and the message
// boxes in the built-in language and in the shipped English; the search for
// the phone, the recording mark, the server's address, the file written, the
// tray's menu, the keys and the manual of each language.

#include "WindowFixture.h"

#include "shell/Options.h"
#include "texts/LangTexts.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
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

int FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
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
    for (QAction* item : MenuItems(*form.MainMenu1)) {
        if (language == 1) {
            EXPECT_FALSE(HasCyrillic(item->text())) << item->text().toStdString();
        } else {
            EXPECT_TRUE(builtIn.count(item->text())) << item->text().toStdString();
        }
    }
    for (int panel = TForm1::kConnectionPanel; panel < TForm1::kPanelCount; ++panel)
        EXPECT_EQ(HasCyrillic(form.PanelText(panel)), language == 0 && panel != TForm1::kTimePanel) << panel;
    EXPECT_EQ(form.PanelText(TForm1::kConnectionPanel), LangText(txt::kStr4NotConnected));
    EXPECT_FALSE(HasCyrillic(form.windowTitle()));
    EXPECT_EQ(form.Tray->Tip(), form.windowTitle());

    // The about box and a message box.
    form.N9Click();
    AddPhone();
    form.N15Click();
    ASSERT_TRUE(WaitForConnected());
    form.Web1Click();
    ASSERT_NE(form.CamThread, nullptr);
    EXPECT_FALSE(form.FormCloseQuery());
    const std::vector<RecordingDialogs::Message> messages = SharedDialogs().Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].caption, language == 0 ? QStringLiteral("О программе") : QStringLiteral("About Orvello"));
    EXPECT_TRUE(messages[0].text.startsWith(QStringLiteral("Orvello v" ORV_VERSION "\n")));
    EXPECT_EQ(messages[1].text, LangText(txt::kStr6StopCameraFirst));
    for (const auto& message : messages) {
        EXPECT_EQ(HasCyrillic(message.caption + message.text), language == 0) << message.text.toStdString();
        EXPECT_FALSE(message.text.contains(QStringLiteral("\\n")));
    }
    form.Web2Click();
    ASSERT_TRUE(WaitFor([&] { return form.CamThread == nullptr; }));

    // The options dialog: its title, tabs, labels, buttons and lists.
    int opened = 0;
    SharedDialogs().onModal = [&](QDialog* dialog) {
        auto* options = qobject_cast<TOptionsDlg*>(dialog);
        if (!options)
            return static_cast<int>(QDialog::Rejected);
        ++opened;
        options->show();
        QStringList texts{options->windowTitle()};
        for (int tab = 0; tab < options->PageControl1->count(); ++tab)
            texts << options->PageControl1->tabText(tab);
        for (const QLabel* label : options->findChildren<QLabel*>())
            texts << label->text();
        for (const QAbstractButton* button : options->findChildren<QAbstractButton*>())
            texts << button->text();
        // The language list names each language in its own tongue.
        for (const QComboBox* list : {options->ComboBox1, options->ComboBox2, options->ComboBox3, options->ComboBox4})
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
            {options->OKBtn->text(), "OK", "OK"},
            {options->CancelBtn->text(), "Cancel", "Cancel"},
            {options->CheckBox1->text(), "Auto Suspend mode", "Suspend the phone when it connects"},
            {options->CheckBox9->text(), "Auto file name:", "Name files by date in:"},
            {options->Button2->text(), ">>TEST<<", "Measure"},
            {options->Label3->text(), "Таймаут после съёмки:", "Timeout after shooting (ms):"},
            {options->ComboBox1->itemText(0), "VGA (640×480)", "VGA (640×480)"},
            {options->ComboBox1->itemText(10), "UXGA (1600×1200)", "UXGA (1600×1200)"},
            {options->ComboBox5->itemText(0), "Русский", "Русский"},
            {options->ComboBox5->itemText(1), "English", "English"},
        };
        for (const auto& row : rows)
            EXPECT_EQ(row.shown, QString::fromUtf8(language == 0 ? row.russian : row.english));
        options->hide();
        return static_cast<int>(QDialog::Rejected);
    };
    form.N7Click();
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
    TForm1& form = MakeForm();
    AddPhone();
    form.N15Click();
    ASSERT_TRUE(WaitForConnected());
    SharedDialogs().onModal = [&](QDialog* dialog) {
        auto* options = qobject_cast<TOptionsDlg*>(dialog);
        if (!options)
            return static_cast<int>(QDialog::Rejected);
        options->ComboBox5->setCurrentIndex(other);
        options->accept();  // OK writes the settings
        return options->result();
    };
    form.N7Click();
    SharedDialogs().onModal = nullptr;
    ASSERT_EQ(Settings().GetLangIndex(), other);
    const struct {
        int panel;
        const char* russian;
        const char* english;
    } rows[] = {
        {TForm1::kConnectionPanel, "Статус: соединён.", "Status: connected."},
        {TForm1::kModelPanel, "Модель: Motorola V3x", "Model: Motorola V3x"},
        {TForm1::kWorkPanel, "Статус: Не занят", "Status: idle."},
    };
    for (const auto& row : rows)
        EXPECT_EQ(form.PanelText(row.panel), QString::fromUtf8(other == 0 ? row.russian : row.english)) << row.panel;
    EXPECT_EQ(form.N1->text(), other == 0 ? QStringLiteral("&Файл") : QStringLiteral("&File"));
    EXPECT_EQ(form.TrayExit->text(), form.N3->text());
    EXPECT_EQ(form.Tray->Tip(), form.windowTitle());
    // Qt's own buttons too.
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"),
              other == 0 ? QStringLiteral("Отмена") : QStringLiteral("Cancel"));
}

// Help opens the manual of the language in use.
TEST_P(WindowTextsTest, HelpOpensTheManualOfTheLanguage)
{
    const int language = GetParam();
    UseShippedLanguages(language);
    Settings().SetAutoPhoneConnect(false);
    TForm1& form = MakeForm();
    form.Orvellohelp1Click();
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

INSTANTIATE_TEST_SUITE_P(Languages, WindowTextsTest, ::testing::Values(0, 1));

// The connection panel says that the phone is looked for while the monitor
// looks, and says "not connected" only when nothing looks.
TEST_F(WindowTest, ConnectionPanelSaysWhileThePhoneIsSearchedFor)
{
    Settings().SetAutoPhoneConnect(true);
    TForm1& form = MakeForm();
    ASSERT_NE(form.DevMon, nullptr);
    EXPECT_EQ(form.PanelText(TForm1::kConnectionPanel), QStringLiteral("Поиск телефона..."));
    sim::SimPhone& phone = AddPhone();
    ASSERT_TRUE(WaitForConnected());
    EXPECT_EQ(form.PanelText(TForm1::kConnectionPanel), QStringLiteral("Статус: соединён."));
    phone.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !form.N12->isEnabled(); }));
    EXPECT_EQ(form.PanelText(TForm1::kConnectionPanel), QStringLiteral("Поиск телефона..."));
    form.N16Click();
    ASSERT_TRUE(WaitFor([&] { return form.PanelText(TForm1::kConnectionPanel) == QStringLiteral("Статус: не соединён."); }));
    // The panel holds the longest of its texts.
    auto* panel = form.StatusBar1->findChildren<QLabel*>().at(TForm1::kConnectionPanel);
    form.SetPanelText(TForm1::kConnectionPanel, QStringLiteral("Поиск телефона..."));
    EXPECT_LE(panel->sizeHint().width(), panel->width());
}

// While the web camera runs: the mark and the time in the title and the
// tray's tip, the red mark on the tray icon; after STOP the file written in
// the status bar, and its folder opened in the file manager.
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
    form.N15Click();
    ASSERT_TRUE(WaitForConnected());
    form.Web1Click();
    ASSERT_NE(form.CamThread, nullptr);
    EXPECT_TRUE(form.Tray->Recording());
    form.ShowRecordingTime(LangText(txt::kStr21RecordingTime), QStringLiteral(" 00:01:23"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("● REC 00:01:23 \u2014 ") + title);
    EXPECT_EQ(form.Tray->Tip(), form.windowTitle().left(TTray::kMaxTipLength));
    EXPECT_EQ(form.Tray->Icon()->toolTip(), form.Tray->Tip());

    form.Web2Click();
    ASSERT_TRUE(WaitFor([&] { return form.CamThread == nullptr; }));
    EXPECT_EQ(form.windowTitle(), title);
    EXPECT_EQ(form.Tray->Tip(), title);
    EXPECT_FALSE(form.Tray->Recording());
    EXPECT_EQ(form.AddressPanel->text(), QStringLiteral("Записано: ") + file);
    EXPECT_TRUE((form.AddressPanel->maximumWidth() > 0));
    EXPECT_EQ(form.RecordingFile(), file);

    // The folder in the file manager; with none, a message names it.
    struct Row {
        bool openerWorks;
        size_t messages;
    };
    for (const Row row : {Row{true, 0}, Row{false, 1}}) {
        SharedDialogs().Clear();
        urls_.clear();
        openerWorks_ = row.openerWorks;
        form.OpenRecordingsClick();
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
    form.N15Click();
    ASSERT_TRUE(WaitForConnected());
    const QString address = BrowserAddress(port);
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
        EXPECT_FALSE(form.CopyAddress1->isEnabled());
        form.Web1Click();
        ASSERT_NE(form.CamThread, nullptr);
        EXPECT_TRUE((form.AddressPanel->maximumWidth() > 0));
        EXPECT_EQ(form.AddressPanel->text(), row.panel);
        EXPECT_EQ(form.ServerAddress(), address);
        EXPECT_TRUE(form.CopyAddress1->isEnabled());
        form.CopyAddressClick();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), row.clipboard);
        form.Web2Click();
        ASSERT_TRUE(WaitFor([&] { return form.CamThread == nullptr; }));
        // The stand-in recorder writes no file: nothing is left to name.
        EXPECT_FALSE((form.AddressPanel->maximumWidth() > 0));
        EXPECT_TRUE(form.ServerAddress().isEmpty());
        EXPECT_FALSE(form.CopyAddress1->isEnabled());
    }
}

// The tray's menu offers what the main menu offers, in each state.
TEST_F(WindowTest, TrayMenuFollowsTheMenusRules)
{
    Settings().SetAutoPhoneConnect(false);
    auto& form = MakeForm<CamForm>();
    ASSERT_EQ(form.Tray->ContextMenu(), form.TrayMenu);
    struct Expected {
        bool photo, startShown, startEnabled, stopShown, stopEnabled;
    };
    const auto check = [&](const char* state, const Expected& expected) {
        form.UpdateTrayMenu();
        EXPECT_TRUE(form.TrayRestore->isEnabled()) << state;
        EXPECT_TRUE(form.TrayExit->isEnabled()) << state;
        EXPECT_EQ(form.TrayPhoto->isEnabled(), expected.photo) << state;
        EXPECT_EQ(form.TrayStart->isVisible(), expected.startShown) << state;
        EXPECT_EQ(form.TrayStart->isEnabled(), expected.startEnabled) << state;
        EXPECT_EQ(form.TrayStop->isVisible(), expected.stopShown) << state;
        EXPECT_EQ(form.TrayStop->isEnabled(), expected.stopEnabled) << state;
    };
    check("no phone", {false, true, false, false, false});
    // Without a phone the items do nothing.
    form.TrayStart->trigger();
    EXPECT_EQ(form.CamThread, nullptr);
    AddPhone();
    form.N15Click();
    ASSERT_TRUE(WaitForConnected());
    check("phone idle", {true, true, true, false, false});
    form.TrayStart->trigger();
    ASSERT_NE(form.CamThread, nullptr);
    check("web camera", {false, false, false, true, true});  // a hidden item is never enabled
    form.TrayStop->trigger();
    ASSERT_TRUE(WaitFor([&] { return form.CamThread == nullptr; }));
    check("stopped", {true, true, true, false, false});
    EXPECT_EQ(form.camThreadsMade, 1);
    EXPECT_EQ(form.TrayPhoto->text(), form.N4->text());
    EXPECT_EQ(form.TrayRestore->text(), QStringLiteral("&Развернуть окно"));
}

// The keys of the common commands, and an accelerator letter for each item,
// no two alike within a menu, in both languages.
TEST_F(WindowTest, ShortcutsAndAccelerators)
{
    Settings().SetAutoPhoneConnect(false);
    qputenv("ORVELLO_LNG_DIR", (SourceDir() + QStringLiteral("/lng")).toUtf8());
    TForm1& form = MakeForm();
    const struct {
        QAction* item;
        QKeySequence keys;
    } rows[] = {
        {form.N4, QKeySequence(Qt::Key_F4)},          {form.N5, QKeySequence(Qt::CTRL | Qt::Key_S)},
        {form.Web1, QKeySequence(Qt::Key_F5)},        {form.Web2, QKeySequence(Qt::Key_F6)},
        {form.N3, QKeySequence(Qt::CTRL | Qt::Key_Q)}, {form.Orvellohelp1, QKeySequence(Qt::Key_F1)},
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
        for (QAction* top : form.MainMenu1->actions()) {
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
                if (item->isSeparator() || item == form.Web2)
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
