// The catalogue and the compressor as the program sees them: each call is
// passed to the FFmpeg module's objects, which are made on first need, so
// neither the main window's catalogue nor anything before a recording loads
// FFmpeg. Without the module the catalogue is empty.

#include "Codecs.h"

#include "AviFile.h"
#include "AviFileImpl.h"
#include "FfmpegModule.h"
#include "ModuleLoader.h"

#include <QLoggingCategory>

#include <mutex>

Q_LOGGING_CATEGORY(lcCodecs, "orvello.video", QtInfoMsg)

namespace orv::video {

// ---------------------------------------------------------------------------
// The catalogue

struct TCodecs::Impl {
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
TCodecs::TCodecs() : impl_(std::make_unique<Impl>()) {}

TCodecs::~TCodecs() = default;

int TCodecs::Count() const
{
    module::Catalogue* list = impl_->List();
    return list ? list->Count() : 0;
}

QString TCodecs::GetName(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->LongName() : QString();
}

CodecEntry* TCodecs::Handle(int index) const
{
    return impl_->At(index);
}

QString TCodecs::EncoderName(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->Name() : QString();
}

int TCodecs::IndexOf(const QString& encoderName) const
{
    for (int i = 0; i < Count(); ++i)
        if (EncoderName(i) == encoderName)
            return i;
    return -1;
}

std::vector<CodecOption> TCodecs::Options(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->Options() : std::vector<CodecOption>();
}

bool TCodecs::SetOptions(int index, const std::vector<std::pair<QString, QString>>& values, QString* error)
{
    CodecEntry* entry = impl_->At(index);
    if (!entry) {
        if (error)
            *error = QStringLiteral("No encoder at position %1").arg(index);
        return false;
    }
    return entry->SetOptions(values, error);
}

CodecInfo TCodecs::Info(int index) const
{
    const CodecEntry* entry = impl_->At(index);
    return entry ? entry->Info() : CodecInfo();
}

// ---------------------------------------------------------------------------
// The compressor

struct TCompressor::Impl {
    std::unique_ptr<module::Compressor> compressor;  // none without an entry
    QString lastError;
};

TCompressor::TCompressor(CodecEntry* handle) : impl_(std::make_unique<Impl>())
{
    // An entry exists only once its catalogue loaded the module.
    if (handle)
        if (module::Module* ffmpeg = module::Loaded())
            impl_->compressor = ffmpeg->NewCompressor(*handle);
}

TCompressor::~TCompressor() = default;

bool TCompressor::StartStream(AviFile& file, const QImage& frame, double framesPerSecond)
{
    if (!impl_->compressor) {
        impl_->lastError = QStringLiteral("No encoder is chosen");
        qCWarning(lcCodecs) << impl_->lastError;
        return false;
    }
    return impl_->compressor->StartStream(*file.Internals().writer, frame, framesPerSecond);
}

bool TCompressor::CompressFrame(const QImage& frame)
{
    if (!impl_->compressor) {
        impl_->lastError = QStringLiteral("The stream has not started");
        qCWarning(lcCodecs) << impl_->lastError;
        return false;
    }
    return impl_->compressor->CompressFrame(frame);
}

QString TCompressor::LastError() const
{
    return impl_->compressor ? impl_->compressor->LastError() : impl_->lastError;
}

bool TCompressor::FileFailed() const
{
    return impl_->compressor && impl_->compressor->FileFailed();
}

}  // namespace orv::video
