// The encoder catalogue and the compressor, over libavcodec and libswscale.

#include "video/CodecCatalogue.h"

#include "AviWriter.h"
#include "CodecEntry.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>

namespace orv::video {
namespace {

// The most useful first: Motion JPEG at position 0 (the default "CodecIndex"),
// then MPEG-4, Xvid and H.264, the lossless ones, raw. The rest follow by name.
constexpr std::array kFirst{"mjpeg",   "mpeg4", "libxvid", "libx264",  "huffyuv",
                            "ffvhuff", "ffv1",  "utvideo", "magicyuv", "rawvideo"};

// Encoders that the AVI muxer takes but that cannot record a phone's
// pictures at a slow web camera's rate.
constexpr std::array kLeftOut{
    "dvvideo",     // PAL/NTSC frame sizes only
    "h261",        // 176 x 144 and 352 x 288 only
    "h263",        // five fixed frame sizes only (H.263+ takes any: h263p)
    "mpeg1video",  // the standard's few frame rates only, none below 23.976
    "libaom-av1",  // refuses every rate below one frame a second
};

// Wrappers of hardware encoders (and of system frameworks over them), which
// need a device and do not take frames in memory.
constexpr std::array kHardwareSuffixes{"_vaapi", "_qsv",          "_nvenc",      "_v4l2m2m", "_omx",   "_amf",   "_mf",
                                       "_mmal",  "_videotoolbox", "_mediacodec", "_cuvid",   "_rkmpp", "_vulkan"};

// Constant quality 3 (global_quality = 3 × FF_QP2LAMBDA) instead of the
// 200 kbit/s that the MPEG-style encoders otherwise aim at.
constexpr const char* kQualityThree = "flags=+qscale:global_quality=354";
static_assert(3 * FF_QP2LAMBDA == 354);

struct EncoderDefaults {
    const char* encoder;
    // What to feed it; nullptr: the format that loses least from RGB.
    const char* pixelFormat;
    const char* options;
};

// The configuration each entry starts a run with. 4:2:0 for the lossy
// encoders: the phone's own JPEG pictures carry their colour at that
// resolution already, and 4:4:4 Motion JPEG or H.264 is bigger, slower and
// refused by many players. Raw pictures in AVI are BGR.
constexpr EncoderDefaults kDefaults[] = {
    {"mjpeg", "yuvj420p", kQualityThree},
    {"mpeg4", "yuv420p", kQualityThree},
    {"libxvid", "yuv420p", kQualityThree},
    // No frame held back, a key frame at least every 10 frames.
    {"libx264", "yuv420p", "preset=veryfast:tune=zerolatency:g=10"},
    {"libx264rgb", "bgr24", "preset=veryfast:tune=zerolatency:g=10"},
    {"rawvideo", "bgr24", ""},
    {"amv", nullptr, kQualityThree},
    {"flv", nullptr, kQualityThree},
    {"h263p", nullptr, kQualityThree},
    {"mpeg2video", nullptr, kQualityThree},
    {"msmpeg4", nullptr, kQualityThree},
    {"msmpeg4v2", nullptr, kQualityThree},
    {"wmv1", nullptr, kQualityThree},
    {"wmv2", nullptr, kQualityThree},
    {"libvpx", nullptr, "lag-in-frames=0"},
    {"libvpx-vp9", nullptr, "lag-in-frames=0"},
};

// Encoders that take pictures in whole blocks only (or whose pictures are
// read back only so), and the block's width and height in pixels.
struct BlockSize {
    const char* encoder;
    int width;
    int height;
};
constexpr BlockSize kBlockSizes[] = {
    {"amv", 1, 16},
    {"cinepak", 4, 4},
    {"h263p", 4, 4},
    {"msvideo1", 4, 4},
    {"cfhd", 16, 1},
    {"v308", 2, 1},
    {"v410", 2, 1},
    // The encoder takes any width, but FFmpeg's decoder refuses pictures
    // that are not a whole number of 8-pixel columns wide.
    {"speedhq", 8, 1},
};

// Raw pictures that an AVI file can hold without a FourCC of their own.
constexpr std::array kRawFormats{AV_PIX_FMT_BGR24, AV_PIX_FMT_RGB555LE};

// Frames the encoder may still be holding when the next one is converted;
// beyond this a frame buffer is copied rather than reused.
constexpr size_t kFrameRing = 3;
constexpr int kScalerFlags = SWS_BICUBIC;
// The highest rate a stream takes: the muxer replaces anything above
// 1000 frames a second with a rate of its own.
constexpr double kMaxFramesPerSecond = 1000.0;

bool EndsWith(const char* text, const char* suffix)
{
    const size_t length = std::strlen(text), suffixLength = std::strlen(suffix);
    return length >= suffixLength && std::strcmp(text + length - suffixLength, suffix) == 0;
}

bool Contains(const auto& names, const char* name)
{
    return std::any_of(std::begin(names), std::end(names), [&](const char* n) { return std::strcmp(n, name) == 0; });
}

bool IsHardware(const AVCodec& codec)
{
    if (codec.capabilities & (AV_CODEC_CAP_HARDWARE | AV_CODEC_CAP_HYBRID))
        return true;
    if (avcodec_get_hw_config(&codec, 0))
        return true;
    for (const AVPixelFormat* format = codec.pix_fmts; format && *format != AV_PIX_FMT_NONE; ++format) {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*format);
        if (descriptor && (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL))
            return true;
    }
    return std::any_of(kHardwareSuffixes.begin(), kHardwareSuffixes.end(),
                       [&](const char* suffix) { return EndsWith(codec.name, suffix); });
}

bool IsListed(const AVCodec& codec, const AVOutputFormat& avi)
{
    return av_codec_is_encoder(&codec) && codec.type == AVMEDIA_TYPE_VIDEO &&
           !(codec.capabilities & AV_CODEC_CAP_EXPERIMENTAL) && !IsHardware(codec) && !Contains(kLeftOut, codec.name) &&
           avformat_query_codec(&avi, codec.id, FF_COMPLIANCE_NORMAL) == 1 && !FeedableFormats(codec).empty();
}

int Rank(const AVCodec& codec)
{
    const auto found = std::find_if(kFirst.begin(), kFirst.end(),
                                    [&](const char* name) { return std::strcmp(name, codec.name) == 0; });
    return int(found - kFirst.begin());
}

OptionValues ParseOptions(const char* text)
{
    OptionValues values;
    for (const QString& pair : QString::fromLatin1(text).split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        values.emplace_back(pair.left(equals).toStdString(), pair.mid(equals + 1).toStdString());
    }
    return values;
}

CodecConfig DefaultConfig(const AVCodec& codec)
{
    CodecConfig config;
    const EncoderDefaults* defaults = nullptr;
    for (const EncoderDefaults& candidate : kDefaults)
        if (std::strcmp(candidate.encoder, codec.name) == 0)
            defaults = &candidate;
    const std::vector<AVPixelFormat> formats = FeedableFormats(codec);
    if (defaults && defaults->pixelFormat)
        config.pixelFormat = av_get_pix_fmt(defaults->pixelFormat);
    if (std::find(formats.begin(), formats.end(), config.pixelFormat) == formats.end()) {
        std::vector<AVPixelFormat> list = formats;
        list.push_back(AV_PIX_FMT_NONE);
        int loss = 0;
        config.pixelFormat = avcodec_find_best_pix_fmt_of_list(list.data(), AV_PIX_FMT_RGB24, 0, &loss);
    }
    if (defaults)
        config.options = ParseOptions(defaults->options);
    return config;
}

bool IsFullRange(AVPixelFormat format)
{
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// The layout of a QImage's pixels as swscale names it, or none for the rare
// formats that are converted to 24-bit RGB first.
AVPixelFormat ImagePixelFormat(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB888: return AV_PIX_FMT_RGB24;
    case QImage::Format_BGR888: return AV_PIX_FMT_BGR24;
    case QImage::Format_RGB32: return AV_PIX_FMT_0RGB32;  // 0xffRRGGBB in native order
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied: return AV_PIX_FMT_RGB32;
    case QImage::Format_RGBX8888: return AV_PIX_FMT_RGB0;
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBA8888_Premultiplied: return AV_PIX_FMT_RGBA;
    case QImage::Format_Grayscale8: return AV_PIX_FMT_GRAY8;
    default: return AV_PIX_FMT_NONE;
    }
}

}  // namespace

