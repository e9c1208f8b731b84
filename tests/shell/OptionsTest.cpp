// The options dialog opened by the window's command, played through the
// dialog interface: what it writes on OK and Cancel, how it loads and labels
// its controls, its enabling rules and choosers, the number fields, and the
// frame-rate test against the simulated phone.

#include "WindowFixture.h"

#include "Codecs.h"
#include "LangTexts.h"
#include "Options.h"
#include "SettingsStore.h"
#include "SimPhone.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include <array>
#include <ostream>

// Texts in failure messages as texts.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace orv::test {
namespace {

const QString kStr7 = QStringLiteral("Установите телефон в положение для сьёмки и нажмите OK");
const QString kStr8 = QStringLiteral("Телефон не подключён!");
const QString kStr9 = QStringLiteral("Инициализация камеры невозможна!");
const QString kStr10 = QStringLiteral("Не могу снять!");
const QString kBusy =
    QStringLiteral("Тест частоты кадров невозможен, пока идёт съёмка: дождитесь снимка или остановите веб камеру.");

// A clock that moves only when the test moves it: the phone's exchanges take
// no time on it, so the frame-rate test measures exactly what was advanced.
class HeldClock final : public Clock {
public:
    uint32_t TickCount() override { return ticks_.load(); }
    void Sleep(uint32_t milliseconds) override
    {
        if (milliseconds > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::time_t Now() override { return 1796567400; }
    void Advance(uint32_t milliseconds) { ticks_ += milliseconds; }

private:
    std::atomic<uint32_t> ticks_{5000};
};

HeldClock& SharedHeldClock()
{
    static auto* clock = new HeldClock;
    return *clock;
}

// The value lines of the settings file, in file order: a new value is
// appended, so after the key is emptied they show the order of writing.
QStringList StoredLines()
{
    QFile file(QString::fromStdString(reg::SettingsFilePath()));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1Char('"')))
            lines << line;
    return lines;
}

// The phone's commands in words; a run of block reads is one "read".
QStringList CommandNames(const std::vector<sim::SimPhone::Command>& commands, size_t from)
{
    const auto text = [](const std::vector<uint8_t>& data, size_t at) {
        return at <= data.size() ? QString::fromLatin1(reinterpret_cast<const char*>(data.data() + at),
                                                       static_cast<qsizetype>(data.size() - at))
                                 : QString();
    };
    QStringList names;
    for (size_t i = from; i < commands.size(); ++i) {
        const auto& data = commands[i].data;
        QString name = QStringLiteral("other %1").arg(commands[i].code, 0, 16);
        if (commands[i].code == 0x61 && data.size() == 3 && data[0] == 0 && data[1] == 1)
            name = QStringLiteral("camera on %1").arg(data[2]);
        else if (commands[i].code == 0x61 && data.size() == 3 && data[0] == 0)
            name = QStringLiteral("camera off");
        else if (commands[i].code == 0x61 && data.size() >= 2 && data[0] == 1)
            name = QStringLiteral("shoot ") + text(data, 2);
        else if (commands[i].code == 0x4A && data.size() >= 4 && data[3] == 1)
            name = QStringLiteral("read");
        else if (commands[i].code == 0x4A && data.size() >= 4 && data[3] == 4)
            name = QStringLiteral("close");
        else if (commands[i].code == 0x4A && data.size() >= 4 && data[3] == 5)
            name = QStringLiteral("delete ") + text(data, 4);
        if (names.isEmpty() || name != QLatin1String("read") || names.last() != name)
            names << name;
    }
    return names;
}

class OptionsTest : public WindowTest {
protected:
    // Opens the dialog with the window's command and shows it; user plays
    // the user. The dialog ends as the user left it: OK and Cancel close it,
    // a dialog still open counts as cancelled.
    void OpenOptions(TForm1& form, const std::function<void(TOptionsDlg&)>& user)
    {
        bool opened = false;
        SharedDialogs().onModal = [&](QDialog* dialog) {
            auto* options = qobject_cast<TOptionsDlg*>(dialog);
            opened = options != nullptr;
            if (!options)
                return static_cast<int>(QDialog::Rejected);
            options->show();
            user(*options);
            const int result = options->isVisible() ? QDialog::Rejected : options->result();
            options->hide();
            return result;
        };
        form.N7Click();
        SharedDialogs().onModal = nullptr;
        EXPECT_TRUE(opened);
    }

