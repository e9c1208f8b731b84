// The AVI file: created or replaced when opened, valid without a stream,
// readable up to its last whole frame when the writer is killed or a write
// fails.

#include "video/AviFile.h"
#include "video/CodecCatalogue.h"
#include "tests/support/TestEnv.h"
#include "VideoTestKit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QtEndian>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace orv::video {
namespace {

QString PathFor(const QString& name)
{
    const QString path = test::TempFolder() + QLatin1Char('/') + name;
    QFile::remove(path);
    return path;
}

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// RIFF 'AVI ' > LIST 'hdrl' > 'avih' (56 bytes, no streams), LIST 'movi' empty.
QByteArray EmptyAvi()
{
    QByteArray bytes("RIFF\x5c\0\0\0AVI LIST\x44\0\0\0hdrlavih\x38\0\0\0", 32);
    bytes += QByteArray(56, '\0');
    bytes += QByteArray("LIST\x04\0\0\0movi", 12);
    return bytes;
}

TEST(AviFile, OpeningCreatesOrReplacesTheFileAndFailsWithTheSystemsReason)
{
    const QString path = PathFor(QStringLiteral("replace.avi"));
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(5000, 'x'));
    }
    auto file = AviFile::Open(path);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Path(), path);
    file.reset();
    EXPECT_EQ(Contents(path), EmptyAvi());

    QString error;
    EXPECT_FALSE(AviFile::Open(test::TempFolder() + QStringLiteral("/no-such-folder/x.avi"), &error));
    EXPECT_EQ(error, QStringLiteral("No such file or directory"));
    EXPECT_FALSE(AviFile::Open(test::TempFolder(), &error));
    EXPECT_EQ(error, QStringLiteral("Is a directory"));
}

TEST(AviFile, WithoutAStreamItIsAnEmptyAviThatFfprobeOpens)
{
    const QString path = PathFor(QStringLiteral("empty.avi"));
    auto file = AviFile::Open(path);
    ASSERT_TRUE(file);
    {
        CodecCatalogue codecs;
        // Never started: it touches neither the file nor the entry.
        FrameEncoder unused(codecs.Handle(0));
        FrameEncoder none(nullptr);
        EXPECT_FALSE(none.StartStream(*file, test::MovingPicture(64, 48, 0), 1.0));
        EXPECT_FALSE(none.CompressFrame(test::MovingPicture(64, 48, 0)));
    }
    EXPECT_EQ(Contents(path), EmptyAvi());
    file.reset();
    EXPECT_EQ(Contents(path), EmptyAvi());
    const auto probe = test::Ffprobe(path);
    EXPECT_EQ(probe.value("exit"), "0") << probe.value("stderr").toStdString();
    EXPECT_EQ(probe.value("nb_streams"), "0");
    const test::DemuxedVideo video = test::Demux(path);
    EXPECT_TRUE(video.opened);
    EXPECT_EQ(video.streams, 0);
}

TEST(AviFile, AFileHoldsOneStream)
{
    const QString path = PathFor(QStringLiteral("one-stream.avi"));
    auto file = AviFile::Open(path);
    CodecCatalogue codecs;
    const QImage picture = test::MovingPicture(64, 48, 0);
    FrameEncoder first(codecs.Handle(0));
    FrameEncoder second(codecs.Handle(0));
    ASSERT_TRUE(first.StartStream(*file, picture, 1.0));
    EXPECT_FALSE(second.StartStream(*file, picture, 1.0));
    EXPECT_FALSE(second.FileFailed());
    EXPECT_FALSE(second.LastError().isEmpty());
}

QString ChildProgram()
{
    return QStringLiteral(AVI_RECORDER_CHILD);
}

struct ChildRun {
    int exitStatus = -1;
    QProcess::ExitStatus how = QProcess::NormalExit;
    QString output;
};

ChildRun RunChild(const QStringList& arguments, const QStringList& environment = {})
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& variable : environment)
        env.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    child.setProcessEnvironment(env);
    child.start(ChildProgram(), arguments);
    ChildRun run;
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
    }
    run.exitStatus = child.exitCode();
    run.how = child.exitStatus();
    run.output = QString::fromUtf8(child.readAllStandardOutput());
    return run;
}

