#include "Session.h"

#include "config/Settings.h"
#include "phone/PhoneLink.h"
#include "platform/Clock.h"
#include "vcam/VirtualCamera.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <system_error>

Q_LOGGING_CATEGORY(lcSession, "orvello.webcam", QtInfoMsg)

namespace orv::webcam {
namespace {

// How often a session that stops looks whether its file is complete.
constexpr std::chrono::milliseconds kCompletionPoll{20};

// The frames of this last stretch of time make the measured frame rate.
constexpr uint32_t kRateWindowMs = 10000;

// A wall-clock time as ISO 8601 in UTC, "2026-12-06T14:30:15Z".
QString IsoTime(std::time_t when)
{
    return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(when), Qt::UTC).toString(Qt::ISODate);
}

long long RecordedFrames(const std::vector<video::RecordedFile>& files)
{
    return std::accumulate(files.begin(), files.end(), 0LL,
                           [](long long sum, const video::RecordedFile& file) { return sum + file.frames; });
}

}  // namespace

const char* StateName(State state)
{
    switch (state) {
    case State::Idle: return "idle";
    case State::Starting: return "starting";
    case State::Recording: return "recording";
    case State::Serving: return "serving";
    case State::RestartPause: return "restart-pause";
    case State::WaitingForPhone: return "waiting";
    case State::Stopping: return "stopping";
    }
    return "idle";
}

QString BrowserAddress(int port)
{
    QString host = QStringLiteral("127.0.0.1");
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
            host = address.toString();
            break;
        }
    }
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

Session::Session(const Settings& settings, phone::PhoneLink& link, const video::CodecCatalogue& codecs,
                 SessionObserver& observer, QObject* parent)
    : QObject(parent), settings_(settings), link_(link), codecs_(codecs), observer_(observer),
      server_(new web::PictureServer(this)), completion_(new QTimer(this)), since_(TheClock().Now())
{
    server_->SetStateProvider([this] { return StateReport(); });
    // The latest frame, 503 before the first.
    connect(server_, &web::PictureServer::ClientRead, this,
            [this](web::ClientId client) { server_->AnswerRequest(client, frame_); });
    connect(server_, &web::PictureServer::ClientError, this,
            [this](web::ClientId client, QAbstractSocket::SocketError) { server_->CloseClient(client); });
    completion_->setInterval(kCompletionPoll);
    connect(completion_, &QTimer::timeout, this, [this] {
        if (!recorder_.Alive())
            Completed();
    });
}

Session::~Session()
{
    recorder_.Stop();
}

Session::StartResult Session::Start(const Request& request, QString* error)
{
    if (state_ == State::Stopping) {
        // The last recording still completes its file: a new one waits.
        if (!request.automatic)
            return StartResult::Busy;
        pending_ = request;
        return StartResult::Deferred;
    }
    if (state_ != State::Idle)
        return StartResult::Busy;
    if (!Listen(error))
        return StartResult::ServerFailed;

    stopRequested_ = false;
    frames_ = 0;
    frameTicks_.clear();
    endedBy_.reset();
    latestFault_.reset();
    recordedAtFault_ = 0;
    log_ = std::make_shared<video::RecordingLog>();
    try {
        // The recorder's first reports (a file that cannot be made, no
        // encoder) come during its construction, through this view.
        auto finished = [this] { RecorderFinished(); };
        WorkerThread* thread = maker_ ? maker_(*this, finished, request, log_) : MakeRecorder(*this, finished, request, log_);
        // Its thread waits for this thread before it could end: the object
        // is still there.
        recorder_ = thread->Handle();
        const auto* recorder = dynamic_cast<const video::Recorder*>(thread);
        recordsToFile_ = recorder ? recorder->RecordsToFile() : request.recording == video::Recorder::Recording::FromSettings;
    } catch (const std::system_error& failure) {
        if (error)
            *error = QString::fromLocal8Bit(failure.what());
        server_->Close();
        serverAddress_.clear();
        streamAddress_.clear();
        return StartResult::NoThread;
    }
    SetState(State::Starting);
    StartVirtualCamera(request.model);
    return StartResult::Started;
}

