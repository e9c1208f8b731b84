// Start-up: one copy at a time, the switches, the splash and the exception
// guard. The process-level cases start the real program offscreen with its
// own lock folder, settings file and a dialog log instead of message boxes.

#include "CommandLine.h"
#include "Dialogs.h"
#include "RegFile.h"
#include "SettingsStore.h"
#include "Splashfrm.h"
#include "Startup.h"
#include "TestEnv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

    bool LockHeld() const
    {
        const QByteArray path = QDir(dir.path()).filePath(QStringLiteral("OrvelloIsAlreadyRunning.lock")).toUtf8();
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return held;
    }

    QTemporaryDir dir;
    QString settings;
    QString dialogLog;
};

QString ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

TEST(Startup, ASecondCopyOnlySaysSoAndEndsWithZero)
{
    ProgramRun run;
    run.WriteSettings("\"ShowSplash\"=dword:00000000\n");
    QProcess first;
    run.Start(first, {}, run.dialogLog);
    ASSERT_TRUE(first.waitForStarted());
    QElapsedTimer timer;
    timer.start();
    while (!run.LockHeld() && timer.elapsed() < 20000)
        QThread::msleep(10);
    ASSERT_TRUE(run.LockHeld());

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
    EXPECT_EQ(ReadAll(secondLog), QStringLiteral("information\tOrvello\tAlreadry Running!\n"));
    EXPECT_FALSE(QFile::exists(secondSettings));

    EXPECT_EQ(first.state(), QProcess::Running) << "the first copy goes on undisturbed";
    EXPECT_TRUE(ReadAll(run.dialogLog).isEmpty());
    first.terminate();
    first.waitForFinished(10000);
}

TEST(Startup, SwitchDResetsTheSettingsAndOnlyWhenWrittenExactly)
{
    ProgramRun run;
    for (const QString& notTheSwitch : {QStringLiteral("/dx"), QStringLiteral("d"), QStringLiteral("--d")}) {
        run.WriteSettings("\"ShowSplash\"=dword:00000000\n\"Timeout\"=dword:00000005\n");
        EXPECT_EQ(run.RunToEnd({notTheSwitch}), 0);
        EXPECT_EQ(run.Stored("Timeout"), 5) << notTheSwitch.toStdString();
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
    orv::TSplash splash;
    EXPECT_EQ(splash.size(), QSize(380, 201));
    EXPECT_TRUE(splash.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(splash.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(splash.Label1->text(), QStringLiteral("version: 1.0.1.51"));
    EXPECT_EQ(splash.Label1->geometry(), QRect(101, 136, 179, 31));
    EXPECT_EQ(splash.Label1->font().pixelSize(), 27);
    EXPECT_TRUE(splash.Label1->font().bold());
    EXPECT_EQ(splash.Image1->geometry(), QRect(0, 0, 380, 201));
    const QImage picture = orv::TSplash::DrawPicture().toImage();
    EXPECT_EQ(picture.size(), QSize(380, 201));
    EXPECT_NE(picture.pixel(5, 5), picture.pixel(55, 128)) << "a picture, not a blank";
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
