#pragma once
// A phone pipe that stalls the writes of chosen commands, the way a phone
// that refuses them would, and passes everything else to the phone.

#include "platform/ControlPipe.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace orv::test {

class FaultyPipe final : public ControlPipe {
public:
    struct Rule {
        uint16_t code = 0;
        std::vector<uint8_t> prefix;  // the command data begin with these bytes
        int skip = 0;                 // matching commands let through first
        int times = 1;                // matching commands failed after those
    };
    struct Rules {
        std::mutex mutex;
        std::vector<Rule> rules;
    };

    FaultyPipe(std::unique_ptr<ControlPipe> inner, std::shared_ptr<Rules> rules)
        : inner_(std::move(inner)), rules_(std::move(rules))
    {
    }

    TransferResult Transfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds timeout) override
    {
        if (setup.requestType == 0x41 && setup.request == 0x02 && setup.length >= 8 && Fails(data, setup.length))
            return {TransferStatus::Stall, 0};
        return inner_->Transfer(setup, data, timeout);
    }
    bool ClaimInterface(int number) override { return inner_->ClaimInterface(number); }
    void WaitForRemoval() override { inner_->WaitForRemoval(); }
    void CancelWait() override { inner_->CancelWait(); }
    std::string Path() const override { return inner_->Path(); }

private:
    // data: the test-command header (sequence, code, length, zero) and the command data.
    bool Fails(const uint8_t* data, size_t length)
    {
        const uint16_t code = static_cast<uint16_t>(((data[2] << 8) | data[3]) & 0x0FFF);
        const uint8_t* command = data + 8;
        const size_t commandLength = length - 8;
        std::lock_guard lock(rules_->mutex);
        for (Rule& rule : rules_->rules) {
            if (rule.code != code || rule.prefix.size() > commandLength
                || !std::equal(rule.prefix.begin(), rule.prefix.end(), command))
                continue;
            if (rule.skip > 0) {
                --rule.skip;
                return false;
            }
            if (rule.times > 0) {
                --rule.times;
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<ControlPipe> inner_;
    std::shared_ptr<Rules> rules_;
};

}  // namespace orv::test
