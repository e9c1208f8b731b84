#include "SettingsStore.h"

#include "RegFile.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv::reg {
namespace {

enum class ReadOutcome { Ok, Missing, Unreadable, Unparsable };

struct Loaded {
    ReadOutcome outcome = ReadOutcome::Missing;
    RegFile file;
};

std::mutex gWriteMutex;
std::atomic<int (*)(int)> gSync{&::fsync};

Loaded Load(const std::string& path)
{
    Loaded result;
    // Non-blocking, so that a pipe of that name never holds the reader up;
    // only a regular file is read (and so only a regular file is replaced).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        result.outcome = errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unreadable;
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        result.outcome = ReadOutcome::Unreadable;
        return result;
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            result.outcome = ReadOutcome::Unreadable;
            return result;
        }
        if (got == 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    auto parsed = RegFile::Parse(text);
    if (!parsed) {
        result.outcome = ReadOutcome::Unparsable;
        return result;
    }
    result.file = std::move(*parsed);
    result.outcome = ReadOutcome::Ok;
    return result;
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void MakeDirectories(const std::string& dir)
{
    for (size_t sep = dir.find('/', 1); ; sep = dir.find('/', sep + 1)) {
        ::mkdir(dir.substr(0, sep).c_str(), 0700);
        if (sep == std::string::npos)
            break;
    }
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

// The file a path names once symbolic links are followed: a link to the
// settings file (kept in a dotfiles folder, say) stays a link and its target
// gets the new text. A target that does not exist yet is where the file is
// made. Nothing when the links cannot be followed (a loop, an unreadable
// link).
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
        path = target.front() == '/' ? target : DirectoryOf(path) + "/" + target;
    }
    return std::nullopt;
}

// A file the user has made read-only (no write permission for anyone) is
// left as it is, even by a process that could write it all the same.
bool ReadOnly(const std::string& path, const struct stat& info)
{
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path.c_str(), W_OK) != 0;
}

// Makes the rename itself durable: the folder's entry is written too.
void SyncFolder(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// Replaces the file with the new text: a temporary file beside it is written
// and flushed, then renamed over it, so readers and a crash see the old file
// or the new one, never a torn one. The new file keeps the old one's mode
// and, where this process may set them, its owner and group (0644 for a new
// file).
bool ReplaceFile(const std::string& path, const std::string& text, const struct stat* old)
{
    const std::string dir = DirectoryOf(path);
    std::string temp = dir + "/.settings.reg.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, old ? old->st_mode & 07777 : 0644) == 0;
    if (old && (old->st_uid != ::geteuid() || old->st_gid != ::getegid()))
        (void)!::fchown(fd, old->st_uid, old->st_gid);
    ok = ok && WriteAll(fd, text) && gSync.load()(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncFolder(dir);
    return true;
}

// Keeps a file that does not parse under a name that says so, so the user's
// text is never lost when a write replaces it.
bool PutAside(const std::string& path)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string aside = path + ".unparsable-" + stamp;
    for (int n = 1; ::access(aside.c_str(), F_OK) == 0; ++n)
        aside = path + ".unparsable-" + stamp + "-" + std::to_string(n);
    return ::rename(path.c_str(), aside.c_str()) == 0;
}

// Runs change on the file's contents under the write lock and writes the
// result back when change returns true. Does nothing when the file cannot be
// read, locked or written, or is read-only; false then.
template <typename Change>
bool Modify(Change change)
{
    const std::optional<std::string> followed = FollowLinks(SettingsFilePath());
    if (!followed)
        return false;
    const std::string& path = *followed;
    std::lock_guard threads(gWriteMutex);
    MakeDirectories(DirectoryOf(path));
    const std::string lockPath = path + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0)
        return false;
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(lockFd);
            return false;
        }
    }
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    Loaded loaded = Load(path);
    bool proceed = !(exists && ReadOnly(path, info));
    if (loaded.outcome == ReadOutcome::Unreadable)
        proceed = false;
    else if (proceed && loaded.outcome == ReadOutcome::Unparsable)
        proceed = PutAside(path);
    bool written = proceed;
    if (proceed && change(loaded.file))
        written = ReplaceFile(path, loaded.file.Serialize(), exists ? &info : nullptr);
    ::flock(lockFd, LOCK_UN);
    ::close(lockFd);
    return written;
}

