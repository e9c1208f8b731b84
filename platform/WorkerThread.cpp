#include "WorkerThread.h"

#include "UiThread.h"

#include <pthread.h>

#include <exception>
#include <mutex>
#include <system_error>
#include <vector>

namespace orv {
namespace {

// Every worker thread that has not been seen to end. A thread is reaped with
// a join that does not wait: it succeeds only once the thread has finished
// all of its clean-up, which nothing signalled from inside the thread could
// promise.
std::mutex gWorkersMutex;
std::vector<pthread_t> gWorkers;

// With gWorkersMutex held.
void ReapEndedWorkers()
{
    std::erase_if(gWorkers, [](pthread_t thread) { return pthread_tryjoin_np(thread, nullptr) == 0; });
}

}  // namespace

WorkerThread::WorkerThread() : presence_(std::make_shared<WorkerHandle::Presence>())
{
    presence_->stoppable = this;
    control_.Beat();
}

WorkerThread::~WorkerThread()
{
    // The derived part is gone by now (a recorder's file is complete).
    {
        std::lock_guard lock(presence_->mutex);
        presence_->stoppable = nullptr;
        presence_->destroyed = true;
    }
    presence_->gone.notify_all();
}

void WorkerThread::Terminate()
{
    // Held until the stop is whole: the thread frees itself only after it
    // has taken this lock, so the flag it may end on never outruns the
    // wake-up of its transfers.
    std::lock_guard lock(presence_->mutex);
    TerminateHeld();
}

void WorkerHandle::Stop() const
{
    if (!presence_)
        return;
    std::lock_guard lock(presence_->mutex);
    if (presence_->stoppable)
        presence_->stoppable->TerminateHeld();
}

bool WorkerHandle::Wait(std::chrono::milliseconds limit) const
{
    if (!presence_)
        return true;
    std::unique_lock lock(presence_->mutex);
    return presence_->gone.wait_for(lock, limit, [this] { return presence_->destroyed; });
}

std::optional<uint32_t> WorkerHandle::LastLife() const
{
    if (!presence_)
        return std::nullopt;
    std::lock_guard lock(presence_->mutex);
    if (!presence_->stoppable)
        return std::nullopt;
    return presence_->stoppable->LastLife();
}

bool WorkerHandle::Alive() const
{
    if (!presence_)
        return false;
    std::lock_guard lock(presence_->mutex);
    return !presence_->destroyed;
}

void WorkerThread::Start()
{
    std::lock_guard lock(gWorkersMutex);
    ReapEndedWorkers();
    gWorkers.reserve(gWorkers.size() + 1);  // no allocation failure once the thread runs
    pthread_t thread;
    if (const int error = pthread_create(&thread, nullptr, &WorkerThread::Body, this); error != 0)
        throw std::system_error(error, std::generic_category(), "starting a worker thread");
    gWorkers.push_back(thread);
}

size_t WorkerThread::LiveCount()
{
    std::lock_guard lock(gWorkersMutex);
    ReapEndedWorkers();
    return gWorkers.size();
}

void WorkerThread::Synchronize(const std::function<void()>& fn) { RunOnUiThread(fn); }

// This is run on the worker thread.
void* WorkerThread::Body(void* argument)
{
    auto* self = static_cast<WorkerThread*>(argument);
    try {
        const TransferControlScope scope(&self->control_);
        self->Run();
    } catch (const std::exception&) {
        // An exception ends the thread body like a return does; the end
        // handler still runs so the window gets its menus back.
    } catch (...) {
    }
    if (self->OnTerminate) {
        auto handler = self->OnTerminate;
        try {
            RunOnUiThread([&] { handler(self); });
        } catch (...) {
            // Only without a user-interface thread does the handler's
            // exception come back here; the worker ends all the same.
        }
    }
    {
        // From here on a stop has nothing to end, and the object may go.
        std::lock_guard lock(self->presence_->mutex);
        self->presence_->stoppable = nullptr;
    }
    if (self->freeOnTerminate_)
        delete self;
    return nullptr;
}

}  // namespace orv
