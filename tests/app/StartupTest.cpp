// Start-up: one copy at a time, the switches, the splash, the exception
// guard and the end of the process. The process-level cases start the real
// program offscreen with its own lock folder, settings file and a dialog log
// instead of message boxes; the test program's own application object is
// the program's (Application).

#include "capture/CaptureView.h"
#include "platform/Clock.h"
#include "cli/CommandLine.h"
#include "shell/Dialogs.h"
#include "platform/InstanceLock.h"
#include "phone/PhoneLink.h"
#include "capture/PhotoThread.h"
#include "platform/RegFile.h"
#include "config/Settings.h"
#include "platform/SettingsStore.h"
#include "sim/SimBus.h"
#include "shell/SecondCopy.h"
#include "shell/SplashScreen.h"
#include "shell/Startup.h"
#include "platform/WorkerThread.h"
#include "tests/support/TestEnv.h"
#include "platform/UiThread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QKeyEvent>
#include <QEventLoop>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

class ProgramRun {
public:
    ProgramRun()
    {
        settings = dir.filePath(QStringLiteral("settings.reg"));
        dialogLog = dir.filePath(QStringLiteral("dialogs.log"));
    }

    QProcessEnvironment Environment(const QString& log) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("ORVELLO_LOCK_DIR"), dir.path());
        env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), settings);
        env.insert(QStringLiteral("ORVELLO_DIALOG_LOG"), log);
        return env;
    }

    void Start(QProcess& process, const QStringList& arguments, const QString& log) const
    {
        process.setProcessEnvironment(Environment(log));
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(orv::test::BinaryDir() + QStringLiteral("/orvello"), arguments);
    }

    int RunToEnd(const QStringList& arguments) const
    {
        QProcess process;
        Start(process, arguments + QStringList{QStringLiteral("--exit-when-idle")}, dialogLog);
        EXPECT_TRUE(process.waitForFinished(30000));
        return process.exitCode();
    }

    void WriteSettings(const QByteArray& values) const
    {
        QFile file(settings);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n\"AutoPhoneConnect\"=dword:00000000\n" +
                   values);
    }

    std::optional<int32_t> Stored(const char* name) const
    {
        qputenv("ORVELLO_SETTINGS_FILE", settings.toUtf8());
        const int32_t a = orv::reg::ReadRegInt(name, -12345), b = orv::reg::ReadRegInt(name, -54321);
        orv::test::FreshSettingsFile();
        if (a != b)
            return std::nullopt;
        return a;
    }

    bool LockHeld() const { return orv::test::InstanceLockHeld(dir.path()); }

    QTemporaryDir dir;
    QString settings;
    QString dialogLog;
};

QString ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The first copy, without a splash, running and holding the lock.
void StartFirstCopy(ProgramRun& run, QProcess& first)
{
    run.WriteSettings("\"ShowSplash\"=dword:00000000\n");
    run.Start(first, {}, run.dialogLog);
    ASSERT_TRUE(first.waitForStarted());
    QElapsedTimer timer;
    timer.start();
    while (!run.LockHeld() && timer.elapsed() < 20000)
        QThread::msleep(10);
    ASSERT_TRUE(run.LockHeld());
}

}  // namespace

// A logout while the second copy's message is up ends it at once, message
// and all.
TEST(Startup, ASecondCopyEndsAtSigtermWhileItsMessageIsUp)
{
    ProgramRun run;
    QProcess first;
    ASSERT_NO_FATAL_FAILURE(StartFirstCopy(run, first));

    // No dialog log: the message box waits for its OK, offscreen.
    QProcess second;
    QProcessEnvironment env = run.Environment(QString());
    env.remove(QStringLiteral("ORVELLO_DIALOG_LOG"));
    env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), run.dir.filePath(QStringLiteral("second.reg")));
    second.setProcessEnvironment(env);
    second.start(orv::test::BinaryDir() + QStringLiteral("/orvello"), QStringList{});
    ASSERT_TRUE(second.waitForStarted());
    EXPECT_FALSE(second.waitForFinished(2000)) << "the message waits for the user";
    second.terminate();
    EXPECT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    first.terminate();
    first.waitForFinished(10000);
}

