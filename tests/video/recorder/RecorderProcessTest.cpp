// The whole program on the simulated phone, recording from the moment the
// phone connects (switch S), ended by SIGTERM, SIGINT or SIGKILL: the files it
// leaves, read back; and the plain end of a program that records nothing.

#include "AviReadBack.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <functional>

#include <unistd.h>

#include <gtest/gtest.h>

namespace orv::test {
namespace {

class ProgramRun {
public:
    // events: the simulated phone's script (ORVELLO_SIM_EVENTS), if any;
    // traced: the phone's transfers are written to `trace`.
    explicit ProgramRun(bool record, const QString& events = QString(), bool traced = false)
    {
        settings_ = dir_.filePath(QStringLiteral("settings.reg"));
        log_ = dir_.filePath(QStringLiteral("dialogs.log"));
        avi = dir_.filePath(QStringLiteral("record.avi"));
        QFile file(settings_);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                   "\"ShowSplash\"=dword:00000000\n"
                   "\"AutoPhoneConnect\"=dword:00000001\n"
                   "\"CameraInitTime\"=dword:00000000\n"
                   "\"Timeout\"=dword:00000000\n"
                   "\"AviTempName\"=\"" + avi.toUtf8() + "\"\n");
        file.close();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("ORVELLO_LOCK_DIR"), dir_.path());
        env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), settings_);
        env.insert(QStringLiteral("ORVELLO_DIALOG_LOG"), log_);
        trace = dir_.filePath(QStringLiteral("phone.trace"));
        if (traced)
            env.insert(QStringLiteral("ORVELLO_PHONE_TRACE"), trace);
        if (!events.isNull())
            env.insert(QStringLiteral("ORVELLO_SIM_EVENTS"), events);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{QStringLiteral("--simulate-phone")};
        if (record)
            arguments << QStringLiteral("-S");
        process.start(BinaryDir() + QStringLiteral("/orvello"), arguments);
        EXPECT_TRUE(process.waitForStarted());
        started.start();
    }

    ~ProgramRun()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    // The program holds its single-instance lock from before its window is
    // made: its signal handlers are in place by then.
    bool WaitUntilRunning()
    {
        return Poll([&] { return InstanceLockHeld(dir_.path()); });
    }

    bool WaitForFrames(int frames)
    {
        return Poll([&] { return CountFrameChunks(avi) >= frames; });
    }

    void Signal(int number) { ::kill(static_cast<pid_t>(process.processId()), number); }

    // The record queries (command 0x20) the phone was sent: one per connection.
    int ModelQueries() const
    {
        QFile file(trace);
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        static const QRegularExpression query(QStringLiteral(" t=\\d+ OUT 41 02 .* \\| .. .. 00 20 "));
        int count = 0;
        for (const QByteArray& line : file.readAll().split('\n'))
            count += query.match(QString::fromLatin1(line)).hasMatch() ? 1 : 0;
        return count;
    }

    bool WaitFor(const std::function<bool()>& condition) { return Poll(condition); }

    QString Messages() const
    {
        QFile file(log_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QProcess process;
    QString avi;
    QString trace;
    QElapsedTimer started;  // since the program's start

private:
    bool Poll(const std::function<bool()>& condition)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 60000) {
            if (condition())
                return true;
            if (process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(20);
        }
        return false;
    }

    QTemporaryDir dir_;
    QString settings_;
    QString log_;
};

