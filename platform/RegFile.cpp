#include "RegFile.h"

#include <algorithm>
#include <cstdio>

namespace orv::reg {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads a quoted string starting at s[*pos] == '"'; regedit escapes only the
// backslash and the double quote.
bool ReadQuoted(std::string_view s, size_t* pos, std::string* out)
{
    if (*pos >= s.size() || s[*pos] != '"')
        return false;
    ++*pos;
    out->clear();
    while (*pos < s.size()) {
        char c = s[(*pos)++];
        if (c == '"')
            return true;
        if (c == '\\') {
            if (*pos >= s.size())
                return false;
            char next = s[(*pos)++];
            if (next != '\\' && next != '"')
                return false;
            c = next;
        }
        out->push_back(c);
    }
    return false;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out)
{
    out->clear();
    s = Trim(s);
    if (s.empty())
        return true;
    size_t pos = 0;
    for (;;) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
            ++pos;
        if (pos + 2 > s.size())
            return false;
        const int hi = HexDigit(s[pos]), lo = HexDigit(s[pos + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<uint8_t>(hi * 16 + lo));
        pos += 2;
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
            ++pos;
        if (pos == s.size())
            return true;
        if (s[pos] != ',')
            return false;
        ++pos;
    }
}

bool ParseData(std::string_view s, Value* value, bool* remove)
{
    *remove = false;
    s = Trim(s);
    if (s == "-") {
        *remove = true;
        return true;
    }
    if (!s.empty() && s.front() == '"') {
        size_t pos = 0;
        std::string text;
        if (!ReadQuoted(s, &pos, &text) || !Trim(s.substr(pos)).empty())
            return false;
        value->type = kRegSz;
        value->data.assign(text.begin(), text.end());
        value->data.push_back(0);
        return true;
    }
    const auto lower = [&](size_t n) {
        std::string head(s.substr(0, std::min(n, s.size())));
        std::transform(head.begin(), head.end(), head.begin(), LowerAscii);
        return head;
    };
    if (lower(6) == "dword:") {
        std::string_view digits = Trim(s.substr(6));
        if (digits.empty() || digits.size() > 8)
            return false;
        uint32_t number = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0)
                return false;
            number = number * 16 + static_cast<uint32_t>(d);
        }
        value->type = kRegDword;
        value->data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                       static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
        return true;
    }
    if (lower(4) == "hex:") {
        value->type = kRegBinary;
        return ParseHexBytes(s.substr(4), &value->data);
    }
    if (lower(4) == "hex(") {
        const size_t close = s.find(')');
        if (close == std::string_view::npos || close == 4 || close > 12 || close + 1 >= s.size() ||
            s[close + 1] != ':')
            return false;
        uint32_t type = 0;
        for (char c : s.substr(4, close - 4)) {
            const int d = HexDigit(c);
            if (d < 0)
                return false;
            type = type * 16 + static_cast<uint32_t>(d);
        }
        value->type = type;
        return ParseHexBytes(s.substr(close + 2), &value->data);
    }
    return false;
}

// A key path is a hive name beginning "HKEY_" and key names below it, each
// after one backslash. No key name is empty: a doubled or trailing backslash
// names no key, and the keys above such a path could not be written back.
bool IsKeyPath(std::string_view path)
{
    return path.substr(0, 5) == "HKEY_" && path.back() != '\\' && path.find("\\\\") == std::string_view::npos;
}

bool IsUnder(std::string_view path, std::string_view parent)
{
    return path.size() > parent.size() && path[parent.size()] == '\\' &&
           EqualsNoCase(path.substr(0, parent.size()), parent);
}

// A text can be written in the plain quoted form when it is one run of
// printable bytes followed by exactly one terminating zero.
bool PlainText(const Value& v)
{
    if (v.type != kRegSz || v.data.empty() || v.data.back() != 0)
        return false;
    return std::none_of(v.data.begin(), v.data.end() - 1, [](uint8_t b) { return b < 0x20 || b == 0x7f; });
}

