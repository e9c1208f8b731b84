#pragma once
// The options of the command line: exit statuses, the long options, --help
// and --version.

#include "config/Switches.h"

#include <QStringList>

#include <cstdint>
#include <optional>

namespace orv {

// Exit statuses. The window's program ends with 0 (also when another copy
// runs) or 2; the others come from --photo and --record.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,          // another failure: the encoder refuses the frames, interrupted
    kExitUsage = 2,            // an unknown option, a missing or wrong value
    kExitNoPhone = 3,          // no phone within the waiting time, or it went away first
    kExitCameraFailed = 4,     // the camera did not start, or a picture was not taken or read
    kExitFileNotWritable = 5,  // the photo or video file cannot be written
    kExitAlreadyRunning = 6,   // another copy runs (and holds the phone)
    kExitServerFailed = 7,     // the picture server cannot listen on its port
};

// Long options: arguments that begin with "--". The program knows
// --simulate-phone, --exit-when-idle, --help, --version, and for work without
// a window --photo FILE, --record FILE, --serve, --frames N, --seconds S,
// --wait S, --split-minutes N, --keep-megabytes N, --on-motion and
// --motion-threshold N, and --set-password [USER]
// (the value as the next argument or after "="); any other is an error. Qt's
// own options are written with one dash ("-platform offscreen") and are left
// to Qt, like every other argument of the window's program.
struct LongOptions {
    enum class Action { Run, Help, Version, Error, Photo, Record, Serve, SetPassword };
    // The longest --wait and --seconds (a timer's range, some 23 days).
    static constexpr int kMaxSeconds = 2000000;
    static constexpr int kDefaultWaitSeconds = 30;

    Action action = Action::Run;
    bool simulatePhone = false;
    bool exitWhenIdle = false;  // quit at the first turn of the event loop (start-up benchmark)
    QString error;              // Action::Error: what is wrong, for the user
    // Photo and Record (Serve writes no file).
    QString file;
    int waitSeconds = kDefaultWaitSeconds;
    int frames = 0;   // Record and Serve: stop after this many frames; 0 no limit
    int seconds = 0;  // Record and Serve: stop after this many seconds; 0 no limit
    // Record: a new file after this many minutes, and the megabytes of
    // recordings the folder keeps (0 off); when not given, the settings say.
    std::optional<uint32_t> splitMinutes;
    std::optional<uint32_t> keepMegabytes;
    // Record: only while something moves (otherwise the settings say), with
    // the share of the picture that must change, in tenths of a percent
    // (otherwise "MotionThreshold").
    bool onMotion = false;
    std::optional<int> motionThreshold;
    // SetPassword: the user name given (--set-password USER or
    // --set-password=USER); empty keeps the stored one.
    QString user;
};
// arguments: without the program name. --help and --version win over
// everything after them, an error over everything. --photo and --record take
// no other arguments than the long options: a switch of the window or a
// stray word is an error there.
LongOptions ParseLongOptions(const QStringList& arguments);

// The texts printed for --help and --version.
QString HelpText();
QString VersionText();

// The arguments without the program name.
QStringList ArgumentsOf(int argc, char** argv);

// Answers --help, --version and wrong long options before anything else
// starts (no display, no window, no lock, no settings): prints the answer
// and returns the exit code (0, or 2 for a wrong option). Returns nothing
// when the program is to run (with its window, or for --photo, --record or
// --serve).
std::optional<int> AnswerLongOptions(const LongOptions& options);

}  // namespace orv