WorkerThread* Session::MakeRecorder(video::RecorderView& view, std::function<void()> finished, const Request& request,
                                    std::shared_ptr<video::RecordingLog> log) const
{
    return new video::Recorder(view, settings_, link_, codecs_, std::move(finished), request.file, request.recording,
                               request.automatic, request.plan, std::move(log), request.motion);
}

bool Session::Listen(QString* error)
{
    if (!settings_.GetServerEnabled() || server_->isListening())
        return true;
    return OpenServer(error);
}

bool Session::ShowsLife(std::chrono::milliseconds limit) const
{
    const std::optional<uint32_t> life = recorder_.LastLife();
    if (!life)
        return true;
    // Unsigned: right across the tick count's wrap.
    return TheClock().TickCount() - *life < static_cast<uint32_t>(limit.count());
}

bool Session::OpenServer(QString* error)
{
    const bool localOnly = settings_.GetServerLocalOnly();
    const int port = settings_.GetServerPort();
    server_->SetStreamEnabled(settings_.GetServerStream());
    server_->SetCredentials(settings_.GetServerUser(), settings_.GetServerPasswordHash());
    QString failure;
    if (!server_->Open(port, &failure, localOnly)) {
        if (error)
            *error = failure;
        return false;
    }
    serverAddress_ = localOnly ? QStringLiteral("http://127.0.0.1:%1/").arg(port) : BrowserAddress(port);
    streamAddress_ = server_->StreamEnabled() ? serverAddress_ + QStringLiteral("stream.mjpg") : QString();
    return true;
}

void Session::StartVirtualCamera(const QString& model)
{
    if (!settings_.GetVirtualCamera())
        return;
    QString error;
    QString warning;
    virtualCamera_ = vcam::VirtualCamera::Start(model, &error, &warning);
    if (virtualCamera_)
        observer_.SessionVirtualCamera(true, warning);
    else
        observer_.SessionVirtualCamera(false, error);
}

void Session::Stop()
{
    pending_.reset();
    if (!Running())
        return;
    stopRequested_ = true;
    recorder_.Stop();
    SetState(State::Stopping);
}

std::vector<video::RecordedFile> Session::Files() const
{
    return log_ ? log_->Files() : std::vector<video::RecordedFile>{};
}

void Session::RecorderStatus(video::RecorderStep step, std::chrono::seconds elapsed)
{
    using video::RecorderStep;
    if (!stopRequested_ && state_ != State::Stopping) {
        switch (step) {
        case RecorderStep::CameraStarting: SetState(State::Starting); break;
        case RecorderStep::Shooting:
        case RecorderStep::Deleting:
        case RecorderStep::FrameTaken:
        case RecorderStep::WaitingForMotion:
        case RecorderStep::MotionRecording:
            SetState(recordsToFile_ ? State::Recording : State::Serving);
            break;
        case RecorderStep::RestartPause: SetState(State::RestartPause); break;
        case RecorderStep::WaitingForPhone: SetState(State::WaitingForPhone); break;
        case RecorderStep::CameraStopped:
        case RecorderStep::PhoneLate: break;
        }
    }
    observer_.SessionStatus(step, elapsed);
}

void Session::RecorderFailed(const video::RecorderProblem& problem, bool restarting)
{
    if (restarting) {
        latestFault_ = problem;
        recordedAtFault_ = RecordedFrames(Files());
    } else {
        endedBy_ = problem;
    }
    observer_.SessionFault(problem, restarting);
}

void Session::RecorderFrame(const QImage& frame, bool show, bool fit)
{
    frame_ = frame;
    ++frames_;
    lastFrameAt_ = TheClock().Now();
    const uint32_t now = TheClock().TickCount();
    frameTicks_.push_back(now);
    // Unsigned: right across the tick count's wrap.
    while (now - frameTicks_.front() > kRateWindowMs)
        frameTicks_.pop_front();
    server_->FrameChanged(frame_);
    if (virtualCamera_)
        virtualCamera_->SetFrame(frame_);
    observer_.SessionFrame(frame_, show, fit);
}

void Session::RecorderFinished()
{
    // The PipeWire node goes, and its consumers see the stream end; the
    // server's viewers get the stream's closing boundary.
    virtualCamera_.reset();
    server_->Close();
    serverAddress_.clear();
    streamAddress_.clear();
    SetState(State::Stopping);
    // The recorder completes its file once this handler has returned.
    completion_->start();
}

