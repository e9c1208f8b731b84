#include "AviFile.h"

#include "AviFileImpl.h"
#include "ModuleLoader.h"
#include "platform/FileWrite.h"
#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcAviFile, "orvello.recorder")

namespace orv::video {
namespace {

// Numbered names tried before giving up.
constexpr int kMaxNumber = 9999;
// Temporary names tried before giving up (each one random).
constexpr int kTemporaryAttempts = 16;
// Room left in a file name for the temporary name's additions.
constexpr qsizetype kNameRoom = 200;

QString SystemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Renames from to to unless to exists (or is a link). ENOTSUP-like answers
// of file systems without the atomic way fall back to a hard link, and
// where there are none either, to a check before the rename.
bool RenameWithoutReplacing(const QByteArray& from, const QByteArray& to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    if (::link(from.constData(), to.constData()) == 0) {
        ::unlink(from.constData());
        return true;
    }
    if (errno == EEXIST)
        return false;
    if (QFileInfo::exists(QFile::decodeName(to)) || QFileInfo(QFile::decodeName(to)).isSymLink()) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.constData(), to.constData()) == 0;
}

// The temporary names OpenBeside gives: "." and the name, "." and eight
// hexadecimal digits, ".part".
const QRegularExpression& TemporaryPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\.[0-9a-f]{8}\\.part$"));
    return pattern;
}

// Whether the temporary file at name (in the folder of dir) is a leftover:
// a regular file of this user's that begins as an AVI and on which no
// recording holds its lock. Then it is removed, under the lock.
bool RemoveIfLeftover(int dir, const QByteArray& name)
{
    const int fd = ::openat(dir, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    char head[12] = {};
    const bool ours = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
                      ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) &&
                      std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0 &&
                      ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // The name must still be this file when it goes.
    struct stat now {};
    const bool removed = ours && ::fstatat(dir, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                         now.st_ino == info.st_ino && now.st_dev == info.st_dev && ::unlinkat(dir, name.constData(), 0) == 0;
    ::close(fd);
    return removed;
}

// Removes the temporary files that recordings in folder left when their
// run ended before they took their names. Only while this process holds the
// single-instance lock: no other copy of the program of this user runs.
void RemoveLeftovers(const QString& folder)
{
    if (!HoldsInstanceLock())
        return;
    const QStringList names =
        QDir(folder).entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden | QDir::System);
    if (names.isEmpty())
        return;
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return;
    for (const QString& name : names) {
        if (TemporaryPattern().match(name).hasMatch() && RemoveIfLeftover(dir, QFile::encodeName(name)))
            qCInfo(lcAviFile).noquote() << "removed" << QDir(folder).filePath(name)
                                        << "left by a recording that ended before its first frame";
    }
    ::close(dir);
}

// Where a recording that replaces path goes: the file that links at path
// name, or path itself. Nothing, with *error, when the links go round in a
// loop, or when what is there must be left as it is: no regular file, or a
// read-only one. *mode gets the permissions of a file there (-1 for none).
std::optional<QString> ReplacedFile(const QString& path, QString* error, int* mode)
{
    const QByteArray native = QFile::encodeName(path);
    const std::optional<std::string> followed = FollowLinks(native.toStdString());
    if (!followed) {
        // The name itself cannot be looked at (a file in place of a folder
        // on the way), or its links go round.
        struct stat link {};
        *error = SystemReason(::lstat(native.constData(), &link) != 0 && errno != ENOENT ? errno : ELOOP);
        return std::nullopt;
    }
    *mode = -1;
    struct stat info {};
    if (::stat(followed->c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            *error = SystemReason(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
            return std::nullopt;
        }
        if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(followed->c_str(), W_OK) != 0) {
            *error = QString::fromLatin1(kReadOnlyReason);
            return std::nullopt;
        }
        *mode = int(info.st_mode & 07777);
    }
    return QFile::decodeName(QByteArray::fromStdString(*followed));
}

}  // namespace

QString NumberedAviName(const QString& name, int number)
{
    const QString stem = name.endsWith(QLatin1String(".avi")) ? name.chopped(4) : name;
    return stem + QStringLiteral("-%1.avi").arg(number);
}

AviFile::AviFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AviFile::~AviFile()
{
    impl_->writer.reset();  // completes the file
    // A recording that never got its name leaves nothing behind.
    if (!impl_->pendingName.isEmpty())
        ::unlink(QFile::encodeName(impl_->path).constData());
    if (impl_->partLock >= 0)
        ::close(impl_->partLock);
}