    TForm1& FormWithoutPhone()
    {
        Settings().SetAutoPhoneConnect(false);
        return MakeForm();
    }

    void WriteLanguageFile(const QString& name, const QByteArray& text)
    {
        QFile file(languageFolder_ + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
};

TEST_F(OptionsTest, CancelEscapeAndTheCloseBoxWriteNothing)
{
    struct Row {
        const char* how;
        std::function<void(TOptionsDlg&)> close;
    };
    const Row rows[] = {
        {"Cancel", [](TOptionsDlg& dialog) { dialog.CancelBtn->click(); }},
        {"Escape", [](TOptionsDlg& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); }},
        {"close box", [](TOptionsDlg& dialog) { dialog.close(); }},
    };
    TForm1& form = FormWithoutPhone();
    const QStringList before = StoredLines();
    ASSERT_EQ(before, QStringList{QStringLiteral("\"AutoPhoneConnect\"=dword:00000000")});
    for (const Row& row : rows) {
        bool closed = false;
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            EXPECT_TRUE(dialog.OKBtn->isDefault());
            dialog.PageControl1->setCurrentIndex(2);
            dialog.Edit1->setText(QStringLiteral("/a/other.jpg"));
            dialog.ComboBox5->setCurrentIndex(-1);
            row.close(dialog);
            closed = !dialog.isVisible();
        });
        EXPECT_TRUE(closed) << row.how;
        EXPECT_EQ(StoredLines(), before) << row.how;
    }
}

