// The options dialog opened by the window's command, played through the
// dialog interface: what it writes on OK and Cancel, how it loads and labels
// its controls, its enabling rules and choosers, the number fields, and the
// frame-rate test against the simulated phone.

#include "WindowFixture.h"

#include "video/CodecCatalogue.h"
#include "texts/LangTexts.h"
#include "shell/OptionsDialog.h"
#include "web/Credentials.h"
#include "platform/SettingsStore.h"
#include "sim/SimBus.h"
#include "sim/SimPhone.h"
#include "tests/support/PhoneCommands.h"
#include "tests/support/Wait.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <ostream>
#include <thread>

#include <sys/stat.h>

// Texts in failure messages as texts.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace orv::test {
namespace {

const QString kStr7 = QStringLiteral("Установите телефон в положение для съёмки и нажмите OK");
const QString kStr9 = QStringLiteral("Инициализация камеры невозможна!");
const QString kStr10 = QStringLiteral("Не могу снять!");
const QString kBusy =
    QStringLiteral("Тест частоты кадров невозможен, пока идёт съёмка: дождитесь снимка или остановите веб-камеру.");

// A clock that moves only when the test moves it: the phone's exchanges take
// no time on it, so the frame-rate test measures exactly what was advanced.
struct HeldClock final : Clock {
    uint32_t TickCount() override { return ticks.load(); }
    void Sleep(uint32_t) override { std::this_thread::sleep_for(std::chrono::microseconds(200)); }
    std::time_t Now() override { return 1796567400; }
    std::atomic<uint32_t> ticks{5000};
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

// Writes the settings key with these value lines, in this order.
void WriteStore(const QStringList& lines)
{
    QFile file(QString::fromStdString(reg::SettingsFilePath()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n" + lines.join(QLatin1Char('\n')) +
                QLatin1Char('\n'))
                   .toUtf8());
}

class OptionsTest : public WindowTest {
protected:
    // Opens the dialog with the window's command and shows it; user plays
    // the user. The dialog ends as the user left it: OK and Cancel close it,
    // a dialog still open counts as cancelled.
    void OpenOptions(MainWindow& form, const std::function<void(OptionsDialog&)>& user)
    {
        int opened = 0;
        SharedDialogs().onModal = [&](QDialog* dialog) {
            auto* options = qobject_cast<OptionsDialog*>(dialog);
            if (!options)
                return static_cast<int>(QDialog::Rejected);
            ++opened;
            options->show();
            user(*options);
            const int result = options->isVisible() ? QDialog::Rejected : options->result();
            options->hide();
            return result;
        };
        form.ShowOptions();
        SharedDialogs().onModal = nullptr;
        EXPECT_EQ(opened, 1);
    }

    MainWindow& FormWithoutPhone()
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
        std::function<void(OptionsDialog&)> close;
    };
    const Row rows[] = {
        {"Cancel", [](OptionsDialog& dialog) { dialog.cancelButton->click(); }},
        {"Escape", [](OptionsDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); }},
        {"close box", [](OptionsDialog& dialog) { dialog.close(); }},
    };
    MainWindow& form = FormWithoutPhone();
    const QStringList before = StoredLines();
    ASSERT_EQ(before, QStringList{QStringLiteral("\"AutoPhoneConnect\"=dword:00000000")});
    for (const Row& row : rows) {
        bool closed = false;
        OpenOptions(form, [&](OptionsDialog& dialog) {
            EXPECT_TRUE(dialog.okButton->isDefault());
            dialog.tabs->setCurrentIndex(2);
            dialog.phoneFileEdit->setText(QStringLiteral("/a/other.jpg"));
            dialog.languageList->setCurrentIndex(-1);
            row.close(dialog);
            closed = !dialog.isVisible();
        });
        EXPECT_TRUE(closed) << row.how;
        EXPECT_EQ(StoredLines(), before) << row.how;
    }
}

// Values (and their forms) as OK writes them with nothing stored, in the
// order of writing; and these lines with some of them replaced.
QStringList DefaultLines()
{
    return {QStringLiteral("\"TempJpgName\"=\"/a/temp.jpg\""), QStringLiteral("\"AutoSuspendMode\"=dword:00000001"),
            QStringLiteral("\"JpgType\"=dword:00000000"), QStringLiteral("\"Timeout\"=dword:000003e8"),
            QStringLiteral("\"CloseToTray\"=dword:00000000"), QStringLiteral("\"AutoRestart\"=dword:00000001"),
            QStringLiteral("\"AutoFormResize\"=dword:00000001"), QStringLiteral("\"ShowSplash\"=dword:00000001"),
            QStringLiteral("\"AviTempName\"=\"%1\"").arg(DefaultAviTempName()),
            QStringLiteral("\"Fps\"=hex:00,00,00,00,00,00,f0,3f"), QStringLiteral("\"DuplicatePicture\"=dword:00000001"),
            QStringLiteral("\"CodecIndex\"=dword:00000000"), QStringLiteral("\"OptionsTabIndex\"=dword:00000000"),
            QStringLiteral("\"PrintDateOnImage\"=dword:00000001"), QStringLiteral("\"CameraInitTime\"=dword:000005dc"),
            QStringLiteral("\"AmbientLight\"=dword:00000001"), QStringLiteral("\"Expose\"=dword:00000002"),
            QStringLiteral("\"AutoFps\"=dword:00000001"), QStringLiteral("\"AutoAviFileName\"=dword:00000000"),
            QStringLiteral("\"AviFolder\"=\"%1\"").arg(DefaultAviFolder()),
            QStringLiteral("\"ServerEnabled\"=dword:00000000"), QStringLiteral("\"ServerPort\"=dword:00001f90"),
            QStringLiteral("\"AutoPhoneConnect\"=dword:00000001"), QStringLiteral("\"LangIndex\"=dword:00000000"),
            QStringLiteral("\"ServerStream\"=dword:00000000"), QStringLiteral("\"RecordToFile\"=dword:00000001"),
            QStringLiteral("\"VirtualCamera\"=dword:00000000"),
            QStringLiteral("\"AviSplitMinutes\"=dword:00000000"),
            QStringLiteral("\"AviKeepMegabytes\"=dword:00000000"),
            QStringLiteral("\"ServerLocalOnly\"=dword:00000000"), QStringLiteral("\"ServerUser\"=\"\""),
            QStringLiteral("\"ServerPasswordHash\"=\"\""), QStringLiteral("\"RecordOnMotion\"=dword:00000000"),
            QStringLiteral("\"MotionThreshold\"=dword:0000000a"), QStringLiteral("\"MotionKeepSeconds\"=dword:0000000a")};
}

