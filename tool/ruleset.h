// A rule set: the whole configuration of the driver (switches, exclusions,
// rules) as a rules file (TOML, written by people and by the importers) and
// as the configuration key in registry text (.reg).
//
// Rules file:
//
//   service = "BootGuardElam"          optional; the service whose SP\Parameters key is meant
//   exclusions = ['\oem\oldfw.sys']    "ExcludedDrivers": image path suffixes never classified
//
//   [switches]                         each optional; an absent switch is not written
//   enabled = true                     "Enabled": true, false or a DWORD number
//   driver_blocking = true             "DriverBlocking": true (1), false (0) or a DWORD number
//   block_failed_code_integrity = true sets bit 31 of "DriverBlocking" (and loading, bit 0,
//                                      when driver_blocking is not given)
//
//   [[rule]]
//   label = "fw 1.x"                   optional; no ';'
//   type = "original-name-version"     a name as `elamctl rule` takes it, or the number 0 to 10
//   value = "fwfilter.sys"             text for the name types, hex (or a GUID) for the others
//   # hex = "6600..."                  instead of value: the rule's data bytes for any type
//   min = "1.0.0.0"                    the version range, both bounds inclusive, only and
//   max = "1.65535.65535.65535"        always for the version-range types 6, 7, 8, 10
//   vps = true                         optional: the second value DrvBlockType?Vps
//
// A rule goes into "DrvBlockType?" (type 10: "DrvBlockType:") unless it says
// vps = true. The reader accepts every rule that the driver would load, even
// one that can never match; `elamctl lint` reports those.
#pragma once

#include "tool/common.h"
#include "tool/rule.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace elamctl {

// Where something stands: "rules.toml:12", or "config.reg: DrvBlockType5[3]"
// (the value and the string's index in it, counting from 0).
struct Place {
    std::string file;
    std::size_t line = 0;     // TOML: 1-based line; 0 when unknown
    std::string value;        // .reg: the value name
    std::size_t index = 0;    // .reg: the string's index in the value
    bool indexed = false;     // whether index applies

    std::string Text() const;
};

struct RuleRecord {
    const RuleType* type = nullptr;
    std::string label;  // UTF-8
    Bytes data;
    std::optional<VersionRange> range;
    bool second_value = false;  // DrvBlockType?Vps
    Place place;
    std::string comment;  // written above the rule in a rules file; optional
};

struct Switch {
    std::uint32_t value = 0;
    Place place;
};

struct Exclusion {
    std::string text;  // UTF-8
    Place place;
};

// A value of the configuration key that the driver does not read as its
// loader would expect, or a string of a rule value that its loader skips.
struct ReadProblem {
    Place place;
    std::string kind;     // "skipped", "wrong-type"
    std::string message;
};

struct RuleSet {
    std::optional<std::string> service;
    std::optional<Switch> enabled;
    std::optional<Switch> driver_blocking;
    std::vector<Exclusion> exclusions;
    std::vector<RuleRecord> rules;
    std::vector<ReadProblem> problems;  // from a .reg only
    std::vector<std::string> comments;  // lines written at the top of a rules file
};

// The 22 rule value names: "DrvBlockType5", "DrvBlockType5Vps", type 10 with ':'.
std::string RuleValueName(int type, bool second_value);

// The configuration key of a service: "XyzElam" (a service name, or a whole
// key path) gives \Registry\Machine\SYSTEM\CurrentControlSet\Services\XyzSP\Parameters.
// ToolError when the name does not end in "Elam".
std::u16string ConfigKeyOfService(std::string_view service);

// Reads a rules file. ToolError naming the file (and line) for anything that
// is not a rules file: malformed TOML, an unknown key or type, bad hex, a bad
// version, a missing or extra version range, a label holding ';'.
RuleSet ReadRulesFile(const std::string& path);
// The same for text already read; name stands for the file in errors.
RuleSet ParseRulesText(std::string_view text, const std::string& name);

// The rules file text of a rule set.
std::string RulesFileText(const RuleSet& set);

// Several rule sets in order, as one: rules and exclusions one after another;
// a switch or service given by more than one file must agree (ToolError).
RuleSet MergeRuleSets(std::vector<RuleSet> sets);

// What makes two rules the same rule for the driver: type, data (text types
// compared as the driver compares them, ignoring case) and version range.
std::string RuleIdentity(const RuleRecord& rule);

// Drops every rule that is the same rule as an earlier one; returns how many.
std::size_t DropDuplicateRules(std::vector<RuleRecord>& rules);

// The text of one rule string as it stands in its value: name;data[;range].
std::u16string RuleString(const RuleRecord& rule);

// The longest string, in UTF-16 characters, that the driver's multi-string
// reader takes from a value.
std::size_t MaxStringChars();

// The configuration key in registry text as the registry editor writes it,
// UTF-16LE with a byte-order mark unless utf8. ToolError for a rule that the
// rule text cannot carry.
std::string ConfigRegText(const RuleSet& set, std::u16string_view config_key, bool utf8,
                          const std::vector<std::string>& comments);

// The values of the configuration key that a rule set makes, in the order
// written: the switches it sets, then the rule values holding rules (types 0
// to 10, first value then second), then "ExcludedDrivers".
struct ConfigValue {
    std::string name;
    std::uint32_t type;  // REG_DWORD or REG_MULTI_SZ
    Bytes data;
};
std::vector<ConfigValue> ConfigValues(const RuleSet& set);

// How large a configuration is: the registry data of its values, and the pool
// the driver allocates when it loads them (one block per rule and per
// exclusion, without the pool's own headers).
struct ConfigSize {
    std::size_t rules = 0;
    std::size_t exclusions = 0;
    std::size_t values = 0;
    std::size_t registry_bytes = 0;
    std::size_t pool_bytes = 0;
};
ConfigSize MeasureConfig(const RuleSet& set);

// Reads the configuration key from a .reg file: the key of the service given,
// else the one key named ...\Services\<name>SP\Parameters in the file. Each
// rule string is put through the driver's own LoadRuleValue: what it loads
// becomes a rule, what it skips a problem (with the reason).
RuleSet ReadConfigReg(const std::string& path, const std::optional<std::string>& service);
// The same for bytes already read (resets the host kernel, as ReadConfigReg does).
RuleSet ParseConfigReg(const Bytes& bytes, const std::string& name, const std::optional<std::string>& service);

// Whether a file holds registry text (by its header) rather than a rules file.
bool LooksLikeRegText(const Bytes& bytes);

// The data of a rule as a rules file writes it: the text for the text types
// when it is plain text, else nullopt (then written as hex).
std::optional<std::string> DataAsText(const RuleType& type, const Bytes& data);

}  // namespace elamctl
