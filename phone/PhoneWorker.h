#pragma once
// The thread that carries the phone commands the user-interface thread asks
// for: restart, suspend, the disconnect's detach request and the restart at
// exit. A phone that has stopped answering holds one command for up to the
// transport's limits (10 s for the write and 40 s for the reply), and a
// command waits for the exchange another thread has on the wire; none of this
// may stop the window. The commands run here one after the other, in the
// order they were asked for, with the same bytes as anywhere else.

#include <chrono>
#include <functional>

namespace orv::phone {

class PhoneWorker {
public:
    // The process's worker, started at first use. It is never ended and never
    // waited for: the program exits while a command still hangs on it.
    static PhoneWorker& Instance();

    // Queues the work behind what is already queued and returns at once.
    void Post(std::function<void()> work);

    // Queues the work and waits until it has run or `limit` has passed
    // (milliseconds::max() waits for as long as it takes). On the thread of
    // the application object the wait runs its events, so the windows keep
    // painting and the synchronised calls of other threads go through, while
    // user input waits until it returns. True when the work has run.
    bool RunAndWait(std::function<void()> work, std::chrono::milliseconds limit);

    PhoneWorker(const PhoneWorker&) = delete;
    PhoneWorker& operator=(const PhoneWorker&) = delete;

    struct Queue;

private:
    PhoneWorker();
    Queue* queue_;
};

}  // namespace orv::phone
