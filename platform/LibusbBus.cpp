#include "LibusbBus.h"

#include "Clock.h"

#include <QLoggingCategory>
#include <QString>

#include <libudev.h>
#include <libusb.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <tuple>
#include <vector>

Q_LOGGING_CATEGORY(lcUsb, "orvello.usb", QtInfoMsg)

namespace orv {
namespace {

// The modem port gets its few bytes within this many waits for room in the
// output buffer; a port that takes nothing for that long is given up.
constexpr int kWriteWaits = 20;
constexpr int kWriteWaitSliceMs = 100;
// Interrupted calls are retried, but not for ever.
constexpr int kMaxInterruptions = 100;
// The removal wait also looks at the device itself this often, in case the
// monitor lost its event (socket overrun) or no udev daemon announces events.
constexpr int kPresenceRecheckMs = 2000;
// A transfer in flight looks at its thread's control this often (lateness).
constexpr long kTransferSliceUs = 100000;

constexpr unsigned kVendorSpecificClass = 0xFF;
constexpr unsigned kCommunicationsClass = 0x02;
constexpr uint8_t kStringDescriptorType = 3;

// --- libudev objects with their owners -------------------------------------

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using UdevEnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeleter>;
using UdevMonitorPtr = std::unique_ptr<udev_monitor, UdevDeleter>;

// A file descriptor closed on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);  // EINTR on close leaves the descriptor closed on Linux: no retry
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string_view Text(const char* text) { return text ? std::string_view(text) : std::string_view(); }

// Reports a failure that repeats on every pass of the device search only the
// first time it happens.
void WarnOnce(std::atomic<bool>& said, const char* what, const std::string& detail)
{
    if (!said.exchange(true))
        qCWarning(lcUsb, "%s: %s", what, detail.c_str());
}

UdevPtr NewUdev()
{
    static std::atomic<bool> said{false};
    UdevPtr u(udev_new());
    if (!u)
        WarnOnce(said, "libudev is not available", std::strerror(errno));
    return u;
}

// Digits of a decimal number at the end of text ("ttyACM12" -> 12).
std::optional<unsigned> TrailingNumber(std::string_view text, std::string_view prefix)
{
    if (text.size() <= prefix.size() || text.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    unsigned number = 0;
    const char* first = text.data() + prefix.size();
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return number;
}

std::optional<unsigned> SysattrNumber(udev_device* device, const char* name)
{
    std::string_view text = Text(udev_device_get_sysattr_value(device, name));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;
    unsigned number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

// A sysattr that sysfs gives as hexadecimal digits ("22b8", "ff").
std::optional<unsigned> SysattrHex(udev_device* device, const char* name)
{
    std::string_view text = Text(udev_device_get_sysattr_value(device, name));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    if (text.empty() || text.size() > 4)
        return std::nullopt;
    unsigned number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, 16);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

// A tty counts as a modem port when the USB interface it hangs off is a
// CDC-ACM one: bound to the cdc_acm driver, or of the communications class.
bool IsAcmModem(udev_device* tty)
{
    udev_device* interface = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
    if (!interface)
        return false;
    if (Text(udev_device_get_driver(interface)) == "cdc_acm")
        return true;
    return SysattrHex(interface, "bInterfaceClass") == kCommunicationsClass;
}

// The vendor id of the USB device that a tty or an interface belongs to.
std::optional<unsigned> VendorOf(udev_device* child)
{
    udev_device* device = udev_device_get_parent_with_subsystem_devtype(child, "usb", "usb_device");
    return device ? SysattrHex(device, "idVendor") : std::nullopt;
}

struct ModemPort {
    unsigned number = 0;  // of ttyACM<number>
    std::string node;     // /dev/ttyACM<number>
};

// The CDC-ACM modem ports of USB devices with the vendor id, as udev knows
// them. Nothing is opened.
std::vector<ModemPort> ModemPortsOf(udev* u, uint16_t vendorId)
{
    std::vector<ModemPort> ports;
    UdevEnumeratePtr enumerate(udev_enumerate_new(u));
    if (!enumerate)
        return ports;
    udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
    udev_enumerate_add_match_sysname(enumerate.get(), "ttyACM*");
    if (udev_enumerate_scan_devices(enumerate.get()) < 0)
        return ports;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        UdevDevicePtr tty(udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)));
        if (!tty)
            continue;
        const std::string_view name = Text(udev_device_get_sysname(tty.get()));
        const std::optional<unsigned> number = TrailingNumber(name, "ttyACM");
        if (!number || !IsAcmModem(tty.get()) || VendorOf(tty.get()) != vendorId)
            continue;
        const char* devnode = udev_device_get_devnode(tty.get());
        ports.push_back({*number, devnode ? devnode : "/dev/" + std::string(name)});
    }
    return ports;
}

// The interface string as a USB string descriptor: the kernel keeps it as
// UTF-8, the descriptor holds UTF-16LE units (at most 126 fit).
std::vector<uint8_t> StringDescriptor(std::string_view text)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);  // sysfs ends the value with a newline
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    const size_t units = std::min<size_t>(static_cast<size_t>(decoded.size()), 126);
    std::vector<uint8_t> descriptor(2 + 2 * units);
    descriptor[0] = static_cast<uint8_t>(descriptor.size());
    descriptor[1] = kStringDescriptorType;
    for (size_t i = 0; i < units; ++i) {
        const char16_t unit = decoded.at(static_cast<qsizetype>(i)).unicode();
        descriptor[2 + 2 * i] = static_cast<uint8_t>(unit & 0xFF);
        descriptor[3 + 2 * i] = static_cast<uint8_t>(unit >> 8);
    }
    return descriptor;
}

