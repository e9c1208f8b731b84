#include "AviReadBack.h"

#include <QDir>
#include <QFile>
#include <QProcess>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace orv::test {
namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

uint32_t Le32(const QByteArray& bytes, qsizetype at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData() + at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
int16_t Le16(const QByteArray& bytes, qsizetype at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData() + at);
    return static_cast<int16_t>(uint16_t(p[0]) | uint16_t(p[1]) << 8);
}
QString FourCC(const QByteArray& bytes, qsizetype at) { return QString::fromLatin1(bytes.mid(at, 4)); }

struct Chunk {
    QByteArray id;
    qsizetype data = 0;  // offset of the chunk's data
    qsizetype size = 0;
};

// The chunks that follow one another from begin up to end (or the file's
// end); a chunk that runs past the file's end is not counted.
std::vector<Chunk> Chunks(const QByteArray& bytes, qsizetype begin, qsizetype end)
{
    std::vector<Chunk> chunks;
    end = std::min(end, bytes.size());
    for (qsizetype at = begin; at + 8 <= end;) {
        Chunk chunk{bytes.mid(at, 4), at + 8, static_cast<qsizetype>(Le32(bytes, at + 4))};
        if (chunk.data + chunk.size > bytes.size())
            break;
        chunks.push_back(chunk);
        at = chunk.data + chunk.size + (chunk.size & 1);
    }
    return chunks;
}

// The top-level chunks of the RIFF "AVI " form.
std::vector<Chunk> TopLevel(const QByteArray& bytes)
{
    if (bytes.size() < 12 || bytes.left(4) != "RIFF" || bytes.mid(8, 4) != "AVI ")
        return {};
    return Chunks(bytes, 12, bytes.size());
}

}  // namespace

std::optional<StreamHeader> ReadStreamHeader(const QString& path)
{
    const QByteArray bytes = ReadAll(path);
    for (const Chunk& top : TopLevel(bytes)) {
        if (top.id != "LIST" || bytes.mid(top.data, 4) != "hdrl")
            continue;
        for (const Chunk& list : Chunks(bytes, top.data + 4, top.data + top.size)) {
            if (list.id != "LIST" || bytes.mid(list.data, 4) != "strl")
                continue;
            StreamHeader header;
            bool found = false;
            for (const Chunk& chunk : Chunks(bytes, list.data + 4, list.data + list.size)) {
                if (chunk.id == "strh" && chunk.size >= 56) {
                    found = true;
                    header.fccType = FourCC(bytes, chunk.data);
                    header.fccHandler = FourCC(bytes, chunk.data + 4);
                    header.scale = Le32(bytes, chunk.data + 20);
                    header.rate = Le32(bytes, chunk.data + 24);
                    header.length = Le32(bytes, chunk.data + 32);
                    header.quality = static_cast<int32_t>(Le32(bytes, chunk.data + 40));
                    for (int i = 0; i < 4; ++i)
                        header.frame[i] = Le16(bytes, chunk.data + 48 + 2 * i);
                } else if (chunk.id == "strf" && chunk.size >= 40) {
                    header.bitmapWidth = static_cast<int32_t>(Le32(bytes, chunk.data + 4));
                    header.bitmapHeight = static_cast<int32_t>(Le32(bytes, chunk.data + 8));
                    header.bitmapCompression = FourCC(bytes, chunk.data + 16);
                }
            }
            if (found)
                return header;
        }
    }
    return std::nullopt;
}

std::optional<MainHeader> ReadMainHeader(const QString& path)
{
    const QByteArray bytes = ReadAll(path);
    for (const Chunk& top : TopLevel(bytes)) {
        if (top.id != "LIST" || bytes.mid(top.data, 4) != "hdrl")
            continue;
        for (const Chunk& chunk : Chunks(bytes, top.data + 4, top.data + top.size)) {
            if (chunk.id != "avih" || chunk.size < 56)
                continue;
            MainHeader header;
            header.microSecPerFrame = Le32(bytes, chunk.data);
            header.maxBytesPerSec = Le32(bytes, chunk.data + 4);
            header.totalFrames = Le32(bytes, chunk.data + 16);
            header.streams = Le32(bytes, chunk.data + 24);
            return header;
        }
    }
    return std::nullopt;
}