QStringList With(QStringList lines, const QStringList& changed)
{
    for (const QString& line : changed)
        for (QString& old : lines)
            if (old.section(QLatin1Char('='), 0, 0) == line.section(QLatin1Char('='), 0, 0))
                old = line;
    return lines;
}

TEST_F(OptionsTest, OkWritesEveryValueInOrderThenTheStreamSetting)
{
    const QStringList everyValue{
        QStringLiteral("\"TempJpgName\"=\"/a/shot.jpg\""), QStringLiteral("\"AutoSuspendMode\"=dword:00000000"),
        QStringLiteral("\"JpgType\"=dword:0000000a"), QStringLiteral("\"Timeout\"=dword:000009c4"),
        QStringLiteral("\"CloseToTray\"=dword:00000001"), QStringLiteral("\"AutoRestart\"=dword:00000000"),
        QStringLiteral("\"AutoFormResize\"=dword:00000000"), QStringLiteral("\"ShowSplash\"=dword:00000000"),
        QStringLiteral("\"AviTempName\"=\"/srv/video/night.avi\""), QStringLiteral("\"Fps\"=hex:9a,99,99,99,99,99,d9,3f"),
        QStringLiteral("\"DuplicatePicture\"=dword:00000000"), QStringLiteral("\"CodecIndex\"=dword:00000001"),
        QStringLiteral("\"OptionsTabIndex\"=dword:00000003"), QStringLiteral("\"PrintDateOnImage\"=dword:00000000"),
        QStringLiteral("\"CameraInitTime\"=dword:000000fa"), QStringLiteral("\"AmbientLight\"=dword:00000005"),
        QStringLiteral("\"Expose\"=dword:00000004"), QStringLiteral("\"AutoFps\"=dword:00000000"),
        QStringLiteral("\"AutoAviFileName\"=dword:00000001"), QStringLiteral("\"AviFolder\"=\"/srv/video/\""),
        QStringLiteral("\"ServerEnabled\"=dword:00000001"), QStringLiteral("\"ServerPort\"=dword:00001f90"),
        QStringLiteral("\"AutoPhoneConnect\"=dword:00000000"), QStringLiteral("\"LangIndex\"=dword:00000001"),
        QStringLiteral("\"ServerStream\"=dword:00000001"), QStringLiteral("\"RecordToFile\"=dword:00000000"),
        QStringLiteral("\"VirtualCamera\"=dword:00000001"),
        QStringLiteral("\"AviSplitMinutes\"=dword:0000003c"),
        QStringLiteral("\"AviKeepMegabytes\"=dword:00002800"),
        QStringLiteral("\"ServerLocalOnly\"=dword:00000001"), QStringLiteral("\"ServerUser\"=\"ann\""),
        // Kept as stored when no password is typed.
        QStringLiteral("\"ServerPasswordHash\"=\"pbkdf2-sha256$20000$c2FsdHNhbHRzYWx0c2FsdA==$a2V5\""),
        QStringLiteral("\"RecordOnMotion\"=dword:00000001"), QStringLiteral("\"MotionThreshold\"=dword:00000005"),
        QStringLiteral("\"MotionKeepSeconds\"=dword:0000001e")};
    QStringList backwards = everyValue;
    std::reverse(backwards.begin(), backwards.end());
    WriteLanguageFile(QStringLiteral("a.lng"), "[OPTIONS]\n");
    MainWindow& form = FormWithoutPhone();
    const int codecs = form.codecs->Count();
    ASSERT_GE(codecs, 2);
    struct Row {
        const char* name;
        QStringList stored;   // the key at opening
        QStringList changed;  // what OK writes other than the defaults
    };
    const Row rows[] = {
        {"nothing stored", {}, {}},
        {"every value stored", backwards, everyValue},
        // A list position outside its list selects nothing and is written
        // as -1, except the compressor's (entry 0); the spin control keeps
        // the port in its range; a tab outside 0 to 3 leaves the first.
        {"positions outside their controls",
         {QStringLiteral("\"JpgType\"=dword:0000000b"), QStringLiteral("\"Expose\"=dword:fffffffe"),
          QStringLiteral("\"CodecIndex\"=dword:%1").arg(codecs, 8, 16, QLatin1Char('0')),
          QStringLiteral("\"OptionsTabIndex\"=dword:00000007"), QStringLiteral("\"ServerPort\"=dword:00011170"),
          QStringLiteral("\"LangIndex\"=dword:00000002")},
         {QStringLiteral("\"JpgType\"=dword:ffffffff"), QStringLiteral("\"Expose\"=dword:ffffffff"),
          QStringLiteral("\"ServerPort\"=dword:00007fff"), QStringLiteral("\"LangIndex\"=dword:ffffffff")}},
        {"a port below the range", {QStringLiteral("\"ServerPort\"=dword:0000000a")},
         {QStringLiteral("\"ServerPort\"=dword:00000050")}},
    };
    for (const Row& row : rows) {
        WriteStore(row.stored);
        OpenOptions(form, [](OptionsDialog& dialog) {
            // Emptied after loading, so that the file lists the values in
            // the order in which OK writes them.
            reg::DeleteSettingsKey();
            dialog.okButton->click();
        });
        EXPECT_EQ(StoredLines(), With(DefaultLines(), row.changed)) << row.name;
    }
}