TEST(AviFile, AKilledRecordingKeepsEveryFrameWrittenBeforeForFfprobe)
{
    for (const char* encoder : {"mjpeg", "libx264", "huffyuv"}) {
        const QString path = PathFor(QStringLiteral("killed-%1.avi").arg(QLatin1String(encoder)));
        const ChildRun run = RunChild({QLatin1String(encoder), path, QStringLiteral("7"), QStringLiteral("kill")});
        EXPECT_EQ(run.how, QProcess::CrashExit) << encoder;
        EXPECT_TRUE(run.output.contains(QStringLiteral("written 7"))) << run.output.toStdString();
        const auto probe = test::Ffprobe(path);
        EXPECT_EQ(probe.value("exit"), "0") << encoder << probe.value("stderr").toStdString();
        EXPECT_EQ(probe.value("nb_read_frames"), "7") << encoder;
        EXPECT_EQ(test::ReadStreamHeader(path).rate, 20000u) << encoder;
        EXPECT_EQ(test::DecodeFrames(path).size(), 7u) << encoder;
    }
}

TEST(AviFile, AFrameWithoutRoomIsRefusedAndTheFileIsCompletedWithTheFramesBefore)
{
    // A file size limit stands in for a full disk: the frame that would
    // cross it, with the room the index needs, is not begun.
    for (const char* encoder : {"mjpeg", "huffyuv"}) {
        SCOPED_TRACE(encoder);
        const QString path = PathFor(QStringLiteral("limited-%1.avi").arg(QLatin1String(encoder)));
        const ChildRun run = RunChild(
            {QLatin1String(encoder), path, QStringLiteral("200"), QStringLiteral("limit"), QStringLiteral("300000")});
        EXPECT_EQ(run.how, QProcess::NormalExit);
        EXPECT_EQ(run.exitStatus, 0) << run.output.toStdString();
        EXPECT_TRUE(run.output.contains(QStringLiteral("error No room for the next frame: File too large")))
            << run.output.toStdString();
        EXPECT_TRUE(run.output.contains(QStringLiteral("file-failed 1"))) << run.output.toStdString();
        const QRegularExpressionMatch written = QRegularExpression(QStringLiteral("written (\\d+)")).match(run.output);
        ASSERT_TRUE(written.hasMatch()) << run.output.toStdString();
        const int frames = written.captured(1).toInt();
        EXPECT_GT(frames, 0);
        EXPECT_LT(frames, 200);
        EXPECT_LE(QFileInfo(path).size(), 300000);
        // Complete: the counts and the index hold the frames written.
        EXPECT_EQ(test::ReadStreamHeader(path).length, uint32_t(frames));
        const QByteArray bytes = Contents(path);
        EXPECT_TRUE(bytes.contains("idx1")) << "the index is written";
        const auto probe = test::Ffprobe(path);
        EXPECT_EQ(probe.value("exit"), "0") << probe.value("stderr").toStdString();
        EXPECT_EQ(probe.value("nb_read_frames"), QString::number(frames));
        EXPECT_EQ(test::DecodeFrames(path).size(), size_t(frames));
        const test::DemuxedVideo video = test::Demux(path);
        EXPECT_EQ(video.keyFrames.size(), size_t(frames));
    }
}

