#include "AviWriter.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv::video {
namespace {

// A killed program or a lost power supply keeps what was synced: at most
// this much of a recording is at risk.
constexpr uint32_t kSyncIntervalMs = 2000;
constexpr int kIoBufferSize = 64 * 1024;
// The header list, with the stream's OpenDML index room and the padding the
// muxer puts after it, fits well inside this.
constexpr size_t kHeaderReadLimit = 64 * 1024;

// strh field offsets (AVISTREAMHEADER).
constexpr size_t kStrhSize = 56;
constexpr size_t kStrhScale = 20;
constexpr size_t kStrhRate = 24;
constexpr size_t kStrhQuality = 40;
// avih field offsets (MainAVIHeader).
constexpr size_t kAvihSize = 56;
constexpr size_t kAvihMicroSecPerFrame = 0;
constexpr size_t kAvihMaxBytesPerSec = 4;

// Room kept on the disk ahead of the last sample from the start of the
// recording, so that a full disk still lets the file be completed: the
// index takes 16 bytes a sample (the OpenDML section index that the muxer
// writes every gigabyte takes less), and the rest of the trailer fits in
// the fixed part.
constexpr int64_t kCompletionRoom = 4096;
constexpr int64_t kIndexBytesPerSample = 16;
// The file system allocates room in whole blocks, beyond what was asked
// for: the room given back reaches this much further.
constexpr int64_t kRoomSlack = 1 << 20;
// What the muxer's header takes at most, its OpenDML index room included.
constexpr int64_t kHeaderRoom = 16 * 1024;
// A sample's chunk header and its padding byte.
constexpr int64_t kSampleOverhead = 8 + 1;
// The muxer starts an OpenDML section past this; the index written without
// the muxer covers the first section only.
constexpr int64_t kFirstSectionLimit = 1000 * 1000 * 1000;
constexpr uint32_t kIndexKeyFrame = 0x10;  // AVIIF_KEYFRAME
constexpr size_t kStrhLength = 32;
constexpr size_t kAvihTotalFrames = 16;

void PutLe32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = uint8_t(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t* at)
{
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

bool IsTag(const uint8_t* at, const char* tag)
{
    return std::memcmp(at, tag, 4) == 0;
}

bool WriteAllAt(int fd, const uint8_t* data, size_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size, offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        size -= size_t(written);
        offset += written;
    }
    return true;
}

// The data offset of the first video stream header ('strh' of type 'vids')
// inside RIFF/AVI > LIST hdrl > LIST strl, or -1.
int64_t FindVideoStreamHeader(const std::vector<uint8_t>& bytes)
{
    const size_t size = bytes.size();
    const uint8_t* data = bytes.data();
    if (size < 12 || !IsTag(data, "RIFF") || !IsTag(data + 8, "AVI "))
        return -1;
    // Walks the chunks of [begin, end) and calls visit(offset, id, length).
    auto walk = [&](size_t begin, size_t end, auto&& visit) -> int64_t {
        size_t at = begin;
        while (at + 8 <= end) {
            const uint32_t length = GetLe32(data + at + 4);
            const size_t next = at + 8 + size_t(length) + (length & 1);
            const int64_t found = visit(at, std::min<size_t>(at + 8 + length, end));
            if (found >= 0)
                return found;
            at = next;
        }
        return -1;
    };
    return walk(12, size, [&](size_t at, size_t end) -> int64_t {
        if (!IsTag(data + at, "LIST") || at + 12 > end || !IsTag(data + at + 8, "hdrl"))
            return -1;
        return walk(at + 12, end, [&](size_t inHdrl, size_t strlEnd) -> int64_t {
            if (!IsTag(data + inHdrl, "LIST") || inHdrl + 12 > strlEnd || !IsTag(data + inHdrl + 8, "strl"))
                return -1;
            return walk(inHdrl + 12, strlEnd, [&](size_t inStrl, size_t chunkEnd) -> int64_t {
                if (IsTag(data + inStrl, "strh") && inStrl + 8 + kStrhSize <= chunkEnd &&
                    IsTag(data + inStrl + 8, "vids"))
                    return int64_t(inStrl + 8);
                return -1;
            });
        });
    });
}

// The data offset of the main header ('avih' inside RIFF/AVI > LIST hdrl),
// or -1.
int64_t FindMainHeader(const std::vector<uint8_t>& bytes)
{
    const size_t size = bytes.size();
    const uint8_t* data = bytes.data();
    if (size < 24 || !IsTag(data, "RIFF") || !IsTag(data + 8, "AVI ") || !IsTag(data + 12, "LIST") ||
        !IsTag(data + 20, "hdrl"))
        return -1;
    const size_t at = 24;
    if (at + 8 + kAvihSize > size || !IsTag(data + at, "avih") || GetLe32(data + at + 4) < kAvihSize)
        return -1;
    return int64_t(at + 8);
}

// Microseconds a frame lasts at rate / scale frames a second, as the main
// header holds them: rounded, and the field's largest value for rates too
// slow for it.
uint32_t MicroSecondsPerFrame(uint32_t scale, uint32_t rate)
{
    if (rate == 0)
        return 0;
    const double micro = std::round(1e6 * double(scale) / double(rate));
    return micro >= double(std::numeric_limits<uint32_t>::max()) ? std::numeric_limits<uint32_t>::max()
                                                                  : uint32_t(micro);
}

int WriteToFile(void* opaque, uint8_t* data, int size)
{
    auto& file = *static_cast<AviFileWriter*>(opaque);
    int left = size;
    while (left > 0) {
        const ssize_t written = ::write(file.fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const int error = written == 0 ? ENOSPC : errno;
            if (!file.writeErrno)
                file.writeErrno = error;
            return AVERROR(error);
        }
        data += written;
        left -= int(written);
    }
    return size;
}

int64_t SeekInFile(void* opaque, int64_t offset, int whence)
{
    auto& file = *static_cast<AviFileWriter*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat status {};
        return ::fstat(file.fd, &status) == 0 ? int64_t(status.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(file.fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : int64_t(position);
}

}  // namespace

AviFileWriter::~AviFileWriter()
{
    Complete();
}

bool AviFileWriter::WriteEmptyAvi()
{
    // libavformat's muxer refuses a header without streams, so a recording
    // that never made its stream is written here: RIFF 'AVI ' with a main
    // header of no streams and an empty 'movi' list, which players and
    // ffprobe open as an empty video.
    std::array<uint8_t, 100> bytes{};
    std::memcpy(&bytes[0], "RIFF", 4);
    PutLe32(&bytes[4], uint32_t(bytes.size() - 8));
    std::memcpy(&bytes[8], "AVI ", 4);
    std::memcpy(&bytes[12], "LIST", 4);
    PutLe32(&bytes[16], 4 + 8 + 56);
    std::memcpy(&bytes[20], "hdrl", 4);
    std::memcpy(&bytes[24], "avih", 4);
    PutLe32(&bytes[28], 56);  // MainAVIHeader, all zero: no frames, no streams
    std::memcpy(&bytes[88], "LIST", 4);
    PutLe32(&bytes[92], 4);
    std::memcpy(&bytes[96], "movi", 4);
    if (::ftruncate(fd, 0) != 0 || !WriteAllAt(fd, bytes.data(), bytes.size(), 0)) {
        Fail(errno, QStringLiteral("Writing the file failed"));
        return false;
    }
    return true;
}

bool AviFileWriter::SyncNow()
{
    lastSyncTick = HostTickCount();
    // A recording that is cut off keeps a data rate that is nearly right.
    if (muxer && !broken)
        WriteDataRate();
    // Files that cannot be synced (a pipe, /dev/null) have nothing to lose.
    if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) {
        Fail(errno, QStringLiteral("Syncing the file to disk failed"));
        return false;
    }
    return true;
}

void AviFileWriter::MaybeSync()
{
    if (uint32_t(HostTickCount() - lastSyncTick) >= kSyncIntervalMs)
        SyncNow();
}

bool AviFileWriter::KeepRoom(int64_t end, int64_t bytes)
{
    // For the tests of a file system that keeps no room: writes find out
    // for themselves.
    static const bool keepNone = qEnvironmentVariableIsSet("ORVELLO_AVI_KEEP_NO_ROOM");
    if (keepNone)
        return true;
    const int64_t need = bytes + kCompletionRoom + kIndexBytesPerSample * (samplesWritten + 1);
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < rlim_t(std::numeric_limits<int64_t>::max()) && end + need > int64_t(limit.rlim_cur)) {
        errno = EFBIG;
        return false;
    }
    if (roomUnsupported)
        return true;
    // Allocated beyond the file's end without growing it: the next writes
    // take these blocks, and what they leave completes the file.
    int result = 0;
    do {
        result = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, off_t(end), off_t(need));
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        roomEnd = std::max(roomEnd, end + need);
        return true;
    }
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
        return false;
    // A file system without it (or a pipe): writes find out for themselves.
    roomUnsupported = true;
    return true;
}

