// The settings store over its file: defaults, the storage forms and their
// rules, files written by hand, files that are not settings at all, and
// writers racing each other in threads and processes.

#include "platform/RegFile.h"
#include "platform/SettingsStore.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace reg = orv::reg;

namespace {

const char* const kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello";

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { path_ = orv::test::FreshSettingsFile(); }

    QByteArray FileText() const
    {
        QFile file(path_);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void WriteFileText(const QByteArray& text) const
    {
        QFile file(path_);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    std::optional<reg::RegFile> Parsed() const { return reg::RegFile::Parse(FileText().toStdString()); }
    const reg::Value* Stored(const char* name) const
    {
        static std::optional<reg::RegFile> file;
        file = Parsed();
        if (!file)
            return nullptr;
        const reg::Key* key = file->FindKey(kKey);
        return key ? reg::RegFile::FindValue(*key, name) : nullptr;
    }
    QStringList AsideFiles() const
    {
        const QFileInfo info(path_);
        return info.dir().entryList({info.fileName() + QStringLiteral(".unparsable-*")}, QDir::Files);
    }

    QString path_;
};

}  // namespace

TEST_F(SettingsStore, EachGetterFormAloneGivesItsDefaultAndCreatesAnEmptyKey)
{
    const std::function<bool()> getters[] = {
        [] { return reg::ReadRegInt("Timeout", 1000) == 1000; },
        [] { return reg::ReadRegString("TempJpgName", "/a/temp.jpg") == "/a/temp.jpg"; },
        [] { return reg::ReadRegFloat("Fps", 1.5) == 1.5; },
        [] { return reg::ReadRegBool("AutoRestart", true); },
    };
    for (size_t form = 0; form < std::size(getters); ++form) {
        path_ = orv::test::FreshSettingsFile();
        EXPECT_TRUE(getters[form]()) << form;
        const auto file = Parsed();
        ASSERT_TRUE(file) << form;
        const reg::Key* key = file->FindKey(kKey);
        ASSERT_NE(key, nullptr) << form;
        EXPECT_TRUE(key->values.empty()) << form;
    }
}

TEST_F(SettingsStore, NumbersFollowTheFourByteRule)
{
    WriteFileText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                  "\"AutoRestart\"=dword:00000002\n"
                  "\"Eight\"=hex(4):01,00,00,00,00,00,00,00\n"
                  "\"EightBinary\"=hex:01,00,00,00,00,00,00,00\n"
                  "\"FourBinary\"=hex:2a,00,00,00\n"
                  "\"Negative\"=dword:ffffffff\n"
                  "\"Text\"=\"1234\"\n");
    EXPECT_TRUE(reg::ReadRegBool("AutoRestart", false));  // any non-zero number is true
    reg::WriteRegBool("AutoRestart", true);
    ASSERT_NE(Stored("AutoRestart"), nullptr);
    EXPECT_EQ(Stored("AutoRestart")->data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(Stored("AutoRestart")->type, reg::kRegDword);

    EXPECT_EQ(reg::ReadRegInt("Eight", 7), 7);
    EXPECT_EQ(reg::ReadRegInt("EightBinary", 7), 7);
    EXPECT_EQ(reg::ReadRegInt("FourBinary", 7), 42);
    EXPECT_EQ(reg::ReadRegInt("Negative", 7), -1);
    EXPECT_EQ(reg::ReadRegInt("Text", 7), 7);  // "1234" and its zero are five bytes
}

TEST_F(SettingsStore, FloatsAndTextsKeepTheirBytes)
{
    EXPECT_DOUBLE_EQ(reg::ReadRegFloat("Fps", 1.0), 1.0);
    reg::WriteRegFloat("Fps", 25.0);
    EXPECT_EQ(reg::ReadRegFloat("Fps", 1.0), 25.0);
    ASSERT_NE(Stored("Fps"), nullptr);
    EXPECT_EQ(Stored("Fps")->type, reg::kRegBinary);
    EXPECT_EQ(Stored("Fps")->data, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0x39, 0x40}));
    reg::WriteRegFloat("Fps", 0.1 + 0.2);
    EXPECT_EQ(reg::ReadRegFloat("Fps", 1.0), 0.1 + 0.2);

    reg::WriteRegString("TempJpgName", "/a/ab.jpg");
    EXPECT_EQ(reg::ReadRegString("TempJpgName", ""), "/a/ab.jpg");
    EXPECT_EQ(Stored("TempJpgName")->data.size(), 10u);  // nine characters and the zero
    EXPECT_EQ(Stored("TempJpgName")->type, reg::kRegSz);

    const std::string longText(5000, 'x');  // no 259-character limit
    reg::WriteRegString("AviFolder", longText);
    EXPECT_EQ(reg::ReadRegString("AviFolder", ""), longText);
    reg::WriteRegString("AviFolder", "Видео/ \"quoted\" \\ back");
    EXPECT_EQ(reg::ReadRegString("AviFolder", ""), "Видео/ \"quoted\" \\ back");
}