TEST_F(OptionsTest, LanguageListAndLabels)
{
    struct Row {
        int langIndex;
        int selected;
        const char* tab;
        const char* pictureType;  // pictureSizeLabel: the key's text replaces the form's "Тип картинки:"
        const char* nightLight;   // lightingList, item 5
    };
    const Row rows[] = {
        {0, 0, "Телефон", "Тип картинки", "Ночная съёмка"},
        {2, 2, "Phone B", "Size B", "Night B"},
        // Past the last file: no selection and the built-in texts.
        {3, -1, "Телефон", "Тип картинки", "Ночная съёмка"},
    };
    WriteLanguageFile(QStringLiteral("a.lng"), "[OPTIONS]\nPANEL1=Phone A\n[LANGUAGE]\nNAME=Language A\n");
    WriteLanguageFile(QStringLiteral("b.lng"), "[options]\npanel1=Phone B\nS2=Size B\nS25=Night B\n");
    MainWindow& form = FormWithoutPhone();
    for (const Row& row : rows) {
        Settings().SetLangIndex(row.langIndex);
        Settings().SetAmbientLight(5);
        OpenOptions(form, [&](OptionsDialog& dialog) {
            EXPECT_EQ(dialog.languageList->count(), 3);
            EXPECT_EQ(dialog.languageList->itemText(0), QStringLiteral("Русский"));
            // Each file by its own name for itself, else by its file name.
            EXPECT_EQ(dialog.languageList->itemText(1), QStringLiteral("Language A"));
            EXPECT_EQ(dialog.languageList->itemText(2), QStringLiteral("b"));
            EXPECT_EQ(dialog.languageList->currentIndex(), row.selected);
            EXPECT_EQ(dialog.tabs->tabText(0), QString::fromUtf8(row.tab));
            EXPECT_EQ(dialog.pictureSizeLabel->text(), QString::fromUtf8(row.pictureType));
            EXPECT_EQ(dialog.lightingList->itemText(5), QString::fromUtf8(row.nightLight));
            EXPECT_EQ(dialog.lightingList->currentIndex(), 5);
            // Captions the file gives no text for keep their built-in ones.
            EXPECT_EQ(dialog.autoSuspendCheck->text(), QStringLiteral("Auto Suspend mode"));
            EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Настройки"));
        });
    }
}

TEST_F(OptionsTest, AutoFpsAutoFileNameAndRecordOnMotionEnableTheirFields)
{
    struct Row {
        bool autoFps, autoFileName;
        bool onMotion;
        // fpsEdit, fpsTestButton, aviFileEdit, chooseFileButton, aviFolderEdit, chooseFolderButton,
        // motionThresholdEdit, motionKeepEdit
        std::array<bool, 8> enabled;
    };
    const Row rows[] = {
        {false, false, false, {true, true, true, true, false, false, false, false}},
        {true, false, true, {false, false, true, true, false, false, true, true}},
        {false, true, false, {true, true, false, false, true, true, false, false}},
        {true, true, true, {false, false, false, false, true, true, true, true}},
    };
    const auto states = [](const OptionsDialog& d) {
        return std::array<bool, 8>{d.fpsEdit->isEnabled(),          d.fpsTestButton->isEnabled(),
                                   d.aviFileEdit->isEnabled(),      d.chooseFileButton->isEnabled(),
                                   d.aviFolderEdit->isEnabled(),    d.chooseFolderButton->isEnabled(),
                                   d.motionThresholdEdit->isEnabled(), d.motionKeepEdit->isEnabled()};
    };
    MainWindow& form = FormWithoutPhone();
    for (const Row& row : rows) {
        Settings().SetAutoFps(row.autoFps);
        Settings().SetAutoAviFileName(row.autoFileName);
        Settings().SetRecordOnMotion(row.onMotion);
        OpenOptions(form, [&](OptionsDialog& dialog) {
            EXPECT_EQ(states(dialog), row.enabled) << row.autoFps << row.autoFileName;
            // Clicking the boxes turns every rule round.
            dialog.autoFpsCheck->click();
            dialog.datedNamesCheck->click();
            dialog.recordOnMotionCheck->click();
            std::array<bool, 8> flipped{};
            for (size_t i = 0; i < flipped.size(); ++i)
                flipped[i] = !row.enabled[i];
            EXPECT_EQ(states(dialog), flipped) << row.autoFps << row.autoFileName;
        });
    }
}

TEST_F(OptionsTest, FileAndFolderChoosers)
{
    // The folder browser starts at the folder when it exists; the AVI file
    // is proposed with its name, an .avi filter and extension. Confirmed
    // answers are taken, cancelled ones change nothing.
    const QString existing = TempFolder();
    MainWindow& form = FormWithoutPhone();
    Settings().SetAviTempName(QStringLiteral("/srv/a.avi"));
    SharedDialogs().QueueFolder(QStringLiteral("/srv/video"));
    SharedDialogs().QueueFolder(std::nullopt);
    SharedDialogs().QueueSave(SaveAnswer{QStringLiteral("/srv/b.avi"), 1});
    SharedDialogs().QueueSave(std::nullopt);
    OpenOptions(form, [&](OptionsDialog& dialog) {
        const std::pair<QString, QString> folders[] = {{existing, QStringLiteral("/srv/video")},
                                                       {QStringLiteral("/no/such/"), QStringLiteral("/no/such/")}};
        for (const auto& [before, after] : folders) {
            dialog.aviFolderEdit->setText(before);
            dialog.ChooseAviFolder();
            EXPECT_EQ(dialog.aviFolderEdit->text(), after);
        }
        for (int i = 0; i < 2; ++i) {
            dialog.ChooseAviFile();
            EXPECT_EQ(dialog.aviFileEdit->text(), QStringLiteral("/srv/b.avi"));
        }
    });
    EXPECT_EQ(SharedDialogs().folderRequests, (std::vector<QString>{existing, QString()}));
    ASSERT_EQ(SharedDialogs().saveRequests.size(), 2u);
    EXPECT_EQ(SharedDialogs().saveRequests[0].fileName, QStringLiteral("/srv/a.avi"));
    EXPECT_EQ(SharedDialogs().saveRequests[0].filters, QStringList{QStringLiteral("Avi files(*.avi)")});
    EXPECT_EQ(SharedDialogs().saveRequests[0].defaultSuffix, QStringLiteral("avi"));
    EXPECT_EQ(SharedDialogs().saveRequests[1].fileName, QStringLiteral("/srv/b.avi"));
}

