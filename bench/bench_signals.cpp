// Cost of one emission per receiver: one receiver and sixteen, for a signal
// with scalar arguments and for one whose text arguments are copied for
// every receiver.

#include <benchmark/benchmark.h>

#include "pelbo/compat/StringW.h"
#include "pelbo/core/EventSignal.h"

namespace {

void BM_EmitInt(benchmark::State& state)
{
    event::common_signal3<int, unsigned int, void*> signal;
    const int receivers = static_cast<int>(state.range(0));
    long long sum = 0;
    for (int i = 0; i < receivers; ++i)
        signal.connect([&sum](int code, unsigned int kind, void*) { sum += code + static_cast<long long>(kind); });
    for (auto _ : state)
        signal.emit(1, 6, nullptr);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * receivers);
    state.counters["ns_per_receiver"] = benchmark::Counter(
        static_cast<double>(state.iterations() * receivers), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EmitInt)->Arg(1)->Arg(16);

void BM_EmitTexts(benchmark::State& state)
{
    event::common_signal3<CStringW, CStringW, CStringW> signal;
    const int receivers = static_cast<int>(state.range(0));
    size_t length = 0;
    for (int i = 0; i < receivers; ++i)
        signal.connect([&length](CStringW a, CStringW b, CStringW c) {
            length += static_cast<size_t>(a.GetLength() + b.GetLength() + c.GetLength());
        });
    const CStringW version(L"2.4.17");
    const CStringW url(L"https://downloads.example.test/client/setup-2.4.17-full-installer.exe");
    const CStringW md5(L"9e107d9d372bb6826bd81d3542a419d6");
    for (auto _ : state)
        signal.emit(version, url, md5);
    benchmark::DoNotOptimize(length);
    state.SetItemsProcessed(state.iterations() * receivers);
    state.counters["ns_per_receiver"] = benchmark::Counter(
        static_cast<double>(state.iterations() * receivers), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EmitTexts)->Arg(1)->Arg(16);

}  // namespace
