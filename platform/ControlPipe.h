#pragma once
// The seam between the phone protocol and the machine: one opened USB device
// that carries control transfers, and the bus that finds the modem port and
// the devices. The libusb route and the simulated phone both implement it;
// nothing above it knows which one runs.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orv {

// USB 2.0 setup packet (section 9.3). On the wire the 16-bit fields are
// little-endian; here they are plain numbers.
struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;  // bytes of the data stage
};

// Cancelled: ended early because a stop was asked for on the thread that
// made the transfer (TransferControl).
enum class TransferStatus { Ok, Timeout, Stall, NoDevice, Error, Cancelled };

struct TransferResult {
    TransferStatus status = TransferStatus::Error;
    size_t transferred = 0;  // bytes of the data stage moved
};

const char* TransferStatusName(TransferStatus status);

// What other threads may do to the transfers of one thread: stop them, and
// hear that one of its exchanges waits long. A thread works under one while a
// TransferControlScope of it is alive; its transfers and the phone link's
// waits look at it. Stopping is for good: once asked for, every transfer of
// the thread ends at once with TransferStatus::Cancelled (the one in flight
// included) and every wait of the link gives up.
class TransferControl {
public:
    TransferControl() = default;
    TransferControl(const TransferControl&) = delete;
    TransferControl& operator=(const TransferControl&) = delete;

    // Any thread. Runs the wake-up of what the thread is waiting on, if any.
    void RequestStop();
    // True once the stop was asked for, or once the deadline has come.
    bool StopRequested() const;
    // A stop that comes by itself at this tick count of the program's clock
    // (a bounded last exchange); the waits look at it now and then.
    void SetDeadline(uint32_t tick);

    // For whatever blocks the thread: wake runs once when the stop is asked
    // for while it is registered; it runs under this object's lock, so it
    // must only wake (cancel a transfer, notify a condition). False, and
    // nothing registered, when the stop was asked for already.
    bool SetWake(std::function<void()> wake);
    // Unregisters; once this returns, the wake-up will not run.
    void ClearWake();

    // Lateness: late(true) is called (on the waiting thread) once a wait that
    // began at BeginWait has lasted lateAfterMs on the program's clock, and
    // late(false) when that wait ends. Set before the thread works.
    void SetLateNotice(uint32_t lateAfterMs, std::function<void(bool late)> late);
    void BeginWait();
    // Called by waiting loops (the link's poll, a pipe waiting for the
    // device) now and then: gives the notice when the wait has become late.
    void StillWaiting();
    void EndWait();

    // Signs of life of the thread under this control: every wait above and
    // every Beat() note the program's tick count; LastLife() reads it, from
    // any thread. A thread that knowingly waits (for a mute phone, in a
    // pause) shows life; one stuck elsewhere does not.
    void Beat();
    uint32_t LastLife() const { return lastLife_.load(); }

private:
    mutable std::mutex mutex_;
    // Read without the lock: a waiter may look at them while it holds a lock
    // that the wake-up takes.
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> hasDeadline_{false};
    std::atomic<uint32_t> deadline_{0};
    std::atomic<uint32_t> lastLife_{0};
    std::function<void()> wake_;
    uint32_t lateAfterMs_ = 0;
    std::function<void(bool)> late_;
    bool waiting_ = false;
    bool saidLate_ = false;
    uint32_t waitStart_ = 0;
};

// The control of the calling thread, or nullptr.
TransferControl* CurrentTransferControl();

// Puts the calling thread under a control for its lifetime (nullptr: none).
class TransferControlScope {
public:
    explicit TransferControlScope(TransferControl* control);
    ~TransferControlScope();
    TransferControlScope(const TransferControlScope&) = delete;
    TransferControlScope& operator=(const TransferControlScope&) = delete;

private:
    TransferControl* previous_;
};

class ControlPipe {
public:
    virtual ~ControlPipe() = default;

    // One control transfer on endpoint 0. Host to device (bit 7 of
    // requestType clear): data holds setup.length bytes to send. Device to
    // host: data has room for setup.length bytes. A transfer made under a
    // TransferControl whose stop is asked for ends at once with Cancelled.
    virtual TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout) = 0;

    // Claims the interface before the protocol uses it.
    virtual bool ClaimInterface(int number) = 0;

    // Blocks until the device goes away or CancelWait() is called; returns at
    // once when removal cannot be watched.
    virtual void WaitForRemoval() = 0;
    // Makes a WaitForRemoval() in progress (or the next one) return. Any thread.
    virtual void CancelWait() = 0;

    // Where the device sits, for traces and messages.
    virtual std::string Path() const = 0;
};

// A vendor-specific USB interface that names itself with a string, as the
// system describes it from what it read when the device arrived: listing it
// opens no device and sends nothing.
struct NamedInterface {
    std::string devicePath;  // the device that carries it, for PhoneBus::Open
    int number = 0;          // bInterfaceNumber
    // The interface's name string (iInterface) laid out as a USB string
    // descriptor: bLength, type 3, then UTF-16LE units.
    std::vector<uint8_t> nameDescriptor;
};

class PhoneBus {
public:
    virtual ~PhoneBus() = default;

    // The lowest-numbered USB modem port (CDC-ACM) of a USB device with this
    // vendor id, or an empty text when there is none. Ports of other devices
    // are never reported.
    virtual std::string FindModemPort(uint16_t vendorId) = 0;
    // Opens the port for writing (not as the controlling terminal, taken
    // exclusively), writes the bytes once, closes it. A port that does not
    // belong to a USB device with this vendor id (any more) is not opened.
    // 0 or -1.
    virtual int WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length) = 0;

    // The named vendor-specific interfaces of the present USB devices, by
    // device path and interface number.
    virtual std::vector<NamedInterface> ListInterfaces() = 0;
    // Opens one device; nothing when that fails.
    virtual std::unique_ptr<ControlPipe> Open(const std::string& devicePath) = 0;
    // A phone's device that is there but that this user may not open (its
    // udev rules are missing), as the search found it in the last few
    // seconds; empty when nothing was refused meanwhile.
    virtual std::string DeniedDevice() { return {}; }
};

// The bus in force (chosen once by the entry point; tests set their own).
PhoneBus* TheBus();
void SetBus(PhoneBus* bus);

}  // namespace orv
