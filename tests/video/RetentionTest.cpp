// The names of a long run's recordings, and the removal of the oldest of
// them from their folder: only the recorder's own files (those its record
// names, unchanged), never the one being written nor another program's file
// of a recording's name, and a removal that fails does not end the work.

#include "video/Retention.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

// Texts in test failures as text.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

using orv::video::IsRecordingName;
using orv::video::KeepRecordingsWithin;
using orv::video::NextNumberedAviName;
using orv::video::NoteRecording;

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

// Who made a file of the folder.
enum class Maker {
    Recorder,     // completed by the recorder and on its record
    Other,        // another program's (a camera's), never on the record
    Grown,        // the recorder's, since written to: its size is not the record's
    Touched,      // the recorder's, since given another time
    Replaced,     // the recorder's, removed, and another file put at its name
    None,         // no recording's name: never looked at
};

struct Entry {
    const char* name;
    int kilobytes;
    int ageMinutes;  // how long ago it was last written
    Maker maker = Maker::Recorder;
};

// One moment for all, so that files of the same age have the same time.
QDateTime Ago(int minutes)
{
    static const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    return now.addSecs(-60LL * minutes);
}

void Touch(const QString& path, int ageMinutes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(Ago(ageMinutes), QFileDevice::FileModificationTime));
}

void Write(const QString& path, int kilobytes, int ageMinutes, char fill = 'x')
{
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(QByteArray(kilobytes * 1024, fill)), kilobytes * 1024);
    }
    Touch(path, ageMinutes);
}

void Make(const QString& folder, const Entry& entry)
{
    const QString path = folder + QLatin1Char('/') + QLatin1String(entry.name);
    Write(path, entry.kilobytes, entry.ageMinutes);
    if (entry.maker == Maker::Other || entry.maker == Maker::None)
        return;
    ASSERT_TRUE(NoteRecording(path));
    if (entry.maker == Maker::Grown) {
        {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::Append));
            file.write("more");
        }
        Touch(path, entry.ageMinutes);
    } else if (entry.maker == Maker::Touched) {
        Touch(path, entry.ageMinutes + 1);
    } else if (entry.maker == Maker::Replaced) {
        ASSERT_TRUE(QFile::remove(path));
        Write(path, entry.kilobytes + 1, entry.ageMinutes, 'y');
    }
}

// The names the folder's record holds, in its order.
QStringList RecordNames(const QString& folder)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(orv::video::kRecordFileName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList names;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            names << QString::fromUtf8(line.split(' ').value(2));
    }
    return names;
}

TEST(RetentionTest, TheOldestRecordingsGoUntilTheFolderFits)
{
    const std::vector<Entry> folderEntries{
        {"01-12-26_1000.avi", 400, 300},
        {"01-12-26_1100.avi", 400, 240},
        {"01-12-26_1100-2.avi", 400, 240},  // same time: the name orders them
        {"temp-0001.avi", 400, 180},
        {"01-12-26_1300.avi", 400, 120},
        {"notes.avi", 5000, 900, Maker::None},  // the user's own: never touched
        {"temp.avi", 5000, 900, Maker::None},
        {".01-12-26_1400.avi.00000001.part", 5000, 900, Maker::None},
        {"temp-0009.avi", 400, 0, Maker::None},  // the file being written
        // Older and larger than all the recorder's: another program's files
        // of every name form the recorder uses, and files of the recorder's
        // that no longer match their lines, neither go nor count.
        {"30-11-26_0900.avi", 5000, 900, Maker::Other},
        {"30-11-26_0900-2.avi", 5000, 900, Maker::Other},
        {"temp-0002.avi", 5000, 900, Maker::Other},
        {"temp-0003-2.avi", 5000, 900, Maker::Other},
        {"temp-2.avi", 5000, 900, Maker::Other},
        {"30-11-26_1000.avi", 5000, 900, Maker::Grown},
        {"30-11-26_1100.avi", 5000, 900, Maker::Touched},
        {"temp-0004.avi", 5000, 900, Maker::Replaced},
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
        // The record names the recorder's files that are still there and
        // still match their lines.
        QStringList recorded{QStringLiteral("01-12-26_1000.avi"), QStringLiteral("01-12-26_1100-2.avi"),
                             QStringLiteral("01-12-26_1100.avi"), QStringLiteral("01-12-26_1300.avi"),
                             QStringLiteral("temp-0001.avi")};
        for (const char* name : c.removed)
            recorded.removeOne(QLatin1String(name));
        EXPECT_EQ(RecordNames(folder.path()), recorded);
    }
}

// A record that cannot be read, or that is not the folder's own file, names
// no recording: nothing goes.
TEST(RetentionTest, WithoutAUsableRecordNothingGoes)
{
    const struct {
        const char* what;
        std::function<void(const QString& folder)> spoil;
    } cases[] = {
        {"no record", [](const QString& folder) { QFile::remove(folder + QStringLiteral("/.orvello-recordings")); }},
        {"a link in its place",
         [](const QString& folder) {
             const QString record = folder + QStringLiteral("/.orvello-recordings");
             ASSERT_TRUE(QFile::rename(record, folder + QStringLiteral("/elsewhere")));
             ASSERT_TRUE(QFile::link(folder + QStringLiteral("/elsewhere"), record));
         }},
        {"lines of another folder's files",
         [](const QString& folder) {
             QFile record(folder + QStringLiteral("/.orvello-recordings"));
             ASSERT_TRUE(record.open(QIODevice::WriteOnly | QIODevice::Truncate));
             record.write("409600 1 01-12-26_1000.avi\n409600 1 01-12-26_1100.avi\n");
         }},
        {"not lines at all",
         [](const QString& folder) {
             QFile record(folder + QStringLiteral("/.orvello-recordings"));
             ASSERT_TRUE(record.open(QIODevice::WriteOnly | QIODevice::Truncate));
             record.write(QByteArray(5000, '\0'));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        for (const Entry& entry : {Entry{"01-12-26_1000.avi", 400, 300}, Entry{"01-12-26_1100.avi", 400, 200}})
            Make(folder.path(), entry);
        c.spoil(folder.path());
        EXPECT_EQ(KeepRecordingsWithin(folder.path(), QString(), 0, QString()), QStringList());
        EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("01-12-26_1000.avi"))));
        EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("01-12-26_1100.avi"))));
    }
}

TEST(RetentionTest, OnlyARegularFileWithANameOfOneLineIsNoted)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    Write(folder.filePath(QStringLiteral("01-12-26_1000.avi")), 1, 10);
    Write(folder.filePath(QStringLiteral("01-12-26_1100\n.avi")), 1, 10);
    ASSERT_TRUE(QFile::link(folder.filePath(QStringLiteral("01-12-26_1000.avi")),
                            folder.filePath(QStringLiteral("01-12-26_1200.avi"))));
    EXPECT_TRUE(NoteRecording(folder.filePath(QStringLiteral("01-12-26_1000.avi"))));
    EXPECT_FALSE(NoteRecording(folder.filePath(QStringLiteral("01-12-26_1100\n.avi"))));
    EXPECT_FALSE(NoteRecording(folder.filePath(QStringLiteral("01-12-26_1200.avi"))));
    EXPECT_FALSE(NoteRecording(folder.filePath(QStringLiteral("missing.avi"))));
    EXPECT_EQ(RecordNames(folder.path()), QStringList{QStringLiteral("01-12-26_1000.avi")});
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
