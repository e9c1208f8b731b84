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
    // Whether frames go into an AVI file: as "RecordToFile" says (always
    // when a file is named), or never (frames are captured, shown and
    // served only). Without a file no encoder is loaded and nothing is
    // created on disk; the frame loop, its waits and statuses are the same.
    enum class Recording { FromSettings, NoFile };

    // Main thread. Reads the file and encoder settings, makes the compressor,
    // creates the AVI file (a message when it cannot be made) and starts the
    // thread (std::system_error when no thread can be made); finished runs on the user-interface thread after the thread's
    // work (the window's CamFinished). The recorder frees itself after that,
    // completing the file. view, settings, link and codecs must outlive it.
    // fileName: the AVI file to record into; empty, the settings name it
    // ("AviTempName", or a dated name in "AviFolder").
    TCamAvi(CamView& view, const Settings& settings, phone::PhoneLink& link, const TCodecs& codecs,
            std::function<void()> finished, const QString& fileName = QString(),
            Recording recording = Recording::FromSettings);
    ~TCamAvi() override;

    // Asks the recorder to end after the frame in progress. Main thread.
    void Stop() { Terminate(); }

    // The AVI file's name, as chosen at construction; empty when the
    // recorder writes no file.
    QString FileName() const { return AviName; }
    bool RecordsToFile() const { return recordToFile_; }

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
    // Waits the camera's settling time, in slices, so that a stop asked for
    // meanwhile is seen without waiting the whole of it.
    void WaitCameraInit(uint32_t milliseconds);

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
    std::unique_ptr<TCompressor> Compressor;
    std::unique_ptr<AviFile> Avi;
    bool hasCompressor_ = false;
    bool recordToFile_ = true;
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
