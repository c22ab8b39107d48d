// The references the micro benchmarks are measured against: glibc's iconv
// for the text converters, and a plain vector of std::function called under
// a recursive mutex for the signals (the least a thread-safe emission can
// cost).

#include <benchmark/benchmark.h>
#include <iconv.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "BenchText.h"

namespace {

// Converts with iconv into a buffer of the worst-case size, as a careful
// caller of iconv would.
std::string IconvConvert(iconv_t cd, const char* in, size_t inBytes, size_t outCapacity)
{
    std::string out(outCapacity, '\0');
    char* src = const_cast<char*>(in);
    char* dst = out.data();
    size_t left = outCapacity;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &src, &inBytes, &dst, &left) == static_cast<size_t>(-1))
        return std::string();
    out.resize(outCapacity - left);
    return out;
}

void BM_Ref_IconvToMultiByte(benchmark::State& state)
{
    const std::wstring text = Bench::MakeWide(static_cast<size_t>(state.range(0)));
    iconv_t cd = iconv_open("UTF-8", "WCHAR_T");
    size_t produced = 0;
    for (auto _ : state) {
        std::string out = IconvConvert(cd, reinterpret_cast<const char*>(text.data()),
                                       text.size() * sizeof(wchar_t), text.size() * 4);
        produced = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * produced));
}

void BM_Ref_IconvToWide(benchmark::State& state)
{
    const std::string text = ToMultiByte(Bench::MakeWide(static_cast<size_t>(state.range(0))).c_str(), CP_UTF8);
    iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
    for (auto _ : state) {
        std::string out = IconvConvert(cd, text.data(), text.size(), text.size() * sizeof(wchar_t));
        std::wstring wide(reinterpret_cast<const wchar_t*>(out.data()), out.size() / sizeof(wchar_t));
        benchmark::DoNotOptimize(wide.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Ref_FunctionVector(benchmark::State& state)
{
    std::recursive_mutex lock;
    std::vector<std::function<void(int, unsigned, void*)>> receivers;
    long long sum = 0;
    for (int i = 0; i < state.range(0); ++i)
        receivers.emplace_back([&sum](int code, unsigned kind, void*) { sum += code + static_cast<long long>(kind); });
    for (auto _ : state) {
        std::lock_guard<std::recursive_mutex> guard(lock);
        for (auto& receiver : receivers)
            receiver(1, 6, nullptr);
    }
    benchmark::DoNotOptimize(sum);
}

}  // namespace

BENCHMARK(BM_Ref_IconvToMultiByte)->Arg(1 << 10)->Arg(64 << 10);
BENCHMARK(BM_Ref_IconvToWide)->Arg(1 << 10)->Arg(64 << 10);
BENCHMARK(BM_Ref_FunctionVector)->Arg(1)->Arg(16);
