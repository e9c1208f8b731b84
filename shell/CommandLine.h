#pragma once
// Command-line switches: an argument whose first character is "-" or "/" and
// whose remainder is the switch letter, in any case ("/d", "-D").

#include <QStringList>

#include <optional>

namespace orv {

bool HasSwitch(const QStringList& arguments, QChar letter);
// The program's arguments (without the program name), set once by main().
const QStringList& ProgramArguments();
void SetProgramArguments(QStringList arguments);
bool FindCmdLineSwitch(QChar letter);

// The version compiled into the program ("1.0.1.51").
QString ReadFileVersion();

// Long options: arguments that begin with "--". The program knows
// --simulate-phone, --exit-when-idle, --help and --version; any other is an
// error. Qt's own options are written with one dash ("-platform offscreen")
// and are left to Qt, like every other argument.
struct LongOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    bool simulatePhone = false;
    bool exitWhenIdle = false;  // quit at the first turn of the event loop (start-up benchmark)
    QString error;              // Action::Error: what is wrong, for the user
};
// arguments: without the program name. --help and --version win over
// everything after them, an unknown option over everything.
LongOptions ParseLongOptions(const QStringList& arguments);

// The texts printed for --help and --version.
QString HelpText();
QString VersionText();

// Answers --help, --version and unknown long options before anything else
// starts (no display, no window, no lock, no settings): prints the answer
// and returns the exit code (0, or 2 for an unknown option). Returns nothing
// when the program is to run.
std::optional<int> AnswerLongOptions(int argc, char** argv);

}  // namespace orv
