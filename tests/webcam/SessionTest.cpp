// The web-camera session against the simulated phone, on a clock that moves
// only by the waits the program asks for: the states it goes through from a
// start, with the phone going away and coming back, a fault, and STOP in
// each state; and what it says of the files it wrote.

#include "webcam/Session.h"

#include "config/Settings.h"
#include "phone/PhoneLink.h"
#include "sim/SimBus.h"
#include "tests/support/RunTool.h"
#include "tests/support/StepClock.h"
#include "tests/support/TestEnv.h"
#include "video/CodecCatalogue.h"
#include "web/Credentials.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

namespace orv::test {
namespace {

using video::RecorderFault;
using webcam::Session;
using webcam::State;

// 6 December 2026, 14:30:15 UTC.
constexpr std::time_t kNow = 1796567415;

video::CodecCatalogue& Catalogue()
{
    static auto* codecs = new video::CodecCatalogue;
    return *codecs;
}

// What the window would hear, and a script that acts on it.
class Observer final : public webcam::SessionObserver {
public:
    void SessionStateChanged(State state) override
    {
        states.push_back(state);
        if (onState)
            onState(state);
    }
    void SessionStatus(video::RecorderStep, std::chrono::seconds) override {}
    void SessionFault(const video::RecorderProblem& problem, bool restarting) override
    {
        faults.push_back({problem.fault, restarting});
    }
    void SessionFrame(const QImage&, bool, bool) override
    {
        ++frames;
        if (onFrame)
            onFrame(frames);
    }
    void SessionVirtualCamera(bool, const QString&) override {}
    void SessionEnded(const webcam::Summary& summary) override { ended = summary; }

    std::vector<State> states;
    std::vector<std::pair<RecorderFault, bool>> faults;
    int frames = 0;
    std::optional<webcam::Summary> ended;
    std::function<void(State)> onState;
    std::function<void(int)> onFrame;
};

class SessionTest : public ::testing::Test {
public:
    void PhoneAway() { link_.Close(); }
    void PhoneBack() { link_.Attach(bus_->Open(bus_->ListInterfaces().front().devicePath)); }
    sim::SimPhone& Phone() { return bus_->Phone(0); }

protected:
    void SetUp() override
    {
        FreshSettingsFile();
        SetClock(&clock_);
        sim::SimPhone::Options options;
        options.startInTestMode = true;
        bus_ = std::make_unique<sim::SimBus>(options);
        PhoneBack();
        ASSERT_TRUE(folder_.isValid());
        settings_.SetAviTempName(folder_.filePath(QStringLiteral("record.avi")));
        settings_.SetCameraInitTime(0);
        settings_.SetTimeout(0);
        settings_.SetCodecIndex(Catalogue().IndexOf(QStringLiteral("mjpeg")));
    }
    void TearDown() override
    {
        link_.Close();
        SetClock(nullptr);
    }

    // Runs the session until it is idle again; false when it never is.
    bool RunToEnd(Session& session)
    {
        return QTest::qWaitFor([&] { return observer_.ended.has_value(); }, 60000) &&
               session.CurrentState() == State::Idle;
    }

