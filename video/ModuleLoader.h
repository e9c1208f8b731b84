#pragma once
// Finding and loading the FFmpeg module (FfmpegModule.h). Not for use outside
// the video library and its tests.

#include "FfmpegModule.h"

#include <QString>
#include <QStringList>

namespace orv::video::module {

// The module, loaded by the first call in the process (from any thread;
// the others wait for it) and never unloaded. nullptr when it cannot be
// loaded: the first call then writes one line to standard error naming the
// file and the loader's reason, and LoadFailure() holds that reason.
Module* Loaded();
QString LoadFailure();

// Where the module is looked for, in order: beside the executable (which is
// also where the build puts it), then the folder it is installed in.
QStringList Candidates();

// One attempt at loading the module at path, checking its ABI version
// before anything of it runs. nullptr with the reason in *error.
Module* Load(const QString& path, QString* error);

// For tests: the only place the process's module is looked for. Takes
// effect only before the first Loaded().
void SetModulePathForTests(const QString& path);

}  // namespace orv::video::module
