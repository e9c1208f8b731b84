#include "Switches.h"

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
