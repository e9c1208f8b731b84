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
    // Completes the file: the index and the headers' lengths when a stream
    // exists, a valid AVI without a stream when none was made.
    ~AviFile();
    AviFile(const AviFile&) = delete;
    AviFile& operator=(const AviFile&) = delete;

    QString Path() const;

    struct Impl;
    Impl& Internals() { return *impl_; }

private:
    explicit AviFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace orv::video
