#include "EmulatedUsb.h"

#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace orv::test {

// State of one emulated usbfs node, shared by the phone object and the
// callbacks that umockdev runs on its own thread (which may outlive it).
struct EmulatedPhone::Device {
    std::mutex mutex;
    ControlAnswer answer;
    bool gone = false;
    std::vector<int> claimed;
    std::vector<int> released;
    int openClients = 0;
    int opensEver = 0;
    int urbs = 0;
    int modemOpens = 0;
    // Completed URBs waiting to be reaped, per open descriptor, as the kernel
    // keeps them: reaping another descriptor's URB would write it back over
    // the wrong client connection and corrupt that client's memory.
    std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> completed;
    // URBs the device never answers, until the program discards them.
    std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> unanswered;

    gboolean HandleIoctl(UMockdevIoctlClient* client);
    // False when the device leaves the URB unanswered.
    bool RunControl(UMockdevIoctlData* urbData);
};

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "USB emulation: %s\n", what.c_str());
    std::abort();
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string Printf(const char* format, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// A pointer inside the client's ioctl argument, copied into our memory.
// It fails only when the program handed the kernel a bad pointer.
UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (!resolved)
        Fail(std::string("bad pointer in a usbfs request: ") + (error ? error->message : "null"));
    return resolved;
}

struct Connection {
    std::shared_ptr<EmulatedPhone::Device> device;
};

struct ClientWatch {
    std::shared_ptr<EmulatedPhone::Device> device;
    UMockdevIoctlClient* client;
};

gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer connection)
{
    return static_cast<Connection*>(connection)->device->HandleIoctl(client);
}

// umockdev 0.17.16 never emits "client-vanished"; the client object is
// finalised when the program closes its descriptor.
void OnClientFinalized(gpointer data, GObject*)
{
    auto* watch = static_cast<ClientWatch*>(data);
    {
        std::lock_guard lock(watch->device->mutex);
        --watch->device->openClients;
        for (auto* queues : {&watch->device->completed, &watch->device->unanswered}) {
            auto queue = queues->find(watch->client);
            if (queue == queues->end())
                continue;
            for (UMockdevIoctlData* urb : queue->second)
                g_object_unref(urb);
            queues->erase(queue);
        }
    }
    delete watch;
}

void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer connection)
{
    auto device = static_cast<Connection*>(connection)->device;
    {
        std::lock_guard lock(device->mutex);
        ++device->openClients;
        ++device->opensEver;
    }
    g_object_weak_ref(G_OBJECT(client), OnClientFinalized, new ClientWatch{device, client});
}

// The modem port with a watch on it: every open is counted, every ioctl runs
// on the pty behind the port as it would without the watch.
void OnModemOpened(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer connection)
{
    auto& device = static_cast<Connection*>(connection)->device;
    std::lock_guard lock(device->mutex);
    ++device->modemOpens;
}

gboolean OnModemIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer)
{
    int error = 0;
    const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

// The interface descriptors of a configuration, first setting of each.
struct InterfaceInfo {
    unsigned number, alternate, endpoints, interfaceClass, subClass, protocol;
};

std::vector<InterfaceInfo> InterfacesOf(const std::vector<uint8_t>& config)
{
    std::vector<InterfaceInfo> interfaces;
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2 && at + config[at] <= config.size();
         at += config[at]) {
        if (config[at + 1] != 4 || config[at] < 9)
            continue;
        const InterfaceInfo info{config[at + 2], config[at + 3], config[at + 4],
                                 config[at + 5], config[at + 6], config[at + 7]};
        const bool seen = std::any_of(interfaces.begin(), interfaces.end(),
                                      [&](const InterfaceInfo& i) { return i.number == info.number; });
        if (!seen && info.alternate == 0)
            interfaces.push_back(info);
    }
    return interfaces;
}

void DeleteConnection(gpointer connection, GClosure*) { delete static_cast<Connection*>(connection); }

