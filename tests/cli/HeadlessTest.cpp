// The program without a window: `orvello --photo` and `orvello --record` run
// as processes with a settings file and a lock folder of their own, pointed
// at a display that does not exist. Each cause of failure has its exit status
// and its one line on standard error; the files they write are read back.

#include "tests/video/recorder/AviReadBack.h"
#include "capture/Jpeg.h"
#include "tests/support/FreePort.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace orv::test {
namespace {

constexpr int kLimitMs = 90000;

// The size a decoded picture file has; empty when it does not decode.
QSize PictureSize(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QImage picture;
    if (bytes.startsWith("\xFF\xD8"))
        DecodeJpeg(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()), &picture);
    else if (bytes.startsWith("BM"))
        picture.loadFromData(bytes, "BMP");
    return picture.size();
}

// One run of the program without a display (pointed at one that does not
// exist), with short waiting times and the language file given, if any.
class HeadlessRun : public ProgramRun {
public:
    explicit HeadlessRun(const QByteArray& settings)
    {
        WriteSettings("\"CameraInitTime\"=dword:00000000\n\"Timeout\"=dword:00000000\n" + settings);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":9999"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("ORVELLO_LNG_DIR"), Folder());
        environment.remove(QStringLiteral("ORVELLO_DIALOG_LOG"));
        // No PipeWire daemon listens in the run's own folder: the PipeWire
        // camera, where turned on, finds none, whatever runs on the machine.
        environment.insert(QStringLiteral("PIPEWIRE_RUNTIME_DIR"), Folder());
        environment.remove(QStringLiteral("PIPEWIRE_REMOTE"));
    }

    HeadlessRun(const QStringList& arguments, const QByteArray& settings, bool terminal = false,
                const QByteArray& language = {})
        : HeadlessRun(settings)
    {
        if (!language.isEmpty()) {
            QFile file(Path(QStringLiteral("test.lng")));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(language);
        }
        Start(arguments, terminal);
    }

    // On a terminal, `script` gives the program one and copies what it
    // writes there.
    void Start(const QStringList& arguments, bool terminal = false)
    {
        if (!terminal) {
            EXPECT_TRUE(ProgramRun::Start(arguments));
            return;
        }
        QStringList quoted{BinaryDir() + QStringLiteral("/orvello")};
        for (const QString& argument : arguments)
            quoted << QLatin1Char('\'') + QString(argument).replace(QStringLiteral("%D"), Folder()) + QLatin1Char('\'');
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("script"),
                      {QStringLiteral("-qec"), quoted.join(QLatin1Char(' ')), QStringLiteral("/dev/null")});
        EXPECT_TRUE(process.waitForStarted());
    }

    // Waits for the end; stderr (or, on a terminal, what it showed).
    bool Finish()
    {
        const bool ended = ProgramRun::Finish(kLimitMs);
        error = QString::fromLocal8Bit(process.readAllStandardError());
        shown = QString::fromLocal8Bit(process.readAllStandardOutput());
        return ended;
    }

    QString error;
    QString shown;
};

