#pragma once
// The worker-thread class of the program: a thread body Run(), a stop flag,
// calls that run on the user-interface thread while the worker waits, an end
// handler run on the user-interface thread, and freeing itself when done.

#include "ControlPipe.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace orv {

class WorkerThread;

// A hold on a worker that frees itself: it can ask the worker to stop and
// wait until the worker's object is gone (its destructor has run, so a
// recorder's file is complete), without ever touching a freed object. A
// default handle holds no worker. User-interface thread or any other.
class WorkerHandle {
public:
    WorkerHandle() = default;

    // Terminate() on the worker while its body or end handler may still run;
    // nothing after that.
    void Stop() const;
    // Until the worker's object is destroyed, at most limit; true when it
    // is (or there never was one).
    bool Wait(std::chrono::milliseconds limit) const;
    // The object has not been destroyed yet.
    bool Alive() const;
    // The tick count of the worker's last sign of life (TransferControl::
    // LastLife); nothing once its body and end handler are over.
    std::optional<uint32_t> LastLife() const;
    explicit operator bool() const { return presence_ != nullptr; }

private:
    friend class WorkerThread;
    struct Presence {
        std::mutex mutex;
        std::condition_variable gone;
        WorkerThread* stoppable = nullptr;  // cleared once the body and end handler are over
        bool destroyed = false;
    };
    explicit WorkerHandle(std::shared_ptr<Presence> presence) : presence_(std::move(presence)) {}
    std::shared_ptr<Presence> presence_;
};

class WorkerThread {
public:
    WorkerThread();
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread body on a new thread. Nobody waits for it: program
    // exit neither waits for a worker nor aborts on one. Throws
    // std::system_error when no thread can be made.
    void Start();

    // Sets the stop flag that Run() tests, then ends the thread's transfers
    // and the link's waits of the thread at once (TransferControl): a thread
    // blocked on a phone that does not answer sees its stop without waiting
    // for the phone's time limits.
    // The worker does not free itself while this runs.
    void Terminate();
    bool Terminated() const { return terminated_; }

    // When set, the object deletes itself after Run() and OnTerminate.
    void SetFreeOnTerminate(bool free) { freeOnTerminate_ = free; }

    // Run on the user-interface thread after Run() has returned, while the
    // worker waits.
    std::function<void(WorkerThread*)> OnTerminate;

    // Runs fn on the user-interface thread while this thread waits.
    static void Synchronize(const std::function<void()>& fn);

    // The thread's last sign of life (see TransferControl::Beat).
    uint32_t LastLife() const { return control_.LastLife(); }

    // A hold on this worker that stays valid after it has freed itself.
    WorkerHandle Handle() const { return WorkerHandle(presence_); }

    // How many workers started by Start() are still alive. A worker is gone
    // only once its thread has ended entirely: after Run(), the end handler,
    // freeing itself and the thread's own clean-up (the thread-local data of
    // the libraries it used). Never blocks.
    static size_t LiveCount();

protected:
    virtual void Run() = 0;
    // The control the thread body runs under.
    TransferControl& Control() { return control_; }

private:
    friend class WorkerHandle;
    // Terminate() with the presence's lock held.
    void TerminateHeld()
    {
        terminated_ = true;
        control_.RequestStop();
    }
    static void* Body(void* self);

    std::shared_ptr<WorkerHandle::Presence> presence_;
    std::atomic<bool> terminated_{false};
    TransferControl control_;
    bool freeOnTerminate_ = false;
};

}  // namespace orv
