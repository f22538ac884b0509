#include "tool/importers.h"

#include "hostkernel/hostkernel.h"

#include <csv.h>
#include <pugixml.hpp>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace elamctl {
namespace {

constexpr std::uint64_t kHighestVersion = ~0ull;  // 65535.65535.65535.65535

const RuleType& TypeNamed(int number) { return RuleTypes()[static_cast<std::size_t>(number)]; }

Bytes Utf16Le(const std::string& utf8) {
    Bytes out;
    for (char16_t c : hk::Utf8ToUtf16(utf8)) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

std::optional<std::uint64_t> CleanVersion(const std::string& text) {
    try {
        return ParseVersion(text);
    } catch (const ToolError&) {
        return std::nullopt;
    }
}

// A label that the rule text can carry: no ';', which ends the field, and no
// NUL, which ends the string in its value.
std::string SafeLabel(std::string text) {
    for (char& c : text) {
        if (c == ';' || c == '\0') c = '_';
    }
    return text;
}

// Adds a rule unless the same rule was made before.
class RuleMaker {
public:
    explicit RuleMaker(ImportResult& result) : result_(result) {}

    void Add(RuleRecord rule) {
        if (!seen_.insert(RuleIdentity(rule)).second) {
            result_.summary.duplicates.Add(rule.type->name);
            return;
        }
        result_.summary.made.Add(rule.type->name);
        result_.set.rules.push_back(std::move(rule));
    }

private:
    ImportResult& result_;
    std::set<std::string> seen_;
};

// ---------------------------------------------------------------------------
// CSV (RFC 4180) through libcsv, strict: a quote inside an unquoted field or
// text after a closing quote is an error, and so is an open quote at the end.
// ---------------------------------------------------------------------------

struct CsvRow {
    std::size_t line;
    std::vector<std::string> fields;
};

struct CsvState {
    std::size_t line = 1;
    std::size_t row_line = 0;
    std::vector<std::string> fields;
    std::vector<CsvRow> rows;
};

std::vector<CsvRow> ReadCsv(const std::string& path, const Bytes& bytes) {
    csv_parser parser;
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI) != 0) throw ToolError(path, "cannot set up the CSV reader");
    std::unique_ptr<csv_parser, void (*)(csv_parser*)> guard(&parser, csv_free);
    // Blanks are part of a field (RFC 4180); libcsv trims them unless told.
    csv_set_space_func(&parser, [](unsigned char) { return 0; });
    CsvState state;
    auto on_field = [](void* data, std::size_t size, void* context) {
        auto* s = static_cast<CsvState*>(context);
        if (s->fields.empty()) s->row_line = s->line;
        s->fields.emplace_back(static_cast<const char*>(data), size);
    };
    auto on_row = [](int, void* context) {
        auto* s = static_cast<CsvState*>(context);
        s->rows.push_back({s->row_line, std::move(s->fields)});
        s->fields.clear();
    };
    std::size_t start = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) start = 3;
    // Line by line, so that an error names its line.
    while (start < bytes.size()) {
        std::size_t end = start;
        while (end < bytes.size() && bytes[end] != '\n') ++end;
        if (end < bytes.size()) ++end;
        const std::size_t length = end - start;
        if (csv_parse(&parser, bytes.data() + start, length, on_field, on_row, &state) != length) {
            throw ToolError(path + ":" + std::to_string(state.line),
                            std::string("malformed CSV: ") + csv_strerror(csv_error(&parser)) +
                                " (a quote inside an unquoted field, or text after a closing quote)");
        }
        ++state.line;
        start = end;
    }
    if (csv_fini(&parser, on_field, on_row, &state) != 0) {
        throw ToolError(path + ":" + std::to_string(state.row_line),
                        "malformed CSV: a quoted field is not closed by the end of the file");
    }
    return std::move(state.rows);
}

// ---------------------------------------------------------------------------
// App Control policy XML
// ---------------------------------------------------------------------------

std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) name = name.substr(colon + 1);
    return name;
}

pugi::xml_node Child(const pugi::xml_node& node, std::string_view name) {
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_element && LocalName(child) == name) return child;
    }
    return {};
}

std::string Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return std::string(text);
}

