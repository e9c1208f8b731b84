#pragma once
// One web-camera session: the recorder, the picture server with its stream,
// credentials and "this machine only" choice, the PipeWire camera, the
// restarts after faults, and the state that the window and the command line
// show. Both start and stop the web camera through this class alone and
// only show what it reports. User-interface thread.

#include "video/Recorder.h"
#include "video/RecorderView.h"
#include "web/PictureServer.h"

#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTimer;

namespace orv {
class Settings;
namespace phone {
class PhoneLink;
}
namespace vcam {
class VirtualCamera;
}
}  // namespace orv

namespace orv::webcam {

enum class State {
    Idle,             // no web camera
    Starting,         // the camera is being switched on
    Recording,        // frames go into the AVI file, the window and the server
    Serving,          // frames go to the window, the server and PipeWire only
    RestartPause,     // after a fault, the camera starts again soon
    WaitingForPhone,  // in that pause, the phone is away
    Stopping,         // the camera ends; the file is being completed
};
// "idle", "starting", "recording", "serving", "restart-pause", "waiting",
// "stopping": for logs and scripts.
const char* StateName(State state);

// How a session went, once it has ended.
struct Summary {
    // The files written, with their frames, in order.
    std::vector<video::RecordedFile> files;
    // Frames the camera gave (shown, served), recorded or not.
    long long frames = 0;
    // The fault that ended the recording; none when it was stopped.
    std::optional<video::RecorderProblem> endedBy;
    // A fault the restarts did not get past: the latest one, when no frame
    // was recorded after it. With endedBy empty the session was stopped
    // while it waited to start again after that fault.
    std::optional<video::RecorderProblem> unresolved;
};

// What the window and the command line hear of the session. Every call runs
// on the user-interface thread.
class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    virtual void SessionStateChanged(State state) = 0;
    // The recorder's step and the time since the start.
    virtual void SessionStatus(video::RecorderStep step, std::chrono::seconds elapsed) = 0;
    // restarting: the session goes on after a pause; otherwise it ends.
    virtual void SessionFault(const video::RecorderProblem& problem, bool restarting) = 0;
    // Every frame, after the server, its streams and the PipeWire camera
    // have it; show and fit as the recorder's view has them.
    virtual void SessionFrame(const QImage& frame, bool show, bool fit) = 0;
    // The PipeWire camera was asked for: running (with a warning, e.g. no
    // daemon yet) or not available, with the reason.
    virtual void SessionVirtualCamera(bool running, const QString& reason) = 0;
    // The session is Idle again: the files are complete.
    virtual void SessionEnded(const Summary& summary) = 0;
    // Recording on motion: an event began or ended.
    virtual void SessionMotion(const video::MotionEvent& event) { (void)event; }
};

class Session final : public QObject, private video::RecorderView {
    Q_OBJECT
public:
    struct Request {
        // The program's own start (switch S, the command line): a recording
        // never replaces a file and starts again after a fault.
        bool automatic = false;
        // Empty: the settings name the file; a folder gets dated names.
        QString file;
        video::Recorder::Recording recording = video::Recorder::Recording::FromSettings;
        // Empty: the settings cut the recording into files.
        std::optional<video::SplitPlan> plan;
        // Empty: the settings say whether only motion is recorded.
        std::optional<video::MotionPlan> motion;
        // The phone's model, which names the PipeWire camera.
        QString model;
    };
    enum class StartResult {
        Started,
        // The last session's file is still being completed: an automatic
        // start follows once it is, a user's start is refused.
        Deferred,
        Busy,          // a session runs
        ServerFailed,  // the picture server cannot listen; *error says why
        NoThread,      // no recorder thread could be made; *error says why
    };

    // Makes the session's recorder with its view, end handler and log: the
    // real one (MakeRecorder) unless a test puts a stand-in in its place.
    using RecorderMaker = std::function<WorkerThread*(video::RecorderView& view, std::function<void()> finished,
                                                      const Request& request,
                                                      std::shared_ptr<video::RecordingLog> log)>;

    // settings, link, codecs and observer must outlive the session.
    Session(const Settings& settings, phone::PhoneLink& link, const video::CodecCatalogue& codecs,
            SessionObserver& observer, QObject* parent = nullptr);
    // Stops a recorder that still runs; its file is completed on its own
    // thread, which nobody waits for here.
    ~Session() override;