// The sysfs path of the USB device at bus/address, or "" when udev has none.
std::string FindUsbSyspath(udev* u, unsigned bus, unsigned address)
{
    UdevEnumeratePtr enumerate(udev_enumerate_new(u));
    if (!enumerate)
        return {};
    udev_enumerate_add_match_subsystem(enumerate.get(), "usb");
    udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", "usb_device");
    if (udev_enumerate_scan_devices(enumerate.get()) < 0)
        return {};
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        UdevDevicePtr device(udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)));
        if (device && SysattrNumber(device.get(), "busnum") == bus && SysattrNumber(device.get(), "devnum") == address)
            return udev_list_entry_get_name(entry);
    }
    return {};
}

// --- libusb -----------------------------------------------------------------

// The one libusb context of the process. Made at first use and never
// released: exit never waits for a thread that may still be inside libusb.
libusb_context* UsbContext()
{
    static libusb_context* const context = [] {
        libusb_context* made = nullptr;
        const int result = libusb_init(&made);
        if (result < 0) {
            qCWarning(lcUsb, "libusb cannot start: %s", LibusbErrorText(result).c_str());
            return static_cast<libusb_context*>(nullptr);
        }
        return made;
    }();
    return context;
}

std::string HexBytes(const uint8_t* bytes, size_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i)
            text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

// One asynchronous control transfer with its setup packet and data stage.
struct PendingTransfer {
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> buffer;
    int completed = 0;  // set by libusb's event handling, read under its lock

    ~PendingTransfer()
    {
        if (transfer)
            libusb_free_transfer(transfer);
    }
    static void LIBUSB_CALL Done(libusb_transfer* transfer) { *static_cast<int*>(transfer->user_data) = 1; }
};

