#include "InstanceLock.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace orv {

std::string InstanceLockPath(const std::string& name)
{
    if (const char* dir = std::getenv("ORVELLO_LOCK_DIR"); dir && *dir)
        return std::string(dir) + "/" + name + ".lock";
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir == '/')
        return std::string(dir) + "/" + name + ".lock";
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/" + name + "-" + std::to_string(::getuid()) + ".lock";
}

bool IsAlreadyRunning(const std::string& name)
{
    const std::string path = InstanceLockPath(name);
    // The descriptor is never closed: the lock lasts until the process ends,
    // and the system releases it then, however the process ends.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return true;
    }
    return false;
}

}  // namespace orv
