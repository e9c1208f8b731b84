#include "UiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace orv {
namespace {

std::atomic<bool> gInstalled{false};
std::atomic<bool> gShutdown{false};
std::thread::id gUiThreadId;

struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

// Lets the worker that waits for this call go on (user-interface thread; the
// queued call holds its own reference to pending).
void Release(Pending& pending)
{
    {
        std::lock_guard lock(pending.mutex);
        pending.finished = true;
    }
    pending.done.notify_all();
}

std::atomic<int> gBlocked{0};

[[noreturn]] void BlockForEver()
{
    ++gBlocked;
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void InstallUiThread()
{
    gUiThreadId = std::this_thread::get_id();
    gShutdown = false;
    gInstalled = true;
}

void ShutdownUiThread() { gShutdown = true; }

int BlockedWorkers() { return gBlocked.load(); }

bool IsUiThread() { return !gInstalled || std::this_thread::get_id() == gUiThreadId; }

void RunOnUiThread(const std::function<void()>& fn)
{
    if (IsUiThread()) {
        fn();
        return;
    }
    if (gShutdown || !QCoreApplication::instance())
        BlockForEver();
    // Qt's blocking queued connection would release the waiting worker when
    // the event is discarded at shutdown, without having run fn; this keeps
    // the worker waiting instead.
    auto pending = std::make_shared<Pending>();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [pending, &fn] {
            if (gShutdown)
                return;  // the worker stays blocked
            try {
                fn();
            } catch (...) {
                // The worker is released before the exception leaves: it
                // must not wait for ever behind the error box. Nothing of the
                // worker (fn included) is touched once it has been released.
                Release(*pending);
                throw;
            }
            Release(*pending);
        },
        Qt::QueuedConnection);
    std::unique_lock lock(pending->mutex);
    pending->done.wait(lock, [&] { return pending->finished || gShutdown.load(); });
    if (!pending->finished)
        BlockForEver();
}

void PostToUiThread(std::function<void()> fn)
{
    if (!gInstalled) {
        fn();
        return;
    }
    if (gShutdown || !QCoreApplication::instance())
        return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [fn = std::move(fn)] {
            if (!gShutdown)
                fn();
        },
        Qt::QueuedConnection);
}

}  // namespace orv