std::string Quote(std::string_view s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

void AppendHex(std::string* line, const std::vector<uint8_t>& data)
{
    // regedit folds long hex lists at about 80 columns with a backslash.
    size_t column = line->size();
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        line->append(byte);
        column += 2;
        if (i + 1 < data.size()) {
            line->push_back(',');
            ++column;
            if (column >= 76) {
                line->append("\\\n  ");
                column = 2;
            }
        }
    }
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

std::optional<RegFile> RegFile::Parse(std::string_view text, std::string* error, std::vector<std::string>* skipped)
{
    const auto fail = [&](std::string why, size_t lineNumber) -> std::optional<RegFile> {
        if (error)
            *error = "line " + std::to_string(lineNumber) + ": " + why;
        return std::nullopt;
    };
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    RegFile file;
    Key* current = nullptr;
    bool sawHeader = false;
    size_t lineNumber = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        // Gather one logical line, joining continuations that end in a backslash.
        std::string line;
        const size_t firstLine = lineNumber + 1;
        for (;;) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view part = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNumber;
            if (!part.empty() && part.back() == '\r')
                part.remove_suffix(1);
            if (!line.empty())
                part = Trim(part);
            // A continuation backslash only follows a comma in a hex list.
            if (part.size() >= 2 && part.back() == '\\' && part[part.size() - 2] == ',') {
                line.append(part.substr(0, part.size() - 1));
                if (pos >= text.size())
                    break;
                continue;
            }
            line.append(part);
            break;
        }
        const std::string_view trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == ';')
            continue;
        if (!sawHeader) {
            if (trimmed != "REGEDIT4" && trimmed != "Windows Registry Editor Version 5.00")
                return fail("not a registry export (no REGEDIT4 header)", firstLine);
            sawHeader = true;
            continue;
        }
        // A line that does not read is passed over alone; what comes after it
        // still counts.
        const auto skip = [&](const char* why) {
            if (skipped)
                skipped->push_back("line " + std::to_string(firstLine) + ": " + why);
        };
        if (trimmed.find('\0') != std::string_view::npos) {
            skip("NUL bytes");
            continue;
        }
        if (trimmed.front() == '[') {
            // The values below a key line that does not read belong to no
            // key this file names: they are passed over with it.
            current = nullptr;
            if (trimmed.back() != ']' || trimmed.size() < 3) {
                skip("bad key line");
                continue;
            }
            std::string_view path = trimmed.substr(1, trimmed.size() - 2);
            if (path.front() == '-') {
                file.DeleteKey(path.substr(1));
                continue;
            }
            if (!IsKeyPath(path)) {
                skip("bad key name");
                continue;
            }
            current = &file.CreateKey(path);
            continue;
        }
        if (!current) {
            skip("a value outside any key");
            continue;
        }
        Value value;
        size_t at = 0;
        if (trimmed.front() == '@') {
            at = 1;
        } else if (!ReadQuoted(trimmed, &at, &value.name)) {
            skip("bad value name");
            continue;
        }
        while (at < trimmed.size() && (trimmed[at] == ' ' || trimmed[at] == '\t'))
            ++at;
        if (at >= trimmed.size() || trimmed[at] != '=') {
            skip("no '=' after the value name");
            continue;
        }
        bool remove = false;
        if (!ParseData(trimmed.substr(at + 1), &value, &remove)) {
            skip("bad value data");
            continue;
        }
        if (remove) {
            auto& values = current->values;
            values.erase(std::remove_if(values.begin(), values.end(),
                                        [&](const Value& v) { return EqualsNoCase(v.name, value.name); }),
                         values.end());
        } else {
            SetValue(*current, value.name, value.type, std::move(value.data));
        }
    }
    if (!sawHeader)
        return fail("empty file", 1);
    return file;
}

std::string RegFile::Serialize() const
{
    std::string out = "REGEDIT4\n\n";
    for (const Key& key : keys_) {
        out += "[" + key.path + "]\n";
        for (const Value& v : key.values) {
            std::string line = v.name.empty() ? std::string("@") : Quote(v.name);
            line += "=";
            if (PlainText(v)) {
                line += Quote(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
            } else if (v.type == kRegDword && v.data.size() == 4) {
                char digits[16];
                const uint32_t n = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                                   uint32_t(v.data[3]) << 24;
                std::snprintf(digits, sizeof digits, "dword:%08x", n);
                line += digits;
            } else {
                if (v.type == kRegBinary) {
                    line += "hex:";
                } else {
                    char head[24];
                    std::snprintf(head, sizeof head, "hex(%x):", v.type);
                    line += head;
                }
                AppendHex(&line, v.data);
            }
            out += line + "\n";
        }
        out += "\n";
    }
    return out;
}

const Key* RegFile::FindKey(std::string_view path) const
{
    for (const Key& key : keys_)
        if (EqualsNoCase(key.path, path))
            return &key;
    return nullptr;
}

Key* RegFile::FindKey(std::string_view path)
{
    return const_cast<Key*>(static_cast<const RegFile*>(this)->FindKey(path));
}

Key& RegFile::CreateKey(std::string_view path)
{
    if (Key* existing = FindKey(path))
        return *existing;
    // Keys above it, except the hive itself, exist too (as regedit does on import).
    const size_t hiveEnd = path.find('\\');
    for (size_t sep = path.find('\\', hiveEnd == std::string_view::npos ? path.size() : hiveEnd + 1);
         sep != std::string_view::npos; sep = path.find('\\', sep + 1)) {
        if (!FindKey(path.substr(0, sep)))
            keys_.push_back(Key{std::string(path.substr(0, sep)), {}});
    }
    keys_.push_back(Key{std::string(path), {}});
    return keys_.back();
}

bool RegFile::DeleteKey(std::string_view path)
{
    const auto before = keys_.size();
    keys_.erase(std::remove_if(keys_.begin(), keys_.end(),
                               [&](const Key& k) { return EqualsNoCase(k.path, path) || IsUnder(k.path, path); }),
                keys_.end());
    return keys_.size() != before;
}

const Value* RegFile::FindValue(const Key& key, std::string_view name)
{
    for (const Value& v : key.values)
        if (EqualsNoCase(v.name, name))
            return &v;
    return nullptr;
}

void RegFile::SetValue(Key& key, std::string_view name, uint32_t type, std::vector<uint8_t> data)
{
    for (Value& v : key.values) {
        if (EqualsNoCase(v.name, name)) {
            v.type = type;
            v.data = std::move(data);
            return;
        }
    }
    key.values.push_back(Value{std::string(name), type, std::move(data)});
}

}  // namespace orv::reg
