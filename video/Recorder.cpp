#include "Recorder.h"

#include "AviFile.h"
#include "RecorderView.h"
#include "platform/Clock.h"
#include "CodecCatalogue.h"
#include "Retention.h"
#include "capture/PhoneCapture.h"
#include "phone/PhoneLink.h"
#include "config/Settings.h"
#include "platform/ControlPipe.h"
#include "platform/UiThread.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include <malloc.h>

Q_LOGGING_CATEGORY(lcRecorder, "orvello.recorder")

namespace orv::video {
namespace {

// The pause before a restart is waited in slices of this length, so that a
// stop during it is seen soon.
constexpr uint32_t kWaitSliceMs = 100;
// The frame rates a recording can be written with: rate × 10000 must give a
// positive 32-bit stream rate.
constexpr double kSlowestFps = 0.0001;
constexpr double kFastestFps = 1000.0;
// Suffixes tried to make a dated name unique.
constexpr int kMaxNameSuffix = 9999;

constexpr uint64_t kMsPerMinute = 60000;
constexpr uint64_t kBytesPerMegabyte = 1048576;

// The rate the stream is written with: from the first capture's duration, or
// the fixed rate of the settings. A capture measured as 0 ms counts as 1 ms;
// a fixed rate of 0 or less, or one that is not a number, records at 1.0.
double StreamRate(bool automatic, uint32_t captureMs, double fixedFps)
{
    double rate = automatic ? 1000.0 / static_cast<double>(std::max<uint32_t>(captureMs, 1)) : fixedFps;
    if (!std::isfinite(rate) || rate <= 0)
        rate = 1.0;
    return std::clamp(rate, kSlowestFps, kFastestFps);
}

// The fault in English, for the log.
QString Describe(const RecorderProblem& problem)
{
    switch (problem.fault) {
    case RecorderFault::NoPhone: return QStringLiteral("no phone is connected");
    case RecorderFault::CameraStartFailed: return QStringLiteral("the camera could not be started");
    case RecorderFault::CameraError: return QStringLiteral("a picture was not taken or read");
    case RecorderFault::FileFailed: return QStringLiteral("cannot write %1: %2").arg(problem.file, problem.reason);
    case RecorderFault::DiskFull: return QStringLiteral("the disk is full: %1 (%2)").arg(problem.file, problem.reason);
    case RecorderFault::EncoderRefused: return QStringLiteral("the encoder refuses the frames");
    }
    return {};
}

// An event's time in the log: the local time of day.
QString TimeOfDay(std::time_t when) { return QDateTime::fromSecsSinceEpoch(when).toString(QStringLiteral("HH:mm:ss")); }

struct Census {
    std::mutex mutex;
    std::condition_variable changed;
    int alive = 0;
};

Census& Recorders()
{
    static auto* census = new Census;  // never destroyed: a recorder may outlive main()
    return *census;
}

}  // namespace

QString DatedAviName(const QString& folder, std::time_t when)
{
    QString base = folder.isEmpty() ? DefaultAviFolder() : folder;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base + QString::fromStdString(FormatStampTime(when)) + QStringLiteral(".avi");
}

QString UniqueAviName(const QString& name)
{
    const auto taken = [](const QString& path) {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    };
    if (!taken(name))
        return name;
    for (int suffix = 2; suffix <= kMaxNameSuffix; ++suffix) {
        const QString candidate = NumberedAviName(name, suffix);
        if (!taken(candidate))
            return candidate;
    }
    return name;  // beyond all reason: the newest recording replaces the dated one
}

QString RecordingTimeText(long long seconds)
{
    seconds = std::max(seconds, 0LL);
    return QStringLiteral(" %1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void RecordingLog::Started(const QString& file)
{
    std::lock_guard lock(mutex_);
    files_.push_back({file, 0});
}

void RecordingLog::AddFrame()
{
    std::lock_guard lock(mutex_);
    if (!files_.empty())
        ++files_.back().frames;
}

std::vector<RecordedFile> RecordingLog::Files() const
{
    std::lock_guard lock(mutex_);
    return files_;
}

SplitPlan SplitPlan::FromSettings(const Settings& settings)
{
    // Stored as dwords: a value beyond 2^31 reads as a negative number.
    return {static_cast<uint32_t>(settings.GetAviSplitMinutes()), static_cast<uint32_t>(settings.GetAviKeepMegabytes())};
}

Recorder::Recorder(RecorderView& view, const Settings& settings, phone::PhoneLink& link, const CodecCatalogue& codecs,
                 std::function<void()> finished, const QString& fileName, Recording recording, bool automatic,
                 std::optional<SplitPlan> plan, std::shared_ptr<RecordingLog> log, std::optional<MotionPlan> motion)
    : view_(view), settings_(settings), link_(link), automatic_(automatic), log_(std::move(log)),
      motion_(motion ? *motion : MotionPlan::FromSettings(settings))
{
    const SplitPlan split = plan ? *plan : SplitPlan::FromSettings(settings);
    splitMs_ = split.splitMinutes * kMsPerMinute;
    keepBytes_ = split.keepMegabytes * kBytesPerMegabyte;
    if (finished)
        OnTerminate = [finished = std::move(finished)](WorkerThread*) { finished(); };
    recordToFile_ = recording == Recording::FromSettings && (!fileName.isEmpty() || settings.GetRecordToFile());
    if (recordToFile_)
        aviName_ = fileName.isEmpty() ? settings.GetAviTempName() : fileName;
    SetFreeOnTerminate(true);
    phoneFile_ = settings.GetTempJpgName().toStdString();

    // Without a file the encoders are not even listed (their module stays
    // unloaded).
    const int index = recordToFile_ ? settings.GetCodecIndex() : -1;
    CodecEntry* const entry = recordToFile_ ? codecs.Handle(index) : nullptr;
    if (!recordToFile_) {
        qCInfo(lcRecorder) << "frames are captured and served, not recorded";
    } else if (!entry) {
        // Without an encoder nothing can be recorded: no file is made and the
        // thread ends at once, before any phone command.
        qCWarning(lcRecorder) << "no encoder at position" << index << "of a catalogue of" << codecs.Count();
        Fail({RecorderFault::EncoderRefused});
    } else {
        hasCompressor_ = true;
        entry_ = entry;
        encoder_ = std::make_unique<FrameEncoder>(entry);
        requestedName_ = aviName_;
        if (fileName.isEmpty() && settings.GetAutoAviFileName()) {
            dated_ = true;
            requestedName_ = settings.GetAviFolder();
        } else if (!fileName.isEmpty() && (fileName.endsWith(QLatin1Char('/')) || QFileInfo(fileName).isDir())) {
            dated_ = true;
        }
        // Each event goes into a file of its own: a fixed name is numbered.
        motionOn_ = motion_.enabled;
        numbered_ = !dated_ && (splitMs_ > 0 || motionOn_);
        // The videos folder of the default file, and the folder chosen for
        // dated names, may not exist yet in a fresh home folder.
        makeFolder_ = dated_ || (fileName.isEmpty() && QFileInfo(aviName_).absolutePath() ==
                                                           QFileInfo(DefaultAviTempName()).absolutePath());
        QString reason;
        if (!OpenFile(&reason))
            Fail(FileProblem(reason));
    }

    if (motionOn_) {
        detector_ = std::make_unique<MotionDetector>(motion_.thresholdTenths);
        events_ = std::make_unique<MotionEvents>(motion_.keepSeconds * 1000);
        qCInfo(lcRecorder) << "frames are recorded while something moves, and for" << motion_.keepSeconds
                           << "s after";
    }
    startTick_ = TheClock().TickCount();
    Start();
}

Recorder::~Recorder()
{
    // A file that never got its first frame goes.
    CompleteFile();
}

void Recorder::CompleteFile()
{
    // The encoder hands its last data to the file before the file is
    // completed (index, lengths) and closed.
    encoder_.reset();
    const QString completed = avi_ && avi_->Published() ? avi_->Path() : QString();
    avi_.reset();
    // The encoder's frames and tables went with it; the next file's are
    // made anew in between the phone's and the window's smaller blocks, so
    // what is freed here would stay with the process, a little more at each
    // file, unless given back to the system now.
    ::malloc_trim(0);
    // Retention removes only the recordings its folder's record names.
    if (!completed.isEmpty() && IsRecordingName(QFileInfo(completed).fileName(), RecordingNameStem()))
        NoteRecording(completed);
}

bool Recorder::OpenFile(QString* reason)
{
    if (dated_)
        aviName_ = UniqueAviName(DatedAviName(requestedName_, TheClock().Now()));
    else if (numbered_)
        aviName_ = NextNumberedAviName(requestedName_);
    else
        aviName_ = requestedName_;
    if (makeFolder_) {
        const QString folder = QFileInfo(aviName_).absolutePath();
        if (!QFileInfo(folder).isDir() && QDir().mkpath(folder))
            qCInfo(lcRecorder).noquote() << "made the folder" << folder;
    }
    // The user's START replaces the file at the name (through a link, and
    // never a read-only file); the program's own starts never replace.
    avi_ = AviFile::OpenBeside(aviName_, reason, !automatic_ && !dated_ && !numbered_);
    if (!avi_)
        qCWarning(lcRecorder).noquote() << "cannot create" << aviName_ + QLatin1Char(':') << *reason;
    return avi_ != nullptr;
}

RecorderProblem Recorder::FileProblem(const QString& reason) const
{
    return {RecorderFault::FileFailed, aviName_, reason};
}

void Recorder::Report(const RecorderProblem& problem)
{
    if (!Restarting()) {
        Fail(problem);
        return;
    }
    qCWarning(lcRecorder).noquote() << Describe(problem) << "- the web camera starts again after a pause";
    Synchronize([&] { view_.RecorderFailed(problem, true); });
}

bool Recorder::WaitBeforeRestart(uint32_t milliseconds)
{
    SetStep(RecorderStep::RestartPause);
    // A phone that comes back ends a long pause soon after.
    bool phoneAway = false;
    while (milliseconds > 0 && !Terminated()) {
        if (!link_.IsConnected()) {
            if (!phoneAway)
                SetStep(RecorderStep::WaitingForPhone);
            phoneAway = true;
        } else if (phoneAway) {
            phoneAway = false;
            SetStep(RecorderStep::RestartPause);
            milliseconds = std::min(milliseconds, kFirstRestartPauseMs);
        }
        const uint32_t slice = std::min(milliseconds, kWaitSliceMs);
        Control().Beat();
        TheClock().Sleep(slice);
        milliseconds -= slice;
    }
    return !Terminated();
}

Recorder::Counted::Counted()
{
    std::lock_guard lock(Recorders().mutex);
    ++Recorders().alive;
}

Recorder::Counted::~Counted()
{
    Census& census = Recorders();
    {
        std::lock_guard lock(census.mutex);
        --census.alive;
    }
    census.changed.notify_all();
}

bool Recorder::WaitUntilNoneAlive(std::chrono::milliseconds limit)
{
    Census& census = Recorders();
    std::unique_lock lock(census.mutex);
    return census.changed.wait_for(lock, limit, [&] { return census.alive == 0; });
}

void Recorder::Run()
{
    if (recordToFile_ && !hasCompressor_)
        return;
    uint32_t pause = kFirstRestartPauseMs;
    while (RecordOnce() && Restarting() && !Terminated()) {
        // The file is completed before the pause: it is whole meanwhile.
        CompleteFile();
        if (segmentFrames_ > 0)
            pause = kFirstRestartPauseMs;  // the camera had come back
        if (!WaitBeforeRestart(pause)) {
            SetStep(RecorderStep::CameraStopped);
            break;
        }
        pause = std::min(pause * 2, kLastRestartPauseMs);
        qCInfo(lcRecorder) << "the web camera starts again";
        if (!recordToFile_)
            continue;
        encoder_ = std::make_unique<FrameEncoder>(entry_);
        if (QString reason; !OpenFile(&reason))
            Report(FileProblem(reason));
    }
}

bool Recorder::RecordOnce()
{
    segmentFrames_ = 0;
    if (!link_.IsConnected()) {
        Report({RecorderFault::NoPhone});
        return true;
    }
    if (recordToFile_ && !avi_)
        return true;
    // The recording is one capture of the phone's camera, from switching it
    // on to switching it off: no other capture mixes its commands in. A
    // reply that keeps the recorder waiting is shown in the work panel.
    // After a stop the phone's file is still deleted and the camera switched
    // off, but within the grace: the recording file is completed whatever
    // the phone does.
    CapturePlan plan = CapturePlan::FromSettings(settings_, phoneFile_);
    plan.stopGraceMs = kCaptureStopGraceMs;
    PhoneCapture::Hooks hooks;
    hooks.step = [this](PhoneCapture::Step step) {
        if (step == PhoneCapture::Step::Shooting)
            SetStep(RecorderStep::Shooting);
    };
    hooks.late = [this](bool late) { ShowLate(late); };
    if (motionOn_) {
        // A new run of the camera starts a new background.
        detector_->Reset();
        events_->Reset();
        hooks.decoded = [this](const QImage& picture) { frameMoved_ = detector_->Compare(picture).motion; };
    }
    PhoneCapture capture(link_, std::move(plan), [this] { return Terminated(); }, std::move(hooks));

    SetStep(RecorderStep::CameraStarting);
    if (!capture.SwitchOn()) {
        SetStep(RecorderStep::CameraStopped);
        // Cut short by the stop, it is no failure of the camera.
        if (!Terminated())
            Report({RecorderFault::CameraStartFailed});
        return true;
    }

    bool streaming = false;
    bool fault = false;
    double rate = 0;  // of every file of this recording
    while (!Terminated()) {
        const uint32_t t0 = TheClock().TickCount();
        frameMoved_ = false;
        if (!CaptureFrame(capture)) {
            // A capture cut short by the stop is no camera error.
            if (!Terminated()) {
                Report({RecorderFault::CameraError});
                fault = true;
            }
            break;
        }
        const uint32_t captured = TheClock().TickCount();
        const uint32_t captureMs = captured - t0;  // right across the tick count's wrap
        // A file that has recorded its length is completed; this frame
        // begins the next one.
        if (streaming && splitMs_ > 0) {
            fileMs_ += captured - fileTick_;
            fileTick_ = captured;
            if (fileMs_ >= splitMs_) {
                if (!SplitFile()) {
                    fault = true;
                    break;
                }
                streaming = false;
            }
        }
        if (!recordToFile_) {
            ++segmentFrames_;
            ++framesRecorded_;
            SetStep(RecorderStep::FrameTaken);
            continue;
        }
        if (motionOn_) {
            // Every frame the camera gives counts as recorded: it was shown
            // and served, and it was looked at.
            ++segmentFrames_;
            ++framesRecorded_;
            if (!FollowMotion(streaming, rate, captureMs, captured, &fault))
                break;
            SetStep(RecorderStep::FrameTaken);
            continue;
        }
        if (!WriteFrame(frame_, streaming, rate, captureMs, captured, &fault))
            break;
        ++segmentFrames_;
        ++framesRecorded_;
        SetStep(RecorderStep::FrameTaken);
    }

    if (motionOn_ && events_->InEvent()) {
        EndEvent();
        events_->Reset();
    }
    capture.SwitchOff();
    SetStep(RecorderStep::CameraStopped);
    return fault;
}

bool Recorder::WriteFrame(const QImage& frame, bool& streaming, double& rate, uint32_t captureMs, uint32_t captured,
                          bool* fault)
{
    // The stream takes its rate from the first frame; later rates would
    // be ignored, so the settings are not read for them.
    if (!streaming) {
        if (rate <= 0) {
            const bool automatic = settings_.GetAutoFps();
            rate = StreamRate(automatic, captureMs, automatic ? 0.0 : settings_.GetFps());
        }
        if (!encoder_->StartStream(*avi_, frame, rate)) {
            *fault = ReportCompressorError();
            return false;
        }
        streaming = true;
        fileMs_ = 0;
        fileTick_ = captured;
    }
    if (!encoder_->CompressFrame(frame)) {
        *fault = ReportCompressorError();
        return false;
    }
    // The first frame is in the file: now it replaces an earlier one
    // (or, started automatically, takes the next free name).
    if (!avi_->Published()) {
        QString reason;
        if (!avi_->Publish(!automatic_ && !dated_ && !numbered_, &reason)) {
            qCWarning(lcRecorder).noquote() << "cannot name" << avi_->Path() << aviName_ + QLatin1Char(':') << reason;
            Report(FileProblem(reason));
            *fault = true;
            return false;
        }
        aviName_ = avi_->Path();
        qCInfo(lcRecorder).noquote() << "recording into" << aviName_;
        if (log_)
            log_->Started(aviName_);
        KeepWithinLimit();
    }
    if (log_)
        log_->AddFrame();
    return true;
}

bool Recorder::FollowMotion(bool& streaming, double& rate, uint32_t captureMs, uint32_t captured, bool* fault)
{
    switch (events_->Feed(frameMoved_, captured, frame_)) {
    case MotionEvents::Step::Wait: return true;
    case MotionEvents::Step::End:
        // The event's file is complete before the next one begins.
        EndEvent();
        CompleteFile();
        streaming = false;
        return true;
    case MotionEvents::Step::Record:
        if (!WriteFrame(frame_, streaming, rate, captureMs, captured, fault))
            return false;
        ++event_.frames;
        event_.end = frameTime_;
        return true;
    case MotionEvents::Step::Start: break;
    }
    event_ = MotionEvent{event_.number + 1, frameTime_, frameTime_, QString(), 0, false};
    if (!BeginEventFile()) {
        *fault = true;
        return false;
    }
    streaming = false;
    // The frames from before the change (a frame of another size would not
    // fit the stream), then this one.
    std::vector<const QImage*> frames;
    for (const QImage& before : events_->Before())
        if (before.size() == frame_.size() && before.format() == frame_.format())
            frames.push_back(&before);
    frames.push_back(&frame_);
    for (const QImage* frame : frames) {
        if (!WriteFrame(*frame, streaming, rate, captureMs, captured, fault))
            return false;
        ++event_.frames;
        event_.file = aviName_;
    }
    qCInfo(lcRecorder).noquote() << "motion at" << TimeOfDay(event_.start) << "- recording into" << event_.file;
    Synchronize([&] { view_.RecorderMotion(event_); });
    return true;
}

bool Recorder::BeginEventFile()
{
    // A file opened before (at the start, or after an event that a split
    // cut) that holds no frame yet goes: the event's file is named now.
    if (avi_ && !avi_->Published())
        CompleteFile();
    if (avi_)
        return true;
    encoder_ = std::make_unique<FrameEncoder>(entry_);
    if (QString reason; !OpenFile(&reason)) {
        Report(FileProblem(reason));
        return false;
    }
    return true;
}

void Recorder::EndEvent()
{
    if (event_.file.isEmpty())
        return;  // its first frames were never written
    event_.ended = true;
    qCInfo(lcRecorder).noquote() << "motion event" << event_.number << "from" << TimeOfDay(event_.start) << "to"
                                 << TimeOfDay(event_.end) << "in" << event_.file + QLatin1Char(':') << event_.frames
                                 << "frames";
    Synchronize([&] { view_.RecorderMotion(event_); });
}

bool Recorder::SplitFile()
{
    // The encoder hands over what it holds, then the file gets its index
    // and lengths, as at a stop.
    CompleteFile();
    qCInfo(lcRecorder).noquote() << "completed" << aviName_ << "after" << fileMs_ / 1000 << "s";
    encoder_ = std::make_unique<FrameEncoder>(entry_);
    if (QString reason; !OpenFile(&reason)) {
        Report(FileProblem(reason));
        return false;
    }
    return true;
}

void Recorder::KeepWithinLimit()
{
    if (keepBytes_ == 0)
        return;
    KeepRecordingsWithin(QFileInfo(aviName_).absolutePath(), RecordingNameStem(), keepBytes_, aviName_);
}

QString Recorder::RecordingNameStem() const
{
    // Numbered names are the recorder's only beside a fixed name.
    return dated_ ? QString() : RecordingStem(requestedName_);
}

bool Recorder::CaptureFrame(PhoneCapture& capture)
{
    if (!link_.IsConnected())
        return false;
    // The waiting time and the stamp follow the settings from frame to frame.
    capture.Plan().afterShotMs = WaitingTime(settings_.GetTimeout());
    capture.Plan().dateStamp = settings_.GetPrintDateOnImage();
    CapturedPicture shot = capture.TakePicture();
    if (!shot.ShotTaken())
        return false;
    // A picture cut short is recorded all the same, grey where its data are
    // missing; one that does not decode is a failed capture like a failed
    // download.
    const bool framed = shot.outcome == CapturedPicture::Outcome::Picture;
    if (framed) {
        frame_ = std::move(shot.picture);
        frameTime_ = TheClock().Now();
        ShowFrame();
    }
    SetStep(RecorderStep::Deleting);
    capture.DeletePhoneFile();
    return framed;
}

void Recorder::ShowFrame()
{
    const bool show = settings_.GetDuplicatePicture();
    const bool fit = show && settings_.GetAutoFormResize();
    Synchronize([&] { view_.RecorderFrame(frame_, show, fit); });
}

void Recorder::SetStep(RecorderStep step)
{
    // Recording on motion, the frame loop's steps say whether something moves.
    if (motionOn_ && (step == RecorderStep::Shooting || step == RecorderStep::Deleting ||
                      step == RecorderStep::FrameTaken))
        step = events_->InEvent() ? RecorderStep::MotionRecording : RecorderStep::WaitingForMotion;
    Control().Beat();
    lastStep_ = step;
    const std::chrono::seconds elapsed((TheClock().TickCount() - startTick_) / 1000);
    Synchronize([&] { view_.RecorderStatus(step, elapsed); });
}

void Recorder::Fail(const RecorderProblem& problem)
{
    Synchronize([&] { view_.RecorderFailed(problem, false); });
}

bool Recorder::ReportCompressorError()
{
    // A full disk or a failing write: the frames written so far stay
    // readable. Anything else is the encoder's refusal of the frames, which
    // no new start cures.
    if (!encoder_->FileFailed()) {
        qCWarning(lcRecorder).noquote() << "the encoder refuses the frames:" << encoder_->LastError();
        Fail({RecorderFault::EncoderRefused});
        return false;
    }
    qCWarning(lcRecorder).noquote() << "writing" << aviName_ << "failed:" << encoder_->LastError();
    QString reason = encoder_->LastError();
    if (const qsizetype colon = reason.lastIndexOf(QStringLiteral(": ")); colon >= 0)
        reason = reason.mid(colon + 2);  // the system's own words
    if (avi_->OutOfRoom())
        Report({RecorderFault::DiskFull, aviName_, reason});
    else
        Report(FileProblem(reason));
    return true;
}

void Recorder::ShowLate(bool late)
{
    // On the recorder's thread, inside the wait: the panel changes without
    // the recorder waiting for the window.
    const RecorderStep step = late ? RecorderStep::PhoneLate : lastStep_.load();
    const std::chrono::seconds elapsed((TheClock().TickCount() - startTick_) / 1000);
    RecorderView* const view = &view_;
    PostToUiThread([view, step, elapsed] { view->RecorderStatus(step, elapsed); });
}

}  // namespace orv::video
