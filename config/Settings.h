#pragma once
// The program's settings: one typed getter and setter per value of the
// settings key. Every call goes to the store; nothing is cached.

#include <QString>

#include <cstdint>

namespace orv {

// name, form, default. Forms: Text, Int, Bool, Float. The options dialog
// writes those it shows in this order (its table of controls follows it; the
// build checks that).
#define ORV_SETTINGS(X)                                   \
    X(TempJpgName, Text, QStringLiteral("/a/temp.jpg"))   \
    X(AutoSuspendMode, Bool, true)                        \
    X(JpgType, Int, 0)                                    \
    X(Timeout, Int, 1000)                                 \
    X(CloseToTray, Bool, false)                           \
    X(AutoRestart, Bool, true)                            \
    X(AutoFormResize, Bool, true)                         \
    X(ShowSplash, Bool, true)                             \
    X(AviTempName, Text, DefaultAviTempName())            \
    X(Fps, Float, 1.0)                                    \
    X(DuplicatePicture, Bool, true)                       \
    X(CodecIndex, Int, 0)                                 \
    X(OptionsTabIndex, Int, 0)                            \
    X(PrintDateOnImage, Bool, true)                       \
    X(CameraInitTime, Int, 1500)                          \
    X(AmbientLight, Int, 1)                               \
    X(Expose, Int, 2)                                     \
    X(AutoFps, Bool, true)                                \
    X(AutoAviFileName, Bool, false)                       \
    X(AviFolder, Text, DefaultAviFolder())                \
    X(ServerEnabled, Bool, false)                         \
    X(ServerPort, Int, 8080)                              \
    X(AutoPhoneConnect, Bool, true)                       \
    X(LangIndex, Int, 0)                                  \
    X(ServerStream, Bool, false)                          \
    X(RecordToFile, Bool, true)                           \
    X(VirtualCamera, Bool, false)                         \
    X(AviSplitMinutes, Int, 0)                            \
    X(AviKeepMegabytes, Int, 0)                           \
    X(ServerLocalOnly, Bool, false)                       \
    X(ServerUser, Text, QString())                        \
    X(ServerPasswordHash, Text, QString())                \
    X(RecordOnMotion, Bool, false)                        \
    X(MotionThreshold, Int, 10)                           \
    X(MotionKeepSeconds, Int, 10)

using SettingText = QString;
using SettingInt = int32_t;
using SettingBool = bool;
using SettingFloat = double;

// The names of ORV_SETTINGS, in its order.
inline constexpr const char* kSettingNames[] = {
#define ORV_SETTING_NAME(name, form, defaultValue) #name,
    ORV_SETTINGS(ORV_SETTING_NAME)
#undef ORV_SETTING_NAME
};

// temp.avi in the user's videos folder (the home folder when there is none).
QString DefaultAviTempName();
// The user's videos folder with a trailing "/".
QString DefaultAviFolder();

class Settings {
public:
    virtual ~Settings() = default;

#define ORV_DECLARE_ACCESSORS(name, form, defaultValue) \
    Setting##form Get##name() const;                    \
    void Set##name(const Setting##form& value);
    ORV_SETTINGS(ORV_DECLARE_ACCESSORS)
#undef ORV_DECLARE_ACCESSORS
};

}  // namespace orv
