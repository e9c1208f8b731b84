#pragma once
// Where a module of the program (a shared library loaded on first use) is
// looked for: beside the executable (where the build puts it, so tests and
// benchmarks find it), then in the prefix's module folder reached from the
// executable's folder (an installed program moved with its prefix), then in
// the folder the build was configured to install into.

#include <QString>
#include <QStringList>

namespace orv {

// fileName: the module's file name; fromBin: the module folder relative to
// the executable's folder; installedDir: the configured absolute folder.
QStringList ModuleCandidates(const QString& fileName, const QString& fromBin, const QString& installedDir);

}  // namespace orv
