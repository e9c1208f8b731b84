// Worker threads, calls brought onto the user-interface thread, and the clock
// that tests replace.

#include "tests/support/Wait.h"
#include "platform/Clock.h"
#include "platform/WorkerThread.h"
#include "tests/support/TestEnv.h"
#include "platform/UiThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using orv::test::WaitFor;

class Worker : public orv::WorkerThread {
public:
    std::function<void(Worker*)> body;
    std::atomic<bool>* destroyed = nullptr;
    ~Worker() override
    {
        if (destroyed)
            *destroyed = true;
    }

protected:
    void Run() override { body(this); }
};

}  // namespace

TEST(WorkerThread, SynchronizeAndTheEndHandlerRunOnTheUiThread)
{
    const auto uiThread = std::this_thread::get_id();
    std::atomic<bool> destroyed{false}, synchronizedOnUi{false}, endedOnUi{false}, workerOffUi{false};
    std::atomic<int> order{0};
    auto* worker = new Worker;
    worker->destroyed = &destroyed;
    worker->SetFreeOnTerminate(true);
    worker->body = [&](Worker*) {
        workerOffUi = std::this_thread::get_id() != uiThread;
        orv::WorkerThread::Synchronize([&] {
            synchronizedOnUi = std::this_thread::get_id() == uiThread;
            order = 1;
        });
        EXPECT_EQ(order.load(), 1) << "Synchronize returns after the call ran";
    };
    worker->OnTerminate = [&](orv::WorkerThread*) {
        endedOnUi = std::this_thread::get_id() == uiThread;
        order = 2;
    };
    worker->Start();
    ASSERT_TRUE(WaitFor([&] { return destroyed.load(); }));
    ASSERT_TRUE(orv::test::WaitForWorkersToEnd());
    EXPECT_TRUE(workerOffUi);
    EXPECT_TRUE(synchronizedOnUi);
    EXPECT_TRUE(endedOnUi);
    EXPECT_EQ(order.load(), 2);
}

TEST(WorkerThread, StopFlagEndsAWorkerAndAnExceptionStillRunsTheEndHandler)
{
    std::atomic<bool> ended{false}, destroyed{false};
    auto* worker = new Worker;
    worker->destroyed = &destroyed;
    worker->SetFreeOnTerminate(true);
    worker->body = [](Worker* self) {
        while (!self->Terminated())
            orv::TheClock().Sleep(1);
        throw std::runtime_error("after the stop");
    };
    worker->OnTerminate = [&](orv::WorkerThread*) { ended = true; };
    worker->Start();
    worker->Terminate();
    ASSERT_TRUE(WaitFor([&] { return destroyed.load(); }));
    ASSERT_TRUE(orv::test::WaitForWorkersToEnd());
    EXPECT_TRUE(ended);
}

// Thread-local data whose clean-up runs after everything the worker itself
// does, as the libraries' per-thread data do, and is held there.
std::atomic<bool> gInLateCleanUp{false};
std::atomic<bool> gLateCleanUpMayEnd{false};
struct LateCleanUp {
    ~LateCleanUp()
    {
        gInLateCleanUp = true;
        while (!gLateCleanUpMayEnd)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TEST(WorkerThread, AWorkerIsAliveUntilItsThreadHasEndedEntirely)
{
    EXPECT_EQ(orv::WorkerThread::LiveCount(), 0u);
    std::atomic<bool> destroyed{false}, ended{false};
    auto* worker = new Worker;
    worker->destroyed = &destroyed;
    worker->SetFreeOnTerminate(true);
    worker->body = [](Worker*) {
        static thread_local LateCleanUp cleanUp;
        (void)&cleanUp;
    };
    worker->OnTerminate = [&](orv::WorkerThread*) { ended = true; };
    worker->Start();
    EXPECT_EQ(orv::WorkerThread::LiveCount(), 1u);
    ASSERT_TRUE(WaitFor([] { return gInLateCleanUp.load(); }));
    EXPECT_TRUE(ended);
    EXPECT_TRUE(destroyed);
    WaitFor([] { return false; }, 50);
    EXPECT_EQ(orv::WorkerThread::LiveCount(), 1u) << "its thread is still cleaning up";
    gLateCleanUpMayEnd = true;
    EXPECT_TRUE(orv::test::WaitForWorkersToEnd());
    EXPECT_EQ(orv::WorkerThread::LiveCount(), 0u);
}

TEST(WorkerThread, AfterShutdownAWorkerWaitsInsteadOfTouchingTheWindow)
{
    // Flags of the test's lifetime: the worker outlives it, parked.
    static std::atomic<bool> ran{false}, returned{false};
    const int blocked = orv::BlockedWorkers();
    orv::ShutdownUiThread();
    std::thread([] {
        orv::RunOnUiThread([] { ran = true; });
        returned = true;  // never: the worker stays parked until the process ends
    }).detach();
    // Once the worker is parked for good, whatever it queued has nothing left to wait for.
    ASSERT_TRUE(WaitFor([&] { return orv::BlockedWorkers() == blocked + 1; }));
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(ran);
    EXPECT_FALSE(returned);
    orv::InstallUiThread();
}

// A call a worker queued before the shutdown and that comes to the
// user-interface thread after it is not run: the shutdown comes at the
// moment the queued call is delivered.
TEST(WorkerThread, ACallQueuedBeforeTheShutdownIsNotRunAfterIt)
{
    static std::atomic<bool> ran{false}, returned{false};
    class ShutdownAtDelivery final : public QObject {
    public:
        bool eventFilter(QObject* receiver, QEvent* event) override
        {
            if (!delivered && receiver == QCoreApplication::instance() && event->type() == QEvent::MetaCall) {
                delivered = true;
                orv::ShutdownUiThread();
            }
            return false;
        }
        bool delivered = false;
    } filter;
    QCoreApplication::instance()->installEventFilter(&filter);
    std::thread([] {
        orv::RunOnUiThread([] { ran = true; });
        returned = true;  // never: the worker stays parked until the process ends
    }).detach();
    ASSERT_TRUE(WaitFor([&] { return filter.delivered; }));
    QCoreApplication::instance()->removeEventFilter(&filter);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(returned);
    orv::InstallUiThread();
}

TEST(Clock, ManualClockCostsNoRealTime)
{
    orv::ManualClock clock(1000);
    orv::SetClock(&clock);
    QElapsedTimer timer;
    timer.start();
    orv::TheClock().Sleep(40000);
    orv::TheClock().Sleep(5000);
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_EQ(orv::TheClock().TickCount(), 46000u);
    EXPECT_EQ(clock.SleptMilliseconds(), 45000u);
    orv::SetClock(nullptr);
    const uint32_t before = orv::TheClock().TickCount();
    orv::TheClock().Sleep(2);
    EXPECT_GE(orv::TheClock().TickCount() - before, 2u);
}

TEST(Clock, StampTextIsDayMonthYearHourMinute)
{
    qputenv("TZ", "UTC");
    tzset();
    EXPECT_EQ(orv::FormatStampTime(1796567400), "06-12-26_1430");
    EXPECT_EQ(orv::FormatStampTime(946684800 + 9 * 3600 + 5 * 60), "01-01-00_0905");
}
