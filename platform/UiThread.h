#pragma once
// Bringing work onto the user-interface thread from worker threads.

#include <functional>

namespace orv {

// Marks the calling thread (which runs the Qt event loop) as the
// user-interface thread. Call once the QCoreApplication exists.
void InstallUiThread();
// Called when the event loop has ended for good: from then on every call that
// would run on the user-interface thread blocks its worker for ever, so that
// no worker touches a window that is being destroyed. The process ends
// without waiting for such workers.
void ShutdownUiThread();
// Workers blocked for good by a call after the shutdown, so far.
int BlockedWorkers();
bool IsUiThread();

// Runs fn on the user-interface thread and waits until it has run. Runs it
// directly when called on that thread, or when no user-interface thread was
// ever installed (plain unit tests). An exception that escapes fn goes on
// through the user-interface thread's event handling (the application's
// guard shows it) and the worker goes on as if fn had returned.
void RunOnUiThread(const std::function<void()>& fn);
// Queues fn on the user-interface thread and returns at once.
void PostToUiThread(std::function<void()> fn);

}  // namespace orv
