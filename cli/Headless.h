#pragma once
// The program without a window, for scripts and headless machines: one photo
// (--photo), a recording of the web camera (--record) or the web camera
// without a recording (--serve) with the stored
// settings, through the photo thread, the recorder, the device monitor and
// the picture server that the window uses too. Failures are one English line
// on standard error and an exit status of their own (CommandLine.h);
// progress goes there only when it is a terminal.

#include "CommandLine.h"

#include <QString>

#include <functional>

namespace orv {

// Makes the application object (offscreen: nothing is ever shown), takes the
// single-instance lock, installs the phone bus (installBus; only once the
// lock is held), waits for the phone, does the work and returns the exit
// status. options.action is Photo, Record or Serve. The process may end inside,
// with that status, when a worker thread is still alive at the end.
int RunHeadless(const LongOptions& options, int argc, char** argv, const std::function<void()>& installBus);

// Whether path can be written, before the phone is asked for anything: its
// folder exists and takes new files, and a file of that name, if there is
// one, is no folder and may be written. *reason says why not.
bool CanWriteFile(const QString& path, QString* reason);

// The file a recording goes to: path itself, or, for a folder (an existing
// one, or a path ending in "/"), a new file in it named after the date and
// time ("dd-mm-yy_hhnn.avi", "-2" and so on when taken).
QString RecordingFileName(const QString& path);

}  // namespace orv