TEST_F(OptionsTest, AnInvalidNumberKeepsTheDialogOpenAndWritesNothing)
{
    struct Row {
        QLineEdit* OptionsDialog::*field;
        const char* text;
        const char* message;  // nullptr: taken
        bool autoFps = false;
        bool onMotion = true;
    };
    // The message names the field by its label and gives its range.
    const Row rows[] = {
        {&OptionsDialog::shotTimeoutEdit, "12a", "Таймаут после съёмки (мс): «12a» — не целое число от 0 до 2147483647."},
        {&OptionsDialog::shotTimeoutEdit, "-1", "Таймаут после съёмки (мс): «-1» — не целое число от 0 до 2147483647."},
        {&OptionsDialog::fpsEdit, "1.5.2", "fps: «1.5.2» — не число больше 0."},
        {&OptionsDialog::fpsEdit, "inf", "fps: «inf» — не число больше 0."},
        {&OptionsDialog::fpsEdit, "0", "fps: «0» — не число больше 0."},
        {&OptionsDialog::fpsEdit, "-2", "fps: «-2» — не число больше 0."},
        {&OptionsDialog::cameraInitEdit, "", "Таймаут инициализации (мс): «» — не целое число от 0 до 2147483647."},
        {&OptionsDialog::cameraInitEdit, "-1500", "Таймаут инициализации (мс): «-1500» — не целое число от 0 до 2147483647."},
        {&OptionsDialog::cameraInitEdit, "99999999999",
         "Таймаут инициализации (мс): «99999999999» — не целое число от 0 до 2147483647."},
        {&OptionsDialog::motionThresholdEdit, "1001",
         "Порог движения (десятые доли % кадра): «1001» — не целое число от 0 до 1000."},
        {&OptionsDialog::motionThresholdEdit, "0,5", "Порог движения (десятые доли % кадра): «0,5» — не целое число от 0 до 1000."},
        {&OptionsDialog::motionKeepEdit, "-5", "Писать после движения (с): «-5» — не целое число от 0 до 3600."},
        {&OptionsDialog::motionKeepEdit, "3601", "Писать после движения (с): «3601» — не целое число от 0 до 3600."},
        // Auto fps disables the field: it is not checked, and "Fps" stays as stored.
        {&OptionsDialog::fpsEdit, "-2", nullptr, true},
        // So does recording on motion off for its threshold, whose number
        // out of range is not written either.
        {&OptionsDialog::motionThresholdEdit, "5000", nullptr, false, false},
    };
    MainWindow& form = FormWithoutPhone();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        SharedDialogs().Clear();
        reg::DeleteSettingsKey();
        Settings().SetAutoFps(row.autoFps);
        Settings().SetRecordOnMotion(row.onMotion);
        const QStringList before = StoredLines();
        OpenOptions(form, [&](OptionsDialog& dialog) {
            QLineEdit* field = dialog.*row.field;
            dialog.phoneFileEdit->setText(QStringLiteral("/a/new.jpg"));
            dialog.tabs->setCurrentIndex(3);
            field->setText(QString::fromLatin1(row.text));
            dialog.okButton->click();
            if (row.message) {
                EXPECT_TRUE(dialog.isVisible());
                EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{QString::fromUtf8(row.message)});
                EXPECT_EQ(field->text(), QString::fromLatin1(row.text));
                EXPECT_EQ(dialog.phoneFileEdit->text(), QStringLiteral("/a/new.jpg"));
                // The field to correct is in front.
                EXPECT_EQ(dialog.tabs->currentWidget(), field->parentWidget());
                EXPECT_EQ(StoredLines(), before);
                // Corrected, OK writes everything.
                field->setText(QStringLiteral("7"));
                dialog.okButton->click();
            }
            EXPECT_FALSE(dialog.isVisible());
        });
        EXPECT_EQ(StoredLines().size(), 35);
        EXPECT_EQ(Settings().GetTempJpgName(), QStringLiteral("/a/new.jpg"));
        EXPECT_EQ(Settings().GetFps(), row.field == &OptionsDialog::fpsEdit && row.message ? 7.0 : 1.0);
        EXPECT_EQ(Settings().GetMotionThreshold(), row.field == &OptionsDialog::motionThresholdEdit && row.message ? 7 : 10);
    }
}

