// Import of published block lists into rule sets:
//
// - LOLDrivers samples (CSV, columns id, original_filename, file_version,
//   authentihash_sha256, and for comments filename, category, company):
//   an image-hash rule from each Authenticode SHA-256; an original-name rule
//   from each OriginalFilename, with the exact version as its range
//   (original-name-version) where file_version is a clean a.b.c.d, without a
//   range (original-name) otherwise.
// - App Control (WDAC) policy XML such as the recommended driver block rules:
//   Deny rules by Authenticode SHA-256 flat hash (FriendlyName "... Hash
//   Sha256") as image-hash rules; FileAttrib rules, and Deny rules by file
//   name, as original-name-version rules over [MinimumFileVersion,
//   MaximumFileVersion] (an absent bound: 0.0.0.0 or 65535.65535.65535.65535).
//
// Nothing is made from an empty field; identical rules are made once. The
// summary counts what was made, what was dropped as a duplicate, and what was
// skipped and why.
#pragma once

#include "tool/ruleset.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace elamctl {

// Counts by name, in the order the names first came up.
class Tally {
public:
    void Add(const std::string& name, std::size_t n = 1);
    std::size_t Total() const;
    const std::vector<std::pair<std::string, std::size_t>>& Items() const { return items_; }

private:
    std::vector<std::pair<std::string, std::size_t>> items_;
};

struct ImportSummary {
    std::string source;
    std::string format;    // loldrivers, ms-block-rules
    std::string records_are;  // "rows", "rules"
    std::size_t records = 0;
    Tally made;        // by rule type name
    Tally duplicates;  // by rule type name
    Tally skipped;     // by reason
    Tally notes;       // how some rules were made
};

struct ImportResult {
    RuleSet set;
    ImportSummary summary;
};

ImportResult ImportLolDrivers(const std::string& path);
ImportResult ImportMsBlockRules(const std::string& path);
// The same for bytes already read; name stands for the file in errors.
ImportResult ImportLolDrivers(const Bytes& bytes, const std::string& name);
ImportResult ImportMsBlockRules(const Bytes& bytes, const std::string& name);

nlohmann::ordered_json ImportSummaryJson(const ImportSummary& summary);
std::string ImportSummaryText(const ImportSummary& summary);

}  // namespace elamctl
