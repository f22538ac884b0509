// Rule sets: the rules file (TOML) read and written, merging, and what makes
// two rules the same. The registry side is in configreg.cpp.
#include "tool/ruleset.h"

#include "harness/boot.h"
#include "hostkernel/hostkernel.h"
#include "tool/facts.h"

#include <toml++/toml.h>

#include <set>
#include <sstream>

namespace elamctl {
namespace {

constexpr std::uint32_t kFailedCodeIntegrityBit = 0x80000000u;

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// An error already placed at its file and line.
struct PlacedError : ToolError {
    using ToolError::ToolError;
};

// Errors of one rules file, each naming the file and the line.
class TomlReader {
public:
    explicit TomlReader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void Fail(const toml::node& node, const std::string& problem) const {
        Fail(node.source().begin.line, problem);
    }
    [[noreturn]] void Fail(std::size_t line, const std::string& problem) const {
        throw PlacedError(line ? path_ + ":" + std::to_string(line) : path_, problem);
    }
    // A ToolError of a helper (ParseVersion, ParseRuleType, ...) moved to this file and line.
    [[noreturn]] void Fail(const toml::node& node, const ToolError& error) const {
        Fail(node, error.subject + ": " + error.problem);
    }

    // Runs f; a ToolError of a helper (ParseVersion, EncodeRuleValue, ...) is
    // placed at the node.
    template <class F>
    auto Guard(const toml::node& node, F&& f) const -> decltype(f()) {
        try {
            return f();
        } catch (const PlacedError&) {
            throw;
        } catch (const ToolError& error) {
            Fail(node, error);
        }
    }

    void Keys(const toml::table& table, std::initializer_list<std::string_view> allowed) const {
        for (const auto& [key, node] : table) {
            bool known = false;
            for (std::string_view name : allowed) known = known || key.str() == name;
            if (!known) {
                std::string list;
                for (std::string_view name : allowed) list += (list.empty() ? "" : ", ") + std::string(name);
                Fail(node, "unknown key \"" + std::string(key.str()) + "\" (known: " + list + ")");
            }
        }
    }

    std::string String(const toml::node& node, std::string_view what) const {
        const auto* value = node.as_string();
        if (value == nullptr) Fail(node, std::string(what) + " must be a string");
        return value->get();
    }

    // true/false or a whole number 0 to 0xFFFFFFFF.
    std::uint32_t Dword(const toml::node& node, std::string_view what) const {
        if (const auto* flag = node.as_boolean()) return flag->get() ? 1u : 0u;
        if (const auto* number = node.as_integer()) {
            if (number->get() >= 0 && number->get() <= 0xFFFFFFFFll) return static_cast<std::uint32_t>(number->get());
        }
        Fail(node, std::string(what) + " must be true, false or a whole number from 0 to 4294967295");
    }

