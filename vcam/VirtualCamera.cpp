#include "VirtualCamera.h"

#include "PipeWireModule.h"

#include "platform/ModulePaths.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>
#include <cstring>
#include <mutex>

#include <dlfcn.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCamera, "orvello.camera")

namespace orv::vcam {
namespace {

struct LoadState {
    std::once_flag once;
    module::Module* module = nullptr;
    QString failure;
    QString pathForTests;
};

LoadState& State()
{
    static LoadState state;
    return state;
}

// The module's lines go where the program's own diagnostics go.
void HostLog(const char* line) { qCInfo(lcCamera).noquote() << QString::fromUtf8(line); }

const module::HostServices kHost{&HostLog};

module::Module* Load(const QString& path, QString* error)
{
    auto refuse = [&](const QString& why) -> module::Module* {
        *error = QStringLiteral("cannot load the PipeWire module %1: %2").arg(path, why);
        return nullptr;
    };
    const auto reason = [&path] {
        const char* text = ::dlerror();
        QString why = text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
        if (why.startsWith(path + QStringLiteral(": ")))
            why.remove(0, path.size() + 2);
        return why;
    };
    void* library = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return refuse(reason());
    const auto* abi = static_cast<const int*>(::dlsym(library, module::kAbiSymbol));
    if (!abi)
        return refuse(reason());
    if (*abi != module::kAbiVersion)
        return refuse(QStringLiteral("it was built for interface version %1, the program uses %2")
                          .arg(*abi)
                          .arg(module::kAbiVersion));
    const auto open = reinterpret_cast<module::OpenFunction>(::dlsym(library, module::kOpenSymbol));
    if (!open)
        return refuse(reason());
    module::Module* loaded = open(module::kAbiVersion, &kHost);
    if (!loaded)
        return refuse(QStringLiteral("it refused interface version %1").arg(module::kAbiVersion));
    return loaded;
}

void LoadOnce(LoadState& state)
{
    const QStringList paths = ModuleCandidates();
    QString path = paths.back();
    for (const QString& candidate : paths) {
        if (QFileInfo::exists(candidate)) {
            path = candidate;
            break;
        }
    }
    state.module = Load(path, &state.failure);
    if (state.module)
        return;
    std::fprintf(stderr, "orvello: no PipeWire camera: %s\n", state.failure.toLocal8Bit().constData());
    std::fflush(stderr);
}

module::Module* Loaded()
{
    LoadState& state = State();
    std::call_once(state.once, [&state] { LoadOnce(state); });
    return state.module;
}

}  // namespace

QString NodeDescription(const QString& model)
{
    const QString trimmed = model.trimmed();
    return trimmed.isEmpty() ? QStringLiteral("Orvello") : QStringLiteral("Orvello: ") + trimmed;
}

bool ModuleLoaded() { return Loaded() != nullptr; }

QString LoadFailure()
{
    Loaded();
    return State().failure;
}

QStringList ModuleCandidates()
{
    const QString& forTests = State().pathForTests;
    if (!forTests.isEmpty())
        return {forTests};
    return orv::ModuleCandidates(QLatin1String(module::kFileName), QStringLiteral(ORV_VCAM_MODULE_FROM_BIN),
                                 QStringLiteral(ORV_VCAM_MODULE_DIR));
}

void SetModulePathForTests(const QString& path) { State().pathForTests = path; }

VirtualCamera::VirtualCamera(std::unique_ptr<module::Node> node) : node_(std::move(node)) {}

VirtualCamera::~VirtualCamera() = default;

std::unique_ptr<VirtualCamera> VirtualCamera::Start(const QString& model, QString* error, QString* warning)
{
    module::Module* pipewire = Loaded();
    if (!pipewire) {
        if (error)
            *error = LoadFailure();
        return nullptr;
    }
    module::NodeSettings settings;
    settings.name = "orvello";
    settings.description = NodeDescription(model).toStdString();
    settings.framesPerSecond = kFramesPerSecond;
    std::string firstAttempt;
    std::unique_ptr<module::Node> node = pipewire->Publish(settings, &firstAttempt);
    if (!node) {
        if (error)
            *error = QStringLiteral("the PipeWire camera could not be made");
        return nullptr;
    }
    if (warning)
        *warning = QString::fromStdString(firstAttempt);
    return std::unique_ptr<VirtualCamera>(new VirtualCamera(std::move(node)));
}

void VirtualCamera::SetFrame(const QImage& frame)
{
    if (frame.isNull())
        return;
    const QImage rgb = frame.format() == QImage::Format_RGB888 ? frame : frame.convertToFormat(QImage::Format_RGB888);
    auto copy = std::make_shared<module::RgbFrame>();
    copy->width = rgb.width();
    copy->height = rgb.height();
    copy->stride = 3 * rgb.width();
    copy->pixels.resize(static_cast<size_t>(copy->stride) * static_cast<size_t>(copy->height));
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(copy->pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(copy->stride),
                    rgb.constScanLine(y), static_cast<size_t>(copy->stride));
    node_->SetFrame(std::move(copy));
}

bool VirtualCamera::Connected() const { return node_->Connected(); }

uint64_t VirtualCamera::FramesSent() const { return node_->FramesSent(); }

}  // namespace orv::vcam
