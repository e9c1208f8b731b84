#include "Retention.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <algorithm>
#include <vector>

Q_LOGGING_CATEGORY(lcRetention, "orvello.recorder")

namespace orv::video {
namespace {

// The smallest width of a numbered name's number.
constexpr int kNumberWidth = 4;

const QRegularExpression& DatedPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d\\d)-(\\d\\d)-(\\d\\d)_(\\d\\d)(\\d\\d)(?:-(\\d{1,9}))?\\.avi$"));
    return pattern;
}

QRegularExpression NumberedPattern(const QString& stem)
{
    return QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(stem) +
                              QStringLiteral("-(\\d{1,9})(?:-(\\d{1,9}))?\\.avi$"));
}

// A key that sorts a recorder's names by when they were made: the date and
// time of a dated name, the number of a numbered one, then the suffix.
// Empty for a name the recorder does not make.
QString OrderKey(const QString& fileName, const QString& stem)
{
    if (const auto dated = DatedPattern().match(fileName); dated.hasMatch()) {
        const int day = dated.captured(1).toInt();
        const int month = dated.captured(2).toInt();
        const int hour = dated.captured(4).toInt();
        const int minute = dated.captured(5).toInt();
        if (day < 1 || day > 31 || month < 1 || month > 12 || hour > 23 || minute > 59)
            return {};
        return QStringLiteral("d%1%2%3%4%5-%6")
            .arg(dated.captured(3), dated.captured(2), dated.captured(1), dated.captured(4), dated.captured(5))
            .arg(dated.captured(6).toLongLong(), 10, 10, QLatin1Char('0'));
    }
    if (stem.isEmpty())
        return {};
    if (const auto numbered = NumberedPattern(stem).match(fileName); numbered.hasMatch())
        return QStringLiteral("n%1-%2")
            .arg(numbered.captured(1).toLongLong(), 10, 10, QLatin1Char('0'))
            .arg(numbered.captured(2).toLongLong(), 10, 10, QLatin1Char('0'));
    return {};
}

bool RemoveFile(const QString& path, QString* reason)
{
    QFile file(path);
    if (file.remove())
        return true;
    *reason = file.errorString();
    return false;
}

}  // namespace

bool IsRecordingName(const QString& fileName, const QString& stem) { return !OrderKey(fileName, stem).isEmpty(); }

QString RecordingStem(const QString& fixedName)
{
    const QString name = QFileInfo(fixedName).fileName();
    return name.endsWith(QLatin1String(".avi")) ? name.chopped(4) : name;
}

QString NextNumberedAviName(const QString& fixedName)
{
    const QFileInfo fixed(fixedName);
    const QString stem = RecordingStem(fixedName);
    const QRegularExpression pattern = NumberedPattern(stem);
    long long highest = 0;
    const QStringList names = QDir(fixed.absolutePath()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (const auto match = pattern.match(name); match.hasMatch())
            highest = std::max(highest, match.captured(1).toLongLong());
    }
    const QString folder = fixedName.left(fixedName.lastIndexOf(QLatin1Char('/')) + 1);
    return folder + stem + QStringLiteral("-%1.avi").arg(highest + 1, kNumberWidth, 10, QLatin1Char('0'));
}

QStringList KeepRecordingsWithin(const QString& folder, const QString& stem, uint64_t keepBytes,
                                 const QString& writing, const FileRemover& remove)
{
    struct Recording {
        QString path;
        uint64_t size = 0;
        qint64 modified = 0;  // ms since the epoch
        QString order;
    };
    std::vector<Recording> recordings;
    uint64_t total = 0;
    const QString written = writing.isEmpty() ? QString() : QFileInfo(writing).absoluteFilePath();
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        // A link named like a recording is not one; nor is a folder.
        if (entry.isSymLink() || !entry.isFile())
            continue;
        const QString order = OrderKey(entry.fileName(), stem);
        if (order.isEmpty())
            continue;
        const auto size = static_cast<uint64_t>(std::max<qint64>(entry.size(), 0));
        total += size;
        if (entry.absoluteFilePath() == written)
            continue;
        recordings.push_back({entry.absoluteFilePath(), size, entry.lastModified().toMSecsSinceEpoch(), order});
    }
    std::sort(recordings.begin(), recordings.end(), [](const Recording& a, const Recording& b) {
        return a.modified != b.modified ? a.modified < b.modified : a.order < b.order;
    });
    QStringList removed;
    for (const Recording& recording : recordings) {
        if (total <= keepBytes)
            break;
        QString reason;
        if (remove ? remove(recording.path, &reason) : RemoveFile(recording.path, &reason)) {
            qCInfo(lcRetention).noquote() << "removed the old recording" << recording.path;
            removed << recording.path;
            total -= recording.size;
        } else {
            qCWarning(lcRetention).noquote() << "cannot remove the old recording" << recording.path + QLatin1Char(':')
                                             << reason;
        }
    }
    return removed;
}

}  // namespace orv::video
