#include "Headless.h"

#include "video/RecorderView.h"
#include "video/Recorder.h"
#include "capture/CaptureView.h"
#include "platform/Clock.h"
#include "video/CodecCatalogue.h"
#include "phone/DeviceMonitor.h"
#include "platform/FileWrite.h"
#include "platform/InstanceLock.h"
#include "texts/LangTexts.h"
#include "phone/PhoneLink.h"
#include "capture/PhotoThread.h"
#include "capture/PictureFile.h"
#include "web/PictureServer.h"
#include "config/Settings.h"
#include "shell/Startup.h"
#include "platform/WorkerThread.h"
#include "platform/UiThread.h"
#include "vcam/VirtualCamera.h"

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

// The messages of the photo thread and the recorder, in whatever language is
// in force, and what each of them means here.
struct Outcome {
    const LangEntry* entry;
    int status;
    const char* line;  // %1: the file
};
constexpr Outcome kOutcomes[] = {
    {&txt::kStr8NoPhone, kExitNoPhone, "the phone went away before the camera started"},
    {&txt::kStr9PhotoCameraInitFailed, kExitCameraFailed, "the camera could not be started"},
    {&txt::kStr9CameraInitFailed, kExitCameraFailed, "the camera could not be started"},
    {&txt::kStr10ShotFailed, kExitCameraFailed, "the phone could not take the picture"},
    {&txt::kStr14ReadFailed, kExitCameraFailed,
     "the picture could not be read from the phone (a longer \"Timeout\" may help)"},
    {&txt::kStr16DeinitFailed, kExitSuccess, "warning: the camera could not be switched off"},
    {&txt::kStr17VideoFileFailed, kExitFileNotWritable, "cannot write the video file %1"},
    {&txt::kDiskFull, kExitFileNotWritable, "the disk is full: the recording stopped in %1"},
    {&txt::kStr18CameraError, kExitCameraFailed, "camera failure: a picture was not taken or read"},
    {&txt::kStr19FormatRejected, kExitFailure, "the video encoder chosen in the options refuses the frames"},
};

// The photo thread's steps, as progress lines.
struct Step {
    const LangEntry* entry;
    const char* line;
};
constexpr Step kPhotoSteps[] = {
    {&txt::kStr11PhotoCameraInit, "starting the camera"},
    {&txt::kStr12Shooting, "shooting"},
    {&txt::kStr13Downloading, "downloading the picture"},
    {&txt::kStr15PhotoCameraDeinit, "switching the camera off"},
};

QString Seconds(int count)
{
    return count == 1 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(count);
}

// One run: the phone, then the photo or the recording, then the exit status.
// Lives on the user-interface thread; the workers reach it through their
// views' calls, which run there.
class HeadlessRun final : public QObject, public CaptureView, public video::RecorderView {
public:
    explicit HeadlessRun(const LongOptions& options) : options_(options) {}

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

        QObject::connect(&server_, &web::PictureServer::ClientRead, this, [this](web::ClientId client) {
            if (recorder_)
                server_.AnswerRequest(client, frame_);
        });
        QObject::connect(&server_, &web::PictureServer::ClientError, this,
                         [this](web::ClientId client, QAbstractSocket::SocketError) { server_.CloseClient(client); });

