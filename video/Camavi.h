#pragma once
// The web-camera recorder: a worker thread that takes pictures with the
// phone's camera in a loop, hands each frame to the main window and appends
// it to an AVI file through the encoder chosen in the options, until it is
// stopped or a capture fails.

#include "platform/TThread.h"

#include <QImage>
#include <QString>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

namespace orv {
class Settings;
namespace phone {
class PhoneLink;
}
}  // namespace orv

namespace orv::video {

class AviFile;
class CamView;
class TCodecs;
class TCompressor;

class TCamAvi final : public TThread {
public:
    // Main thread. Reads the file and encoder settings, makes the compressor,
    // creates the AVI file (a message when it cannot be made) and starts the
    // thread (std::system_error when no thread can be made); finished runs on the user-interface thread after the thread's
    // work (the window's CamFinished). The recorder frees itself after that,
    // completing the file. view, settings, link and codecs must outlive it.
    // fileName: the AVI file to record into; empty, the settings name it
    // ("AviTempName", or a dated name in "AviFolder").
    TCamAvi(CamView& view, const Settings& settings, phone::PhoneLink& link, const TCodecs& codecs,
            std::function<void()> finished, const QString& fileName = QString());
    ~TCamAvi() override;

    // Asks the recorder to end after the frame in progress. Main thread.
    void Stop() { Terminate(); }

    // The AVI file's name, as chosen at construction.
    QString FileName() const { return AviName; }

    // Waits until every recorder made has been destroyed (its file
    // complete), at most limit; true when none is left.
    static bool WaitUntilNoneAlive(std::chrono::milliseconds limit);

protected:
    void Run() override;

private:
    // One picture: taken, downloaded, decoded, stamped, shown, deleted on the
    // phone. False when no frame came of it.
    bool CaptureFrame();
    void ShowFrame();
    // Panel 3 gets text, panel 4 the recording time.
    void SetStatus(const QString& text);
    void ShowError(const QString& text);
    // Why the compressor failed: the file (STR17) or the encoder (STR19).
    void ShowCompressorError();
    // Waits (the camera's settling time, the time after a shot) in slices,
    // so that a stop asked for meanwhile is seen without waiting the whole.
    void WaitUnlessStopped(uint32_t milliseconds);
    // Panel 3 says that the phone's reply is late, or, once it came, shows
    // the status again.
    void ShowLate(bool late);
    // Runs commands that tidy up on the phone; after a stop they get a
    // short time in all, whatever the phone does.
    void Tidy(const std::function<void()>& commands);

    // Counts the recorder among those alive from its first member to its
    // last, also when its construction fails.
    struct Counted {
        Counted();
        ~Counted();
        Counted(const Counted&) = delete;
        Counted& operator=(const Counted&) = delete;
    };
    Counted counted_;
    CamView& view_;
    const Settings& settings_;
    // The tick count at the end of construction: the recording time counts
    // from there.
    uint32_t StartTime = 0;
    phone::PhoneLink& Monitor;
    QImage Frame;
    std::vector<uint8_t> Download;
    QString AviName;
    QString TempName;
    QString lastStatus_;  // the work panel's text, set on the recorder's thread
    std::unique_ptr<TransferControl> tidying_;  // made at the first tidy-up after a stop
    std::unique_ptr<TCompressor> Compressor;
    std::unique_ptr<AviFile> Avi;
    bool hasCompressor_ = false;
};

// The dated file name "dd-mm-yy_hhnn.avi" in folder, with one "/" between
// them; an empty folder stands for the user's videos folder.
QString DatedAviName(const QString& folder, std::time_t when);
// name when no file of that name exists, otherwise the first free one of
// name-2.avi, name-3.avi, ...
QString UniqueAviName(const QString& name);
// " hh:nn:ss" for a number of seconds; hours go beyond 24.
QString RecordingTimeText(long long seconds);

}  // namespace orv::video
