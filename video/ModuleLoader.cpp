#include "ModuleLoader.h"

#include "platform/Clock.h"
#include "platform/ModulePaths.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <mutex>

#include <dlfcn.h>
#include <unistd.h>

namespace orv::video::module {
namespace {

struct LoadState {
    std::once_flag once;
    Module* module = nullptr;
    QString failure;
    QString pathForTests;
};

LoadState& State()
{
    static LoadState state;
    return state;
}

uint32_t HostTickCount()
{
    return TheClock().TickCount();
}

const HostServices kHost{&HostTickCount};

// The loader's reason, without the path it usually starts with.
QString DlError(const QString& path)
{
    const char* text = ::dlerror();
    QString reason = text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
    if (reason.startsWith(path + QStringLiteral(": ")))
        reason.remove(0, path.size() + 2);
    return reason;
}

void LoadOnce(LoadState& state)
{
    QStringList paths = Candidates();
    // The first file that exists is the module: a broken one beside the
    // program is reported rather than passed over for an installed one.
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
    if (paths.size() > 1 && !QFileInfo::exists(path)) {
        paths.removeLast();
        for (QString& other : paths)
            other = QFileInfo(other).path();
        state.failure += QStringLiteral(" (nor is it in %1)").arg(paths.join(QStringLiteral(" or ")));
    }
    std::fprintf(stderr, "orvello: no video encoders: %s\n", state.failure.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace

Module* Loaded()
{
    LoadState& state = State();
    std::call_once(state.once, [&state] { LoadOnce(state); });
    return state.module;
}

QString LoadFailure()
{
    Loaded();
    return State().failure;
}

QStringList Candidates()
{
    const QString& forTests = State().pathForTests;
    if (!forTests.isEmpty())
        return {forTests};
    return ModuleCandidates(QLatin1String(kFileName), QStringLiteral(ORV_FFMPEG_MODULE_FROM_BIN),
                            QStringLiteral(ORV_FFMPEG_MODULE_DIR));
}

Module* Load(const QString& path, QString* error)
{
    auto refuse = [&](const QString& why) -> Module* {
        if (error)
            *error = QStringLiteral("cannot load the FFmpeg module %1: %2").arg(path, why);
        return nullptr;
    };
    // Its own symbols stay its own: nothing of FFmpeg or of the module
    // becomes visible to libraries loaded later.
    void* library = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return refuse(DlError(path));
    // Once loaded it stays for the life of the process, even when it is
    // refused: code of it may already have run its static constructors.
    const auto* abi = static_cast<const int*>(::dlsym(library, kAbiSymbol));
    if (!abi)
        return refuse(DlError(path));
    if (*abi != kAbiVersion)
        return refuse(QStringLiteral("it was built for interface version %1, the program uses %2")
                          .arg(*abi)
                          .arg(kAbiVersion));
    const auto open = reinterpret_cast<OpenFunction>(::dlsym(library, kOpenSymbol));
    if (!open)
        return refuse(DlError(path));
    Module* module = open(kAbiVersion, &kHost);
    if (!module)
        return refuse(QStringLiteral("it refused interface version %1").arg(kAbiVersion));
    return module;
}

void SetModulePathForTests(const QString& path)
{
    State().pathForTests = path;
}

}  // namespace orv::video::module
