#include "Session.h"

#include "config/Settings.h"
#include "phone/PhoneLink.h"
#include "platform/Clock.h"
#include "vcam/VirtualCamera.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QTimer>

#include <numeric>
#include <system_error>

Q_LOGGING_CATEGORY(lcSession, "orvello.webcam", QtInfoMsg)

namespace orv::webcam {
namespace {

// How often a session that stops looks whether its file is complete.
constexpr std::chrono::milliseconds kCompletionPoll{20};

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
      server_(new web::PictureServer(this)), completion_(new QTimer(this))
{
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
                               request.automatic, request.plan, std::move(log));
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
    qCDebug(lcSession) << "state" << StateName(state);
    observer_.SessionStateChanged(state);
}

}  // namespace orv::webcam
