// Parse and write of a typical sensor payload of about 1 KiB.
#include <benchmark/benchmark.h>

#include <string>

#include "json/JsonValue.h"

namespace
{

std::string TypicalPayload()
{
    std::string text =
        "{\"device\":\"plant-7/line-2/press-04\",\"ts\":1700000000,\"q\":true,\"kind\":\"meter\","
        "\"site\":{\"name\":\"K\\u00f6ln Nord\",\"zone\":\"Europe\\/Berlin\",\"id\":4711},"
        "\"values\":[";
    for (int i = 0; i < 24; ++i)
    {
        if (i > 0)
            text += ',';
        text += "{\"ts\":" + std::to_string(1700000000 + i) + ",\"t\":" + std::to_string(20 + i) + "." +
                std::to_string(i % 10) + ",\"ok\":" + (i % 3 != 0 ? "true" : "false") + "}";
    }
    text += "],\"note\":\"calibrated \\\"weekly\\\"\"}";
    return text;
}

void BM_JsonParse(benchmark::State& state)
{
    const std::string payload = TypicalPayload();
    for (auto _ : state)
    {
        JsonValue::Ptr root = JsonValue::Parse(payload);
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(payload.size()));
    state.counters["payload_bytes"] = static_cast<double>(payload.size());
}
BENCHMARK(BM_JsonParse);

void BM_JsonStringify(benchmark::State& state)
{
    const JsonValue::Ptr root = JsonValue::Parse(TypicalPayload());
    if (!root)
    {
        state.SkipWithError("payload does not parse");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state)
    {
        std::string text = root->StringifyNarrow();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_JsonStringify);

} // namespace