TEST_F(SettingsStore, OddStoredValuesReadSafely)
{
    WriteFileText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                  "\"NoZero\"=hex(1):61,62,63\n"
                  "\"Zero\"=hex(1):\n"
                  "\"Inner\"=hex(1):61,00,62,00\n"
                  "\"Fps\"=hex:00,00,00,00,00,00,39\n"
                  "\"Number\"=dword:00000041\n");
    EXPECT_EQ(reg::ReadRegString("NoZero", "d"), "abc");
    EXPECT_EQ(reg::ReadRegString("Zero", "d"), "");
    EXPECT_EQ(reg::ReadRegString("Inner", "d"), "a");
    EXPECT_EQ(reg::ReadRegString("Number", "d"), "A");  // the type is not looked at
    EXPECT_EQ(reg::ReadRegFloat("Fps", 1.5), 1.5);      // not 8 bytes
}

TEST_F(SettingsStore, DeleteKeepsTheVendorKeyAndOtherKeys)
{
    WriteFileText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN]\n\"Vendor\"=\"kept\"\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n\"Timeout\"=dword:00000005\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello\\Sub]\n\"X\"=dword:00000001\n\n"
                  "[HKEY_CURRENT_USER\\Other]\n\"Y\"=\"z\"\n");
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 5);
    reg::DeleteSettingsKey();
    const auto file = Parsed();
    ASSERT_TRUE(file);
    EXPECT_EQ(file->FindKey(kKey), nullptr);
    EXPECT_EQ(file->FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello\\Sub"), nullptr);
    ASSERT_NE(file->FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN"), nullptr);
    EXPECT_NE(file->FindKey("HKEY_CURRENT_USER\\Other"), nullptr);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    reg::WriteRegInt("Timeout", 9);  // written after the deletion: stays
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 9);
}

TEST_F(SettingsStore, ShowSplashIsReadWithoutCreatingTheKey)
{
    EXPECT_TRUE(reg::ReadShowSplash());
    EXPECT_FALSE(QFile::exists(path_));
    reg::WriteRegBool("ShowSplash", false);
    EXPECT_FALSE(reg::ReadShowSplash());
    reg::DeleteSettingsKey();
    EXPECT_TRUE(reg::ReadShowSplash());
    EXPECT_EQ(Parsed()->FindKey(kKey), nullptr);
}

TEST_F(SettingsStore, GarbageIsKeptAsideBeforeTheFirstWrite)
{
    const QByteArray garbage("\x01\x02 this is not a settings file\n[[[\n", 36);
    WriteFileText(garbage);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    EXPECT_EQ(FileText(), garbage) << "reads never replace the file";
    EXPECT_TRUE(AsideFiles().isEmpty());

    reg::WriteRegInt("Timeout", 3000);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 3000);
    const QStringList aside = AsideFiles();
    ASSERT_EQ(aside.size(), 1);
    QFile kept(QFileInfo(path_).dir().filePath(aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), garbage);
}

