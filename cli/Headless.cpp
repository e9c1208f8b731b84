#include "Headless.h"

#include "video/Recorder.h"
#include "capture/CaptureView.h"
#include "platform/Clock.h"
#include "video/CodecCatalogue.h"
#include "phone/DeviceMonitor.h"
#include "platform/FileWrite.h"
#include "platform/InstanceLock.h"
#include "platform/SystemdNotify.h"
#include "phone/PhoneLink.h"
#include "capture/PhotoThread.h"
#include "capture/PictureFile.h"
#include "config/Settings.h"
#include "shell/Startup.h"
#include "platform/WorkerThread.h"
#include "platform/UiThread.h"
#include "vcam/VirtualCamera.h"
#include "webcam/Session.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include <unistd.h>

namespace orv {
namespace {

// How long the end of a recording waits for the picture server's viewers to
// take the closing boundary of their streams.
constexpr int kStreamsEndMs = 3000;
// How long the end waits for the recorder to complete its file.
constexpr std::chrono::seconds kFileCompletionWait{30};
// A recorder that has shown no life for this long is frozen: a phone
// exchange takes at most 40 s, every wait in between shows life.
constexpr std::chrono::seconds kRecorderLifeLimit{60};

// The state as systemd's status line says it.
std::string StatusLine(webcam::State state, const QString& file)
{
    switch (state) {
    case webcam::State::Idle: return "waiting for the phone";
    case webcam::State::Starting: return "starting the camera";
    case webcam::State::Recording: return "recording into " + file.toStdString();
    case webcam::State::Serving: return "serving frames without recording";
    case webcam::State::RestartPause: return "the camera starts again after a fault";
    case webcam::State::WaitingForPhone: return "waiting for the phone to come back";
    case webcam::State::Stopping: return "stopping";
    }
    return {};
}

void Say(const QString& line) { std::fprintf(stderr, "orvello: %s\n", line.toLocal8Bit().constData()); }

bool Terminal()
{
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

// Progress is for a person at a terminal; scripts and logs get failures only.
void Progress(const QString& line)
{
    if (Terminal())
        Say(line);
}

// Qt's and the program's own diagnostics go to a terminal only: a script
// reads the one line of a failure alone.
QtMessageHandler gDefaultMessages = nullptr;
void Diagnostics(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if ((Terminal() || type == QtFatalMsg) && gDefaultMessages)
        gDefaultMessages(type, context, message);
}

// What a fault of the recorder means here: the exit status and the line.
struct RecorderOutcome {
    int status;
    QString line;
};
RecorderOutcome OutcomeOf(const video::RecorderProblem& problem)
{
    using video::RecorderFault;
    switch (problem.fault) {
    case RecorderFault::NoPhone: return {kExitNoPhone, QStringLiteral("the phone went away before the camera started")};
    case RecorderFault::CameraStartFailed: return {kExitCameraFailed, QStringLiteral("the camera could not be started")};
    case RecorderFault::CameraError:
        return {kExitCameraFailed, QStringLiteral("camera failure: a picture was not taken or read")};
    case RecorderFault::FileFailed:
        return {kExitFileNotWritable, QStringLiteral("cannot write the video file %1: %2").arg(problem.file, problem.reason)};
    case RecorderFault::DiskFull:
        return {kExitFileNotWritable,
                QStringLiteral("the disk is full: the recording stopped in %1 (%2)").arg(problem.file, problem.reason)};
    case RecorderFault::EncoderRefused:
        return {kExitFailure, QStringLiteral("the video encoder chosen in the options refuses the frames")};
    }
    return {kExitFailure, QStringLiteral("the recording failed")};
}

// The photo's failures: the exit status and the line of each.
struct PhotoOutcome {
    PhotoFailure failure;
    int status;  // kExitSuccess: a warning, the photo is written all the same
    const char* line;
};
constexpr PhotoOutcome kPhotoOutcomes[] = {
    {PhotoFailure::CameraNotStarted, kExitCameraFailed, "the camera could not be started"},
    {PhotoFailure::ShotNotTaken, kExitCameraFailed, "the phone could not take the picture"},
    {PhotoFailure::FileNotOpened, kExitCameraFailed,
     "the picture could not be read from the phone (a longer \"Timeout\" may help)"},
    {PhotoFailure::CameraNotStopped, kExitSuccess, "warning: the camera could not be switched off"},
};

// The photo's steps, as progress lines; the others say nothing.
struct PhotoProgress {
    PhotoStep step;
    const char* line;
};
constexpr PhotoProgress kPhotoSteps[] = {
    {PhotoStep::StartingCamera, "starting the camera"},
    {PhotoStep::Shooting, "shooting"},
    {PhotoStep::Downloading, "downloading the picture"},
    {PhotoStep::StoppingCamera, "switching the camera off"},
};

QString Seconds(int count)
{
    return count == 1 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(count);
}

// One run: the phone, then the photo or the recording, then the exit status.
// Lives on the user-interface thread; the workers reach it through their
// views' calls, which run there.
class HeadlessRun final : public QObject, public CaptureView, public webcam::SessionObserver {
public:
    explicit HeadlessRun(const LongOptions& options)
        : options_(options), session_(settings_, phone::PhoneLink::Instance(), codecs_, *this)
    {
    }

    int Exec()
    {
        if (options_.action == LongOptions::Action::Record)
            file_ = RecordingFileName(options_.file);
        else
            file_ = options_.file;
        // A file that cannot be written says so before the phone is asked
        // for anything.
        if (QString reason; options_.action != LongOptions::Action::Serve && !CanWriteFile(file_, &reason))
            return Fail(kExitFileNotWritable, QStringLiteral("cannot write %1: %2").arg(file_, reason));

        // The web camera's server listens (and answers) while the program
        // waits for the phone.
        const bool webCamera = options_.action != LongOptions::Action::Photo;
        if (QString error; webCamera && !session_.Listen(&error))
            return Fail(kExitServerFailed, QStringLiteral("the picture server cannot listen on port %1: %2")
                                               .arg(settings_.GetServerPort())
                                               .arg(error));
        if (webCamera && settings_.GetServerEnabled())
            Progress(QStringLiteral("picture server on port %1").arg(settings_.GetServerPort()));
        if (webCamera)
            WatchOverTheRecorder();
        if (options_.action == LongOptions::Action::Serve)
            systemd::NotifyReady();

        const TerminationSignals termination([this](int) { EndRequested(); });
        QTimer::singleShot(std::chrono::seconds(options_.waitSeconds), this, [this] {
            if (!started_)
                Fail(kExitNoPhone, QStringLiteral("no phone connected within %1").arg(Seconds(options_.waitSeconds)));
        });
        Progress(QStringLiteral("waiting for the phone"));
        systemd::NotifyStatus(StatusLine(webcam::State::Idle, file_));
        // The monitor reports on its own thread, and may do so after this
        // run has gone; the report is handled here, while the run is there.
        current_ = this;
        new phone::DeviceMonitor([](int state) {
            // The PipeWire camera is named after the phone's model, and the
            // server's /state tells it; asked here on the monitor's thread
            // as the window asks it.
            QString model;
            if (std::string name; state == 1 && (Settings().GetVirtualCamera() || Settings().GetServerEnabled()) &&
                                  phone::ReadModelName(phone::PhoneLink::Instance(), &name))
                model = QString::fromStdString(name);
            PostToUiThread([state, model] {
                if (HeadlessRun* run = current_) {
                    run->model_ = model;
                    run->session_.SetPhoneModel(model);
                    run->PhoneState(state);
                }
            });
        });
        loop_.exec();
        current_ = nullptr;
        return status_;
    }

    // --- CaptureView (user-interface thread) ---
    void ShowPhotoStep(PhotoStep step) override
    {
        for (const PhotoProgress& progress : kPhotoSteps) {
            if (progress.step == step) {
                Progress(QLatin1String(progress.line));
                return;
            }
        }
    }
    void ShowPhotoFailure(PhotoFailure failure) override
    {
        for (const PhotoOutcome& outcome : kPhotoOutcomes) {
            if (outcome.failure != failure)
                continue;
            if (outcome.status == kExitSuccess)
                Say(QLatin1String(outcome.line));
            else if (!failure_)
                failure_ = Failure{outcome.status, QLatin1String(outcome.line)};
            return;
        }
    }
    void ShowPicture(const QImage& picture) override { picture_ = picture; }
    void ShowDownloadProgress(long long) override {}

    // --- the web-camera session (user-interface thread) ---
    void SessionStateChanged(webcam::State state) override
    {
        systemd::NotifyStatus(StatusLine(state, session_.Files().empty() ? file_ : session_.Files().back().path));
        if (state != webcam::State::Stopping)
            return;
        // The recorder completes its file on its own thread; one that never
        // does is not waited for without end.
        QTimer::singleShot(kFileCompletionWait, this, [this] {
            if (session_.CurrentState() == webcam::State::Stopping)
                Fail(kExitFileNotWritable, QStringLiteral("the video file %1 was not completed").arg(file_));
        });
    }
    void SessionStatus(video::RecorderStep, std::chrono::seconds) override {}
    void SessionFault(const video::RecorderProblem& problem, bool restarting) override
    {
        if (restarting || failure_)
            return;  // logged by the recorder; the camera starts again
        const RecorderOutcome outcome = OutcomeOf(problem);
        failure_ = Failure{outcome.status, outcome.line};
    }
    void SessionFrame(const QImage&, bool, bool) override
    {
        const long long frames = session_.Frames();
        Progress(QStringLiteral("frame %1").arg(frames));
        if (options_.frames > 0 && frames >= options_.frames)
            session_.Stop();
    }
    void SessionVirtualCamera(bool running, const QString& reason) override
    {
        // A module that cannot be loaded has said so in its one line.
        if (running && !reason.isEmpty())
            Say(QStringLiteral("the PipeWire camera waits for PipeWire: %1").arg(reason));
        else if (running)
            Progress(QStringLiteral("PipeWire camera \"%1\"").arg(vcam::NodeDescription(model_)));
    }
    void SessionEnded(const webcam::Summary& summary) override { RecordingFinished(summary); }
    void SessionMotion(const video::MotionEvent& event) override
    {
        // One line on standard output when an event is over, for scripts.
        if (!event.ended)
            return;
        const auto time = [](std::time_t when) {
            return QDateTime::fromSecsSinceEpoch(when).toString(QStringLiteral("HH:mm:ss"));
        };
        const QString line = QStringLiteral("motion %1: %2 to %3, %4 in %5\n")
                                 .arg(event.number)
                                 .arg(time(event.start), time(event.end),
                                      event.frames == 1 ? QStringLiteral("1 frame")
                                                        : QStringLiteral("%1 frames").arg(event.frames),
                                      event.file);
        std::fputs(line.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }

private:
    struct Failure {
        int status;
        QString line;
    };

    void PhoneState(int state)
    {
        if (state != 1 || started_ || ending_)
            return;
        started_ = true;
        Progress(QStringLiteral("phone connected"));
        if (options_.action == LongOptions::Action::Photo)
            StartPhoto();
        else
            StartRecording();
    }

    void StartPhoto()
    {
        new PhotoThread(*this, settings_, phone::PhoneLink::Instance(), [this] { PhotoFinished(); });
    }

    void PhotoFinished()
    {
        if (picture_.isNull()) {
            if (failure_)
                Fail(failure_->status, failure_->line);
            else if (!phone::PhoneLink::Instance().IsConnected())
                Fail(kExitNoPhone, QStringLiteral("the phone went away before the photo was taken"));
            else
                Fail(kExitCameraFailed, QStringLiteral("no picture came from the phone"));
            return;
        }
        const QByteArray bytes = EncodePictureFile(picture_, PictureFormatOf(file_).value_or(PictureFormat::Jpeg));
        QString reason = QStringLiteral("the picture could not be encoded");
        if (bytes.isEmpty() || !WriteFileReplacing(file_, bytes, &reason)) {
            Fail(kExitFileNotWritable, QStringLiteral("cannot write %1: %2").arg(file_, reason));
            return;
        }
        Progress(QStringLiteral("%1 x %2 photo written to %3").arg(picture_.width()).arg(picture_.height()).arg(file_));
        End(kExitSuccess);
    }

    void StartRecording()
    {
        const bool serving = options_.action == LongOptions::Action::Serve;
        // A start of the program's own: an existing file is never replaced,
        // and the camera starts again after a fault once it has recorded.
        webcam::Session::Request request;
        request.automatic = true;
        request.model = model_;
        video::SplitPlan plan = video::SplitPlan::FromSettings(settings_);
        plan.splitMinutes = options_.splitMinutes.value_or(plan.splitMinutes);
        plan.keepMegabytes = options_.keepMegabytes.value_or(plan.keepMegabytes);
        request.plan = plan;
        video::MotionPlan motion = video::MotionPlan::FromSettings(settings_);
        motion.enabled = motion.enabled || options_.onMotion;
        motion.thresholdTenths = options_.motionThreshold.value_or(motion.thresholdTenths);
        request.motion = motion;
        // A run cut into files, or into events, names each of them in the
        // folder given.
        const bool folder = options_.file.endsWith(QLatin1Char('/')) || QFileInfo(options_.file).isDir();
        const bool manyFiles = plan.splitMinutes > 0 || motion.enabled;
        request.file = serving ? QString() : (manyFiles && folder ? options_.file : file_);
        request.recording = serving ? video::Recorder::Recording::NoFile : video::Recorder::Recording::FromSettings;
        QString error;
        switch (session_.Start(request, &error)) {
        case webcam::Session::StartResult::Started: break;
        case webcam::Session::StartResult::ServerFailed:
            Fail(kExitServerFailed, QStringLiteral("the picture server cannot listen on port %1: %2")
                                        .arg(settings_.GetServerPort())
                                        .arg(error));
            return;
        default: Fail(kExitFailure, error); return;
        }
        // Recording: ready once the phone is there and the camera starts.
        systemd::NotifyReady();
        Progress(serving ? QStringLiteral("serving frames without recording")
                         : QStringLiteral("recording into %1").arg(file_));
        if (options_.seconds > 0)
            QTimer::singleShot(std::chrono::seconds(options_.seconds), this, [this] { session_.Stop(); });
    }

    // Under systemd's watchdog: "alive" at half its interval, from this
    // event loop, while the recorder shows life too.
    void WatchOverTheRecorder()
    {
        const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(systemd::WatchdogInterval());
        if (interval.count() <= 0)
            return;
        auto* timer = new QTimer(this);
        timer->setInterval(std::max(interval / 2, std::chrono::milliseconds(1)));
        connect(timer, &QTimer::timeout, this, [this] {
            if (session_.ShowsLife(kRecorderLifeLimit))
                systemd::NotifyWatchdog();
        });
        timer->start();
    }

    void RecordingFinished(const webcam::Summary& summary)
    {
        // The name the recording took (a numbered one beside an earlier file).
        if (!summary.files.empty())
            file_ = summary.files.back().path;
        // Viewers of the stream take its closing boundary.
        QElapsedTimer waited;
        waited.start();
        while (session_.Server().ClientCount() > 0 && waited.elapsed() < kStreamsEndMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (options_.action == LongOptions::Action::Serve) {
            if (failure_) {
                Fail(failure_->status, failure_->line);
                return;
            }
            Progress(QStringLiteral("%1 frames served").arg(summary.frames));
            End(kExitSuccess);
            return;
        }
        // A file the restarts could not write again (a full disk) ends the
        // run as a failure, as a fault that ended it does.
        if (!failure_ && summary.unresolved &&
            (summary.unresolved->fault == video::RecorderFault::DiskFull ||
             summary.unresolved->fault == video::RecorderFault::FileFailed)) {
            const RecorderOutcome outcome = OutcomeOf(*summary.unresolved);
            failure_ = Failure{outcome.status, outcome.line};
        }
        if (failure_) {
            Say(failure_->line);
            if (!summary.files.empty())
                Say(KeptLine(summary.files));
            End(failure_->status);
            return;
        }
        Progress(KeptLine(summary.files));
        End(kExitSuccess);
    }

    // What the recording left: each file with its frames, or the folder and
    // the count when there are many.
    static QString KeptLine(const std::vector<video::RecordedFile>& files)
    {
        constexpr size_t kNamedFiles = 5;
        long long frames = 0;
        for (const video::RecordedFile& file : files)
            frames += file.frames;
        const QString count = frames == 1 ? QStringLiteral("1 frame") : QStringLiteral("%1 frames").arg(frames);
        if (files.empty())
            return QStringLiteral("no frame was recorded");
        if (files.size() == 1)
            return QStringLiteral("%1 recorded into %2").arg(count, files.front().path);
        const QString folder = QFileInfo(files.front().path).path();
        QStringList names;
        for (const video::RecordedFile& file : files) {
            if (QFileInfo(file.path).path() != folder || names.size() == static_cast<qsizetype>(kNamedFiles))
                return QStringLiteral("%1 recorded into %2 files, the first %3, the last %4")
                    .arg(count)
                    .arg(files.size())
                    .arg(files.front().path, files.back().path);
            names << QStringLiteral("%1 (%2)").arg(QFileInfo(file.path).fileName()).arg(file.frames);
        }
        return QStringLiteral("%1 recorded into %2 files in %3: %4")
            .arg(count)
            .arg(files.size())
            .arg(folder, names.join(QStringLiteral(", ")));
    }

    // SIGINT or SIGTERM: a recording ends and its file is completed; a photo
    // or the wait for the phone is given up. A second one ends at once.
    void EndRequested()
    {
        if (ending_) {
            Fail(kExitFailure, QStringLiteral("interrupted again: the work in progress is left unfinished"));
            return;
        }
        ending_ = true;
        if (options_.action != LongOptions::Action::Photo) {
            if (session_.Running())
                session_.Stop();
            else if (session_.CurrentState() == webcam::State::Idle)
                End(kExitSuccess);  // nothing was recorded, as asked
            return;
        }
        Fail(kExitFailure, QStringLiteral("interrupted"));
    }

    int Fail(int status, const QString& line)
    {
        Say(line);
        End(status);
        return status;
    }

    void End(int status)
    {
        if (ended_)
            return;
        ended_ = true;
        status_ = status;
        loop_.quit();
    }

    static inline HeadlessRun* current_ = nullptr;

    const LongOptions& options_;
    Settings settings_;
    video::CodecCatalogue codecs_;
    webcam::Session session_;
    QEventLoop loop_;
    QString file_;
    QString model_;
    QImage picture_;
    std::optional<Failure> failure_;
    bool started_ = false;
    bool ending_ = false;
    bool ended_ = false;
    int status_ = kExitFailure;
};

}  // namespace

bool CanWriteFile(const QString& path, QString* reason)
{
    const QFileInfo info(path);
    const QFileInfo folder(info.absolutePath());
    const auto refuse = [reason](const QString& why) {
        *reason = why;
        return false;
    };
    if (!folder.isDir())
        return refuse(QStringLiteral("there is no folder %1").arg(folder.filePath()));
    if (info.isDir())
        return refuse(QStringLiteral("it is a folder"));
    const QByteArray folderName = QFile::encodeName(folder.filePath());
    if (::access(folderName.constData(), W_OK | X_OK) != 0)
        return refuse(QString::fromLocal8Bit(std::strerror(errno)));
    if (info.exists() && ::access(QFile::encodeName(info.filePath()).constData(), W_OK) != 0)
        return refuse(QString::fromLocal8Bit(std::strerror(errno)));
    return true;
}

QString RecordingFileName(const QString& path)
{
    if (!path.endsWith(QLatin1Char('/')) && !QFileInfo(path).isDir())
        return path;
    return video::UniqueAviName(video::DatedAviName(path, TheClock().Now()));
}

int RunHeadless(const LongOptions& options, int argc, char** argv, const std::function<void()>& installBus)
{
    // No window is ever shown: the offscreen platform needs no display, and
    // the date stamp still finds the system's fonts.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    gDefaultMessages = qInstallMessageHandler(Diagnostics);
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Orvello"));
    InstallUiThread();
    // A copy that runs holds the phone: this one touches nothing.
    if (IsAlreadyRunning()) {
        Say(QStringLiteral("another copy of orvello is running and holds the phone"));
        return kExitAlreadyRunning;
    }
    installBus();
    int status = kExitFailure;
    {
        HeadlessRun run(options);
        status = run.Exec();
        // Workers (the device monitor in its wait) may still be alive: the
        // process ends here then, before anything they use is destroyed.
        EndUserInterface(status);
    }
    return status;
}

}  // namespace orv