TEST_F(OptionsTest, TheServerTabSetsLocalOnlyUserAndPassword)
{
    const QString stored = web::MakePasswordHash(QStringLiteral("old secret"), 1000);
    enum class Hash { Empty, Stored, New };
    struct Row {
        const char* name;
        QStringList before;  // the key at opening
        std::function<void(OptionsDialog&)> user;
        const char* refusal;  // nullptr: OK closes
        bool localOnly;
        const char* serverUser;
        Hash hash;
    };
    const QStringList protectedKey{QStringLiteral("\"ServerLocalOnly\"=dword:00000001"),
                                   QStringLiteral("\"ServerUser\"=\"ann\""),
                                   QStringLiteral("\"ServerPasswordHash\"=\"%1\"").arg(stored)};
    const auto type = [](const char* user, const char* password) {
        return [user, password](OptionsDialog& dialog) {
            if (user)
                dialog.userEdit->setText(QString::fromUtf8(user));
            if (password)
                dialog.passwordEdit->setText(QString::fromUtf8(password));
        };
    };
    const char* noPassword = "Для пользователя «bob» не задан пароль: введите пароль или снимите защиту.";
    const char* unusable = "В имени пользователя не может быть двоеточия и управляющих символов (перевода строки, "
                           "табуляции): с таким именем не войти.";
    const Row rows[] = {
        {"nothing stored, nothing typed", {}, type(nullptr, nullptr), nullptr, false, "", Hash::Empty},
        {"this machine only", {}, [](OptionsDialog& d) { d.localOnlyCheck->setChecked(true); }, nullptr, true, "",
         Hash::Empty},
        {"protected, nothing typed", protectedKey, type(nullptr, nullptr), nullptr, true, "ann", Hash::Stored},
        {"a new password", protectedKey, type(nullptr, "new secret"), nullptr, true, "ann", Hash::New},
        {"a new user and password", {}, type(" bob ", "new secret"), nullptr, false, "bob", Hash::New},
        {"clear", protectedKey, [](OptionsDialog& d) { d.clearPasswordButton->click(); }, nullptr, true, "",
         Hash::Empty},
        {"clear, then a new user and password", protectedKey,
         [](OptionsDialog& d) {
             d.clearPasswordButton->click();
             d.userEdit->setText(QStringLiteral("bob"));
             d.passwordEdit->setText(QStringLiteral("new secret"));
         },
         nullptr, true, "bob", Hash::New},
        // A user with no password would let nobody in: refused, nothing written.
        {"a user without a password", {}, type("bob", nullptr), noPassword, false, "", Hash::Empty},
        {"clear, then a user without a password", protectedKey,
         [](OptionsDialog& d) {
             d.clearPasswordButton->click();
             d.userEdit->setText(QStringLiteral("bob"));
         },
         noPassword, true, "ann", Hash::Stored},
        // Basic credentials are split at the first colon; a control
        // character cannot be typed at a browser's login.
        {"a user name with a colon", {}, type("bob:x", "new secret"), unusable, false, "", Hash::Empty},
        {"a user name with a tab", protectedKey, type("bob\tx", "new secret"), unusable, true, "ann", Hash::Stored},
    };
    MainWindow& form = FormWithoutPhone();
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        WriteStore(row.before);
        bool stayed = false;
        OpenOptions(form, [&](OptionsDialog& dialog) {
            // Loaded from the key; the password field never shows anything.
            EXPECT_EQ(dialog.localOnlyCheck->isChecked(), !row.before.isEmpty()) << row.name;
            EXPECT_EQ(dialog.userEdit->text(), row.before.isEmpty() ? QString() : QStringLiteral("ann")) << row.name;
            EXPECT_TRUE(dialog.passwordEdit->text().isEmpty()) << row.name;
            EXPECT_EQ(dialog.passwordEdit->echoMode(), QLineEdit::Password) << row.name;
            row.user(dialog);
            dialog.okButton->click();
            stayed = dialog.isVisible();
        });
        EXPECT_EQ(stayed, row.refusal != nullptr) << row.name;
        EXPECT_EQ(SharedDialogs().MessageTexts(), row.refusal ? QStringList{QString::fromUtf8(row.refusal)} : QStringList())
            << row.name;
        if (row.refusal) {
            EXPECT_EQ(StoredLines(), row.before) << row.name;
        }
        // Read back with the store's own reader.
        EXPECT_EQ(reg::ReadRegBool("ServerLocalOnly", false), row.localOnly) << row.name;
        EXPECT_EQ(reg::ReadRegString("ServerUser", ""), row.serverUser) << row.name;
        const QString hash = QString::fromStdString(reg::ReadRegString("ServerPasswordHash", ""));
        switch (row.hash) {
        case Hash::Empty:
            EXPECT_EQ(hash, QString()) << row.name;
            break;
        case Hash::Stored:
            EXPECT_EQ(hash, stored) << row.name;
            break;
        case Hash::New:
            EXPECT_TRUE(hash.startsWith(QStringLiteral("pbkdf2-sha256$"))) << row.name;
            EXPECT_TRUE(web::PasswordMatches("new secret", hash)) << row.name;
            EXPECT_FALSE(web::PasswordMatches("old secret", hash)) << row.name;
            EXPECT_FALSE(web::PasswordMatches("new secreT", hash)) << row.name;
            break;
        }
        // The password itself is nowhere in the file.
        QFile file(QString::fromStdString(reg::SettingsFilePath()));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(file.readAll().contains("secret")) << row.name;
    }
}

TEST_F(OptionsTest, TheServerTabsTextsInBothLanguages)
{
    struct Row {
        int langIndex;
        const char* localOnly;
        const char* user;
        const char* password;
        const char* clear;
    };
    const Row rows[] = {
        {0, "Только для этого компьютера (127.0.0.1)", "Пользователь:", "Пароль (пусто — прежний):", "Снять защиту"},
        {1, "This machine only (127.0.0.1)", "User name:", "Password (empty keeps the stored one):",
         "Remove protection"},
    };
    ASSERT_TRUE(QFile::copy(SourceDir() + QStringLiteral("/lng/English.lng"),
                            languageFolder_ + QStringLiteral("/English.lng")));
    MainWindow& form = FormWithoutPhone();
    for (const Row& row : rows) {
        Settings().SetLangIndex(row.langIndex);
        OpenOptions(form, [&](OptionsDialog& dialog) {
            EXPECT_EQ(dialog.localOnlyCheck->text(), QString::fromUtf8(row.localOnly));
            EXPECT_EQ(dialog.userLabel->text(), QString::fromUtf8(row.user));
            EXPECT_EQ(dialog.passwordLabel->text(), QString::fromUtf8(row.password));
            EXPECT_EQ(dialog.clearPasswordButton->text(), QString::fromUtf8(row.clear));
        });
    }
}

TEST_F(OptionsTest, TheMotionSettingsOnTheVideoTabInBothLanguages)
{
    struct Row {
        int langIndex;
        const char* onMotion;
        const char* threshold;
        const char* keep;
    };
    const Row rows[] = {
        {0, "Записывать только при движении", "Порог движения (десятые доли % кадра):", "Писать после движения (с):"},
        {1, "Record only while something moves", "Motion threshold (tenths of a % of the picture):",
         "Go on recording after the motion (s):"},
    };
    ASSERT_TRUE(QFile::copy(SourceDir() + QStringLiteral("/lng/English.lng"),
                            languageFolder_ + QStringLiteral("/English.lng")));
    MainWindow& form = FormWithoutPhone();
    Settings().SetRecordOnMotion(true);
    Settings().SetMotionThreshold(25);
    Settings().SetMotionKeepSeconds(4);
    for (const Row& row : rows) {
        Settings().SetLangIndex(row.langIndex);
        OpenOptions(form, [&](OptionsDialog& dialog) {
            EXPECT_EQ(dialog.recordOnMotionCheck->text(), QString::fromUtf8(row.onMotion));
            EXPECT_EQ(dialog.motionThresholdLabel->text(), QString::fromUtf8(row.threshold));
            EXPECT_EQ(dialog.motionKeepLabel->text(), QString::fromUtf8(row.keep));
            // With the other recording choices.
            for (QWidget* control : {static_cast<QWidget*>(dialog.recordOnMotionCheck),
                                     static_cast<QWidget*>(dialog.motionThresholdEdit),
                                     static_cast<QWidget*>(dialog.motionKeepEdit)})
                EXPECT_EQ(control->parentWidget(), dialog.videoTab);
            EXPECT_TRUE(dialog.recordOnMotionCheck->isChecked());
            EXPECT_EQ(dialog.motionThresholdEdit->text(), QStringLiteral("25"));
            EXPECT_EQ(dialog.motionKeepEdit->text(), QStringLiteral("4"));
        });
    }
}