TEST(Startup, ASecondCopyOnlySaysSoAndEndsWithZero)
{
    ProgramRun run;
    QProcess first;
    ASSERT_NO_FATAL_FAILURE(StartFirstCopy(run, first));

    // The second copy gets a settings file of its own, which it must not touch.
    const QString secondSettings = run.dir.filePath(QStringLiteral("second.reg"));
    const QString secondLog = run.dir.filePath(QStringLiteral("second.log"));
    QProcess second;
    QProcessEnvironment env = run.Environment(secondLog);
    env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), secondSettings);
    second.setProcessEnvironment(env);
    second.start(orv::test::BinaryDir() + QStringLiteral("/orvello"), QStringList{});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(ReadAll(secondLog), QStringLiteral("information\tOrvello\tAlready running!\n"));
    EXPECT_FALSE(QFile::exists(secondSettings));

    EXPECT_EQ(first.state(), QProcess::Running) << "the first copy goes on undisturbed";
    EXPECT_TRUE(ReadAll(run.dialogLog).isEmpty());
    first.terminate();
    first.waitForFinished(10000);
}

// The running copy, minimised (switch M), answers a second copy's call with
// its window shown; a socket left by a copy that ended does not stop it
// listening.
TEST(Startup, TheRunningCopyComesToTheFrontWhenASecondOneStarts)
{
    ProgramRun run;
    const QString socket = run.dir.filePath(QStringLiteral("OrvelloIsAlreadyRunning.socket"));
    {
        QFile left(socket);
        ASSERT_TRUE(left.open(QIODevice::WriteOnly));
    }
    run.WriteSettings("\"ShowSplash\"=dword:00000000\n");
    QProcess first;
    run.Start(first, {QStringLiteral("-M")}, run.dialogLog);
    ASSERT_TRUE(first.waitForStarted());
    // It listens once its window is made.
    QElapsedTimer timer;
    timer.start();
    bool shown = false;
    while (!shown && timer.elapsed() < 20000 && first.state() == QProcess::Running) {
        shown = orv::AskToComeToFront(socket, std::chrono::seconds(5));
        if (!shown)
            QThread::msleep(50);
    }
    EXPECT_TRUE(shown);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_TRUE(ReadAll(run.dialogLog).isEmpty());
    first.terminate();
    EXPECT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitCode(), 0);
}

// Without a runtime folder the lock lives in a folder of the user's own. A
// name in the temporary folder that someone else has taken (a link, a file,
// a folder of another user) is not used: the lock goes to the cache folder.
TEST(Startup, TheLockFolderWithoutARuntimeFolderIsTheUsersOwn)
{
    const QByteArray savedLockDir = qgetenv("ORVELLO_LOCK_DIR");
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray savedTemp = qgetenv("TMPDIR");
    const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
    QTemporaryDir base;
    const QString temp = base.filePath(QStringLiteral("tmp"));
    const QString cache = base.filePath(QStringLiteral("cache"));
    const QString elsewhere = base.filePath(QStringLiteral("elsewhere"));
    const QString own = temp + QStringLiteral("/orvello-") + QString::number(::geteuid());
    const QString cached = cache + QStringLiteral("/orvello");
    qunsetenv("ORVELLO_LOCK_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", temp.toUtf8());
    qputenv("XDG_CACHE_HOME", cache.toUtf8());

    struct Case {
        const char* what;
        std::function<void()> take;  // what is at the name before the program starts
        QString folder;
    };
    std::vector<Case> cases = {
        {"nothing", [] {}, own},
        {"the user's folder, open to all", [&] { QDir().mkpath(own); ::chmod(own.toUtf8().constData(), 0777); }, own},
        {"a link to another folder", [&] { ::symlink(elsewhere.toUtf8().constData(), own.toUtf8().constData()); },
         cached},
        {"a file", [&] { QFile file(own); (void)file.open(QIODevice::WriteOnly); }, cached},
    };
    if (::geteuid() == 0) {
        // Only a process of the superuser can make a folder another user's.
        cases.push_back({"another user's folder",
                         [&] {
                             QDir().mkpath(own);
                             ::chmod(own.toUtf8().constData(), 0700);
                             (void)!::chown(own.toUtf8().constData(), 65534, 65534);
                         },
                         cached});
    }
    int round = 0;
    for (const Case& c : cases) {
        for (const QString& path : {temp, cache, elsewhere}) {
            QDir(path).removeRecursively();
            QDir().mkpath(path);
        }
        QFile::remove(own);
        c.take();
        EXPECT_EQ(QString::fromStdString(orv::InstanceLockFolder()), c.folder) << c.what;
        const std::string name = "Lock" + std::to_string(++round);
        EXPECT_FALSE(orv::IsAlreadyRunning(name)) << c.what;
        EXPECT_TRUE(orv::IsAlreadyRunning(name)) << c.what << ": the lock is held";
        EXPECT_TRUE(QFile::exists(c.folder + QLatin1Char('/') + QString::fromStdString(name) + QStringLiteral(".lock")))
            << c.what;
        EXPECT_TRUE(QDir(elsewhere).isEmpty()) << c.what;
        struct stat info {};
        ASSERT_EQ(::stat(c.folder.toUtf8().constData(), &info), 0) << c.what;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << c.what;
    }

    // A link in the lock file's own place is not followed either.
    ASSERT_EQ(::symlink((elsewhere + QStringLiteral("/taken")).toUtf8().constData(),
                        (cached + QStringLiteral("/Linked.lock")).toUtf8().constData()),
              0);
    EXPECT_TRUE(orv::IsAlreadyRunning("Linked"));
    EXPECT_FALSE(QFile::exists(elsewhere + QStringLiteral("/taken")));

    qputenv("ORVELLO_LOCK_DIR", savedLockDir);
    qputenv("TMPDIR", savedTemp);
    qputenv("XDG_CACHE_HOME", savedCache);
    if (!savedRuntime.isEmpty())
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    if (savedTemp.isEmpty())
        qunsetenv("TMPDIR");
    if (savedCache.isEmpty())
        qunsetenv("XDG_CACHE_HOME");
}

