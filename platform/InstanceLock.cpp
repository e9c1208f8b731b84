#include "InstanceLock.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv {
namespace {

std::atomic<bool> gHeld{false};

// A descriptor of the folder, or -1.
int OpenFolder(const std::string& path)
{
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A folder in a place that others can write to (the temporary folder), or
// below one the user owns: made with mode 0700 when missing, and refused
// unless it is a real folder owned by the user. Someone else who made the
// name first gets neither the lock nor a say over it. A descriptor or -1.
int OpenPrivateFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        ((info.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Variable(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value == '/' ? std::string(value) : std::string();
}

// The folder and a descriptor of it, by the order InstanceLockFolder tells.
int OpenLockFolder(std::string* path)
{
    if (const char* dir = std::getenv("ORVELLO_LOCK_DIR"); dir && *dir) {
        *path = dir;
        return OpenFolder(*path);
    }
    if (std::string runtime = Variable("XDG_RUNTIME_DIR"); !runtime.empty()) {
        *path = runtime;
        return OpenFolder(*path);
    }
    std::string temp = Variable("TMPDIR");
    *path = (temp.empty() ? std::string("/tmp") : temp) + "/orvello-" + std::to_string(::geteuid());
    if (const int fd = OpenPrivateFolder(*path); fd >= 0)
        return fd;
    std::string cache = Variable("XDG_CACHE_HOME");
    if (cache.empty()) {
        const std::string home = Variable("HOME");
        if (home.empty())
            return -1;
        cache = home + "/.cache";
        ::mkdir(cache.c_str(), 0700);
    }
    *path = cache + "/orvello";
    return OpenPrivateFolder(*path);
}

}  // namespace

std::string InstanceLockFolder()
{
    std::string path;
    const int fd = OpenLockFolder(&path);
    if (fd < 0)
        return {};
    ::close(fd);
    return path;
}

bool IsAlreadyRunning(const std::string& name)
{
    std::string folder;
    const int dir = OpenLockFolder(&folder);
    if (dir < 0)
        return true;
    // The descriptor is never closed: the lock lasts until the process ends,
    // and the system releases it then, however the process ends. A link in
    // the lock's place is not followed.
    const int fd = ::openat(dir, (name + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    ::close(dir);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return true;
    }
    gHeld = true;
    return false;
}

bool HoldsInstanceLock() { return gHeld.load(); }

}  // namespace orv
