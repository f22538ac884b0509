#include "tool/lint.h"

#include "hostkernel/hostkernel.h"
#include "tool/facts.h"

#include <map>
#include <sstream>

namespace elamctl {

// The shipped list, generated from data/boot-critical-drivers.txt.
extern const char* const kBootCriticalDriversText;

namespace {

// The hash lengths of the algorithms the system hashes images and
// certificates with: SHA-1, SHA-256, SHA-384, SHA-512.
bool IsHashLength(std::size_t n) { return n == 20 || n == 32 || n == 48 || n == 64; }

std::vector<std::string> ParseNameList(std::string_view text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (!line.empty()) names.emplace_back(line);
        start = end + 1;
    }
    return names;
}

std::u16string Utf16Text(const Bytes& data) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    return text;
}

std::string RangeText(const VersionRange& range) {
    return VersionText(range.min) + " to " + VersionText(range.max);
}

// The rule as a finding shows it: its label, else its type.
std::string RuleName(const RuleRecord& rule) {
    return rule.label.empty() ? std::string(rule.type->name) + " rule" : "rule \"" + rule.label + "\"";
}

// A file name of the list that the rule would block, if any: by file name or
// OriginalFilename (UTF-16 types), or by the PDB name of the same stem.
std::optional<std::string> BlockedBootDriver(const RuleRecord& rule,
                                             const std::map<std::u16string, std::string>& boot_critical) {
    std::u16string text;
    switch (rule.type->number) {
    case 0: case 6: case 9: case 10:
        if (rule.data.size() % 2 != 0) return std::nullopt;
        text = Utf16Text(rule.data);
        break;
    case 2: case 7: {
        std::string pdb(rule.data.begin(), rule.data.end());
        if (pdb.size() < 4 || hk::FoldCase(hk::Utf8ToUtf16(pdb.substr(pdb.size() - 4))) != hk::FoldCase(u".pdb")) {
            return std::nullopt;
        }
        text = hk::Utf8ToUtf16(pdb.substr(0, pdb.size() - 4)) + u".sys";
        break;
    }
    default:
        return std::nullopt;
    }
    const auto found = boot_critical.find(hk::FoldCase(text));
    if (found == boot_critical.end()) return std::nullopt;
    return found->second;
}

// An exclusion is a suffix of the image path. Without a path separator and
// without a name of a few characters before the extension, it matches every
// driver whose path merely ends the same way: .sys, s.sys, sys.
bool IsBroadExclusion(const std::string& text) {
    if (text.find_first_of("\\/") != std::string::npos) return false;
    const std::size_t dot = text.rfind('.');
    return dot == std::string::npos || dot < 3;
}

}  // namespace

std::vector<std::string> BuiltInBootCriticalDrivers() { return ParseNameList(kBootCriticalDriversText); }