TEST(AviFile, AWriteThatFailsHalfDoneDropsThatFrameAndCompletesTheFile)
{
    // As on a file system that keeps no room ahead of the file: the frame
    // that crosses the file size limit fails half written. What it had
    // written holds the index when it was larger than the index (huffyuv's
    // 60 KB frames); the small frames of Motion JPEG leave too little, and
    // the file ends with its last frame, its counts right.
    const struct {
        const char* encoder;
        bool indexed;
    } cases[] = {{"mjpeg", false}, {"huffyuv", true}};
    for (const auto& c : cases) {
        const char* encoder = c.encoder;
        SCOPED_TRACE(encoder);
        const QString path = PathFor(QStringLiteral("half-written-%1.avi").arg(QLatin1String(encoder)));
        const ChildRun run = RunChild(
            {QLatin1String(encoder), path, QStringLiteral("200"), QStringLiteral("limit"), QStringLiteral("300000")},
            {QStringLiteral("ORVELLO_AVI_KEEP_NO_ROOM=1")});
        EXPECT_EQ(run.how, QProcess::NormalExit);
        EXPECT_EQ(run.exitStatus, 0) << run.output.toStdString();
        EXPECT_TRUE(run.output.contains(QStringLiteral("error Writing the file failed: File too large")))
            << run.output.toStdString();
        const QRegularExpressionMatch written = QRegularExpression(QStringLiteral("written (\\d+)")).match(run.output);
        ASSERT_TRUE(written.hasMatch()) << run.output.toStdString();
        const int frames = written.captured(1).toInt();
        EXPECT_GT(frames, 0);
        EXPECT_LE(QFileInfo(path).size(), 300000);
        EXPECT_EQ(test::ReadStreamHeader(path).length, uint32_t(frames));
        const QByteArray bytes = Contents(path);
        EXPECT_EQ(qFromLittleEndian<quint32>(bytes.constData() + 4), quint32(bytes.size() - 8)) << "RIFF size";
        const qsizetype index = bytes.lastIndexOf("idx1");
        if (c.indexed) {
            ASSERT_GE(index, 0) << "the index is written";
            EXPECT_EQ(bytes.size(), index + 8 + 16 * frames) << "the file ends with its index";
        } else {
            EXPECT_LT(index, 0);
        }
        const auto probe = test::Ffprobe(path);
        EXPECT_EQ(probe.value("exit"), "0") << probe.value("stderr").toStdString();
        EXPECT_EQ(probe.value("nb_read_frames"), QString::number(frames));
        EXPECT_EQ(test::DecodeFrames(path).size(), size_t(frames));
        EXPECT_EQ(test::Demux(path).keyFrames, std::vector<bool>(size_t(frames), true));
    }
}

TEST(AviFile, TheRoomKeptAheadOfTheFileGoesBackWhenItIsComplete)
{
    // The same recording with and without room kept ahead: once complete,
    // the first takes no more of the disk than the second, but for one 4 KiB
    // block that the file system may take to record a file written in more
    // pieces. A single frame leaves 20 KiB of room ahead (the header's).
    const auto allocated = [](const QString& path) {
        struct stat status {};
        return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int64_t(status.st_blocks) : int64_t(-1);
    };
    for (const char* frames : {"1", "40"}) {
        SCOPED_TRACE(frames);
        const QString kept = PathFor(QStringLiteral("room-kept.avi"));
        const QString none = PathFor(QStringLiteral("room-none.avi"));
        const QStringList arguments{QStringLiteral("limit"), QStringLiteral("100000000")};
        EXPECT_EQ(RunChild(QStringList{QStringLiteral("mjpeg"), kept, QLatin1String(frames)} + arguments).exitStatus, 0);
        EXPECT_EQ(RunChild(QStringList{QStringLiteral("mjpeg"), none, QLatin1String(frames)} + arguments,
                           {QStringLiteral("ORVELLO_AVI_KEEP_NO_ROOM=1")})
                      .exitStatus,
                  0);
        EXPECT_EQ(QFileInfo(kept).size(), QFileInfo(none).size());
        EXPECT_GT(allocated(none), 0);
        EXPECT_LE(allocated(kept), allocated(none) + 8) << "512-byte units";
    }
}

