#include "VideoTestKit.h"

#include <QFile>
#include <QProcess>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace orv::test {
namespace {

uint32_t Le32(const char* at)
{
    uint32_t value = 0;
    std::memcpy(&value, at, 4);
    return value;
}

}  // namespace

QImage MovingPicture(int width, int height, int index)
{
    QImage picture(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* row = picture.scanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = uchar(60 + 120 * x / width);
            row[3 * x + 1] = uchar(80 + 100 * y / height);
            row[3 * x + 2] = uchar(150);
        }
    }
    const int side = height / 4;
    const int left = (index * 7) % std::max(1, width - side);
    for (int y = height / 3; y < height / 3 + side; ++y) {
        uchar* row = picture.scanLine(y);
        std::memset(row + 3 * left, 240, size_t(3 * side));
    }
    return picture;
}

StreamHeaderBytes ReadStreamHeader(const QString& path)
{
    StreamHeaderBytes header;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return header;
    const QByteArray bytes = file.read(1 << 20);
    const qsizetype at = bytes.indexOf("strh");
    if (at < 0 || at + 8 + 56 > bytes.size())
        return header;
    const char* data = bytes.constData() + at + 8;
    header.found = true;
    header.type = QByteArray(data, 4);
    header.handler = Le32(data + 4);
    header.scale = Le32(data + 20);
    header.rate = Le32(data + 24);
    header.length = Le32(data + 32);
    header.quality = Le32(data + 40);
    std::memcpy(header.frame, data + 48, 8);
    return header;
}

DemuxedVideo Demux(const QString& path)
{
    DemuxedVideo video;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return video;
    video.opened = avformat_find_stream_info(format, nullptr) >= 0;
    video.streams = int(format->nb_streams);
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index >= 0) {
        const AVCodecParameters* parameters = format->streams[index]->codecpar;
        video.width = parameters->width;
        video.height = parameters->height;
        video.tag = parameters->codec_tag;
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == index)
                video.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&format);
    return video;
}

std::vector<QImage> DecodeFrames(const QString& path)
{
    std::vector<QImage> pictures;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return pictures;
    avformat_find_stream_info(format, nullptr);
    const AVCodec* decoderCodec = nullptr;
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoderCodec, 0);
    AVCodecContext* decoder = index >= 0 && decoderCodec ? avcodec_alloc_context3(decoderCodec) : nullptr;
    if (decoder && avcodec_parameters_to_context(decoder, format->streams[index]->codecpar) >= 0 &&
        avcodec_open2(decoder, decoderCodec, nullptr) >= 0) {
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        auto collect = [&] {
            while (avcodec_receive_frame(decoder, frame) >= 0) {
                QImage picture(frame->width, frame->height, QImage::Format_RGB888);
                SwsContext* scaler =
                    sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                   frame->height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
                uint8_t* planes[4] = {picture.bits(), nullptr, nullptr, nullptr};
                const int strides[4] = {int(picture.bytesPerLine()), 0, 0, 0};
                sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
                sws_freeContext(scaler);
                pictures.push_back(picture);
                av_frame_unref(frame);
            }
        };
        while (av_read_frame(format, packet) >= 0) {
            if (packet->stream_index == index && avcodec_send_packet(decoder, packet) >= 0)
                collect();
            av_packet_unref(packet);
        }
        avcodec_send_packet(decoder, nullptr);
        collect();
        av_frame_free(&frame);
        av_packet_free(&packet);
    }
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
    return pictures;
}

QMap<QString, QString> Ffprobe(const QString& path)
{
    QMap<QString, QString> answers;
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"),
                                            QStringLiteral("-count_frames"), QStringLiteral("-show_entries"),
                                            QStringLiteral("format=nb_streams:stream=codec_type,codec_tag_"
                                                           "string,width,height,nb_read_frames,"
                                                           "avg_frame_rate"),
                                            QStringLiteral("-of"), QStringLiteral("default=noprint_wrappers=1"), path});
    if (!probe.waitForFinished(60000)) {
        probe.kill();
        probe.waitForFinished();
        answers.insert(QStringLiteral("exit"), QStringLiteral("timeout"));
        return answers;
    }
    answers.insert(QStringLiteral("exit"), QString::number(probe.exitCode()));
    answers.insert(QStringLiteral("stderr"), QString::fromUtf8(probe.readAllStandardError()).trimmed());
    for (const QByteArray& line : probe.readAllStandardOutput().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0 && !answers.contains(QString::fromUtf8(line.left(equals))))
            answers.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)).trimmed());
    }
    return answers;
}

MeanColour Mean(const QImage& image, const QRect& area)
{
    MeanColour mean;
    const QRect inside = area.intersected(image.rect());
    if (inside.isEmpty())
        return mean;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        const uchar* row = rgb.constScanLine(y);
        for (int x = inside.left(); x <= inside.right(); ++x) {
            mean.red += row[3 * x];
            mean.green += row[3 * x + 1];
            mean.blue += row[3 * x + 2];
        }
    }
    const double count = double(inside.width()) * inside.height();
    mean.red /= count;
    mean.green /= count;
    mean.blue /= count;
    return mean;
}

double MeanDifference(const QImage& a, const QImage& b)
{
    if (a.isNull() || a.size() != b.size())
        return 255;
    const QImage first = a.convertToFormat(QImage::Format_RGB888);
    const QImage second = b.convertToFormat(QImage::Format_RGB888);
    double sum = 0;
    for (int y = 0; y < first.height(); ++y) {
        const uchar* one = first.constScanLine(y);
        const uchar* other = second.constScanLine(y);
        for (int x = 0; x < first.width() * 3; ++x)
            sum += std::abs(int(one[x]) - int(other[x]));
    }
    return sum / (double(first.width()) * first.height() * 3);
}

}  // namespace orv::test
