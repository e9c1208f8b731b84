#pragma once
// Language texts: every menu caption, status text and message passes through
// LangText with its section, key and built-in Russian text. The chosen
// language file is found and read anew at every call (LangTexts: once for
// a set of texts).

#include "config/Paths.h"

#include <QString>
#include <QStringList>

namespace orv {

struct LangEntry;

// LanguageFolder() (Paths.h) holds the language files.
// The names of the "*.lng" entries of the folder, in the one fixed order
// (sorted by name) used by every lookup and by the options dialog's list.
QStringList LanguageFiles();

// The name each language of the options' list goes by: the built-in one's,
// then each file's own (its LANGUAGE NAME entry), or the file's name
// without ".lng" for a file that gives none.
QStringList LanguageNames();

// A text as a language file writes it on one line: "\n" starts a new line.
QString ExpandLineBreaks(const QString& text);

// Carries Qt's own dialogs and buttons into the language at index: the Qt
// translation the language names (LANGUAGE QT_TRANSLATION: a file in Qt's
// translations folder, without ".qm", or a path). Replaces the one loaded
// before; none when the language names none or it does not load. True when
// one is in force. Needs the application object.
bool InstallQtTranslation(int index);
// The translation file InstallQtTranslation would load for a name: a path
// as it is, else the name in Qt's translations folder with ".qm".
QString QtTranslationPath(const QString& name);

// What the language at index says of itself (section LANGUAGE): a
// language file's own entry, or fallback when the file has none; the
// built-in text for the built-in language.
QString LanguageEntryAt(int index, const LangEntry& entry, const QString& fallback);

// index 0: the built-in text; n: the n-th language file.
QString LangTextAt(int index, const QString& section, const QString& key, const QString& builtIn);
// LangTextAt with the index of the setting "LangIndex", read at this call.
QString LangText(const QString& section, const QString& key, const QString& builtIn);

}  // namespace orv
