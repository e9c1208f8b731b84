// The catalogue and the compressor as the program sees them: each call is
// passed to the FFmpeg module's objects, which are made on first need, so
// neither the main window's catalogue nor anything before a recording loads
// FFmpeg. Without the module the catalogue is empty.

#include "CodecCatalogue.h"

#include "AviFile.h"
#include "AviFileImpl.h"
#include "FfmpegModule.h"
#include "ModuleLoader.h"

#include <QLoggingCategory>

#include <algorithm>
#include <iterator>
#include <mutex>

Q_LOGGING_CATEGORY(lcCodecs, "orvello.video", QtInfoMsg)

namespace orv::video {

// ---------------------------------------------------------------------------
// The catalogue

struct CodecCatalogue::Impl {
    std::once_flag listed;
    std::unique_ptr<module::Catalogue> catalogue;

    // The module's catalogue, listed by the first call that needs it.
    module::Catalogue* List()
    {
        std::call_once(listed, [this] {
            if (module::Module* ffmpeg = module::Loaded())
                catalogue = ffmpeg->NewCatalogue();
        });
        return catalogue.get();
    }

    CodecEntry* At(int index)
    {
        module::Catalogue* list = List();
        return list ? list->Entry(index) : nullptr;
    }
};

// Lists nothing yet: the main window makes its catalogue at start-up.
CodecCatalogue::CodecCatalogue() : impl_(std::make_unique<Impl>()) {}

CodecCatalogue::~CodecCatalogue() = default;

int CodecCatalogue::Count() const
{
    module::Catalogue* list = impl_->List();
    return list ? list->Count() : 0;
}

QString CodecCatalogue::GetName(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->LongName() : QString();
}

CodecEntry* CodecCatalogue::Handle(int index) const
{
    return impl_->At(index);
}

QString CodecCatalogue::EncoderName(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->Name() : QString();
}

int CodecCatalogue::IndexOf(const QString& encoderName) const
{
    for (int i = 0; i < Count(); ++i)
        if (EncoderName(i) == encoderName)
            return i;
    return -1;
}

namespace {

// The encoders a slow camera is best recorded with, in the order offered,
// under the names a newcomer knows them by.
struct PlainName {
    const char* encoder;
    const char* name;
    CodecCatalogue::Listed::Kind kind;
};
constexpr PlainName kPlainNames[] = {
    {"mjpeg", "Motion JPEG", CodecCatalogue::Listed::Kind::Plain},
    {"libx264", "H.264 (x264)", CodecCatalogue::Listed::Kind::Plain},
    {"mpeg4", "MPEG-4 Part 2", CodecCatalogue::Listed::Kind::Plain},
    {"ffv1", "FFV1", CodecCatalogue::Listed::Kind::Lossless},
    {"huffyuv", "Huffyuv", CodecCatalogue::Listed::Kind::Lossless},
    {"rawvideo", "", CodecCatalogue::Listed::Kind::Uncompressed},
};

// Encoders that write a format listed already under another name.
constexpr const char* kSecondNames[] = {
    "libxvid",     // MPEG-4 Part 2, as mpeg4
    "libx264rgb",  // H.264, as libx264
    "ffvhuff",     // Huffyuv with FFmpeg's own extensions
};

// Encoders made for still pictures: each frame a picture file of its own.
constexpr const char* kStillPictureEncoders[] = {
    "alias_pix", "apng", "bmp", "dpx", "exr", "fits", "gif", "hdr", "jpeg2000", "jpegls", "libopenjpeg",
    "libwebp", "libwebp_anim", "ljpeg", "pam", "pbm", "pcx", "pfm", "pgm", "pgmyuv", "phm", "png", "ppm",
    "qoi", "sgi", "sunrast", "targa", "tiff", "xbm", "xface", "xwd", "webp",
};

bool Among(const auto& names, const QString& name)
{
    return std::any_of(std::begin(names), std::end(names), [&](const char* n) { return name == QLatin1String(n); });
}

}  // namespace

std::vector<CodecCatalogue::Listed> CodecCatalogue::Listing(int keep) const
{
    std::vector<Listed> first, rest;
    for (const PlainName& plain : kPlainNames) {
        const int index = IndexOf(QLatin1String(plain.encoder));
        if (index >= 0)
            first.push_back({index, QString::fromUtf8(plain.name), plain.kind});
    }
    for (int index = 0; index < Count(); ++index) {
        const QString encoder = EncoderName(index);
        if (std::any_of(first.begin(), first.end(), [&](const Listed& listed) { return listed.index == index; }))
            continue;
        if (index != keep && (Among(kSecondNames, encoder) || Among(kStillPictureEncoders, encoder)))
            continue;
        rest.push_back({index, GetName(index), Listed::Kind::Plain});
    }
    std::stable_sort(rest.begin(), rest.end(), [](const Listed& a, const Listed& b) {
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    });
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

std::vector<CodecOption> CodecCatalogue::Options(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->Options() : std::vector<CodecOption>();
}

bool CodecCatalogue::SetOptions(int index, const std::vector<std::pair<QString, QString>>& values, QString* error)
{
    CodecEntry* entry = impl_->At(index);
    if (!entry) {
        if (error)
            *error = QStringLiteral("No encoder at position %1").arg(index);
        return false;
    }
    return entry->SetOptions(values, error);
}

CodecInfo CodecCatalogue::Info(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->Info() : CodecInfo();
}

// ---------------------------------------------------------------------------
// The compressor

struct FrameEncoder::Impl {
    std::unique_ptr<module::Compressor> compressor;  // none without an entry
    QString lastError;
};

FrameEncoder::FrameEncoder(CodecEntry* handle) : impl_(std::make_unique<Impl>())
{
    // An entry exists only once its catalogue loaded the module.
    if (handle)
        if (module::Module* ffmpeg = module::Loaded())
            impl_->compressor = ffmpeg->NewCompressor(*handle);
}

FrameEncoder::~FrameEncoder() = default;

bool FrameEncoder::StartStream(AviFile& file, const QImage& frame, double framesPerSecond)
{
    if (!impl_->compressor) {
        impl_->lastError = QStringLiteral("No encoder is chosen");
        qCWarning(lcCodecs) << impl_->lastError;
        return false;
    }
    return impl_->compressor->StartStream(*file.Internals().writer, frame, framesPerSecond);
}

bool FrameEncoder::CompressFrame(const QImage& frame)
{
    if (!impl_->compressor) {
        impl_->lastError = QStringLiteral("The stream has not started");
        qCWarning(lcCodecs) << impl_->lastError;
        return false;
    }
    return impl_->compressor->CompressFrame(frame);
}

QString FrameEncoder::LastError() const
{
    return impl_->compressor ? impl_->compressor->LastError() : impl_->lastError;
}

bool FrameEncoder::FileFailed() const
{
    return impl_->compressor && impl_->compressor->FileFailed();
}

}  // namespace orv::video
