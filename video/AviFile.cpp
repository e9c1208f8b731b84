#include "AviFile.h"

namespace orv::video {

struct AviFile::Impl {
    QString path;
};

AviFile::AviFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AviFile::~AviFile() = default;

std::unique_ptr<AviFile> AviFile::Open(const QString&, QString* error)
{
    if (error)
        *error = QStringLiteral("not available yet");
    return nullptr;
}

QString AviFile::Path() const { return impl_->path; }

}  // namespace orv::video