    StepClock clock_{kNow, true};
    Settings settings_;
    std::unique_ptr<sim::SimBus> bus_;
    phone::PhoneLink link_;
    Observer observer_;
    QTemporaryDir folder_;
};

QString Name(const video::RecordedFile& file) { return QFileInfo(file.path).fileName(); }

// The same reader in Python and in Node: for each JSON document (one a
// line) the state and what a dashboard would show, whether the frame rate is
// a number and the file's size one above 0, and whether any text holds a
// slash; then every key path of all the documents.
constexpr const char* kPythonReader = R"(
import json, sys
paths = set()
def walk(value, path):
    if isinstance(value, str):
        return '/' in value
    if not isinstance(value, dict):
        return False
    slash = False
    for key, inner in value.items():
        paths.add(path + key)
        slash = walk(inner, path + key + '.') or slash
    return slash
for line in sys.stdin:
    state = json.loads(line)
    phone, camera, recording, server = state['phone'], state['camera'], state['recording'], state['server']
    numbers = isinstance(camera['fps'], (int, float)) and camera['fps'] >= 0 and (recording is None or recording['bytes'] > 0)
    shown = [phone['connected'], phone['model'], recording and recording['file'], camera['frames'], camera['width'],
             camera['height'], camera['since'], camera['last_frame'], server['clients'], server['streams']]
    print(camera['state'], json.dumps(shown, separators=(',', ':')), numbers, walk(state, ''))
print(' '.join(sorted(paths)))
)";
constexpr const char* kNodeReader = R"(
const paths = new Set();
const walk = (value, path) => {
  if (typeof value === 'string') return value.includes('/');
  if (value === null || typeof value !== 'object') return false;
  let slash = false;
  for (const [key, inner] of Object.entries(value)) {
    paths.add(path + key);
    slash = walk(inner, path + key + '.') || slash;
  }
  return slash;
};
const py = (b) => (b ? 'True' : 'False');
for (const line of require('fs').readFileSync(0, 'utf8').split('\n').filter((l) => l)) {
  const state = JSON.parse(line);
  const { phone, camera, recording, server } = state;
  const numbers = typeof camera.fps === 'number' && camera.fps >= 0 && (recording === null || recording.bytes > 0);
  const shown = [phone.connected, phone.model, recording && recording.file, camera.frames, camera.width,
                 camera.height, camera.since, camera.last_frame, server.clients, server.streams];
  console.log(camera.state, JSON.stringify(shown), py(numbers), py(walk(state, '')));
}
console.log([...paths].sort().join(' '));
)";

// A frozen wall clock (6 December 2026, 14:30:15 UTC) whose ticks move by
// the waits asked for: the times in the state are known.
StepClock& FrozenWallClock()
{
    static auto* clock = new StepClock(kNow);
    return *clock;
}