std::vector<uint8_t> LittleEndian32(uint32_t n)
{
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 24)};
}

std::optional<int32_t> AsInt(const std::optional<RawValue>& v)
{
    if (!v || v->data.size() != 4)
        return std::nullopt;
    const uint32_t n = uint32_t(v->data[0]) | uint32_t(v->data[1]) << 8 | uint32_t(v->data[2]) << 16 |
                       uint32_t(v->data[3]) << 24;
    return static_cast<int32_t>(n);
}

}  // namespace

std::string SettingsFilePath()
{
    if (const char* file = std::getenv("ORVELLO_SETTINGS_FILE"); file && *file)
        return file;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return std::string(config) + "/orvello/settings.reg";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.config/orvello/settings.reg";
}

std::optional<RawValue> QueryValue(std::string_view name, bool createKey)
{
    Loaded loaded = Load(SettingsFilePath());
    if (loaded.outcome == ReadOutcome::Unreadable || loaded.outcome == ReadOutcome::Unparsable)
        return std::nullopt;
    const Key* key = loaded.file.FindKey(kSettingsKey);
    if (!key) {
        if (createKey) {
            Modify([](RegFile& file) {
                if (file.FindKey(kSettingsKey))
                    return false;
                file.CreateKey(kSettingsKey);
                return true;
            });
        }
        return std::nullopt;
    }
    const Value* value = RegFile::FindValue(*key, name);
    if (!value)
        return std::nullopt;
    return RawValue{value->type, value->data};
}

void SetSettingsFileSync(int (*sync)(int fd)) { gSync = sync ? sync : &::fsync; }

bool StoreValue(std::string_view name, uint32_t type, std::vector<uint8_t> data)
{
    return Modify([&](RegFile& file) {
        RegFile::SetValue(file.CreateKey(kSettingsKey), name, type, std::move(data));
        return true;
    });
}

int32_t ReadRegInt(std::string_view name, int32_t defaultValue)
{
    return AsInt(QueryValue(name, true)).value_or(defaultValue);
}

void WriteRegInt(std::string_view name, int32_t value)
{
    StoreValue(name, kRegDword, LittleEndian32(static_cast<uint32_t>(value)));
}

bool ReadRegBool(std::string_view name, bool defaultValue) { return ReadRegInt(name, defaultValue ? 1 : 0) != 0; }

void WriteRegBool(std::string_view name, bool value) { WriteRegInt(name, value ? 1 : 0); }

std::string ReadRegString(std::string_view name, std::string_view defaultValue)
{
    const auto v = QueryValue(name, true);
    if (!v)
        return std::string(defaultValue);
    std::string text(v->data.begin(), v->data.end());
    if (const size_t zero = text.find('\0'); zero != std::string::npos)
        text.resize(zero);
    return text;
}

void WriteRegString(std::string_view name, std::string_view value)
{
    std::vector<uint8_t> data(value.begin(), value.end());
    data.push_back(0);
    StoreValue(name, kRegSz, std::move(data));
}

double ReadRegFloat(std::string_view name, double defaultValue)
{
    const auto v = QueryValue(name, true);
    if (!v || v->data.size() != sizeof(double))
        return defaultValue;
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = bits << 8 | v->data[static_cast<size_t>(i)];
    double result;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

void WriteRegFloat(std::string_view name, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::vector<uint8_t> data(8);
    for (size_t i = 0; i < 8; ++i)
        data[i] = static_cast<uint8_t>(bits >> (8 * i));
    StoreValue(name, kRegBinary, std::move(data));
}

void DeleteSettingsKey()
{
    Modify([](RegFile& file) { return file.DeleteKey(kSettingsKey); });
}

bool ReadShowSplash() { return AsInt(QueryValue("ShowSplash", false)).value_or(1) != 0; }

}  // namespace orv::reg
