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
QStringList ManualCandidates(const QString& executableFolder);

// $ORVELLO_LNG_DIR when set; else the first candidate that is a folder;
// else the folder beside the executable (which then holds no files, so the
// built-in texts are used).
QString LanguageFolder();

// The first candidate that is a file; else manual.html beside the executable.
QString ManualPath();

}  // namespace orv
