#include "CommandLine.h"

#include "config/Paths.h"
#include "capture/PictureFile.h"
#include "platform/SettingsStore.h"
#include "video/MotionDetector.h"

#include <cstdio>
#include <limits>

namespace orv {

namespace {

// A whole number from 1 to most, or nothing.
std::optional<int> Count(const QString& text, int most)
{
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok, 10);
    if (!ok || value < 1 || value > most)
        return std::nullopt;
    return static_cast<int>(value);
}

// A whole number from 0 to the largest dword, or nothing.
std::optional<uint32_t> Dword(const QString& text)
{
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, 10);
    if (!ok || text.startsWith(QLatin1Char('+')) || value > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

bool TakesValue(const QString& name)
{
    for (const char* option :
         {"--photo", "--record", "--wait", "--frames", "--seconds", "--split-minutes", "--keep-megabytes",
          "--motion-threshold"}) {
        if (name == QLatin1String(option))
            return true;
    }
    return false;
}

}  // namespace

LongOptions ParseLongOptions(const QStringList& arguments)
{
    using Action = LongOptions::Action;
    LongOptions options;
    const auto fail = [&options](const QString& error) {
        options.action = Action::Error;
        options.error = error;
        return options;
    };
    Action answer = Action::Run;  // --help or --version, the first one given
    Action work = Action::Run;    // --photo or --record
    QStringList given;            // options of the work given
    QStringList strays;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!argument.startsWith(QLatin1String("--"))) {
            strays << argument;  // a switch, Qt's own option, or ignored
            continue;
        }
        QString name = argument;
        std::optional<QString> value;
        if (argument.startsWith(QLatin1String("--set-password="))) {
            name = QStringLiteral("--set-password");
            value = argument.mid(name.size() + 1);
        }
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (equals > 2 && TakesValue(argument.left(equals))) {
            name = argument.left(equals);
            value = argument.mid(equals + 1);
        }
        if (TakesValue(name) && !value) {
            if (i + 1 == arguments.size())
                return fail(QStringLiteral("option '%1' needs a value").arg(name));
            value = arguments[++i];
        }
        if (name == QLatin1String("--simulate-phone")) {
            options.simulatePhone = true;
        } else if (name == QLatin1String("--exit-when-idle")) {
            options.exitWhenIdle = true;
        } else if (name == QLatin1String("--help")) {
            if (answer == Action::Run)
                answer = Action::Help;
        } else if (name == QLatin1String("--version")) {
            if (answer == Action::Run)
                answer = Action::Version;
        } else if (name == QLatin1String("--photo") || name == QLatin1String("--record")) {
            if (work == Action::Serve)
                return fail(QStringLiteral("--serve cannot be given with --photo or --record, or twice"));
            if (work == Action::SetPassword)
                return fail(QStringLiteral("--set-password goes alone, not with --photo, --record or --serve"));
            if (work != Action::Run)
                return fail(QStringLiteral("--photo and --record cannot be given together or twice"));
            work = name == QLatin1String("--photo") ? Action::Photo : Action::Record;
            if (value->isEmpty())
                return fail(QStringLiteral("option '%1' needs a file name").arg(name));
            options.file = *value;
        } else if (name == QLatin1String("--set-password")) {
            if (work != Action::Run)
                return fail(QStringLiteral("--set-password goes alone, not with --photo, --record or --serve"));
            work = Action::SetPassword;
            if (value) {
                if (value->isEmpty())
                    return fail(QStringLiteral("option '--set-password=' needs a user name after '='"));
                options.user = *value;
            }
        } else if (name == QLatin1String("--serve")) {
            if (work == Action::SetPassword)
                return fail(QStringLiteral("--set-password goes alone, not with --photo, --record or --serve"));
            if (work != Action::Run)
                return fail(QStringLiteral("--serve cannot be given with --photo or --record, or twice"));
            work = Action::Serve;
        } else if (name == QLatin1String("--wait") || name == QLatin1String("--seconds")) {
            const std::optional<int> seconds = Count(*value, LongOptions::kMaxSeconds);
            if (!seconds)
                return fail(QStringLiteral("option '%1' needs a whole number of seconds from 1 to %2, not '%3'")
                                .arg(name)
                                .arg(LongOptions::kMaxSeconds)
                                .arg(*value));
            (name == QLatin1String("--wait") ? options.waitSeconds : options.seconds) = *seconds;
            given << name;
        } else if (name == QLatin1String("--frames")) {
            const std::optional<int> frames = Count(*value, std::numeric_limits<int>::max());
            if (!frames)
                return fail(QStringLiteral("option '--frames' needs a whole number of frames from 1 up, not '%1'")
                                .arg(*value));
            options.frames = *frames;
            given << name;
        } else if (name == QLatin1String("--split-minutes") || name == QLatin1String("--keep-megabytes")) {
            const std::optional<uint32_t> number = Dword(*value);
            if (!number)
                return fail(QStringLiteral("option '%1' needs a whole number from 0 to %2, not '%3'")
                                .arg(name)
                                .arg(std::numeric_limits<uint32_t>::max())
                                .arg(*value));
            (name == QLatin1String("--split-minutes") ? options.splitMinutes : options.keepMegabytes) = *number;
            given << name;
        } else if (name == QLatin1String("--on-motion")) {
            options.onMotion = true;
            given << name;
        } else if (name == QLatin1String("--motion-threshold")) {
            bool ok = false;
            const int tenths = value->toInt(&ok, 10);
            if (!ok || value->startsWith(QLatin1Char('+')) || tenths < 0 || tenths > video::MotionPlan::kMaxThreshold)
                return fail(QStringLiteral("option '--motion-threshold' needs a whole number of tenths of a percent "
                                           "from 0 to %1, not '%2'")
                                .arg(video::MotionPlan::kMaxThreshold)
                                .arg(*value));
            options.motionThreshold = tenths;
            given << name;
        } else {
            return fail(QStringLiteral("unknown option '%1'").arg(argument));
        }
    }
    if (answer != Action::Run) {
        options.action = answer;
        return options;
    }
    if (work == Action::Run) {
        if (!given.isEmpty())
            return fail(QStringLiteral("option '%1' goes with --photo, --record or --serve").arg(given.first()));
        return options;
    }
    if (work == Action::SetPassword) {
        if (!given.isEmpty())
            return fail(QStringLiteral("option '%1' does not go with --set-password").arg(given.first()));
        // One word after it names the user.
        if (!strays.isEmpty() && options.user.isEmpty() && !strays.first().startsWith(QLatin1Char('-')))
            options.user = strays.takeFirst();
        if (!strays.isEmpty())
            return fail(QStringLiteral("unexpected argument '%1' with --set-password").arg(strays.first()));
        options.action = work;
        return options;
    }
    if (options.motionThreshold && !options.onMotion)
        return fail(QStringLiteral("option '--motion-threshold' goes with --on-motion"));
    if (work == Action::Photo) {
        for (const QString& name : given) {
            if (name != QLatin1String("--wait"))
                return fail(QStringLiteral("option '%1' goes with --record, not with --photo").arg(name));
        }
        if (!PictureFormatOf(options.file))
            return fail(QStringLiteral("cannot tell the picture's format from '%1': name the file .jpg, .jpeg or .bmp")
                            .arg(options.file));
    }
    if (work == Action::Serve) {
        for (const QString& name : given) {
            if (name == QLatin1String("--split-minutes") || name == QLatin1String("--keep-megabytes") ||
                name == QLatin1String("--on-motion") || name == QLatin1String("--motion-threshold"))
                return fail(QStringLiteral("option '%1' goes with --record, not with --serve").arg(name));
        }
    }
    if (!strays.isEmpty())
        return fail(QStringLiteral("unexpected argument '%1' with %2")
                        .arg(strays.first(), work == Action::Photo    ? QStringLiteral("--photo")
                                             : work == Action::Record ? QStringLiteral("--record")
                                                                      : QStringLiteral("--serve")));
    options.action = work;
    return options;
}

