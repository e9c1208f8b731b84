#include "TracePipe.h"

#include "platform/Clock.h"
#include "Wire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace orv::phone {
namespace {

// Lines of different pipes and threads never mix.
std::mutex& TraceMutex()
{
    static auto* mutex = new std::mutex;  // never destroyed: threads may trace at exit
    return *mutex;
}

void AppendHex(std::string& text, const uint8_t* bytes, size_t count)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
}

std::string WallTime()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

}  // namespace

std::string DescribeTransfer(const SetupPacket& setup, const uint8_t* data, const TransferResult& result)
{
    const bool in = wire::IsDeviceToHost(setup);
    uint8_t setupBytes[wire::kSetupSize];
    wire::PutSetup(setupBytes, setup);
    std::string line = in ? "IN  " : "OUT ";
    AppendHex(line, setupBytes, sizeof setupBytes);
    const size_t count = in ? std::min<size_t>(result.transferred, setup.length) : setup.length;
    if (count > 0 && data != nullptr) {
        line += " | ";
        AppendHex(line, data, count);
    }
    line += " -> ";
    line += TransferStatusName(result.status);
    line += ' ';
    line += std::to_string(result.transferred);
    return line;
}

TracePipe::TracePipe(std::unique_ptr<ControlPipe> inner, std::string traceFile)
    : inner_(std::move(inner)), traceFile_(std::move(traceFile))
{
}

TransferResult TracePipe::Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout)
{
    const TransferResult result = inner_->Transfer(setup, data, timeout);
    const std::string line = WallTime() + " t=" + std::to_string(TheClock().TickCount()) + " " +
                             DescribeTransfer(setup, data, result) + "\n";
    std::lock_guard lock(TraceMutex());
    if (std::FILE* file = std::fopen(traceFile_.c_str(), "a")) {
        std::fputs(line.c_str(), file);
        std::fclose(file);
    }
    return result;
}

bool TracePipe::ClaimInterface(int number) { return inner_->ClaimInterface(number); }
void TracePipe::WaitForRemoval() { inner_->WaitForRemoval(); }
void TracePipe::CancelWait() { inner_->CancelWait(); }
std::string TracePipe::Path() const { return inner_->Path(); }

std::unique_ptr<ControlPipe> TraceIfAsked(std::unique_ptr<ControlPipe> pipe)
{
    const char* file = std::getenv(kTraceVariable);
    if (!pipe || file == nullptr || *file == '\0' || dynamic_cast<TracePipe*>(pipe.get()) != nullptr)
        return pipe;
    return std::make_unique<TracePipe>(std::move(pipe), file);
}

}  // namespace orv::phone
