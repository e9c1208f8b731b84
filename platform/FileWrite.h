#pragma once
// Writing a file so that it appears complete or not at all.

#include <QByteArray>
#include <QString>

namespace orv {

// Writes bytes to a new temporary file beside path, flushes it to the disk
// and renames it over path (an existing file of that name is replaced; its
// permissions are kept). On any failure nothing is left behind, path is as it
// was, and *error (when given) receives the system's reason.
bool WriteFileReplacing(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// The call that flushes a file's data to the disk, fsync unless replaced (by
// a test that needs a flush to fail); nullptr puts fsync back.
using FileSync = int (*)(int fd);
void SetFileSync(FileSync sync);

}  // namespace orv
