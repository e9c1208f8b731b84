#pragma once
// The settings key HKEY_LOCAL_MACHINE\SOFTWARE\TARVIN\Orvello, kept in a
// per-user REGEDIT4 file. Every read looks at the file: its parsed text is
// kept only while the file is unchanged (same inode, size and times to the
// nanosecond, and those times older than a file system's time step), so a
// read always sees the latest file, whichever thread or process wrote it.
// Writes replace the file atomically under a lock that serialises threads
// and processes; a file that does not parse, or of which some lines do not
// read, is kept aside once under a second name before it is first replaced.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::reg {

inline constexpr std::string_view kSettingsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello";

// $ORVELLO_SETTINGS_FILE, else $XDG_CONFIG_HOME/orvello/settings.reg, else
// ~/.config/orvello/settings.reg. Looked up at every call.
std::string SettingsFilePath();

// The raw bytes of a value of the settings key. With createKey, a missing key
// is created (empty), as opening the key for full access does.
struct RawValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};
std::optional<RawValue> QueryValue(std::string_view name, bool createKey);
// Stores a value; does nothing when the file cannot be read or written (a
// name that is not a regular file, a failing flush): false then.
bool StoreValue(std::string_view name, uint32_t type, std::vector<uint8_t> data);
// How often a reader of this process has read and parsed the settings file
// (a read that found it unchanged does not count).
uint64_t SettingsFileReads();
// How old a file's times must be before its parsed text is kept for later
// reads: 2 seconds, beyond the time step of any file system in use; a test
// may shorten it, a negative time puts the 2 seconds back.
void SetSettledTime(std::chrono::nanoseconds settled);

// Why the first write of the calling thread that failed since the previous
// call did so ("the file is read-only", "Is a directory", "No space left on
// device", ...); empty when every write reached the file. Clears it.
std::string TakeWriteFailure();
// The call that flushes the new file's data to the disk, fsync unless
// replaced (by a test that needs a flush to fail); nullptr puts fsync back.
void SetSettingsFileSync(int (*sync)(int fd));

int32_t ReadRegInt(std::string_view name, int32_t defaultValue);
void WriteRegInt(std::string_view name, int32_t value);
bool ReadRegBool(std::string_view name, bool defaultValue);
void WriteRegBool(std::string_view name, bool value);
// Texts are the stored bytes up to the first zero byte (all of them when
// there is none). Any length is kept.
std::string ReadRegString(std::string_view name, std::string_view defaultValue);
void WriteRegString(std::string_view name, std::string_view value);
double ReadRegFloat(std::string_view name, double defaultValue);
void WriteRegFloat(std::string_view name, double value);

// Why the settings file cannot be used, with its name ("/x/settings.reg:
// Is a directory"): a folder, a pipe or a device at its name, links that go
// round in a loop, a file that cannot be read or is not a registry export.
// Every setting then has its default and none is kept. Nothing when the file
// is usable or does not exist yet.
std::optional<std::string> SettingsFileProblem();

// Removes the settings key and its values; the vendor key above it stays.
// False when the file could not be written (TakeWriteFailure says why);
// true also when there was no key to remove.
bool DeleteSettingsKey();
// Start-up's read of ShowSplash: opens the key without creating it.
bool ReadShowSplash();

}  // namespace orv::reg