void Session::Completed()
{
    completion_->stop();
    recorder_ = WorkerHandle();
    summary_ = Summary{};
    summary_.files = Files();
    summary_.frames = frames_;
    summary_.endedBy = endedBy_;
    if (latestFault_ && RecordedFrames(summary_.files) == recordedAtFault_)
        summary_.unresolved = latestFault_;
    qCInfo(lcSession) << "the web camera ended after" << frames_ << "frames in" << summary_.files.size() << "files";
    SetState(State::Idle);
    observer_.SessionEnded(summary_);
    // An automatic start that waited for the file, while there is a phone.
    if (std::optional<Request> request = std::exchange(pending_, std::nullopt);
        request && state_ == State::Idle && link_.IsConnected())
        Start(*request);
}

void Session::SetState(State state)
{
    if (state == state_)
        return;
    state_ = state;
    since_ = TheClock().Now();
    qCDebug(lcSession) << "state" << StateName(state);
    observer_.SessionStateChanged(state);
}

QJsonObject Session::StateReport() const
{
    const bool connected = link_.IsConnected();
    // Ahead of its start, a session whose server listens waits for the
    // phone; the pause after a fault and the wait for a phone that went
    // away are waits too, while the camera that starts has no frame yet.
    QString camera;
    switch (state_) {
    case State::Idle:
        camera = server_->isListening() && !connected ? QStringLiteral("waiting") : QStringLiteral("idle");
        break;
    case State::Starting:
    case State::WaitingForPhone: camera = QStringLiteral("waiting"); break;
    case State::Recording:
    case State::Serving:
    case State::RestartPause: camera = QLatin1String(StateName(state_)); break;
    case State::Stopping: camera = QStringLiteral("idle"); break;
    }

    // Frames per second over the last ones; none once they stopped coming.
    double fps = 0;
    const uint32_t now = TheClock().TickCount();
    const auto recent = std::find_if(frameTicks_.begin(), frameTicks_.end(),
                                     [now](uint32_t tick) { return now - tick <= kRateWindowMs; });
    if (const auto count = std::distance(recent, frameTicks_.end()); count >= 2) {
        if (const uint32_t span = frameTicks_.back() - *recent; span > 0)
            fps = std::round(static_cast<double>(count - 1) * 100000.0 / span) / 100.0;
    }

    QJsonValue recording = QJsonValue::Null;
    if (const std::vector<video::RecordedFile> files = Files();
        recordsToFile_ && Running() && !files.empty()) {
        // The file being written, by its name alone: where the recordings
        // folder lies is this machine's business. Once STOP is given the
        // file is being completed and no longer recorded into.
        const QFileInfo file(files.back().path);
        recording = QJsonObject{{QStringLiteral("file"), file.fileName()}, {QStringLiteral("bytes"), file.size()}};
    }

    const auto nullIfNone = [](bool none, const QJsonValue& value) { return none ? QJsonValue(QJsonValue::Null) : value; };
    return QJsonObject{
        {QStringLiteral("phone"),
         QJsonObject{{QStringLiteral("connected"), connected},
                     {QStringLiteral("model"), nullIfNone(!connected || phoneModel_.isEmpty(), phoneModel_)}}},
        {QStringLiteral("camera"),
         QJsonObject{{QStringLiteral("state"), camera},
                     {QStringLiteral("since"), IsoTime(since_)},
                     {QStringLiteral("frames"), frames_},
                     {QStringLiteral("fps"), fps},
                     {QStringLiteral("last_frame"), nullIfNone(!lastFrameAt_, IsoTime(lastFrameAt_.value_or(0)))},
                     {QStringLiteral("width"), nullIfNone(frame_.isNull(), frame_.width())},
                     {QStringLiteral("height"), nullIfNone(frame_.isNull(), frame_.height())}}},
        {QStringLiteral("recording"), recording},
        {QStringLiteral("server"),
         QJsonObject{{QStringLiteral("clients"), server_->ClientCount()},
                     {QStringLiteral("streams"), server_->StreamStatus().streams}}},
        {QStringLiteral("version"), QStringLiteral(ORV_VERSION)},
    };
}

}  // namespace orv::webcam
