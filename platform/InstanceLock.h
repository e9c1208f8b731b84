#pragma once
// The per-user lock that lets only one copy of the program run: an exclusive
// flock on a file named after the lock, held until the process ends.

#include <string>

namespace orv {

// The folder that holds the lock: $ORVELLO_LOCK_DIR (tests), else
// $XDG_RUNTIME_DIR, else "orvello-<uid>" in the temporary folder ($TMPDIR or
// /tmp), else, when that name is taken by something that is not the user's
// own private folder, "orvello" in the user's cache folder. The folders of
// the last two are made with mode 0700 and used only when they are real
// folders (never a symbolic link) owned by the user, with access for others
// taken away. Empty when there is none.
std::string InstanceLockFolder();

// Takes the lock and keeps it for the life of the process. True when another
// process holds it already, or when the lock cannot be made at all.
bool IsAlreadyRunning(const std::string& name = "OrvelloIsAlreadyRunning");

// Whether this process took a lock by IsAlreadyRunning and so is the only
// copy of the program of this user: what an earlier run left behind in its
// folders is no running copy's.
bool HoldsInstanceLock();

}  // namespace orv
