#include "SimBus.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace orv::sim {
namespace {

constexpr char kModemPrefix[] = "/dev/ttyACM";
constexpr char kDevicePrefix[] = "sim:usb-1-";

// A handle on one simulated phone. It is dead once the phone has left the bus
// or come back in another shape, as a real device handle is.
class SimPipe final : public ControlPipe {
public:
    SimPipe(std::shared_ptr<SimPhone> phone, std::string path)
        : phone_(std::move(phone)), path_(std::move(path)), generation_(phone_->Generation())
    {
    }

    TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout) override
    {
        if (phone_->Generation() != generation_)
            return {TransferStatus::NoDevice, 0};
        return phone_->ControlTransfer(setup, data, timeout);
    }

    bool ClaimInterface(int number) override
    {
        if (phone_->Generation() != generation_ || !phone_->InTestMode())
            return false;
        // The interfaces the configuration descriptor lists.
        const std::vector<uint8_t> config = phone_->ConfigDescriptor();
        for (size_t at = 0; at + 9 <= config.size() && config[at] >= 2; at += config[at]) {
            if (config[at + 1] == 4 && config[at + 2] == number)
                return true;
        }
        return false;
    }

    void WaitForRemoval() override { phone_->WaitForRemoval(generation_, cancelled_); }

    void CancelWait() override
    {
        cancelled_ = true;
        phone_->Wake();
    }

    std::string Path() const override { return path_; }

private:
    std::shared_ptr<SimPhone> phone_;
    std::string path_;
    uint64_t generation_;
    std::atomic<bool> cancelled_{false};
};

bool ParseIndex(const std::string& text, const std::string& prefix, size_t* index)
{
    if (text.rfind(prefix, 0) != 0 || text.size() == prefix.size() || text.size() > prefix.size() + 4)
        return false;
    size_t value = 0;
    for (size_t i = prefix.size(); i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<size_t>(text[i] - '0');
    }
    *index = value;
    return true;
}

}  // namespace

SimBus::SimBus(SimPhone::Options options) { AddPhone(std::move(options)); }

std::shared_ptr<SimPhone> SimBus::AddPhone(SimPhone::Options options)
{
    auto phone = std::make_shared<SimPhone>(std::move(options));
    std::lock_guard lock(mutex_);
    phones_.push_back(phone);
    return phone;
}

SimPhone& SimBus::Phone(size_t n) const
{
    auto phone = PhoneAt(n);
    if (!phone)
        throw std::out_of_range("no simulated phone at this place on the bus");
    return *phone;
}

std::shared_ptr<SimPhone> SimBus::PhoneAt(size_t n) const
{
    std::lock_guard lock(mutex_);
    return n < phones_.size() ? phones_[n] : nullptr;
}

std::string SimBus::FindModemPort(uint16_t vendorId)
{
    // Ports are numbered in the order the modems are present, lowest first.
    std::lock_guard lock(mutex_);
    for (size_t n = 0; n < phones_.size(); ++n) {
        if (phones_[n]->Plugged() && !phones_[n]->InTestMode() && phones_[n]->VendorId() == vendorId)
            return kModemPrefix + std::to_string(n);
    }
    return {};
}

int SimBus::WriteModemPort(const std::string& port, uint16_t vendorId, const void* bytes, size_t length)
{
    size_t n = 0;
    if (!ParseIndex(port, kModemPrefix, &n))
        return -1;
    auto phone = PhoneAt(n);
    if (!phone || !phone->Plugged() || phone->InTestMode() || phone->VendorId() != vendorId)
        return -1;
    phone->ReceiveModemBytes(bytes, length);
    return 0;
}

std::vector<NamedInterface> SimBus::ListInterfaces()
{
    std::lock_guard lock(mutex_);
    std::vector<NamedInterface> interfaces;
    for (size_t n = 0; n < phones_.size(); ++n) {
        if (!phones_[n]->Plugged())
            continue;
        for (SimPhone::NamedString& name : phones_[n]->InterfaceNames())
            interfaces.push_back({kDevicePrefix + std::to_string(n), name.number, std::move(name.descriptor)});
    }
    return interfaces;
}

std::string SimBus::DeniedDevice()
{
    std::lock_guard lock(mutex_);
    return denied_;
}

void SimBus::SetDeniedDevice(std::string device)
{
    std::lock_guard lock(mutex_);
    denied_ = std::move(device);
}

std::unique_ptr<ControlPipe> SimBus::Open(const std::string& devicePath)
{
    size_t n = 0;
    if (!ParseIndex(devicePath, kDevicePrefix, &n))
        return nullptr;
    auto phone = PhoneAt(n);
    if (!phone || !phone->Plugged())
        return nullptr;
    return std::make_unique<SimPipe>(phone, devicePath);
}

std::unique_ptr<PhoneBus> MakeSimBus(std::vector<SimEvent> events, uint32_t startTick)
{
    auto bus = MakeSimBus();
    PlaySimEvents(static_cast<SimBus&>(*bus).PhoneAt(0), std::move(events), startTick);
    return bus;
}

SimPhone::Options SimulatedPhoneOptions()
{
    SimPhone::Options options;
    const char* switched = std::getenv(kSwitchedVariable);
    options.startInTestMode = switched != nullptr && std::string_view(switched) == "1";
    options.exchangeLatencyMs = 2;
    options.shotLatencyMs = 300;
    return options;
}

std::unique_ptr<PhoneBus> MakeSimBus() { return std::make_unique<SimBus>(SimulatedPhoneOptions()); }

}  // namespace orv::sim
