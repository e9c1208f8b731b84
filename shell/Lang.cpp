#include "Lang.h"

// Filled in by the language-file work; until then every text is the built-in one.
namespace orv {
QString LanguageFolder() { return QString(); }
QStringList LanguageFiles() { return {}; }
QString LangTextAt(int, const QString&, const QString&, const QString& builtIn) { return builtIn; }
QString LangText(const QString& section, const QString& key, const QString& builtIn)
{
    return LangTextAt(0, section, key, builtIn);
}
}  // namespace orv
