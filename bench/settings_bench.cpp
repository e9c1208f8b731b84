// One getter and one setter of the settings store: each opens, reads (and
// for the setter writes and renames) the file at every call.

#include "platform/SettingsStore.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void UseFreshFile()
{
    static const std::string path = "/tmp/orvello-bench-settings-" + std::to_string(::getpid()) + ".reg";
    ::setenv("ORVELLO_SETTINGS_FILE", path.c_str(), 1);
    // A file as the options dialog leaves it: all twenty-four values.
    const char* names[] = {"TempJpgName", "AutoSuspendMode", "JpgType", "Timeout", "CloseToTray", "AutoRestart",
                           "AutoFormResize", "ShowSplash", "AviTempName", "Fps", "DuplicatePicture", "CodecIndex",
                           "OptionsTabIndex", "PrintDateOnImage", "CameraInitTime", "AmbientLight", "Expose",
                           "AutoFps", "AutoAviFileName", "AviFolder", "ServerEnabled", "ServerPort",
                           "AutoPhoneConnect", "LangIndex"};
    for (const char* name : names)
        orv::reg::WriteRegInt(name, 1);
    orv::reg::WriteRegString("TempJpgName", "/a/temp.jpg");
}

void BM_GetTimeout(benchmark::State& state)
{
    UseFreshFile();
    for (auto _ : state)
        benchmark::DoNotOptimize(orv::reg::ReadRegInt("Timeout", 1000));
}
BENCHMARK(BM_GetTimeout);

void BM_SetTimeout(benchmark::State& state)
{
    UseFreshFile();
    int32_t value = 0;
    for (auto _ : state)
        orv::reg::WriteRegInt("Timeout", ++value);
}
BENCHMARK(BM_SetTimeout);

}  // namespace

BENCHMARK_MAIN();
