#pragma once
// The settings file: a registry export in the REGEDIT4 text format, as regedit
// writes and imports it. Keys in file order, each with its values; every
// value keeps its registry type and its exact bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::reg {

enum ValueType : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
};

struct Value {
    std::string name;  // empty for the key's default value ("@")
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

struct Key {
    std::string path;  // e.g. HKEY_LOCAL_MACHINE\SOFTWARE\TARVIN\Orvello
    std::vector<Value> values;
};

class RegFile {
public:
    // Parses the text of a file. Returns nothing, with a reason in *error,
    // when the text is not a registry export at all (no REGEDIT4 header). A
    // line after the header that does not read is passed over alone, noted
    // in *skipped ("line 7: bad value data"); so are the values below a key
    // line that does not read.
    static std::optional<RegFile> Parse(std::string_view text, std::string* error = nullptr,
                                        std::vector<std::string>* skipped = nullptr);
    std::string Serialize() const;

    // Key and value names compare without regard to ASCII case, as in the registry.
    const Key* FindKey(std::string_view path) const;
    Key* FindKey(std::string_view path);
    // Creates the key (and the keys above it, up to the hive) if missing.
    Key& CreateKey(std::string_view path);
    // Removes the key and every key below it. Returns whether anything went.
    bool DeleteKey(std::string_view path);

    static const Value* FindValue(const Key& key, std::string_view name);
    static void SetValue(Key& key, std::string_view name, uint32_t type, std::vector<uint8_t> data);

    const std::vector<Key>& Keys() const { return keys_; }

private:
    std::vector<Key> keys_;
};

bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace orv::reg