TEST_F(OptionsTest, OkWritesAllTwentyFourValuesInOrder)
{
    const QString videos = DefaultAviFolder();
    const bool haveCodecs = video::TCodecs().Count() > 0;
    struct Row {
        const char* name;
        std::function<void()> store;  // what the settings hold at opening
        QStringList lines;            // the values written on OK, in order
    };
    const Row rows[] = {
        {"defaults",
         [] {},
         {QStringLiteral("\"TempJpgName\"=\"/a/temp.jpg\""), QStringLiteral("\"AutoSuspendMode\"=dword:00000001"),
          QStringLiteral("\"JpgType\"=dword:00000000"), QStringLiteral("\"Timeout\"=dword:000003e8"),
          QStringLiteral("\"CloseToTray\"=dword:00000000"), QStringLiteral("\"AutoRestart\"=dword:00000001"),
          QStringLiteral("\"AutoFormResize\"=dword:00000001"), QStringLiteral("\"ShowSplash\"=dword:00000001"),
          QStringLiteral("\"AviTempName\"=\"%1temp.avi\"").arg(videos),
          QStringLiteral("\"Fps\"=hex:00,00,00,00,00,00,f0,3f"), QStringLiteral("\"DuplicatePicture\"=dword:00000001"),
          // An empty catalogue selects nothing, written as -1.
          haveCodecs ? QStringLiteral("\"CodecIndex\"=dword:00000000")
                     : QStringLiteral("\"CodecIndex\"=dword:ffffffff"),
          QStringLiteral("\"OptionsTabIndex\"=dword:00000000"), QStringLiteral("\"PrintDateOnImage\"=dword:00000001"),
          QStringLiteral("\"CameraInitTime\"=dword:000005dc"), QStringLiteral("\"AmbientLight\"=dword:00000001"),
          QStringLiteral("\"Expose\"=dword:00000002"), QStringLiteral("\"AutoFps\"=dword:00000001"),
          QStringLiteral("\"AutoAviFileName\"=dword:00000000"), QStringLiteral("\"AviFolder\"=\"%1\"").arg(videos),
          QStringLiteral("\"ServerEnabled\"=dword:00000000"), QStringLiteral("\"ServerPort\"=dword:00000050"),
          QStringLiteral("\"AutoPhoneConnect\"=dword:00000000"), QStringLiteral("\"LangIndex\"=dword:00000000")}},
        {"every value changed",
         [] {
             Settings s;
             s.SetTempJpgName(QStringLiteral("/a/shot.jpg"));
             s.SetAutoSuspendMode(false);
             s.SetJpgType(10);
             s.SetTimeout(2500);
             s.SetCloseToTray(true);
             s.SetAutoRestart(false);
             s.SetAutoFormResize(false);
             s.SetShowSplash(false);
             s.SetAviTempName(QStringLiteral("/srv/video/night.avi"));
             s.SetFps(12.5);
             s.SetDuplicatePicture(false);
             s.SetOptionsTabIndex(3);
             s.SetPrintDateOnImage(false);
             s.SetCameraInitTime(250);
             s.SetAmbientLight(5);
             s.SetExpose(4);
             s.SetAutoFps(false);
             s.SetAutoAviFileName(true);
             s.SetAviFolder(QStringLiteral("/srv/video/"));
             s.SetServerEnabled(true);
             s.SetServerPort(8080);
             s.SetLangIndex(1);
         },
         {QStringLiteral("\"TempJpgName\"=\"/a/shot.jpg\""), QStringLiteral("\"AutoSuspendMode\"=dword:00000000"),
          QStringLiteral("\"JpgType\"=dword:0000000a"), QStringLiteral("\"Timeout\"=dword:000009c4"),
          QStringLiteral("\"CloseToTray\"=dword:00000001"), QStringLiteral("\"AutoRestart\"=dword:00000000"),
          QStringLiteral("\"AutoFormResize\"=dword:00000000"), QStringLiteral("\"ShowSplash\"=dword:00000000"),
          QStringLiteral("\"AviTempName\"=\"/srv/video/night.avi\""),
          QStringLiteral("\"Fps\"=hex:00,00,00,00,00,00,29,40"), QStringLiteral("\"DuplicatePicture\"=dword:00000000"),
          haveCodecs ? QStringLiteral("\"CodecIndex\"=dword:00000000")
                     : QStringLiteral("\"CodecIndex\"=dword:ffffffff"),
          QStringLiteral("\"OptionsTabIndex\"=dword:00000003"), QStringLiteral("\"PrintDateOnImage\"=dword:00000000"),
          QStringLiteral("\"CameraInitTime\"=dword:000000fa"), QStringLiteral("\"AmbientLight\"=dword:00000005"),
          QStringLiteral("\"Expose\"=dword:00000004"), QStringLiteral("\"AutoFps\"=dword:00000000"),
          QStringLiteral("\"AutoAviFileName\"=dword:00000001"), QStringLiteral("\"AviFolder\"=\"/srv/video/\""),
          QStringLiteral("\"ServerEnabled\"=dword:00000001"), QStringLiteral("\"ServerPort\"=dword:00001f90"),
          QStringLiteral("\"AutoPhoneConnect\"=dword:00000000"), QStringLiteral("\"LangIndex\"=dword:00000001")}},
    };
    WriteLanguageFile(QStringLiteral("a.lng"), "[OPTIONS]\n");
    TForm1& form = FormWithoutPhone();
    for (const Row& row : rows) {
        row.store();
        OpenOptions(form, [](TOptionsDlg& dialog) {
            // Emptied after loading, so that the file lists the values in
            // the order in which OK writes them.
            reg::DeleteSettingsKey();
            dialog.OKBtn->click();
        });
        EXPECT_EQ(StoredLines(), row.lines) << row.name;
    }
}

