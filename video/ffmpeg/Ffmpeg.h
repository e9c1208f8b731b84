#pragma once
// FFmpeg's C headers for the module, and the few helpers around them that
// every file here shares: error texts, the routing of FFmpeg's log, and the
// program's clock.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <QLoggingCategory>
#include <QString>

#include <cstdint>

Q_DECLARE_LOGGING_CATEGORY(lcVideo)

namespace orv::video {

// The text of an FFmpeg error code ("Invalid argument"), with the last error
// line FFmpeg logged on this thread when there is one, since that line
// usually says what was wrong ("The specified picture size ... is not valid").
QString AvErrorText(int code);
// The text of an errno value, in the system's words.
QString SystemErrorText(int error);
// Routes FFmpeg's log into the "orvello.video" category (errors as warnings,
// the rest as debug) and remembers each thread's last error line. Once per
// process; called when the module starts.
void InstallFfmpegLog();
// Forgets this thread's last logged error line (before a call whose own
// error line should be reported).
void ClearFfmpegLogLine();

// The program's millisecond tick count (its replaceable clock).
uint32_t HostTickCount();

// The FourCC as text: four printable characters as they are, anything else
// as a number ("0" for raw BI_RGB pictures).
QString FourccText(uint32_t tag);

}  // namespace orv::video
