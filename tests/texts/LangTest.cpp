// The language lookup: which file an index selects, the INI rules, the two
// encodings, hostile files, and the shipped English file.

#include "texts/Lang.h"
#include "texts/LangFile.h"
#include "texts/LangTexts.h"
#include "platform/SettingsStore.h"
#include "tests/support/TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>
#include <sys/stat.h>

namespace orv {
namespace {

class LangTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        folder_ = test::TempFolder() + QStringLiteral("/lng-%1").arg(++counter);
        QDir().mkpath(folder_);
        qputenv("ORVELLO_LNG_DIR", folder_.toUtf8());
        test::FreshSettingsFile();
    }
    void TearDown() override { qunsetenv("ORVELLO_LNG_DIR"); }

    void WriteBytes(const QString& name, const QByteArray& bytes)
    {
        QFile file(folder_ + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    void WriteUtf8(const QString& name, const QString& text) { WriteBytes(name, text.toUtf8()); }

    QString folder_;
};

TEST_F(LangTest, BuiltInLanguageNeverListsTheFolder)
{
    WriteUtf8(QStringLiteral("a.lng"), QStringLiteral("[MENU]\nFILE=File\n"));
    const uint64_t before = lang::FolderListingCount();
    EXPECT_EQ(LangTextAt(0, txt::kMenuFile), QStringLiteral("&Файл"));
    EXPECT_EQ(LangTextAt(-1, txt::kMenuFile), QStringLiteral("&Файл"));
    EXPECT_EQ(LangText(txt::kMenuFile), QStringLiteral("&Файл"));  // LangIndex defaults to 0
    EXPECT_EQ(lang::FolderListingCount(), before);
    EXPECT_EQ(LangTextAt(1, txt::kMenuFile), QStringLiteral("File"));
    EXPECT_EQ(lang::FolderListingCount(), before + 1);
}

TEST_F(LangTest, IndexCountsEntriesSortedByNameAndPastTheEndGivesBuiltIn)
{
    WriteUtf8(QStringLiteral("b.lng"), QStringLiteral("[MENU]\nFILE=b\n"));
    WriteUtf8(QStringLiteral("A.lng"), QStringLiteral("[MENU]\nFILE=A\n"));
    WriteUtf8(QStringLiteral(".hidden.lng"), QStringLiteral("[MENU]\nFILE=hidden\n"));
    WriteUtf8(QStringLiteral("c.LNG"), QStringLiteral("[MENU]\nFILE=c\n"));
    WriteUtf8(QStringLiteral("notes.txt"), QStringLiteral("[MENU]\nFILE=txt\n"));
    QDir(folder_).mkdir(QStringLiteral("d.lng"));  // a folder with such a name counts too

    EXPECT_EQ(LanguageFiles(), (QStringList{QStringLiteral(".hidden.lng"), QStringLiteral("A.lng"),
                                            QStringLiteral("b.lng"), QStringLiteral("c.LNG"), QStringLiteral("d.lng")}));
    EXPECT_EQ(LangTextAt(1, txt::kMenuFile), QStringLiteral("hidden"));
    EXPECT_EQ(LangTextAt(2, txt::kMenuFile), QStringLiteral("A"));
    EXPECT_EQ(LangTextAt(3, txt::kMenuFile), QStringLiteral("b"));
    EXPECT_EQ(LangTextAt(4, txt::kMenuFile), QStringLiteral("c"));
    EXPECT_EQ(LangTextAt(5, txt::kMenuFile), QStringLiteral("&Файл"));  // the folder can't be read
    EXPECT_EQ(LangTextAt(6, txt::kMenuFile), QStringLiteral("&Файл"));
}

TEST_F(LangTest, MissingFolderGivesBuiltIn)
{
    qputenv("ORVELLO_LNG_DIR", (folder_ + QStringLiteral("/absent")).toUtf8());
    EXPECT_TRUE(LanguageFiles().isEmpty());
    EXPECT_EQ(LangTextAt(1, txt::kStr8NoPhone), QStringLiteral("Телефон не подключён!"));
}

TEST_F(LangTest, LangTextReadsTheIndexAtEveryCall)
{
    WriteUtf8(QStringLiteral("en.lng"), QStringLiteral("[STRS]\nSTR8=No phone\n"));
    EXPECT_EQ(LangText(txt::kStr8NoPhone), QStringLiteral("Телефон не подключён!"));
    reg::WriteRegInt("LangIndex", 1);
    EXPECT_EQ(LangText(txt::kStr8NoPhone), QStringLiteral("No phone"));
    // Editing the file takes effect at the next lookup.
    WriteUtf8(QStringLiteral("en.lng"), QStringLiteral("[STRS]\nSTR8=Still no phone\n"));
    EXPECT_EQ(LangText(txt::kStr8NoPhone), QStringLiteral("Still no phone"));
    reg::WriteRegInt("LangIndex", 2);
    EXPECT_EQ(LangText(txt::kStr8NoPhone), QStringLiteral("Телефон не подключён!"));
}

// A set of texts comes from one listing of the folder and one reading of the
// chosen file: the file's entries, the built-in text for those it lacks, and
// only built-in texts without a chosen file or past the last one.
TEST_F(LangTest, SetOfTextsListsTheFolderOnce)
{
    WriteUtf8(QStringLiteral("a.lng"), QStringLiteral("[MENU]\nFILE=&File\nEXIT=Quit\n[STRS]\nSTR8=No phone\n"));
    WriteUtf8(QStringLiteral("b.lng"), QStringLiteral("[menu]\nfile=Datei\n"));
    const LangEntry entries[] = {txt::kMenuFile, txt::kMenuConnect, txt::kMenuExit, txt::kStr8NoPhone};
    const QStringList builtIn{QStringLiteral("&Файл"), QStringLiteral("&Подключить"), QStringLiteral("&Выход"),
                              QStringLiteral("Телефон не подключён!")};
    const struct {
        int index;
        QStringList texts;
        uint64_t listings;
    } cases[] = {
        {0, builtIn, 0},
        {1, {QStringLiteral("&File"), builtIn[1], QStringLiteral("Quit"), QStringLiteral("No phone")}, 1},
        {2, {QStringLiteral("Datei"), builtIn[1], builtIn[2], builtIn[3]}, 1},
        {3, builtIn, 1},
    };
    for (const auto& c : cases) {
        reg::WriteRegInt("LangIndex", c.index);
        const uint64_t before = lang::FolderListingCount();
        EXPECT_EQ(LangTexts(entries), c.texts) << c.index;
        EXPECT_EQ(lang::FolderListingCount(), before + c.listings) << c.index;
    }
}

TEST_F(LangTest, NamesMatchWithoutRegardToCaseAndEmptyEntriesStayEmpty)
{
    WriteUtf8(QStringLiteral("x.lng"), QStringLiteral("[menu]\nfile=Datei\nExIt=\nSave =   \t Sichern \t \n"));
    EXPECT_EQ(LangTextAt(1, txt::kMenuFile), QStringLiteral("Datei"));
    EXPECT_EQ(LangTextAt(1, txt::kMenuExit), QString());
    EXPECT_EQ(LangTextAt(1, txt::kMenuSave), QStringLiteral("Sichern"));
    EXPECT_EQ(LangTextAt(1, txt::kMenuConnect), QStringLiteral("&Подключить"));  // missing key
}

TEST_F(LangTest, FileWithoutStrsKeepsBuiltInMessages)
{
    WriteUtf8(QStringLiteral("x.lng"), QStringLiteral("[MENU]\nEXIT=Quit\n[OPTIONS]\nPANEL1=Handset\n"));
    EXPECT_EQ(LangTextAt(1, txt::kMenuExit), QStringLiteral("Quit"));
    EXPECT_EQ(LangTextAt(1, txt::kOptPhoneTab), QStringLiteral("Handset"));
    EXPECT_EQ(LangTextAt(1, txt::kStr6StopCameraFirst), QStringLiteral("Сначала остановите веб-камеру!"));
}

TEST_F(LangTest, OneEntryServesEveryUseOfAKey)
{
    EXPECT_EQ(LangTextAt(1, txt::kStr11PhotoCameraInit), QStringLiteral("Статус: Инициализация камеры..."));
    EXPECT_EQ(LangTextAt(1, txt::kStr11CameraInit), QStringLiteral("Инициализация камеры..."));
    WriteUtf8(QStringLiteral("x.lng"), QStringLiteral("[STRS]\nSTR11=Starting\n"));
    EXPECT_EQ(LangTextAt(1, txt::kStr11PhotoCameraInit), QStringLiteral("Starting"));
    EXPECT_EQ(LangTextAt(1, txt::kStr11CameraInit), QStringLiteral("Starting"));
}

TEST_F(LangTest, Windows1251AndUtf8FilesBothRead)
{
    const QString russian = QStringLiteral("Снять ёжика «быстро»");
    QStringEncoder cp1251("windows-1251");
    ASSERT_TRUE(cp1251.isValid());
    WriteBytes(QStringLiteral("1.lng"), "[MENU]\r\nCAPTURE=" + QByteArray(cp1251.encode(russian)) + "\r\n");
    WriteBytes(QStringLiteral("2.lng"), "\xEF\xBB\xBF[MENU]\nCAPTURE=" + russian.toUtf8() + "\n");
    WriteBytes(QStringLiteral("3.lng"), "[MENU]\rCAPTURE=" + russian.toUtf8() + "\r");
    EXPECT_EQ(LangTextAt(1, txt::kMenuCapture), russian);
    EXPECT_EQ(LangTextAt(2, txt::kMenuCapture), russian);  // the byte-order mark doesn't hide the section
    EXPECT_EQ(LangTextAt(3, txt::kMenuCapture), russian);
}

TEST(LangFileTest, IniDetails)
{
    const QString text = QStringLiteral(
        "; comment\n"
        "FILE=outside any section\n"
        "[ MENU ]\n"
        "# EXIT=commented out\n"
        "no equals sign here\n"
        "EXIT=first\n"
        "EXIT=second\n"
        "HELP=\"  quoted  \"\n"
        "HELP1='single'\n"
        "HELP2=\"unbalanced\n"
        "ABOUT=a=b=c\n"
        "[OTHER]\n"
        "SAVE=other\n"
        "[menu]\n"
        "SAVE=later section\n");
    EXPECT_EQ(lang::FindIniEntry(text, u"MENU", u"FILE"), std::nullopt);
    EXPECT_EQ(lang::FindIniEntry(text, u"MENU", u"EXIT"), QStringLiteral("first"));
    EXPECT_EQ(lang::FindIniEntry(text, u"MENU", u"HELP"), QStringLiteral("  quoted  "));
    EXPECT_EQ(lang::FindIniEntry(text, u"MENU", u"HELP1"), QStringLiteral("single"));
    EXPECT_EQ(lang::FindIniEntry(text, u"MENU", u"HELP2"), QStringLiteral("\"unbalanced"));
    EXPECT_EQ(lang::FindIniEntry(text, u"MENU", u"ABOUT"), QStringLiteral("a=b=c"));
    EXPECT_EQ(lang::FindIniEntry(text, u"MENU", u"SAVE"), QStringLiteral("later section"));
    EXPECT_EQ(lang::FindIniEntry(text, u"OTHER", u"EXIT"), std::nullopt);
    EXPECT_EQ(lang::FindIniEntry(QString(), u"MENU", u"EXIT"), std::nullopt);
}

TEST(LangFileTest, LongEntriesAreCutTo2047Characters)
{
    const QString longText(100000, QLatin1Char('x'));
    EXPECT_EQ(lang::FindIniEntry(QStringLiteral("[S]\nK=") + longText + QStringLiteral("\nL=after"), u"S", u"K"),
              QString(2047, QLatin1Char('x')));
    EXPECT_EQ(lang::FindIniEntry(QStringLiteral("[S]\nK=") + longText + QStringLiteral("\nL=after"), u"S", u"L"),
              QStringLiteral("after"));
    // A character outside the basic plane at the cut is dropped whole.
    const QString emoji = QString(2046, QLatin1Char('y')) + QString::fromUcs4(U"\U0001F600");
    const std::optional<QString> cut = lang::FindIniEntry(QStringLiteral("[S]\nK=") + emoji, u"S", u"K");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), 2046);
}

