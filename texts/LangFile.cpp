#include "LangFile.h"

#include <QFile>
#include <QStringDecoder>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv::lang {
namespace {

std::atomic<uint64_t> gFolderListings{0};

bool IsBlank(QChar c) { return c == u' ' || c == u'\t'; }

QStringView TrimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

QString EntryText(QStringView raw)
{
    QStringView text = TrimBlanks(raw);
    if (const qsizetype zero = text.indexOf(QChar(0)); zero >= 0)
        text = TrimBlanks(text.left(zero));
    if (text.size() >= 2 && (text.front() == u'"' || text.front() == u'\'') && text.back() == text.front())
        text = text.mid(1, text.size() - 2);
    if (text.size() > kMaxEntryLength) {
        qsizetype length = kMaxEntryLength;
        // never leave half of a surrogate pair at the end
        if (text[length - 1].isHighSurrogate())
            --length;
        text = text.left(length);
    }
    return text.toString();
}

// Reads at most limit + 1 bytes of a regular file. The descriptor is opened
// without blocking, so a pipe or device that happens to carry the name is
// refused instead of waited for.
std::optional<QByteArray> ReadBoundedFile(const QString& path, int64_t limit)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> result;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= limit) {
        QByteArray bytes(static_cast<qsizetype>(info.st_size) + 1, Qt::Uninitialized);
        qsizetype filled = 0;
        bool failed = false;
        while (filled < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + filled, static_cast<size_t>(bytes.size() - filled));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                failed = true;
                break;
            }
            if (got == 0)
                break;
            filled += got;
        }
        // A file that grew past the limit while it was read is refused too.
        if (!failed && filled <= limit) {
            bytes.truncate(filled);
            result = std::move(bytes);
        }
    }
    ::close(fd);
    return result;
}

}  // namespace

QString DecodeLanguageBytes(const QByteArray& bytes)
{
    QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF"))
        view = view.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(view);
    if (!utf8.hasError())
        return text;
    QStringDecoder cp1251("windows-1251");
    if (cp1251.isValid())
        return cp1251.decode(QByteArrayView(bytes));
    return QString::fromLatin1(bytes);
}

std::optional<QString> FindIniEntry(QStringView text, QStringView section, QStringView key)
{
    bool inSection = false;
    qsizetype position = 0;
    while (position <= text.size()) {
        qsizetype end = position;
        while (end < text.size() && text[end] != u'\n' && text[end] != u'\r')
            ++end;
        const QStringView line = TrimBlanks(text.mid(position, end - position));
        position = end + 1;
        if (line.isEmpty())
            continue;
        if (line.front() == u'[') {
            qsizetype close = line.indexOf(u']');
            if (close < 0)
                close = line.size();
            inSection = TrimBlanks(line.mid(1, close - 1)).compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection || line.front() == u';' || line.front() == u'#')
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        if (TrimBlanks(line.left(equals)).compare(key, Qt::CaseInsensitive) == 0)
            return EntryText(line.mid(equals + 1));
    }
    return std::nullopt;
}

std::optional<QString> ReadIniText(const QString& path)
{
    const std::optional<QByteArray> bytes = ReadBoundedFile(path, kMaxFileBytes);
    if (!bytes)
        return std::nullopt;
    return DecodeLanguageBytes(*bytes);
}

std::optional<QString> ReadIniEntry(const QString& path, QStringView section, QStringView key)
{
    const std::optional<QString> text = ReadIniText(path);
    if (!text)
        return std::nullopt;
    return FindIniEntry(*text, section, key);
}

uint64_t FolderListingCount() { return gFolderListings.load(); }
void CountFolderListing() { ++gFolderListings; }

}  // namespace orv::lang