std::vector<AVPixelFormat> FeedableFormats(const AVCodec& codec)
{
    std::vector<AVPixelFormat> formats;
    if (codec.id == AV_CODEC_ID_RAWVIDEO) {
        formats.assign(kRawFormats.begin(), kRawFormats.end());
        return formats;
    }
    for (const AVPixelFormat* format = codec.pix_fmts; format && *format != AV_PIX_FMT_NONE; ++format) {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*format);
        if (descriptor && !(descriptor->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL)) &&
            sws_isSupportedOutput(*format))
            formats.push_back(*format);
    }
    return formats;
}

bool ApplyOptions(AVCodecContext& context, const OptionValues& values, QString* error)
{
    for (const auto& [name, value] : values) {
        ClearFfmpegLogLine();
        const int result = av_opt_set(&context, name.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN);
        if (result < 0) {
            if (error)
                *error = QString::fromStdString(name) + QStringLiteral(" = ") + QString::fromStdString(value) +
                         QStringLiteral(": ") + AvErrorText(result);
            return false;
        }
    }
    return true;
}

void PrepareEncoder(AVCodecContext& context, AVPixelFormat format, int width, int height, AVRational timeBase)
{
    context.width = width;
    context.height = height;
    context.pix_fmt = format;
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(format);
    if (layout && !(layout->flags & AV_PIX_FMT_FLAG_RGB) && layout->nb_components >= 3) {
        context.color_range = IsFullRange(format) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        // swscale converts with the BT.601 matrix; say so, or players guess
        // BT.709 for large pictures.
        context.colorspace = AVCOL_SPC_BT470BG;
    }
    context.time_base = timeBase;
    context.framerate = av_inv_q(timeBase);
}

