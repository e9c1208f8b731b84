#pragma once
// Writing a file so that it appears complete or not at all.

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>

namespace orv {

// Writes bytes to a new temporary file beside path, flushes it to the disk
// and renames it over path (an existing file of that name is replaced; its
// permissions, and where this process may set them its owner and group, are
// kept; a new file gets the permissions the user's umask leaves of 0666). A
// symbolic link at path stays a link and its target gets the new contents. A
// file that nobody may write (the user made it read-only) is left as it is.
// On any failure nothing is left behind, path is as it was, and *error (when
// given) receives the reason.
bool WriteFileReplacing(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// The reason given for a file that is left alone because it is read-only.
inline constexpr const char* kReadOnlyReason = "the file is read-only";

// The file a path names once symbolic links are followed; a target that does
// not exist yet is where the file is to be made. Nothing when the links
// cannot be followed (a loop, an unreadable link).
std::optional<std::string> FollowLinks(std::string path);

// The call that flushes a file's data to the disk, fsync unless replaced (by
// a test that needs a flush to fail); nullptr puts fsync back.
using FileSync = int (*)(int fd);
void SetFileSync(FileSync sync);

}  // namespace orv