TEST_F(OptionsTest, LanguageListLabelsAndWhatOkWritesForIt)
{
    struct Row {
        int langIndex;
        int selected;
        const char* tab;
        const char* pictureType;  // Label2: the key's text replaces the form's "Тип картинки:"
        const char* nightLight;   // ComboBox4, item 5
        int written;
    };
    const Row rows[] = {
        {0, 0, "Телефон", "Тип картинки", "Ночная съёмка", 0},
        {2, 2, "Phone B", "Size B", "Night B", 2},
        // Past the last file: no selection, the built-in texts, and -1 on OK.
        {3, -1, "Телефон", "Тип картинки", "Ночная съёмка", -1},
    };
    WriteLanguageFile(QStringLiteral("a.lng"), "[OPTIONS]\nPANEL1=Phone A\n");
    WriteLanguageFile(QStringLiteral("b.lng"), "[options]\npanel1=Phone B\nS2=Size B\nS25=Night B\n");
    TForm1& form = FormWithoutPhone();
    for (const Row& row : rows) {
        Settings().SetLangIndex(row.langIndex);
        Settings().SetAmbientLight(5);
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            EXPECT_EQ(dialog.ComboBox5->count(), 3);
            EXPECT_EQ(dialog.ComboBox5->itemText(0), QStringLiteral("Русский"));
            EXPECT_EQ(dialog.ComboBox5->itemText(2), QStringLiteral("b.lng"));
            EXPECT_EQ(dialog.ComboBox5->currentIndex(), row.selected);
            EXPECT_EQ(dialog.PageControl1->tabText(0), QString::fromUtf8(row.tab));
            EXPECT_EQ(dialog.Label2->text(), QString::fromUtf8(row.pictureType));
            EXPECT_EQ(dialog.ComboBox4->itemText(5), QString::fromUtf8(row.nightLight));
            EXPECT_EQ(dialog.ComboBox4->currentIndex(), 5);
            // Captions without a key stay as they are in every language.
            EXPECT_EQ(dialog.CheckBox1->text(), QStringLiteral("Auto Suspend mode"));
            EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Настройки"));
            dialog.OKBtn->click();
        });
        EXPECT_EQ(Settings().GetLangIndex(), row.written) << row.langIndex;
    }
}

TEST_F(OptionsTest, StoredPositionsOutsideTheirControls)
{
    struct Row {
        const char* name;
        std::function<void()> store;
        std::function<int(const TOptionsDlg&)> shown;
        int expected;
    };
    const int codecCount = video::TCodecs().Count();
    const Row rows[] = {
        {"picture type 11", [] { Settings().SetJpgType(11); },
         [](const TOptionsDlg& d) { return d.ComboBox1->currentIndex(); }, -1},
        {"compressor at the catalogue's count", [=] { Settings().SetCodecIndex(codecCount); },
         [](const TOptionsDlg& d) { return d.ComboBox2->currentIndex(); }, codecCount > 0 ? 0 : -1},
        {"tab 7", [] { Settings().SetOptionsTabIndex(7); },
         [](const TOptionsDlg& d) { return d.PageControl1->currentIndex(); }, 0},
        {"tab 2", [] { Settings().SetOptionsTabIndex(2); },
         [](const TOptionsDlg& d) { return d.PageControl1->currentIndex(); }, 2},
        {"port 8080", [] { Settings().SetServerPort(8080); }, [](const TOptionsDlg& d) { return d.Edit7->value(); },
         8080},
        {"port 10", [] { Settings().SetServerPort(10); }, [](const TOptionsDlg& d) { return d.Edit7->value(); }, 80},
        {"port 70000", [] { Settings().SetServerPort(70000); }, [](const TOptionsDlg& d) { return d.Edit7->value(); },
         32767},
    };
    TForm1& form = FormWithoutPhone();
    for (const Row& row : rows) {
        row.store();
        int shown = -2;
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            shown = row.shown(dialog);
            EXPECT_EQ(dialog.Edit7->minimum(), 80);
            EXPECT_EQ(dialog.Edit7->maximum(), 32767);
            EXPECT_FALSE(dialog.Edit7->wrapping());
        });
        EXPECT_EQ(shown, row.expected) << row.name;
    }
}

TEST_F(OptionsTest, AutoFpsAndAutoFileNameEnableTheirFields)
{
    struct Row {
        bool autoFps, autoFileName;
        // Edit4, Button2, Edit3, Button1, Edit6, Button6
        std::array<bool, 6> enabled;
    };
    const Row rows[] = {
        {false, false, {true, true, true, true, false, false}},
        {true, false, {false, false, true, true, false, false}},
        {false, true, {true, true, false, false, true, true}},
        {true, true, {false, false, false, false, true, true}},
    };
    const auto states = [](const TOptionsDlg& d) {
        return std::array<bool, 6>{d.Edit4->isEnabled(), d.Button2->isEnabled(), d.Edit3->isEnabled(),
                                   d.Button1->isEnabled(), d.Edit6->isEnabled(), d.Button6->isEnabled()};
    };
    TForm1& form = FormWithoutPhone();
    for (const Row& row : rows) {
        Settings().SetAutoFps(row.autoFps);
        Settings().SetAutoAviFileName(row.autoFileName);
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            EXPECT_EQ(states(dialog), row.enabled) << row.autoFps << row.autoFileName;
            // Clicking both boxes turns every rule round.
            dialog.CheckBox8->click();
            dialog.CheckBox9->click();
            std::array<bool, 6> flipped{};
            for (size_t i = 0; i < flipped.size(); ++i)
                flipped[i] = !row.enabled[i];
            EXPECT_EQ(states(dialog), flipped) << row.autoFps << row.autoFileName;
        });
    }
}