// A tmpfs of a few hundred kilobytes in a mount namespace of its own, where
// the system lets the test make one (root, or unprivileged user namespaces).
TEST(AviFile, AFullDiskRefusesTheFrameWithoutRoomAndCompletesTheFile)
{
    const QString mountPoint = test::TempFolder() + QStringLiteral("/full-disk");
    QDir(mountPoint).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    const QString copy = PathFor(QStringLiteral("full-disk-copy.avi"));
    const QString output = PathFor(QStringLiteral("full-disk-output.txt"));
    // 40 KiB taken by another file first; the recording fills the rest.
    const QString script =
        QStringLiteral("mount -t tmpfs -o size=320k orvello-test %1 || exit 77; "
                       "head -c 40960 /dev/zero > %1/other || exit 78; "
                       "%2 mjpeg %1/full.avi 400 full > %3; status=$?; "
                       "cp %1/full.avi %4; exit $status")
            .arg(mountPoint, ChildProgram(), output, copy);
    int status = 77;
    for (const QStringList& flags : {QStringList{QStringLiteral("-m")}, QStringList{QStringLiteral("-rm")}}) {
        QProcess shell;
        shell.start(QStringLiteral("unshare"), flags + QStringList{QStringLiteral("sh"), QStringLiteral("-c"), script});
        if (!shell.waitForFinished(120000) || shell.exitStatus() != QProcess::NormalExit)
            continue;
        status = shell.exitCode();
        if (status != 77 && status != 1)  // 1: unshare itself was refused
            break;
    }
    if (status == 77 || status == 1)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_EQ(status, 0);
    const QString run = QString::fromUtf8(Contents(output));
    EXPECT_TRUE(run.contains(QStringLiteral("error No room for the next frame: No space left on device")))
        << run.toStdString();
    const QRegularExpressionMatch written = QRegularExpression(QStringLiteral("written (\\d+)")).match(run);
    ASSERT_TRUE(written.hasMatch()) << run.toStdString();
    const int frames = written.captured(1).toInt();
    EXPECT_GT(frames, 3);
    EXPECT_LT(frames, 400);
    EXPECT_EQ(test::ReadStreamHeader(copy).length, uint32_t(frames));
    EXPECT_TRUE(Contents(copy).contains("idx1")) << "the index is written";
    const auto probe = test::Ffprobe(copy);
    EXPECT_EQ(probe.value("exit"), "0") << probe.value("stderr").toStdString();
    EXPECT_EQ(probe.value("nb_read_frames"), QString::number(frames));
    EXPECT_EQ(test::DecodeFrames(copy).size(), size_t(frames));
}

TEST(AviFile, ARecordingBesideItsNameTakesItOnlyWhenPublished)
{
    struct Case {
        const char* what;
        std::vector<const char*> existing;  // files there before
        bool publish;
        bool replace;
        const char* published;  // the name it gets; empty: none
    };
    const Case cases[] = {
        {"never published, nothing there", {}, false, false, ""},
        {"never published over a file", {"take.avi"}, false, false, ""},
        {"replacing", {"take.avi"}, true, true, "take.avi"},
        {"not replacing, the name free", {}, true, false, "take.avi"},
        {"not replacing, the name taken", {"take.avi"}, true, false, "take-2.avi"},
        {"not replacing, two names taken", {"take.avi", "take-2.avi"}, true, false, "take-3.avi"},
        {"not replacing, a gap", {"take.avi", "take-3.avi"}, true, false, "take-2.avi"},
    };
    const QString folder = test::TempFolder() + QStringLiteral("/beside");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(folder).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(folder));
        for (const char* name : c.existing) {
            QFile file(folder + QLatin1Char('/') + QLatin1String(name));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(name);
        }
        const QString target = folder + QStringLiteral("/take.avi");
        auto file = AviFile::OpenBeside(target);
        ASSERT_TRUE(file);
        EXPECT_FALSE(file->Published());
        EXPECT_NE(file->Path(), target);
        EXPECT_TRUE(QFileInfo(file->Path()).fileName().startsWith(QStringLiteral(".take.avi.")));
        EXPECT_EQ(QFileInfo(file->Path()).absolutePath(), folder);
        if (c.publish) {
            QString error;
            ASSERT_TRUE(file->Publish(c.replace, &error)) << error.toStdString();
            EXPECT_TRUE(file->Published());
            EXPECT_EQ(file->Path(), folder + QLatin1Char('/') + QLatin1String(c.published));
        }
        file.reset();
        // Files there before keep their bytes unless replaced.
        QStringList expected;
        for (const char* name : c.existing) {
            expected << QLatin1String(name);
            if (c.publish && c.replace && QLatin1String(name) == QLatin1String(c.published))
                continue;
            EXPECT_EQ(Contents(folder + QLatin1Char('/') + QLatin1String(name)), QByteArray(name)) << name;
        }
        if (c.publish && !expected.contains(QLatin1String(c.published)))
            expected << QLatin1String(c.published);
        expected.sort();
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
        if (c.publish) {
            EXPECT_EQ(Contents(folder + QLatin1Char('/') + QLatin1String(c.published)), EmptyAvi());
        }
    }
    QString error;
    EXPECT_FALSE(AviFile::OpenBeside(folder + QStringLiteral("/missing/take.avi"), &error));
    EXPECT_EQ(error, QStringLiteral("No such file or directory"));
    EXPECT_FALSE(AviFile::OpenBeside(folder, &error));
    EXPECT_EQ(error, QStringLiteral("Is a directory"));
}