// Whether the process has a handler of its own for the signal.
bool Catches(qint64 pid, int signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

TEST(Headless, EachOutcomeHasItsExitStatusAndLine)
{
    struct Case {
        const char* name;
        QStringList arguments;
        QByteArray settings;
        int status;
        QString error;  // the whole of standard error; %D the run's folder
        std::function<void(const HeadlessRun&)> check;
        bool terminal = false;
        int signal = 0;  // sent once the program handles it
        QByteArray language = QByteArray();  // the language file in force, if any
    };
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, 0));
    const int busyPort = squatter.serverPort();
    const auto args = [](std::initializer_list<const char*> words) {
        QStringList list;
        for (const char* word : words)
            list << QString::fromUtf8(word);
        return list;
    };
    const auto noFile = [](const char* name) {
        return [name](const HeadlessRun& run) { EXPECT_FALSE(QFile::exists(run.Path(QLatin1String(name)))) << name; };
    };
    const Case cases[] = {
        {"JPEG photo", args({"--photo", "%D/shot.jpg", "--simulate-phone"}), Dword("JpgType", 7), 0, "",
         [](const HeadlessRun& run) { EXPECT_EQ(PictureSize(run.Path(QStringLiteral("shot.jpg"))), QSize(128, 96)); }},
        {"bitmap photo", args({"--photo=%D/shot.BMP", "--wait", "20", "--simulate-phone"}), Dword("JpgType", 4), 0, "",
         [](const HeadlessRun& run) { EXPECT_EQ(PictureSize(run.Path(QStringLiteral("shot.BMP"))), QSize(80, 60)); }},
        {"photo with progress on a terminal", args({"--photo", "%D/shot.jpeg", "--simulate-phone"}),
         Dword("JpgType", 2), 0, "",
         [](const HeadlessRun& run) {
             EXPECT_EQ(PictureSize(run.Path(QStringLiteral("shot.jpeg"))), QSize(160, 120));
             for (const char* line : {"orvello: waiting for the phone\r\n", "orvello: phone connected\r\n",
                                      "orvello: shooting\r\n", "orvello: 160 x 120 photo written to "})
                 EXPECT_TRUE(run.shown.contains(QLatin1String(line))) << line << " in " << run.shown.toStdString();
         },
         true},
        {"recording of 3 frames", args({"--record", "%D/three.avi", "--frames", "3", "--simulate-phone"}),
         Dword("JpgType", 4), 0, "",
         [](const HeadlessRun& run) {
             const QString avi = run.Path(QStringLiteral("three.avi"));
             EXPECT_TRUE(HasIndex(avi));
             const Probe probe = RunFfprobe(avi);
             EXPECT_TRUE(probe.ran);
             EXPECT_EQ(probe.frames, 3);
             EXPECT_EQ(probe.width, 80);
         }},
        {"recording of 2 seconds", args({"--record", "%D/timed.avi", "--seconds", "2", "--simulate-phone"}),
         Dword("JpgType", 4), 0, "",
         [](const HeadlessRun& run) {
             const QString avi = run.Path(QStringLiteral("timed.avi"));
             EXPECT_TRUE(HasIndex(avi));
             EXPECT_GE(CountFrameChunks(avi), 1);
         }},
        {"serving 3 frames without recording", args({"--serve", "--frames", "3", "--simulate-phone"}),
         Dword("JpgType", 4) + "\"AviTempName\"=\"" + QDir::tempPath().toUtf8() + "/orvello-never-written.avi\"\n",
         0, "",
         [](const HeadlessRun& run) {
             // Three frames came (the run ends after them), and no file was
             // made, here nor where the settings name one.
             EXPECT_FALSE(QFile::exists(QDir::tempPath() + QStringLiteral("/orvello-never-written.avi")));
             EXPECT_TRUE(QDir(run.dir.path()).entryList({QStringLiteral("*.avi")}).isEmpty());
         }},
        {"recording turned off in the settings", args({"--record", "%D/kept.avi", "--frames", "2", "--simulate-phone"}),
         Dword("JpgType", 4) + Dword("RecordToFile", 0), 0, "",
         // A file named on the command line is recorded all the same.
         [](const HeadlessRun& run) { EXPECT_TRUE(HasIndex(run.Path(QStringLiteral("kept.avi")))); }},
        {"PipeWire camera without PipeWire", args({"--serve", "--frames", "2", "--simulate-phone"}),
         Dword("JpgType", 4) + Dword("VirtualCamera", 1), 0,
         "orvello: the PipeWire camera waits for PipeWire: PipeWire is not running (no daemon in %D)\n",
         {}},
        {"serving with a password that no one can give", args({"--serve", "--frames", "2", "--simulate-phone"}),
         Dword("JpgType", 4) + Dword("ServerEnabled", 1) + Dword("ServerPort", FreePort()) +
             "\"ServerUser\"=\"watcher\"\n\"ServerPasswordHash\"=\"secret\"\n",
         0,
         "orvello: the web server's password in the settings (\"ServerPasswordHash\") is not one this program made: "
         "every request is refused; set the password again (orvello --set-password, or the options)\n",
         {}},
        {"serving ended by SIGTERM", args({"--serve", "--simulate-phone"}), Dword("JpgType", 4), 0, "", {}, false,
         SIGTERM},
        {"serving with a file", args({"--serve", "%D/x.avi"}), {}, 2,
         "orvello: unexpected argument '%D/x.avi' with --serve\nTry 'orvello --help' for more information.\n",
         noFile("x.avi")},
        {"serving while recording", args({"--record", "%D/x.avi", "--serve"}), {}, 2,
         "orvello: --serve cannot be given with --photo or --record, or twice\n"
         "Try 'orvello --help' for more information.\n",
         noFile("x.avi")},
        {"no phone on the bus", args({"--photo", "%D/none.jpg", "--wait", "1"}), {}, 3,
         "orvello: no phone connected within 1 second\n", noFile("none.jpg")},
        {"camera that does not start", args({"--photo", "%D/none.jpg", "--simulate-phone"}),
         Dword("JpgType", 11), 4, "orvello: the camera could not be started\n", noFile("none.jpg")},
        {"picture not taken", args({"--photo", "%D/none.jpg", "--simulate-phone"}), "\"TempJpgName\"=\"/b/x.jpg\"\n",
         4, "orvello: the phone could not take the picture\n", noFile("none.jpg")},
        // The exit status follows the failure, whatever the texts say.
        {"camera that does not start, worded as no phone", args({"--photo", "%D/none.jpg", "--simulate-phone"}),
         Dword("JpgType", 11) + Dword("LangIndex", 1), 4, "orvello: the camera could not be started\n",
         noFile("none.jpg"), false, 0, "[STRS]\nSTR8=Nope\nSTR9=Nope\n"},
        {"recording camera that does not start", args({"--record", "%D/none.avi", "--simulate-phone"}),
         Dword("JpgType", 11), 4, "orvello: the camera could not be started\n",
         [](const HeadlessRun& run) { EXPECT_FALSE(HasIndex(run.Path(QStringLiteral("none.avi")))); }},
        {"photo into a missing folder", args({"--photo", "%D/missing/none.jpg", "--simulate-phone"}), {}, 5,
         "orvello: cannot write %D/missing/none.jpg: there is no folder %D/missing\n", {}},
        {"video into a missing folder", args({"--record", "%D/missing/none.avi", "--simulate-phone"}), {}, 5,
         "orvello: cannot write %D/missing/none.avi: there is no folder %D/missing\n", {}},
        {"server port taken", args({"--record", "%D/none.avi", "--simulate-phone"}),
         Dword("ServerEnabled", 1) + Dword("ServerPort", busyPort), 7,
         QStringLiteral("orvello: the picture server cannot listen on port %1: Socket error: Address already "
                        "in use (98), on API 'bind'\n")
             .arg(busyPort),
         noFile("none.avi")},
        {"no format in the name", args({"--photo", "%D/shot.png", "--simulate-phone"}), {}, 2,
         "orvello: cannot tell the picture's format from '%D/shot.png': name the file .jpg, .jpeg or .bmp\n"
         "Try 'orvello --help' for more information.\n",
         noFile("phone.trace")},
        {"photo given up while waiting for the phone", args({"--photo", "%D/none.jpg", "--wait", "60"}), {}, 1,
         "orvello: interrupted\n", noFile("none.jpg"), false, SIGTERM},
        {"recording ended before the phone came", args({"--record", "%D/none.avi", "--wait", "60"}), {}, 0, "",
         noFile("none.avi"), false, SIGINT},
        {"frames with a photo", args({"--photo", "%D/a.jpg", "--frames", "2"}), {}, 2,
         "orvello: option '--frames' goes with --record, not with --photo\n"
         "Try 'orvello --help' for more information.\n",
         {}},
    };
    std::vector<std::unique_ptr<HeadlessRun>> runs;
    for (const Case& c : cases)
        runs.push_back(std::make_unique<HeadlessRun>(c.arguments, c.settings, c.terminal, c.language));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        HeadlessRun& run = *runs[i];
        SCOPED_TRACE(c.name);
        if (c.signal != 0) {
            const qint64 pid = run.process.processId();
            ASSERT_TRUE(run.WaitFor([&] { return Catches(pid, c.signal); }, kLimitMs));
            run.Signal(c.signal);
        }
        ASSERT_TRUE(run.Finish());
        EXPECT_EQ(run.process.exitCode(), c.status);
        EXPECT_EQ(run.error, QString(c.error).replace(QStringLiteral("%D"), run.dir.path()));
        if (c.check)
            c.check(run);
    }
}

