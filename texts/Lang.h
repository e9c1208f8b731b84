#pragma once
// Language texts: every menu caption, status text and message passes through
// LangText with its section, key and built-in Russian text. The chosen
// language file is found and read anew at every call (LangTexts: once for
// a set of texts).

#include "config/Paths.h"

#include <QString>
#include <QStringList>

namespace orv {

// LanguageFolder() (Paths.h) holds the language files.
// The names of the "*.lng" entries of the folder, in the one fixed order
// (sorted by name) used by every lookup and by the options dialog's list.
QStringList LanguageFiles();

// index 0: the built-in text; n: the n-th language file.
QString LangTextAt(int index, const QString& section, const QString& key, const QString& builtIn);
// LangTextAt with the index of the setting "LangIndex", read at this call.
QString LangText(const QString& section, const QString& key, const QString& builtIn);

}  // namespace orv