std::unique_ptr<AviFile> AviFile::Open(const QString& path, QString* error)
{
    module::Module* ffmpeg = module::Loaded();
    if (!ffmpeg) {
        if (error)
            *error = module::LoadFailure();
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->writer = ffmpeg->OpenAvi(path, false, error);
    if (!impl->writer)
        return nullptr;
    return std::unique_ptr<AviFile>(new AviFile(std::move(impl)));
}

std::unique_ptr<AviFile> AviFile::OpenBeside(const QString& path, QString* error, bool replacing)
{
    module::Module* ffmpeg = module::Loaded();
    if (!ffmpeg) {
        if (error)
            *error = module::LoadFailure();
        return nullptr;
    }
    if (path.isEmpty() || path.endsWith(QLatin1Char('/'))) {
        if (error)
            *error = SystemReason(path.isEmpty() ? ENOENT : EISDIR);
        return nullptr;
    }
    // A folder at the name would make the recording fail only at its first
    // frame: it is refused at once, and so is a file that a replacing
    // recording must leave as it is.
    QString name = path;
    if (replacing) {
        QString why;
        int mode = -1;
        const std::optional<QString> replaced = ReplacedFile(path, &why, &mode);
        if (!replaced) {
            if (error)
                *error = why;
            return nullptr;
        }
        name = *replaced;
    } else if (QFileInfo(path).isDir()) {
        if (error)
            *error = SystemReason(EISDIR);
        return nullptr;
    }
    const QString folder = name.left(name.lastIndexOf(QLatin1Char('/')) + 1);
    RemoveLeftovers(folder.isEmpty() ? QStringLiteral(".") : folder);
    const QString base = QFileInfo(name).fileName().left(kNameRoom);
    QString why;
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        const QString temporary = folder + QLatin1Char('.') + base +
                                  QStringLiteral(".%1.part").arg(QRandomGenerator::global()->generate(), 8, 16,
                                                                 QLatin1Char('0'));
        auto impl = std::make_unique<Impl>();
        impl->path = temporary;
        impl->pendingName = name;
        impl->writer = ffmpeg->OpenAvi(temporary, true, &why);
        if (impl->writer) {
            // Held until the file is destroyed: a run that looks for
            // leftovers passes this one over.
            impl->partLock = ::open(QFile::encodeName(temporary).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (impl->partLock >= 0)
                ::flock(impl->partLock, LOCK_EX | LOCK_NB);
            return std::unique_ptr<AviFile>(new AviFile(std::move(impl)));
        }
        if (!QFileInfo(temporary).isSymLink() && !QFileInfo::exists(temporary))
            break;  // not a name taken by chance: the folder refuses
    }
    if (error)
        *error = why;
    return nullptr;
}

bool AviFile::Publish(bool replace, QString* error)
{
    if (impl_->pendingName.isEmpty())
        return true;
    const QByteArray from = QFile::encodeName(impl_->path);
    const QString wanted = impl_->pendingName;
    if (replace) {
        // Looked at again: the file may have changed since the recording
        // began.
        QString why;
        int mode = -1;
        const std::optional<QString> replaced = ReplacedFile(wanted, &why, &mode);
        if (replaced && mode >= 0)
            ::chmod(from.constData(), mode_t(mode));
        if (!replaced || ::rename(from.constData(), QFile::encodeName(*replaced).constData()) != 0) {
            if (error)
                *error = replaced ? SystemReason(errno) : why;
            return false;
        }
        impl_->path = *replaced;
        impl_->pendingName.clear();
        return true;
    }
    for (int number = 1; number <= kMaxNumber; ++number) {
        const QString candidate = number == 1 ? wanted : NumberedAviName(wanted, number);
        if (RenameWithoutReplacing(from, QFile::encodeName(candidate))) {
            impl_->path = candidate;
            impl_->pendingName.clear();
            return true;
        }
        if (errno != EEXIST) {
            if (error)
                *error = SystemReason(errno);
            return false;
        }
    }
    if (error)
        *error = SystemReason(EEXIST);
    return false;
}

bool AviFile::Published() const
{
    return impl_->pendingName.isEmpty();
}

QString AviFile::Path() const
{
    return impl_->path;
}

bool AviFile::OutOfRoom() const
{
    return impl_->writer && impl_->writer->OutOfRoom();
}

}  // namespace orv::video