TEST(Headless, SecondCopyTouchesNoPhone)
{
    for (const char* file : {"none.jpg", "none.avi"}) {
        SCOPED_TRACE(file);
        HeadlessRun run{QByteArray()};
        const QString lockFile = run.Path(QStringLiteral("OrvelloIsAlreadyRunning.lock"));
        const int fd = ::open(lockFile.toUtf8().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const bool photo = QByteArray(file).endsWith(".jpg");
        run.Start({photo ? QStringLiteral("--photo") : QStringLiteral("--record"),
                   QStringLiteral("%D/") + QLatin1String(file), QStringLiteral("--simulate-phone")});
        ASSERT_TRUE(run.Finish());
        ::close(fd);
        EXPECT_EQ(run.process.exitCode(), 6);
        EXPECT_EQ(run.error, QStringLiteral("orvello: another copy of orvello is running and holds the phone\n"));
        EXPECT_FALSE(QFile::exists(run.Path(QStringLiteral("phone.trace"))));
        EXPECT_FALSE(QFile::exists(run.Path(QLatin1String(file))));
    }
}

// --record never replaces a file: an earlier recording at the name stays as
// it was, and the new one takes the first free numbered name, which the
// progress line names.
TEST(Headless, RecordingBesideAnEarlierFileTakesTheNextFreeName)
{
    HeadlessRun run{Dword("JpgType", 4)};
    const QByteArray earlier("an earlier recording");
    for (const char* name : {"take.avi", "take-2.avi"}) {
        QFile file(run.Path(QLatin1String(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    run.Start({QStringLiteral("--record"), QStringLiteral("%D/take.avi"), QStringLiteral("--frames"),
               QStringLiteral("2"), QStringLiteral("--simulate-phone")},
              true);
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(run.process.exitCode(), 0);
    for (const char* name : {"take.avi", "take-2.avi"}) {
        QFile file(run.Path(QLatin1String(name)));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), earlier) << name;
    }
    const QString avi = run.Path(QStringLiteral("take-3.avi"));
    EXPECT_TRUE(HasIndex(avi));
    EXPECT_EQ(RunFfprobe(avi).frames, 2);
    EXPECT_TRUE(run.shown.contains(QStringLiteral("orvello: 2 frames recorded into %1").arg(avi)))
        << run.shown.toStdString();
}

// A recording with the picture server and its stream on, ended by SIGTERM:
// the file is complete, the exit status 0, and a viewer of the stream gets
// its closing boundary.
TEST(Headless, TermEndsARecordingWithACompleteFileAndEndsTheStreams)
{
    const int port = FreePort();
    HeadlessRun run({QStringLiteral("--record"), QStringLiteral("%D/"), QStringLiteral("--simulate-phone")},
            Dword("JpgType", 4) + Dword("ServerEnabled", 1) + Dword("ServerStream", 1) + Dword("ServerPort", port));
    // A dated name in the folder: the only .avi file there.
    const auto recording = [&run] {
        const QStringList files = QDir(run.dir.path()).entryList({QStringLiteral("*.avi")});
        return files.size() == 1 ? run.Path(files.first()) : QString();
    };
    run.WaitFor([&] { return !recording().isEmpty() && CountFrameChunks(recording()) >= 3; }, kLimitMs);
    ASSERT_GE(CountFrameChunks(recording()), 3);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d-\\d\\d-\\d\\d_\\d{4}\\.avi$"))
                    .match(QFileInfo(recording()).fileName())
                    .hasMatch());

    QTcpSocket viewer;
    viewer.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    ASSERT_TRUE(viewer.waitForConnected(10000));
    viewer.write("GET /stream.mjpg HTTP/1.1\r\n\r\n");
    QByteArray stream;
    while (stream.count("--orvelloframe\r\n") < 2 && viewer.waitForReadyRead(10000))
        stream += viewer.readAll();
    ASSERT_EQ(stream.count("--orvelloframe\r\n"), 2);

    run.Signal(SIGTERM);
    while (viewer.waitForReadyRead(10000))
        stream += viewer.readAll();
    EXPECT_TRUE(stream.endsWith("\r\n--orvelloframe--\r\n"));
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(run.process.exitCode(), 0);
    EXPECT_EQ(run.error, QString());

    const QString avi = recording();
    EXPECT_TRUE(HasIndex(avi));
    const auto header = ReadStreamHeader(avi);
    ASSERT_TRUE(header);
    const Probe probe = RunFfprobe(avi);
    ASSERT_TRUE(probe.ran);
    EXPECT_GE(probe.frames, 3);
    EXPECT_EQ(header->length, static_cast<uint32_t>(probe.frames));
    EXPECT_EQ(CountFrameChunks(avi), probe.frames);
}

// A disk that fills during a recording: the file in progress is completed,
// the camera's restarts find no room, and the run, ended while it waits to
// start again, ends with status 5, the reason, and the file that was kept
// with its frames.
TEST(Headless, AFullDiskEndsWithStatus5AndNamesTheFileKept)
{
    HeadlessRun run{Dword("JpgType", 0)};
    const QString folder = run.Path(QStringLiteral("small"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QProcess mount;
    mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                          QStringLiteral("size=256k"), QStringLiteral("tmpfs"), folder});
    if (!mount.waitForFinished(10000) || mount.exitCode() != 0)
        GTEST_SKIP() << "no small file system can be mounted here (it needs root): " << mount.readAllStandardError().toStdString();
    struct Unmount {
        QString folder;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), folder}); }
    } unmount{folder};
    run.Start({QStringLiteral("--record"), folder + QLatin1Char('/'), QStringLiteral("--simulate-phone")});
    // The file that filled the disk is completed (it has its index) while
    // the camera waits to start again; then the run is ended.
    const auto completed = [&folder] {
        const QStringList files = QDir(folder).entryList({QStringLiteral("*.avi")});
        return files.size() == 1 && HasIndex(folder + QLatin1Char('/') + files.first());
    };
    run.WaitFor(completed, kLimitMs);
    ASSERT_TRUE(completed());
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(run.process.exitCode(), 5);
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.avi")});
    ASSERT_EQ(files.size(), 1) << files.join(QLatin1Char(' ')).toStdString();
    const QString avi = folder + QLatin1Char('/') + files.first();
    EXPECT_TRUE(HasIndex(avi));
    const int frames = RunFfprobe(avi).frames;
    EXPECT_GE(frames, 1);
    EXPECT_EQ(run.error, QStringLiteral("orvello: the disk is full: the recording stopped in %1 (No space left on device)\n"
                                        "orvello: %2 frames recorded into %1\n")
                             .arg(avi)
                             .arg(frames));
}

