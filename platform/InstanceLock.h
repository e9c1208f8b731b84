#pragma once
// The per-user lock that lets only one copy of the program run: an exclusive
// flock on a file named after the lock, held until the process ends.

#include <string>

namespace orv {

// $ORVELLO_LOCK_DIR (tests), else $XDG_RUNTIME_DIR, else the temporary folder
// with the user id in the file name.
std::string InstanceLockPath(const std::string& name);

// Takes the lock and keeps it for the life of the process. True when another
// process holds it already, or when the lock cannot be made at all.
bool IsAlreadyRunning(const std::string& name = "OrvelloIsAlreadyRunning");

}  // namespace orv
