// The whole program on the simulated phone, recording from the moment the
// phone connects (switch S), ended by SIGTERM, SIGINT or SIGKILL: the files it
// leaves, read back; and the plain end of a program that records nothing.

#include "AviReadBack.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/TestEnv.h"

#include "platform/Clock.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <iterator>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace orv::test {
namespace {

// The program's tick count of the trace line from `at` on.
uint32_t TickAt(const QString& trace, qsizetype at)
{
    static const QRegularExpression tick(QStringLiteral(" t=(\\d+) "));
    return tick.match(trace, at).captured(1).toUInt();
}

// The program on the simulated phone with short waits, recording into
// record.avi from the moment the phone connects when record (switch S);
// events: the phone's script, if any.
class RecorderRun : public ProgramRun {
public:
    explicit RecorderRun(bool record, const QString& events = QString())
    {
        avi = Path(QStringLiteral("record.avi"));
        WriteSettings("\"ShowSplash\"=dword:00000000\n\"AutoPhoneConnect\"=dword:00000001\n"
                      "\"CameraInitTime\"=dword:00000000\n\"Timeout\"=dword:00000000\n"
                      "\"AviTempName\"=\"" + avi.toUtf8() + "\"\n");
        if (!events.isNull())
            environment.insert(QStringLiteral("ORVELLO_SIM_EVENTS"), events);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{QStringLiteral("--simulate-phone")};
        if (record)
            arguments << QStringLiteral("-S");
        EXPECT_TRUE(Start(arguments));
    }

    bool WaitForFrames(int frames)
    {
        return WaitFor([&] { return CountFrameChunks(avi) >= frames; });
    }

    // Where in the trace the record queries (command 0x20) begin: one per
    // connection.
    std::vector<qsizetype> ModelQueryPositions() const
    {
        static const QRegularExpression query(QStringLiteral(" t=\\d+ OUT 41 02 [^\n]* \\| .. .. 00 20 "));
        std::vector<qsizetype> positions;
        for (auto it = query.globalMatch(Trace()); it.hasNext();)
            positions.push_back(it.next().capturedStart());
        return positions;
    }
    int ModelQueries() const { return static_cast<int>(ModelQueryPositions().size()); }

    // Milliseconds on the program's clock since the run was started at the
    // latest, and at the earliest (from its first transfer on).
    uint32_t AtMost() const { return SystemClock().TickCount() - launched; }
    uint32_t AtLeast() const
    {
        const QString trace = Trace();
        return trace.isEmpty() ? 0 : SystemClock().TickCount() - TickAt(trace, 0);
    }