void AviFileWriter::RunOutOfRoom(int error)
{
    if (failed)
        return;
    failed = true;
    outOfRoom = true;
    writeErrno = error;
    failure = QStringLiteral("No room for the next frame: ") + SystemErrorText(error);
    qCWarning(lcVideo) << path << failure;
}

void AviFileWriter::WriteDataRate()
{
    if (mainHeader < 0 || streamRate == 0)
        return;
    const double perSecond = std::ceil(double(largestSample) * double(streamRate) / double(streamScale));
    const uint32_t value = perSecond >= double(std::numeric_limits<uint32_t>::max())
                               ? std::numeric_limits<uint32_t>::max()
                               : uint32_t(perSecond);
    uint8_t bytes[4];
    PutLe32(bytes, value);
    WriteAllAt(fd, bytes, sizeof bytes, off_t(mainHeader + int64_t(kAvihMaxBytesPerSec)));
}

void AviFileWriter::CompleteWithoutMuxer()
{
    if (moviList < 0 || streamHeader < 0 || mainHeader < 0 || lastSampleEnd > kFirstSectionLimit ||
        samples.size() != size_t(samplesWritten))
        return;
    // The file ends with its last whole sample (Fail cut the rest).
    if (::ftruncate(fd, off_t(lastSampleEnd)) != 0)
        return;
    uint8_t word[4];
    const auto put = [&](int64_t at, uint32_t value) {
        PutLe32(word, value);
        return WriteAllAt(fd, word, sizeof word, off_t(at));
    };
    // The counts and the movi list's size need no new room: they go first.
    const uint32_t count = uint32_t(samples.size());
    bool whole = put(mainHeader + int64_t(kAvihTotalFrames), count) &&
                 put(streamHeader + int64_t(kStrhLength), count) &&
                 put(moviList - 4, uint32_t(lastSampleEnd - moviList));
    // The index, then the RIFF form's size.
    // The samples' chunk id as the muxer wrote it ("00dc").
    uint8_t id[4] = {'0', '0', 'd', 'c'};
    if (!samples.empty() && ::pread(fd, word, sizeof word, off_t(moviList + samples[0].offset)) == 4)
        std::memcpy(id, word, sizeof id);
    std::vector<uint8_t> index(8 + 16 * samples.size());
    std::memcpy(index.data(), "idx1", 4);
    PutLe32(index.data() + 4, uint32_t(16 * samples.size()));
    for (size_t i = 0; i < samples.size(); ++i) {
        uint8_t* entry = index.data() + 8 + 16 * i;
        std::memcpy(entry, id, 4);
        PutLe32(entry + 4, samples[i].key ? kIndexKeyFrame : 0);
        PutLe32(entry + 8, samples[i].offset);
        PutLe32(entry + 12, samples[i].size);
    }
    if (whole && WriteAllAt(fd, index.data(), index.size(), off_t(lastSampleEnd))) {
        put(4, uint32_t(lastSampleEnd + int64_t(index.size()) - 8));
    } else {
        // No room for the index: the file ends with its last sample, and
        // players find the samples by reading the list.
        ::ftruncate(fd, off_t(lastSampleEnd));
        put(4, uint32_t(lastSampleEnd - 8));
        whole = false;
    }
    qCInfo(lcVideo) << path << "completed with" << count << "frames" << (whole ? "and its index" : "without an index");
    ::fdatasync(fd);
}