// A recording that replaces its name goes where a symbolic link there
// points, the link staying; a read-only file, or no regular file, at the
// name is left as it is and the reason given.
TEST(AviFile, AReplacingRecordingWritesThroughALinkAndLeavesAReadOnlyFileAlone)
{
    const QString folder = test::TempFolder() + QStringLiteral("/through");
    struct Case {
        const char* what;
        std::function<void()> make;  // in folder; "take.avi" is the name recorded to
        bool replacing;
        std::function<void(AviFile&)> meanwhile;  // after the open, before Publish
        const char* refused;  // the reason of the open or Publish; empty: published
        const char* published;  // where it went, under folder
        mode_t mode;  // of the published file; 0: not checked
    };
    const auto write = [&](const char* name, const QByteArray& bytes, mode_t mode) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(name);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
    };
    const auto link = [&](const char* target, const char* name) {
        ASSERT_EQ(::symlink(target, QFile::encodeName(folder + QLatin1Char('/') + QLatin1String(name)).constData()), 0);
    };
    const Case cases[] = {
        {"a link to a file", [&] { write("real/take.avi", "old", 0640); link("real/take.avi", "take.avi"); }, true, {},
         "", "real/take.avi", 0640},
        {"a link to a link to a file that is not there yet",
         [&] { link("middle.avi", "take.avi"); link("real/new.avi", "middle.avi"); }, true, {}, "", "real/new.avi", 0},
        {"a writable file keeps its mode", [&] { write("take.avi", "old", 0604); }, true, {}, "", "take.avi", 0604},
        {"a loop of links", [&] { link("take.avi", "take.avi"); }, true, {}, "Too many levels of symbolic links", "", 0},
        {"a read-only file", [&] { write("take.avi", "old", 0444); }, true, {}, "the file is read-only", "", 0},
        {"a read-only file behind a link", [&] { write("real/take.avi", "old", 0400); link("real/take.avi", "take.avi"); },
         true, {}, "the file is read-only", "", 0},
        {"made read-only while recording", [&] { write("take.avi", "old", 0644); }, true,
         [&](AviFile&) { ::chmod(QFile::encodeName(folder + QStringLiteral("/take.avi")).constData(), 0444); },
         "the file is read-only", "", 0},
        {"a folder behind a link", [&] { ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral("real/take.avi"))); link("real/take.avi", "take.avi"); },
         true, {}, "Is a directory", "", 0},
        {"not replacing: a link is a name taken", [&] { write("real/take.avi", "old", 0644); link("real/take.avi", "take.avi"); },
         false, {}, "", "take-2.avi", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(folder).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/real")));
        c.make();
        const auto snapshot = [&] {
            QStringList entries;
            for (const QString& sub : {QString(), QStringLiteral("/real")})
                for (const QFileInfo& info : QDir(folder + sub).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
                    entries << info.fileName() + QLatin1Char(' ') + info.symLinkTarget() + QLatin1Char(' ') +
                                   QString::fromLatin1(Contents(info.filePath()));
            return entries;
        };
        const QStringList before = snapshot();
        QString error;
        auto file = AviFile::OpenBeside(folder + QStringLiteral("/take.avi"), &error, c.replacing);
        bool published = false;
        if (file) {
            if (c.meanwhile)
                c.meanwhile(*file);
            published = file->Publish(c.replacing, &error);
        }
        if (*c.refused != '\0') {
            EXPECT_FALSE(published);
            EXPECT_EQ(error, QLatin1String(c.refused));
            file.reset();
            EXPECT_EQ(snapshot(), before) << "everything as it was";
            continue;
        }
        ASSERT_TRUE(published) << error.toStdString();
        const QString where = folder + QLatin1Char('/') + QLatin1String(c.published);
        EXPECT_EQ(file->Path(), where);
        file.reset();
        EXPECT_EQ(Contents(where), EmptyAvi());
        EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/take.avi")).isSymLink() ||
                    QLatin1String(c.published) == QLatin1String("take.avi"))
            << "a link at the name stays";
        if (c.mode != 0) {
            struct stat info {};
            ASSERT_EQ(::stat(QFile::encodeName(where).constData(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, c.mode);
        }
        EXPECT_TRUE(QDir(folder).entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden).isEmpty());
        EXPECT_TRUE(QDir(folder + QStringLiteral("/real")).entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden).isEmpty());
    }
}

}  // namespace
}  // namespace orv::video
