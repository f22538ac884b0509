// The block list that the benchmarks load: the shipped list's configuration
// key, and larger lists made from it by varying the rules' data.
#pragma once

#include "hostkernel/hostkernel.h"

#include <string>
#include <vector>

namespace elam_bench {

// The values of the configuration key, rule values and switches alike.
struct BlockList {
    std::vector<hk::RegValue> values;
};

// The shipped list (scale 1), or scale times as many rules: the shipped rules
// first, then scale - 1 copies whose data is varied so that every rule stays
// distinct (the same lengths, the same labels, the same version ranges).
// Built once per scale.
const BlockList& TheBlockList(unsigned scale);

// Replaces the configuration key of the harness's default service with the
// list's values.
void InstallBlockList(const BlockList& list);

// The configuration key of the harness's default service.
const std::u16string& ConfigKey();

}  // namespace elam_bench