// What a finished transfer means above the seam; the data of a device-to-host
// transfer are copied out.
TransferResult Outcome(libusb_transfer& transfer, const SetupPacket& setup, uint8_t* data,
                       const TransferControl* control)
{
    switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED: {
        const size_t moved = std::min<size_t>(static_cast<size_t>(std::max(transfer.actual_length, 0)), setup.length);
        if ((setup.requestType & 0x80) != 0 && moved > 0)
            std::memcpy(data, libusb_control_transfer_get_data(&transfer), moved);
        return {TransferStatus::Ok, moved};
    }
    case LIBUSB_TRANSFER_TIMED_OUT: return {TransferStatus::Timeout, 0};
    case LIBUSB_TRANSFER_STALL: return {TransferStatus::Stall, 0};
    case LIBUSB_TRANSFER_NO_DEVICE: return {TransferStatus::NoDevice, 0};
    case LIBUSB_TRANSFER_CANCELLED:
        return {control != nullptr && control->StopRequested() ? TransferStatus::Cancelled : TransferStatus::Error, 0};
    default: return {TransferStatus::Error, 0};
    }
}

// One opened USB device. The destructor releases the claimed interfaces and
// closes the handle; it first cancels and waits out a removal wait that
// another thread may be in.
class LibusbPipe final : public ControlPipe {
public:
    LibusbPipe(libusb_device_handle* handle, std::string path, std::string syspath, unsigned bus, unsigned address)
        : handle_(handle),
          path_(std::move(path)),
          syspath_(std::move(syspath)),
          bus_(bus),
          address_(address),
          cancelFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
    }

    ~LibusbPipe() override
    {
        CancelWait();
        {
            std::unique_lock lock(mutex_);
            waitersGone_.wait(lock, [this] { return waiters_ == 0; });
            for (int number : claimed_) {
                const int result = libusb_release_interface(handle_, number);
                if (result != LIBUSB_SUCCESS && result != LIBUSB_ERROR_NO_DEVICE)
                    qCDebug(lcUsb, "%s: releasing interface %d: %s", path_.c_str(), number,
                            LibusbErrorText(result).c_str());
            }
        }
        libusb_close(handle_);
    }

    TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout) override
    {
        if (setup.length > 0 && !data)
            return {TransferStatus::Error, 0};
        TransferControl* const control = CurrentTransferControl();
        if (control != nullptr && control->StopRequested())
            return {TransferStatus::Cancelled, 0};
        libusb_context* const context = UsbContext();
        // libusb reads a zero timeout as "wait for ever"; the shortest real one is 1 ms.
        const auto milliseconds = std::clamp<long long>(timeout.count(), 1, UINT_MAX);
        // Submitted as an asynchronous transfer, so that a stop asked for on
        // the calling thread can cancel it in flight.
        auto* pending = new PendingTransfer;
        pending->buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + setup.length);
        pending->transfer = libusb_alloc_transfer(0);
        if (!context || !pending->transfer) {
            delete pending;
            return {TransferStatus::Error, 0};
        }
        const bool in = (setup.requestType & 0x80) != 0;
        libusb_fill_control_setup(pending->buffer.data(), setup.requestType, setup.request, setup.value, setup.index,
                                  setup.length);
        if (!in && setup.length > 0)
            std::memcpy(pending->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, setup.length);
        libusb_fill_control_transfer(pending->transfer, handle_, pending->buffer.data(), &PendingTransfer::Done,
                                     &pending->completed, static_cast<unsigned>(milliseconds));
        const int submitted = libusb_submit_transfer(pending->transfer);
        if (submitted < 0) {
            delete pending;
            qCDebug(lcUsb, "%s: control %02x %02x value %04x index %04x length %u: %s", path_.c_str(),
                    setup.requestType, setup.request, setup.value, setup.index, setup.length,
                    LibusbErrorText(submitted).c_str());
            return {TransferStatusFromLibusb(submitted), 0};
        }
        libusb_transfer* const transfer = pending->transfer;
        if (control != nullptr && !control->SetWake([transfer] { libusb_cancel_transfer(transfer); }))
            libusb_cancel_transfer(transfer);  // the stop came in between
        int failures = 0;
        while (!pending->completed) {
            timeval slice{0, kTransferSliceUs};
            const int handled = libusb_handle_events_timeout_completed(context, &slice, &pending->completed);
            if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED && ++failures >= kMaxInterruptions) {
                // libusb cannot carry events any more: the transfer is left
                // to it (never freed) rather than freed under its feet.
                libusb_cancel_transfer(transfer);
                if (control != nullptr)
                    control->ClearWake();
                return {TransferStatus::Error, 0};
            }
            if (control != nullptr) {
                control->StillWaiting();
                if (control->StopRequested())
                    libusb_cancel_transfer(transfer);  // a deadline that has come
            }
        }
        if (control != nullptr)
            control->ClearWake();

        const TransferResult result = Outcome(*transfer, setup, data, control);
        delete pending;
        if (result.status != TransferStatus::Ok) {
            qCDebug(lcUsb, "%s: control %02x %02x value %04x index %04x length %u: %s", path_.c_str(),
                    setup.requestType, setup.request, setup.value, setup.index, setup.length,
                    TransferStatusName(result.status));
        } else if (lcUsb().isDebugEnabled()) {
            qCDebug(lcUsb, "%s: control %02x %02x value %04x index %04x: %s %s", path_.c_str(), setup.requestType,
                    setup.request, setup.value, setup.index, in ? "IN" : "OUT",
                    HexBytes(data, result.transferred).c_str());
        }
        return result;
    }

    bool ClaimInterface(int number) override
    {
        if (number < 0 || number > 255)
            return false;
        std::lock_guard lock(mutex_);
        if (std::find(claimed_.begin(), claimed_.end(), number) != claimed_.end())
            return true;
        const int result = libusb_claim_interface(handle_, number);
        if (result != LIBUSB_SUCCESS) {
            qCWarning(lcUsb, "%s: cannot claim interface %d: %s", path_.c_str(), number,
                      LibusbErrorText(result).c_str());
            return false;
        }
        claimed_.push_back(number);
        return true;
    }

    void WaitForRemoval() override
    {
        {
            std::lock_guard lock(mutex_);
            ++waiters_;
        }
        WaitUntilRemovedOrCancelled();
        // Notified under the lock: the destructor, woken by it, must not
        // destroy the condition variable while notify_all still runs.
        std::lock_guard lock(mutex_);
        --waiters_;
        waitersGone_.notify_all();
    }

    // The eventfd stays readable once written: a cancel is never lost, and
    // every later wait on this device returns at once as well.
    void CancelWait() override
    {
        if (cancelFd_.get() < 0)
            return;
        const uint64_t one = 1;
        for (int i = 0; i < kMaxInterruptions; ++i) {
            if (::write(cancelFd_.get(), &one, sizeof one) >= 0 || errno != EINTR)
                break;
        }
    }

    std::string Path() const override { return path_; }

