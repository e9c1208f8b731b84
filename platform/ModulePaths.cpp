#include "ModulePaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace orv {

QStringList ModuleCandidates(const QString& fileName, const QString& fromBin, const QString& installedDir)
{
    QStringList paths;
    char program[4096];
    const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program);
    if (length > 0 && size_t(length) < sizeof program) {
        const QString folder = QFileInfo(QFile::decodeName(QByteArray(program, int(length)))).path();
        paths << QDir(folder).filePath(fileName);
        paths << QDir::cleanPath(folder + QLatin1Char('/') + fromBin + QLatin1Char('/') + fileName);
    }
    paths << QDir::cleanPath(installedDir + QLatin1Char('/') + fileName);
    paths.removeDuplicates();
    return paths;
}

}  // namespace orv
