#pragma once
// What the web-camera recorder reports, and to whom. The recorder says what
// it is doing and what went wrong as values; whoever shows it (the window in
// the language in force, the command line in English with an exit status)
// turns them into its own words. Every call runs on the user-interface
// thread.

#include <QString>

#include <chrono>
#include <ctime>
#include <utility>

class QImage;

namespace orv::video {

// The recorder's step, for the work panel.
enum class RecorderStep {
    CameraStarting,   // switching the camera on and letting it settle
    Shooting,         // taking a picture
    Deleting,         // reading done: the picture is deleted on the phone
    FrameTaken,       // a frame is recorded; the next one follows
    CameraStopped,    // the camera is off: the recording has ended or pauses
    PhoneLate,        // the phone has not answered for a while; still waiting
    RestartPause,     // after a fault, waiting to start the camera again
    WaitingForPhone,  // in that pause, the phone is away
    // Recording only while something moves: these stand for the shot, the
    // deletion and the frame taken.
    WaitingForMotion,  // nothing moves: frames are shown and served, not written
    MotionRecording,   // something moves: frames go into the event's file
};

// What stopped a recording, or a part of one.
enum class RecorderFault {
    NoPhone,            // no phone when the camera was to start
    CameraStartFailed,  // the camera did not switch on
    CameraError,        // a picture was not taken, read or decoded
    FileFailed,         // the AVI file could not be made, named or written
    DiskFull,           // the disk (or the file size limit) took no more
    EncoderRefused,     // no encoder, or it refuses the frames
};

struct RecorderProblem {
    RecorderProblem(RecorderFault kind, QString path = {}, QString why = {})
        : fault(kind), file(std::move(path)), reason(std::move(why))
    {
    }
    RecorderFault fault;
    QString file;    // FileFailed and DiskFull: the file concerned
    QString reason;  // FileFailed and DiskFull: the system's words
};

// An event of a recording that records only while something moves.
struct MotionEvent {
    int number = 0;          // 1 for the recorder's first event
    std::time_t start = 0;   // the time of its first frame with motion
    std::time_t end = 0;     // of its last frame written (so far)
    QString file;            // the file it began in
    long long frames = 0;    // written so far, those from before the change included
    bool ended = false;      // false: it has begun; true: it is over
};

class RecorderView {
public:
    virtual ~RecorderView() = default;
    // A new step, with the time since the recorder was made.
    virtual void RecorderStatus(RecorderStep step, std::chrono::seconds elapsed) = 0;
    // A fault. restarting: the recorder goes on after a pause (an automatic
    // start that has recorded); otherwise it ends, and the user is told.
    virtual void RecorderFailed(const RecorderProblem& problem, bool restarting) = 0;
    // The latest frame. It always becomes the current frame (the one the
    // picture server serves); with show set it is also shown in the window's
    // picture, and with fit set as well the window is fitted to a frame
    // wider than 300 pixels.
    virtual void RecorderFrame(const QImage& frame, bool show, bool fit) = 0;
    // An event began (its first frames are in its file) or ended (the time
    // to keep has passed, or the recording stopped during it).
    virtual void RecorderMotion(const MotionEvent& event) { (void)event; }
};

}  // namespace orv::video