private:
    void WaitUntilRemovedOrCancelled()
    {
        if (syspath_.empty() || cancelFd_.get() < 0)
            return;  // removal cannot be watched
        UdevPtr u = NewUdev();
        if (!u)
            return;
        // Without the monitor, the wait still sees the removal by looking at
        // the device every few seconds.
        UdevMonitorPtr monitor(udev_monitor_new_from_netlink(u.get(), "udev"));
        if (monitor &&
            (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") < 0 ||
             udev_monitor_enable_receiving(monitor.get()) < 0)) {
            qCDebug(lcUsb, "%s: no udev monitor, watching the device by its presence only", path_.c_str());
            monitor.reset();
        }
        // The device may have gone before the monitor was listening.
        if (!StillPresent(u.get()))
            return;

        int interruptions = 0;
        for (;;) {
            pollfd fds[2] = {{cancelFd_.get(), POLLIN, 0}, {monitor ? udev_monitor_get_fd(monitor.get()) : -1, POLLIN, 0}};
            const int ready = ::poll(fds, monitor ? 2 : 1, kPresenceRecheckMs);
            if (ready < 0) {
                if (errno == EINTR && ++interruptions < kMaxInterruptions)
                    continue;
                return;
            }
            if (fds[0].revents)
                return;  // cancelled
            if (monitor && (fds[1].revents & POLLIN)) {
                while (UdevDevicePtr event{udev_monitor_receive_device(monitor.get())}) {
                    if (IsOurRemoval(event.get()))
                        return;
                }
            } else if (monitor && (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))) {
                monitor.reset();
            }
            if (!StillPresent(u.get()))
                return;
        }
    }

    bool IsOurRemoval(udev_device* event) const
    {
        if (Text(udev_device_get_action(event)) != "remove")
            return false;
        if (Text(udev_device_get_syspath(event)) == syspath_)
            return true;
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus_, address_);
        return Text(udev_device_get_devnode(event)) == node;
    }

    // The same attachment is still there: its sysfs entry exists and carries
    // our address (a phone plugged in again at the same port gets another).
    bool StillPresent(udev* u) const
    {
        UdevDevicePtr device(udev_device_new_from_syspath(u, syspath_.c_str()));
        return device && SysattrNumber(device.get(), "busnum") == bus_ &&
               SysattrNumber(device.get(), "devnum") == address_;
    }

    libusb_device_handle* const handle_;
    const std::string path_;
    const std::string syspath_;
    const unsigned bus_;
    const unsigned address_;
    FileDescriptor cancelFd_;

    std::mutex mutex_;
    std::condition_variable waitersGone_;
    int waiters_ = 0;
    std::vector<int> claimed_;
};

}  // namespace

