// One rule in the registry text of the rule values: name;data for the plain
// types, name;data;range for the version-range types, data and range in
// upper-case hex.
#pragma once

#include "tool/common.h"
#include "tool/facts.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace elamctl {

enum class RuleData {
    Utf16,  // UTF-16LE text
    Ansi,   // 8-bit text
    Raw,    // bytes
};

struct RuleType {
    int number;
    const char* name;  // file-name, digest32, ...
    RuleData data;
    bool version_range;
    std::size_t exact_length;  // the only data length matching accepts; 0: any
};

// All eleven, by number.
const std::vector<RuleType>& RuleTypes();

// A rule type by number (0 to 10) or name. ToolError for anything else.
const RuleType& ParseRuleType(std::string_view text);

// A dotted four-part version a.b.c.d, each part 0 to 65535, as the 64-bit
// file version. ToolError for anything else.
std::uint64_t ParseVersion(std::string_view text);

struct VersionRange {
    std::uint64_t min;
    std::uint64_t max;
};

// The rule text. The data must already suit the type (CheckRuleData).
std::string FormatRule(const RuleType& type, std::string_view label, const Bytes& data,
                       const std::optional<VersionRange>& range);

// The data of a rule from its value on the command line: the text in the
// type's encoding for the text types, the bytes for the others (hex; for
// pdb-guid also the {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx} form). ToolError for
// a value that the driver could never match.
Bytes RuleDataFromValue(const RuleType& type, std::string_view value);

// The same data without the checks: ToolError only for a value that gives no
// bytes (bad hex, empty).
Bytes EncodeRuleValue(const RuleType& type, std::string_view value);

// Why the driver could never match a rule of this type with this data (a
// length the type's facts never have, a file name with directories), or
// nullopt.
std::optional<std::string> NeverMatchReason(const RuleType& type, const Bytes& data);

// Refuses a label that cannot stand in the rule text.
void CheckLabel(std::string_view label);

// Refuses a range with min above max, or a range given to a type without one
// (or missing for a type with one).
void CheckRange(const RuleType& type, const std::optional<VersionRange>& range);

// One rule of each type that the facts of a file allow; the version-range
// types use the range given, else the file's own version as both bounds.
struct TypedRule {
    const RuleType* type;
    std::string text;
};
std::vector<TypedRule> RulesFromFacts(const ImageFacts& facts, std::string_view file_name, std::string_view label,
                                      const std::optional<VersionRange>& range);

}  // namespace elamctl