int OpenEncoder(AVCodecContext& context, const OptionValues& values)
{
    AVDictionary* options = nullptr;
    for (const auto& [name, value] : values)
        av_dict_set(&options, name.c_str(), value.c_str(), 0);
    ClearFfmpegLogLine();
    const int opened = avcodec_open2(&context, context.codec, &options);
    for (const AVDictionaryEntry* unused = nullptr; (unused = av_dict_get(options, "", unused, AV_DICT_IGNORE_SUFFIX));)
        qCWarning(lcVideo) << context.codec->name << "does not take the option" << unused->key;
    av_dict_free(&options);
    return opened;
}

// ---------------------------------------------------------------------------
// The catalogue

QString FfmpegEntry::Name() const
{
    return QString::fromUtf8(codec_.name);
}

QString FfmpegEntry::LongName() const
{
    return QString::fromUtf8(codec_.long_name ? codec_.long_name : codec_.name);
}

FfmpegCatalogue::FfmpegCatalogue()
{
    const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
    if (!avi)
        return;
    std::vector<const AVCodec*> listed;
    void* iterator = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&iterator))
        if (IsListed(*codec, *avi))
            listed.push_back(codec);
    // Names are unique, so this order is the same in every run.
    std::sort(listed.begin(), listed.end(), [](const AVCodec* a, const AVCodec* b) {
        const int rankA = Rank(*a), rankB = Rank(*b);
        return rankA != rankB ? rankA < rankB : std::strcmp(a->name, b->name) < 0;
    });
    if (listed.size() > size_t(CodecCatalogue::kCapacity))
        listed.resize(size_t(CodecCatalogue::kCapacity));
    for (const AVCodec* codec : listed) {
        auto entry = std::make_unique<FfmpegEntry>(*codec);
        entry->SetConfig(DefaultConfig(*codec));
        entries_.push_back(std::move(entry));
    }
}

int FfmpegCatalogue::Count() const
{
    return int(entries_.size());
}

CodecEntry* FfmpegCatalogue::Entry(int index) const
{
    return index >= 0 && size_t(index) < entries_.size() ? entries_[size_t(index)].get() : nullptr;
}

// ---------------------------------------------------------------------------
// The compressor

namespace {

class FfmpegCompressor final : public module::Compressor, StreamSource {
public:
    explicit FfmpegCompressor(FfmpegEntry& chosen) : entry(&chosen) {}
    ~FfmpegCompressor() override { Release(); }

    // The first successful call starts; later ones return true at once.
    bool StartStream(module::AviWriter& target, const QImage& frame, double framesPerSecond) override
    {
        // Every writer is one of this module's.
        return started || Start(static_cast<AviFileWriter&>(target), frame, framesPerSecond);
    }
    bool CompressFrame(const QImage& frame) override { return Compress(frame); }
    QString LastError() const override { return lastError; }
    bool FileFailed() const override { return fileFailed; }

private:
    FfmpegEntry* entry = nullptr;
    AviFileWriter* file = nullptr;  // while the stream is open
    AVCodecContext* encoder = nullptr;
    std::array<AVFrame*, kFrameRing> frames{};
    size_t nextFrame = 0;
    AVPacket* packet = nullptr;
    // The first frame's layout, converted at the encoder's size; frames of
    // another size or layout go through the second scaler.
    SwsContext* scaler = nullptr;
    SwsContext* otherScaler = nullptr;
    AVPixelFormat firstFormat = AV_PIX_FMT_NONE;
    int firstWidth = 0;
    int firstHeight = 0;
    int64_t framesSent = 0;
    bool started = false;
    bool finished = false;
    bool fileFailed = false;
    QString lastError;