// --- text and paths ---------------------------------------------------------

std::string LibusbErrorText(int code)
{
    if (code >= 0)
        return "LIBUSB_SUCCESS";
    std::string text = libusb_error_name(code);
    text += ": ";
    text += libusb_strerror(code);
    return text;
}

TransferStatus TransferStatusFromLibusb(int code)
{
    if (code >= 0)
        return TransferStatus::Ok;
    switch (code) {
    case LIBUSB_ERROR_TIMEOUT: return TransferStatus::Timeout;
    case LIBUSB_ERROR_PIPE: return TransferStatus::Stall;
    case LIBUSB_ERROR_NO_DEVICE: return TransferStatus::NoDevice;
    default: return TransferStatus::Error;
    }
}

std::string UsbDevicePath(unsigned bus, unsigned address)
{
    char text[32];
    std::snprintf(text, sizeof text, "usb:%03u:%03u", bus, address);
    return text;
}

bool ParseUsbDevicePath(const std::string& path, unsigned* bus, unsigned* address)
{
    // Exactly "usb:" followed by two groups of three digits.
    if (path.size() != 11 || path.compare(0, 4, "usb:") != 0 || path[7] != ':')
        return false;
    unsigned parsedBus = 0;
    unsigned parsedAddress = 0;
    const char* text = path.data();
    auto busDigits = std::from_chars(text + 4, text + 7, parsedBus);
    auto addressDigits = std::from_chars(text + 8, text + 11, parsedAddress);
    if (busDigits.ec != std::errc() || busDigits.ptr != text + 7 || addressDigits.ec != std::errc() ||
        addressDigits.ptr != text + 11)
        return false;
    if (parsedBus < 1 || parsedBus > 255 || parsedAddress < 1 || parsedAddress > 127)
        return false;
    *bus = parsedBus;
    *address = parsedAddress;
    return true;
}

// --- the bus ----------------------------------------------------------------

std::string LibusbBus::FindModemPort(uint16_t vendorId)
{
    UdevPtr u = NewUdev();
    if (!u)
        return {};
    const std::vector<ModemPort> ports = ModemPortsOf(u.get(), vendorId);
    const auto lowest = std::min_element(ports.begin(), ports.end(),
                                         [](const ModemPort& a, const ModemPort& b) { return a.number < b.number; });
    return lowest == ports.end() ? std::string() : lowest->node;
}