TEST_F(OptionsTest, FrameRateTest)
{
    using Prepare = std::function<void(sim::SimPhone&, OptionsDialog&)>;
    struct Row {
        const char* name;
        Prepare prepare;
        uint32_t advance;  // milliseconds that pass while STR10 is up
        QStringList messages;
        QStringList commands;
        QString rate;  // fpsEdit afterwards; "3" is unchanged
    };
    const Prepare nothing = [](sim::SimPhone&, OptionsDialog&) {};
    // Moves the clock over the camera's start once the phone has switched
    // it on (its answer then waits for those 4 s).
    std::thread cameraStart;
    const Prepare slowCamera = [&cameraStart](sim::SimPhone& phone, OptionsDialog&) {
        phone.SetLatency(0, 0, 4000);
        cameraStart = std::thread([&phone] {
            ASSERT_TRUE(orv::test::WaitFor([&phone] { return phone.CameraOn(); }));
            phone.SetLatency(0, 0, 0);
            SharedHeldClock().ticks += 4000;
        });
    };
    const Row rows[] = {
        // The picture's file is opened before it is read, as this phone
        // wants it. No time passes on the clock: counted as one millisecond.
        {"the file is opened, read and deleted", nothing, 0, {kStr7},
         {"camera on 0", "shoot /a/temp.jpg", "close", "open /a/temp.jpg", "read", "close", "delete /a/temp.jpg",
          "camera off"},
         QStringLiteral("1000")},
        {"a picture file left open is closed first",
         [](sim::SimPhone& phone, OptionsDialog&) {
             phone.PutFile("/a/temp.jpg", std::vector<uint8_t>(3000, 0x55));
             ASSERT_EQ(phone::PhoneLink::Instance().OpenPhoneFile("/a/temp.jpg", 0), phone::kOk);
         },
         0, {kStr7},
         {"camera on 0", "shoot /a/temp.jpg", "close", "open /a/temp.jpg", "read", "close", "delete /a/temp.jpg",
          "camera off"},
         QStringLiteral("1000")},
        // The camera's start is no part of a frame's time.
        {"a camera that takes 4 s to start", slowCamera, 0, {kStr7},
         {"camera on 0", "shoot /a/temp.jpg", "close", "open /a/temp.jpg", "read", "close", "delete /a/temp.jpg",
          "camera off"},
         QStringLiteral("1000")},
        // The failure is told once the camera is off; the time its message
        // stands never enters the field, which keeps its text.
        {"the shot is refused",
         [](sim::SimPhone&, OptionsDialog&) { Settings().SetTempJpgName(QStringLiteral("/b/x.jpg")); }, 2500,
         {kStr7, kStr10}, {"camera on 0", "shoot /b/x.jpg", "camera off"}, QStringLiteral("3")},
        {"the stored picture type is refused", [](sim::SimPhone&, OptionsDialog&) { Settings().SetJpgType(11); }, 0,
         {kStr7, kStr9}, {"camera on 11"}, QStringLiteral("3")},
        // The messages speak the language chosen in the list, not the one
        // the dialog was opened (and labelled) with.
        {"no phone, another language chosen",
         [this](sim::SimPhone& phone, OptionsDialog& dialog) {
             phone.Unplug();
             ASSERT_TRUE(WaitFor([] { return !phone::PhoneLink::Instance().IsConnected(); }));
             dialog.languageList->setCurrentIndex(2);
         },
         0, {QStringLiteral("Phone ready? B"), QStringLiteral("No phone B")}, {}, QStringLiteral("3")},
    };
    WriteLanguageFile(QStringLiteral("a.lng"), "[OPTIONS]\nPANEL1=Phone A\n[LANGUAGE]\nNAME=Language A\n");
    WriteLanguageFile(QStringLiteral("b.lng"), "[STRS]\nSTR7=Phone ready? B\nSTR8=No phone B\n");
    Settings().SetLangIndex(1);
    SetClock(&SharedHeldClock());
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    ASSERT_TRUE(WaitForConnected());
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        Settings().SetTempJpgName(QStringLiteral("/a/temp.jpg"));
        Settings().SetJpgType(5);  // what the list shows is not what the test uses
        Settings().SetFps(3);
        Settings().SetAutoFps(false);
        bool cameraOffWhenTold = true;
        SharedDialogs().onMessage = [&](const RecordingDialogs::Message& message) {
            if (message.text != kStr10)
                return;
            cameraOffWhenTold = !phone.CameraOn();
            SharedHeldClock().ticks += row.advance;
        };
        OpenOptions(form, [&](OptionsDialog& dialog) {
            Settings().SetJpgType(0);
            row.prepare(phone, dialog);
            const size_t before = phone.Commands().size();
            dialog.fpsTestButton->click();
            EXPECT_EQ(dialog.fpsEdit->text(), row.rate) << row.name;
            EXPECT_EQ(PhoneCommandNames(phone.Commands(), before), row.commands) << row.name;
            EXPECT_FALSE(dialog.TestRunning()) << row.name;
            EXPECT_EQ(dialog.tabs->tabText(0), QStringLiteral("Phone A"));
        });
        EXPECT_TRUE(cameraOffWhenTold) << row.name;
        SharedDialogs().onMessage = nullptr;
        EXPECT_EQ(SharedDialogs().MessageTexts(), row.messages) << row.name;
        EXPECT_FALSE(phone.CameraOn()) << row.name;
        if (cameraStart.joinable())
            cameraStart.join();
    }
}

