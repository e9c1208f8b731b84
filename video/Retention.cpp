#include "Retention.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The record's first line, for whoever opens it.
constexpr char kRecordHeader[] =
    "# Orvello: the recordings it completed in this folder (bytes, modification time in ns, name).\n"
    "# Only these are removed to keep the folder within its size.\n";
// The most of a record that is read: far more than a folder's lines.
constexpr qint64 kRecordLimit = 16 * 1024 * 1024;

// What a recording's line holds of its file.
struct Identity {
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const Identity&) const = default;
};

// The identity of the regular file at path (a link is not followed).
std::optional<Identity> IdentityOf(const QString& path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return Identity{static_cast<uint64_t>(info.st_size),
                    int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + int64_t(info.st_mtim.tv_nsec)};
}

// Lines by name; a later line of a name takes the place of an earlier one.
using Record = std::map<QString, Identity>;

QString RecordPath(const QString& folder) { return QDir(folder).filePath(QLatin1String(kRecordFileName)); }

QByteArray RecordLine(const QString& name, const Identity& identity)
{
    return QByteArray::number(qulonglong(identity.size)) + ' ' + QByteArray::number(qlonglong(identity.modifiedNs)) +
           ' ' + QFile::encodeName(name) + '\n';
}

// The folder's record; empty when there is none (or it is no regular file).
Record ReadRecord(const QString& folder)
{
    Record record;
    const int fd = ::open(QFile::encodeName(RecordPath(folder)).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return record;
    QFile file;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !file.open(fd, QIODevice::ReadOnly)) {
        ::close(fd);
        return record;
    }
    const QByteArray text = file.read(std::min<qint64>(info.st_size, kRecordLimit));
    file.close();
    ::close(fd);
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype first = line.indexOf(' ');
        const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
        if (second < 0)
            continue;
        bool sizeRead = false, timeRead = false;
        const Identity identity{line.left(first).toULongLong(&sizeRead),
                                line.mid(first + 1, second - first - 1).toLongLong(&timeRead)};
        const QString name = QFile::decodeName(line.mid(second + 1));
        if (sizeRead && timeRead && !name.isEmpty() && !name.contains(QLatin1Char('/')))
            record.insert_or_assign(name, identity);
    }
    return record;
}

// Puts the record in place of the folder's: a new file renamed over it.
bool WriteRecord(const QString& folder, const Record& record)
{
    QByteArray text = kRecordHeader;
    for (const auto& [name, identity] : record)
        text += RecordLine(name, identity);
    QByteArray temporary = QFile::encodeName(RecordPath(folder)) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, 0644) == 0;
    for (qsizetype done = 0; written && done < text.size();) {
        const ssize_t put = ::write(fd, text.constData() + done, size_t(text.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        written = put > 0;
        done += put > 0 ? put : 0;
    }
    written = ::close(fd) == 0 && written &&
              ::rename(temporary.constData(), QFile::encodeName(RecordPath(folder)).constData()) == 0;
    if (!written)
        ::unlink(temporary.constData());
    return written;
}

// Logs how many files of recordings' names the record does not name, when
// that number changes: they are kept, whatever the size.
void LogForeign(const QString& folder, int count)
{
    static std::mutex mutex;
    static QHash<QString, int> said;
    std::lock_guard lock(mutex);
    if (said.value(folder, 0) == count)
        return;
    said.insert(folder, count);
    if (count > 0)
        qCInfo(lcRetention).noquote() << count << "files in" << folder
                                      << "have a recording's name but are not on its record of this program's "
                                         "recordings: they are kept and do not count against the size kept";
}

}  // namespace

bool NoteRecording(const QString& path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const std::optional<Identity> identity = IdentityOf(path);
    if (!identity || name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r'))) {
        qCWarning(lcRetention).noquote() << "cannot note" << path << "as a recording of this program";
        return false;
    }
    const QByteArray record = QFile::encodeName(RecordPath(info.absolutePath()));
    const int fd = ::open(record.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat state {};
    bool written = fd >= 0 && ::fstat(fd, &state) == 0 && S_ISREG(state.st_mode);
    // One write each: the line is never torn, whatever else writes.
    if (written && state.st_size == 0)
        written = ::write(fd, kRecordHeader, std::strlen(kRecordHeader)) == ssize_t(std::strlen(kRecordHeader));
    const QByteArray line = RecordLine(name, *identity);
    written = written && ::write(fd, line.constData(), size_t(line.size())) == ssize_t(line.size());
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (!written)
        qCWarning(lcRetention).noquote() << "cannot note" << path << "in" << QFile::decodeName(record) + QLatin1Char(':')
                                         << QString::fromLocal8Bit(std::strerror(error));
    return written;
}

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
        int64_t modified = 0;  // ns since the epoch
        QString order;
    };
    std::vector<Recording> recordings;
    uint64_t total = 0;
    const QString written = writing.isEmpty() ? QString() : QFileInfo(writing).absoluteFilePath();
    const Record record = ReadRecord(folder);
    // The lines of the recordings still there, as they were written.
    Record kept;
    for (const auto& [name, identity] : record) {
        if (IdentityOf(QDir(folder).filePath(name)) == identity)
            kept.insert_or_assign(name, identity);
    }
    int foreign = 0;
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        // A link named like a recording is not one; nor is a folder.
        if (entry.isSymLink() || !entry.isFile())
            continue;
        const QString order = OrderKey(entry.fileName(), stem);
        if (order.isEmpty())
            continue;
        const auto size = static_cast<uint64_t>(std::max<qint64>(entry.size(), 0));
        if (entry.absoluteFilePath() == written) {
            total += size;
            continue;
        }
        // Only a file that matches its line is this program's recording.
        const auto line = record.find(entry.fileName());
        const std::optional<Identity> identity = IdentityOf(entry.absoluteFilePath());
        if (line == record.end() || !identity || !(*identity == line->second)) {
            ++foreign;
            continue;
        }
        total += size;
        recordings.push_back({entry.absoluteFilePath(), size, identity->modifiedNs, order});
    }
    LogForeign(QFileInfo(folder).absoluteFilePath(), foreign);
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
            kept.erase(QFileInfo(recording.path).fileName());
        } else {
            qCWarning(lcRetention).noquote() << "cannot remove the old recording" << recording.path + QLatin1Char(':')
                                             << reason;
        }
    }
    // Lines of files that went, or that something else has put in their
    // place, are dropped: the record names the recordings there.
    if (kept != record && !WriteRecord(folder, kept))
        qCWarning(lcRetention).noquote() << "cannot write" << RecordPath(folder);
    return removed;
}

}  // namespace orv::video
