// Rule sets and the configuration key in registry text: writing the values,
// and reading them back through the driver's own loader.
#include "tool/ruleset.h"

#include "driver/elam.h"
#include "harness/boot.h"
#include "hostkernel/hostkernel.h"
#include "hostkernel/regfile.h"

#include <set>
#include <stdexcept>

namespace elamctl {
namespace {

// The longest string the driver's multi-string reader takes: its characters
// and NUL must fit a counted string.
constexpr std::size_t kMaxStringChars = NAME_ENTRY_MAX_LENGTH / 2;

void AppendUtf16(Bytes& out, std::u16string_view text) {
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

Bytes MultiString(const std::vector<std::u16string>& strings) {
    Bytes out;
    for (const std::u16string& s : strings) {
        AppendUtf16(out, s);
        out.push_back(0);
        out.push_back(0);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// The strings of REG_MULTI_SZ data as the driver's reader splits them: UTF-16
// code units up to each NUL, a last string without one up to the end, a lone
// trailing byte ignored, empty strings dropped.
std::vector<std::u16string> SplitMultiString(const Bytes& data) {
    std::vector<std::u16string> strings;
    std::u16string current;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0) {
            if (!current.empty()) strings.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) strings.push_back(std::move(current));
    return strings;
}

Bytes Dword(std::uint32_t value) {
    return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::string CharText(char16_t c) {
    if (c == u' ') return "a blank";
    if (c == u'\t') return "a tab";
    if (c >= 0x21 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
    return buffer;
}

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Why the loader skips a string, in words. The decision is the driver's (the
// caller ran LoadRuleValue); this only names the reason, following the
// loader's steps in order.
std::string SkipReason(std::u16string_view text, bool ranged) {
    if (text.size() > kMaxStringChars) {
        return "a string of " + std::to_string(text.size()) + " characters; the multi-string reader takes at most " +
               std::to_string(kMaxStringChars);
    }
    const std::size_t first = text.find(u';');
    if (first == std::u16string_view::npos) return "no ';' between label and data";
    std::u16string_view data = text.substr(first + 1);
    std::u16string_view range;
    if (ranged) {
        if (data.empty()) return "nothing after the first ';' (a version-range rule is label;data;range)";
        const std::size_t second = data.find(u';');
        if (second == std::u16string_view::npos) return "no second ';' before the version range";
        range = data.substr(second + 1);
        data = data.substr(0, second);
    }
    if (data.empty()) return "no data after the ';'";
    if (!ranged && data.find(u';') != std::u16string_view::npos) {
        return "a further ';' in the data (only the version-range types have a third field)";
    }
    if (data.size() % 2 != 0) return "an odd number of hex digits in the data";
    for (char16_t c : data) {
        if (IsHexDigit(c)) continue;
        if (c == u';') return "a further ';' in the data";
        return CharText(c) + " in the data is no hex digit";
    }
    if (ranged) {
        if (range.size() != 32) {
            return "a version range of " + std::to_string(range.size()) + " characters, not 32 hex digits";
        }
        for (char16_t c : range) {
            if (!IsHexDigit(c)) return CharText(c) + " in the version range is no hex digit";
        }
    }
    return "skipped by the driver's loader";
}

// One rule string through the driver's LoadRuleValue, in a scratch value.
std::optional<RuleRecord> LoadOneRule(std::u16string_view text, int type) {
    static const std::u16string kScratchKey = u"\\Registry\\Machine\\SOFTWARE\\elamctl\\scratch";
    static const std::u16string kScratchValue = u"Rule";
    Bytes data;
    AppendUtf16(data, text);
    data.insert(data.end(), {0, 0, 0, 0});
    hk::TheRegistry().SetValue(kScratchKey, kScratchValue, REG_MULTI_SZ, std::move(data));
    LIST_ENTRY& list = g_RuleLists[type];
    InitializeListHead(&list);
    LoadRuleValue(kScratchKey.c_str(), kScratchValue.c_str(), static_cast<ULONG>(type));
    std::optional<RuleRecord> rule;
    if (!IsListEmpty(&list)) {
        const RULE_ENTRY* entry = CONTAINING_RECORD(list.Flink, RULE_ENTRY, Links);
        rule.emplace();
        rule->type = &RuleTypes()[static_cast<std::size_t>(type)];
        rule->label = hk::Utf16ToUtf8(std::u16string_view(entry->Name.Buffer, entry->Name.Length / 2));
        rule->data.assign(entry->Data, entry->Data + entry->DataLength);
        if (RuleTypeHasVersionRange(type)) rule->range = VersionRange{entry->MinVersion, entry->MaxVersion};
    }
    FreeEntryList(&list);
    return rule;
}

// The configuration key in an imported registry: the service's, else the one
// key named ...\Services\<name>SP\Parameters.
std::u16string FindConfigKey(const std::string& path, const std::optional<std::string>& service) {
    if (service) {
        std::u16string key = ConfigKeyOfService(*service);
        if (hk::TheRegistry().FindKey(key) == nullptr) {
            throw ToolError(path, "holds no key " + hk::Utf16ToUtf8(key) + " (the configuration key of " + *service + ")");
        }
        return key;
    }
    std::vector<std::u16string> found;
    for (const hk::RegKey* key : hk::TheRegistry().AllKeys()) {
        const std::u16string folded = hk::FoldCase(key->path);
        const std::u16string suffix = hk::FoldCase(u"SP\\Parameters");
        const std::size_t services = folded.rfind(hk::FoldCase(u"\\Services\\"));
        if (folded.size() > suffix.size() && folded.ends_with(suffix) && services != std::u16string::npos &&
            folded.find(u'\\', services + 10) == folded.size() - 11) {
            found.push_back(key->path);
        }
    }
    if (found.size() == 1) return found.front();
    if (found.empty()) {
        throw ToolError(path, "holds no configuration key (...\\Services\\<name>SP\\Parameters); name the service "
                              "with --service");
    }
    std::string names;
    for (const auto& key : found) names += (names.empty() ? "" : ", ") + hk::Utf16ToUtf8(key);
    throw ToolError(path, "holds several configuration keys (" + names + "); choose one with --service");
}

}  // namespace

std::size_t MaxStringChars() { return kMaxStringChars; }

std::vector<ConfigValue> ConfigValues(const RuleSet& set) {
    std::vector<ConfigValue> values;
    if (set.enabled) values.push_back({"Enabled", REG_DWORD, Dword(set.enabled->value)});
    if (set.driver_blocking) values.push_back({"DriverBlocking", REG_DWORD, Dword(set.driver_blocking->value)});
    for (int type = 0; type < RULE_TYPE_COUNT; ++type) {
        for (bool second : {false, true}) {
            std::vector<std::u16string> strings;
            for (const RuleRecord& rule : set.rules) {
                if (rule.type->number != type || rule.second_value != second) continue;
                if (rule.label.find(';') != std::string::npos || rule.label.find('\0') != std::string::npos) {
                    throw ToolError(rule.place.Text(), "a label cannot hold ';' or NUL");
                }
                strings.push_back(RuleString(rule));
            }
            if (!strings.empty()) values.push_back({RuleValueName(type, second), REG_MULTI_SZ, MultiString(strings)});
        }
    }
    if (!set.exclusions.empty()) {
        std::vector<std::u16string> strings;
        for (const Exclusion& exclusion : set.exclusions) strings.push_back(hk::Utf8ToUtf16(exclusion.text));
        values.push_back({"ExcludedDrivers", REG_MULTI_SZ, MultiString(strings)});
    }
    return values;
}

ConfigSize MeasureConfig(const RuleSet& set) {
    ConfigSize size;
    size.rules = set.rules.size();
    size.exclusions = set.exclusions.size();
    for (const ConfigValue& value : ConfigValues(set)) {
        ++size.values;
        size.registry_bytes += value.data.size();
    }
    for (const RuleRecord& rule : set.rules) {
        const std::size_t name_bytes = hk::Utf8ToUtf16(rule.label).size() * 2;
        size.pool_bytes += RULE_ENTRY_HEADER_SIZE + rule.data.size() + 1 + name_bytes + 2;
    }
    for (const Exclusion& exclusion : set.exclusions) {
        size.pool_bytes += sizeof(NAME_ENTRY) + hk::Utf8ToUtf16(exclusion.text).size() * 2 + 2;
    }
    return size;
}

std::string ConfigRegText(const RuleSet& set, std::u16string_view config_key, bool utf8,
                          const std::vector<std::string>& comments) {
    hk::Registry registry;
    registry.CreateKey(config_key);
    for (ConfigValue& value : ConfigValues(set)) {
        registry.SetValue(config_key, hk::Utf8ToUtf16(value.name), value.type, std::move(value.data));
    }
    std::string text;
    try {
        text = hk::ExportRegText(registry, config_key, hk::RegTextEncoding::Utf8);
    } catch (const std::invalid_argument& error) {
        throw ToolError(hk::Utf16ToUtf8(config_key), error.what());
    }
    // Comments go between the header line and the key.
    const std::size_t header_end = text.find("\r\n") + 2;
    std::string notes = "\r\n";
    for (const std::string& line : comments) notes += "; " + line + "\r\n";
    if (!comments.empty()) text.insert(header_end, notes);
    if (utf8) return text;
    const std::u16string wide = hk::Utf8ToUtf16(text);
    std::string out = "\xFF\xFE";
    out.reserve(2 + wide.size() * 2);
    for (char16_t c : wide) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

RuleSet ReadConfigReg(const std::string& path, const std::optional<std::string>& service) {
    return ParseConfigReg(ReadWholeFile(path), path, service);
}

RuleSet ParseConfigReg(const Bytes& bytes, const std::string& path, const std::optional<std::string>& service) {
    hk::ResetKernel();
    harness::ResetDriverGlobals();
    try {
        hk::ImportRegText(hk::TheRegistry(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const hk::RegFileError& error) {
        throw ToolError(path, error.what());
    }
    const std::u16string key_path = FindConfigKey(path, service);
    // Copy the values: loading writes scratch values into the same registry.
    const std::vector<hk::RegValue> values = hk::TheRegistry().FindKey(key_path)->values;

    RuleSet set;
    {
        // ...\Services\<name>SP\Parameters names the service <name>Elam.
        const std::u16string key_name = key_path.substr(0, key_path.size() - 13);
        const std::size_t slash = key_name.rfind(u'\\');
        set.service = hk::Utf16ToUtf8(key_name.substr(slash + 1)) + "Elam";
    }
    auto place = [&](const std::string& value) { return Place{path, 0, value, 0, false}; };
    auto problem = [&](Place where, std::string kind, std::string message) {
        set.problems.push_back({std::move(where), std::move(kind), std::move(message)});
    };
    auto find = [&](std::u16string_view name) -> const hk::RegValue* {
        for (const hk::RegValue& value : values) {
            if (hk::EqualNoCase(value.name, name)) return &value;
        }
        return nullptr;
    };
    std::set<std::u16string> known = {hk::FoldCase(u"ElamBlockedDrivers")};

    // Switches: read as the driver's query reads them, DIRECT with a REG_DWORD
    // type check; the query stops at the first value of another type.
    bool query_stopped = false;
    for (const char16_t* name : {u"Enabled", u"DriverBlocking"}) {
        known.insert(hk::FoldCase(name));
        const hk::RegValue* value = find(name);
        const std::string name8 = hk::Utf16ToUtf8(name);
        if (value == nullptr) continue;
        if (value->type != REG_DWORD || value->data.size() != 4) {
            problem(place(name8), "wrong-type",
                    std::u16string_view(name) == u"Enabled"
                        ? "not a 4-byte REG_DWORD: the driver's query stops at it, so neither Enabled nor "
                          "DriverBlocking is read and both keep their preset 1"
                        : "not a 4-byte REG_DWORD: the driver keeps its preset 1");
            query_stopped = true;
            continue;
        }
        if (query_stopped) continue;
        const std::uint32_t v = value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                                static_cast<std::uint32_t>(value->data[3]) << 24;
        (std::u16string_view(name) == u"Enabled" ? set.enabled : set.driver_blocking) = Switch{v, place(name8)};
    }

    // Rule values, in the driver's loading order.
    for (int type = 0; type < RULE_TYPE_COUNT; ++type) {
        for (bool second : {false, true}) {
            const std::string name = RuleValueName(type, second);
            const std::u16string name16 = hk::Utf8ToUtf16(name);
            known.insert(hk::FoldCase(name16));
            const hk::RegValue* value = find(name16);
            if (value == nullptr) continue;
            if (value->type != REG_MULTI_SZ) {
                problem(place(name), "wrong-type", "not a REG_MULTI_SZ: the driver loads no rule from it");
                continue;
            }
            const std::vector<std::u16string> strings = SplitMultiString(value->data);
            for (std::size_t i = 0; i < strings.size(); ++i) {
                const Place where{path, 0, name, i, true};
                std::optional<RuleRecord> rule = LoadOneRule(strings[i], type);
                if (!rule) {
                    problem(where, "skipped",
                            "the driver skips \"" + hk::Utf16ToUtf8(strings[i].substr(0, 80)) +
                                (strings[i].size() > 80 ? "..." : "") +
                                "\": " + SkipReason(strings[i], RuleTypeHasVersionRange(type)));
                    continue;
                }
                rule->second_value = second;
                rule->place = where;
                set.rules.push_back(std::move(*rule));
            }
        }
    }

    known.insert(hk::FoldCase(u"ExcludedDrivers"));
    if (const hk::RegValue* value = find(u"ExcludedDrivers")) {
        if (value->type != REG_MULTI_SZ) {
            problem(place("ExcludedDrivers"), "wrong-type", "not a REG_MULTI_SZ: the driver excludes nothing");
        } else {
            const std::vector<std::u16string> strings = SplitMultiString(value->data);
            for (std::size_t i = 0; i < strings.size(); ++i) {
                set.exclusions.push_back({hk::Utf16ToUtf8(strings[i]), Place{path, 0, "ExcludedDrivers", i, true}});
            }
        }
    }

    for (const hk::RegValue& value : values) {
        if (known.count(hk::FoldCase(value.name)) == 0) {
            problem(place(hk::Utf16ToUtf8(value.name)), "unknown-value", "the driver reads no value of this name");
        }
    }
    hk::ResetKernel();
    return set;
}

}  // namespace elamctl
