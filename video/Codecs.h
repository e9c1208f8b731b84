#pragma once
// The catalogue of video encoders that can record into an AVI file, and the
// compressor that drives one of them for one recording.
//
// TCodecs lists FFmpeg's libavcodec encoders that the AVI muxer takes and
// that can be fed RGB frames (through libswscale), most useful first, in an
// order that stays the same from run to run. Each entry holds the
// configuration that every recording of this run uses; Configure edits it.
// TCompressor drives one entry for one recording: the first frame creates
// the video stream in the AVI file, every frame is compressed and appended.

#include <QImage>
#include <QString>

#include <memory>

class QWidget;

namespace orv::video {

class AviFile;
// One encoder of the catalogue with the configuration of this run. Opaque
// outside Codecs.cpp; the catalogue owns it.
struct CodecEntry;

class TCodecs {
public:
    static constexpr int kCapacity = 100;

    // Lists the encoders (main thread, when the main window is made).
    TCodecs();
    ~TCodecs();
    TCodecs(const TCodecs&) = delete;
    TCodecs& operator=(const TCodecs&) = delete;

    int Count() const;
    // The entry's description (the encoder's long name).
    QString GetName(int index) const;
    // The encoder's configuration dialog, editing the entry that this run's
    // recordings use, and its about box; modal to parent. The shell draws
    // both (shell/CodecDialogs.cpp). Index 0 .. Count() - 1.
    void Configure(QWidget* parent, int index);
    void About(QWidget* parent, int index);

    // The entry at index, or nullptr outside 0 .. Count() - 1. Owned by the
    // catalogue, which outlives every recording.
    CodecEntry* Handle(int index) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class TCompressor {
public:
    // Borrows the catalogue's entry (it may be nullptr: nothing then starts).
    explicit TCompressor(CodecEntry* handle);
    // Ends the encoding sequence and releases the stream; the entry stays.
    ~TCompressor();
    TCompressor(const TCompressor&) = delete;
    TCompressor& operator=(const TCompressor&) = delete;

    // The first successful call creates the video stream in file with the
    // frame's size and framesPerSecond (scale 10000, rate fps × 10000
    // truncated) and begins compression; later calls return true at once and
    // ignore their arguments. False when the encoder or the file refuses.
    bool StartStream(AviFile& file, const QImage& frame, double framesPerSecond);
    // Compresses the frame and appends it to the stream (nothing is written
    // for a frame the encoder yields no data for). A frame of another size is
    // scaled to the first frame's. False when writing the file failed (a
    // full disk, an I/O error): the frames before it stay readable.
    bool CompressFrame(const QImage& frame);
    // Why the last call failed, for the log.
    QString LastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orv::video
