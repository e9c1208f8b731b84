#pragma once
// Command-line switches: an argument whose first character is "-" or "/" and
// whose remainder is the switch letter, in any case ("/d", "-D").

#include <QString>
#include <QStringList>

namespace orv {

bool HasSwitch(const QStringList& arguments, QChar letter);
// The program's arguments (without the program name), set once by main().
const QStringList& ProgramArguments();
void SetProgramArguments(QStringList arguments);
bool FindCmdLineSwitch(QChar letter);

// The version compiled into the program ("1.0.1.51").
QString ReadFileVersion();

}  // namespace orv