bool EndsWithNoCase(const std::string& text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        char a = text[text.size() - suffix.size() + i];
        char b = suffix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// The kind of hash a Deny rule names at the end of its FriendlyName.
std::string HashKind(const std::string& friendly_name) {
    const std::string name = Trim(friendly_name);
    for (std::string_view kind : {"Hash Page Sha256", "Hash Page Sha1", "Hash Sha256", "Hash Sha1"}) {
        if (EndsWithNoCase(name, kind)) return std::string(kind);
    }
    return "";
}

// Line numbers of byte offsets.
class LineIndex {
public:
    explicit LineIndex(const Bytes& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\n') starts_.push_back(i + 1);
        }
    }
    std::size_t LineAt(std::ptrdiff_t offset) const {
        const auto after = std::upper_bound(starts_.begin(), starts_.end(), static_cast<std::size_t>(offset < 0 ? 0 : offset));
        return static_cast<std::size_t>(after - starts_.begin()) + 1;
    }

private:
    std::vector<std::size_t> starts_;  // offsets at which lines 2, 3, ... start
};

// Refuses text that is not UTF-8 (after a byte-order mark), naming the line:
// what a list holds goes into labels, comments, a rules file and JSON, which
// all carry UTF-8 only.
void CheckUtf8(const Bytes& bytes, const std::string& path) {
    const std::size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    const std::string text(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    const std::string again = hk::Utf16ToUtf8(hk::Utf8ToUtf16(text));  // malformed bytes come back changed
    if (again == text) return;
    const auto at = std::mismatch(text.begin(), text.end(), again.begin(), again.end()).first;
    throw ToolError(path + ":" + std::to_string(LineIndex(bytes).LineAt(
                                     static_cast<std::ptrdiff_t>(start) + (at - text.begin()))),
                    "not UTF-8 text");
}

}  // namespace

void Tally::Add(const std::string& name, std::size_t n) {
    for (auto& [key, count] : items_) {
        if (key == name) {
            count += n;
            return;
        }
    }
    items_.emplace_back(name, n);
}

std::size_t Tally::Total() const {
    std::size_t total = 0;
    for (const auto& item : items_) total += item.second;
    return total;
}

ImportResult ImportLolDrivers(const std::string& path) { return ImportLolDrivers(ReadWholeFile(path), path); }

ImportResult ImportLolDrivers(const Bytes& bytes, const std::string& path) {
    CheckUtf8(bytes, path);
    std::vector<CsvRow> rows = ReadCsv(path, bytes);
    if (rows.empty()) throw ToolError(path, "empty: no header line");
    const CsvRow header = std::move(rows.front());
    rows.erase(rows.begin());

    std::map<std::string, std::size_t> column;
    for (std::size_t i = 0; i < header.fields.size(); ++i) column.emplace(header.fields[i], i);
    for (const char* needed : {"id", "original_filename", "file_version", "authentihash_sha256"}) {
        if (column.count(needed) == 0) {
            throw ToolError(path + ":" + std::to_string(header.line),
                            std::string("no column \"") + needed + "\" in the header line");
        }
    }

    ImportResult result;
    ImportSummary& summary = result.summary;
    summary.source = path;
    summary.format = "loldrivers";
    summary.records_are = "rows";
    summary.records = rows.size();
    result.set.comments = {"Imported by elamctl from " + path + ":",
                           "LOLDrivers samples (github.com/magicsword-io/LOLDrivers), Apache License 2.0.",
                           "Image-hash rules from authentihash_sha256; original-name rules from original_filename,",
                           "with file_version as the range where it is a clean a.b.c.d."};
    RuleMaker maker(result);

    for (const CsvRow& row : rows) {
        if (row.fields.size() != header.fields.size()) {
            throw ToolError(path + ":" + std::to_string(row.line),
                            "malformed CSV: " + std::to_string(row.fields.size()) + " fields, the header has " +
                                std::to_string(header.fields.size()));
        }
        auto field = [&](const char* name) -> std::string {
            const auto found = column.find(name);
            return found == column.end() ? std::string() : row.fields[found->second];
        };
        const std::string id = field("id");
        const std::string label = SafeLabel("lol-" + id.substr(0, 8));
        std::string comment = "LOLDrivers " + id;
        for (const char* extra : {"filename", "category", "company"}) {
            if (!field(extra).empty()) comment += ", " + field(extra);
        }
        for (char& c : comment) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        const Place place{path, row.line, "", 0, false};

        const std::string hash = field("authentihash_sha256");
        if (hash.empty()) {
            summary.skipped.Add("no authentihash_sha256: no image-hash rule");
        } else if (std::optional<Bytes> bytes = ParseHex(hash); !bytes || bytes->size() != 32) {
            summary.skipped.Add("authentihash_sha256 is not 64 hex digits: no image-hash rule");
        } else {
            maker.Add(RuleRecord{&TypeNamed(5), label, std::move(*bytes), std::nullopt, false, place, comment});
        }

        const std::string original = field("original_filename");
        if (original.empty()) {
            summary.skipped.Add("no original_filename: no original-name rule");
            continue;
        }
        const std::string version_text = field("file_version");
        if (std::optional<std::uint64_t> version = CleanVersion(version_text)) {
            maker.Add(RuleRecord{&TypeNamed(10), label, Utf16Le(original), VersionRange{*version, *version}, false,
                                 place, comment});
        } else {
            summary.notes.Add(version_text.empty()
                                  ? "original-name without a range: no file_version"
                                  : "original-name without a range: file_version is not a clean a.b.c.d");
            maker.Add(RuleRecord{&TypeNamed(9), label, Utf16Le(original), std::nullopt, false, place, comment});
        }
    }
    return result;
}

