// One case, one run, counted: the driver for the instruction counts under
//
//   valgrind --tool=callgrind --collect-atstart=no elam_bench_count CASE SCALE [--elam-...=PATH]
//
// The case is set up and run once uncounted (so that first-call costs such as
// lazy symbol binding stay out), then run once more with collection switched
// on around the run alone. Prints the case's figures (pool in use, rules) as
// one JSON line. "elam_bench_count --list" prints every case and scale.
#include "bench/cases.h"

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    std::string name;
    unsigned scale = 0;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (elam_bench::ParseInputOption(arg)) continue;
        if (arg == "--list") {
            list = true;
        } else if (name.empty()) {
            name = arg;
        } else if (scale == 0) {
            scale = static_cast<unsigned>(std::strtoul(arg.c_str(), nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: elam_bench_count [--list] CASE SCALE [--elam-...=PATH]\n");
            return 2;
        }
    }
    for (const auto& info : elam_bench::AllCases()) {
        if (list) {
            for (unsigned s : info.scales) std::printf("%s %u\n", info.name.c_str(), s);
            continue;
        }
        if (info.name != name) continue;
        bool known_scale = false;
        for (unsigned s : info.scales) known_scale = known_scale || s == scale;
        if (!known_scale) break;

        auto c = info.make(scale);
        c->Run();
        if (c->SettleEvery() != 0) c->Settle();
        CALLGRIND_TOGGLE_COLLECT;
        c->Run();
        CALLGRIND_TOGGLE_COLLECT;
        std::printf("{\"case\": \"%s\", \"scale\": %u", name.c_str(), scale);
        for (const auto& figure : c->Figures()) std::printf(", \"%s\": %.0f", figure.name.c_str(), figure.value);
        std::printf("}\n");
        if (c->SettleEvery() != 0) c->Settle();
        return 0;
    }
    if (list) return 0;
    std::fprintf(stderr, "elam_bench_count: no case %s at scale %u\n", name.c_str(), scale);
    return 2;
}
