#include "SettingsStore.h"

#include "FileWrite.h"
#include "RegFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <system_error>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace orv::reg {
namespace {

enum class ReadOutcome { Ok, Missing, Unreadable, Unparsable };

struct Loaded {
    ReadOutcome outcome = ReadOutcome::Missing;
    RegFile file;
    bool linesSkipped = false;  // some lines did not read and were passed over
    std::string reason;         // why the file is unreadable or unparsable
    struct stat info {};        // of the file read (outcome Ok)
};

std::string Reason(int code) { return std::generic_category().message(code); }

// Why the latest write of this thread that failed did so, until taken.
thread_local std::string tWriteFailure;

bool Refuse(const std::string& reason)
{
    if (tWriteFailure.empty())
        tWriteFailure = reason.empty() ? Reason(EIO) : reason;
    return false;
}

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
        result.reason = Reason(errno);
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result.reason = S_ISDIR(info.st_mode) ? Reason(EISDIR) : "not a regular file";
        ::close(fd);
        result.outcome = ReadOutcome::Unreadable;
        return result;
    }
    std::string text;
    text.reserve(static_cast<size_t>(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            result.reason = Reason(errno);
            ::close(fd);
            result.outcome = ReadOutcome::Unreadable;
            return result;
        }
        if (got == 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    std::vector<std::string> skipped;
    auto parsed = RegFile::Parse(text, &result.reason, &skipped);
    if (!parsed) {
        result.outcome = ReadOutcome::Unparsable;
        return result;
    }
    result.file = std::move(*parsed);
    result.linesSkipped = !skipped.empty();
    result.info = info;
    result.outcome = ReadOutcome::Ok;
    return result;
}

// The parsed file of the latest read, kept while the file at that path is
// the same: same device, inode and size, and the same modification and
// change times to the nanosecond. File times move in steps of the kernel's
// clock tick (and of a second or two on some file systems), so a file
// changed within such a step of its previous change can carry the same
// times: a file whose times are younger than kSettledTime when it is read is
// never taken from here, only read again.
constexpr int64_t kSettledTimeNs = 2'000'000'000;
std::atomic<int64_t> gSettledTimeNs{kSettledTimeNs};
std::atomic<uint64_t> gParses{0};

struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const Stamp&) const = default;
};

