// The catalogue's entries as data for the configuration dialog and the about
// box: the encoder's option table with this run's values, and what the
// encoder is.

#include "CodecEntry.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

namespace orv::video {
namespace {

// The shared encoding options worth offering next to an encoder's own: the
// rate, the key-frame interval, constant quality and its limits. The other
// seventy are tuning knobs of the MPEG-style encoders or aliases.
constexpr std::array kCommonOptions{
    "b",     "maxrate",        "minrate", "bufsize", "g",       "keyint_min",       "bf",
    "flags", "global_quality", "qmin",    "qmax",    "threads", "compression_level"};

constexpr int kVideoEncoding = AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_VIDEO_PARAM;

struct TextSuggestions {
    const char* encoder;
    const char* option;
    const char* values;
};

// Text options whose values the encoder's table does not list.
constexpr TextSuggestions kSuggestions[] = {
    {"libx264", "preset",
     "ultrafast,superfast,veryfast,faster,fast,medium,slow,slower,veryslow,"
     "placebo"},
    {"libx264", "tune", "film,animation,grain,stillimage,psnr,ssim,fastdecode,zerolatency"},
    {"libx264", "profile", "baseline,main,high,high10,high422,high444"},
    {"libx264rgb", "preset",
     "ultrafast,superfast,veryfast,faster,fast,medium,slow,slower,veryslow,"
     "placebo"},
    {"libx264rgb", "tune", "film,animation,grain,stillimage,psnr,ssim,fastdecode,zerolatency"},
};

QString Text(const char* text)
{
    return QString::fromUtf8(text ? text : "");
}

// An option's named values: the constants of its unit.
std::vector<CodecOption::Named> NamedValues(void* object, const AVOption& option, bool sharedTable)
{
    std::vector<CodecOption::Named> named;
    if (!option.unit)
        return named;
    std::set<std::string> seen;
    for (const AVOption* constant = nullptr; (constant = av_opt_next(object, constant));) {
        if (constant->type != AV_OPT_TYPE_CONST || !constant->unit || std::strcmp(constant->unit, option.unit) != 0)
            continue;
        // The shared table marks some constants for decoding only, and
        // leaves others (qscale among them) unmarked.
        const bool forEncoding = constant->flags == 0 || (constant->flags & AV_OPT_FLAG_ENCODING_PARAM);
        if ((constant->flags & AV_OPT_FLAG_DEPRECATED) || (sharedTable && !forEncoding))
            continue;
        if (!seen.insert(constant->name).second)
            continue;
        named.push_back({Text(constant->name), Text(constant->help), QString::number(constant->default_val.i64)});
    }
    return named;
}

// True when the named values are every value the option can take.
bool CoverRange(const std::vector<CodecOption::Named>& named, double minimum, double maximum)
{
    if (named.empty() || maximum - minimum > 64)
        return false;
    for (auto value = int64_t(minimum); value <= int64_t(maximum); ++value) {
        const QString text = QString::number(value);
        if (std::none_of(named.begin(), named.end(), [&](const CodecOption::Named& n) { return n.value == text; }))
            return false;
    }
    return true;
}

QString CurrentText(void* object, const char* name)
{
    uint8_t* text = nullptr;
    if (av_opt_get(object, name, 0, &text) < 0 || !text)
        return {};
    QString value = QString::fromUtf8(reinterpret_cast<const char*>(text));
    av_free(text);
    return value;
}

// One option as the dialog shows it; false for options it does not show.
bool Describe(const AVCodec& codec, void* object, const AVOption& option, bool common, CodecOption& out)
{
    if ((option.flags & (AV_OPT_FLAG_DEPRECATED | AV_OPT_FLAG_READONLY)) ||
        (option.flags & kVideoEncoding) != kVideoEncoding)
        return false;
    out.name = Text(option.name);
    out.help = Text(option.help);
    out.common = common;
    out.minimum = option.min;
    out.maximum = option.max;
    int64_t integer = 0;
    double real = 0;
    switch (option.type) {
    case AV_OPT_TYPE_FLAGS:
        out.kind = CodecOption::Kind::Flags;
        out.named = NamedValues(object, option, common);
        av_opt_get_int(object, option.name, 0, &integer);
        out.value = QString::number(integer);
        return true;
    case AV_OPT_TYPE_INT:
    case AV_OPT_TYPE_INT64:
    case AV_OPT_TYPE_UINT64:
        out.named = NamedValues(object, option, common);
        out.kind =
            CoverRange(out.named, option.min, option.max) ? CodecOption::Kind::Choice : CodecOption::Kind::Integer;
        av_opt_get_int(object, option.name, 0, &integer);
        out.value = QString::number(integer);
        if (out.kind == CodecOption::Kind::Choice &&
            std::none_of(out.named.begin(), out.named.end(), [&](const auto& n) { return n.value == out.value; }))
            out.named.push_back({out.value, {}, out.value});
        return true;
    case AV_OPT_TYPE_BOOL:
        out.kind = CodecOption::Kind::Boolean;
        out.allowsAuto = option.min < 0;
        av_opt_get_int(object, option.name, 0, &integer);
        out.value = QString::number(integer);
        return true;
    case AV_OPT_TYPE_DOUBLE:
    case AV_OPT_TYPE_FLOAT:
        out.kind = CodecOption::Kind::Real;
        av_opt_get_double(object, option.name, 0, &real);
        out.value = QString::number(real, 'g', 10);
        return true;
    case AV_OPT_TYPE_STRING:
    case AV_OPT_TYPE_DICT:
    case AV_OPT_TYPE_IMAGE_SIZE:
    case AV_OPT_TYPE_VIDEO_RATE:
    case AV_OPT_TYPE_RATIONAL:
    case AV_OPT_TYPE_DURATION:
    case AV_OPT_TYPE_COLOR:
        out.kind = CodecOption::Kind::Text;
        out.value = CurrentText(object, option.name);
        for (const TextSuggestions& suggestion : kSuggestions)
            if (std::strcmp(suggestion.encoder, codec.name) == 0 && std::strcmp(suggestion.option, option.name) == 0)
                for (const QString& value : QString::fromLatin1(suggestion.values).split(QLatin1Char(',')))
                    out.named.push_back({value, {}, value});
        return true;
    default: return false;
    }
}

// An encoder context with the entry's configuration applied, never opened.
struct Probe {
    AVCodecContext* context = nullptr;
    explicit Probe(const AVCodec& codec) : context(avcodec_alloc_context3(&codec)) {}
    ~Probe() { avcodec_free_context(&context); }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
};

// Opens the encoder with the configuration as a recording would, on a small
// picture at one frame a second; FFmpeg's result code.
int OpenProbe(Probe& probe, const CodecConfig& config)
{
    if (!probe.context)
        return AVERROR(ENOMEM);
    PrepareEncoder(*probe.context, config.pixelFormat, 64, 48, AVRational{1, 1});
    return OpenEncoder(*probe.context, config.options);
}

// Whether the encoder opens with the configuration; why not in *why.
bool Opens(const AVCodec& codec, const CodecConfig& config, QString* why = nullptr)
{
    Probe probe(codec);
    const int opened = OpenProbe(probe, config);
    if (opened < 0 && why)
        *why = AvErrorText(opened);
    return opened >= 0;
}

// One value of a configuration change, checked against the option table of
// the probe's encoder: the pixel format the encoder is fed, or one of its
// options. An empty value gives the option back to the encoder's default
// (what a user gets by clearing a text field). False with the reason.
bool Change(AVCodecContext& probe, const std::vector<AVPixelFormat>& formats, CodecConfig& config,
            const QString& name, const QString& value, QString* error)
{
    if (name == QLatin1String("pixel_format")) {
        const AVPixelFormat format = av_get_pix_fmt(value.toUtf8().constData());
        if (std::find(formats.begin(), formats.end(), format) == formats.end()) {
            if (error)
                *error = QStringLiteral("pixel_format = %1: the encoder does not take it from RGB").arg(value);
            return false;
        }
        config.pixelFormat = format;
        return true;
    }
    const std::string key = name.toStdString();
    auto kept = std::find_if(config.options.begin(), config.options.end(),
                             [&](const auto& option) { return option.first == key; });
    if (value.isEmpty()) {
        if (!av_opt_find(&probe, key.c_str(), nullptr, 0, AV_OPT_SEARCH_CHILDREN)) {
            if (error)
                *error = name + QStringLiteral(": ") + AvErrorText(AVERROR_OPTION_NOT_FOUND);
            return false;
        }
        if (kept != config.options.end())
            config.options.erase(kept);
        return true;
    }
    const OptionValues one{{key, value.toStdString()}};
    if (!ApplyOptions(probe, one, error))
        return false;
    if (kept != config.options.end())
        kept->second = one.front().second;
    else
        config.options.push_back(one.front());
    return true;
}

// The FourCC that the AVI muxer writes for this configuration: the encoder
// opened on a small picture and the muxer initialised on a memory buffer.
// Some encoders choose their FourCC by pixel format (Ut Video, MagicYUV).
uint32_t WrittenFourcc(const FfmpegEntry& entry)
{
    const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
    if (!avi)
        return 0;
    const uint32_t fromTable = av_codec_get_tag(avi->codec_tag, entry.Codec().id);
    Probe probe(entry.Codec());
    if (OpenProbe(probe, entry.Config()) < 0)
        return fromTable;
    uint32_t tag = fromTable;
    AVFormatContext* muxer = nullptr;
    if (avformat_alloc_output_context2(&muxer, avi, nullptr, nullptr) >= 0 && muxer &&
        avio_open_dyn_buf(&muxer->pb) >= 0) {
        AVStream* stream = avformat_new_stream(muxer, nullptr);
        if (stream && avcodec_parameters_from_context(stream->codecpar, probe.context) >= 0) {
            stream->time_base = AVRational{1, 1};
            if (avformat_init_output(muxer, nullptr) >= 0)
                tag = stream->codecpar->codec_tag;
        }
        uint8_t* bytes = nullptr;
        avio_close_dyn_buf(muxer->pb, &bytes);
        av_free(bytes);
        muxer->pb = nullptr;
    }
    avformat_free_context(muxer);
    return tag;
}

QString VersionText(const char* library, unsigned version)
{
    return QStringLiteral("%1 %2.%3.%4")
        .arg(QLatin1String(library))
        .arg(AV_VERSION_MAJOR(version))
        .arg(AV_VERSION_MINOR(version))
        .arg(AV_VERSION_MICRO(version));
}

}  // namespace

std::vector<CodecOption> FfmpegEntry::Options() const
{
    std::vector<CodecOption> options;
    const CodecConfig config = Config();
    Probe probe(codec_);
    if (!probe.context)
        return options;
    ApplyOptions(*probe.context, config.options, nullptr);

    CodecOption format;
    format.name = QStringLiteral("pixel_format");
    format.help = QStringLiteral("The pixel format the RGB frames are converted to for the encoder");
    format.kind = CodecOption::Kind::Choice;
    format.common = true;
    for (AVPixelFormat candidate : FeedableFormats(codec_)) {
        const QString name = Text(av_get_pix_fmt_name(candidate));
        format.named.push_back({name, {}, name});
    }
    format.value = Text(av_get_pix_fmt_name(config.pixelFormat));
    options.push_back(format);

    for (const char* name : kCommonOptions) {
        const AVOption* option = av_opt_find(probe.context, name, nullptr, 0, 0);
        CodecOption described;
        if (!option || !Describe(codec_, probe.context, *option, true, described))
            continue;
        if (described.name == QLatin1String("global_quality"))
            described.help +=
                QStringLiteral(" (with the qscale flag: the quantiser times %1, so 354 is q 3)").arg(FF_QP2LAMBDA);
        options.push_back(std::move(described));
    }
    if (probe.context->priv_data && codec_.priv_class) {
        for (const AVOption* option = nullptr; (option = av_opt_next(probe.context->priv_data, option));) {
            CodecOption described;
            if (option->type != AV_OPT_TYPE_CONST &&
                Describe(codec_, probe.context->priv_data, *option, false, described))
                options.push_back(std::move(described));
        }
    }
    return options;
}

bool FfmpegEntry::SetOptions(const std::vector<std::pair<QString, QString>>& values, QString* error)
{
    const CodecConfig before = Config();
    Probe probe(codec_);
    if (!probe.context || !ApplyOptions(*probe.context, before.options, error))
        return false;
    const std::vector<AVPixelFormat> formats = FeedableFormats(codec_);
    CodecConfig after = before;
    for (const auto& [name, value] : values)
        if (!Change(*probe.context, formats, after, name, value, error))
            return false;

    // Values that each pass the option table can still make the encoder
    // refuse to open (an expression that does not parse, a pixel format
    // that its other options rule out), which would refuse every recording
    // of this run. Such a change is refused here, naming the value that
    // alone makes it fail, or all of them when only together they do.
    // A configuration that did not open before is not judged.
    QString why;
    if (Opens(codec_, after, &why) || !Opens(codec_, before)) {
        SetConfig(std::move(after));
        return true;
    }
    for (const auto& [name, value] : values) {
        CodecConfig alone = before;
        QString aloneWhy;
        if (Change(*probe.context, formats, alone, name, value, nullptr) && !Opens(codec_, alone, &aloneWhy)) {
            if (error)
                *error = QStringLiteral("%1 = %2: the encoder does not open with it: %3").arg(name, value, aloneWhy);
            return false;
        }
    }
    if (error) {
        QStringList named;
        for (const auto& [name, value] : values)
            named << name + QStringLiteral(" = ") + value;
        *error = QStringLiteral("%1: the encoder does not open with these together: %2")
                     .arg(named.join(QStringLiteral(", ")), why);
    }
    return false;
}

CodecInfo FfmpegEntry::Info() const
{
    CodecInfo info;
    const AVCodec& codec = codec_;
    info.name = Text(codec.name);
    info.longName = LongName();
    info.fourcc = FourccText(WrittenFourcc(*this));
    if (const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec.id)) {
        if (descriptor->props & AV_CODEC_PROP_INTRA_ONLY)
            info.capabilities << QStringLiteral("every frame a key frame");
        if (descriptor->props & AV_CODEC_PROP_LOSSLESS)
            info.capabilities << QStringLiteral("lossless");
        if (descriptor->props & AV_CODEC_PROP_LOSSY)
            info.capabilities << QStringLiteral("lossy");
    }
    if (codec.capabilities & AV_CODEC_CAP_DELAY)
        info.capabilities << QStringLiteral("may hold frames back");
    if (codec.capabilities & AV_CODEC_CAP_SLICE_THREADS)
        info.capabilities << QStringLiteral("slice threads");
    if (codec.capabilities & AV_CODEC_CAP_FRAME_THREADS)
        info.capabilities << QStringLiteral("frame threads");
    if (codec.capabilities & AV_CODEC_CAP_OTHER_THREADS)
        info.capabilities << QStringLiteral("threads of its own");
    info.capabilities << QStringLiteral("fed %1").arg(Text(av_get_pix_fmt_name(Config().pixelFormat)));
    info.libraries = VersionText("libavcodec", avcodec_version()) + QStringLiteral(", ") +
                     VersionText("libavformat", avformat_version()) + QStringLiteral(", ") +
                     VersionText("libswscale", swscale_version());
    info.licence = Text(avcodec_license());
    return info;
}

}  // namespace orv::video
