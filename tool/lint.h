// Lint of a rule set: the rules the driver would load but that can never
// match or that are dangerous, and (from a .reg) the strings and values the
// driver does not load as meant.
#pragma once

#include "tool/ruleset.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace elamctl {

struct Finding {
    Place place;
    // never-matches, empty-range, duplicate, skipped, wrong-type,
    // unknown-value, broad-exclusion, boot-critical, all-zero-guid,
    // switched-off
    std::string kind;
    std::string message;
};

// The file names of drivers that Windows needs to boot, from the shipped
// list (data/boot-critical-drivers.txt, compiled in), or from a file in the
// same format: one name a line, '#' starts a comment.
std::vector<std::string> BuiltInBootCriticalDrivers();
std::vector<std::string> ReadBootCriticalDrivers(const std::string& path);

std::vector<Finding> LintRuleSet(const RuleSet& set, const std::vector<std::string>& boot_critical);

nlohmann::ordered_json LintJson(const std::string& file, const RuleSet& set, const std::vector<Finding>& findings);
std::string LintText(const RuleSet& set, const std::vector<Finding>& findings);

}  // namespace elamctl
