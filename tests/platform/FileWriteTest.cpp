// Writing a saved picture: a new file takes the name's place by a rename
// after its data are flushed, a failing flush is a failure that changes
// nothing, and a name held by something other than a regular file is refused.

#include "platform/FileWrite.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace orv {
namespace {

class FileWriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        folder_ = test::TempFolder() + QStringLiteral("/write-%1").arg(++counter);
        QDir().mkpath(folder_);
        path_ = folder_ + QStringLiteral("/picture.jpg");
    }
    void TearDown() override { SetFileSync(nullptr); }

    QByteArray Native() const { return QFile::encodeName(path_); }
    struct stat Stat() const
    {
        struct stat info {};
        EXPECT_EQ(::stat(Native().constData(), &info), 0);
        return info;
    }
    QStringList Entries() const
    {
        return QDir(folder_).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    QByteArray Contents() const
    {
        QFile file(path_);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }

    QString folder_;
    QString path_;
};

TEST_F(FileWriteTest, NewFileTakesTheNameByARenameAndAReaderKeepsTheOldOne)
{
    ASSERT_TRUE(WriteFileReplacing(path_, "old contents"));
    EXPECT_EQ(Stat().st_mode & 07777, 0644u);
    ASSERT_EQ(::chmod(Native().constData(), 0600), 0);
    const ino_t oldFile = Stat().st_ino;
    const int reader = ::open(Native().constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    QString error;
    EXPECT_TRUE(WriteFileReplacing(path_, "new and longer contents", &error)) << error.toStdString();
    EXPECT_NE(Stat().st_ino, oldFile);
    EXPECT_EQ(Stat().st_mode & 07777, 0600u) << "a replaced file keeps its permissions";
    EXPECT_EQ(Contents(), QByteArray("new and longer contents"));
    char held[64] = {};
    EXPECT_EQ(::read(reader, held, sizeof held), 12);
    EXPECT_EQ(QByteArray(held), QByteArray("old contents"));
    ::close(reader);
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("picture.jpg")});
}

TEST_F(FileWriteTest, FailingFlushIsAFailureAndChangesNothing)
{
    ASSERT_TRUE(WriteFileReplacing(path_, "old contents"));
    const ino_t oldFile = Stat().st_ino;
    SetFileSync([](int) {
        errno = EIO;
        return -1;
    });
    QString error;
    EXPECT_FALSE(WriteFileReplacing(path_, "new contents", &error));
    EXPECT_EQ(error, QStringLiteral("Input/output error"));
    EXPECT_EQ(Stat().st_ino, oldFile);
    EXPECT_EQ(Contents(), QByteArray("old contents"));
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("picture.jpg")});
    EXPECT_FALSE(WriteFileReplacing(folder_ + QStringLiteral("/new.jpg"), "new contents"));
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("picture.jpg")});
}

TEST_F(FileWriteTest, NameOfAPipeOrAFolderIsRefused)
{
    struct Case {
        const char* what;
        std::function<int(const char*)> make;
        mode_t kind;
        const char* error;
    };
    const Case cases[] = {
        {"pipe", [](const char* path) { return ::mkfifo(path, 0600); }, S_IFIFO, "Invalid argument"},
        {"folder", [](const char* path) { return ::mkdir(path, 0700); }, S_IFDIR, "Is a directory"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.make(Native().constData()), 0) << c.what;
        QString error;
        EXPECT_FALSE(WriteFileReplacing(path_, "contents", &error)) << c.what;
        EXPECT_EQ(error, QString::fromLatin1(c.error)) << c.what;
        EXPECT_EQ(Stat().st_mode & S_IFMT, c.kind) << c.what;
        EXPECT_EQ(Entries(), QStringList{QStringLiteral("picture.jpg")}) << c.what;
        ASSERT_EQ(::remove(Native().constData()), 0);
    }
}

// A new file gets what the user's umask leaves of 0666, as any file the user
// makes; a replaced file keeps its own mode whatever the umask.
TEST_F(FileWriteTest, ANewFileFollowsTheUmask)
{
    struct Row {
        mode_t umask;
        mode_t created;
    };
    const Row rows[] = {{077, 0600}, {022, 0644}, {002, 0664}, {027, 0640}};
    for (const Row& row : rows) {
        const mode_t saved = ::umask(row.umask);
        ::remove(Native().constData());
        const bool created = WriteFileReplacing(path_, "new");
        ASSERT_EQ(::chmod(Native().constData(), 0604), 0);
        const bool replaced = WriteFileReplacing(path_, "replaced");
        const mode_t kept = Stat().st_mode & 07777;
        ::remove(Native().constData());
        ASSERT_TRUE(WriteFileReplacing(path_, "new again"));
        const mode_t createdMode = Stat().st_mode & 07777;
        ::umask(saved);
        EXPECT_TRUE(created && replaced) << std::oct << row.umask;
        EXPECT_EQ(createdMode, row.created) << std::oct << row.umask;
        EXPECT_EQ(kept, 0604u) << std::oct << row.umask;
    }
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("picture.jpg")});
}

// A link at the name stays a link and the file it names gets the contents, in
// its own folder; a file nobody may write is left as it is, and says so.
TEST_F(FileWriteTest, ALinkIsWrittenThroughAndAReadOnlyFileIsLeftAlone)
{
    const QString elsewhere = folder_ + QStringLiteral("/elsewhere");
    QDir().mkpath(elsewhere);
    const QByteArray target = QFile::encodeName(elsewhere + QStringLiteral("/real.jpg"));
    struct Row {
        const char* what;
        const char* link;  // what the name links to, relative; nullptr: a plain file
        mode_t mode;       // of the file written to before the save; 0: none there
        bool saved;
        const char* error;
    };
    const Row rows[] = {
        {"a link to a file not made yet", "elsewhere/real.jpg", 0, true, ""},
        {"a link to a file", "elsewhere/real.jpg", 0644, true, ""},
        {"a link to a read-only file", "elsewhere/real.jpg", 0444, false, "the file is read-only"},
        {"a read-only file", nullptr, 0444, false, "the file is read-only"},
        {"a file without any write permission", nullptr, 0500, false, "the file is read-only"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QByteArray written = row.link ? target : Native();
        if (row.mode != 0) {
            QFile old(QFile::decodeName(written));
            ASSERT_TRUE(old.open(QIODevice::WriteOnly));
            old.write("old");
            old.close();
            ASSERT_EQ(::chmod(written.constData(), row.mode), 0);
        }
        if (row.link) {
            ASSERT_EQ(::symlink(row.link, Native().constData()), 0);
        }
        QString error;
        EXPECT_EQ(WriteFileReplacing(path_, "new", &error), row.saved);
        EXPECT_EQ(error, QString::fromLatin1(row.error));
        QFile file(QFile::decodeName(written));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), row.saved ? QByteArray("new") : QByteArray("old"));
        struct stat info {};
        ASSERT_EQ(::lstat(Native().constData(), &info), 0);
        EXPECT_EQ(S_ISLNK(info.st_mode), row.link != nullptr);
        EXPECT_TRUE(QDir(elsewhere).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden).isEmpty());
        ::chmod(written.constData(), 0600);
        ::remove(target.constData());
        ::remove(Native().constData());
    }
    EXPECT_EQ(Entries(), QStringList{QStringLiteral("elsewhere")});
}

}  // namespace
}  // namespace orv