int LibusbBus::WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length)
{
    if (port.empty() || (length > 0 && !bytes))
        return -1;
    // Opening a port already does something to the device behind it (a
    // board resets when its lines change): only the phone's own port is
    // opened, and it is looked up again right before.
    bool checked = false;
    if (UdevPtr u = NewUdev()) {
        for (const ModemPort& candidate : ModemPortsOf(u.get(), vendorId))
            checked = checked || candidate.node == port;
    }
    if (!checked) {
        qCDebug(lcUsb, "%s is not a modem port of vendor %04x: not opened", port.c_str(), vendorId);
        return -1;
    }
    // Non-blocking, so that opening a port whose carrier is down returns at once.
    FileDescriptor fd(::open(port.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            ReportNoPermission(port);
        qCDebug(lcUsb, "cannot open modem port %s: %s", port.c_str(), std::strerror(error));
        return -1;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        qCWarning(lcUsb, "%s is not a serial port", port.c_str());
        return -1;
    }

    // Keep others from opening the port while the command goes out. Some
    // tty emulations refuse the request; the write goes ahead all the same.
    if (::ioctl(fd.get(), TIOCEXCL) != 0)
        qCDebug(lcUsb, "%s: cannot take the port exclusively: %s", port.c_str(), std::strerror(errno));

    // The bytes must reach the phone as they are: switch off output
    // processing (which would turn "\n" into "\r\n") and put the port's
    // settings back afterwards.
    termios original {};
    const bool haveSettings = ::tcgetattr(fd.get(), &original) == 0;
    if (haveSettings && (original.c_oflag & OPOST)) {
        termios raw = original;
        raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(fd.get(), TCSANOW, &raw);
    }

    const auto* next = static_cast<const uint8_t*>(bytes);
    size_t left = length;
    int waits = 0;
    int interruptions = 0;
    bool written = true;
    while (left > 0) {
        const ssize_t count = ::write(fd.get(), next, left);
        if (count > 0) {
            next += count;
            left -= static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR && ++interruptions < kMaxInterruptions)
            continue;
        if ((count == 0 || errno == EAGAIN || errno == EWOULDBLOCK) && ++waits <= kWriteWaits) {
            pollfd room{fd.get(), POLLOUT, 0};
            ::poll(&room, 1, kWriteWaitSliceMs);
            continue;
        }
        qCDebug(lcUsb, "cannot write to modem port %s: %s", port.c_str(),
                count < 0 ? std::strerror(errno) : "no room in the output buffer");
        written = false;
        break;
    }

    if (haveSettings && (original.c_oflag & OPOST))
        ::tcsetattr(fd.get(), TCSANOW, &original);
    ::ioctl(fd.get(), TIOCNXCL);
    return written ? 0 : -1;
}

std::vector<NamedInterface> LibusbBus::ListInterfaces()
{
    std::vector<NamedInterface> interfaces;
    UdevPtr u = NewUdev();
    if (!u)
        return interfaces;
    UdevEnumeratePtr enumerate(udev_enumerate_new(u.get()));
    if (!enumerate)
        return interfaces;
    udev_enumerate_add_match_subsystem(enumerate.get(), "usb");
    udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", "usb_interface");
    if (udev_enumerate_scan_devices(enumerate.get()) < 0)
        return interfaces;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        UdevDevicePtr interface(udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        if (!interface || SysattrHex(interface.get(), "bInterfaceClass") != kVendorSpecificClass)
            continue;
        // The kernel read the string when the device arrived; an interface
        // without one has no such attribute.
        const std::string_view name = Text(udev_device_get_sysattr_value(interface.get(), "interface"));
        const std::optional<unsigned> number = SysattrHex(interface.get(), "bInterfaceNumber");
        udev_device* device = udev_device_get_parent_with_subsystem_devtype(interface.get(), "usb", "usb_device");
        if (name.empty() || !number || !device)
            continue;
        const std::optional<unsigned> bus = SysattrNumber(device, "busnum");
        const std::optional<unsigned> address = SysattrNumber(device, "devnum");
        if (!bus || !address)
            continue;
        interfaces.push_back({UsbDevicePath(*bus, *address), static_cast<int>(*number), StringDescriptor(name)});
    }
    std::sort(interfaces.begin(), interfaces.end(), [](const NamedInterface& a, const NamedInterface& b) {
        return std::tie(a.devicePath, a.number) < std::tie(b.devicePath, b.number);
    });
    return interfaces;
}

std::unique_ptr<ControlPipe> LibusbBus::Open(const std::string& devicePath)
{
    unsigned bus = 0;
    unsigned address = 0;
    libusb_context* context = UsbContext();
    if (!context || !ParseUsbDevicePath(devicePath, &bus, &address))
        return nullptr;

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0)
        return nullptr;
    libusb_device_handle* handle = nullptr;
    int result = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
            result = libusb_open(list[i], &handle);
            break;
        }
    }
    libusb_free_device_list(list, 1);
    if (result == LIBUSB_ERROR_ACCESS) {
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, address);
        ReportNoPermission(node);
    }
    if (result != LIBUSB_SUCCESS) {
        qCDebug(lcUsb, "cannot open %s: %s", devicePath.c_str(), LibusbErrorText(result).c_str());
        return nullptr;
    }
    // A kernel driver bound to the interface steps aside while it is
    // claimed, and gets it back at the release.
    libusb_set_auto_detach_kernel_driver(handle, 1);

    std::string syspath;
    if (UdevPtr u = NewUdev())
        syspath = FindUsbSyspath(u.get(), bus, address);
    if (syspath.empty())
        qCDebug(lcUsb, "%s: not known to udev, its removal cannot be watched", devicePath.c_str());
    return std::make_unique<LibusbPipe>(handle, devicePath, std::move(syspath), bus, address);
}

