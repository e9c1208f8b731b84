// The names of a long run's recordings, and the removal of the oldest of
// them from their folder: only the recorder's own files, never the one being
// written, and a removal that fails does not end the work.

#include "video/Retention.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Texts in test failures as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

using orv::video::IsRecordingName;
using orv::video::KeepRecordingsWithin;
using orv::video::NextNumberedAviName;

TEST(RetentionTest, OnlyTheRecordersNamesAreRecordings)
{
    const struct {
        const char* name;
        const char* stem;
        bool recording;
    } cases[] = {
        {"06-12-26_1430.avi", "", true},
        {"06-12-26_1430-2.avi", "", true},
        {"31-12-99_2359-17.avi", "temp", true},
        {"32-12-26_1430.avi", "", false},   // no such day
        {"06-13-26_1430.avi", "", false},   // no such month
        {"06-12-26_2460.avi", "", false},   // no such time
        {"06-12-26_1430.AVI", "", false},
        {"06-12-26_1430.avi.part", "", false},
        {".06-12-26_1430.avi.0000abcd.part", "", false},
        {"6-12-26_1430.avi", "", false},
        {"temp-0001.avi", "temp", true},
        {"temp-12345.avi", "temp", true},
        {"temp-0003-2.avi", "temp", true},
        {"temp-2.avi", "temp", true},
        {"temp-0001.avi", "", false},       // numbered names count beside their fixed name only
        {"temp-0001.avi", "other", false},
        {"temp.avi", "temp", false},        // the fixed name itself is the user's
        {"temp-x.avi", "temp", false},
        {"my.temp-0001.avi", "temp", false},
        {"a+b-0001.avi", "a+b", true},      // the stem is taken literally
        {"aab-0001.avi", "a+b", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsRecordingName(QLatin1String(c.name), QLatin1String(c.stem)), c.recording) << c.name << " / " << c.stem;
}

TEST(RetentionTest, NumberedNamesFollowTheHighestInTheFolder)
{
    const struct {
        const char* what;
        std::vector<const char*> present;
        const char* next;
    } cases[] = {
        {"empty folder", {}, "temp-0001.avi"},
        {"after 1 and 2", {"temp-0001.avi", "temp-0002.avi"}, "temp-0003.avi"},
        {"after a gap", {"temp-0002.avi", "temp-0007.avi"}, "temp-0008.avi"},
        {"beyond four digits", {"temp-9999.avi"}, "temp-10000.avi"},
        {"other names do not count", {"other-0005.avi", "temp.avi", "05-12-26_1000.avi"}, "temp-0001.avi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        for (const char* name : c.present) {
            QFile file(folder.filePath(QLatin1String(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        EXPECT_EQ(NextNumberedAviName(folder.filePath(QStringLiteral("temp.avi"))),
                  folder.filePath(QLatin1String(c.next)));
    }
}

struct Entry {
    const char* name;
    int kilobytes;
    int ageMinutes;  // how long ago it was last written
};

void Make(const QString& folder, const Entry& entry)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(entry.name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(QByteArray(entry.kilobytes * 1024, 'x')), entry.kilobytes * 1024);
    // One moment for all, so that files of the same age have the same time.
    static const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    ASSERT_TRUE(file.setFileTime(now.addSecs(-60LL * entry.ageMinutes),
                                 QFileDevice::FileModificationTime));
}

TEST(RetentionTest, TheOldestRecordingsGoUntilTheFolderFits)
{
    const std::vector<Entry> folderEntries{
        {"01-12-26_1000.avi", 400, 300},
        {"01-12-26_1100.avi", 400, 240},
        {"01-12-26_1100-2.avi", 400, 240},  // same time: the name orders them
        {"temp-0001.avi", 400, 180},
        {"01-12-26_1300.avi", 400, 120},
        {"notes.avi", 5000, 900},           // the user's own: never touched
        {"temp.avi", 5000, 900},
        {".01-12-26_1400.avi.00000001.part", 5000, 900},
        {"temp-0009.avi", 400, 0},          // the file being written
    };
    const struct {
        const char* what;
        const char* stem;
        uint64_t keepKilobytes;
        std::vector<const char*> removed;
    } cases[] = {
        {"everything fits", "temp", 2400, {}},
        {"one too many", "temp", 2000, {"01-12-26_1000.avi"}},
        {"same time ordered by name", "temp", 1300,
         {"01-12-26_1000.avi", "01-12-26_1100.avi", "01-12-26_1100-2.avi"}},
        {"numbered beside their fixed name", "temp", 500,
         {"01-12-26_1000.avi", "01-12-26_1100.avi", "01-12-26_1100-2.avi", "temp-0001.avi", "01-12-26_1300.avi"}},
        {"numbered names of another stem stay", "other", 500,
         {"01-12-26_1000.avi", "01-12-26_1100.avi", "01-12-26_1100-2.avi"}},
        {"less than the file being written", "temp", 100,
         {"01-12-26_1000.avi", "01-12-26_1100.avi", "01-12-26_1100-2.avi", "temp-0001.avi", "01-12-26_1300.avi"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        for (const Entry& entry : folderEntries)
            Make(folder.path(), entry);
        // A folder named like a recording, and a link to one, are no recordings.
        ASSERT_TRUE(QDir(folder.path()).mkdir(QStringLiteral("01-11-26_0900.avi")));
        ASSERT_TRUE(QFile::link(folder.filePath(QStringLiteral("notes.avi")), folder.filePath(QStringLiteral("01-11-26_0800.avi"))));
        const QStringList before = QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        const QString writing = folder.filePath(QStringLiteral("temp-0009.avi"));
        const QStringList removed =
            KeepRecordingsWithin(folder.path(), QLatin1String(c.stem), c.keepKilobytes * 1024, writing);
        QStringList expected;
        for (const char* name : c.removed)
            expected << folder.filePath(QLatin1String(name));
        EXPECT_EQ(removed, expected);
        QStringList left = before;
        for (const char* name : c.removed)
            left.removeOne(QLatin1String(name));
        EXPECT_EQ(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot), left);
    }
}

TEST(RetentionTest, ARemovalThatFailsIsPassedOver)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    for (const Entry& entry : {Entry{"01-12-26_1000.avi", 400, 300}, Entry{"01-12-26_1100.avi", 400, 200},
                               Entry{"01-12-26_1200.avi", 400, 100}})
        Make(folder.path(), entry);
    QStringList tried;
    const auto refuseTheOldest = [&](const QString& path, QString* reason) {
        tried << QFileInfo(path).fileName();
        if (path.endsWith(QLatin1String("_1000.avi"))) {
            *reason = QStringLiteral("Operation not permitted");
            return false;
        }
        return QFile::remove(path);
    };
    const QStringList removed = KeepRecordingsWithin(folder.path(), QString(), 500 * 1024, QString(), refuseTheOldest);
    EXPECT_EQ(tried, (QStringList{QStringLiteral("01-12-26_1000.avi"), QStringLiteral("01-12-26_1100.avi"),
                                  QStringLiteral("01-12-26_1200.avi")}));
    EXPECT_EQ(removed, (QStringList{folder.filePath(QStringLiteral("01-12-26_1100.avi")),
                                    folder.filePath(QStringLiteral("01-12-26_1200.avi"))}));
    EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("01-12-26_1000.avi"))));
}

}  // namespace
