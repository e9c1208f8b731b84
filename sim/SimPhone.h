#pragma once
// A phone of the program's own that answers at the USB control-transfer
// level: the standard descriptor requests and the vendor requests of the
// test-command protocol, byte for byte. The transport, the commands,
// discovery and the monitor run the same code against it as against a real
// phone.

#include "platform/ControlPipe.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orv::sim {

// Picture size of a resolution code (0 VGA ... 10 UXGA); 0x0 for an unknown code.
struct PictureSize {
    int width = 0;
    int height = 0;
};
PictureSize ResolutionSize(int code);

class SimPhone {
public:
    static constexpr size_t kCommandRecordLimit = 32768;

    struct Options {
        bool startInTestMode = false;          // already switched, no modem port
        std::string model = "Motorola V3x";    // record 0x0117
        uint32_t exchangeLatencyMs = 0;        // per control transfer (through the clock)
        uint32_t shotLatencyMs = 0;            // per picture taken
        uint32_t cameraOnLatencyMs = 0;        // per start of the camera
        // The iInterface text of interface 8 in test-command mode.
        std::string testInterfaceName = "Motorola Test Command";
        // When set, a vendor interface 7 with this text comes ahead of interface 8.
        std::string otherInterfaceName;
        // The USB vendor id; another one makes a device of another make
        // (a modem that must never be written to, for example).
        uint16_t vendorId = 0x22B8;
        // The restart command reboots the phone into its normal mode (it
        // leaves the bus and comes back); when false it answers and stays.
        bool rebootOnRestart = true;
    };

    // Misbehaviour on demand. Each injected fault acts once, on the next
    // event it applies to.
    enum class Fault {
        // The next command's reply:
        WrongSequence,   // answers another sequence number
        NotAReply,       // bit 15 of the sequence word clear
        NoData,          // kind 6 where data is due
        BadKind,         // a result kind other than 6 and 8
        LengthMismatch,  // data length D differs from L - 8
        OversizedData,   // D = L - 8 = 4090, more than the reply buffer holds
        BadFirstByte,    // byte 0 of the fetched reply is not 1
        NoReply,         // the reply never becomes ready
        StatusTooMany,   // the status poll reports 3 replies waiting
        Stall,           // the command transfer itself stalls
        // The next file block read:
        OversizedBlock,  // more bytes than the block size asked for
        // The next picture taken:
        GarbagePicture,  // random bytes instead of a JPEG
        HugePicture,     // a file larger than the program accepts (16 MiB + 1 KiB): FF D8, then noise
        // A JPEG whose frame header leaves its height to later (as the DNL
        // marker allows), 16 MiB + 1 KiB long: nothing ends its read before
        // the program's file limit.
        LongPicture,
        CutShortPicture, // the first half of the picture's file only (still being written)
        // The next read of the test-command interface's name string:
        ShortNameReply,  // one byte only
    };

    // One command packet as the phone received it.
    struct Command {
        uint16_t sequence = 0;
        uint16_t code = 0;
        std::vector<uint8_t> data;
    };

    struct Counters {
        int modemWrites = 0;  // writes that reached the modem port
        int commands = 0;
        int modeSwitches = 0;
        int detaches = 0;
        int restarts = 0;
        int suspends = 0;
        int shots = 0;
        int silentHolds = 0;  // test-command transfers that began to hang on the silent phone
    };

    SimPhone();
    explicit SimPhone(Options options);
    ~SimPhone();
    SimPhone(const SimPhone&) = delete;
    SimPhone& operator=(const SimPhone&) = delete;

    // The device side of one control transfer on endpoint 0 (the same
    // contract as ControlPipe::Transfer). Thread-safe. While the phone is
    // silent, a test-command transfer takes no time limit into account: it
    // waits until the silence ends.
    TransferResult ControlTransfer(const SetupPacket& setup, uint8_t* data);
    // The same with the host's time limit (on the program's clock): a silent
    // phone lets the transfer run out after it.
    TransferResult ControlTransfer(const SetupPacket& setup, uint8_t* data, std::chrono::milliseconds limit);

    // Descriptors as the device reports them in its present mode (for the
    // USB emulation).
    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> ConfigDescriptor() const;
    uint16_t VendorId() const;

    // The named vendor-specific interfaces in the present mode with their
    // name strings as string descriptors, as the system reads them when the
    // device arrives (the name fault applies here).
    struct NamedString {
        int number = 0;
        std::vector<uint8_t> descriptor;
    };
    std::vector<NamedString> InterfaceNames() const;

    // The modem side: "at+mode=8\r\n" switches the phone to test-command mode.
    void ReceiveModemBytes(const void* bytes, size_t length);
    bool InTestMode() const;
    bool Plugged() const;

    // --- the cable ---
    void Unplug();
    // Plugs the phone in again, in its normal mode.
    void Plug();
    // Pulls the cable when the phone receives its n-th command from now
    // (1 = the next one); that command is not accepted. 0 cancels.
    void UnplugAtCommand(int n);
    // Counts the times the phone appeared on the bus anew (plug, mode change).
    // A handle opened before a change is dead afterwards.
    uint64_t Generation() const;
    // Blocks until the device of the given generation is gone or *cancelled
    // is set (see Wake).
    void WaitForRemoval(uint64_t generation, const std::atomic<bool>& cancelled) const;
    // Wakes the waits of WaitForRemoval so that they look at their flag.
    void Wake() const;

    // --- behaviour ---
    void InjectFault(Fault fault);
    void SetLatency(uint32_t exchangeMs, uint32_t shotMs, uint32_t cameraOnMs = 0);
    // A phone that has stopped answering: every test-command transfer hangs
    // until its time limit runs out on the program's clock (a write 10 s, a
    // read 40 s) and fails then, until the silence is lifted; a transfer
    // still hanging at that moment goes through as usual.
    void SetSilent(bool silent);
    // A still scene: every picture shows what the last one before showed
    // (ball, frame counter and time stand), with fresh sensor grain; false
    // sets it moving again, the counter at the number of pictures shot.
    void SetStill(bool still);
    // The same, from the picture of that number on (the first picture the
    // phone shoots is number 1).
    void SetStillAtShot(uint32_t shot, bool still);
    bool Still() const;

    // --- the phone's file system and state, for tests ---
    void PutFile(const std::string& path, std::vector<uint8_t> contents);
    std::optional<std::vector<uint8_t>> File(const std::string& path) const;
    std::vector<std::string> Files() const;
    // The latest commands received, oldest first: at most
    // kCommandRecordLimit of them (Count().commands counts them all).
    std::vector<Command> Commands() const;
    Counters Count() const;
    bool CameraOn() const;
    int Resolution() const;
    int Lighting() const;
    int Exposure() const;
    bool Suspended() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// The picture the camera shoots: a test pattern with a ball whose place
// follows the frame number, the frame counter and the time drawn as
// seven-segment digits, tinted by the lighting code (1..6) and brightened or
// darkened by the exposure code (1..5), with the sensor's grain drawn from
// grain (the same grain, the same bytes). Returns JPEG bytes.
std::vector<uint8_t> ShootTestPicture(int width, int height, uint32_t frame, std::time_t when, int lighting,
                                      int exposure, uint32_t grain = 0);

}  // namespace orv::sim
