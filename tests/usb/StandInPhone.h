#pragma once
// A very small phone for the USB emulation: descriptors, strings and one
// test command answered with "done, no data".

#include "ControlPipe.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace orv::test {

class StandInPhone {
public:
    std::vector<uint8_t> DeviceDescriptor() const
    {
        return {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0xb8, 0x22, 0x02, 0x49, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
    }
    std::vector<uint8_t> ConfigDescriptor() const
    {
        return {0x09, 0x02, 0x32, 0x00, 0x03, 0x01, 0x00, 0x80, 0xfa,  //
                0x09, 0x04, 0x00, 0x00, 0x00, 0x02, 0x02, 0x01, 0x03,  //
                0x09, 0x04, 0x01, 0x00, 0x02, 0x0a, 0x00, 0x00, 0x00,  //
                0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00,              //
                0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,              //
                0x09, 0x04, 0x08, 0x00, 0x00, 0xff, 0x00, 0x00, 0x04};
    }

    TransferResult ControlTransfer(const SetupPacket& setup, uint8_t* data)
    {
        std::lock_guard lock(mutex_);
        std::vector<uint8_t> in;
        if (setup.requestType == 0x80 && setup.request == 6) {
            const int type = setup.value >> 8;
            const int index = setup.value & 0xFF;
            if (type == 1)
                in = DeviceDescriptor();
            else if (type == 2)
                in = ConfigDescriptor();
            else if (type == 3 && index == 0)
                in = {4, 3, 0x09, 0x04};
            else if (type == 3 && index < 5) {
                static const char* const kStrings[] = {"", "Motorola Inc.", "Motorola Phone", "Motorola CDC",
                                                       "Motorola Test Command"};
                in = {0, 3};
                for (const char* c = kStrings[index]; *c; ++c)
                    in.insert(in.end(), {static_cast<uint8_t>(*c), 0});
                in[0] = static_cast<uint8_t>(in.size());
            } else
                return {TransferStatus::Stall, 0};
        } else if (setup.requestType == 0x41 && setup.request == 2 && setup.index == 8 && setup.length >= 8) {
            sequence_ = static_cast<uint16_t>(data[0] << 8 | data[1]);
            waiting_ = true;
            return {TransferStatus::Ok, setup.length};
        } else if (setup.requestType == 0xC1 && setup.request == 0 && setup.index == 8) {
            in = {0, static_cast<uint8_t>(waiting_ ? 1 : 0), 0, waiting_ ? uint8_t{8} : uint8_t{0}, 0, 0, 0, 0};
        } else if (setup.requestType == 0xC1 && setup.request == 1 && setup.index == 8 && waiting_) {
            waiting_ = false;
            const uint16_t word = static_cast<uint16_t>(0x8000 | (sequence_ & 0x0FFF));
            in = {1, 0, 0, 0, 0, 8, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word), 0x60, 0, 0, 0, 0, 0};
        } else {
            return {TransferStatus::Stall, 0};
        }
        const size_t count = std::min<size_t>(in.size(), setup.length);
        std::memcpy(data, in.data(), count);
        return {TransferStatus::Ok, count};
    }

private:
    std::mutex mutex_;
    uint16_t sequence_ = 0;
    bool waiting_ = false;
};

}  // namespace orv::test