TEST(Startup, SwitchDResetsTheSettingsAndOnlyWhenWrittenExactly)
{
    ProgramRun run;
    // "--d" is no switch but an unknown long option: refused with code 2.
    const std::pair<QString, int> notTheSwitch[] = {{QStringLiteral("/dx"), 0}, {QStringLiteral("d"), 0},
                                                    {QStringLiteral("--d"), 2}};
    for (const auto& [argument, exitCode] : notTheSwitch) {
        run.WriteSettings("\"ShowSplash\"=dword:00000000\n\"Timeout\"=dword:00000005\n");
        EXPECT_EQ(run.RunToEnd({argument}), exitCode) << argument.toStdString();
        EXPECT_EQ(run.Stored("Timeout"), 5) << argument.toStdString();
    }
    for (const QString& theSwitch : {QStringLiteral("/d"), QStringLiteral("-D"), QStringLiteral("/D")}) {
        run.WriteSettings("\"ShowSplash\"=dword:00000000\n\"Timeout\"=dword:00000005\n");
        EXPECT_EQ(run.RunToEnd({theSwitch}), 0);
        EXPECT_EQ(run.Stored("Timeout"), std::nullopt) << theSwitch.toStdString();
        const auto file = orv::reg::RegFile::Parse(ReadAll(run.settings).toStdString());
        ASSERT_TRUE(file);
        EXPECT_NE(file->FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN"), nullptr);
    }
    EXPECT_TRUE(ReadAll(run.dialogLog).isEmpty()) << ReadAll(run.dialogLog).toStdString();
}

// A settings file that cannot be used is said in one line at the start, and
// the window runs on the defaults; switch D says when it cannot reset.
TEST(Startup, ASettingsFileThatCannotBeUsedIsSaidOnce)
{
    const QString unusable = QStringLiteral("orvello: the settings file cannot be used, every setting has its default: ");
    struct Case {
        const char* what;
        std::function<void(const ProgramRun&)> make;
        QStringList arguments;
        QString error;  // the whole of standard error; %S the settings file
    };
    const auto native = [](const ProgramRun& run) { return run.settings.toUtf8(); };
    const Case cases[] = {
        {"a usable file", [](const ProgramRun& run) { run.WriteSettings({}); }, {}, {}},
        {"no file yet", [](const ProgramRun&) {}, {}, {}},
        {"a folder", [&](const ProgramRun& run) { ::mkdir(native(run).constData(), 0700); }, {},
         unusable + QStringLiteral("%S: Is a directory\n")},
        {"a pipe", [&](const ProgramRun& run) { ::mkfifo(native(run).constData(), 0600); }, {},
         unusable + QStringLiteral("%S: not a regular file\n")},
        {"a loop of links", [&](const ProgramRun& run) { (void)::symlink(native(run).constData(), native(run).constData()); },
         {}, unusable + QStringLiteral("%S: Too many levels of symbolic links\n")},
        {"not a registry export",
         [](const ProgramRun& run) {
             QFile file(run.settings);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write("ShowSplash=0\n");
         },
         {}, unusable + QStringLiteral("%S: line 1: not a registry export (no REGEDIT4 header)\n")},
        {"-d on a read-only file",
         [&](const ProgramRun& run) {
             run.WriteSettings("\"ShowSplash\"=dword:00000000\n");
             ::chmod(native(run).constData(), 0444);
         },
         {QStringLiteral("-d")}, QStringLiteral("orvello: -d: the settings could not be reset: %S: the file is read-only\n")},
        {"-d on a usable file", [](const ProgramRun& run) { run.WriteSettings("\"ShowSplash\"=dword:00000000\n"); },
         {QStringLiteral("-d")}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramRun run;
        c.make(run);
        QProcess process;
        process.setProcessEnvironment(run.Environment(run.dialogLog));
        process.start(orv::test::BinaryDir() + QStringLiteral("/orvello"),
                      c.arguments + QStringList{QStringLiteral("--exit-when-idle")});
        ASSERT_TRUE(process.waitForFinished(30000));
        EXPECT_EQ(process.exitCode(), 0);
        // The program's own lines; Qt may add its own about the environment.
        QString said;
        for (const QString& line : QString::fromLocal8Bit(process.readAllStandardError()).split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("orvello: ")))
                said += line + QLatin1Char('\n');
        EXPECT_EQ(said, QString(c.error).replace(QStringLiteral("%S"), run.settings));
        EXPECT_TRUE(ReadAll(run.dialogLog).isEmpty()) << ReadAll(run.dialogLog).toStdString();
    }
}

// --help, --version and unknown long options answer before anything starts:
// no display is needed (Qt is pointed at an X server that does not exist, so
// making the application object would end the process), the settings are not
// touched (not even by /d), and the lock is neither needed nor taken.
TEST(Startup, LongOptionsAnswerWithoutWindowLockOrSettings)
{
    struct Case {
        QStringList arguments;
        int exitCode;
        const char* out;  // start of standard output
        const char* err;  // start of standard error
    };
    const Case cases[] = {
        {{QStringLiteral("--help")}, 0, "Usage: orvello [SWITCH]... [OPTION]...\n", ""},
        {{QStringLiteral("/d"), QStringLiteral("--help")}, 0, "Usage: orvello", ""},
        {{QStringLiteral("--version")}, 0, "orvello " ORV_VERSION "\n", ""},
        {{QStringLiteral("--simulate-phone"), QStringLiteral("--version"), QStringLiteral("--help")}, 0,
         "orvello " ORV_VERSION "\n", ""},
        {{QStringLiteral("--bogus")}, 2, "",
         "orvello: unknown option '--bogus'\nTry 'orvello --help' for more information.\n"},
        {{QStringLiteral("--help"), QStringLiteral("--Version")}, 2, "", "orvello: unknown option '--Version'"},
        {{QStringLiteral("--")}, 2, "", "orvello: unknown option '--'"},
    };
    ProgramRun run;
    run.WriteSettings("\"Timeout\"=dword:00000005\n");
    const QString lockFile = QDir(run.dir.path()).filePath(QStringLiteral("OrvelloIsAlreadyRunning.lock"));
    for (const bool lockHeldByAnother : {false, true}) {
        int holder = -1;
        if (lockHeldByAnother) {
            holder = ::open(lockFile.toUtf8().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            ASSERT_GE(holder, 0);
            ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        for (const Case& c : cases) {
            const std::string label = c.arguments.join(QLatin1Char(' ')).toStdString();
            QProcess process;
            QProcessEnvironment env = run.Environment(run.dialogLog);
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":9999"));
            env.remove(QStringLiteral("WAYLAND_DISPLAY"));
            process.setProcessEnvironment(env);
            process.start(orv::test::BinaryDir() + QStringLiteral("/orvello"), c.arguments);
            ASSERT_TRUE(process.waitForFinished(30000)) << label;
            EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << label;
            EXPECT_EQ(process.exitCode(), c.exitCode) << label;
            const QByteArray out = process.readAllStandardOutput();
            const QByteArray err = process.readAllStandardError();
            EXPECT_TRUE(out.startsWith(c.out) && (*c.out != '\0' || out.isEmpty())) << label << ": " << out.toStdString();
            EXPECT_TRUE(err.startsWith(c.err) && (*c.err != '\0' || err.isEmpty())) << label << ": " << err.toStdString();
            EXPECT_EQ(run.Stored("Timeout"), 5) << label;
            EXPECT_EQ(QFile::exists(lockFile), lockHeldByAnother) << label << ": the lock file was made";
        }
        if (holder >= 0)
            ::close(holder);
    }
    EXPECT_TRUE(ReadAll(run.dialogLog).isEmpty()) << ReadAll(run.dialogLog).toStdString();
}

TEST(Startup, HelpNamesEveryOptionAndTheFilesInUse)
{
    const QString help = orv::HelpText();
    for (const char* option : {"--simulate-phone", "--exit-when-idle", "--help", "--version", "-d, /d", "-m, /m",
                               "-s, /s"})
        EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
    qputenv("ORVELLO_SETTINGS_FILE", "/some/where/settings.reg");
    qputenv("ORVELLO_LNG_DIR", "/some/where/lng");
    EXPECT_TRUE(orv::HelpText().contains(QStringLiteral("  settings            /some/where/settings.reg\n")));
    EXPECT_TRUE(orv::HelpText().contains(QStringLiteral("  language files      /some/where/lng\n")));
    qunsetenv("ORVELLO_LNG_DIR");
    orv::test::FreshSettingsFile();

    const orv::LongOptions options = orv::ParseLongOptions(
        {QStringLiteral("--simulate-phone"), QStringLiteral("-platform"), QStringLiteral("offscreen"),
         QStringLiteral("/s"), QStringLiteral("--exit-when-idle")});
    EXPECT_EQ(options.action, orv::LongOptions::Action::Run);
    EXPECT_TRUE(options.simulatePhone);
    EXPECT_TRUE(options.exitWhenIdle);
    EXPECT_FALSE(orv::ParseLongOptions({QStringLiteral("-simulate-phone")}).simulatePhone);
}

TEST(Startup, SwitchesAreOneLetterAfterADashOrSlash)
{
    using orv::HasSwitch;
    EXPECT_TRUE(HasSwitch({QStringLiteral("/d")}, QLatin1Char('D')));
    EXPECT_TRUE(HasSwitch({QStringLiteral("x"), QStringLiteral("-D")}, QLatin1Char('D')));
    EXPECT_TRUE(HasSwitch({QStringLiteral("/m")}, QLatin1Char('M')));
    EXPECT_FALSE(HasSwitch({QStringLiteral("/dx")}, QLatin1Char('D')));
    EXPECT_FALSE(HasSwitch({QStringLiteral("d")}, QLatin1Char('D')));
    EXPECT_FALSE(HasSwitch({QStringLiteral("/")}, QLatin1Char('D')));
    EXPECT_FALSE(HasSwitch({QStringLiteral("\\d")}, QLatin1Char('D')));
    EXPECT_FALSE(HasSwitch({QStringLiteral("/s")}, QLatin1Char('D')));
}

TEST(Startup, SplashShowsTheVersionOnItsPicture)
{
    orv::SplashScreen splash;
    EXPECT_EQ(splash.size(), QSize(380, 201));
    EXPECT_TRUE(splash.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(splash.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(splash.versionLabel->text(), QStringLiteral("version: " ORV_VERSION));
    EXPECT_EQ(splash.versionLabel->pos(), QPoint(101, 136));
    EXPECT_EQ(splash.versionLabel->font().pixelSize(), 27);
    EXPECT_TRUE(splash.versionLabel->font().bold());
    EXPECT_EQ(splash.pictureLabel->geometry(), QRect(0, 0, 380, 201));
    const QImage picture = orv::SplashScreen::DrawPicture().toImage();
    EXPECT_EQ(picture.size(), QSize(380, 201));
    EXPECT_NE(picture.pixel(5, 5), picture.pixel(55, 128)) << "a picture, not a blank";
}

// Times New Roman is seldom installed on Linux: whichever face stands in for
// it, the version is shown whole, on the picture.
TEST(Startup, TheSplashShowsTheWholeVersionInAnyStandInFace)
{
    for (const QString& face : {QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif"),
                               QStringLiteral("DejaVu Sans")}) {
        QFont::insertSubstitution(QStringLiteral("Times New Roman"), face);
        orv::SplashScreen splash;
        const QLabel* label = splash.versionLabel;
        const int textWidth = QFontMetrics(label->font()).horizontalAdvance(label->text());
        EXPECT_GE(label->contentsRect().width(), textWidth) << face.toStdString();
        EXPECT_GE(label->width(), 179) << face.toStdString();
        EXPECT_GE(label->height(), label->sizeHint().height()) << face.toStdString();
        EXPECT_TRUE(splash.rect().contains(label->geometry())) << face.toStdString();
        QFont::removeSubstitutions(QStringLiteral("Times New Roman"));
    }
}

TEST(Startup, TheGuardShowsEscapingExceptionsAndReturnsZero)
{
    orv::RecordingDialogs dialogs;
    orv::SetDialogs(&dialogs);
    EXPECT_EQ(orv::RunGuarded([] { throw std::runtime_error("disk on fire"); }), 0);
    EXPECT_EQ(orv::RunGuarded([] { throw 42; }), 0);
    EXPECT_EQ(orv::RunGuarded([] {}), 0);
    const auto messages = dialogs.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, QStringLiteral("disk on fire"));
    EXPECT_EQ(messages[0].kind, orv::MessageKind::Error);
    EXPECT_EQ(messages[1].text, QString());
    EXPECT_EQ(messages[1].kind, orv::MessageKind::Error);
    orv::SetDialogs(nullptr);
}

namespace {

// A window whose key handler throws for A (an exception with a message) and
// B (one without), and records every key it handles.
class FailingWindow final : public QWidget {
public:
    std::vector<int> keys;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        keys.push_back(event->key());
        if (event->key() == Qt::Key_A)
            throw std::runtime_error("the camera went away");
        if (event->key() == Qt::Key_B)
            throw 7;
    }
};

}  // namespace

// Events go through the application object: what a handler throws is shown
// in an error box over the window, and the event loop carries on with the
// next event.
TEST(Startup, AnExceptionFromAWindowHandlerIsShownAndTheEventLoopGoesOn)
{
    auto* application = dynamic_cast<orv::Application*>(QCoreApplication::instance());
    ASSERT_NE(application, nullptr);
    orv::RecordingDialogs dialogs;
    orv::SetDialogs(&dialogs);
    FailingWindow window;
    application->SetMainForm(&window);

    QEventLoop loop;
    for (const int key : {Qt::Key_A, Qt::Key_B, Qt::Key_C})
        QCoreApplication::postEvent(&window, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    QTimer::singleShot(10000, &loop, [&] { loop.exit(1); });  // a safety net
    EXPECT_EQ(loop.exec(), 0);

    EXPECT_EQ(window.keys, (std::vector<int>{Qt::Key_A, Qt::Key_B, Qt::Key_C}));
    const auto messages = dialogs.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, QStringLiteral("the camera went away"));
    EXPECT_EQ(messages[0].kind, orv::MessageKind::Error);
    EXPECT_EQ(messages[0].parent, &window);
    EXPECT_EQ(messages[1].text, QString());
    EXPECT_EQ(messages[1].kind, orv::MessageKind::Error);
    application->SetMainForm(nullptr);
    orv::SetDialogs(nullptr);
}

namespace {

class Worker final : public orv::WorkerThread {
public:
    std::function<void()> body;

protected:
    void Run() override { body(); }
};

}  // namespace

TEST(Startup, AnExceptionInASynchronisedCallIsShownOverTheWindowAndTheWorkerGoesOn)
{
    auto* application = dynamic_cast<orv::Application*>(QCoreApplication::instance());
    ASSERT_NE(application, nullptr);
    orv::RecordingDialogs dialogs;
    orv::SetDialogs(&dialogs);
    QWidget mainForm;  // hidden, as in the tray
    application->SetMainForm(&mainForm);

    std::atomic<bool> wentOn{false}, ended{false};
    auto* worker = new Worker;
    worker->SetFreeOnTerminate(true);
    worker->body = [&] {
        orv::WorkerThread::Synchronize([] { throw std::runtime_error("no room for the picture"); });
        wentOn = true;
    };
    worker->OnTerminate = [&](orv::WorkerThread*) { ended = true; };
    worker->Start();
    EXPECT_TRUE(orv::test::WaitForWorkersToEnd());
    EXPECT_TRUE(wentOn);
    EXPECT_TRUE(ended) << "the end handler gives the window its menus back";
    const auto messages = dialogs.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("no room for the picture"));
    EXPECT_EQ(messages[0].kind, orv::MessageKind::Error);
    EXPECT_EQ(messages[0].parent, &mainForm);

    application->SetMainForm(nullptr);
    orv::SetDialogs(nullptr);
}