uint16_t Le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

std::atomic<unsigned> gNextAddress{2};
// umockdev keeps the pty of a removed tty under its name and refuses that
// name later, so every modem port gets a number of its own.
std::atomic<int> gNextModemNumber{0};

}  // namespace

// --- the testbed ----------------------------------------------------------------

EmulatedUsb& EmulatedUsb::Instance()
{
    static EmulatedUsb* const instance = new EmulatedUsb;  // lives as long as the process
    return *instance;
}

EmulatedUsb::EmulatedUsb()
{
    testbed_ = umockdev_testbed_new();
    // Only meaningful once a testbed exists, and cached from then on.
    active_ = umockdev_in_mock_environment();
}

void EmulatedUsb::Add(const std::string& description)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &error))
        Fail(std::string("cannot add devices: ") + (error ? error->message : "?"));
}

void EmulatedUsb::Announce(const std::string& syspath, const char* action)
{
    umockdev_testbed_uevent(testbed_, syspath.c_str(), action);
}

void EmulatedUsb::Remove(const std::string& syspath, bool announce)
{
    namespace fs = std::filesystem;
    gchar* rootText = umockdev_testbed_get_root_dir(testbed_);
    const fs::path root(rootText);
    g_free(rootText);

    // The device and every device below it (folders with a uevent file).
    std::vector<std::string> devices{syspath};
    std::error_code error;
    for (auto entry = fs::recursive_directory_iterator(root / syspath.substr(1), error);
         !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
        if (entry->is_symlink(error))
            entry.disable_recursion_pending();
        else if (entry->is_directory(error) && fs::exists(entry->path() / "uevent", error))
            devices.push_back("/" + entry->path().lexically_relative(root).string());
    }

    // remove_device() sends no uevent itself; it must go out while the
    // device's uevent file (DEVNAME, DEVTYPE...) still exists.
    if (announce)
        Announce(syspath, "remove");
    // Children first: each removal cleans up only the device's own node and
    // links.
    std::sort(devices.begin(), devices.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& device : devices)
        umockdev_testbed_remove_device(testbed_, device.c_str());
    RemoveDanglingLinks(root / "sys");
}

// Links in /sys/bus/*/devices and /sys/class/* to devices that are gone.
void EmulatedUsb::RemoveDanglingLinks(const std::filesystem::path& sys)
{
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<fs::path> folders;
    for (const auto& bus : fs::directory_iterator(sys / "bus", error))
        folders.push_back(bus.path() / "devices");
    for (const auto& group : fs::directory_iterator(sys / "class", error))
        folders.push_back(group.path());
    for (const fs::path& folder : folders) {
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.is_symlink(error) && !fs::exists(entry.path(), error))
                fs::remove(entry.path(), error);
        }
    }
}

// --- one phone ------------------------------------------------------------------

