// The block-list importers (tool/importers.h) over any bytes: a bad list is
// refused with ToolError and nothing else; an imported rule set writes out as
// a rules file that reads back, and as a configuration key that the driver
// loads in full, where the rule text can carry it.
#pragma once

#include "fuzz_support.h"
#include "tool/importers.h"

namespace fuzz {

inline void CheckImport(const elamctl::ImportResult& result) {
    (void)elamctl::ImportSummaryText(result.summary);
    (void)elamctl::ImportSummaryJson(result.summary).dump();
    const std::string text = elamctl::RulesFileText(result.set);
    try {
        const elamctl::RuleSet reread = elamctl::ParseRulesText(text, "imported.toml");
        FUZZ_CHECK(reread.rules.size() == result.set.rules.size());
    } catch (const elamctl::ToolError& error) {
        std::fprintf(stderr, "an imported rule set does not read back: %s\n", error.what());
        FUZZ_CHECK(false);
    }
    std::string reg;
    try {
        reg = elamctl::ConfigRegText(result.set, elamctl::ConfigKeyOfService("FuzzElam"), true, {});
    } catch (const elamctl::ToolError&) {
        return;
    }
    const elamctl::RuleSet loaded = elamctl::ParseConfigReg(elamctl::Bytes(reg.begin(), reg.end()), "imported.reg",
                                                            std::string("FuzzElam"));
    FUZZ_CHECK(loaded.rules.size() == result.set.rules.size());
    FUZZ_CHECK(loaded.problems.empty());
}

}  // namespace fuzz