    QString avi;
    const uint32_t launched = SystemClock().TickCount();
};

TEST(RecorderProcess, TermAndIntEndTheRecordingWithACompleteFileAndExitZero)
{
    // The runs go side by side: they wait on the phone, not on the processor.
    RecorderRun runs[] = {RecorderRun(true), RecorderRun(true)};
    for (const int number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(number == SIGTERM ? "SIGTERM" : "SIGINT");
        RecorderRun& run = runs[number == SIGTERM ? 0 : 1];
        ASSERT_TRUE(run.WaitForFrames(3)) << "the web camera did not start on connect";
        run.Signal(number);
        ASSERT_TRUE(run.Finish());
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
    RecorderRun run(true);
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
        RecorderRun run(false);
        ASSERT_TRUE(run.WaitFor([&] { return run.LockHeld(); }));
        run.Signal(number);
        ASSERT_TRUE(run.process.waitForFinished(30000));
        EXPECT_EQ(run.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(run.process.exitCode(), 0);
        EXPECT_FALSE(QFile::exists(run.avi));
        EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().toStdString();
    }
}

// The simulated phone keeps the recording waiting from the fourth second of
// the program on: SIGTERM after that ends it with the file complete, the
// wait cut by the stop (where the phone's own limits would have held it 10
// to 120 s). An unplugged phone leaves the web camera of switch S waiting
// for its return: the stop reaches it there too. The other faults of the
// phone are stopped in-process (RecorderStopTest).
TEST(RecorderProcess, TermEndsARecordingThatThePhoneKeepsWaitingAndCompletesTheFile)
{
    const struct {
        const char* fault;
        const char* events;
        const char* effect;  // in the phone's trace
    } cases[] = {
        {"mute", "4:mute", "-> cancelled"},
        {"unplugged", "4:unplug", "-> no-device"},
    };
    // The runs go side by side: they wait on the phone, not on the processor.
    std::vector<std::unique_ptr<RecorderRun>> runs;
    for (const auto& c : cases)
        runs.push_back(std::make_unique<RecorderRun>(true, QString::fromLatin1(c.events)));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.fault);
        RecorderRun& run = *runs[i];
        ASSERT_TRUE(run.WaitFor([&] { return CountFrameChunks(run.avi) >= 2 || run.AtMost() >= 4000; }));
        if (CountFrameChunks(run.avi) < 2)
            GTEST_SKIP() << "the machine did not record two frames before the fault's time";
        ASSERT_TRUE(run.WaitFor([&] { return run.AtLeast() >= 4500; }));
        const int frames = CountFrameChunks(run.avi);
        run.Signal(SIGTERM);
        ASSERT_TRUE(run.Finish());
        EXPECT_EQ(run.process.exitCode(), 0);
        EXPECT_TRUE(run.Messages().isEmpty()) << run.Messages().toStdString();
        EXPECT_TRUE(run.Trace().contains(QLatin1String(c.effect))) << "the fault held the recording";
        EXPECT_FALSE(run.Trace().contains(QLatin1String("-> timeout"))) << "the stop ended the wait, not a limit";
        EXPECT_TRUE(HasIndex(run.avi)) << "the file was completed";
        const auto header = ReadStreamHeader(run.avi);
        ASSERT_TRUE(header);
        EXPECT_EQ(static_cast<int>(header->length), CountFrameChunks(run.avi));
        EXPECT_GE(CountFrameChunks(run.avi), frames);
    }
}

// Unplugged at 2 s and plugged again at 2.5 s: the phone is found, switched
// and connected a second time, after it went away.
TEST(RecorderProcess, ScriptedUnplugAndPlugMakeTheProgramConnectAgain)
{
    RecorderRun run(false, QStringLiteral("2:unplug; 2.5:plug"));
    ASSERT_TRUE(run.WaitFor([&] { return run.ModelQueries() >= 1; })) << "never connected";
    if (run.AtMost() >= 2000)
        GTEST_SKIP() << "the machine did not connect before the unplug's time";
    EXPECT_EQ(run.ModelQueries(), 1);
    ASSERT_TRUE(run.WaitFor([&] { return run.ModelQueries() >= 2; })) << "not connected again after the plug";
    EXPECT_GE(TickAt(run.Trace(), run.ModelQueryPositions().at(1)) - run.launched, 2500u)
        << "connected again before the phone came back";
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.Finish());
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
        ProgramRun run;
        run.environment.insert(QStringLiteral("ORVELLO_SIM_EVENTS"), QString::fromLatin1(c.events));
        run.process.setWorkingDirectory(run.Folder());
        ASSERT_TRUE(run.Start(c.arguments)) << run.process.errorString().toStdString();
        QProcess& process = run.process;
        ASSERT_TRUE(process.waitForFinished(30000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 2);
        const QString error = QString::fromUtf8(process.readAllStandardError());
        EXPECT_TRUE(error.startsWith(QStringLiteral("orvello: ORVELLO_SIM_EVENTS: event 1"))) << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << error.toStdString();
        EXPECT_EQ(error.count(QLatin1Char('\n')), 1) << "one line";
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
        EXPECT_FALSE(QFile::exists(run.settingsFile)) << "nothing started";
        EXPECT_FALSE(run.LockHeld());
    }
}

}  // namespace
}  // namespace orv::test