EmulatedPhone::EmulatedPhone(PhoneLayout layout) : device_(std::make_shared<Device>())
{
    device_->answer = std::move(layout.answer);
    address_ = gNextAddress++;
    if (address_ > 127)
        Fail("out of USB addresses");

    const std::string devices = "/devices/pci0000:00/0000:00:14.0/usb1";
    const std::string port = Printf("1-%u", layout.usbPort);
    const std::string usbPath = devices + "/" + port;
    usbSyspath_ = "/sys" + usbPath;
    usbfsNode_ = Printf("/dev/bus/usb/001/%03u", address_);

    std::vector<uint8_t> descriptors = layout.deviceDescriptor;
    descriptors.insert(descriptors.end(), layout.configDescriptor.begin(), layout.configDescriptor.end());
    const unsigned vendor = layout.deviceDescriptor.size() >= 12 ? Le16(&layout.deviceDescriptor[8]) : 0;
    const unsigned product = layout.deviceDescriptor.size() >= 12 ? Le16(&layout.deviceDescriptor[10]) : 0;

    std::string text = "P: " + usbPath + "\n" + Printf("N: bus/usb/001/%03u\n", address_) +
                       "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
                       Printf("E: DEVNAME=/dev/bus/usb/001/%03u\nE: BUSNUM=001\nE: DEVNUM=%03u\n", address_, address_) +
                       Printf("E: PRODUCT=%x/%x/1\n", vendor, product) +
                       Printf("E: MAJOR=189\nE: MINOR=%u\n", address_ - 1) +
                       Printf("A: busnum=1\\n\nA: devnum=%u\\n\nA: speed=12\\n\n", address_) +
                       "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n" +
                       Printf("A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n", vendor, product) +
                       Printf("A: dev=189:%u\\n\n", address_ - 1) + "H: descriptors=" + Hex(descriptors) + "\n\n";
    // The interfaces as the kernel lists them; the modem port (a tty) hangs
    // off the first one.
    bool first = true;
    for (const InterfaceInfo& info : InterfacesOf(layout.configDescriptor)) {
        const std::string interfacePath = usbPath + "/" + port + Printf(":1.%u", info.number);
        interfaceSyspaths_.push_back("/sys" + interfacePath);
        text += "P: " + interfacePath + "\n" + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" +
                Printf("E: INTERFACE=%u/%u/%u\n", info.interfaceClass, info.subClass, info.protocol) +
                Printf("A: bInterfaceNumber=%02x\\n\nA: bAlternateSetting=%2u\\n\n", info.number, info.alternate) +
                Printf("A: bInterfaceClass=%02x\\n\nA: bInterfaceSubClass=%02x\\n\n", info.interfaceClass,
                       info.subClass) +
                Printf("A: bInterfaceProtocol=%02x\\n\nA: bNumEndpoints=%02x\\n\n", info.protocol, info.endpoints);
        const auto name = layout.interfaceNames.find(static_cast<int>(info.number));
        if (name != layout.interfaceNames.end())
            text += "A: interface=" + name->second + "\\n\n";
        if (first && layout.modemPort) {
            const int modemNumber = gNextModemNumber++;
            const std::string ttyName = Printf("ttyACM%u", static_cast<unsigned>(modemNumber));
            modemSyspath_ = "/sys" + interfacePath + "/tty/" + ttyName;
            modemNode_ = "/dev/" + ttyName;
            // The tty's own entry follows the interface's.
            text += "E: DRIVER=cdc_acm\nL: driver=../../../../../../bus/usb/drivers/cdc_acm\n\n"
                    "P: " + interfacePath + "/tty/" + ttyName + "\n" + "N: " + ttyName + "\n" +
                    "E: SUBSYSTEM=tty\nE: DEVNAME=" + modemNode_ + "\n" +
                    Printf("E: MAJOR=166\nE: MINOR=%u\nA: dev=166:%u\\n\n", static_cast<unsigned>(modemNumber),
                           static_cast<unsigned>(modemNumber));
        }
        text += "\n";  // ends the interface's (or the tty's) entry
        first = false;
    }
    if (layout.modemPort && modemNode_.empty())
        Fail("a modem port needs an interface to hang off");

    EmulatedUsb& usb = EmulatedUsb::Instance();
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(OnHandleIoctl), new Connection{device_},
                          DeleteConnection, GConnectFlags(0));
    g_signal_connect_data(handler, "client-connected", G_CALLBACK(OnClientConnected), new Connection{device_},
                          DeleteConnection, GConnectFlags(0));
    usb.Add(text);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(usb.Testbed(), usbfsNode_.c_str(), handler, &error))
        Fail(std::string("cannot attach the usbfs emulation: ") + (error ? error->message : "?"));
    g_object_unref(handler);  // the testbed holds it until detached
    if (layout.watchModemOpens && !modemNode_.empty()) {
        watchedModem_ = true;
        UMockdevIoctlBase* modem = umockdev_ioctl_base_new();
        g_signal_connect_data(modem, "handle-ioctl", G_CALLBACK(OnModemIoctl), nullptr, nullptr, GConnectFlags(0));
        g_signal_connect_data(modem, "client-connected", G_CALLBACK(OnModemOpened), new Connection{device_},
                              DeleteConnection, GConnectFlags(0));
        if (!umockdev_testbed_attach_ioctl(usb.Testbed(), modemNode_.c_str(), modem, &error))
            Fail(std::string("cannot watch the modem port: ") + (error ? error->message : "?"));
        g_object_unref(modem);
    }
    // Like the kernel, announce the new devices (libusb and libudev monitors
    // learn of them this way).
    usb.Announce(usbSyspath_, "add");
    for (const std::string& interface : interfaceSyspaths_)
        usb.Announce(interface, "add");
    if (!modemSyspath_.empty())
        usb.Announce(modemSyspath_, "add");
    plugged_ = true;
}