        const TerminationSignals termination([this](int) { EndRequested(); });
        QTimer::singleShot(std::chrono::seconds(options_.waitSeconds), this, [this] {
            if (!started_)
                Fail(kExitNoPhone, QStringLiteral("no phone connected within %1").arg(Seconds(options_.waitSeconds)));
        });
        Progress(QStringLiteral("waiting for the phone"));
        // The monitor reports on its own thread, and may do so after this
        // run has gone; the report is handled here, while the run is there.
        current_ = this;
        new phone::DeviceMonitor([](int state) {
            // The PipeWire camera is named after the phone's model, asked
            // here on the monitor's thread as the window asks it.
            QString model;
            if (std::string name; state == 1 && Settings().GetVirtualCamera() &&
                                  phone::ReadModelName(phone::PhoneLink::Instance(), &name))
                model = QString::fromStdString(name);
            PostToUiThread([state, model] {
                if (HeadlessRun* run = current_) {
                    run->model_ = model;
                    run->PhoneState(state);
                }
            });
        });
        loop_.exec();
        current_ = nullptr;
        return status_;
    }

    // --- CaptureView and RecorderView (user-interface thread) ---
    void ShowWorkStatus(const QString& text) override
    {
        if (options_.action != LongOptions::Action::Photo)
            return;  // the recorder's steps come several times a frame
        for (const Step& step : kPhotoSteps) {
            if (text == LangText(*step.entry)) {
                Progress(QLatin1String(step.line));
                return;
            }
        }
    }
    void ShowRecordingTime(const QString&, const QString&) override {}
    void ShowMessageText(const QString& text) override
    {
        for (const Outcome& outcome : kOutcomes) {
            // A message may name the file and the system's reason after its
            // text: on a line of its own, or in place of %1.
            const QString known = LangText(*outcome.entry);
            const QString lead = known.section(QStringLiteral("%1"), 0, 0);
            QString detail;
            if (text.startsWith(known + QLatin1Char('\n')))
                detail = text.mid(known.size() + 1);
            else if (known.contains(QStringLiteral("%1")) && !lead.isEmpty() && text.startsWith(lead))
                detail = text.mid(lead.size());
            else if (text != known)
                continue;
            QString line = QString::fromLatin1(outcome.line);
            if (line.contains(QLatin1String("%1")))
                line = line.arg(detail.isEmpty() ? file_ : detail);
            if (outcome.status == kExitSuccess)
                Say(line);
            else if (!failure_)
                failure_ = Failure{outcome.status, line};
            return;
        }
        if (!failure_)
            failure_ = Failure{kExitFailure, text};
    }
    void ShowPicture(const QImage& picture) override { picture_ = picture; }
    void ShowDownloadProgress(long long) override {}
    void ShowFrame(const QImage& frame, bool, bool) override
    {
        frame_ = frame;
        server_.FrameChanged(frame_);
        if (camera_)
            camera_->SetFrame(frame_);
        ++frames_;
        Progress(QStringLiteral("frame %1").arg(frames_));
        if (options_.frames > 0 && frames_ >= options_.frames && recorder_)
            recorder_->Stop();
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
        if (settings_.GetServerEnabled()) {
            server_.SetStreamEnabled(settings_.GetServerStream());
            server_.SetCredentials(settings_.GetServerUser(), settings_.GetServerPasswordHash());
            const int port = settings_.GetServerPort();
            if (QString error; !server_.Open(port, &error, settings_.GetServerLocalOnly())) {
                Fail(kExitServerFailed,
                     QStringLiteral("the picture server cannot listen on port %1: %2").arg(port).arg(error));
                return;
            }
            Progress(QStringLiteral("picture server on port %1").arg(port));
        }
        const bool serving = options_.action == LongOptions::Action::Serve;
        Progress(serving ? QStringLiteral("serving frames without recording")
                         : QStringLiteral("recording into %1").arg(file_));
        // A start of the program's own: an existing file is never replaced,
        // and the camera starts again after a fault once it has recorded.
        video::SplitPlan plan = video::SplitPlan::FromSettings(settings_);
        plan.splitMinutes = options_.splitMinutes.value_or(plan.splitMinutes);
        plan.keepMegabytes = options_.keepMegabytes.value_or(plan.keepMegabytes);
        // A run cut into files names each of them in the folder given.
        const bool folder = options_.file.endsWith(QLatin1Char('/')) || QFileInfo(options_.file).isDir();
        recorder_ = new video::Recorder(*this, settings_, phone::PhoneLink::Instance(), codecs_,
                                       [this] { RecordingFinished(); },
                                       serving ? QString() : (plan.splitMinutes > 0 && folder ? options_.file : file_),
                                       serving ? video::Recorder::Recording::NoFile
                                               : video::Recorder::Recording::FromSettings,
                                       true, plan);
        if (settings_.GetVirtualCamera()) {
            QString error;
            QString warning;
            camera_ = vcam::VirtualCamera::Start(model_, &error, &warning);
            // A module that cannot be loaded has said so in its one line.
            if (camera_ && !warning.isEmpty())
                Say(QStringLiteral("the PipeWire camera waits for PipeWire: %1").arg(warning));
            else if (camera_)
                Progress(QStringLiteral("PipeWire camera \"%1\"").arg(vcam::NodeDescription(model_)));
        }
        if (options_.seconds > 0) {
            QTimer::singleShot(std::chrono::seconds(options_.seconds), this, [this] {
                if (recorder_)
                    recorder_->Stop();
            });
        }
    }

    void RecordingFinished()
    {
        // The name the recording took (a numbered one beside an earlier file).
        if (recorder_)
            file_ = recorder_->FileName();
        recorder_ = nullptr;
        camera_.reset();  // the node goes, its consumers see the stream end
        // Viewers of the stream get its closing boundary.
        server_.Close();
        QElapsedTimer waited;
        waited.start();
        while (server_.ClientCount() > 0 && waited.elapsed() < kStreamsEndMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        // The recorder completes the file once this handler has returned.
        QTimer::singleShot(0, this, [this] {
            if (!video::Recorder::WaitUntilNoneAlive(kFileCompletionWait) && !failure_)
                failure_ = Failure{kExitFileNotWritable,
                                   QStringLiteral("the video file %1 was not completed").arg(file_)};
            if (failure_) {
                Fail(failure_->status, failure_->line);
                return;
            }
            if (options_.action == LongOptions::Action::Serve)
                Progress(QStringLiteral("%1 frames served").arg(frames_));
            else
                Progress(QStringLiteral("%1 frames recorded into %2").arg(frames_).arg(file_));
            End(kExitSuccess);
        });
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
            if (recorder_)
                recorder_->Stop();
            else if (!started_)
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
    web::PictureServer server_;
    QEventLoop loop_;
    QString file_;
    video::Recorder* recorder_ = nullptr;
    std::unique_ptr<vcam::VirtualCamera> camera_;
    QString model_;
    QImage picture_;
    QImage frame_;
    int frames_ = 0;
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
