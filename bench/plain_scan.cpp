#include "bench/plain_scan.h"

#include <cstring>

namespace elam_bench {

std::uint64_t PlainScanLengths(const ULONG (&FactLengths)[RULE_TYPE_COUNT]) {
    std::uint64_t sum = 0;
    for (LONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        if (type == RULE_DIGEST_32) continue;
        const PLIST_ENTRY head = &g_RuleLists[type];
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
            sum += CONTAINING_RECORD(link, RULE_ENTRY, Links)->DataLength == FactLengths[type];
        }
    }
    return sum;
}

std::uint64_t PlainScanBytes(const ULONG (&FactLengths)[RULE_TYPE_COUNT]) {
    std::uint64_t sum = 0;
    for (LONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        if (type == RULE_DIGEST_32) continue;
        const PLIST_ENTRY head = &g_RuleLists[type];
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
            const RULE_ENTRY* rule = CONTAINING_RECORD(link, RULE_ENTRY, Links);
            const ULONG length = rule->DataLength;
            sum += length == FactLengths[type];
            ULONG i = 0;
            for (; i + 8 <= length; i += 8) {
                std::uint64_t word;
                std::memcpy(&word, rule->Data + i, sizeof(word));
                sum += word;
            }
            for (; i < length; ++i) sum += rule->Data[i];
        }
    }
    return sum;
}

}  // namespace elam_bench