int64_t Nanoseconds(const struct timespec& t) { return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

Stamp StampOf(const struct stat& info)
{
    return {info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

bool Settled(const Stamp& stamp)
{
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t newest = std::max(stamp.modifiedNs, stamp.changedNs);
    return Nanoseconds(now) - newest >= gSettledTimeNs.load();
}

struct ReadCache {
    std::mutex mutex;
    std::string path;
    Stamp stamp;
    std::shared_ptr<const RegFile> file;
};

ReadCache& TheReadCache()
{
    static auto* cache = new ReadCache;  // never destroyed: workers read settings to the end
    return *cache;
}

// The file's contents for a reader: from the cache while the file is
// unchanged, else read and parsed (and kept when it has settled). Nothing
// when the file is missing, unreadable or unparsable; *present tells missing
// apart from the others.
std::shared_ptr<const RegFile> ReadSettled(const std::string& path, bool* present)
{
    *present = true;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        *present = errno != ENOENT;
        return nullptr;
    }
    if (!S_ISREG(info.st_mode))
        return nullptr;
    ReadCache& cache = TheReadCache();
    {
        std::lock_guard lock(cache.mutex);
        if (cache.file && cache.path == path && cache.stamp == StampOf(info))
            return cache.file;
    }
    Loaded loaded = Load(path);
    ++gParses;
    if (loaded.outcome == ReadOutcome::Missing)
        *present = false;
    if (loaded.outcome != ReadOutcome::Ok)
        return nullptr;
    auto file = std::make_shared<const RegFile>(std::move(loaded.file));
    const Stamp stamp = StampOf(loaded.info);
    if (Settled(stamp)) {
        std::lock_guard lock(cache.mutex);
        cache.path = path;
        cache.stamp = stamp;
        cache.file = file;
    }
    return file;
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
// and, where this process may set them, its owner and group. A new file is
// the user's alone (0600): it may come to hold the web server's password
// hash.
bool ReplaceFile(const std::string& path, const std::string& text, const struct stat* old)
{
    const std::string dir = DirectoryOf(path);
    std::string temp = dir + "/.settings.reg.XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return Refuse(Reason(errno));
    bool ok = ::fchmod(fd, old ? old->st_mode & 07777 : 0600) == 0;
    if (old && (old->st_uid != ::geteuid() || old->st_gid != ::getegid()))
        (void)!::fchown(fd, old->st_uid, old->st_gid);
    ok = ok && WriteAll(fd, text) && gSync.load()(fd) == 0;
    const int code = errno;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int renameCode = ok ? errno : code;
        ::unlink(temp.c_str());
        return Refuse(Reason(renameCode));
    }
    SyncFolder(dir);
    return true;
}

// Keeps the user's text under a name that says what was wrong with it
// (".unparsable-" or ".unreadable-lines-" and the time), before a write
// replaces it. A file that does not parse is moved there; one of which some
// lines did not read gets that second name as well, so that readers see it
// until the new file takes its place. A file that has a second name already
// is kept aside as it is, so a file is kept aside once however often a
// write is tried.
bool PutAside(const std::string& path, const char* what, bool keepInPlace, const struct stat& info)
{
    if (keepInPlace && info.st_nlink > 1)
        return true;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + "." + what + "-" + stamp;
    std::string aside = base;
    for (int n = 1; ::access(aside.c_str(), F_OK) == 0; ++n)
        aside = base + "-" + std::to_string(n);
    if (keepInPlace && ::link(path.c_str(), aside.c_str()) == 0)
        return true;
    if (::rename(path.c_str(), aside.c_str()) == 0)
        return true;
    return Refuse(Reason(errno));
}

// Runs change on the file's contents under the write lock and writes the
// result back when change returns true. Does nothing when the file cannot be
// read, locked or written, or is read-only; false then.
template <typename Change>
bool Modify(Change change)
{
    const std::optional<std::string> followed = FollowLinks(SettingsFilePath());
    if (!followed)
        return Refuse(Reason(ELOOP));
    const std::string& path = *followed;
    std::lock_guard threads(gWriteMutex);
    MakeDirectories(DirectoryOf(path));
    const std::string lockPath = path + ".lock";
    const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0)
        return Refuse(Reason(errno));
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int code = errno;
            ::close(lockFd);
            return Refuse(Reason(code));
        }
    }
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    Loaded loaded = Load(path);
    bool proceed = true;
    if (loaded.outcome == ReadOutcome::Unreadable)
        proceed = Refuse(loaded.reason);
    else if (exists && ReadOnly(path, info))
        proceed = Refuse(kReadOnlyReason);
    else if (loaded.outcome == ReadOutcome::Unparsable)
        proceed = PutAside(path, "unparsable", false, info);
    else if (loaded.outcome == ReadOutcome::Ok && loaded.linesSkipped)
        proceed = PutAside(path, "unreadable-lines", true, info);
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
    bool present = false;
    const std::shared_ptr<const RegFile> settings = ReadSettled(SettingsFilePath(), &present);
    if (!settings && present)
        return std::nullopt;  // unreadable or unparsable: the defaults, and no key is made
    const Key* key = settings ? settings->FindKey(kSettingsKey) : nullptr;
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

uint64_t SettingsFileReads() { return gParses.load(); }

void SetSettledTime(std::chrono::nanoseconds settled)
{
    gSettledTimeNs = settled.count() < 0 ? kSettledTimeNs : static_cast<int64_t>(settled.count());
}

std::string TakeWriteFailure()
{
    std::string failure;
    failure.swap(tWriteFailure);
    return failure;
}

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

std::optional<std::string> SettingsFileProblem()
{
    const std::string path = SettingsFilePath();
    const std::optional<std::string> followed = FollowLinks(path);
    if (!followed) {
        // The name itself cannot be looked at, or its links go round.
        struct stat link {};
        return path + ": " + Reason(::lstat(path.c_str(), &link) != 0 && errno != ENOENT ? errno : ELOOP);
    }
    const Loaded loaded = Load(*followed);
    switch (loaded.outcome) {
    case ReadOutcome::Ok:
    case ReadOutcome::Missing: return std::nullopt;
    case ReadOutcome::Unreadable:
    case ReadOutcome::Unparsable: return path + ": " + loaded.reason;
    }
    return std::nullopt;
}

bool DeleteSettingsKey()
{
    return Modify([](RegFile& file) { return file.DeleteKey(kSettingsKey); });
}

bool ReadShowSplash() { return AsInt(QueryValue("ShowSplash", false)).value_or(1) != 0; }

}  // namespace orv::reg
