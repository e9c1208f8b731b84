#include "CommandLine.h"

#include "Paths.h"
#include "SettingsStore.h"

#include <cstdio>

namespace orv {
namespace {
QStringList& Arguments()
{
    static QStringList arguments;
    return arguments;
}
}  // namespace

bool HasSwitch(const QStringList& arguments, QChar letter)
{
    for (const QString& argument : arguments) {
        if (argument.size() == 2 && (argument[0] == QLatin1Char('-') || argument[0] == QLatin1Char('/')) &&
            argument[1].toUpper() == letter.toUpper())
            return true;
    }
    return false;
}

const QStringList& ProgramArguments() { return Arguments(); }
void SetProgramArguments(QStringList arguments) { Arguments() = std::move(arguments); }
bool FindCmdLineSwitch(QChar letter) { return HasSwitch(Arguments(), letter); }

QString ReadFileVersion() { return QStringLiteral(ORV_VERSION); }

}  // namespace orv

namespace orv {

LongOptions ParseLongOptions(const QStringList& arguments)
{
    LongOptions options;
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1String("--")))
            continue;  // a switch, Qt's own option, or ignored
        if (argument == QLatin1String("--simulate-phone")) {
            options.simulatePhone = true;
        } else if (argument == QLatin1String("--exit-when-idle")) {
            options.exitWhenIdle = true;
        } else if (argument == QLatin1String("--help")) {
            if (options.action == LongOptions::Action::Run)
                options.action = LongOptions::Action::Help;
        } else if (argument == QLatin1String("--version")) {
            if (options.action == LongOptions::Action::Run)
                options.action = LongOptions::Action::Version;
        } else {
            options.action = LongOptions::Action::Error;
            options.error = QStringLiteral("unknown option '%1'").arg(argument);
            return options;
        }
    }
    return options;
}

QString VersionText() { return QStringLiteral("orvello ") + ReadFileVersion() + QLatin1Char('\n'); }

QString HelpText()
{
    return QStringLiteral(
               "Usage: orvello [SWITCH]... [OPTION]...\n"
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
               "Files:\n"
               "  settings            %1\n"
               "  language files      %2\n"
               "  manual              %3\n"
               "\n"
               "The manual page orvello(1) lists the environment variables.\n")
        .arg(QString::fromStdString(reg::SettingsFilePath()), LanguageFolder(), ManualPath());
}

std::optional<int> AnswerLongOptions(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const LongOptions options = ParseLongOptions(arguments);
    switch (options.action) {
    case LongOptions::Action::Run:
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
        return 2;
    }
    return std::nullopt;
}

}  // namespace orv