TEST_F(OptionsTest, FileAndFolderChoosers)
{
    const QString existing = TempFolder();
    struct Row {
        const char* name;
        QString folder;                 // Edit6 at opening
        std::optional<QString> chosen;  // the browser's answer
        QString preselected;
        QString after;
    };
    const Row rows[] = {
        {"existing folder, confirmed", existing, QStringLiteral("/srv/video"), existing,
         QStringLiteral("/srv/video")},
        {"missing folder, cancelled", QStringLiteral("/no/such/folder/"), std::nullopt, QString(),
         QStringLiteral("/no/such/folder/")},
    };
    TForm1& form = FormWithoutPhone();
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        Settings().SetAviFolder(row.folder);
        SharedDialogs().QueueFolder(row.chosen);
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            dialog.Button6Click();
            EXPECT_EQ(dialog.Edit6->text(), row.after) << row.name;
        });
        EXPECT_EQ(SharedDialogs().folderRequests, std::vector<QString>{row.preselected}) << row.name;
    }

    // The AVI file: proposed with its name, an .avi filter and extension;
    // taken when confirmed, kept when cancelled.
    SharedDialogs().Clear();
    Settings().SetAviTempName(QStringLiteral("/srv/a.avi"));
    SharedDialogs().QueueSave(SaveAnswer{QStringLiteral("/srv/b.avi"), 1});
    SharedDialogs().QueueSave(std::nullopt);
    OpenOptions(form, [&](TOptionsDlg& dialog) {
        dialog.Button1Click();
        EXPECT_EQ(dialog.Edit3->text(), QStringLiteral("/srv/b.avi"));
        dialog.Button1Click();
        EXPECT_EQ(dialog.Edit3->text(), QStringLiteral("/srv/b.avi"));
    });
    ASSERT_EQ(SharedDialogs().saveRequests.size(), 2u);
    EXPECT_EQ(SharedDialogs().saveRequests[0].fileName, QStringLiteral("/srv/a.avi"));
    EXPECT_EQ(SharedDialogs().saveRequests[0].filters, QStringList{QStringLiteral("Avi files(*.avi)")});
    EXPECT_EQ(SharedDialogs().saveRequests[0].defaultSuffix, QStringLiteral("avi"));
    EXPECT_EQ(SharedDialogs().saveRequests[1].fileName, QStringLiteral("/srv/b.avi"));
}

TEST_F(OptionsTest, AnInvalidNumberKeepsTheDialogOpenAndWritesNothing)
{
    struct Row {
        QLineEdit* TOptionsDlg::*field;
        const char* text;
        const char* message;
    };
    const Row rows[] = {
        {&TOptionsDlg::Edit2, "12a", "'12a' is not a valid integer value"},
        {&TOptionsDlg::Edit4, "1.5.2", "'1.5.2' is not a valid floating point value"},
        {&TOptionsDlg::Edit4, "inf", "'inf' is not a valid floating point value"},
        {&TOptionsDlg::Edit5, "", "'' is not a valid integer value"},
        {&TOptionsDlg::Edit5, "99999999999", "'99999999999' is not a valid integer value"},
    };
    TForm1& form = FormWithoutPhone();
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        reg::DeleteSettingsKey();
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            QLineEdit* field = dialog.*row.field;
            dialog.Edit1->setText(QStringLiteral("/a/new.jpg"));
            dialog.PageControl1->setCurrentIndex(3);
            field->setText(QString::fromLatin1(row.text));
            dialog.OKBtn->click();
            EXPECT_TRUE(dialog.isVisible()) << row.message;
            EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{QString::fromLatin1(row.message)});
            EXPECT_EQ(field->text(), QString::fromLatin1(row.text));
            EXPECT_EQ(dialog.Edit1->text(), QStringLiteral("/a/new.jpg"));
            // The field to correct is in front.
            EXPECT_EQ(dialog.PageControl1->currentWidget(), field->parentWidget());
            EXPECT_TRUE(StoredLines().isEmpty()) << row.message;
            // Corrected, OK writes everything.
            field->setText(QStringLiteral("7"));
            dialog.OKBtn->click();
            EXPECT_FALSE(dialog.isVisible()) << row.message;
        });
        EXPECT_EQ(StoredLines().size(), 24) << row.message;
        EXPECT_EQ(Settings().GetTempJpgName(), QStringLiteral("/a/new.jpg"));
    }
}

