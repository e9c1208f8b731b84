#pragma once
// The worker-thread class of the program: a thread body Run(), a stop flag,
// calls that run on the user-interface thread while the worker waits, an end
// handler run on the user-interface thread, and freeing itself when done.

#include "ControlPipe.h"

#include <atomic>
#include <cstddef>
#include <functional>

namespace orv {

class WorkerThread {
public:
    WorkerThread() = default;
    virtual ~WorkerThread() = default;
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
    void Terminate()
    {
        terminated_ = true;
        control_.RequestStop();
    }
    bool Terminated() const { return terminated_; }

    // When set, the object deletes itself after Run() and OnTerminate.
    void SetFreeOnTerminate(bool free) { freeOnTerminate_ = free; }

    // Run on the user-interface thread after Run() has returned, while the
    // worker waits.
    std::function<void(WorkerThread*)> OnTerminate;

    // Runs fn on the user-interface thread while this thread waits.
    static void Synchronize(const std::function<void()>& fn);

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
    static void* Body(void* self);

    std::atomic<bool> terminated_{false};
    TransferControl control_;
    bool freeOnTerminate_ = false;
};

}  // namespace orv