    Place At(const toml::node& node) const { return Place{path_, node.source().begin.line, "", 0, false}; }

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void CheckText(const TomlReader& in, const toml::node& node, const std::string& text, std::string_view what,
               bool allow_semicolon) {
    if (text.find('\0') != std::string::npos) in.Fail(node, std::string(what) + " cannot hold a NUL character");
    if (!allow_semicolon && text.find(';') != std::string::npos) {
        in.Fail(node, std::string(what) + " cannot hold ';', which separates the fields of the rule text");
    }
}

RuleRecord ReadRule(const TomlReader& in, const toml::node& node) {
    const toml::table* table = node.as_table();
    if (table == nullptr) in.Fail(node, "each [[rule]] must be a table");
    in.Keys(*table, {"label", "type", "value", "hex", "min", "max", "vps"});
    RuleRecord rule;
    rule.place = in.At(node);

    const toml::node* type = table->get("type");
    if (type == nullptr) in.Fail(node, "a rule needs a type");
    rule.type = in.Guard(*type, [&]() -> const RuleType* {
        if (const auto* number = type->as_integer()) {
            if (number->get() < 0 || number->get() > 10) {
                throw ToolError(std::to_string(number->get()), "unknown rule type (0 to 10)");
            }
            return &RuleTypes()[static_cast<std::size_t>(number->get())];
        }
        return &ParseRuleType(in.String(*type, "type"));
    });

    if (const toml::node* label = table->get("label")) {
        rule.label = in.String(*label, "label");
        CheckText(in, *label, rule.label, "a label", false);
    }

    const toml::node* value = table->get("value");
    const toml::node* hex = table->get("hex");
    if ((value == nullptr) == (hex == nullptr)) in.Fail(node, "a rule needs one of value and hex");
    if (value != nullptr) {
        rule.data = in.Guard(*value, [&] { return EncodeRuleValue(*rule.type, in.String(*value, "value")); });
    } else {
        const std::string digits = in.String(*hex, "hex");
        std::optional<Bytes> bytes = ParseHex(digits);
        if (!bytes) in.Fail(*hex, "hex must be hex digits, two per byte, no prefix or blanks");
        if (bytes->empty()) in.Fail(*hex, "hex is empty");
        rule.data = std::move(*bytes);
    }

    const toml::node* min = table->get("min");
    const toml::node* max = table->get("max");
    if (rule.type->version_range) {
        if (min == nullptr || max == nullptr) {
            in.Fail(node, std::string(rule.type->name) + " rules need min and max (a.b.c.d)");
        }
        VersionRange range{};
        range.min = in.Guard(*min, [&] { return ParseVersion(in.String(*min, "min")); });
        range.max = in.Guard(*max, [&] { return ParseVersion(in.String(*max, "max")); });
        rule.range = range;
    } else if (min != nullptr || max != nullptr) {
        in.Fail(min != nullptr ? *min : *max, std::string(rule.type->name) + " rules have no version range");
    }

    if (const toml::node* vps = table->get("vps")) {
        const auto* flag = vps->as_boolean();
        if (flag == nullptr) in.Fail(*vps, "vps must be true or false");
        rule.second_value = flag->get();
    }
    return rule;
}

// A TOML string: literal ('...') where that spares escaping backslashes,
// else basic ("..."), escaped by toml++.
std::string Quote(const std::string& text) {
    bool plain = text.find('\\') != std::string::npos && text.find('\'') == std::string::npos;
    for (char c : text) plain = plain && (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    if (plain) return "'" + text + "'";
    std::ostringstream out;
    out << toml::toml_formatter(toml::value<std::string>(text), toml::format_flags::allow_unicode_strings);
    return out.str();
}

// A comment on one line.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return text;
}

std::string DwordText(std::uint32_t value) {
    if (value == 0) return "false";
    if (value == 1) return "true";
    return std::to_string(value);
}

std::string SwitchText(const std::optional<Switch>& a, const std::optional<Switch>& b) {
    auto show = [](const std::optional<Switch>& s) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "0x%08X", s->value);
        return std::string(buffer) + " (" + s->place.Text() + ")";
    };
    return show(a) + " and " + show(b);
}

}  // namespace

std::string Place::Text() const {
    if (!value.empty()) return file + ": " + value + (indexed ? "[" + std::to_string(index) + "]" : "");
    if (line != 0) return file + ":" + std::to_string(line);
    return file;
}

std::string RuleValueName(int type, bool second_value) {
    std::string name = "DrvBlockType";
    name += static_cast<char>('0' + type);
    if (second_value) name += "Vps";
    return name;
}

std::u16string ConfigKeyOfService(std::string_view service) {
    std::u16string path = hk::Utf8ToUtf16(service);
    const std::u16string folded = hk::FoldCase(path);
    const auto strip = [&](std::u16string_view prefix) {
        if (folded.rfind(hk::FoldCase(prefix), 0) == 0) {
            path = u"\\Registry\\Machine\\" + path.substr(prefix.size());
            return true;
        }
        return false;
    };
    if (path.find(u'\\') == std::u16string::npos) {
        path = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + path;
    } else if (!strip(u"HKEY_LOCAL_MACHINE\\") && !strip(u"HKLM\\") &&
               folded.rfind(hk::FoldCase(u"\\Registry\\Machine\\"), 0) != 0) {
        throw ToolError(std::string(service), "a service is a name (XyzElam) or a key under HKEY_LOCAL_MACHINE");
    }
    std::u16string key = harness::ConfigKeyFor(path);
    if (key.empty()) {
        throw ToolError(std::string(service),
                        "the service name must end in \"Elam\": its configuration key is the one of the same name "
                        "with SP\\Parameters in place of Elam");
    }
    return key;
}

RuleSet ReadRulesFile(const std::string& path) {
    const Bytes bytes = ReadWholeFile(path);
    return ParseRulesText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path);
}