TEST_F(SettingsStore, AMalformedLineLosesItsOwnValueOnly)
{
    const QByteArray text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                            "\"Timeout\"=dword:00000bb8\n"
                            "\"JpgType\"=dword:0000000x\n"
                            "\"TempJpgName\"=\"/a/other.jpg\"\n";
    WriteFileText(text);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 3000);
    EXPECT_EQ(reg::ReadRegInt("JpgType", 4), 4) << "the malformed value reads as its default";
    EXPECT_EQ(reg::ReadRegString("TempJpgName", ""), "/a/other.jpg");
    EXPECT_EQ(FileText(), text) << "reads never replace the file";

    reg::WriteRegInt("Expose", 3);
    EXPECT_TRUE(AsideFiles().isEmpty()) << "a settings file with a bad line is still a settings file";
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 3000);
    EXPECT_EQ(reg::ReadRegString("TempJpgName", ""), "/a/other.jpg");
    EXPECT_EQ(reg::ReadRegInt("Expose", 0), 3);
    EXPECT_EQ(Stored("JpgType"), nullptr);
}

// A read-only file is read and never replaced; a writable one keeps its
// mode when it is replaced.
TEST_F(SettingsStore, TheFilesModeIsKeptAndAReadOnlyFileIsLeftAsItIs)
{
    struct Case {
        mode_t mode;
        bool written;
    };
    const Case cases[] = {{0444, false}, {0400, false}, {0600, true}, {0660, true}, {0604, true}, {0644, true}};
    const QByteArray path = path_.toUtf8();
    for (const Case& c : cases) {
        const QByteArray text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n\"Timeout\"=dword:00000005\n";
        QFile::remove(path_);
        WriteFileText(text);
        ASSERT_EQ(::chmod(path.constData(), c.mode), 0);
        EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 5);
        EXPECT_EQ(reg::StoreValue("Timeout", reg::kRegDword, {9, 0, 0, 0}), c.written) << std::oct << c.mode;
        reg::DeleteSettingsKey();
        reg::WriteRegInt("Expose", 1);
        EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), c.written ? 1000 : 5) << std::oct << c.mode;
        EXPECT_EQ(reg::ReadRegInt("Expose", 0), c.written ? 1 : 0) << std::oct << c.mode;
        struct stat info {};
        ASSERT_EQ(::stat(path.constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode) << std::oct << c.mode;
        if (!c.written) {
            EXPECT_EQ(FileText(), text);
        }
        EXPECT_TRUE(AsideFiles().isEmpty());
        ::chmod(path.constData(), 0600);
    }
}

// Settings kept elsewhere (a dotfiles folder) and linked in: the links stay,
// the file they name gets the new text, in its own folder.
TEST_F(SettingsStore, ALinkedFileIsWrittenThroughTheLink)
{
    const QString folder = QFileInfo(path_).absolutePath();
    const QString dotfiles = QStringLiteral("dotfiles-") + QFileInfo(path_).baseName();
    ASSERT_TRUE(QDir(folder).mkpath(dotfiles));
    const QString target = folder + QLatin1Char('/') + dotfiles + QStringLiteral("/settings.reg");
    // The settings path links to a relative link, which names the file.
    const QString middle = path_ + QStringLiteral(".middle");
    ASSERT_EQ(::symlink((dotfiles + QStringLiteral("/settings.reg")).toUtf8().constData(), middle.toUtf8().constData()), 0);
    ASSERT_EQ(::symlink(middle.toUtf8().constData(), path_.toUtf8().constData()), 0);

    reg::WriteRegInt("Timeout", 7);  // the file does not exist yet: it is made where the links point
    reg::WriteRegInt("Expose", 2);
    EXPECT_TRUE(QFileInfo(path_).isSymLink());
    EXPECT_TRUE(QFileInfo(middle).isSymLink());
    const QFileInfo written(target);
    EXPECT_TRUE(written.isFile() && !written.isSymLink());
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 7);
    EXPECT_EQ(reg::ReadRegInt("Expose", 0), 2);
    EXPECT_TRUE(QDir(folder).entryList({QStringLiteral(".settings.reg.*")}, QDir::Hidden | QDir::Files).isEmpty());

    // A loop of links is no file: reads give defaults, writes change nothing.
    QFile::remove(middle);
    ASSERT_EQ(::symlink(path_.toUtf8().constData(), middle.toUtf8().constData()), 0);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    reg::WriteRegInt("Timeout", 8);
    EXPECT_TRUE(QFileInfo(path_).isSymLink());
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    QFile::remove(path_);
    QFile::remove(middle);
}