void AviFileWriter::Fail(int error, const QString& what)
{
    if (failed)
        return;
    failed = true;
    broken = muxer != nullptr;
    if (error && !writeErrno)
        writeErrno = error;
    failure = error ? what + QStringLiteral(": ") + SystemErrorText(error) : what;
    qCWarning(lcVideo) << path << failure;
    // Drop a sample cut short, so the file ends with its last whole one.
    if (muxer && lastSampleEnd > 0 && ::ftruncate(fd, off_t(lastSampleEnd)) == 0)
        ::fdatasync(fd);
}

void AviFileWriter::FreeMuxer()
{
    if (!muxer)
        return;
    AVIOContext* io = muxer->pb;
    avformat_free_context(muxer);
    muxer = nullptr;
    stream = nullptr;
    if (io) {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
}

bool AviFileWriter::AddVideoStream(const AVCodecContext& encoder, const StreamHeaderValues& header,
                                   StreamSource* writer, QString* error)
{
    auto refuse = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (failed)
        return refuse(failure);
    if (muxer)
        return refuse(QStringLiteral("The file already has its video stream"));
    if (header.rate == 0 || header.scale == 0)
        return refuse(QStringLiteral("The frame rate is zero"));

    const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
    if (!avi || avformat_alloc_output_context2(&muxer, avi, nullptr, nullptr) < 0 || !muxer)
        return refuse(QStringLiteral("FFmpeg's AVI muxer is not available"));
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    AVIOContext* io =
        buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, WriteToFile, SeekInFile) : nullptr;
    if (!io) {
        av_free(buffer);
        FreeMuxer();
        return refuse(QStringLiteral("Out of memory"));
    }
    muxer->pb = io;
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    stream = avformat_new_stream(muxer, nullptr);
    int result = stream ? avcodec_parameters_from_context(stream->codecpar, &encoder) : AVERROR(ENOMEM);
    if (result >= 0) {
        // The muxer reduces scale and rate by their common divisor; the
        // header is corrected below, the time base stays one sample.
        stream->time_base = AVRational{int(header.scale), int(header.rate)};
        frameDuration = stream->time_base;
        if (!KeepRoom(0, kHeaderRoom)) {
            const int roomError = errno;
            FreeMuxer();
            RunOutOfRoom(roomError);
            return refuse(failure);
        }
        // The muxer's header overwrites the empty AVI from the start; it is
        // longer than that, so nothing of it is left.
        ::lseek(fd, 0, SEEK_SET);
        ClearFfmpegLogLine();
        result = avformat_write_header(muxer, nullptr);
    }
    QString why;
    if (result >= 0) {
        avio_flush(io);
        if (io->error < 0 || writeErrno)
            result = io->error < 0 ? io->error : AVERROR(writeErrno);
    }
    if (result < 0) {
        why = writeErrno ? QStringLiteral("Writing the file failed: ") + SystemErrorText(writeErrno)
                         : QStringLiteral("The AVI muxer refused the stream: ") + AvErrorText(result);
    } else {
        // The header as written, corrected in place.
        std::vector<uint8_t> bytes(kHeaderReadLimit);
        const ssize_t got = ::pread(fd, bytes.data(), bytes.size(), 0);
        bytes.resize(got > 0 ? size_t(got) : 0);
        const int64_t strh = FindVideoStreamHeader(bytes);
        const int64_t avih = FindMainHeader(bytes);
        if (strh < 0 || avih < 0) {
            why = QStringLiteral("The AVI header has no video stream header");
        } else {
            uint8_t* fields = bytes.data() + strh;
            PutLe32(fields + kStrhScale, header.scale);
            PutLe32(fields + kStrhRate, header.rate);
            PutLe32(fields + kStrhQuality, header.quality);
            // The muxer's main header wraps the frame time of slow rates
            // and states a data rate of its own guess; the rate is known
            // once frames are written.
            uint8_t* main = bytes.data() + avih;
            PutLe32(main + kAvihMicroSecPerFrame, MicroSecondsPerFrame(header.scale, header.rate));
            PutLe32(main + kAvihMaxBytesPerSec, 0);
            if (!WriteAllAt(fd, fields, kStrhSize, off_t(strh)) || !WriteAllAt(fd, main, 8, off_t(avih))) {
                writeErrno = errno;
                why = QStringLiteral("Writing the file failed: ") + SystemErrorText(writeErrno);
            } else {
                mainHeader = avih;
                streamHeader = strh;
                streamScale = header.scale;
                streamRate = header.rate;
            }
        }
    }
    if (!why.isEmpty()) {
        const int fileError = writeErrno;
        FreeMuxer();
        mainHeader = -1;
        writeErrno = 0;
        WriteEmptyAvi();
        if (fileError) {
            failed = true;
            writeErrno = fileError;
            failure = why;
        }
        return refuse(why);
    }
    lastSampleEnd = avio_tell(io);
    moviList = lastSampleEnd - 4;  // the header ends with "LIST" size "movi"
    source = writer;
    SyncNow();
    return !failed || refuse(failure);
}

