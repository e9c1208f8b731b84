#include "FileWrite.h"

#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <random>
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

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a new file beside path under a name of its own, asking for 0666:
// the kernel takes the user's umask (or the folder's default ACL) off it,
// as for any file the user makes. *name receives the name.
int CreateBeside(const std::string& path, std::string* name)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = folder + "." + base + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + "-" +
                std::to_string(device() % 1000000);
        const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::optional<std::string> FollowLinks(std::string path)
{
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0)
            return errno == ENOENT ? std::optional(path) : std::nullopt;
        if (!S_ISLNK(info.st_mode))
            return path;
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size())
            return std::nullopt;
        target.resize(static_cast<size_t>(length));
        path = target.front() == '/' ? target : FolderOf(path) + "/" + target;
    }
    return std::nullopt;
}

void SetFileSync(FileSync sync) { gSync = sync ? sync : &::fsync; }

bool WriteFileReplacing(const QString& path, const QByteArray& bytes, QString* error)
{
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    const QFileInfo named(path);
    if (named.fileName().isEmpty())
        return fail(Reason(EINVAL));
    const std::optional<std::string> followed =
        FollowLinks(QFile::encodeName(named.absoluteFilePath()).toStdString());
    if (!followed)
        return fail(Reason(ELOOP));
    const std::string& target = *followed;
    struct stat existing {};
    const bool replacing = ::stat(target.c_str(), &existing) == 0;
    // Only a regular file is ever replaced: a device, pipe or folder that
    // carries the name is left alone, and so is a file made read-only.
    if (replacing && !S_ISREG(existing.st_mode))
        return fail(Reason(S_ISDIR(existing.st_mode) ? EISDIR : EINVAL));
    if (replacing && ((existing.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target.c_str(), W_OK) != 0))
        return fail(QString::fromLatin1(kReadOnlyReason));

    std::string temporary;
    const int fd = CreateBeside(target, &temporary);
    if (fd < 0)
        return fail(Reason(errno));
    // A replaced file keeps its own permissions and owner.
    if (replacing) {
        ::fchmod(fd, existing.st_mode & 07777);
        if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid())
            (void)!::fchown(fd, existing.st_uid, existing.st_gid);
    }
    // The data reaches the disk before the rename, so a full disk shows up
    // here and not later as a truncated file.
    if (!WriteAll(fd, bytes.constData(), bytes.size()) || gSync.load()(fd) != 0) {
        const int code = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return fail(Reason(code));
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return fail(Reason(code));
    }
    return true;
}

}  // namespace orv