ImportResult ImportMsBlockRules(const std::string& path) { return ImportMsBlockRules(ReadWholeFile(path), path); }

ImportResult ImportMsBlockRules(const Bytes& bytes, const std::string& path) {
    const LineIndex lines(bytes);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(bytes.data(), bytes.size());
    if (!parsed) {
        throw ToolError(path + ":" + std::to_string(lines.LineAt(parsed.offset)),
                        std::string("malformed XML: ") + parsed.description());
    }
    // Other encodings pugixml converts; UTF-8 it takes as it stands.
    if (parsed.encoding == pugi::encoding_utf8) CheckUtf8(bytes, path);
    const pugi::xml_node policy = document.document_element();
    if (LocalName(policy) != "SiPolicy") {
        throw ToolError(path, "not an App Control policy: the root element is <" + std::string(policy.name()) +
                                  ">, not <SiPolicy>");
    }
    const pugi::xml_node file_rules = Child(policy, "FileRules");
    if (!file_rules) throw ToolError(path, "not an App Control policy: no <FileRules>");

    // FileAttrib rules that a signer refers to: the policy denies them only
    // for that signer, which the driver cannot check.
    std::set<std::string> signer_scoped;
    std::size_t signers = 0;
    if (const pugi::xml_node list = Child(policy, "Signers")) {
        for (pugi::xml_node signer : list.children()) {
            if (signer.type() != pugi::node_element || LocalName(signer) != "Signer") continue;
            ++signers;
            for (pugi::xml_node ref : signer.children()) {
                if (LocalName(ref) == "FileAttribRef") signer_scoped.insert(ref.attribute("RuleID").value());
            }
        }
    }

    ImportResult result;
    ImportSummary& summary = result.summary;
    summary.source = path;
    summary.format = "ms-block-rules";
    summary.records_are = "rules";
    result.set.comments = {"Imported by elamctl from " + path + ":",
                           "an App Control for Business policy (the recommended driver block rules: documentation",
                           "under CC BY 4.0, samples under MIT). Image-hash rules from Deny rules by flat",
                           "Authenticode SHA-256; original-name-version rules from FileAttrib rules and Deny rules",
                           "by file name."};
    RuleMaker maker(result);

    for (pugi::xml_node rule : file_rules.children()) {
        if (rule.type() != pugi::node_element) continue;
        ++summary.records;
        const std::string_view kind = LocalName(rule);
        const std::string id = rule.attribute("ID").value();
        const std::string friendly = rule.attribute("FriendlyName").value();
        std::string label = id.rfind("ID_", 0) == 0 ? id.substr(3) : id;
        label = SafeLabel("ms-" + label);
        const std::string comment = friendly.empty() ? id : id + ": " + friendly;
        const Place place{path, lines.LineAt(rule.offset_debug()), "", 0, false};

        if (kind == "Allow") {
            summary.skipped.Add("Allow rule: not a block rule");
            continue;
        }
        if (kind != "Deny" && kind != "FileAttrib") {
            summary.skipped.Add("<" + std::string(kind) + "> rule: not known");
            continue;
        }
        if (const pugi::xml_attribute hash = rule.attribute("Hash")) {
            const std::string hash_kind = HashKind(friendly);
            if (hash_kind == "Hash Sha256") {
                std::optional<Bytes> data = ParseHex(hash.value());
                if (!data || data->size() != 32) {
                    summary.skipped.Add("Hash Sha256 that is not 64 hex digits");
                } else {
                    maker.Add(RuleRecord{&TypeNamed(5), label, std::move(*data), std::nullopt, false, place, comment});
                }
            } else if (hash_kind == "Hash Sha1") {
                summary.skipped.Add("Hash Sha1: a SHA-1 hash; the system passes the SHA-256 image hash");
            } else if (!hash_kind.empty()) {
                summary.skipped.Add(hash_kind + ": a page hash, not an image hash");
            } else {
                summary.skipped.Add("hash whose FriendlyName names no kind (Hash Sha256, Hash Sha1, Hash Page ...)");
            }
            continue;
        }
        const pugi::xml_attribute file_name = rule.attribute("FileName");
        if (!file_name || std::string_view(file_name.value()).empty()) {
            std::string by;
            for (const char* other : {"ProductName", "InternalName", "FileDescription", "PackageFamilyName", "FilePath"}) {
                if (rule.attribute(other)) by = other;
            }
            summary.skipped.Add(by.empty() ? "no FileName and no Hash" : "by " + by + ": the driver reads no such fact");
            continue;
        }
        const pugi::xml_attribute min_text = rule.attribute("MinimumFileVersion");
        const pugi::xml_attribute max_text = rule.attribute("MaximumFileVersion");
        const std::optional<std::uint64_t> min = min_text ? CleanVersion(min_text.value()) : std::optional<std::uint64_t>(0);
        const std::optional<std::uint64_t> max = max_text ? CleanVersion(max_text.value()) : std::optional<std::uint64_t>(kHighestVersion);
        if (!min || !max) {
            summary.skipped.Add("MinimumFileVersion or MaximumFileVersion is not a.b.c.d");
            continue;
        }
        if (!min_text) summary.notes.Add("no MinimumFileVersion: range from 0.0.0.0");
        if (!max_text) summary.notes.Add("no MaximumFileVersion: range up to 65535.65535.65535.65535");
        if (kind == "FileAttrib" && signer_scoped.count(id) != 0) {
            summary.notes.Add("FileAttrib that the policy applies to one signer: the rule here holds for any signer");
        }
        maker.Add(RuleRecord{&TypeNamed(10), label, Utf16Le(file_name.value()), VersionRange{*min, *max}, false, place,
                             comment});
    }
    if (signers != 0) {
        summary.records += signers;
        summary.skipped.Add("Signer (certificate TBS hash): the driver sees the signer's thumbprint, not the TBS hash",
                            signers);
    }
    return result;
}