EmulatedPhone::~EmulatedPhone()
{
    Unplug();
    umockdev_testbed_detach_ioctl(EmulatedUsb::Instance().Testbed(), usbfsNode_.c_str(), nullptr);
    if (watchedModem_)
        umockdev_testbed_detach_ioctl(EmulatedUsb::Instance().Testbed(), modemNode_.c_str(), nullptr);
}

void EmulatedPhone::Unplug(bool announce)
{
    if (!plugged_)
        return;
    plugged_ = false;
    {
        std::lock_guard lock(device_->mutex);
        device_->gone = true;
    }
    EmulatedUsb& usb = EmulatedUsb::Instance();
    if (announce) {
        if (!modemSyspath_.empty())
            usb.Announce(modemSyspath_, "remove");
        for (const std::string& interface : interfaceSyspaths_)
            usb.Announce(interface, "remove");
    }
    usb.Remove(usbSyspath_, announce);  // takes the interfaces and the tty with them
}

int EmulatedPhone::ModemPeer() const
{
    return modemNode_.empty() ? -1 : umockdev_testbed_get_dev_fd(EmulatedUsb::Instance().Testbed(), modemNode_.c_str());
}

std::string EmulatedPhone::ReadModem(size_t want, std::chrono::milliseconds limit) const
{
    std::string received;
    const int fd = ModemPeer();
    if (fd < 0)
        return received;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (received.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd readable{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            break;
        char chunk[64];
        const ssize_t count = ::read(fd, chunk, std::min(sizeof chunk, want - received.size()));
        if (count <= 0)
            break;
        received.append(chunk, static_cast<size_t>(count));
    }
    return received;
}

std::vector<int> EmulatedPhone::ClaimedInterfaces() const
{
    std::lock_guard lock(device_->mutex);
    return device_->claimed;
}

std::vector<int> EmulatedPhone::ReleasedInterfaces() const
{
    std::lock_guard lock(device_->mutex);
    return device_->released;
}

int EmulatedPhone::OpenClients() const
{
    std::lock_guard lock(device_->mutex);
    return device_->openClients;
}

int EmulatedPhone::OpensEver() const
{
    std::lock_guard lock(device_->mutex);
    return device_->opensEver;
}

int EmulatedPhone::Urbs() const
{
    std::lock_guard lock(device_->mutex);
    return device_->urbs;
}

int EmulatedPhone::ModemOpens() const
{
    std::lock_guard lock(device_->mutex);
    return device_->modemOpens;
}

// --- the usbfs requests that libusb makes -------------------------------------------

// Fills in the URB's status, actual length and, for IN transfers, the data
// stage, from the test's answer.
bool EmulatedPhone::Device::RunControl(UMockdevIoctlData* urbData)
{
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    // Pull the setup packet and data stage into our memory; they are written
    // back to the program when the URB is reaped.
    UMockdevIoctlData* buffer = Resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(urb->buffer_length));
    uint8_t* bytes = buffer->data;
    SetupPacket setup;
    setup.requestType = bytes[0];
    setup.request = bytes[1];
    setup.value = Le16(bytes + 2);
    setup.index = Le16(bytes + 4);
    setup.length = Le16(bytes + 6);
    TransferResult result{TransferStatus::Error, 0};
    if (8u + setup.length <= static_cast<unsigned>(urb->buffer_length) && answer)
        result = answer(setup, bytes + 8);
    if (result.status == TransferStatus::Timeout) {
        g_object_unref(buffer);
        return false;
    }
    switch (result.status) {
    case TransferStatus::Ok: urb->status = 0; break;
    case TransferStatus::Stall: urb->status = -EPIPE; break;
    case TransferStatus::NoDevice: urb->status = -ENODEV; break;
    case TransferStatus::Timeout:
    case TransferStatus::Cancelled:
    case TransferStatus::Error: urb->status = -EPROTO; break;
    }
    // Like the kernel: the length counts the data stage only.
    urb->actual_length = result.status == TransferStatus::Ok
                             ? static_cast<int>(std::min<size_t>(result.transferred, setup.length))
                             : 0;
    g_object_unref(buffer);
    return true;
}