TEST_F(OptionsTest, FrameRateTestWithoutAPhoneLeavesTheFieldAlone)
{
    // The messages speak the language chosen in the list, not the one the
    // dialog was opened (and labelled) with.
    struct Row {
        int selected;
        QStringList messages;
    };
    const Row rows[] = {
        {0, {kStr7, kStr8}},
        {2, {QStringLiteral("Phone ready? B"), QStringLiteral("No phone B")}},
        {1, {QStringLiteral("Phone ready? A"), kStr8}},
    };
    WriteLanguageFile(QStringLiteral("a.lng"), "[OPTIONS]\nPANEL1=Phone A\n[STRS]\nSTR7=Phone ready? A\n");
    WriteLanguageFile(QStringLiteral("b.lng"), "[STRS]\nSTR7=Phone ready? B\nSTR8=No phone B\n");
    Settings().SetLangIndex(1);
    Settings().SetFps(2.5);
    Settings().SetAutoFps(false);
    TForm1& form = FormWithoutPhone();
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            dialog.ComboBox5->setCurrentIndex(row.selected);
            dialog.Button2->click();
            EXPECT_EQ(dialog.PageControl1->tabText(0), QStringLiteral("Phone A"));
            EXPECT_EQ(dialog.Edit4->text(), QStringLiteral("2") + QLocale::system().decimalPoint() + QStringLiteral("5"));
        });
        EXPECT_EQ(SharedDialogs().MessageTexts(), row.messages) << row.selected;
    }
}

TEST_F(OptionsTest, FrameRateTestWithThePhone)
{
    const QString point = QLocale::system().decimalPoint();
    struct Row {
        const char* name;
        std::function<void(sim::SimPhone&)> prepare;
        uint32_t advanceAtMessage;  // milliseconds that pass while the message is up
        QStringList messages;
        QStringList commands;
        QString rate;       // Edit4 afterwards
        bool fileLeft;      // the picture stays on the phone
    };
    const Row rows[] = {
        {"this phone reads no file that was not opened",
         [](sim::SimPhone&) {},
         2500,
         {kStr7, kStr10},
         {"camera on 0", "shoot /a/temp.jpg", "read", "camera off"},
         QStringLiteral("0") + point + QStringLiteral("4"),
         true},
        {"the picture file was left open, so it reads",
         [](sim::SimPhone& phone) {
             phone.PutFile("/a/temp.jpg", std::vector<uint8_t>(3000, 0x55));
             ASSERT_EQ(phone::PhoneLink::Instance().OpenPhoneFile("/a/temp.jpg", 0), phone::kOk);
         },
         0,
         {kStr7},
         {"camera on 0", "shoot /a/temp.jpg", "read", "close", "delete /a/temp.jpg", "camera off"},
         // No time passed on the clock: counted as one millisecond.
         QStringLiteral("1000"),
         false},
        {"the shot is refused: nothing is said",
         [](sim::SimPhone&) { Settings().SetTempJpgName(QStringLiteral("/b/x.jpg")); },
         0,
         {kStr7},
         {"camera on 0", "shoot /b/x.jpg", "camera off"},
         QStringLiteral("1000"),
         false},
        {"the stored picture type is refused",
         [](sim::SimPhone&) { Settings().SetJpgType(11); },
         0,
         {kStr7, kStr9},
         {"camera on 11"},
         QStringLiteral("3"),
         false},
    };
    SetClock(&SharedHeldClock());
    sim::SimPhone& phone = AddPhone();
    TForm1& form = MakeForm();
    ASSERT_TRUE(WaitForConnected());
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        Settings().SetTempJpgName(QStringLiteral("/a/temp.jpg"));
        Settings().SetJpgType(5);  // the list's choice is not what the test uses
        Settings().SetFps(3);
        Settings().SetAutoFps(false);
        TOptionsDlg* shown = nullptr;
        bool stayedOpen = false;
        SharedDialogs().onMessage = [&](const RecordingDialogs::Message& message) {
            if (message.text != kStr10)
                return;
            SharedHeldClock().Advance(row.advanceAtMessage);
            // While the phone works, the dialog neither closes nor starts a second test.
            QTest::mouseClick(shown->CancelBtn, Qt::LeftButton);
            QTest::keyClick(shown, Qt::Key_Escape);
            shown->close();
            shown->Button2->click();
            stayedOpen = shown->isVisible() && shown->TestRunning();
        };
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            shown = &dialog;
            dialog.ComboBox1->setCurrentIndex(3);
            Settings().SetJpgType(0);
            row.prepare(phone);
            const size_t before = phone.Commands().size();
            dialog.Button2->click();
            EXPECT_FALSE(dialog.TestRunning());
            EXPECT_EQ(dialog.Edit4->text(), row.rate) << row.name;
            EXPECT_EQ(CommandNames(phone.Commands(), before), row.commands) << row.name;
            EXPECT_EQ(stayedOpen, row.messages.contains(kStr10)) << row.name;
            EXPECT_TRUE(dialog.isVisible()) << row.name;
        });
        SharedDialogs().onMessage = nullptr;
        EXPECT_EQ(SharedDialogs().MessageTexts(), row.messages) << row.name;
        EXPECT_FALSE(phone.CameraOn()) << row.name;
        EXPECT_EQ(phone.File(Settings().GetTempJpgName().toStdString()).has_value(), row.fileLeft) << row.name;
    }
}

