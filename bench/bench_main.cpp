// Timings of the driver's own code on the host kernel (Google Benchmark):
// every case of cases.cpp at every scale of the block list.
//
//   elam_bench --elam-config=FILE.reg --elam-fixtures=DIR --elam-demo=DIR [benchmark options]
#include "bench/cases.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// The case being measured. Cases share the one host kernel, so only one is
// set up at a time; it is kept over the repetitions of its benchmark.
std::unique_ptr<elam_bench::Case> current;
std::string current_name;

elam_bench::Case& CaseFor(const elam_bench::CaseInfo& info, unsigned scale, const std::string& name) {
    if (current_name != name) {
        current.reset();
        current = info.make(scale);
        current_name = name;
    }
    return *current;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (i == 0 || !elam_bench::ParseInputOption(argv[i])) args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    for (const auto& info : elam_bench::AllCases()) {
        for (unsigned scale : info.scales) {
            const std::string name = info.name + "/x" + std::to_string(scale);
            benchmark::RegisterBenchmark(name.c_str(), [&info, scale, name](benchmark::State& state) {
                elam_bench::Case& c = CaseFor(info, scale, name);
                const std::size_t every = c.SettleEvery();
                std::size_t runs = 0;
                for (auto _ : state) {
                    c.Run();
                    if (every != 0 && ++runs == every) {
                        state.PauseTiming();
                        c.Settle();
                        state.ResumeTiming();
                        runs = 0;
                    }
                }
                if (runs != 0) c.Settle();
                for (const auto& figure : c.Figures()) {
                    if (figure.name.rfind("pool_", 0) != 0) state.counters[figure.name] = figure.value;
                }
            });
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    current.reset();
    return 0;
}
