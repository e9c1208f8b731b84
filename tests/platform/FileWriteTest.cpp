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

}  // namespace
}  // namespace orv