int64_t LargestFrameChunk(const QString& path)
{
    const QByteArray bytes = ReadAll(path);
    int64_t largest = 0;
    for (const Chunk& top : TopLevel(bytes)) {
        if (top.id != "LIST" || bytes.mid(top.data, 4) != "movi")
            continue;
        for (const Chunk& chunk : Chunks(bytes, top.data + 4, top.data + top.size))
            if (chunk.id == "00dc" || chunk.id == "00db")
                largest = std::max<int64_t>(largest, 8 + chunk.size + (chunk.size & 1));
    }
    return largest;
}

QStringList FilesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    return names;
}

bool HasIndex(const QString& path)
{
    const QByteArray bytes = ReadAll(path);
    for (const Chunk& top : TopLevel(bytes))
        if (top.id == "idx1")
            return true;
    return false;
}

int CountFrameChunks(const QString& path)
{
    const QByteArray bytes = ReadAll(path);
    if (bytes.size() < 12 || bytes.left(4) != "RIFF")
        return 0;
    // The movi list of a file that was cut off may still state no size:
    // its chunks are walked up to the end of the file.
    for (qsizetype at = 12; at + 12 <= bytes.size();) {
        const QByteArray id = bytes.mid(at, 4);
        const qsizetype size = static_cast<qsizetype>(Le32(bytes, at + 4));
        if (id == "LIST" && bytes.mid(at + 8, 4) == "movi") {
            int frames = 0;
            const qsizetype end = size >= 4 && at + 8 + size <= bytes.size() ? at + 8 + size : bytes.size();
            for (const Chunk& chunk : Chunks(bytes, at + 12, end))
                frames += chunk.id == "00dc" || chunk.id == "00db";
            return frames;
        }
        at += 8 + size + (size & 1);
    }
    return 0;
}

Packets ReadPackets(const QString& path)
{
    Packets result;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.toUtf8().constData(), nullptr, nullptr) != 0)
        return result;
    result.opened = true;
    if (avformat_find_stream_info(context, nullptr) < 0) {
        avformat_close_input(&context);
        return result;
    }
    result.streams = static_cast<int>(context->nb_streams);
    if (context->nb_streams > 0) {
        const AVCodecParameters* parameters = context->streams[0]->codecpar;
        result.width = parameters->width;
        result.height = parameters->height;
        char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
        av_fourcc_make_string(tag, parameters->codec_tag);
        result.codecTag = QString::fromLatin1(tag);
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(context, packet) >= 0) {
            if (packet->stream_index == 0)
                result.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&context);
    return result;
}

std::vector<std::vector<uint8_t>> ReadPacketData(const QString& path)
{
    std::vector<std::vector<uint8_t>> result;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.toUtf8().constData(), nullptr, nullptr) != 0)
        return result;
    if (avformat_find_stream_info(context, nullptr) >= 0 && context->nb_streams > 0) {
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(context, packet) >= 0) {
            if (packet->stream_index == 0)
                result.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&context);
    return result;
}

Probe RunFfprobe(const QString& path)
{
    Probe probe;
    QProcess process;
    process.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                   QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                   QStringLiteral("stream=nb_read_frames,width,height,codec_tag_string,avg_frame_rate"),
                   QStringLiteral("-of"), QStringLiteral("default=noprint_wrappers=1"), path});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return probe;
    probe.ran = true;
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("nb_read_frames"))
            probe.frames = value.toInt();
        else if (key == QLatin1String("width"))
            probe.width = value.toInt();
        else if (key == QLatin1String("height"))
            probe.height = value.toInt();
        else if (key == QLatin1String("codec_tag_string"))
            probe.codecTag = value;
        else if (key == QLatin1String("avg_frame_rate"))
            probe.averageRate = value;
    }
    return probe;
}

}  // namespace orv::test
