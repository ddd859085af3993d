// Cost of one log line: formatted and written to an open file, and formatted and discarded
// when no file is open.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "core/IOGlobals.h"

namespace
{
TIOPtr<CIOGlobals> MakeGlobals()
{
    return TIOPtr<CIOGlobals>::Adopt(CIOGlobals::Create(nullptr, "Driver Bench"));
}

void LogLine(const TIOApi& owner, benchmark::State& state)
{
    uint32_t n = 0;
    for (auto _ : state)
        Log(&owner, LOG_DRIVER, "Subscribed topic '%s' (packet %u, qos %d)", "plant/line1/temperature", ++n, 1);
    state.SetItemsProcessed(state.iterations());
}

void BM_LogLineToFile(benchmark::State& state)
{
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("dravo-logbench-" + std::to_string(::getpid()) + ".log");
    TIOPtr<CIOGlobals> globals = MakeGlobals();
    globals->Logger()->SetFile(path.string().c_str());
    TIOApi owner(globals.Get());
    LogLine(owner, state);
    globals->Logger()->Close();
    std::filesystem::remove(path);
}
BENCHMARK(BM_LogLineToFile);

void BM_LogLineWithoutFile(benchmark::State& state)
{
    TIOPtr<CIOGlobals> globals = MakeGlobals();
    TIOApi owner(globals.Get());
    LogLine(owner, state);
}
BENCHMARK(BM_LogLineWithoutFile);

void BM_TraceContinuation(benchmark::State& state)
{
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("dravo-logbench-tx-" + std::to_string(::getpid()) + ".log");
    TIOPtr<CIOGlobals> globals = MakeGlobals();
    globals->Logger()->SetFile(path.string().c_str());
    TIOApi owner(globals.Get());
    const uint8_t packet[64] = {0x30, 0x3E};
    for (auto _ : state)
        LogDump(&owner, LOG_TX, packet, sizeof(packet));
    state.SetBytesProcessed(state.iterations() * int64_t(sizeof(packet)));
    globals->Logger()->Close();
    std::filesystem::remove(path);
}
BENCHMARK(BM_TraceContinuation);
} // namespace