nlohmann::ordered_json ImportSummaryJson(const ImportSummary& summary) {
    auto tally = [](const Tally& t) {
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        for (const auto& [name, count] : t.Items()) out[name] = count;
        return out;
    };
    nlohmann::ordered_json out;
    out["source"] = summary.source;
    out["format"] = summary.format;
    out[summary.records_are] = summary.records;
    out["made"] = tally(summary.made);
    out["rules"] = summary.made.Total();
    out["duplicates"] = tally(summary.duplicates);
    out["skipped"] = tally(summary.skipped);
    out["notes"] = tally(summary.notes);
    return out;
}

std::string ImportSummaryText(const ImportSummary& summary) {
    std::ostringstream out;
    out << summary.source << ": " << summary.records << ' ' << summary.records_are << ", " << summary.made.Total()
        << " rules made\n";
    auto section = [&](const char* title, const Tally& tally) {
        if (tally.Items().empty()) return;
        out << title << " (" << tally.Total() << "):\n";
        for (const auto& [name, count] : tally.Items()) out << "  " << count << "  " << name << '\n';
    };
    section("made", summary.made);
    section("duplicates dropped", summary.duplicates);
    section("skipped", summary.skipped);
    section("notes", summary.notes);
    return out.str();
}

}  // namespace elamctl