TEST_F(SettingsStore, UnreadableFileGivesDefaultsAndIgnoresWrites)
{
    ASSERT_TRUE(QDir().mkpath(path_));  // a folder where the file should be
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    reg::WriteRegInt("Timeout", 5);
    reg::DeleteSettingsKey();
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    EXPECT_TRUE(QFileInfo(path_).isDir());
    QDir().rmdir(path_);
}

TEST_F(SettingsStore, UnwritableFolderGivesDefaultsAndStoresNothing)
{
    qputenv("ORVELLO_SETTINGS_FILE", "/proc/orvello-cannot-exist/settings.reg");
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    EXPECT_FALSE(reg::StoreValue("Timeout", reg::kRegDword, {5, 0, 0, 0}));
    EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
    qputenv("ORVELLO_SETTINGS_FILE", path_.toUtf8());
}

// A write makes a new file and renames it over the old one: the name gets a
// new inode, and a reader that holds the old file still reads all of it.
TEST_F(SettingsStore, WriteReplacesTheFileByARename)
{
    const mode_t umask = ::umask(0);  // a new file is not made readable by others even so
    reg::WriteRegInt("Timeout", 5);
    ::umask(umask);
    const QByteArray before = FileText();
    struct stat old {};
    ASSERT_EQ(::stat(path_.toUtf8().constData(), &old), 0);
    QFile reader(path_);
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    EXPECT_TRUE(reg::StoreValue("Timeout", reg::kRegDword, {6, 0, 0, 0}));
    struct stat now {};
    ASSERT_EQ(::stat(path_.toUtf8().constData(), &now), 0);
    EXPECT_NE(now.st_ino, old.st_ino);
    EXPECT_EQ(now.st_mode & 07777, 0600u);  // made the user's alone, whatever the umask
    EXPECT_EQ(reader.readAll(), before);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 0), 6);
    EXPECT_EQ(QFileInfo(path_).dir().entryList({QStringLiteral(".settings*")}, QDir::Files | QDir::Hidden),
              QStringList{});
}

TEST_F(SettingsStore, FailingFlushIsAFailureAndKeepsTheOldFile)
{
    reg::WriteRegInt("Timeout", 5);
    const QByteArray before = FileText();
    reg::SetSettingsFileSync([](int) {
        errno = EIO;
        return -1;
    });
    const bool stored = reg::StoreValue("Timeout", reg::kRegDword, {6, 0, 0, 0});
    reg::SetSettingsFileSync(nullptr);
    EXPECT_FALSE(stored);
    EXPECT_EQ(FileText(), before);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 0), 5);
    EXPECT_EQ(QFileInfo(path_).dir().entryList({QStringLiteral(".settings*")}, QDir::Files | QDir::Hidden),
              QStringList{});
}

// A name where no settings file can be (a folder, a folder that cannot be
// made, a pipe, a device) is neither waited on nor replaced: defaults are read
// and nothing is stored.
TEST_F(SettingsStore, ANameWhereNoFileCanBeGivesDefaultsAndStoresNothing)
{
    const QByteArray native = path_.toUtf8();
    const auto kindOf = [](const char* file) {
        struct stat info {};
        return ::stat(file, &info) == 0 ? info.st_mode & S_IFMT : 0;
    };
    struct Case {
        const char* what;
        std::function<int()> make;
        const char* file;  // the settings file's name; nullptr: the test's own
        mode_t kind;       // what stands under the name afterwards; 0: nothing
    };
    const Case cases[] = {
        {"folder", [&] { return ::mkdir(native.constData(), 0700); }, nullptr, S_IFDIR},
        {"folder that cannot be made", [] { return 0; }, "/proc/orvello-cannot-exist/settings.reg", 0},
        {"pipe", [&] { return ::mkfifo(native.constData(), 0600); }, nullptr, S_IFIFO},
        // Last: without root it ends the test.
        {"character device", [&] { return ::mknod(native.constData(), S_IFCHR | 0600, makedev(1, 3)); }, nullptr,
         S_IFCHR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const char* file = c.file ? c.file : native.constData();
        qputenv("ORVELLO_SETTINGS_FILE", file);
        if (c.make() != 0 && errno == EPERM)
            GTEST_SKIP() << "making a device node needs root";
        EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
        EXPECT_FALSE(reg::StoreValue("Timeout", reg::kRegDword, {5, 0, 0, 0}));
        reg::WriteRegInt("Timeout", 5);
        reg::DeleteSettingsKey();
        EXPECT_EQ(reg::ReadRegInt("Timeout", 1000), 1000);
        EXPECT_EQ(kindOf(file), c.kind);
        ::remove(file);
    }
    qputenv("ORVELLO_SETTINGS_FILE", native);
}

TEST_F(SettingsStore, ThreadsWritingAtOnceLoseNothing)
{
    constexpr int kThreads = 8, kValues = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kValues; ++i) {
                reg::WriteRegInt("T" + std::to_string(t) + "_" + std::to_string(i), i);
                (void)reg::ReadRegInt("Timeout", 1000);
            }
        });
    }
    for (auto& w : writers)
        w.join();
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kValues; ++i)
            ASSERT_EQ(reg::ReadRegInt("T" + std::to_string(t) + "_" + std::to_string(i), -1), i);
}

