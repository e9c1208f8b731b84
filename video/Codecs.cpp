#include "Codecs.h"

#include "AviFile.h"

namespace orv::video {

// Placeholder until the encoders are listed: an empty catalogue.
struct TCodecs::Impl {};
struct TCompressor::Impl {};

TCodecs::TCodecs() : impl_(std::make_unique<Impl>()) {}
TCodecs::~TCodecs() = default;
int TCodecs::Count() const { return 0; }
QString TCodecs::GetName(int) const { return {}; }
CodecEntry* TCodecs::Handle(int) const { return nullptr; }

TCompressor::TCompressor(CodecEntry*) : impl_(std::make_unique<Impl>()) {}
TCompressor::~TCompressor() = default;
bool TCompressor::StartStream(AviFile&, const QImage&, double) { return false; }
bool TCompressor::CompressFrame(const QImage&) { return false; }
QString TCompressor::LastError() const { return {}; }

}  // namespace orv::video
