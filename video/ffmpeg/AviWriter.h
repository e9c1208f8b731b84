#pragma once
// An AVI file being recorded, over libavformat's AVI muxer, shared with the
// compressor that writes its one video stream. Not for use outside the
// module.

#include "video/FfmpegModule.h"
#include "Ffmpeg.h"

#include <cstdint>
#include <memory>
#include <vector>

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
    // Creates the file, as an AVI without a stream; exclusive: only when no
    // file (or link) of that name exists, otherwise one is replaced. nullptr,
    // with the system's reason in *error, when it cannot be created.
    static std::unique_ptr<AviFileWriter> Open(const QString& path, bool exclusive, QString* error);

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
    // A write failed half done: the muxer's own record of the file no longer
    // matches it, so the muxer cannot complete it.
    bool broken = false;
    // The next frame found no room: it was never handed to the muxer, and
    // the room kept back completes the file.
    bool outOfRoom = false;
    // The file system cannot keep room ahead of the file (no fallocate).
    bool roomUnsupported = false;
    int64_t roomEnd = 0;  // the end of the room allocated ahead of the file
    QString failure;

    int64_t mainHeader = -1;  // file offset of the 'avih' data
    int64_t streamHeader = -1;  // file offset of the 'strh' data
    int64_t moviList = -1;    // file offset of the 'movi' list's type
    // Each whole sample, for an index written without the muxer: its offset
    // from moviList, its size and whether it is a key frame.
    struct Sample {
        uint32_t offset;
        uint32_t size;
        bool key;
    };
    std::vector<Sample> samples;
    int64_t largestSample = 0;  // bytes of the largest sample with its chunk header
    uint32_t streamScale = 0;
    uint32_t streamRate = 0;

    // Completes the file.
    ~AviFileWriter() override;

    bool OutOfRoom() const override { return outOfRoom; }

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
    // Makes sure that bytes more can be written after offset end with the
    // room to complete the file still behind them: under the file size
    // limit, and allocated on the disk. False, with errno set, when there
    // is not.
    bool KeepRoom(int64_t end, int64_t bytes);
    // Refuses the next frame for want of room (errno from KeepRoom).
    void RunOutOfRoom(int error);
    // The main header's data rate: the largest sample at the stream's rate.
    void WriteDataRate();
    // Completes a file whose muxer lost track of it (a write failed half
    // done): the index of the whole samples, the lists' sizes and the
    // counts, written here. Within the first gigabyte only (no OpenDML).
    void CompleteWithoutMuxer();
    void MaybeSync();
    void Fail(int error, const QString& what);
    void FreeMuxer();
};

}  // namespace orv::video