QString VersionText() { return QStringLiteral("orvello ") + ReadFileVersion() + QLatin1Char('\n'); }

QString HelpText()
{
    return QStringLiteral(
               "Usage: orvello [SWITCH]... [OPTION]...\n"
               "       orvello --photo FILE [--wait SECONDS] [--simulate-phone]\n"
               "       orvello --record FILE [--frames N] [--seconds S] [--split-minutes N]\n"
               "               [--keep-megabytes N] [--on-motion [--motion-threshold N]]\n"
               "               [--wait SECONDS] [--simulate-phone]\n"
               "       orvello --serve [--frames N] [--seconds S] [--wait SECONDS] [--simulate-phone]\n"
               "       orvello --set-password [USER]\n"
               "Use a Motorola camera phone on USB as a still camera and a slow web camera:\n"
               "take photos, record the camera into AVI files, serve the latest picture to browsers.\n"
               "\n"
               "Switches (a dash or a slash and one letter, in either case):\n"
               "  -d, /d              delete the settings; every setting takes its default\n"
               "  -m, /m              start minimised (to the tray when the settings say so)\n"
               "  -s, /s              start the web camera as soon as a phone has connected\n"
               "\n"
               "Options:\n"
               "  --simulate-phone    drive the built-in simulated phone instead of the USB bus\n"
               "  --exit-when-idle    quit as soon as the window has been shown\n"
               "  --help              show this help and exit\n"
               "  --version           show the version and exit\n"
               "\n"
               "Without a window, with the stored settings (picture size, lighting, exposure,\n"
               "waiting times, date stamp, encoder, picture server):\n"
               "  --photo FILE        take one photo and write it to FILE as JPEG (.jpg, .jpeg)\n"
               "                      or as a bitmap (.bmp)\n"
               "  --record FILE       record the web camera into the AVI file FILE (a folder ending\n"
               "                      in / gets a file named after the date and time) until\n"
               "                      SIGINT or SIGTERM; the picture server and its stream run\n"
               "                      meanwhile when the settings turn them on\n"
               "  --serve             run the web camera without recording: frames go to the\n"
               "                      picture server and the PipeWire camera when the settings\n"
               "                      turn them on, until SIGINT or SIGTERM; no AVI file\n"
               "  --frames N          with --record or --serve: stop after N frames\n"
               "  --seconds S         with --record or --serve: stop after S seconds\n"
               "  --split-minutes N   with --record: complete the file every N minutes and go on\n"
               "                      in a new one (dated, or FILE-0001.avi, FILE-0002.avi, ...);\n"
               "                      0 records one file (default: the settings, AviSplitMinutes)\n"
               "  --keep-megabytes N  with --record: at each new file remove the oldest recordings\n"
               "                      in its folder until they take at most N MiB; only files\n"
               "                      orvello recorded there go; 0 keeps all (default: AviKeepMegabytes)\n"
               "  --on-motion         with --record: write only the frames in which something moves,\n"
               "                      3 frames before and MotionKeepSeconds after, each event in a\n"
               "                      file of its own (dated, or FILE-0001.avi, ...); every frame\n"
               "                      still goes to the server; one line per event on standard\n"
               "                      output (default: the settings, RecordOnMotion)\n"
               "  --motion-threshold N  with --on-motion: the share of the picture that must change,\n"
               "                      in tenths of a percent, 0 to 1000 (default: MotionThreshold)\n"
               "  --wait SECONDS      wait at most this long for the phone (default 30)\n"
               "Progress goes to standard error when it is a terminal; a failure is one line there.\n"
               "\n"
               "  --set-password [USER]\n"
               "                      read a password for the picture server (from the terminal\n"
               "                      without echo, twice; else one line of standard input) and\n"
               "                      store only its salted hash (PBKDF2-SHA256) in the settings,\n"
               "                      with USER as the user name when given (else the stored one);\n"
               "                      an empty password or no user name is refused (status 2)\n"
               "\n"
               "Exit status:\n"
               "  0  success (a recording also when ended by SIGINT or SIGTERM)\n"
               "  1  another failure: the video encoder refuses the frames, or interrupted\n"
               "  2  an unknown option, or a missing or wrong value\n"
               "  3  no phone connected within the waiting time\n"
               "  4  camera failure: it did not start, or a picture was not taken or read\n"
               "  5  the photo or video file cannot be written\n"
               "  6  another copy of orvello is running (it holds the phone)\n"
               "  7  the picture server cannot listen on its port\n"
               "\n"
               "Files:\n"
               "  settings            %1\n"
               "  language files      %2\n"
               "  manual              %3\n"
               "\n"
               "The manual page orvello(1) lists the environment variables.\n")
        .arg(QString::fromStdString(reg::SettingsFilePath()), LanguageFolder(), ManualPath());
}

QStringList ArgumentsOf(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

std::optional<int> AnswerLongOptions(const LongOptions& options)
{
    switch (options.action) {
    case LongOptions::Action::Run:
    case LongOptions::Action::Photo:
    case LongOptions::Action::Record:
    case LongOptions::Action::Serve:
    case LongOptions::Action::SetPassword:
        return std::nullopt;
    case LongOptions::Action::Help:
        std::fputs(HelpText().toLocal8Bit().constData(), stdout);
        return 0;
    case LongOptions::Action::Version:
        std::fputs(VersionText().toLocal8Bit().constData(), stdout);
        return 0;
    case LongOptions::Action::Error:
        std::fprintf(stderr, "orvello: %s\nTry 'orvello --help' for more information.\n",
                     options.error.toLocal8Bit().constData());
        return kExitUsage;
    }
    return std::nullopt;
}

}  // namespace orv