RuleSet ParseRulesText(std::string_view text, const std::string& path) {
    toml::table root;
    try {
        root = toml::parse(text, std::string_view(path));
    } catch (const toml::parse_error& error) {
        throw PlacedError(path + ":" + std::to_string(error.source().begin.line),
                        "not TOML: " + std::string(error.description()));
    }
    const TomlReader in(path);
    in.Keys(root, {"service", "exclusions", "switches", "rule"});
    RuleSet set;

    if (const toml::node* service = root.get("service")) {
        set.service = in.String(*service, "service");
        in.Guard(*service, [&] { return ConfigKeyOfService(*set.service); });
    }

    if (const toml::node* exclusions = root.get("exclusions")) {
        const toml::array* list = exclusions->as_array();
        if (list == nullptr) in.Fail(*exclusions, "exclusions must be a list of strings");
        for (const toml::node& item : *list) {
            Exclusion exclusion{in.String(item, "an exclusion"), in.At(item)};
            if (exclusion.text.empty()) in.Fail(item, "an empty exclusion excludes nothing");
            CheckText(in, item, exclusion.text, "an exclusion", true);
            set.exclusions.push_back(std::move(exclusion));
        }
    }

    if (const toml::node* node = root.get("switches")) {
        const toml::table* switches = node->as_table();
        if (switches == nullptr) in.Fail(*node, "switches must be a table");
        in.Keys(*switches, {"enabled", "driver_blocking", "block_failed_code_integrity"});
        if (const toml::node* enabled = switches->get("enabled")) {
            set.enabled = Switch{in.Dword(*enabled, "enabled"), in.At(*enabled)};
        }
        const toml::node* blocking = switches->get("driver_blocking");
        const toml::node* failed_ci = switches->get("block_failed_code_integrity");
        if (blocking != nullptr) set.driver_blocking = Switch{in.Dword(*blocking, "driver_blocking"), in.At(*blocking)};
        if (failed_ci != nullptr) {
            const auto* flag = failed_ci->as_boolean();
            if (flag == nullptr) in.Fail(*failed_ci, "block_failed_code_integrity must be true or false");
            if (!set.driver_blocking) set.driver_blocking = Switch{1, in.At(*failed_ci)};
            if (flag->get()) {
                set.driver_blocking->value |= kFailedCodeIntegrityBit;
            } else if (set.driver_blocking->value & kFailedCodeIntegrityBit) {
                in.Fail(*failed_ci, "block_failed_code_integrity = false, but driver_blocking sets bit 31");
            }
        }
    }

    if (const toml::node* rules = root.get("rule")) {
        const toml::array* list = rules->as_array();
        if (list == nullptr) in.Fail(*rules, "rules are written as [[rule]] tables");
        set.rules.reserve(list->size());
        for (const toml::node& item : *list) set.rules.push_back(ReadRule(in, item));
    }
    return set;
}

std::optional<std::string> DataAsText(const RuleType& type, const Bytes& data) {
    if (type.data == RuleData::Raw || data.empty()) return std::nullopt;
    if (type.data == RuleData::Ansi) {
        for (std::uint8_t b : data) {
            if (b < 0x20 || b > 0x7E) return std::nullopt;
        }
        return std::string(data.begin(), data.end());
    }
    if (data.size() % 2 != 0) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i < data.size(); i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    for (char16_t c : text) {
        if (c < 0x20 || c == 0x7F) return std::nullopt;
    }
    std::string utf8 = hk::Utf16ToUtf8(text);
    if (hk::Utf8ToUtf16(utf8) != text) return std::nullopt;  // an unpaired surrogate
    return utf8;
}

