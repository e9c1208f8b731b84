#pragma once
// The web-camera recorder: a worker thread that takes pictures with the
// phone's camera in a loop, hands each frame to the main window and appends
// it to an AVI file through the encoder chosen in the options, until it is
// stopped or a capture fails.

#include "platform/WorkerThread.h"
#include "MotionDetector.h"
#include "MotionEvents.h"
#include "RecorderView.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace orv {
class PhoneCapture;
class Settings;
namespace phone {
class PhoneLink;
}
}  // namespace orv

namespace orv::video {

class AviFile;
class CodecCatalogue;
class FrameEncoder;
struct CodecEntry;

// How a long recording is cut into files and how much of them its folder
// keeps. Values of 0: one file per run, and every file kept.
struct SplitPlan {
    uint32_t splitMinutes = 0;   // a new file after this many minutes
    uint32_t keepMegabytes = 0;  // of 1,048,576 bytes
    // "AviSplitMinutes" and "AviKeepMegabytes".
    static SplitPlan FromSettings(const Settings& settings);
};

// A file a recording went into, with the frames it holds.
struct RecordedFile {
    QString path;
    long long frames = 0;
};

// The files a recorder has written, in their order, for whoever made it:
// read while it records or after it has gone. Any thread.
class RecordingLog {
public:
    // The recorder's file has taken its name with its first frame...
    void Started(const QString& file);
    // ...and holds one frame more.
    void AddFrame();
    std::vector<RecordedFile> Files() const;

private:
    mutable std::mutex mutex_;
    std::vector<RecordedFile> files_;
};

class Recorder final : public WorkerThread {
public:
    // Whether frames go into an AVI file: as "RecordToFile" says (always
    // when a file is named), or never (frames are captured, shown and
    // served only). Without a file no encoder is loaded and nothing is
    // created on disk; the frame loop, its waits and statuses are the same.
    enum class Recording { FromSettings, NoFile };

    // Main thread. Reads the file and encoder settings, makes the compressor,
    // creates the AVI file (a message when it cannot be made) and starts the
    // thread (std::system_error when no thread can be made); finished runs
    // on the user-interface thread after the thread's work. The recorder
    // frees itself after that, completing the file (Handle() waits for
    // that). view, settings, link and codecs must outlive it.
    // fileName: the AVI file to record into; empty, the settings name it
    // ("AviTempName", or a dated name in "AviFolder"; their folder is made
    // when it is missing). The recording is written under a temporary name
    // beside it and takes the name at its first frame, so a recording that
    // fails before that leaves any earlier file as it was.
    // automatic: started by the program itself (switch S, the command line),
    // not by the user's START: the recording never replaces a file, it takes
    // the first free name of name-2.avi, name-3.avi, ...; and once frames
    // were recorded, a capture fault starts the camera again into a new file
    // after a pause (see kFirstRestartPauseMs) instead of ending the thread.
    // A fileName that ends in "/" (or names a folder) gets dated names there.
    // plan: where the recording is cut into files and how much its folder
    // keeps; without one, the settings say. With a split, a fixed name is
    // numbered (name-0001.avi, name-0002.avi, ...) and never replaced.
    // log: where the files written and their frames are noted.
    // motion: whether only the frames around a change of the picture are
    // written, each event into a file of its own; without one, the settings
    // say. Only the file differs: every frame is shown and served. With it,
    // a fixed name is numbered as with a split.
    Recorder(RecorderView& view, const Settings& settings, phone::PhoneLink& link, const CodecCatalogue& codecs,
             std::function<void()> finished, const QString& fileName = QString(),
             Recording recording = Recording::FromSettings, bool automatic = false,
             std::optional<SplitPlan> plan = std::nullopt, std::shared_ptr<RecordingLog> log = nullptr,
             std::optional<MotionPlan> motion = std::nullopt);
    ~Recorder() override;

    // Asks the recorder to end after the frame in progress. Main thread.
    void Stop() { Terminate(); }

    // The AVI file's name: the one chosen, until the first frame gives the
    // recording its name (which an automatic start numbers when it is
    // taken); then the name of the latest file recorded into. Empty when
    // the recorder writes no file.
    QString FileName() const { return aviName_; }
    bool RecordsToFile() const { return recordToFile_; }

    // The pause before an automatic start follows a capture fault: the
    // first, doubled while the fault repeats (the camera then records no
    // frame), up to the last.
    static constexpr uint32_t kFirstRestartPauseMs = 5000;
    static constexpr uint32_t kLastRestartPauseMs = 300000;