TEST_F(SettingsStore, ProcessesWritingAtOnceLoseNothing)
{
    constexpr int kProcesses = 4, kValues = 40;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int p = 0; p < kProcesses; ++p) {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral(SETTINGS_WRITER),
                       {path_, QStringLiteral("P%1_").arg(p), QString::number(kValues)});
        writers.push_back(std::move(process));
    }
    for (auto& w : writers) {
        ASSERT_TRUE(w->waitForFinished(60000));
        EXPECT_EQ(w->exitCode(), 0);
    }
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kValues; ++i)
            ASSERT_EQ(reg::ReadRegInt("P" + std::to_string(p) + "_" + std::to_string(i), -1), i);
}

TEST_F(SettingsStore, AKilledWriterLeavesAWholeFile)
{
    reg::WriteRegInt("Timeout", 1234);
    for (int round = 0; round < 8; ++round) {
        QProcess writer;
        writer.start(QStringLiteral(SETTINGS_WRITER), {path_, QStringLiteral("big")});
        ASSERT_TRUE(writer.waitForStarted());
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 13 * round));
        ::kill(static_cast<pid_t>(writer.processId()), SIGKILL);
        writer.waitForFinished();
        ASSERT_TRUE(Parsed()) << "round " << round;
        EXPECT_EQ(reg::ReadRegInt("Timeout", 0), 1234);
        // Nothing or one whole text, never two texts mixed.
        const std::string big = reg::ReadRegString("Big", "");
        EXPECT_EQ(big.find_first_not_of(big.empty() ? '\0' : big[0]), std::string::npos);
    }
}

// Every write that does not reach the file says why, once.
TEST_F(SettingsStore, AWriteThatDoesNotReachTheFileSaysWhy)
{
    const QByteArray native = path_.toUtf8();
    const QByteArray text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n\"Timeout\"=dword:00000005\n";
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* reason;  // empty: the write reaches the file
    };
    const Case cases[] = {
        {"a file", [&] { WriteFileText(text); }, ""},
        {"a read-only file", [&] { WriteFileText(text); ::chmod(native.constData(), 0444); }, "the file is read-only"},
        {"a folder", [&] { ::mkdir(native.constData(), 0700); }, "Is a directory"},
        {"a pipe", [&] { ::mkfifo(native.constData(), 0600); }, "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        (void)reg::TakeWriteFailure();
        EXPECT_EQ(reg::StoreValue("Timeout", reg::kRegDword, {9, 0, 0, 0}), *c.reason == '\0');
        reg::WriteRegInt("Expose", 1);  // a second failure keeps the first reason
        EXPECT_EQ(reg::TakeWriteFailure(), c.reason);
        EXPECT_EQ(reg::TakeWriteFailure(), "") << "taken once";
        ::chmod(native.constData(), 0600);
        ::remove(native.constData());
    }
}

