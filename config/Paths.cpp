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

QString Join(const QString& folder, const char* relative, const QString& name)
{
    return QDir::cleanPath(folder + QLatin1Char('/') + QString::fromUtf8(relative) + QLatin1Char('/') + name);
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
                           Join(executableFolder, kDataFromExecutable, QStringLiteral("lng")),
                           QDir::cleanPath(QString::fromUtf8(kInstalledData) + QStringLiteral("/lng"))};
    candidates.removeDuplicates();
    return candidates;
}

QStringList ManualCandidates(const QString& executableFolder, const QString& name)
{
    if (name.contains(QLatin1Char('/')))
        return {name};
    QStringList candidates{executableFolder + QLatin1Char('/') + name, Join(executableFolder, kDocFromExecutable, name),
                           QDir::cleanPath(QString::fromUtf8(kInstalledDoc) + QLatin1Char('/') + name)};
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

QString ManualPath(const QString& name)
{
    const QString folder = ExecutableFolder();
    const QStringList candidates = ManualCandidates(folder, name);
    for (const QString& candidate : candidates)
        if (QFileInfo(candidate).isFile())
            return candidate;
    if (name != QLatin1String("manual.html")) {
        const QString english = FirstExisting(ManualCandidates(folder), false);
        if (QFileInfo(english).isFile())
            return english;
    }
    return candidates.constFirst();
}

}  // namespace orv
