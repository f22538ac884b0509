// elamctl's readers of a rule set (tool/ruleset.h) over any bytes: a rules
// file (TOML) or, when the bytes start as registry text, a configuration key
// read back through the driver's loader. A bad input is refused with
// ToolError and nothing else. A rule set that was read is linted, and must
// survive its round trips: the rules file it writes reads back to the same
// text, and the configuration key it writes (where the rule text can carry
// it) loads in the driver as exactly its rules, in the loader's order.
#include "fuzz_support.h"
#include "tool/lint.h"
#include "tool/ruleset.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The rules as the driver loads them: type, data, range and value, in the
// order of the 22 values.
std::vector<std::string> LoadOrder(const elamctl::RuleSet& set) {
    std::vector<const elamctl::RuleRecord*> rules;
    for (const auto& rule : set.rules) rules.push_back(&rule);
    std::stable_sort(rules.begin(), rules.end(), [](const auto* a, const auto* b) {
        return std::make_pair(a->type->number, a->second_value) < std::make_pair(b->type->number, b->second_value);
    });
    std::vector<std::string> identities;
    for (const auto* rule : rules) identities.push_back(elamctl::RuleIdentity(*rule) + (rule->second_value ? "/vps" : ""));
    return identities;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const elamctl::Bytes bytes(data, data + size);
    elamctl::RuleSet set;
    try {
        if (elamctl::LooksLikeRegText(bytes)) {
            set = elamctl::ParseConfigReg(bytes, "fuzz.reg", std::nullopt);
        } else {
            set = elamctl::ParseRulesText(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.toml");
        }
    } catch (const elamctl::ToolError&) {
        return 0;
    }
    const auto findings = elamctl::LintRuleSet(set, elamctl::BuiltInBootCriticalDrivers());
    (void)elamctl::LintText(set, findings);
    (void)elamctl::LintJson("fuzz", set, findings).dump();
    (void)elamctl::MeasureConfig(set);

    // The rules file: written, read, written again, the same text.
    const std::string text = elamctl::RulesFileText(set);
    elamctl::RuleSet reread;
    try {
        reread = elamctl::ParseRulesText(text, "written.toml");
    } catch (const elamctl::ToolError& error) {
        std::fprintf(stderr, "a written rules file does not read back: %s\n%s\n", error.what(), text.c_str());
        FUZZ_CHECK(false);
    }
    FUZZ_CHECK(elamctl::RulesFileText(reread) == text);
    FUZZ_CHECK(LoadOrder(reread) == LoadOrder(set));

    // The configuration key: what the driver loads is the rule set.
    std::string reg;
    try {
        reg = elamctl::ConfigRegText(set, elamctl::ConfigKeyOfService(set.service.value_or("FuzzElam")),
                                     (size & 1) != 0, {});
    } catch (const elamctl::ToolError&) {
        return 0;  // a rule the rule text cannot carry
    }
    const elamctl::RuleSet loaded =
        elamctl::ParseConfigReg(elamctl::Bytes(reg.begin(), reg.end()), "written.reg", set.service);
    FUZZ_CHECK(LoadOrder(loaded) == LoadOrder(set));
    FUZZ_CHECK(loaded.exclusions.size() == set.exclusions.size());
    return 0;
}
