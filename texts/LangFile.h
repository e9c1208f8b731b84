#pragma once
// The reader of language files: a small INI reader with the lookup rules of
// the language texts. Section and key names match without regard to case; an
// entry's text is what follows "=", without leading and trailing blanks, cut
// to 2047 characters. Files may be UTF-8 or Windows-1251.

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace orv::lang {

// A language file is a few kilobytes; anything bigger than this is not one,
// and is not read (its texts fall back to the built-in ones).
inline constexpr int64_t kMaxFileBytes = 1024 * 1024;
// Longest entry text returned, in characters: room for any caption or
// message, and a bound on what a damaged file can put into the window.
inline constexpr int kMaxEntryLength = 2047;

// Bytes that are valid UTF-8 are read as UTF-8 (a leading byte-order mark is
// dropped); any other bytes as Windows-1251.
QString DecodeLanguageBytes(const QByteArray& bytes);

// The text of key in section of INI text, or nothing when the section or
// the key is missing. The first matching entry wins. Lines starting with ";"
// or "#" are comments; lines without "=" are ignored; a text enclosed in a
// matching pair of quotes loses them.
std::optional<QString> FindIniEntry(QStringView text, QStringView section, QStringView key);

// Reads the file at path (regular files of at most kMaxFileBytes only;
// never blocks on a pipe or device) and looks the entry up. Nothing when the
// file can't be read or has no such entry.
std::optional<QString> ReadIniEntry(const QString& path, QStringView section, QStringView key);

// The decoded text of the file at path, read as ReadIniEntry reads it, for
// several lookups with FindIniEntry; nothing when it can't be read.
std::optional<QString> ReadIniText(const QString& path);

// How often the language folder has been listed by this process (tests
// check that the built-in language never touches the folder).
uint64_t FolderListingCount();
void CountFolderListing();

}  // namespace orv::lang