TEST_F(LangTest, HostileFilesGiveBuiltInTexts)
{
    std::mt19937 random(42);
    QByteArray garbage(64 * 1024, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random() & 0xFF);
    WriteBytes(QStringLiteral("1.lng"), garbage);
    // NUL bytes inside a real file: the text ends at the first one.
    WriteBytes(QStringLiteral("2.lng"), QByteArray("[MENU]\nEXIT=Qu\0it\nSAVE=\0\n", 25));
    // A single line of two hundred thousand bytes with no newline at all.
    WriteBytes(QStringLiteral("3.lng"), "[MENU]" + QByteArray(200000, 'z'));
    // Larger than any language file: not read at all.
    WriteBytes(QStringLiteral("4.lng"), "[MENU]\nEXIT=big\n" + QByteArray(lang::kMaxFileBytes, ';'));
    ASSERT_EQ(::mkfifo((folder_ + QStringLiteral("/5.lng")).toLocal8Bit().constData(), 0600), 0);

    for (const LangEntry& entry : kMenuTexts)
        EXPECT_EQ(LangTextAt(1, entry), QString::fromUtf8(entry.builtIn)) << entry.key;
    EXPECT_EQ(LangTextAt(2, txt::kMenuExit), QStringLiteral("Qu"));
    EXPECT_EQ(LangTextAt(2, txt::kMenuSave), QString());
    EXPECT_EQ(LangTextAt(3, txt::kMenuExit), QStringLiteral("&Выход"));
    EXPECT_EQ(LangTextAt(4, txt::kMenuExit), QStringLiteral("&Выход"));
    EXPECT_EQ(LangTextAt(5, txt::kMenuExit), QStringLiteral("&Выход"));  // a pipe is never waited on
}

