// The measured cases of the driver's own code, shared by the timing
// benchmarks (bench_main.cpp, Google Benchmark) and the instruction counts
// (count_main.cpp, under callgrind): each case is set up once, then run as
// often as the measurement wants.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace elam_bench {

// Where the inputs live; set from the command line (--elam-*=PATH).
struct Inputs {
    std::string config_reg;   // the shipped block list's configuration key, registry text
    std::string fixture_dir;  // tests/fixtures images of the build
    std::string demo_dir;     // the demo's sample drivers of the build
};
Inputs& TheInputs();
// Takes one --elam-*=PATH option; false when arg is none of them.
bool ParseInputOption(std::string_view arg);

// Stops the measurement with a message: a setup that cannot be what it
// claims to be measures nothing.
[[noreturn]] void Fail(const std::string& message);

// A figure that a case reports besides its cost, e.g. the pool in use.
struct Figure {
    std::string name;
    double value;
};

class Case {
public:
    virtual ~Case() = default;
    // One operation: the part that is measured.
    virtual void Run() = 0;
    // What must happen between two operations, outside the measurement (e.g.
    // freeing what a load built); called after at most SettleEvery() runs.
    virtual void Settle() {}
    virtual std::size_t SettleEvery() const { return 0; }  // 0: never needed
    // Figures about the last run (pool in use, rules, bytes).
    virtual std::vector<Figure> Figures() { return {}; }
};

struct CaseInfo {
    std::string name;             // e.g. "classify/no-match-image"
    std::vector<unsigned> scales; // multiples of the shipped block list
    std::function<std::unique_ptr<Case>(unsigned scale)> make;
};

// Every case, in the order of the tables.
const std::vector<CaseInfo>& AllCases();

}  // namespace elam_bench
