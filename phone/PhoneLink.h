#pragma once
// The one phone connection of the process: the open test-command interface,
// the sequence counter and the transport buffers, and the vocabulary of
// commands spoken over it. Every command runs under the link's exchange turn,
// together with the filling of its request and the reading of its reply, so
// that callers on different threads never corrupt each other's commands. A
// file is read one block per turn: a command of another thread waits for the
// block on the wire, not for the whole file. Whole capture sequences are kept
// apart by the capture turn.

#include "platform/ControlPipe.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orv::phone {

// Results of the transport and of the commands.
inline constexpr int kOk = 0;
inline constexpr int kWrongReply = 1;  // answers another packet, or lengths disagree
inline constexpr int kFailed = -1;

inline constexpr size_t kBufferSize = 4096;
inline constexpr size_t kMaxRequestData = 4078;
inline constexpr size_t kMaxReplyData = 4082;  // room behind the 14-byte reply header
inline constexpr size_t kMaxPictureFile = 16u * 1024u * 1024u;
inline constexpr uint16_t kTestCommandInterface = 8;

// Time limits of the exchanges.
inline constexpr std::chrono::milliseconds kWriteTimeout{10000};
inline constexpr std::chrono::milliseconds kReadTimeout{40000};
// A reply not there this long after its command went out is late: the
// capture threads say so in the work panel.
inline constexpr uint32_t kLateReplyMs = 3000;
// The room a data record is read into.
inline constexpr size_t kRecordReplyRoom = 10000;

// Bytes of a picture file received so far; called on the reading thread.
using ReadProgress = std::function<void(size_t bytesSoFar)>;

// A lock that threads get in the order they asked for it, so that a thread
// that takes it again and again (a file read block after block) cannot come
// ahead of one that is waiting. The thread holding it may take it again (a
// command built of others). Meets the Lockable requirements of
// std::unique_lock.
class Turn {
public:
    void lock();
    // Like lock(), but gives up (false) as soon as a stop is asked for on
    // the calling thread's TransferControl (platform/ControlPipe.h).
    bool LockUnlessStopped();
    // Takes the turn only when nobody holds it or waits for it (or the
    // caller holds it already).
    bool try_lock();
    void unlock();
    // Threads waiting for the turn at this moment.
    int Waiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable turned_;
    uint64_t nextTicket_ = 0;
    uint64_t serving_ = 0;  // the ticket whose turn it is
    std::vector<uint64_t> abandoned_;  // tickets given up by stopped threads
    std::thread::id owner_;
    int depth_ = 0;
    int waiting_ = 0;
};

class PhoneLink {
public:
    PhoneLink();
    ~PhoneLink();
    PhoneLink(const PhoneLink&) = delete;
    PhoneLink& operator=(const PhoneLink&) = delete;

    // The process-wide link used by the monitor, the window and the threads.
    // Never destroyed, so that a worker still running at exit finds it.
    static PhoneLink& Instance();

    // --- connection (set by discovery, cleared by the monitor) ---
    bool IsConnected() const;
    // The open interface; valid while the caller holds Lock().
    ControlPipe* DeviceHandle() const;
    // The open interface, kept alive for as long as the caller holds it (the
    // monitor's wait, the disconnect from another thread).
    std::shared_ptr<ControlPipe> SharedDevice() const;
    // Takes the opened, claimed interface as the connection and sets the found
    // flag. The pipe is wrapped for the trace when one is asked for.
    void Attach(std::unique_ptr<ControlPipe> device);
    // Closes the interface, if one is held (waits for a running command).
    void Close();
    // The found flag and the device path of the interface found.
    bool Found() const;
    std::string DevicePath() const;
    // The phone went away: clears the found flag and the device path; the
    // handle itself stays until Close().
    void ForgetDevice();
    // Held by a device monitor for as long as it runs, so that a second
    // monitor never works on the link while the first one still does.
    std::mutex& MonitorTurn();
    // Held by a capture (a photo, one frame of the web camera, the options
    // dialog's test) from switching the camera on to switching it off, so
    // that two captures never mix their commands on the phone's one camera
    // and one open file. Commands outside captures (restart, suspend, the
    // detach) do not take it. A capture thread waits for the user-interface
    // thread in its synchronised calls while holding it, so the
    // user-interface thread only ever tries it (try_lock).
    Turn& CaptureTurn();