// A file some of whose lines did not read is kept under a second name before
// the first write drops those lines; later writes keep no further copy.
TEST_F(SettingsStore, AFileWithUnreadableLinesIsKeptAsideOnce)
{
    const QByteArray text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                            "\"Timeout\"=dword:00000bb8\n"
                            "\"Notes\"=\"" + QByteArray(100000, 'n') + "\n"  // no closing quote
                            "\"JpgType\"=dword:0000000x\n";
    const QFileInfo info(path_);
    const auto kept = [&] {
        return info.dir().entryList({info.fileName() + QStringLiteral(".unreadable-lines-*")}, QDir::Files);
    };
    WriteFileText(text);
    EXPECT_EQ(reg::ReadRegInt("Timeout", 0), 3000);
    EXPECT_TRUE(kept().isEmpty()) << "reads keep nothing aside";
    for (int write = 1; write <= 3; ++write) {
        reg::WriteRegInt("Expose", write);
        ASSERT_EQ(kept().size(), 1) << "after write " << write;
        QFile copy(info.dir().filePath(kept().first()));
        ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
        EXPECT_EQ(copy.readAll(), text);
        EXPECT_EQ(reg::ReadRegInt("Expose", 0), write);
        EXPECT_EQ(reg::ReadRegInt("Timeout", 0), 3000);
        EXPECT_FALSE(FileText().contains("nnnn"));
    }
    EXPECT_TRUE(AsideFiles().isEmpty()) << "the file did parse";
}

// A read sees the file as it is now, whoever changed it: a reader that keeps
// the parsed file while it is unchanged still sees a change by another
// process, of another size, by a rename, or in place with the same size.
TEST_F(SettingsStore, EveryReadSeesTheLatestFileOfAnyProcess)
{
    const QByteArray text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                            "\"Timeout\"=dword:00000005\n";
    const qsizetype digits = text.indexOf("00000005");
    const auto run = [this](const QStringList& arguments) {
        QProcess writer;
        writer.start(QStringLiteral(SETTINGS_WRITER), QStringList{path_} + arguments);
        return writer.waitForFinished(60000) && writer.exitStatus() == QProcess::NormalExit && writer.exitCode() == 0;
    };
    const QStringList poke{QStringLiteral("poke"), QString::number(digits), QStringLiteral("00000007")};
    struct Row {
        const char* what;
        bool keptAtOnce;  // the parsed file is kept however young the file is
        int tickMs;       // waited before the change: a step of the file times
        QStringList change;
        int32_t timeout;  // read afterwards
        int32_t other;    // P0 read afterwards
    };
    const Row rows[] = {
        {"another value: another size, a rename", true, 0, {QStringLiteral("P"), QStringLiteral("1")}, 5, 0},
        {"the same size, in place", true, 20, poke, 7, -1},
        // Within one step of the file times, with the times as they were: the
        // young file is read again.
        {"the same size, in place, at once", false, 0, poke, 7, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reg::SetSettledTime(row.keptAtOnce ? std::chrono::nanoseconds(0) : std::chrono::nanoseconds(-1));
        QFile::remove(path_);
        WriteFileText(text);
        ASSERT_EQ(reg::ReadRegInt("Timeout", 0), 5);
        const uint64_t reads = reg::SettingsFileReads();
        EXPECT_EQ(reg::ReadRegInt("Timeout", 0), 5);
        EXPECT_EQ(reg::SettingsFileReads() - reads, row.keptAtOnce ? 0u : 1u) << "an unchanged file is kept";
        struct stat before {};
        ASSERT_EQ(::stat(path_.toUtf8().constData(), &before), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(row.tickMs));
        ASSERT_TRUE(run(row.change));
        struct stat after {};
        ASSERT_EQ(::stat(path_.toUtf8().constData(), &after), 0);
        if (row.change == poke) {
            EXPECT_EQ(after.st_size, before.st_size);
            EXPECT_EQ(after.st_ino, before.st_ino);
        }
        EXPECT_EQ(reg::ReadRegInt("Timeout", 0), row.timeout);
        EXPECT_EQ(reg::ReadRegInt("P0", -1), row.other);
    }
    reg::SetSettledTime(std::chrono::nanoseconds(-1));
}
