#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace orv {
namespace {

// Relative to the executable's folder, and absolute, as configured at build
// time (for example "../share/orvello" and "/usr/share/orvello").
constexpr char kDataFromExecutable[] = ORV_DATA_FROM_BIN;
constexpr char kDocFromExecutable[] = ORV_DOC_FROM_BIN;
constexpr char kInstalledData[] = ORV_INSTALLED_DATA_DIR;
constexpr char kInstalledDoc[] = ORV_INSTALLED_DOC_DIR;

QString Join(const QString& folder, const char* relative, const char* name)
{
    return QDir::cleanPath(folder + QLatin1Char('/') + QString::fromUtf8(relative) + QLatin1Char('/') +
                           QLatin1String(name));
}

QString FirstExisting(const QStringList& candidates, bool folder)
{
    for (const QString& candidate : candidates) {
        const QFileInfo info(candidate);
        if (folder ? info.isDir() : info.isFile())
            return candidate;
    }
    return candidates.constFirst();
}

}  // namespace

QString ExecutableFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
}

QStringList LanguageFolderCandidates(const QString& executableFolder)
{
    QStringList candidates{executableFolder + QStringLiteral("/lng"),
                           Join(executableFolder, kDataFromExecutable, "lng"),
                           QDir::cleanPath(QString::fromUtf8(kInstalledData) + QStringLiteral("/lng"))};
    candidates.removeDuplicates();
    return candidates;
}

QStringList ManualCandidates(const QString& executableFolder)
{
    QStringList candidates{executableFolder + QStringLiteral("/manual.html"),
                           Join(executableFolder, kDocFromExecutable, "manual.html"),
                           QDir::cleanPath(QString::fromUtf8(kInstalledDoc) + QStringLiteral("/manual.html"))};
    candidates.removeDuplicates();
    return candidates;
}

QString LanguageFolder()
{
    const QString overridden = qEnvironmentVariable("ORVELLO_LNG_DIR");
    if (!overridden.isEmpty())
        return overridden;
    return FirstExisting(LanguageFolderCandidates(ExecutableFolder()), true);
}

QString ManualPath() { return FirstExisting(ManualCandidates(ExecutableFolder()), false); }

}  // namespace orv