    // --- transport ---
    // The exchange turn: one command at a time. On a thread whose stop has
    // been asked for (TransferControl) the wait gives up and the lock
    // returned owns nothing: the command fails.
    std::unique_lock<Turn> Lock() const;
    // Threads waiting for the exchange turn now.
    int CommandsWaiting() const;
    // One exchange: writes the command packet, polls until a reply waits,
    // fetches and judges it. 0 success, 1 the reply answers another packet or
    // its lengths disagree, -1 failure. *replyLength is written only when the
    // reply carries data. The caller holds Lock() across filling the request
    // and reading the reply.
    int SendCommand(ControlPipe* device, uint16_t command, const uint8_t* request, size_t requestLength,
                    uint8_t* reply, size_t replyRoom, uint32_t* replyLength);
    // buffer holds the 8-byte setup packet and the data stage; *length in:
    // bytes handed over, out: bytes written.
    int WriteControl(ControlPipe* device, const uint8_t* buffer, uint32_t* length);
    // buffer holds the 9-byte request; the reply is written back into it
    // (up to kBufferSize bytes) and *length receives its byte count.
    int ReadControl(ControlPipe* device, uint8_t* buffer, uint32_t* length);
    void ClearBuffers();
    uint16_t SequenceCounter() const;

    // --- file and camera commands (0 success, -1 failure) ---
    int OpenPhoneFile(const std::string& path, uint32_t openMode);
    // Appends the open file's contents to destination (which grows, up to
    // kMaxPictureFile bytes) and stores their count in total. A file that
    // begins as a JPEG is held to what its first bytes allow (PictureLimit):
    // its read fails as soon as they show it is no picture, or once it grows
    // past the size its frame header allows. Each block is
    // one turn of the link; the file is read from the phone that was
    // connected at the start, and fails if another one takes its place.
    // progress gets the byte count after every block, between turns.
    int ReadPhoneFile(std::vector<uint8_t>& destination, int32_t& total, const ReadProgress& progress = {});
    int ClosePhoneFile();
    int DeletePhoneFile(const std::string& path);
    int CameraOn(uint8_t resolution);
    int TakePicture(const std::string& path);
    int CameraOff();
    // The exchange's result unchanged (0, 1 or -1).
    int SetLighting(uint8_t lighting);
    int SetExposure(uint8_t exposure);
    int SuspendPhone();
    int RestartPhone();
    // Detach request, written directly (the monitor's disconnect). With
    // onlyTo, it goes out only while that pipe is still the connection, so a
    // late detach never reaches a phone connected anew since.
    int SendDetach(const ControlPipe* onlyTo = nullptr);

    // Record bytes delivered into destination (cut to room), or -1.
    int ReadPhoneRecord(uint16_t record, uint16_t index, uint16_t value3, uint16_t value4, uint8_t* destination,
                        size_t room);

private:
    // A read exchange into buffer (room bytes); *gone tells whether the
    // device has left the bus.
    int ReadExchange(ControlPipe* device, uint8_t* buffer, size_t room, uint32_t* length, bool* gone);
    // The request data (length bytes) sent with the command's reply buffer.
    int Exchange(ControlPipe* device, uint16_t command, size_t requestLength);
    int PathCommand(uint32_t subCommand, const std::string& path, bool withMode, uint32_t openMode);

    struct State;
    std::unique_ptr<State> state_;
};

// The model name from record 0x0117: zero bytes skipped, 0xFF ends it, at most
// 31 characters. False when the record cannot be read (the caller shows its
// message and uses "Unnoun").
bool ReadModelName(PhoneLink& link, std::string* model);
// The model text built from delivered record bytes by the same rule.
std::string ModelNameFromRecord(const uint8_t* bytes, size_t count);

}  // namespace orv::phone