bool AviFileWriter::WriteSample(AVPacket& packet, QString* error)
{
    if (failed || !muxer) {
        if (error)
            *error = failed ? failure : QStringLiteral("The file has no video stream");
        return false;
    }
    // A frame without room is not begun: the file stays whole and is
    // completed with the frames before it.
    if (!KeepRoom(lastSampleEnd, int64_t(packet.size) + kSampleOverhead)) {
        RunOutOfRoom(errno);
        if (error)
            *error = failure;
        return false;
    }
    packet.stream_index = stream->index;
    packet.pts = packet.dts = av_rescale_q(samplesWritten, frameDuration, stream->time_base);
    packet.duration = av_rescale_q(1, frameDuration, stream->time_base);
    ClearFfmpegLogLine();
    const int result = av_write_frame(muxer, &packet);
    avio_flush(muxer->pb);
    if (result < 0 || muxer->pb->error < 0 || writeErrno) {
        if (writeErrno || muxer->pb->error < 0)
            Fail(writeErrno ? writeErrno : AVUNERROR(muxer->pb->error), QStringLiteral("Writing the file failed"));
        else {
            // The muxer refused the packet itself; what it wrote of it goes.
            Fail(0, QStringLiteral("The AVI muxer refused a frame: ") + AvErrorText(result));
        }
        if (error)
            *error = failure;
        return false;
    }
    ++samplesWritten;
    const int64_t end = avio_tell(muxer->pb);
    if (end <= kFirstSectionLimit && moviList > 0)
        samples.push_back({uint32_t(lastSampleEnd - moviList), uint32_t(packet.size),
                           (packet.flags & AV_PKT_FLAG_KEY) != 0});
    largestSample = std::max(largestSample, end - lastSampleEnd);
    lastSampleEnd = end;
    MaybeSync();
    if (failed && error)
        *error = failure;
    return !failed;
}

