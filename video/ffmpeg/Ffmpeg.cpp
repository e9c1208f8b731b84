#include "Ffmpeg.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <system_error>

Q_LOGGING_CATEGORY(lcVideo, "orvello.video", QtInfoMsg)

namespace orv::video {
namespace {

thread_local char tLastErrorLine[512];

// Runs on whatever thread FFmpeg logs from (encoders may log from their own
// worker threads); keeps nothing but the calling thread's last error line.
void LogToQt(void* context, int level, const char* format, va_list arguments)
{
    if (level > AV_LOG_VERBOSE)
        return;
    char line[1024];
    int prefix = 1;
    va_list forLine;
    va_copy(forLine, arguments);
    av_log_format_line2(context, level, format, forLine, line, sizeof line, &prefix);
    va_end(forLine);
    QByteArray text(line);
    while (text.endsWith('\n'))
        text.chop(1);
    if (text.isEmpty())
        return;
    if (level <= AV_LOG_ERROR) {
        // The line without FFmpeg's "[mjpeg @ 0x...] " prefix.
        char plain[sizeof tLastErrorLine];
        va_list forPlain;
        va_copy(forPlain, arguments);
        std::vsnprintf(plain, sizeof plain, format, forPlain);
        va_end(forPlain);
        QByteArray kept(plain);
        while (kept.endsWith('\n'))
            kept.chop(1);
        if (!kept.isEmpty())
            std::snprintf(tLastErrorLine, sizeof tLastErrorLine, "%s", kept.constData());
        qCWarning(lcVideo, "%s", text.constData());
    } else {
        qCDebug(lcVideo, "%s", text.constData());
    }
}

}  // namespace

QString AvErrorText(int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    QString text = QString::fromUtf8(buffer);
    if (tLastErrorLine[0])
        text += QStringLiteral(" (") + QString::fromUtf8(tLastErrorLine).trimmed() + QLatin1Char(')');
    return text;
}

QString SystemErrorText(int error)
{
    return QString::fromLocal8Bit(std::generic_category().message(error).c_str());
}

void InstallFfmpegLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(LogToQt); });
}

void ClearFfmpegLogLine()
{
    tLastErrorLine[0] = '\0';
}

QString FourccText(uint32_t tag)
{
    char text[4];
    bool printable = tag != 0;
    for (int i = 0; i < 4; ++i) {
        text[i] = char((tag >> (8 * i)) & 0xFF);
        if (text[i] < 0x20 || text[i] > 0x7E)
            printable = false;
    }
    return printable ? QString::fromLatin1(text, 4) : QString::number(tag);
}

}  // namespace orv::video