namespace {

// A phone that takes the first command and never answers: the transfer that
// sends it does not return.
class MutePipe final : public orv::ControlPipe {
public:
    explicit MutePipe(std::atomic<bool>& reached) : reached_(reached) {}
    orv::TransferResult Transfer(const orv::SetupPacket&, uint8_t*, std::chrono::milliseconds) override
    {
        reached_ = true;
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    bool ClaimInterface(int) override { return true; }
    void WaitForRemoval() override {}
    void CancelWait() override {}
    std::string Path() const override { return "mute"; }

private:
    std::atomic<bool>& reached_;
};

class NoWindow final : public orv::CaptureView {
public:
    void ShowPhotoStep(orv::PhotoStep) override {}
    void ShowPhotoFailure(orv::PhotoFailure) override {}
    void ShowPicture(const QImage&) override {}
    void ShowDownloadProgress(long long) override {}
};

// The end of the program after its event loop, in a process of its own: a
// photo thread is started on the phone that mute() makes (blocked in its
// first command), or on a phone that answers (the thread just finishing when
// the end comes). The process must end with code 0 either way. A wait for the
// blocked thread would never end: the alarm then ends the process with a
// signal, which fails the test.
[[noreturn]] void EndWithAPhotoThread(bool mutePhone)
{
    ::alarm(20);
    static orv::ManualClock clock;
    orv::SetClock(&clock);
    static NoWindow view;
    static orv::Settings settings;
    static orv::phone::PhoneLink link;
    static std::atomic<bool> reached{false};
    std::atomic<bool> ended{false};
    if (mutePhone) {
        link.Attach(std::make_unique<MutePipe>(reached));
    } else {
        orv::sim::SimPhone::Options options;
        options.startInTestMode = true;
        static orv::sim::SimBus bus(options);
        link.Attach(bus.Open(bus.ListInterfaces().at(0).devicePath));
    }
    new orv::PhotoThread(view, settings, link, [&] { ended = true; });
    const bool ready = mutePhone ? QTest::qWaitFor([] { return reached.load(); }, 10000)
                                 : QTest::qWaitFor([&] { return ended.load(); }, 10000);
    if (!ready)
        ::_exit(4);

    orv::EndUserInterface(0);
    // No worker is left: the process ends as the program's does after its
    // window has gone, through the static destructors.
    std::exit(mutePhone ? 3 : 0);
}

}  // namespace

TEST(StartupDeathTest, TheProcessEndsAtOnceWithZeroWhileAPhotoThreadIsBlockedOnAMutePhone)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int run = 0; run < 5; ++run)
        EXPECT_EXIT(EndWithAPhotoThread(true), ::testing::ExitedWithCode(0), "") << "run " << run;
}

TEST(StartupDeathTest, TheProcessEndsWithZeroWhileAPhotoThreadIsJustFinishing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int run = 0; run < 20; ++run)
        EXPECT_EXIT(EndWithAPhotoThread(false), ::testing::ExitedWithCode(0), "") << "run " << run;
}