TEST_F(OptionsTest, FrameRateTestWaitsForAPhotoOrARecording)
{
    struct Row {
        const char* name;
        std::function<void(CamForm&)> start;
        bool whileThePhoneIsPlaced;  // started at the STR7 message, not before the click
        QStringList messages;
    };
    const auto record = [](CamForm& form) { form.StartWebCamera(); };
    const Row rows[] = {
        {"web camera running", record, false, {kBusy}},
        {"photo being taken", [](CamForm& form) { form.TakePhoto(); }, false, {kBusy}},
        // The window starts a recording on connect when asked to on the command line.
        {"web camera started while the phone is placed", record, true, {kStr7, kBusy}},
    };
    Settings().SetAutoFps(false);
    AddPhone();
    CamForm& form = MakeForm<CamForm>();
    ASSERT_TRUE(WaitForConnected());
    for (const Row& row : rows) {
        SharedDialogs().Clear();
        SharedDialogs().onMessage = [&](const RecordingDialogs::Message& message) {
            if (row.whileThePhoneIsPlaced && message.text == kStr7)
                row.start(form);
        };
        if (!row.whileThePhoneIsPlaced)
            row.start(form);
        OpenOptions(form, [&](OptionsDialog& dialog) {
            dialog.fpsTestButton->click();
            EXPECT_EQ(dialog.fpsEdit->text(), QStringLiteral("1")) << row.name;
        });
        SharedDialogs().onMessage = nullptr;
        EXPECT_EQ(SharedDialogs().MessageTexts(), row.messages) << row.name;
        ASSERT_TRUE(form.CaptureRunning()) << row.name;
        form.StopWebCamera();
        ASSERT_TRUE(WaitFor([&] { return !form.CaptureRunning(); })) << row.name;
    }
}

// A test that goes through writes the rate of the time from the shot to the
// camera switched off: here the phone takes the given times to start its
// camera and to shoot, on a clock that moves by what is waited (every poll of
// the phone included). The camera's start is no part of a frame's time.
TEST_F(OptionsTest, FrameRateTestMeasuresFromTheShotToTheCameraOff)
{
    const sim::SimPhone::Options simulated = sim::SimulatedPhoneOptions();
    struct Row {
        const char* what;
        uint32_t exchangeMs, cameraOnMs, shotMs;
        double slowest, fastest;  // the rate the field may show
    };
    const Row rows[] = {
        {"a slow shot", 0, 0, 2500, 1000.0 / 2600, 0.4},
        {"a quick shot", 0, 0, 250, 1000.0 / 350, 4.0},
        {"a camera slow to start", 0, 5000, 250, 1000.0 / 350, 4.0},
        // Its real frame time: the shot and some milliseconds per exchange.
        {"the phone of --simulate-phone", simulated.exchangeLatencyMs, simulated.cameraOnLatencyMs,
         simulated.shotLatencyMs, 1000.0 / 1500, 1000.0 / 300},
    };
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    ASSERT_TRUE(WaitForConnected());
    Settings().SetAutoFps(false);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Settings().SetFps(3);
        phone.SetLatency(row.exchangeMs, row.shotMs, row.cameraOnMs);
        OpenOptions(form, [&](OptionsDialog& dialog) {
            dialog.fpsTestButton->click();
            bool ok = false;
            const double rate = QLocale::system().toDouble(dialog.fpsEdit->text(), &ok);
            EXPECT_TRUE(ok) << dialog.fpsEdit->text().toStdString();
            EXPECT_GE(rate, row.slowest);
            EXPECT_LE(rate, row.fastest);
        });
        EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{kStr7});
        SharedDialogs().Clear();
    }
    phone.SetLatency(0, 0);
}

// While the phone works on the test, the dialog neither closes nor starts a
// second test; once the phone answers, the test ends as usual.
TEST_F(OptionsTest, FrameRateTestHoldsTheDialogWhileThePhoneWorks)
{
    SetClock(&SharedHeldClock());
    sim::SimPhone& phone = AddPhone();
    MainWindow& form = MakeForm();
    ASSERT_TRUE(WaitForConnected());
    Settings().SetAutoFps(false);
    Settings().SetFps(3);
    bool held = false;
    OpenOptions(form, [&](OptionsDialog& dialog) {
        phone.SetSilent(true);
        QTimer::singleShot(0, &dialog, [&] {
            QTest::mouseClick(dialog.cancelButton, Qt::LeftButton);
            QTest::keyClick(&dialog, Qt::Key_Escape);
            dialog.close();
            dialog.reject();
            dialog.fpsTestButton->click();
            held = dialog.isVisible() && dialog.TestRunning();
            phone.SetSilent(false);
        });
        dialog.fpsTestButton->click();
        EXPECT_EQ(dialog.fpsEdit->text(), QStringLiteral("1000"));
    });
    EXPECT_TRUE(held);
    EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{kStr7});
    EXPECT_FALSE(phone.CameraOn());
}

