#include "AviFile.h"

#include "AviFileImpl.h"
#include "ModuleLoader.h"

namespace orv::video {

AviFile::AviFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AviFile::~AviFile() = default;

std::unique_ptr<AviFile> AviFile::Open(const QString& path, QString* error)
{
    module::Module* ffmpeg = module::Loaded();
    if (!ffmpeg) {
        if (error)
            *error = module::LoadFailure();
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->writer = ffmpeg->OpenAvi(path, error);
    if (!impl->writer)
        return nullptr;
    return std::unique_ptr<AviFile>(new AviFile(std::move(impl)));
}

QString AviFile::Path() const
{
    return impl_->path;
}

}  // namespace orv::video