// The state a dashboard reads, in each state a session goes through: waiting
// for the phone ahead of the start, recording, the pause after the phone
// went, waiting for it, recording again into a new file, serving without a
// file, and idle; read by Python's json and Node's JSON.parse. Neither the
// user name, the password hash nor the recordings folder is in it.
TEST_F(SessionTest, StateReportReadsAlikeInPythonAndNodeInEachStateAndTellsNothingPrivate)
{
    QString python = QStringLiteral("/usr/bin/python3");
    if (!QFile::exists(python))
        python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
    if (python.isEmpty() || node.isEmpty())
        GTEST_SKIP() << "python3 or node is not installed (packaging/install-deps.sh installs them)";
    SetClock(&FrozenWallClock());
    const QString hash = web::MakePasswordHash(QStringLiteral("secret"), 1000);
    settings_.SetServerEnabled(true);
    settings_.SetServerLocalOnly(true);
    settings_.SetServerUser(QStringLiteral("viewer"));
    settings_.SetServerPasswordHash(hash);
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        settings_.SetServerPort(probe.serverPort());
    }
    QByteArray documents;
    Session session(settings_, link_, Catalogue(), observer_);
    const auto report = [&] {
        const QByteArray document = QJsonDocument(session.StateReport()).toJson(QJsonDocument::Compact);
        for (const QString& secret : {QStringLiteral("viewer"), hash, folder_.path()})
            EXPECT_FALSE(document.contains(secret.toUtf8())) << document.toStdString();
        documents += document + '\n';
    };

    // The server listens ahead of the start while the phone is away.
    PhoneAway();
    ASSERT_TRUE(session.Listen());
    report();
    PhoneBack();
    session.SetPhoneModel(QStringLiteral("S55"));
    report();
    // The phone goes at the second frame and comes back while the session
    // waits for it; STOP at the second frame of the new file.
    observer_.onState = [&](State state) {
        report();
        if (state == State::WaitingForPhone)
            PhoneBack();
    };
    observer_.onFrame = [&](int frame) {
        if (frame == 2)
            PhoneAway();
        if (frame == 4) {
            report();
            session.Stop();
        }
    };
    Session::Request automatic;
    automatic.automatic = true;
    ASSERT_EQ(session.Start(automatic), Session::StartResult::Started);
    ASSERT_TRUE(RunToEnd(session));
    // Frames served without a file.
    observer_ = Observer();
    observer_.onState = [&](State) { report(); };
    observer_.onFrame = [&](int frame) {
        if (frame == 1) {
            report();
            session.Stop();
        }
    };
    Session::Request live;
    live.recording = video::Recorder::Recording::NoFile;
    ASSERT_EQ(session.Start(live), Session::StartResult::Started);
    ASSERT_TRUE(RunToEnd(session));

    // A line for each report, in order: the state, then the phone, the
    // file, frames, size, since, last frame, clients and streams. The
    // server's connections are counted by the web tests.
    const QByteArray expected =
        "waiting [false,null,null,0,null,null,\"2026-12-06T14:30:15Z\",null,0,0] True False\n"
        "idle [true,\"S55\",null,0,null,null,\"2026-12-06T14:30:15Z\",null,0,0] True False\n"
        "waiting [true,\"S55\",null,0,null,null,\"2026-12-06T14:30:15Z\",null,0,0] True False\n"
        "recording [true,\"S55\",null,0,null,null,\"2026-12-06T14:30:15Z\",null,0,0] True False\n"
        "restart-pause [false,null,\"record.avi\",2,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "waiting [false,null,\"record.avi\",2,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "restart-pause [true,\"S55\",\"record.avi\",2,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "waiting [true,\"S55\",\"record.avi\",2,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "recording [true,\"S55\",\"record.avi\",2,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "recording [true,\"S55\",\"record-2.avi\",4,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "idle [true,\"S55\",null,4,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "idle [true,\"S55\",null,4,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "waiting [true,\"S55\",null,0,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "serving [true,\"S55\",null,0,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "serving [true,\"S55\",null,1,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "idle [true,\"S55\",null,1,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "idle [true,\"S55\",null,1,640,480,\"2026-12-06T14:30:15Z\",\"2026-12-06T14:30:15Z\",0,0] True False\n"
        "camera camera.fps camera.frames camera.height camera.last_frame camera.since camera.state camera.width phone "
        "phone.connected phone.model recording recording.bytes recording.file server server.clients server.streams "
        "version\n";
    for (const QString& reader : {python, node}) {
        SCOPED_TRACE(reader.toStdString());
        QString failure;
        const QByteArray read = RunTool(
            reader, {reader == node ? QStringLiteral("-e") : QStringLiteral("-c"),
                     QString::fromLatin1(reader == node ? kNodeReader : kPythonReader)},
            &failure, documents);
        EXPECT_EQ(read.toStdString(), expected.toStdString()) << failure.toStdString();
    }
}

// Each row scripts the phone and the moment of STOP against the session's
// reports, all on the user-interface thread while the recorder waits.
TEST_F(SessionTest, StatesFromStartToEndWithThePhoneAwayAFaultAndStopInEachState)
{
    struct Row {
        const char* what;
        bool automatic;
        // Acts on the n-th frame (the session and the test alike count them).
        std::function<void(SessionTest&, Session&, int)> onFrame;
        // Acts on entering a state.
        std::function<void(SessionTest&, Session&, State)> onState;
        std::vector<State> states;
        std::vector<std::pair<QString, long long>> files;  // name and frames
        std::vector<std::pair<RecorderFault, bool>> faults;
        std::optional<RecorderFault> endedBy;
        std::optional<RecorderFault> unresolved;
    };
    const auto stopAtFrame = [](int n) {
        return [n](SessionTest&, Session& session, int frame) {
            if (frame == n)
                session.Stop();
        };
    };
    const auto stopIn = [](State wanted) {
        return [wanted](SessionTest&, Session& session, State state) {
            if (state == wanted)
                session.Stop();
        };
    };
    const auto awayAtFrame = [](int n) {
        return [n](SessionTest& test, Session& session, int frame) {
            if (frame == n)
                test.PhoneAway();
            if (frame == n + 2)
                session.Stop();
        };
    };
    const Row rows[] = {
        {"stop while recording", false, stopAtFrame(2), {},
         {State::Starting, State::Recording, State::Stopping, State::Idle}, {{"record.avi", 2}}, {}, {}, {}},
        {"stop while the camera starts", false, {}, stopIn(State::Starting),
         {State::Starting, State::Stopping, State::Idle}, {}, {}, {}, {}},
        {"a fault ends a start of the user's", false,
         [](SessionTest& test, Session&, int frame) {
             if (frame == 2)
                 test.Phone().InjectFault(sim::SimPhone::Fault::GarbagePicture);
         },
         {}, {State::Starting, State::Recording, State::Stopping, State::Idle}, {{"record.avi", 2}},
         {{RecorderFault::CameraError, false}}, RecorderFault::CameraError, {}},
        {"stop in the pause after a fault", true,
         [](SessionTest& test, Session&, int frame) {
             if (frame == 2)
                 test.Phone().InjectFault(sim::SimPhone::Fault::GarbagePicture);
         },
         stopIn(State::RestartPause),
         {State::Starting, State::Recording, State::RestartPause, State::Stopping, State::Idle},
         {{"record.avi", 2}}, {{RecorderFault::CameraError, true}}, {}, RecorderFault::CameraError},
        {"stop while waiting for the phone", true, awayAtFrame(2), stopIn(State::WaitingForPhone),
         {State::Starting, State::Recording, State::RestartPause, State::WaitingForPhone, State::Stopping,
          State::Idle},
         {{"record.avi", 2}}, {{RecorderFault::CameraError, true}}, {}, RecorderFault::CameraError},
        {"the phone comes back and the camera records into a new file", true, awayAtFrame(2),
         [](SessionTest& test, Session&, State state) {
             if (state == State::WaitingForPhone)
                 test.PhoneBack();
         },
         {State::Starting, State::Recording, State::RestartPause, State::WaitingForPhone, State::RestartPause,
          State::Starting, State::Recording, State::Stopping, State::Idle},
         {{"record.avi", 2}, {"record-2.avi", 2}}, {{RecorderFault::CameraError, true}}, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        observer_ = Observer();
        QDir(folder_.path()).removeRecursively();
        QDir().mkpath(folder_.path());
        if (!link_.IsConnected())
            PhoneBack();
        Session session(settings_, link_, Catalogue(), observer_);
        if (row.onFrame)
            observer_.onFrame = [&](int frame) { row.onFrame(*this, session, frame); };
        if (row.onState)
            observer_.onState = [&](State state) { row.onState(*this, session, state); };
        Session::Request request;
        request.automatic = row.automatic;
        ASSERT_EQ(session.Start(request), Session::StartResult::Started);
        ASSERT_TRUE(RunToEnd(session));

        EXPECT_EQ(observer_.states, row.states);
        EXPECT_EQ(observer_.faults, row.faults);
        std::vector<std::pair<QString, long long>> files;
        for (const video::RecordedFile& file : observer_.ended->files)
            files.emplace_back(Name(file), file.frames);
        EXPECT_EQ(files, row.files);
        EXPECT_EQ(observer_.ended->endedBy ? std::optional(observer_.ended->endedBy->fault) : std::nullopt,
                  row.endedBy);
        EXPECT_EQ(observer_.ended->unresolved ? std::optional(observer_.ended->unresolved->fault) : std::nullopt,
                  row.unresolved);
        // STOP once it has ended does nothing.
        session.Stop();
        EXPECT_EQ(session.CurrentState(), State::Idle);
    }
}

// An automatic start asked for while the last file is being completed waits
// for it; a start of the user's is refused then.
TEST_F(SessionTest, AStartWhileTheLastFileIsCompletedWaitsOrIsRefused)
{
    Session session(settings_, link_, Catalogue(), observer_);
    observer_.onFrame = [&](int frame) {
        if (frame == 1)
            session.Stop();
    };
    std::vector<Session::StartResult> results;
    observer_.onState = [&](State state) {
        if (state != State::Stopping || !results.empty())
            return;
        results.push_back(session.Start({}));
        Session::Request automatic;
        automatic.automatic = true;
        results.push_back(session.Start(automatic));
    };
    ASSERT_EQ(session.Start({}), Session::StartResult::Started);
    ASSERT_TRUE(QTest::qWaitFor([&] { return observer_.frames >= 2; }, 60000)) << "the waiting start followed";
    EXPECT_EQ(results, (std::vector{Session::StartResult::Busy, Session::StartResult::Deferred}));
    session.Stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return session.CurrentState() == State::Idle; }, 60000));
}

}  // namespace
}  // namespace orv::test