    bool Fail(const QString& why, bool fileFault = false)
    {
        lastError = why;
        fileFailed = fileFault;
        qCWarning(lcVideo) << why;
        return false;
    }

    bool Start(AviFileWriter& target, const QImage& frame, double framesPerSecond);
    bool Compress(const QImage& image);
    bool WritePackets();
    void FinishStream() override;
    void Release();
};

void FfmpegCompressor::Release()
{
    if (file)
        FinishStream();
    sws_freeContext(scaler);
    sws_freeContext(otherScaler);
    scaler = otherScaler = nullptr;
    for (AVFrame*& frame : frames)
        av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    started = false;
}

bool FfmpegCompressor::Start(AviFileWriter& target, const QImage& frame, double framesPerSecond)
{
    if (target.failed)
        return Fail(target.failure, true);
    if (target.muxer)
        return Fail(QStringLiteral("The file already has its video stream"));
    if (frame.isNull())
        return Fail(QStringLiteral("The frame is empty"));
    if (frame.width() > 65535 || frame.height() > 65535)
        return Fail(QStringLiteral("The frame is larger than an AVI file can describe"));

    // A rate that is not a positive number records at one frame a second.
    double rate = framesPerSecond;
    if (!std::isfinite(rate) || rate <= 0)
        rate = 1.0;
    rate = std::min(rate, kMaxFramesPerSecond);
    const uint32_t streamRate = std::max<uint32_t>(1, uint32_t(rate * 10000.0));

    const CodecConfig config = entry->Config();
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(config.pixelFormat);
    if (!layout)
        return Fail(QStringLiteral("The encoder's pixel format is not set"));
    // Chroma-subsampled formats need whole chroma samples, some encoders
    // whole blocks: the last columns and rows that do not fill one are left
    // out rather than the picture scaled.
    const AVCodec& codec = entry->Codec();
    int blockWidth = 1 << layout->log2_chroma_w, blockHeight = 1 << layout->log2_chroma_h;
    for (const BlockSize& block : kBlockSizes) {
        if (std::strcmp(block.encoder, codec.name) == 0) {
            blockWidth = std::max(blockWidth, block.width);
            blockHeight = std::max(blockHeight, block.height);
        }
    }
    const int width = frame.width() / blockWidth * blockWidth;
    const int height = frame.height() / blockHeight * blockHeight;
    if (width <= 0 || height <= 0)
        return Fail(QStringLiteral("The frame is too small for the encoder"));

    Release();
    encoder = avcodec_alloc_context3(&codec);
    if (!encoder)
        return Fail(QStringLiteral("Out of memory"));
    // Encoders take time bases with terms up to 65535 (MPEG-4's limit); the
    // file's own rate is exact whatever this rounds.
    int tickNum = 0, tickDen = 0;
    av_reduce(&tickNum, &tickDen, 10000, streamRate, 65535);
    PrepareEncoder(*encoder, config.pixelFormat, width, height, AVRational{tickNum, tickDen});
    const int opened = OpenEncoder(*encoder, config.options);
    if (opened < 0) {
        const QString why = QStringLiteral("The encoder %1 refused %2 x %3 %4 frames: %5")
                                .arg(QLatin1String(codec.name))
                                .arg(width)
                                .arg(height)
                                .arg(QLatin1String(av_get_pix_fmt_name(config.pixelFormat)))
                                .arg(AvErrorText(opened));
        Release();
        return Fail(why);
    }

    firstFormat = ImagePixelFormat(frame.format());
    if (firstFormat == AV_PIX_FMT_NONE)
        firstFormat = AV_PIX_FMT_RGB24;
    firstWidth = frame.width();
    firstHeight = frame.height();
    // The frames, the packet and the scaler are made once, here.
    packet = av_packet_alloc();
    bool ready = packet != nullptr;
    for (AVFrame*& buffer : frames) {
        buffer = av_frame_alloc();
        if (!buffer) {
            ready = false;
            break;
        }
        buffer->format = config.pixelFormat;
        buffer->width = width;
        buffer->height = height;
        buffer->color_range = encoder->color_range;
        buffer->colorspace = encoder->colorspace;
        if (av_frame_get_buffer(buffer, 0) < 0) {
            ready = false;
            break;
        }
    }
    scaler = sws_getContext(width, height, firstFormat, width, height, config.pixelFormat, kScalerFlags, nullptr,
                            nullptr, nullptr);
    if (!ready || !scaler) {
        Release();
        return Fail(scaler ? QStringLiteral("Out of memory")
                           : QStringLiteral("No conversion from the frame's pixels to %1")
                                 .arg(QLatin1String(av_get_pix_fmt_name(config.pixelFormat))));
    }

    QString why;
    if (!target.AddVideoStream(*encoder, StreamHeaderValues{10000, streamRate, 10000}, this, &why)) {
        const bool fileFault = target.failed;
        Release();
        return Fail(why, fileFault);
    }
    file = &target;
    framesSent = 0;
    started = true;
    finished = false;
    return true;
}

bool FfmpegCompressor::Compress(const QImage& image)
{
    if (!started)
        return Fail(QStringLiteral("The stream has not started"));
    if (finished || !file)
        return Fail(QStringLiteral("The recording is complete"));
    if (file->failed)
        return Fail(file->failure, true);
    if (image.isNull())
        return Fail(QStringLiteral("The frame is empty"));

    const QImage* source = &image;
    QImage converted;
    AVPixelFormat format = ImagePixelFormat(image.format());
    if (format == AV_PIX_FMT_NONE) {
        converted = image.convertToFormat(QImage::Format_RGB888);
        source = &converted;
        format = AV_PIX_FMT_RGB24;
    }
    SwsContext* conversion = scaler;
    int sourceHeight = encoder->height;
    if (source->width() != firstWidth || source->height() != firstHeight || format != firstFormat) {
        otherScaler = sws_getCachedContext(otherScaler, source->width(), source->height(), format, encoder->width,
                                           encoder->height, encoder->pix_fmt, kScalerFlags, nullptr, nullptr, nullptr);
        if (!otherScaler)
            return Fail(QStringLiteral("No conversion for a %1 x %2 frame").arg(source->width()).arg(source->height()));
        conversion = otherScaler;
        sourceHeight = source->height();
    }

    AVFrame* frame = frames[nextFrame];
    nextFrame = (nextFrame + 1) % frames.size();
    // Only an encoder that still holds this buffer makes it copy.
    if (av_frame_make_writable(frame) < 0)
        return Fail(QStringLiteral("Out of memory"));
    const uint8_t* planes[4] = {source->constBits(), nullptr, nullptr, nullptr};
    const int strides[4] = {int(source->bytesPerLine()), 0, 0, 0};
    sws_scale(conversion, planes, strides, 0, sourceHeight, frame->data, frame->linesize);
    frame->pts = framesSent++;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    // Constant quality is read from each frame.
    frame->quality = (encoder->flags & AV_CODEC_FLAG_QSCALE) ? encoder->global_quality : 0;

    ClearFfmpegLogLine();
    const int sent = avcodec_send_frame(encoder, frame);
    if (sent < 0)
        return Fail(QStringLiteral("The encoder failed: ") + AvErrorText(sent));
    return WritePackets();
}

bool FfmpegCompressor::WritePackets()
{
    for (;;) {
        ClearFfmpegLogLine();
        const int received = avcodec_receive_packet(encoder, packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return true;
        if (received < 0)
            return Fail(QStringLiteral("The encoder failed: ") + AvErrorText(received));
        // A frame that the encoder yields no data for is not written.
        QString why;
        const bool written = packet->size <= 0 || file->WriteSample(*packet, &why);
        av_packet_unref(packet);
        if (!written)
            return Fail(why, true);
    }
}

void FfmpegCompressor::FinishStream()
{
    if (!file)
        return;
    if (started && !finished && !file->failed) {
        // A delayed encoder gives up the frames it still holds.
        if (avcodec_send_frame(encoder, nullptr) >= 0)
            WritePackets();
    }
    finished = true;
    if (file->source == this)
        file->source = nullptr;
    file = nullptr;
}

}  // namespace

std::unique_ptr<module::Compressor> NewFfmpegCompressor(FfmpegEntry& entry)
{
    return std::make_unique<FfmpegCompressor>(entry);
}

}  // namespace orv::video