TEST(RecorderProcess, TermAndIntEndTheRecordingWithACompleteFileAndExitZero)
{
    for (const int number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(number == SIGTERM ? "SIGTERM" : "SIGINT");
        ProgramRun run(true);
        ASSERT_TRUE(run.WaitForFrames(3)) << "the web camera did not start on connect";
        run.Signal(number);
        ASSERT_TRUE(run.process.waitForFinished(30000));
        EXPECT_EQ(run.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(run.process.exitCode(), 0);
        EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().toStdString();

        EXPECT_TRUE(HasIndex(run.avi)) << "the file was completed";
        const auto header = ReadStreamHeader(run.avi);
        ASSERT_TRUE(header);
        const auto probe = RunFfprobe(run.avi);
        ASSERT_TRUE(probe.ran);
        EXPECT_GE(probe.frames, 3);
        EXPECT_EQ(header->length, static_cast<uint32_t>(probe.frames));
        EXPECT_EQ(CountFrameChunks(run.avi), probe.frames);
        EXPECT_EQ(probe.width, 640);
    }
}

TEST(RecorderProcess, KilledRecordingLeavesEveryFrameWrittenReadable)
{
    ProgramRun run(true);
    ASSERT_TRUE(run.WaitForFrames(3));
    run.Signal(SIGKILL);
    ASSERT_TRUE(run.process.waitForFinished(30000));
    EXPECT_EQ(run.process.exitStatus(), QProcess::CrashExit);
    const int chunks = CountFrameChunks(run.avi);
    EXPECT_GE(chunks, 3);
    EXPECT_FALSE(HasIndex(run.avi)) << "cut off before it was completed";
    const auto probe = RunFfprobe(run.avi);
    ASSERT_TRUE(probe.ran);
    EXPECT_EQ(probe.frames, chunks);
    EXPECT_EQ(probe.codecTag, QStringLiteral("MJPG"));
}

TEST(RecorderProcess, TermAndIntWithoutARecordingCloseTheProgram)
{
    for (const int number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(number == SIGTERM ? "SIGTERM" : "SIGINT");
        ProgramRun run(false);
        ASSERT_TRUE(run.WaitUntilRunning());
        run.Signal(number);
        ASSERT_TRUE(run.process.waitForFinished(30000));
        EXPECT_EQ(run.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(run.process.exitCode(), 0);
        EXPECT_FALSE(QFile::exists(run.avi));
        EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().toStdString();
    }
}

// The simulated phone keeps the recording waiting from the eleventh second of
// the program on (the recording starts some 6 s in, once the phone has been
// found and switched): SIGTERM a moment later ends it at once, with the file
// complete, where the phone's own limits would have held it 10 to 120 s. An
// unplugged phone leaves the web camera of switch S waiting for its return:
// the stop reaches it there too.
TEST(RecorderProcess, TermEndsARecordingThatThePhoneKeepsWaitingAndCompletesTheFile)
{
    const struct {
        const char* fault;
        const char* events;
    } cases[] = {
        {"mute", "11:mute"},
        {"a picture without end", "11:fault LongPicture"},
        {"no reply", "11:fault NoReply"},
        {"unplugged", "11:unplug"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        ProgramRun run(true, QString::fromLatin1(c.events));
        ASSERT_TRUE(run.WaitForFrames(2)) << "the web camera did not start on connect";
        ASSERT_LT(run.started.elapsed(), 11000) << "the machine is too slow for the script's times";
        while (run.started.elapsed() < 12500)
            QThread::msleep(20);
        const int frames = CountFrameChunks(run.avi);
        QElapsedTimer stop;
        stop.start();
        run.Signal(SIGTERM);
        // Well inside the phone's shortest limit (10 s): the fault no longer
        // holds the end.
        ASSERT_TRUE(run.process.waitForFinished(8000)) << "still running " << stop.elapsed() << " ms after SIGTERM";
        std::printf("[ stop      ] %s: exited %lld ms after SIGTERM\n", c.fault, static_cast<long long>(stop.elapsed()));
        EXPECT_EQ(run.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(run.process.exitCode(), 0);
        EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().toStdString();
        EXPECT_TRUE(HasIndex(run.avi)) << "the file was completed";
        const auto header = ReadStreamHeader(run.avi);
        ASSERT_TRUE(header);
        EXPECT_EQ(static_cast<int>(header->length), CountFrameChunks(run.avi));
        EXPECT_GE(CountFrameChunks(run.avi), frames);
    }
}

// Unplugged at 7 s and plugged again at 8 s: the phone is found, switched and
// connected a second time.
TEST(RecorderProcess, ScriptedUnplugAndPlugMakeTheProgramConnectAgain)
{
    ProgramRun run(false, QStringLiteral("7:unplug; 8:plug"), true);
    ASSERT_TRUE(run.WaitFor([&] { return run.ModelQueries() >= 1; })) << "never connected";
    EXPECT_EQ(run.ModelQueries(), 1);
    ASSERT_TRUE(run.WaitFor([&] { return run.ModelQueries() >= 2; })) << "not connected again after the plug";
    EXPECT_GE(run.started.elapsed(), 8000) << "connected again before the phone came back";
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.process.waitForFinished(30000));
    EXPECT_EQ(run.process.exitCode(), 0);
    EXPECT_EQ(run.ModelQueries(), 2);
}

TEST(RecorderProcess, MalformedScriptIsRefusedAtStartWithOneLineAndStatusTwo)
{
    const struct {
        const char* events;
        QStringList arguments;
        const char* reason;
    } cases[] = {
        {"5:explode", {QStringLiteral("--simulate-phone")}, "unknown action \"explode\""},
        {"soon:unplug", {QStringLiteral("--simulate-phone"), QStringLiteral("-S")}, "the time must be seconds"},
        {"1:fault Nope", {QStringLiteral("--record"), QStringLiteral("x.avi"), QStringLiteral("--simulate-phone")},
         "unknown fault \"Nope\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.events);
        QTemporaryDir dir;
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("ORVELLO_LOCK_DIR"), dir.path());
        env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), dir.filePath(QStringLiteral("settings.reg")));
        env.insert(QStringLiteral("ORVELLO_SIM_EVENTS"), QString::fromLatin1(c.events));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.start(BinaryDir() + QStringLiteral("/orvello"), c.arguments);
        ASSERT_TRUE(process.waitForFinished(30000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 2);
        const QString error = QString::fromUtf8(process.readAllStandardError());
        EXPECT_TRUE(error.startsWith(QStringLiteral("orvello: ORVELLO_SIM_EVENTS: event 1"))) << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << error.toStdString();
        EXPECT_EQ(error.count(QLatin1Char('\n')), 1) << "one line";
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
        EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("settings.reg")))) << "nothing started";
        EXPECT_FALSE(InstanceLockHeld(dir.path()));
    }
}

}  // namespace
}  // namespace orv::test