    // Waits until every recorder made has been destroyed (its file
    // complete), at most limit; true when none is left.
    static bool WaitUntilNoneAlive(std::chrono::milliseconds limit);

protected:
    void Run() override;

private:
    // One recording into the open file, from switching the camera on to
    // switching it off. True when a fault ended it (not a stop, not the
    // encoder's refusal).
    bool RecordOnce();
    // Picks the file's name (a new dated one each time) and opens it beside
    // that name, making the folder when it is to be made.
    bool OpenFile(QString* reason);
    // Completes the file and opens the next one, the camera running on.
    bool SplitFile();
    // Removes the folder's oldest recordings beyond the size it keeps.
    void KeepWithinLimit();
    // Completes the file (the encoder first hands over what it holds) and
    // enters it in its folder's record when it has a recording's name.
    void CompleteFile();
    // The fixed name's stem when numbered names are the recorder's own
    // beside it; empty for dated names.
    QString RecordingNameStem() const;
    // Waits before the camera starts again; false when stopped meanwhile.
    bool WaitBeforeRestart(uint32_t milliseconds);
    // After frames of an automatic start, faults are logged and shown in
    // the work panel, and the camera starts again.
    bool Restarting() const { return automatic_ && framesRecorded_ > 0; }
    // The view is told: the recording ends, or, when Restarting(), it goes
    // on after a pause (and the fault is logged).
    void Report(const RecorderProblem& problem);
    // The file could not be made, named or written, for reason.
    RecorderProblem FileProblem(const QString& reason) const;
    // One frame into the file: the stream begins with the file's first
    // (at rate, measured from captureMs when not yet known), the file takes
    // its name with it. False when it failed; *fault then says whether a
    // fault of the file or the camera ended it (not the encoder's refusal).
    bool WriteFrame(const QImage& frame, bool& streaming, double& rate, uint32_t captureMs, uint32_t captured,
                    bool* fault);
    // Recording on motion: what the event tracker makes of the frame just
    // captured (whether it moved, and its time). False when writing failed.
    bool FollowMotion(bool& streaming, double& rate, uint32_t captureMs, uint32_t captured, bool* fault);
    // The file of an event that begins: a new one, named now.
    bool BeginEventFile();
    // The event is over (the time to keep has passed, or the recording
    // ends during it): the log and the view hear of it.
    void EndEvent();
    // One picture: taken, downloaded, decoded, stamped, shown, deleted on the
    // phone. False when no frame came of it.
    bool CaptureFrame(PhoneCapture& capture);
    void ShowFrame();
    // The view gets the step and the recording time.
    void SetStep(RecorderStep step);
    // The view is told that the recording ends for problem.
    void Fail(const RecorderProblem& problem);
    // Why the compressor failed: no room on the disk, the file, or the
    // encoder's refusal. True for a fault of the file.
    bool ReportCompressorError();
    // The view hears that the phone's reply is late, or, once it came, the
    // step again.
    void ShowLate(bool late);

    // Counts the recorder among those alive from its first member to its
    // last, also when its construction fails.
    struct Counted {
        Counted();
        ~Counted();
        Counted(const Counted&) = delete;
        Counted& operator=(const Counted&) = delete;
    };
    Counted counted_;
    RecorderView& view_;
    const Settings& settings_;
    // The tick count at the end of construction: the recording time counts
    // from there.
    uint32_t startTick_ = 0;
    phone::PhoneLink& link_;
    QImage frame_;
    QString aviName_;
    std::string phoneFile_;
    std::atomic<RecorderStep> lastStep_{};  // set on the recorder's thread
    std::unique_ptr<FrameEncoder> encoder_;
    std::unique_ptr<AviFile> avi_;
    bool hasCompressor_ = false;
    bool recordToFile_ = true;
    const bool automatic_;
    CodecEntry* entry_ = nullptr;
    // The file name asked for; with dated_ the folder of dated names instead.
    QString requestedName_;
    bool dated_ = false;
    bool makeFolder_ = false;
    long long framesRecorded_ = 0;  // by every recording of this thread
    long long segmentFrames_ = 0;   // by the latest one
    // The split: its length, and the time the latest file has recorded,
    // counted from its first frame in ticks (64 bits: no wrap).
    uint64_t splitMs_ = 0;
    uint64_t keepBytes_ = 0;
    bool numbered_ = false;
    uint64_t fileMs_ = 0;
    uint32_t fileTick_ = 0;
    std::shared_ptr<RecordingLog> log_;
    // Recording on motion: the plan, the comparison (of each picture before
    // its stamp), the events, and the one in progress or the last one.
    MotionPlan motion_;
    bool motionOn_ = false;
    std::unique_ptr<MotionDetector> detector_;
    std::unique_ptr<MotionEvents> events_;
    bool frameMoved_ = false;  // the latest picture shows motion
    std::time_t frameTime_ = 0;  // and was taken then
    MotionEvent event_;
};

// The dated file name "dd-mm-yy_hhnn.avi" in folder, with one "/" between
// them; an empty folder stands for the user's videos folder.
QString DatedAviName(const QString& folder, std::time_t when);
// name when no file of that name exists, otherwise the first free one of
// name-2.avi, name-3.avi, ...
QString UniqueAviName(const QString& name);
// " hh:nn:ss" for a number of seconds; hours go beyond 24.
QString RecordingTimeText(long long seconds);

}  // namespace orv::video
