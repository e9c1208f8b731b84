// Downloading a 100 KiB picture file from the simulated phone without
// latency, on the real clock: open, 100 blocks of 1024 bytes and the end
// reply, close. Each exchange sleeps 1 ms before its fetch, so the floor is
// the time of as many 1 ms sleeps of the same clock; the ratio of the two is
// printed at the end.

#include "platform/Clock.h"
#include "phone/PhoneLink.h"
#include "sim/SimBus.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr size_t kFileSize = 100 * 1024;
// Open, the blocks, the one-byte end reply, close.
constexpr int kExchanges = 1 + static_cast<int>(kFileSize / 1024) + 1 + 1;
constexpr char kPath[] = "/a/temp.jpg";

struct Phone {
    Phone() : bus(Options())
    {
        std::vector<uint8_t> contents(kFileSize);
        for (size_t i = 0; i < contents.size(); ++i)
            contents[i] = static_cast<uint8_t>(i * 31);
        bus.Phone().PutFile(kPath, std::move(contents));
        auto pipe = bus.Open("sim:usb-1-0");
        if (pipe && pipe->ClaimInterface(orv::phone::kTestCommandInterface))
            link.Attach(std::move(pipe));
    }
    static orv::sim::SimPhone::Options Options()
    {
        orv::sim::SimPhone::Options options;
        options.startInTestMode = true;
        return options;
    }
    orv::sim::SimBus bus;
    orv::phone::PhoneLink link;
};

void DownloadPicture(benchmark::State& state)
{
    Phone phone;
    std::vector<uint8_t> picture;
    picture.reserve(kFileSize);
    for (auto _ : state) {
        picture.clear();
        int32_t total = 0;
        if (phone.link.OpenPhoneFile(kPath, 0) != orv::phone::kOk ||
            phone.link.ReadPhoneFile(picture, total) != orv::phone::kOk || phone.link.ClosePhoneFile() != orv::phone::kOk ||
            total != static_cast<int32_t>(kFileSize)) {
            state.SkipWithError("download failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileSize));
}

// The same download on a clock whose sleeps cost nothing: what the link
// itself spends per download (packets, checks, the turn taken per block).
void DownloadPictureCpu(benchmark::State& state)
{
    orv::ManualClock clock;
    orv::SetClock(&clock);
    DownloadPicture(state);
    orv::SetClock(nullptr);
    state.counters["per_exchange"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kExchanges, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The floor: the 1 ms sleeps the exchanges of one download make, alone.
void ProtocolSleeps(benchmark::State& state)
{
    for (auto _ : state) {
        for (int i = 0; i < kExchanges; ++i)
            orv::TheClock().Sleep(1);
    }
}

BENCHMARK(ProtocolSleeps)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DownloadPicture)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DownloadPictureCpu)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto floor = times_.find("ProtocolSleeps/min_time:2.000");
        const auto path = times_.find("DownloadPicture/min_time:2.000");
        if (floor == times_.end() || path == times_.end() || floor->second <= 0)
            return;
        std::printf("100 KiB file in %d exchanges: download %.3f ms, %d sleeps of 1 ms %.3f ms, "
                    "ratio %.3f (target 1.10 or less)\n",
                    kExchanges, path->second, kExchanges, floor->second, path->second / floor->second);
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