TEST(LangFileTest, DecodingPrefersUtf8AndFallsBackToWindows1251)
{
    EXPECT_EQ(lang::DecodeLanguageBytes(QByteArray("\xD0\x9F\xD1\x80\xD0\xB8")), QStringLiteral("При"));
    EXPECT_EQ(lang::DecodeLanguageBytes(QByteArray("\xCF\xF0\xE8")), QStringLiteral("При"));
    // One stray cp1251 byte makes the whole file cp1251.
    EXPECT_EQ(lang::DecodeLanguageBytes(QByteArray("\xD0\x9F \xB8")), QStringLiteral("Рџ ё"));
    EXPECT_EQ(lang::DecodeLanguageBytes(QByteArray()), QString());
}

// The English file holds exactly the keys of the three sections, each with a
// translated text, and is the first one the shipped folder lists.
TEST(ShippedLanguageTest, EnglishIsCompleteAndFirst)
{
    const QString folder = test::SourceDir() + QStringLiteral("/lng");
    qputenv("ORVELLO_LNG_DIR", folder.toUtf8());
    const QStringList files = LanguageFiles();
    ASSERT_FALSE(files.isEmpty());
    EXPECT_EQ(files.first(), QStringLiteral("English.lng"));

    QFile file(folder + QStringLiteral("/English.lng"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(file.readAll());
    EXPECT_FALSE(utf8.hasError());
    // The section/key pairs the file holds, read line by line.
    std::set<QString> inFile;
    QString section;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('[')))
            section = trimmed.mid(1, trimmed.size() - 2);
        else if (trimmed.contains(QLatin1Char('=')) && !trimmed.startsWith(QLatin1Char(';')))
            inFile.insert(section + QLatin1Char('/') + trimmed.section(QLatin1Char('='), 0, 0));
    }
    std::vector<LangEntry> entries(kMenuTexts.begin(), kMenuTexts.end());
    entries.insert(entries.end(), kOptionsTexts.begin(), kOptionsTexts.end());
    entries.insert(entries.end(), kStatusTexts.begin(), kStatusTexts.end());
    entries.insert(entries.end(), kOptionsMoreTexts.begin(), kOptionsMoreTexts.end());
    entries.insert(entries.end(), kWindowTexts.begin(), kWindowTexts.end());
    entries.insert(entries.end(), kLanguageTexts.begin(), kLanguageTexts.end());
    // The built-in texts that are English already (the captions the program
    // always gave in English) or no words at all.
    const std::set<QString> sameInBoth{QStringLiteral("OK"), QStringLiteral("CANCEL"), QStringLiteral("TITLE_CREDIT"),
                                       QStringLiteral("REC"), QStringLiteral("CODEC_LICENCE")};
    std::set<QString> inTables;
    for (const LangEntry& entry : entries) {
        inTables.insert(QString::fromLatin1(entry.section) + QLatin1Char('/') + QString::fromLatin1(entry.key));
        const std::optional<QString> english =
            lang::FindIniEntry(text, QString::fromLatin1(entry.section), QString::fromLatin1(entry.key));
        if (!sameInBoth.count(QString::fromLatin1(entry.key))) {
            EXPECT_NE(english.value_or(QString()), QString::fromUtf8(entry.builtIn)) << entry.key << " untranslated";
        }
        // No Russian letter is left in the English file.
        EXPECT_FALSE(english.value_or(QString()).contains(QRegularExpression(QStringLiteral("[\\x{0400}-\\x{04FF}]"))))
            << entry.key;
        // A text with placeholders keeps every one of them.
        for (const char* mark : {"%1", "%2"})
            EXPECT_EQ(english.value_or(QString()).contains(QLatin1String(mark)),
                      QString::fromUtf8(entry.builtIn).contains(QLatin1String(mark)))
                << entry.key << " " << mark;
        EXPECT_FALSE(english.value_or(QString()).isEmpty()) << entry.key;
    }
    EXPECT_EQ(inFile, inTables);
    // A key missing from the file would show the built-in Russian: name it.
    for (const QString& key : inTables)
        EXPECT_TRUE(inFile.count(key)) << key.toStdString() << " is missing from English.lng";
    EXPECT_EQ(LangTextAt(1, txt::kMenuFile), QStringLiteral("&File"));
    qunsetenv("ORVELLO_LNG_DIR");
}