// SIGTERM (the window's end request) or the end of the session (the
// application is told to quit) while the phone does not answer the test: the
// test is given up at once and the dialog closes, writing nothing; the
// worker is left to end on its own.
TEST_F(OptionsTest, TheProgramsEndGivesUpAFrameRateTestAtOnce)
{
    struct Row {
        const char* how;
        std::function<void(MainWindow&)> end;
    };
    const Row rows[] = {
        {"SIGTERM", [](MainWindow& form) { form.EndRequested(); }},
        {"the session ends",
         [](MainWindow&) {
             QEvent quit(QEvent::Quit);
             QCoreApplication::sendEvent(qApp, &quit);
         }},
    };
    SetClock(&SharedHeldClock());
    sim::SimPhone& phone = AddPhone();
    Settings().SetAutoRestart(false);
    Settings().SetAutoFps(false);
    Settings().SetFps(3);
    MainWindow& form = MakeForm();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        form.show();
        ASSERT_TRUE(WaitForConnected());
        SharedDialogs().Clear();
        const QStringList before = StoredLines();
        bool testReturned = false;
        bool givenUpInTime = false;
        bool endedWhileRunning = false;
        const size_t workers = WorkerThread::LiveCount();
        SharedDialogs().onModal = [&](QDialog* dialog) {
            auto* options = qobject_cast<OptionsDialog*>(dialog);
            if (!options)
                return static_cast<int>(QDialog::Rejected);
            options->setWindowModality(Qt::ApplicationModal);
            options->show();
            phone.SetSilent(true);
            QTimer::singleShot(0, options, [&] {
                ASSERT_TRUE(options->TestRunning());
                endedWhileRunning = true;
                row.end(form);
            });
            options->fpsTestButton->click();
            testReturned = true;
            // Given up while the phone still does not answer.
            givenUpInTime = phone.Plugged() && !options->TestRunning() && !options->isVisible();
            EXPECT_EQ(options->fpsEdit->text(), QStringLiteral("3"));
            return options->isVisible() ? static_cast<int>(QDialog::Accepted) : options->result();
        };
        form.ShowOptions();
        SharedDialogs().onModal = nullptr;
        EXPECT_TRUE(endedWhileRunning);
        EXPECT_TRUE(testReturned);
        EXPECT_TRUE(givenUpInTime);
        EXPECT_EQ(StoredLines(), before);
        EXPECT_EQ(SharedDialogs().MessageTexts(), QStringList{kStr7}) << "no message once the end is asked for";
        phone.SetSilent(false);
        EXPECT_TRUE(WaitFor([&] { return WorkerThread::LiveCount() <= workers; }))
            << "the given-up worker ends once the phone answers";
        EXPECT_FALSE(phone.CameraOn());
        // The application was told to leave its event loops: a short run of
        // its own loop lets later loops run again.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }
}

// OK on a settings file that takes no settings says so, with the file and
// the reason, and the dialog stays with what the user changed.
TEST_F(OptionsTest, OkOnAFileThatTakesNoSettingsSaysWhyAndStaysOpen)
{
    const QString path = QString::fromStdString(reg::SettingsFilePath());
    const QByteArray native = QFile::encodeName(path);
    struct Row {
        const char* what;
        std::function<void()> make;
        const char* reason;
    };
    const Row rows[] = {
        {"a read-only file", [&] { ::chmod(native.constData(), 0444); }, "the file is read-only"},
        {"a folder",
         [&] {
             QFile::remove(path);
             QDir().mkpath(path);
         },
         "Is a directory"},
        {"a pipe",
         [&] {
             QFile::remove(path);
             ::mkfifo(native.constData(), 0600);
         },
         "not a regular file"},
    };
    MainWindow& form = FormWithoutPhone();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SharedDialogs().Clear();
        Settings().SetTimeout(1000);
        bool stayed = false;
        OpenOptions(form, [&](OptionsDialog& dialog) {
            row.make();
            dialog.shotTimeoutEdit->setText(QStringLiteral("2500"));
            dialog.okButton->click();
            stayed = dialog.isVisible() && dialog.shotTimeoutEdit->text() == QStringLiteral("2500");
        });
        EXPECT_TRUE(stayed);
        EXPECT_EQ(SharedDialogs().MessageTexts(),
                  QStringList{QStringLiteral("Не могу сохранить настройки в файл %1: %2").arg(path, QLatin1String(row.reason))});
        ::chmod(native.constData(), 0600);
        QDir().rmdir(path);
        QFile::remove(path);
    }
    // With a file that takes them, the same OK writes and closes.
    OpenOptions(form, [](OptionsDialog& dialog) {
        dialog.shotTimeoutEdit->setText(QStringLiteral("2500"));
        dialog.okButton->click();
        EXPECT_FALSE(dialog.isVisible());
    });
    EXPECT_EQ(Settings().GetTimeout(), 2500);
}

// The mouse wheel over a list or spin box changes its value only while it
// has the focus; otherwise the wheel goes on to what holds it.
TEST_F(OptionsTest, TheWheelChangesOnlyAFocusedControl)
{
    MainWindow& form = FormWithoutPhone();
    Settings().SetServerPort(8080);
    Settings().SetJpgType(3);
    Settings().SetAmbientLight(2);
    struct Row {
        const char* control;
        int tab;
        bool focused;
        bool changes;
    };
    const Row rows[] = {
        {"portSpin", 3, false, false}, {"portSpin", 3, true, true},
        {"pictureSizeList", 0, false, false}, {"pictureSizeList", 0, true, true},
        {"lightingList", 0, false, false}, {"lightingList", 0, true, true},
    };
    const auto valueOf = [](QWidget* control) {
        if (auto* spin = qobject_cast<QSpinBox*>(control))
            return spin->value();
        return qobject_cast<QComboBox*>(control)->currentIndex();
    };
    OpenOptions(form, [&](OptionsDialog& dialog) {
        dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.control) + (row.focused ? " focused" : " not focused"));
            dialog.tabs->setCurrentIndex(row.tab);
            auto* control = dialog.findChild<QWidget*>(QString::fromLatin1(row.control));
            ASSERT_NE(control, nullptr);
            EXPECT_EQ(control->focusPolicy(), Qt::StrongFocus);
            if (row.focused)
                control->setFocus(Qt::OtherFocusReason);
            else
                dialog.phoneFileEdit->setFocus(Qt::OtherFocusReason);
            ASSERT_TRUE(QTest::qWaitFor([&] { return control->hasFocus() == row.focused; }, 2000));
            const int before = valueOf(control);
            const QPointF at(control->width() / 2.0, control->height() / 2.0);
            QWheelEvent wheel(at, control->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(control, &wheel);
            EXPECT_EQ(valueOf(control) != before, row.changes) << before << " -> " << valueOf(control);
            EXPECT_EQ(control->hasFocus(), row.focused) << "the wheel gives no focus";
        }
    });
}

}  // namespace
}  // namespace orv::test