std::string RulesFileText(const RuleSet& set) {
    std::string out;
    for (const std::string& line : set.comments) out += line.empty() ? "#\n" : "# " + OneLine(line) + "\n";
    if (!set.comments.empty() && (set.service || !set.exclusions.empty())) out += "\n";
    if (set.service) out += "service = " + Quote(*set.service) + "\n";
    if (!set.exclusions.empty()) {
        out += "exclusions = [\n";
        for (const Exclusion& exclusion : set.exclusions) out += "  " + Quote(exclusion.text) + ",\n";
        out += "]\n";
    }
    if (set.enabled || set.driver_blocking) {
        out += "\n[switches]\n";
        if (set.enabled) out += "enabled = " + DwordText(set.enabled->value) + "\n";
        if (set.driver_blocking) {
            out += "driver_blocking = " + DwordText(set.driver_blocking->value & ~kFailedCodeIntegrityBit) + "\n";
            if (set.driver_blocking->value & kFailedCodeIntegrityBit) out += "block_failed_code_integrity = true\n";
        }
    }
    for (const RuleRecord& rule : set.rules) {
        out += "\n";
        if (!rule.comment.empty()) out += "# " + OneLine(rule.comment) + "\n";
        out += "[[rule]]\n";
        if (!rule.label.empty()) out += "label = " + Quote(rule.label) + "\n";
        out += "type = \"" + std::string(rule.type->name) + "\"\n";
        if (rule.type->data == RuleData::Raw) {
            out += "value = \"" + ToHex(rule.data, true) + "\"\n";
        } else if (std::optional<std::string> text = DataAsText(*rule.type, rule.data)) {
            out += "value = " + Quote(*text) + "\n";
        } else {
            out += "hex = \"" + ToHex(rule.data, true) + "\"\n";
        }
        if (rule.range) {
            out += "min = \"" + VersionText(rule.range->min) + "\"\n";
            out += "max = \"" + VersionText(rule.range->max) + "\"\n";
        }
        if (rule.second_value) out += "vps = true\n";
    }
    return out;
}

RuleSet MergeRuleSets(std::vector<RuleSet> sets) {
    RuleSet merged;
    std::optional<Place> service_place;
    for (RuleSet& set : sets) {
        if (set.service) {
            if (merged.service && Lower(*merged.service) != Lower(*set.service)) {
                throw ToolError(*set.service, "the rules files name two services: " + *merged.service + " and " +
                                                  *set.service);
            }
            merged.service = set.service;
        }
        auto merge_switch = [](std::optional<Switch>& into, const std::optional<Switch>& from, const char* name) {
            if (!from) return;
            if (into && into->value != from->value) {
                throw ToolError(name, "set twice with different values: " + SwitchText(into, from));
            }
            if (!into) into = from;
        };
        merge_switch(merged.enabled, set.enabled, "Enabled");
        merge_switch(merged.driver_blocking, set.driver_blocking, "DriverBlocking");
        for (Exclusion& exclusion : set.exclusions) merged.exclusions.push_back(std::move(exclusion));
        for (RuleRecord& rule : set.rules) merged.rules.push_back(std::move(rule));
        for (ReadProblem& problem : set.problems) merged.problems.push_back(std::move(problem));
    }
    return merged;
}

std::string RuleIdentity(const RuleRecord& rule) {
    Bytes data = rule.data;
    if (rule.type->data == RuleData::Utf16 && data.size() % 2 == 0) {
        std::u16string text;
        for (std::size_t i = 0; i < data.size(); i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
        text = hk::FoldCase(text);
        for (std::size_t i = 0; i < text.size(); ++i) {
            data[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
            data[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
        }
    } else if (rule.type->data == RuleData::Ansi) {
        for (std::uint8_t& b : data) {
            if (b >= 'a' && b <= 'z') b = static_cast<std::uint8_t>(b - 'a' + 'A');
        }
    }
    std::string identity = std::to_string(rule.type->number) + ":" + ToHex(data);
    if (rule.range) identity += ":" + std::to_string(rule.range->min) + "-" + std::to_string(rule.range->max);
    return identity;
}

std::size_t DropDuplicateRules(std::vector<RuleRecord>& rules) {
    std::set<std::string> seen;
    const std::size_t before = rules.size();
    std::erase_if(rules, [&](const RuleRecord& rule) { return !seen.insert(RuleIdentity(rule)).second; });
    return before - rules.size();
}

std::u16string RuleString(const RuleRecord& rule) {
    return hk::Utf8ToUtf16(FormatRule(*rule.type, rule.label, rule.data, rule.range));
}

bool LooksLikeRegText(const Bytes& bytes) {
    std::string head;
    std::size_t i = 0;
    const bool utf16 = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    if (utf16) {
        for (i = 2; i + 1 < bytes.size() && head.size() < 40; i += 2) head += static_cast<char>(bytes[i]);
    } else {
        if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
        for (; i < bytes.size() && head.size() < 40; ++i) head += static_cast<char>(bytes[i]);
    }
    return head.rfind("Windows Registry Editor Version 5.00", 0) == 0 || head.rfind("REGEDIT4", 0) == 0;
}

}  // namespace elamctl