uint32_t AviFileWriter::WrittenTag() const
{
    return stream ? stream->codecpar->codec_tag : 0;
}

void AviFileWriter::Complete()
{
    if (fd < 0)
        return;
    if (StreamSource* writer = source) {
        source = nullptr;
        writer->FinishStream();
    }
    if (muxer && !broken) {
        // Also after a frame found no room: the room kept back takes the
        // index and the counts.
        const int roomError = outOfRoom ? writeErrno : 0;
        failed = false;
        writeErrno = 0;
        ClearFfmpegLogLine();
        const int result = av_write_trailer(muxer);
        avio_flush(muxer->pb);
        if (result < 0 || muxer->pb->error < 0 || writeErrno) {
            if (writeErrno)
                Fail(writeErrno, QStringLiteral("Completing the file failed"));
            else
                Fail(0, QStringLiteral("Completing the file failed: ") +
                            AvErrorText(muxer->pb->error < 0 ? muxer->pb->error : result));
        } else {
            WriteDataRate();
            if (outOfRoom) {
                failed = true;
                writeErrno = roomError;
            }
        }
    }
    if (muxer && broken)
        CompleteWithoutMuxer();
    FreeMuxer();
    // The room kept ahead of the file goes back to the disk: a truncation to
    // its own size frees the blocks past its end where the file system
    // does that (ext4, xfs), a hole punched past it where it does not (tmpfs).
    struct stat status {};
    if (roomEnd > 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        ::ftruncate(fd, status.st_size);
        ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, status.st_size,
                    off_t(std::max<int64_t>(roomEnd - status.st_size, 0) + kRoomSlack));
    }
    if (!failed || outOfRoom)
        SyncNow();
    ::close(fd);
    fd = -1;
}

std::unique_ptr<AviFileWriter> AviFileWriter::Open(const QString& path, bool exclusive, QString* error)
{
    auto refuse = [&](const QString& why) -> std::unique_ptr<AviFileWriter> {
        if (error)
            *error = why;
        return nullptr;
    };
    if (path.isEmpty())
        return refuse(QStringLiteral("No file name"));
    const QByteArray name = QFile::encodeName(path);
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL | O_NOFOLLOW : O_TRUNC);
    const int fd = ::open(name.constData(), flags, 0666);
    if (fd < 0)
        return refuse(SystemErrorText(errno));
    auto file = std::make_unique<AviFileWriter>();
    file->path = path;
    file->fd = fd;
    // A recording that ends before its first frame, however it ends, is
    // still a valid AVI.
    if (!file->WriteEmptyAvi() || !file->SyncNow()) {
        const QString why = file->failure;
        ::unlink(name.constData());
        return refuse(why);
    }
    return file;
}

}  // namespace orv::video