// The built-in Russian texts are spelt right; the menus' accelerators are
// marked in both languages.
TEST(BuiltInTextsTest, SpellingAndAccelerators)
{
    std::vector<LangEntry> entries(kMenuTexts.begin(), kMenuTexts.end());
    entries.insert(entries.end(), kOptionsTexts.begin(), kOptionsTexts.end());
    entries.insert(entries.end(), kStatusTexts.begin(), kStatusTexts.end());
    entries.insert(entries.end(), kOptionsMoreTexts.begin(), kOptionsMoreTexts.end());
    entries.insert(entries.end(), kWindowTexts.begin(), kWindowTexts.end());
    for (const LangEntry& entry : entries) {
        const QString text = QString::fromUtf8(entry.builtIn);
        EXPECT_FALSE(text.contains(QStringLiteral("сьём"))) << entry.key;
        EXPECT_FALSE(text.contains(QStringLiteral("Alreadry"))) << entry.key;
        EXPECT_FALSE(text.contains(QStringLiteral("веб камер"))) << entry.key;
    }
    const struct {
        const LangEntry& entry;
        const char* builtIn;
    } corrected[] = {
        {txt::kOptShotTimeout, "Таймаут после съёмки (мс):"},
        {txt::kOptInitTimeout, "Таймаут инициализации (мс):"},
        {txt::kStr3Idle, "Статус: не занят."},
        {txt::kOptDuplicatePicture, "Дублировать картинку на экран во время съёмки"},
        {txt::kStr7PositionPhone, "Установите телефон в положение для съёмки и нажмите OK"},
        {txt::kStr21RecordingTime, "Время съёмки:"},
        {txt::kAlreadyRunning, "Already running!"},
    };
    for (const auto& row : corrected)
        EXPECT_EQ(QString::fromUtf8(row.entry.builtIn), QString::fromUtf8(row.builtIn)) << row.entry.key;
    for (const LangEntry& entry : kMenuTexts)
        EXPECT_TRUE(QString::fromUtf8(entry.builtIn).contains(QLatin1Char('&'))) << entry.key;
}