std::vector<std::string> ReadBootCriticalDrivers(const std::string& path) {
    const Bytes bytes = ReadWholeFile(path);
    std::vector<std::string> names = ParseNameList(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (names.empty()) throw ToolError(path, "lists no driver (one file name a line, '#' starts a comment)");
    return names;
}

std::vector<Finding> LintRuleSet(const RuleSet& set, const std::vector<std::string>& boot_critical_names) {
    std::vector<Finding> findings;
    auto add = [&](const Place& place, std::string kind, std::string message) {
        findings.push_back({place, std::move(kind), std::move(message)});
    };
    for (const ReadProblem& problem : set.problems) add(problem.place, problem.kind, problem.message);

    if (set.enabled && set.enabled->value == 0) {
        add(set.enabled->place, "switched-off", "Enabled is 0: the driver loads no rule and no exclusion");
    }
    if (set.driver_blocking && set.driver_blocking->value == 0) {
        add(set.driver_blocking->place, "switched-off", "DriverBlocking is 0: the driver loads no rule and no exclusion");
    }

    std::map<std::u16string, std::string> boot_critical;
    for (const std::string& name : boot_critical_names) boot_critical.emplace(hk::FoldCase(hk::Utf8ToUtf16(name)), name);

    std::map<std::string, const RuleRecord*> first_of;
    for (const RuleRecord& rule : set.rules) {
        const std::string who = RuleName(rule);
        const std::u16string rule_string = RuleString(rule);
        if (rule_string.size() > MaxStringChars()) {
            add(rule.place, "skipped",
                who + ": its rule string of " + std::to_string(rule_string.size()) +
                    " characters is longer than the driver's multi-string reader takes (" +
                    std::to_string(MaxStringChars()) + ")");
        }
        if (std::optional<std::string> why = NeverMatchReason(*rule.type, rule.data)) {
            add(rule.place, "never-matches", who + ": " + *why);
        } else if (rule.type->number == 1) {
            add(rule.place, "never-matches", who + ": no step of the classification consults digest32 rules");
        } else if ((rule.type->number == 4 || rule.type->number == 5 || rule.type->number == 8) &&
                   !IsHashLength(rule.data.size())) {
            add(rule.place, "never-matches",
                who + ": " + std::to_string(rule.data.size()) +
                    " bytes, a length that no hash the system passes has (SHA-1 20, SHA-256 32, SHA-384 48, "
                    "SHA-512 64)");
        }
        if (rule.range) {
            if (rule.range->min > rule.range->max) {
                add(rule.place, "empty-range",
                    who + ": the range " + RangeText(*rule.range) + " is empty (lower bound above upper bound)");
            } else if (rule.range->min == ~0ull) {
                add(rule.place, "empty-range",
                    who + ": the range holds only 65535.65535.65535.65535, which stands for an unknown version");
            }
        }
        if (rule.type->number == 3 && rule.data == Bytes(16, 0)) {
            add(rule.place, "all-zero-guid",
                who + ": an all-zero PDB GUID matches every driver without a debug record");
        }
        if (std::optional<std::string> name = BlockedBootDriver(rule, boot_critical)) {
            add(rule.place, "boot-critical",
                who + " (" + rule.type->name + (rule.range ? ", versions " + RangeText(*rule.range) : "") +
                    ") would block " + *name + ", a driver Windows needs to boot");
        }
        const auto [it, fresh] = first_of.emplace(RuleIdentity(rule), &rule);
        if (!fresh) add(rule.place, "duplicate", who + ": the same rule as " + it->second->place.Text());
    }

    for (const Exclusion& exclusion : set.exclusions) {
        if (IsBroadExclusion(exclusion.text)) {
            add(exclusion.place, "broad-exclusion",
                "the exclusion \"" + exclusion.text +
                    "\" excludes every driver whose path ends in it, a whole class of drivers; start it at a "
                    "path separator (\\" + exclusion.text + ") or name a whole file");
        }
    }
    return findings;
}

nlohmann::ordered_json LintJson(const std::string& file, const RuleSet& set, const std::vector<Finding>& findings) {
    const ConfigSize size = MeasureConfig(set);
    nlohmann::ordered_json out;
    out["file"] = file;
    out["rules"] = size.rules;
    out["exclusions"] = size.exclusions;
    out["registry_bytes"] = size.registry_bytes;
    out["pool_bytes"] = size.pool_bytes;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Finding& f : findings) {
        nlohmann::ordered_json item;
        item["place"] = f.place.Text();
        item["file"] = f.place.file;
        item["line"] = f.place.line ? nlohmann::ordered_json(f.place.line) : nlohmann::ordered_json(nullptr);
        item["value"] = f.place.value.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(f.place.value);
        item["index"] = f.place.indexed ? nlohmann::ordered_json(f.place.index) : nlohmann::ordered_json(nullptr);
        item["kind"] = f.kind;
        item["message"] = f.message;
        list.push_back(std::move(item));
    }
    out["findings"] = std::move(list);
    return out;
}

std::string LintText(const RuleSet& set, const std::vector<Finding>& findings) {
    std::ostringstream out;
    for (const Finding& f : findings) out << f.place.Text() << ": " << f.kind << ": " << f.message << '\n';
    const ConfigSize size = MeasureConfig(set);
    out << findings.size() << (findings.size() == 1 ? " finding" : " findings") << " in " << size.rules
        << " rules and " << size.exclusions << " exclusions (" << size.registry_bytes << " bytes of registry data, "
        << size.pool_bytes << " bytes of pool when loaded)\n";
    return out.str();
}

}  // namespace elamctl
