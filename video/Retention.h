#pragma once
// The recordings a long run leaves in its folder: the names the recorder
// gives them (dated "dd-mm-yy_hhnn.avi", numbered "name-0001.avi", each with
// a possible "-2" suffix), the next numbered name, the record of the files
// the recorder completed there, and the removal of the oldest of them when
// the folder holds more than it may keep.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace orv::video {

// Whether fileName (without its folder) is one the recorder makes: a dated
// name, or, with a stem, stem-N.avi (stem-N-M.avi). The stem is the fixed
// file's name without ".avi"; empty, only dated names count.
bool IsRecordingName(const QString& fileName, const QString& stem);

// The fixed file's name without its folder and without ".avi".
QString RecordingStem(const QString& fixedName);

// stem-NNNN.avi beside fixedName, numbered one past the highest number
// already in its folder (0001 in a folder without one); four digits at
// least, more beyond 9999.
QString NextNumberedAviName(const QString& fixedName);

// The record, in the folder of the recordings, of those the recorder
// completed there: one line each with the file's size, its modification time
// in nanoseconds and its name. A file of a recording's name is the
// program's own only while it matches its line; one that another program
// wrote, or changed, or put in the place of a recording, does not.
inline constexpr char kRecordFileName[] = ".orvello-recordings";

// Enters the completed recording at path (a regular file) in its folder's
// record. False, logged, when it cannot be: the file then stays, whatever
// the size the folder keeps.
bool NoteRecording(const QString& path);

// Removes a file; false with the system's reason.
using FileRemover = std::function<bool(const QString& path, QString* reason)>;

// Removes the oldest of the recorder's own recordings in folder (regular
// files named by IsRecordingName that match their line in the folder's
// record; by modification time, then by the order their names give) until
// they, writing included, take at most keepBytes. writing, the file being
// recorded into, is never removed, nor anything else in the folder: not a
// file the record does not name or that does not match its line (another
// program's, or one of a run that kept no record), and such files do not
// count against keepBytes. A removal that fails is logged and the next
// oldest is tried. The record keeps the lines of the files still there.
// Returns the paths removed.
QStringList KeepRecordingsWithin(const QString& folder, const QString& stem, uint64_t keepBytes,
                                 const QString& writing, const FileRemover& remove = {});

}  // namespace orv::video
