#pragma once
// One capture with the phone's camera, in the steps that the photo, the web
// camera and the options dialog's frame-rate test share: the capture turn,
// the camera switched on with the picture type, lighting and exposure, the
// settling wait, then for each picture the shot into the phone file, the
// wait after it, the download (any open phone file closed, the file opened
// with one more attempt at once, read), the decoding and the date stamp, the
// phone file closed and deleted; at last the camera switched off. Each caller
// puts the steps together in its own order and says what it shows of them.

#include "phone/PhoneLink.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orv {

class Settings;
class TransferControl;

// After a stop, what the web camera and the frame-rate test still send to
// tidy up on the phone gets this long in all.
inline constexpr uint32_t kCaptureStopGraceMs = 500;

// What a capture sends and waits, as its caller wants it.
struct CapturePlan {
    std::string phoneFile;    // the phone's file the pictures are shot into
    uint8_t pictureType = 0;  // the resolution code of the camera-on command
    // Lighting (1-6) and exposure (1-5) as the phone counts them; none is
    // sent without a value.
    std::optional<uint8_t> lighting;
    std::optional<uint8_t> exposure;
    uint32_t settleMs = 0;     // waited once the camera is on
    uint32_t afterShotMs = 0;  // waited after each shot, before the download
    bool decode = true;        // false: the file is downloaded and not decoded
    bool dateStamp = false;    // the time of the shot drawn on the picture
    // After a stop, the commands that tidy up (closing and deleting the
    // phone file, switching the camera off) get this long in all from the
    // first of them; 0: they are not sent.
    uint32_t stopGraceMs = 0;

    // The photo's and the web camera's plan: phoneFile, and from the settings
    // "JpgType", "AmbientLight" and "Expose" (sent one higher), the waits
    // "CameraInitTime" and "Timeout" (a negative one waits not at all) and
    // "PrintDateOnImage". No grace after a stop.
    static CapturePlan FromSettings(const Settings& settings, const std::string& phoneFile);
};

// A waiting time from the settings; a negative value waits not at all.
uint32_t WaitingTime(int milliseconds);

// How one picture's capture went.
struct CapturedPicture {
    enum class Outcome {
        NotTaken,     // the shot failed, or a stop came first: there is no phone file
        NotOpened,    // the phone file did not open at the second attempt either
        NotRead,      // the read failed, or a stop came before or during it
        NotAPicture,  // the bytes do not decode
        Downloaded,   // read and not decoded, as planned
        Picture,      // decoded (and stamped)
    };
    Outcome outcome = Outcome::NotTaken;
    // With Picture: 24-bit; grey where a cut-short file had no data.
    QImage picture;
    bool cutShort = false;  // the phone was still writing the file when it was read
    // The phone file exists and is to be deleted.
    bool ShotTaken() const { return outcome != Outcome::NotTaken; }
};

class PhoneCapture {
public:
    // What the caller shows of the steps; each is called on the capturing
    // thread.
    enum class Step { Shooting, Downloading };
    struct Hooks {
        // Before the shot, and before the phone file is opened.
        std::function<void(Step)> step;
        // A reply of the phone is late (true), or came at last (false);
        // inside the wait, without the exchange turn.
        std::function<void(bool late)> late;
        // The bytes of the phone file read so far, after each block.
        phone::ReadProgress progress;
        // The picture as decoded, before the date stamp is drawn on it.
        std::function<void(const QImage&)> decoded;
    };

    // Waits for the capture turn and holds it until the object goes: no
    // other capture mixes its commands in. stopped tells whether the caller
    // was asked to stop; each step looks at it before it sends anything.
    // The late notice goes on the calling thread's transfer control.
    PhoneCapture(phone::PhoneLink& link, CapturePlan plan, std::function<bool()> stopped, Hooks hooks = {});
    ~PhoneCapture();
    PhoneCapture(const PhoneCapture&) = delete;
    PhoneCapture& operator=(const PhoneCapture&) = delete;

    // Changed between pictures where the caller follows the settings.
    CapturePlan& Plan() { return plan_; }

    // The camera on with the picture type; once it is on, lighting and
    // exposure when planned and the settling wait. False when it did not
    // come on (nothing more is sent then).
    bool SwitchOn();
    // One picture, from the shot to the decoded and stamped picture. The
    // time of the shot is read just before it.
    CapturedPicture TakePicture();
    // Closes and deletes the phone file: after a stop within the grace.
    void DeletePhoneFile();
    // Switches the camera off: after a stop within the grace. False when
    // the phone refused it or it was not sent.
    bool SwitchOff();
    // Waits in slices, ending soon after a stop; the calling thread's
    // transfer control notes each slice as a sign of life.
    void Wait(uint32_t milliseconds);

private:
    // Runs commands at once, or after a stop under a control of their own
    // that ends them when the grace is over.
    bool Tidy(const std::function<bool()>& commands);
    bool Stopped() const { return stopped_ && stopped_(); }

    phone::PhoneLink& link_;
    CapturePlan plan_;
    std::function<bool()> stopped_;
    Hooks hooks_;
    std::unique_lock<phone::Turn> turn_;
    std::vector<uint8_t> download_;  // kept from picture to picture
    std::unique_ptr<TransferControl> tidying_;  // made at the first tidy-up after a stop
};

}  // namespace orv