TEST_F(OptionsTest, FrameRateTestWaitsForAPhotoOrARecording)
{
    enum class Capture { Recording, Photo };
    struct Row {
        const char* name;
        Capture capture;
        bool startsWhileThePhoneIsPlaced;  // started at the STR7 message, not before the click
        QStringList messages;
    };
    const Row rows[] = {
        {"web camera running", Capture::Recording, false, {kBusy}},
        {"photo being taken", Capture::Photo, false, {kBusy}},
        // The window starts a recording on connect when asked to on the command line.
        {"web camera started while the phone is placed", Capture::Recording, true, {kStr7, kBusy}},
    };
    Settings().SetAutoFps(false);
    sim::SimPhone& phone = AddPhone();
    CamForm& form = MakeForm<CamForm>();
    ASSERT_TRUE(WaitForConnected());
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        const auto start = [&] {
            if (row.capture == Capture::Recording)
                form.Web1Click();
            else
                form.N4Click();
        };
        if (row.startsWhileThePhoneIsPlaced)
            SharedDialogs().onMessage = [&](const RecordingDialogs::Message& message) {
                if (message.text == kStr7)
                    start();
            };
        else
            start();
        const size_t before = phone.Commands().size();
        OpenOptions(form, [&](TOptionsDlg& dialog) {
            dialog.Button2->click();
            EXPECT_EQ(dialog.Edit4->text(), QStringLiteral("1")) << row.name;
        });
        SharedDialogs().onMessage = nullptr;
        EXPECT_EQ(SharedDialogs().MessageTexts(), row.messages) << row.name;
        ASSERT_TRUE(form.CaptureRunning()) << row.name;
        if (row.capture == Capture::Recording) {
            EXPECT_EQ(phone.Commands().size(), before) << row.name;
            form.Web2Click();
        }
        ASSERT_TRUE(WaitFor([&] { return !form.CaptureRunning(); })) << row.name;
    }
}

TEST_F(OptionsTest, AnEmptyCatalogueSelectsNothing)
{
    Settings settings;
    settings.SetCodecIndex(0);
    TOptionsDlg dialog(nullptr, settings, nullptr, {});
    dialog.LoadSettings();
    EXPECT_EQ(dialog.ComboBox2->count(), 0);
    EXPECT_EQ(dialog.ComboBox2->currentIndex(), -1);
    dialog.Button3->click();
    dialog.Button4->click();
    EXPECT_TRUE(SharedDialogs().Messages().empty());
    ASSERT_TRUE(dialog.SaveSettings());
    EXPECT_EQ(settings.GetCodecIndex(), -1);
}

}  // namespace
}  // namespace orv::test
