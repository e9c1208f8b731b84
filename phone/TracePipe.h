#pragma once
// A ControlPipe that writes every control transfer it carries to a trace
// file, one readable line each, and hands the transfer on unchanged. Every
// pipe the phone link opens is wrapped in one when ORVELLO_PHONE_TRACE names
// a file, whichever route (USB or simulated phone) is under it.

#include "platform/ControlPipe.h"

#include <memory>
#include <string>

namespace orv::phone {

inline constexpr char kTraceVariable[] = "ORVELLO_PHONE_TRACE";

class TracePipe final : public ControlPipe {
public:
    TracePipe(std::unique_ptr<ControlPipe> inner, std::string traceFile);

    TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout) override;
    bool ClaimInterface(int number) override;
    void WaitForRemoval() override;
    void CancelWait() override;
    std::string Path() const override;

private:
    std::unique_ptr<ControlPipe> inner_;
    std::string traceFile_;
};

// One trace line (without the time and without the newline):
// "OUT 41 02 00 00 08 00 08 00 | 00 01 00 22 00 00 00 00 -> ok 8"
// For a device-to-host transfer the data are the bytes received.
std::string DescribeTransfer(const SetupPacket& setup, const uint8_t* data, const TransferResult& result);

// Wraps the pipe in a TracePipe when the trace variable is set and the pipe
// is not traced already; otherwise returns it as it is.
std::unique_ptr<ControlPipe> TraceIfAsked(std::unique_ptr<ControlPipe> pipe);

}  // namespace orv::phone
