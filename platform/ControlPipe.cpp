#include "ControlPipe.h"

#include "Clock.h"

#include <atomic>

namespace orv {
namespace {
std::atomic<PhoneBus*> gBus{nullptr};
}

const char* TransferStatusName(TransferStatus status)
{
    switch (status) {
    case TransferStatus::Ok: return "ok";
    case TransferStatus::Timeout: return "timeout";
    case TransferStatus::Stall: return "stall";
    case TransferStatus::NoDevice: return "no-device";
    case TransferStatus::Error: return "error";
    case TransferStatus::Cancelled: return "cancelled";
    }
    return "error";
}

namespace {
thread_local TransferControl* tControl = nullptr;
}

void TransferControl::RequestStop()
{
    std::lock_guard lock(mutex_);
    if (stopRequested_.exchange(true))
        return;
    if (wake_)
        wake_();
}

bool TransferControl::StopRequested() const
{
    return stopRequested_.load() ||
           (hasDeadline_.load() && static_cast<int32_t>(TheClock().TickCount() - deadline_.load()) >= 0);
}

void TransferControl::SetDeadline(uint32_t tick)
{
    deadline_ = tick;
    hasDeadline_ = true;
}

bool TransferControl::SetWake(std::function<void()> wake)
{
    std::lock_guard lock(mutex_);
    // Under the lock, which RequestStop holds while it sets the flag: a stop
    // is either seen here or wakes what is registered.
    if (StopRequested())
        return false;
    wake_ = std::move(wake);
    return true;
}

void TransferControl::ClearWake()
{
    std::lock_guard lock(mutex_);
    wake_ = nullptr;
}

void TransferControl::SetLateNotice(uint32_t lateAfterMs, std::function<void(bool late)> late)
{
    std::lock_guard lock(mutex_);
    lateAfterMs_ = lateAfterMs;
    late_ = std::move(late);
}

void TransferControl::Beat() { lastLife_ = TheClock().TickCount(); }

void TransferControl::BeginWait()
{
    Beat();
    std::lock_guard lock(mutex_);
    waiting_ = true;
    saidLate_ = false;
    waitStart_ = TheClock().TickCount();
}

void TransferControl::StillWaiting()
{
    Beat();
    std::function<void(bool)> late;
    {
        std::lock_guard lock(mutex_);
        if (!waiting_ || saidLate_ || !late_ || TheClock().TickCount() - waitStart_ < lateAfterMs_)
            return;
        saidLate_ = true;
        late = late_;
    }
    late(true);
}

void TransferControl::EndWait()
{
    Beat();
    std::function<void(bool)> late;
    {
        std::lock_guard lock(mutex_);
        if (saidLate_)
            late = late_;
        waiting_ = false;
        saidLate_ = false;
    }
    if (late)
        late(false);
}

TransferControl* CurrentTransferControl() { return tControl; }

TransferControlScope::TransferControlScope(TransferControl* control) : previous_(tControl) { tControl = control; }

TransferControlScope::~TransferControlScope() { tControl = previous_; }

PhoneBus* TheBus() { return gBus.load(); }
void SetBus(PhoneBus* bus) { gBus.store(bus); }

}  // namespace orv
