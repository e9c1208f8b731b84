// The whole program on the simulated phone, recording from the moment the
// phone connects (switch S), ended by SIGTERM, SIGINT or SIGKILL: the files it
// leaves, read back; and the plain end of a program that records nothing.

#include "AviReadBack.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>

#include <unistd.h>

#include <gtest/gtest.h>

namespace orv::test {
namespace {

class ProgramRun {
public:
    explicit ProgramRun(bool record)
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
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{QStringLiteral("--simulate-phone")};
        if (record)
            arguments << QStringLiteral("-S");
        process.start(BinaryDir() + QStringLiteral("/orvello"), arguments);
        EXPECT_TRUE(process.waitForStarted());
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

    QString Messages() const
    {
        QFile file(log_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QProcess process;
    QString avi;

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

}  // namespace
}  // namespace orv::test