class LanguageOfQtTest : public LangTest {
protected:
    void TearDown() override
    {
        InstallQtTranslation(0);
        LangTest::TearDown();
    }
};

// The names of the language list, the lines of a long text, and Qt's own
// texts in the language chosen.
TEST_F(LanguageOfQtTest, NamesLinesAndQtTranslations)
{
    WriteUtf8(QStringLiteral("de.lng"), QStringLiteral("[LANGUAGE]\nNAME=Deutsch\nQT_TRANSLATION=qtbase_de\n"));
    WriteUtf8(QStringLiteral("plain.lng"), QStringLiteral("[MENU]\nFILE=File\n"));
    WriteUtf8(QStringLiteral("wrong.lng"), QStringLiteral("[LANGUAGE]\nNAME=\nQT_TRANSLATION=no_such_translation\n"));
    EXPECT_EQ(LanguageNames(), (QStringList{QStringLiteral("Русский"), QStringLiteral("Deutsch"),
                                            QStringLiteral("plain"), QStringLiteral("wrong")}));

    const struct {
        const char* in;
        const char* out;
    } lines[] = {{"one\\ntwo", "one\ntwo"}, {"no break", "no break"}, {"\\n\\n", "\n\n"}, {"", ""}};
    for (const auto& line : lines)
        EXPECT_EQ(ExpandLineBreaks(QString::fromUtf8(line.in)), QString::fromUtf8(line.out)) << line.in;

    EXPECT_EQ(QtTranslationPath(QStringLiteral("/x/y.qm")), QStringLiteral("/x/y.qm"));
    EXPECT_EQ(QtTranslationPath(QStringLiteral("qtbase_ru")),
              QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_ru.qm"));

    // Qt's "Cancel" of its dialog buttons, as each language shows it.
    const auto cancel = [] { return QCoreApplication::translate("QPlatformTheme", "Cancel"); };
    const struct {
        int index;
        bool loaded;
        const char* cancel;
    } rows[] = {
        {0, true, "Отмена"},     // built-in Russian: Debian's qtbase_ru
        {1, true, "Abbrechen"},  // the file names its translation
        {2, false, "Cancel"},    // a file that names none: Qt's own English
        {3, false, "Cancel"},    // one that does not load
        {0, true, "Отмена"},     // and back: the translation before is replaced
        {9, true, "Отмена"},     // past the last file: the built-in language
    };
    for (const auto& row : rows) {
        EXPECT_EQ(InstallQtTranslation(row.index), row.loaded) << row.index;
        EXPECT_EQ(cancel(), QString::fromUtf8(row.cancel)) << row.index;
    }
}

}  // namespace
}  // namespace orv
