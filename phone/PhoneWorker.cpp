#include "PhoneWorker.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

Q_LOGGING_CATEGORY(lcPhoneWorker, "orvello.phone.worker")

namespace orv::phone {
namespace {

// How one queued piece of work tells its waiter that it has run.
struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    // Set while the waiter runs an event loop for it; the worker then wakes
    // that loop through the application object's thread. Changed under the
    // mutex, so no wake-up is posted once the waiter has gone.
    bool loopWaiting = false;
    // The waiter's loop: touched on the waiter's thread only.
    QEventLoop* loop = nullptr;
};

struct Job {
    std::function<void()> work;
    std::shared_ptr<Completion> completion;
};

void Finish(const std::shared_ptr<Completion>& completion)
{
    std::lock_guard lock(completion->mutex);
    completion->finished = true;
    completion->done.notify_all();
    if (completion->loopWaiting) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [completion] {
                if (completion->loop)
                    completion->loop->quit();
            },
            Qt::QueuedConnection);
    }
}

bool OnApplicationThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace

struct PhoneWorker::Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;

    void Run()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [this] { return !jobs.empty(); });
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            try {
                job.work();
            } catch (const std::exception& error) {
                qCWarning(lcPhoneWorker, "a phone command failed: %s", error.what());
            } catch (...) {
                qCWarning(lcPhoneWorker, "a phone command failed");
            }
            if (job.completion)
                Finish(job.completion);
        }
    }

    void Push(Job job)
    {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        changed.notify_one();
    }
};

PhoneWorker::PhoneWorker() : queue_(new Queue)
{
    // Neither the queue nor the thread is ever released: a command may still
    // hang on a mute phone when the program leaves.
    std::thread([queue = queue_] { queue->Run(); }).detach();
}

PhoneWorker& PhoneWorker::Instance()
{
    static auto* worker = new PhoneWorker;
    return *worker;
}

void PhoneWorker::Post(std::function<void()> work) { queue_->Push({std::move(work), nullptr}); }

bool PhoneWorker::RunAndWait(std::function<void()> work, std::chrono::milliseconds limit)
{
    auto completion = std::make_shared<Completion>();
    // Beyond what a timer takes (about 24 days) there is no limit.
    const bool unlimited = limit.count() >= INT_MAX;
    const bool runEvents = OnApplicationThread();
    if (runEvents) {
        std::lock_guard lock(completion->mutex);
        completion->loopWaiting = true;
    }
    queue_->Push({std::move(work), completion});

    if (!runEvents) {
        std::unique_lock lock(completion->mutex);
        const auto finished = [&] { return completion->finished; };
        if (unlimited)
            completion->done.wait(lock, finished);
        else
            completion->done.wait_for(lock, limit, finished);
        return completion->finished;
    }

    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!unlimited)
        deadline.start(limit);
    completion->loop = &loop;
    bool finished = false;
    {
        std::lock_guard lock(completion->mutex);
        finished = completion->finished;
    }
    // Paint events, timers and queued calls run; clicks and keys wait.
    if (!finished)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    completion->loop = nullptr;
    std::lock_guard lock(completion->mutex);
    completion->loopWaiting = false;
    return completion->finished;
}

}  // namespace orv::phone