    // Opens the picture server ahead of the start, when "ServerEnabled" is
    // on: it answers (503 for the picture, until there is a frame) while the
    // program waits for the phone. False, with *error, when it cannot listen.
    bool Listen(QString* error = nullptr);
    // Opens the picture server when "ServerEnabled" is on and it does not
    // listen yet (with the stream, credentials and local-only choice of the
    // settings), starts the recorder and, when "VirtualCamera" is on, the
    // PipeWire camera.
    StartResult Start(const Request& request, QString* error = nullptr);
    // Ends the recorder after the frame in progress, in every state: while
    // it starts the camera, records, pauses after a fault or waits for the
    // phone. Nothing happens while Idle or Stopping.
    void Stop();

    // The recorder a start makes: the real one, and the maker in its place.
    WorkerThread* MakeRecorder(video::RecorderView& view, std::function<void()> finished, const Request& request,
                               std::shared_ptr<video::RecordingLog> log) const;
    void SetRecorderMaker(RecorderMaker maker) { maker_ = std::move(maker); }
    // The session as the recorder's view, for a stand-in recorder.
    video::RecorderView& View() { return *this; }

    State CurrentState() const { return state_; }
    // A recorder runs that Stop() would end.
    bool Running() const { return state_ != State::Idle && state_ != State::Stopping; }
    // The recorder of this session writes no file (frames are shown and
    // served only).
    bool Live() const { return !recordsToFile_; }
    // "http://address:port/" while the server listens (127.0.0.1 when it
    // listens there only), else empty; the stream's address while it is on.
    QString ServerAddress() const { return serverAddress_; }
    QString StreamAddress() const { return streamAddress_; }
    // The latest frame, served as /CURRENT.JPG.
    const QImage& CurrentFrame() const { return frame_; }
    web::PictureServer& Server() { return *server_; }
    // The files written so far, with their frames.
    std::vector<video::RecordedFile> Files() const;
    // The recorder, while there is one, has shown life within limit (a
    // frozen recorder does not; one that waits for a mute or absent phone
    // does). True without a recorder.
    bool ShowsLife(std::chrono::milliseconds limit) const;

    // The PipeWire camera is offered.
    bool VirtualCameraRunning() const { return virtualCamera_ != nullptr; }
    // Frames the camera gave since the start.
    long long Frames() const { return frames_; }
    // The summary of the last session that ended.
    const Summary& LastSummary() const { return summary_; }

    // The model of the phone, told by the window and the command line when
    // the phone connects; /state names it while the phone is connected.
    void SetPhoneModel(const QString& model) { phoneModel_ = model; }
    // What the picture server answers to /state: the phone, the camera's
    // state and frames, the file being recorded (its name alone), the
    // server's connections and the program's version. Nothing of the
    // credentials, and no path.
    QJsonObject StateReport() const;

private:
    // --- the recorder's view ---
    void RecorderStatus(video::RecorderStep step, std::chrono::seconds elapsed) override;
    void RecorderFailed(const video::RecorderProblem& problem, bool restarting) override;
    void RecorderFrame(const QImage& frame, bool show, bool fit) override;
    void RecorderMotion(const video::MotionEvent& event) override { observer_.SessionMotion(event); }

    bool OpenServer(QString* error);
    void StartVirtualCamera(const QString& model);
    void RecorderFinished();
    // Idle once the recorder's object is gone (its file complete).
    void WatchCompletion();
    void Completed();
    void SetState(State state);

    const Settings& settings_;
    phone::PhoneLink& link_;
    const video::CodecCatalogue& codecs_;
    SessionObserver& observer_;
    web::PictureServer* server_;
    QTimer* completion_;
    State state_ = State::Idle;
    bool recordsToFile_ = false;
    bool stopRequested_ = false;
    WorkerHandle recorder_;
    std::shared_ptr<video::RecordingLog> log_;
    std::unique_ptr<vcam::VirtualCamera> virtualCamera_;
    QImage frame_;
    long long frames_ = 0;
    // When the state began, and when the latest frame came (wall clock);
    // the tick counts of the frames of the last kRateWindow.
    std::time_t since_ = 0;
    std::optional<std::time_t> lastFrameAt_;
    std::deque<uint32_t> frameTicks_;
    QString phoneModel_;
    QString serverAddress_;
    QString streamAddress_;
    // The fault that ended the recorder, and the latest one it went past.
    std::optional<video::RecorderProblem> endedBy_;
    std::optional<video::RecorderProblem> latestFault_;
    long long recordedAtFault_ = 0;  // frames in the files when it came
    // An automatic start asked for while the last file was completed.
    std::optional<Request> pending_;
    Summary summary_;
    RecorderMaker maker_;
};

// The address a browser on another machine reaches this one's server at:
// the first IPv4 address that is not a loopback one (the loopback address
// when there is none) and the port, as "http://192.168.1.20:8080/".
QString BrowserAddress(int port);

}  // namespace orv::webcam
