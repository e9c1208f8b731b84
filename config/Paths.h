#pragma once
// Where the program finds the files it ships: the language files and the
// manual. A build keeps them beside the executable; an installed program
// finds them in its prefix's data and documentation folders, reached from
// the executable's own folder (so a moved or DESTDIR tree works as well),
// and last in the folders the build was configured to install into.

#include <QString>
#include <QStringList>

namespace orv {

// The folder of the running executable; usable before the application
// object exists.
QString ExecutableFolder();

// The places looked at for the "lng" folder and for manual.html, in order,
// for an executable in executableFolder.
QStringList LanguageFolderCandidates(const QString& executableFolder);
// name: the manual's file name (each language has its own; a name with a
// folder in it stays as it is).
QStringList ManualCandidates(const QString& executableFolder, const QString& name = QStringLiteral("manual.html"));

// $ORVELLO_LNG_DIR when set; else the first candidate that is a folder;
// else the folder beside the executable (which then holds no files, so the
// built-in texts are used).
QString LanguageFolder();

// The first candidate that is a file; else the manual beside the executable.
// A manual of another language that is not there gives the English one
// ("manual.html") where that is found.
QString ManualPath(const QString& name = QStringLiteral("manual.html"));

}  // namespace orv
