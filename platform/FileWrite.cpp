#include "FileWrite.h"

#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace orv {
namespace {

std::atomic<FileSync> gSync{&::fsync};

QString Reason(int code) { return QString::fromStdString(std::generic_category().message(code)); }

bool WriteAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

}  // namespace

void SetFileSync(FileSync sync) { gSync = sync ? sync : &::fsync; }

bool WriteFileReplacing(const QString& path, const QByteArray& bytes, QString* error)
{
    const auto fail = [error](int code) {
        if (error)
            *error = Reason(code);
        return false;
    };
    const QFileInfo target(path);
    if (target.fileName().isEmpty())
        return fail(EINVAL);
    struct stat existing {};
    const QByteArray nativePath = QFile::encodeName(target.absoluteFilePath());
    const bool replacing = ::stat(nativePath.constData(), &existing) == 0;
    // Only a regular file is ever replaced: a device, pipe or folder that
    // carries the name is left alone.
    if (replacing && !S_ISREG(existing.st_mode))
        return fail(S_ISDIR(existing.st_mode) ? EISDIR : EINVAL);

    QByteArray temporary = QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName()) +
                           QByteArrayLiteral(".XXXXXX");
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(errno);
    // A file written by hand gets the usual permissions of a document; a
    // replaced one keeps its own.
    ::fchmod(fd, replacing ? (existing.st_mode & 07777) : 0644);
    // The data reaches the disk before the rename, so a full disk shows up
    // here and not later as a truncated file.
    if (!WriteAll(fd, bytes.constData(), bytes.size()) || gSync.load()(fd) != 0) {
        const int code = errno;
        ::close(fd);
        ::unlink(temporary.constData());
        return fail(code);
    }
    if (::close(fd) != 0 || ::rename(temporary.constData(), nativePath.constData()) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        return fail(code);
    }
    return true;
}

}  // namespace orv
