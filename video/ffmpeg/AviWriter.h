#pragma once
// An AVI file being recorded, over libavformat's AVI muxer, shared with the
// compressor that writes its one video stream. Not for use outside the
// module.

#include "video/FfmpegModule.h"
#include "Ffmpeg.h"

#include <cstdint>
#include <memory>

namespace orv::video {

// What writes the stream's packets (the compressor). A delayed encoder may
// still hold frames when the file is completed: the file asks its source to
// write them before the index goes in, whichever of the two is destroyed
// first, so no frame is lost.
class StreamSource {
public:
    // Writes what the encoder still holds and forgets the file.
    virtual void FinishStream() = 0;

protected:
    ~StreamSource() = default;
};

// The 'strh' values that the file must hold whatever the muxer reduces.
struct StreamHeaderValues {
    uint32_t scale = 10000;
    uint32_t rate = 0;
    uint32_t quality = 10000;
};

struct AviFileWriter final : module::AviWriter {
    // Creates or replaces the file, as an AVI without a stream. nullptr,
    // with the system's reason in *error, when it cannot be created.
    static std::unique_ptr<AviFileWriter> Open(const QString& path, QString* error);

    QString path;
    int fd = -1;

    AVFormatContext* muxer = nullptr;
    AVStream* stream = nullptr;
    AVRational frameDuration{1, 1};  // one sample, in seconds
    StreamSource* source = nullptr;

    int64_t samplesWritten = 0;
    int64_t lastSampleEnd = 0;  // file offset just after the last whole sample
    uint32_t lastSyncTick = 0;
    int writeErrno = 0;   // errno of the first failing write or sync
    bool failed = false;  // a write failed: the file keeps its whole samples, takes no more
    QString failure;

    // Completes the file.
    ~AviFileWriter() override;

    // Creates the video stream for an opened encoder, writes the header and
    // corrects its 'strh'. On failure the file is an AVI without a stream
    // again; `failed` tells whether the file (not the encoder) was at fault.
    bool AddVideoStream(const AVCodecContext& encoder, const StreamHeaderValues& header, StreamSource* writer,
                        QString* error);
    // Appends one encoded frame as the next sample, with its key-frame flag,
    // and pushes it to the file. False (with the reason) once a write failed.
    bool WriteSample(AVPacket& packet, QString* error);
    // The FourCC that the stream header holds (after AddVideoStream).
    uint32_t WrittenTag() const;
    // Completes the file: the source's last frames, the index and lengths,
    // a sync, the descriptor closed.
    void Complete();

    // Writes the smallest valid AVI: no stream, an empty 'movi' list.
    bool WriteEmptyAvi();
    bool SyncNow();
    void MaybeSync();
    void Fail(int error, const QString& what);
    void FreeMuxer();
};

}  // namespace orv::video
