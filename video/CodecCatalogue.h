#pragma once
// The catalogue of video encoders that can record into an AVI file, and the
// compressor that drives one of them for one recording.
//
// CodecCatalogue lists FFmpeg's libavcodec encoders that the AVI muxer takes and
// that can be fed RGB frames (through libswscale), most useful first, in an
// order that stays the same from run to run. Each entry holds the
// configuration that every recording of this run uses; Configure edits it.
// FrameEncoder drives one entry for one recording: the first frame creates
// the video stream in the AVI file, every frame is compressed and appended.

#include <QImage>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

class QWidget;

namespace orv::video {

class AviFile;

// One option of an entry's configuration, as its configuration dialog shows
// it: taken from the encoder's own option table (or the shared encoding
// options), with the value that this run's recordings use.
struct CodecOption {
    enum class Kind {
        Integer,  // a number between minimum and maximum
        Real,     // a fractional number between minimum and maximum
        Boolean,  // 0 or 1; -1 too ("let the encoder choose") when allowsAuto
        Flags,    // a bit set: named holds the bits, value their sum
        Choice,   // one of named
        Text,     // free text; named, when not empty, suggests values
    };
    struct Named {
        QString name;
        QString help;
        QString value;  // as the option takes it
    };
    QString name;  // the option's own name ("g", "preset", "pixel_format")
    QString help;
    Kind kind = Kind::Text;
    bool common = false;  // a shared encoding option, not the encoder's own
    double minimum = 0;
    double maximum = 0;
    bool allowsAuto = false;
    std::vector<Named> named;
    QString value;  // the current value; Integer, Boolean, Flags as decimal numbers
};

// What an entry's about box shows.
struct CodecInfo {
    QString name;      // "mjpeg"
    QString longName;  // "MJPEG (Motion JPEG)"
    QString fourcc;    // as written into the AVI file ("MJPG"; "0" for raw RGB)
    QStringList capabilities;
    QString libraries;  // "libavcodec 59.37.100, libavformat 59.27.100, ..."
    QString licence;
};

// One encoder of the catalogue with the configuration of this run. Opaque
// outside the video library; the catalogue owns it.
struct CodecEntry;

class CodecCatalogue {
public:
    static constexpr int kCapacity = 100;

    // Lists the encoders (main thread, when the main window is made).
    CodecCatalogue();
    ~CodecCatalogue();
    CodecCatalogue(const CodecCatalogue&) = delete;
    CodecCatalogue& operator=(const CodecCatalogue&) = delete;

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

    // The encoder's short name ("mjpeg"), and the position of one by that
    // name (-1 when it is not listed).
    QString EncoderName(int index) const;
    int IndexOf(const QString& encoderName) const;
    // The entry's configuration as data for the configuration dialog, and
    // its change: every value is checked against the encoder's option table
    // (type, limits, named values) and all of them are applied, or none.
    // An empty value gives the option back to the encoder's default. A
    // change the encoder does not open with (tried on a small picture) is
    // refused, and *error names the value. A recording reads the
    // configuration when its stream starts.
    std::vector<CodecOption> Options(int index) const;
    bool SetOptions(int index, const std::vector<std::pair<QString, QString>>& values, QString* error = nullptr);
    CodecInfo Info(int index) const;

    // One line of the list the options dialog shows.
    struct Listed {
        enum class Kind { Plain, Lossless, Uncompressed };
        int index = -1;  // the catalogue position, which "CodecIndex" stores
        QString name;    // "Motion JPEG", or the encoder's long name
        Kind kind = Kind::Plain;
    };
    // The catalogue as a newcomer chooses from it: the encoders that suit a
    // slow camera first, under plain names (Motion JPEG, H.264 (x264),
    // MPEG-4 Part 2, FFV1, Huffyuv, uncompressed), then the others by name.
    // An encoder of a format listed already under another name, and
    // encoders made for still pictures, are left out, except keep (the
    // stored choice), which is listed whatever it is. The positions
    // themselves stay those of the catalogue, so that a stored value names
    // the same encoder as before.
    std::vector<Listed> Listing(int keep = -1) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The configuration dialog's quality control (shell/CodecDialogs.cpp): the
// percentage (0 smallest file, 100 best picture) that a value of the
// encoder's quality option stands for, -1 for an encoder without one; and
// the option's value for a percentage.
int QualityPercent(const QString& encoder, double value);
double QualityValue(const QString& encoder, int percent);

class FrameEncoder {
public:
    // Borrows the catalogue's entry (it may be nullptr: nothing then starts).
    explicit FrameEncoder(CodecEntry* handle);
    // Ends the encoding sequence and releases the stream; the entry stays.
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;

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
    // True when the last failure was the file's (a full disk, an I/O error),
    // not the encoder's refusal of the frame.
    bool FileFailed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orv::video
