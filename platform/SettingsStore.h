#pragma once
// The settings key HKEY_LOCAL_MACHINE\SOFTWARE\TARVIN\Orvello, kept in a
// per-user REGEDIT4 file. Every operation opens, reads and closes the file;
// nothing is kept in memory between calls. Writes replace the file atomically
// under a lock that serialises threads and processes.

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

// Removes the settings key and its values; the vendor key above it stays.
void DeleteSettingsKey();
// Start-up's read of ShowSplash: opens the key without creating it.
bool ReadShowSplash();

}  // namespace orv::reg
