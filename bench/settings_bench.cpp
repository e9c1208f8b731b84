// The settings store's getter and setter, on a file as the options dialog
// leaves it and on one that carries a 10 MB value besides. A getter looks at
// the file at every call and parses it again only when it has changed; the
// parse of the whole file is measured alone for comparison, as the cost of a
// getter that finds the file changed.

#include "platform/RegFile.h"
#include "platform/SettingsStore.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// range: bytes of the extra value (0: none).
void UseFile(size_t extraBytes)
{
    static const std::string base = "/tmp/orvello-bench-settings-" + std::to_string(::getpid());
    const std::string path = base + "-" + std::to_string(extraBytes) + ".reg";
    ::setenv("ORVELLO_SETTINGS_FILE", path.c_str(), 1);
    ::unlink(path.c_str());
    // A file as the options dialog leaves it: all twenty-four values.
    const char* names[] = {"TempJpgName", "AutoSuspendMode", "JpgType", "Timeout", "CloseToTray", "AutoRestart",
                           "AutoFormResize", "ShowSplash", "AviTempName", "Fps", "DuplicatePicture", "CodecIndex",
                           "OptionsTabIndex", "PrintDateOnImage", "CameraInitTime", "AmbientLight", "Expose",
                           "AutoFps", "AutoAviFileName", "AviFolder", "ServerEnabled", "ServerPort",
                           "AutoPhoneConnect", "LangIndex"};
    for (const char* name : names)
        orv::reg::WriteRegInt(name, 1);
    orv::reg::WriteRegString("TempJpgName", "/a/temp.jpg");
    if (extraBytes > 0)
        orv::reg::WriteRegString("Notes", std::string(extraBytes, 'n'));
}

std::string FileText()
{
    std::ifstream file(orv::reg::SettingsFilePath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A file is kept once its times are older than the store's settling time
// (2 s): the benchmark waits for that, as a running program does after the
// options dialog has written.
void BM_GetTimeout(benchmark::State& state)
{
    UseFile(static_cast<size_t>(state.range(0)));
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    (void)orv::reg::ReadRegInt("Timeout", 1000);
    const uint64_t parsesBefore = orv::reg::SettingsFileReads();
    for (auto _ : state)
        benchmark::DoNotOptimize(orv::reg::ReadRegInt("Timeout", 1000));
    state.counters["parses"] = static_cast<double>(orv::reg::SettingsFileReads() - parsesBefore);
}
BENCHMARK(BM_GetTimeout)->Arg(0)->Arg(10 << 20)->Unit(benchmark::kMicrosecond);

// The getter within 2 s of a change: each call reads and parses the file.
void BM_GetTimeoutOfAYoungFile(benchmark::State& state)
{
    UseFile(static_cast<size_t>(state.range(0)));
    orv::reg::SetSettledTime(std::chrono::hours(1));
    for (auto _ : state)
        benchmark::DoNotOptimize(orv::reg::ReadRegInt("Timeout", 1000));
    orv::reg::SetSettledTime(std::chrono::nanoseconds(-1));
}
BENCHMARK(BM_GetTimeoutOfAYoungFile)->Arg(0)->Arg(10 << 20)->Unit(benchmark::kMicrosecond);

void BM_ParseWholeFile(benchmark::State& state)
{
    UseFile(static_cast<size_t>(state.range(0)));
    const std::string text = FileText();
    for (auto _ : state)
        benchmark::DoNotOptimize(orv::reg::RegFile::Parse(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseWholeFile)->Arg(0)->Arg(10 << 20)->Unit(benchmark::kMicrosecond);

void BM_SetTimeout(benchmark::State& state)
{
    UseFile(static_cast<size_t>(state.range(0)));
    int32_t value = 0;
    for (auto _ : state)
        orv::reg::WriteRegInt("Timeout", ++value);
}
BENCHMARK(BM_SetTimeout)->Arg(0)->Arg(10 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
