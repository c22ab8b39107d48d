// Wide <-> UTF-8 conversion cost for a text that fits the converters' stack
// buffer and for one that takes the exact-size path.

#include <benchmark/benchmark.h>

#include <string>

#include "BenchText.h"
#include "pelbo/compat/TextConvert.h"

namespace {

using Bench::MakeWide;

void BM_ToMultiByte(benchmark::State& state)
{
    const std::wstring text = MakeWide(static_cast<size_t>(state.range(0)));
    size_t produced = 0;
    for (auto _ : state) {
        std::string out = ToMultiByte(text.c_str(), CP_UTF8);
        produced = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * produced));
}

void BM_ToWide(benchmark::State& state)
{
    const std::string text = ToMultiByte(MakeWide(static_cast<size_t>(state.range(0))).c_str(), CP_UTF8);
    for (auto _ : state) {
        std::wstring out = ToWide(text.c_str(), CP_UTF8);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_ToMultiByte)->Arg(1 << 10)->Arg(64 << 10);
BENCHMARK(BM_ToWide)->Arg(1 << 10)->Arg(64 << 10);