std::unique_ptr<PhoneBus> MakeUsbBus() { return std::make_unique<LibusbBus>(); }

namespace {

// The device the latest refusal named, and when (the program's clock).
struct Denial {
    std::mutex mutex;
    std::string device;
    uint32_t tick = 0;
};

Denial& LatestDenial()
{
    static auto* denial = new Denial;
    return *denial;
}

// The search looks about once a second: a refusal older than this is over
// (the phone went, or the rules came).
constexpr uint32_t kDenialLastsMs = 5000;

}  // namespace

std::string LibusbBus::DeniedDevice()
{
    Denial& denial = LatestDenial();
    std::lock_guard lock(denial.mutex);
    if (denial.device.empty() || TheClock().TickCount() - denial.tick > kDenialLastsMs)
        return {};
    return denial.device;
}

std::string UdevRulesFile() { return ORV_UDEV_RULES_FILE; }

void ReportNoPermission(const std::string& device)
{
    {
        Denial& denial = LatestDenial();
        std::lock_guard lock(denial.mutex);
        denial.device = device;
        denial.tick = TheClock().TickCount();
    }
    // One flag for USB devices and one for modem ports: the search retries
    // about once a second, and each kind of device is worth one line.
    static std::atomic<bool> saidUsb{false};
    static std::atomic<bool> saidPort{false};
    std::atomic<bool>& said = device.rfind("/dev/bus/usb/", 0) == 0 ? saidUsb : saidPort;
    if (said.exchange(true))
        return;
    const std::string line = "no permission to open the phone's device " + device +
                             ": the udev rules for the phone are missing (" ORV_UDEV_RULES_FILE
                             "); install them and plug the phone in again, see orvello(1)";
    std::fprintf(stderr, "orvello: %s\n", line.c_str());
    if (const char* trace = std::getenv("ORVELLO_PHONE_TRACE"); trace && *trace) {
        if (std::FILE* file = std::fopen(trace, "a")) {
            std::fprintf(file, "# %s\n", line.c_str());
            std::fclose(file);
        }
    }
}

}  // namespace orv