gboolean EmulatedPhone::Device::HandleIoctl(UMockdevIoctlClient* client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard lock(mutex);
        if (gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* capabilities = Resolve(argument, 0, sizeof(uint32_t));
        const uint32_t value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        std::memcpy(capabilities->data, &value, sizeof value);
        g_object_unref(capabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* number = Resolve(argument, 0, sizeof(unsigned int));
        unsigned int interface = 0;
        std::memcpy(&interface, number->data, sizeof interface);
        g_object_unref(number);
        {
            std::lock_guard lock(mutex);
            (request == USBDEVFS_CLAIMINTERFACE ? claimed : released).push_back(static_cast<int>(interface));
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        // Claiming with the kernel driver detached first (auto-detach).
        UMockdevIoctlData* claim = Resolve(argument, 0, sizeof(usbdevfs_disconnect_claim));
        usbdevfs_disconnect_claim request_data{};
        std::memcpy(&request_data, claim->data, sizeof request_data);
        g_object_unref(claim);
        {
            std::lock_guard lock(mutex);
            claimed.push_back(static_cast<int>(request_data.interface));
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:  // reattaching a kernel driver: there is none
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urbData = Resolve(argument, 0, sizeof(usbdevfs_urb));
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EINVAL);  // endpoint 0 only
            return TRUE;
        }
        {
            std::lock_guard lock(mutex);
            ++urbs;
        }
        const bool answered = RunControl(urbData);
        {
            std::lock_guard lock(mutex);
            (answered ? completed : unanswered)[client].push_back(urbData);  // our reference goes to the queue
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        UMockdevIoctlData* done = nullptr;
        {
            std::lock_guard lock(mutex);
            auto queue = completed.find(client);
            if (queue != completed.end() && !queue->second.empty()) {
                done = queue->second.front();
                queue->second.pop_front();
            }
        }
        if (!done) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        // The argument points at the program's "struct usbdevfs_urb *": make
        // it point at the completed URB, which goes back to the program.
        UMockdevIoctlData* out = Resolve(argument, 0, sizeof(void*));
        umockdev_ioctl_data_set_ptr(out, 0, done);
        g_object_unref(out);
        g_object_unref(done);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        // Only an unanswered URB can be cancelled (the oldest: one at a time
        // is all the tests leave unanswered); it completes as cancelled.
        std::lock_guard lock(mutex);
        auto queue = unanswered.find(client);
        if (queue == unanswered.end() || queue->second.empty()) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        UMockdevIoctlData* urbData = queue->second.front();
        queue->second.pop_front();
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        urb->status = -ENOENT;
        urb->actual_length = 0;
        completed[client].push_back(urbData);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    default:
        std::fprintf(stderr, "USB emulation: unhandled usbfs request 0x%lx\n", request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

}  // namespace orv::test
