#include "ControlPipe.h"

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
    }
    return "error";
}

PhoneBus* TheBus() { return gBus.load(); }
void SetBus(PhoneBus* bus) { gBus.store(bus); }

}  // namespace orv
