// The reference points of the measurements: plain scans over the loaded
// rules, what any matching must do at the least to look at every rule once.
#pragma once

#include "driver/elam.h"

#include <cstdint>

namespace elam_bench {

// Both walk every list that classification consults (all but RULE_DIGEST_32)
// and compare each rule's DataLength with the length of the fact of its type
// (FactLengths[type]). Their results depend on everything they read.

// Only that: the walk and one length comparison per rule.
std::uint64_t PlainScanLengths(const ULONG (&FactLengths)[RULE_TYPE_COUNT]);

// And one read of every data byte of every rule, eight bytes per load.
std::uint64_t PlainScanBytes(const ULONG (&FactLengths)[RULE_TYPE_COUNT]);

}  // namespace elam_bench
