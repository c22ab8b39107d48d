// Runs the micro benchmarks and prints each of ours beside its reference as
// table rows "path | ours | reference | ratio | target" (times in ns; the
// ratio is reference time / our time, above 1 when we are faster).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class Collector : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations > 0)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> times;
};

struct Pair {
    const char* path;
    const char* ours;
    const char* reference;
    double perItems;  // divide both times by this (receivers per emission)
    const char* target;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    const Pair pairs[] = {
        {"ToMultiByte 1 KiB (ns)", "BM_ToMultiByte/1024", "BM_Ref_IconvToMultiByte/1024", 1, "ratio >= 0.5 (iconv; 2 passes)"},
        {"ToMultiByte 64 KiB (ns)", "BM_ToMultiByte/65536", "BM_Ref_IconvToMultiByte/65536", 1, "ratio >= 0.5 (iconv; 2 passes)"},
        {"ToWide 1 KiB (ns)", "BM_ToWide/1024", "BM_Ref_IconvToWide/1024", 1, "ratio >= 1 (iconv)"},
        {"ToWide 64 KiB (ns)", "BM_ToWide/65536", "BM_Ref_IconvToWide/65536", 1, "ratio >= 1 (iconv)"},
        {"emit, 1 receiver (ns/receiver)", "BM_EmitInt/1", "BM_Ref_FunctionVector/1", 1, "ratio >= 0.5 (bare calls)"},
        {"emit, 16 receivers (ns/receiver)", "BM_EmitInt/16", "BM_Ref_FunctionVector/16", 16, "ratio >= 0.5 (bare calls)"},
        {"sign-in result, full user record (ns/record)", "BM_AccountLoginResult", "BM_Ref_JsonUserRecord", 1, "ratio >= 0.5 (jsoncpp + map)"},
    };
    for (const Pair& pair : pairs) {
        const auto ours = collector.times.find(pair.ours);
        const auto reference = collector.times.find(pair.reference);
        if (ours == collector.times.end() || reference == collector.times.end())
            continue;
        const double o = ours->second / pair.perItems;
        const double r = reference->second / pair.perItems;
        std::printf("%-48s | %14.1f | %14.1f | %7.2f | %s\n", pair.path, o, r, o > 0 ? r / o : 0.0, pair.target);
    }
    benchmark::Shutdown();
    return 0;
}