// A recording killed before its first frame leaves its hidden temporary
// file; the next run that records into that folder removes it, and only
// files of its form that no running recording holds.
TEST(Headless, TheNextRecordingRemovesWhatAKilledOneLeft)
{
    HeadlessRun run{Dword("JpgType", 4) + Dword("CameraInitTime", 600000)};  // no first frame for ten minutes
    run.Start({QStringLiteral("--record"), QStringLiteral("%D/take.avi"), QStringLiteral("--simulate-phone")});
    const auto parts = [&run] {
        return QDir(run.dir.path()).entryList({QStringLiteral(".take.avi.*.part")}, QDir::Files | QDir::Hidden);
    };
    // Killed once the file holds its header, an AVI without a stream yet.
    run.WaitFor([&] { return parts().size() == 1 && QFileInfo(run.Path(parts().first())).size() == 100; }, kLimitMs);
    ASSERT_EQ(parts().size(), 1);
    const QString leftover = parts().first();
    run.process.kill();
    ASSERT_TRUE(run.process.waitForFinished(kLimitMs));
    ASSERT_EQ(QFileInfo(run.Path(leftover)).size(), 100) << "an AVI without a stream";

    // Not leftovers of a recording: another form of name, another content,
    // a link, and one that a recording still holds.
    const QByteArray avi("RIFF\x5c\0\0\0AVI LIST", 16);
    const struct {
        const char* name;
        QByteArray bytes;
    } others[] = {
        {".take.avi.0123abcg.part", avi},
        {".take.avi.0123abcd.part.old", avi},
        {"take.avi.0123abcd.part", avi},
        {".notes.avi.89abcdef.part", "my notes"},
        {".held.avi.fedcba98.part", avi},
    };
    for (const auto& other : others) {
        QFile file(run.Path(QLatin1String(other.name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(other.bytes);
    }
    ASSERT_TRUE(QFile::link(run.Path(leftover), run.Path(QStringLiteral(".link.avi.11111111.part"))));
    const int held = ::open(run.Path(QStringLiteral(".held.avi.fedcba98.part")).toUtf8().constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

    QFile settings(run.Path(QStringLiteral("settings.reg")));
    ASSERT_TRUE(settings.open(QIODevice::Append));
    settings.write(Dword("CameraInitTime", 0));
    settings.close();
    run.Start({QStringLiteral("--record"), QStringLiteral("%D/take.avi"), QStringLiteral("--frames"), QStringLiteral("1"),
               QStringLiteral("--simulate-phone")});
    ASSERT_TRUE(run.Finish());
    ::close(held);
    EXPECT_EQ(run.process.exitCode(), 0) << run.error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(run.Path(leftover)));
    for (const auto& other : others)
        EXPECT_TRUE(QFileInfo::exists(run.Path(QLatin1String(other.name)))) << other.name;
    EXPECT_TRUE(QFileInfo(run.Path(QStringLiteral(".link.avi.11111111.part"))).isSymLink());
    EXPECT_EQ(RunFfprobe(run.Path(QStringLiteral("take.avi"))).frames, 1);
}

}  // namespace
}  // namespace orv::test

namespace orv::test {
namespace {

// The pixels of two pictures whose grey levels differ by more than sensor
// grain and JPEG leave (all of them when the sizes differ).
int ChangedPixels(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull())
        return a.width() * a.height();
    int changed = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            changed += std::abs(qGray(a.pixel(x, y)) - qGray(b.pixel(x, y))) > 40 ? 1 : 0;
    return changed;
}

// --record --on-motion on the simulated phone, whose scene stands but for
// two changes tied to its pictures: two files, each beginning with three
// frames of the still scene before the change, read back with ffprobe; one
// line for each event on standard output. The second event is cut by the
// end of the run, so its frames are known: 3 before and pictures 42 to 46.
TEST(Headless, OnMotionWritesEachEventIntoAFileOfItsOwnAndSaysSo)
{
    // Without the date stamp, whose minute may turn between two frames of
    // the still scene.
    HeadlessRun run{Dword("JpgType", 4) + Dword("MotionKeepSeconds", 2) + Dword("PrintDateOnImage", 0)};
    ASSERT_TRUE(QDir(run.dir.path()).mkpath(QStringLiteral("door")));
    run.environment.insert(QStringLiteral("ORVELLO_SIM_EVENTS"), QStringLiteral("#1:still;#4:move;#6:still;#42:move;#44:still"));
    run.Start({QStringLiteral("--record"), QStringLiteral("%D/door/"), QStringLiteral("--on-motion"),
               QStringLiteral("--motion-threshold"), QStringLiteral("10"), QStringLiteral("--frames"),
               QStringLiteral("46"), QStringLiteral("--simulate-phone")});
    ASSERT_TRUE(run.Finish()) << run.error.toStdString();
    EXPECT_EQ(run.process.exitCode(), 0) << run.error.toStdString();

    static const QRegularExpression line(
        QStringLiteral("^motion (\\d+): \\d\\d:\\d\\d:\\d\\d to \\d\\d:\\d\\d:\\d\\d, (\\d+) frames in (.+)$"));
    const QStringList lines = run.shown.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << run.shown.toStdString();
    QStringList files;
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = line.match(lines[i]);
        ASSERT_TRUE(match.hasMatch()) << lines[i].toStdString();
        EXPECT_EQ(match.captured(1).toInt(), i + 1);
        const QString file = match.captured(3);
        files << QFileInfo(file).fileName();
        const int frames = match.captured(2).toInt();
        EXPECT_EQ(RunFfprobe(file).frames, frames) << "the line gives the file's frames";
        if (i == 0) {
            EXPECT_GE(frames, 3 + 2) << "three before, the two pictures of the change, and what follows";
            EXPECT_LE(frames, 3 + 38) << "it ended before the second change";
        } else {
            EXPECT_EQ(frames, 8);
        }
        // Three frames of the still scene (alike but for the grain), then
        // the change.
        std::vector<QImage> decoded;
        for (const auto& packet : ReadPacketData(file)) {
            decoded.emplace_back();
            EXPECT_TRUE(DecodeJpeg(packet.data(), packet.size(), &decoded.back()));
        }
        ASSERT_GE(decoded.size(), 4u);
        EXPECT_LT(ChangedPixels(decoded[0], decoded[1]), 5);
        EXPECT_LT(ChangedPixels(decoded[1], decoded[2]), 5);
        EXPECT_GT(ChangedPixels(decoded[2], decoded[3]), 40) << "the ball and the counter move";
    }
    QStringList expected = files;
    expected << QStringLiteral(".orvello-recordings");
    expected.sort();
    EXPECT_EQ(FilesIn(run.Path(QStringLiteral("door"))), expected);
}

}  // namespace
}  // namespace orv::test
