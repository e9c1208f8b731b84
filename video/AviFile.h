#pragma once
// An AVI file being recorded, over libavformat's AVI muxer: created (or
// replaced) when it is opened, holding at most one video stream, complete
// once it is destroyed. Every frame reaches the file as it is written, and
// the file is synced to disk every few seconds, so a recording that ends
// abnormally stays readable up to its last whole frame.

#include <QString>

#include <memory>

namespace orv::video {

class AviFile {
public:
    // Creates or replaces the file. nullptr, with the system's reason in
    // *error, when it cannot be created.
    static std::unique_ptr<AviFile> Open(const QString& path, QString* error = nullptr);
    // Records under a hidden temporary name (".NAME.xxxxxxxx.part") in
    // path's folder and leaves any file at path as it is until Publish. A
    // file never published is removed when it is destroyed. nullptr, with
    // the system's reason in *error, when the folder takes no new file.
    // replacing: the recording is to replace the file at path (Publish(true)):
    // a symbolic link there is followed, the recording is made beside the
    // file it names and takes that file's place, the link staying as it is;
    // a file there that is read-only (or no regular file) is refused now,
    // left as it is.
    // Temporary files of this form that earlier runs left in the folder (a
    // kill before the first frame or at a split) are removed first, when
    // this process holds the single-instance lock: only regular files of
    // the user's, that begin as an AVI and that no running recording holds
    // (each holds a lock on its own).
    static std::unique_ptr<AviFile> OpenBeside(const QString& path, QString* error = nullptr, bool replacing = false);
    // Completes the file: the index and the headers' lengths when a stream
    // exists, a valid AVI without a stream when none was made.
    ~AviFile();
    AviFile(const AviFile&) = delete;
    AviFile& operator=(const AviFile&) = delete;

    // Gives a file opened beside its name that name: replace, a file of that
    // name is replaced (through a link to the file it names; the new file
    // takes the old one's permissions; a read-only file is refused and kept);
    // otherwise the first free one of name.avi, name-2.avi, name-3.avi, ...
    // is taken, and nothing is ever replaced.
    // True at once for a file already published or opened by Open. False,
    // with the system's reason, when the file cannot be renamed.
    bool Publish(bool replace, QString* error = nullptr);
    bool Published() const;

    // Where the file is now: its temporary name until it is published.
    QString Path() const;
    // True once a frame was refused for want of room (a full disk, a file
    // size limit): the file holds the frames before it, completed.
    bool OutOfRoom() const;

    struct Impl;
    Impl& Internals() { return *impl_; }

private:
    explicit AviFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// name with "-number" before its ".avi" (or at its end without one).
QString NumberedAviName(const QString& name, int number);

}  // namespace orv::video
