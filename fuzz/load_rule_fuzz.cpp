// LoadRuleValue over any registry value, of any type, for every rule type:
// the records are exactly the well-formed rules of the value, parsed here
// independently; an injected allocation failure only loses rules; every rule
// matches its own data; the list empties without a leak.
//
// Input: a byte choosing the rule type, one choosing the value type, one for
// an injected pool failure, one of flags, then the value's data.
#include "fuzz_support.h"
#include "harness/boot.h"

#include <optional>
#include <string>
#include <vector>

namespace {

const std::u16string kConfigKey = harness::ConfigKeyFor(harness::kDefaultServiceKey);
constexpr char16_t kValueName[] = u"DrvBlockType0";

struct Rule {
    std::u16string name;
    std::vector<std::uint8_t> data;
    ULONGLONG min = 0;
    ULONGLONG max = 0;
    bool operator==(const Rule&) const = default;
};

ULONG ValueType(std::uint8_t choice) {
    static const ULONG others[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_QWORD, 12, 0xFFFF};
    return (choice & 7) < 5 ? REG_MULTI_SZ : others[(choice >> 3) & 7];
}

std::optional<std::vector<std::uint8_t>> Hex(std::u16string_view text) {
    auto digit = [](char16_t c) {
        if (c >= u'0' && c <= u'9') return c - u'0';
        if (c >= u'a' && c <= u'f') return c - u'a' + 10;
        if (c >= u'A' && c <= u'F') return c - u'A' + 10;
        return -1;
    };
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

// One rule string: name;data for every type, name;data;range for the types
// with a version range. Anything else is no rule.
std::optional<Rule> Parse(std::u16string_view text, bool ranged) {
    const std::size_t first = text.find(u';');
    if (first == text.npos) return std::nullopt;
    Rule rule{std::u16string(text.substr(0, first)), {}, 0, 0};
    std::u16string_view rest = text.substr(first + 1);
    std::u16string_view range;
    if (ranged) {
        const std::size_t second = rest.find(u';');
        if (second == rest.npos) return std::nullopt;
        range = rest.substr(second + 1);
        rest = rest.substr(0, second);
    }
    auto data = Hex(rest);
    if (!data) return std::nullopt;
    rule.data = *data;
    if (ranged) {
        auto bounds = Hex(range);
        if (!bounds || bounds->size() != 16) return std::nullopt;
        for (int i = 7; i >= 0; --i) {
            rule.min = rule.min << 8 | (*bounds)[i];
            rule.max = rule.max << 8 | (*bounds)[8 + i];
        }
    }
    return rule;
}

// The rules of the value's strings, as a REG_MULTI_SZ splits them.
std::vector<Rule> ExpectedRules(const std::vector<std::uint8_t>& data, bool ranged) {
    std::vector<Rule> rules;
    std::u16string current;
    auto flush = [&] {
        if (!current.empty() && current.size() * 2 <= NAME_ENTRY_MAX_LENGTH) {
            if (auto rule = Parse(current, ranged)) rules.push_back(*rule);
        }
        current.clear();
    };
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0) {
            flush();
        } else {
            current += c;
        }
    }
    flush();
    return rules;
}

// Whether b holds the elements of a in their order, perhaps with others between.
bool IsSubsequence(const std::vector<Rule>& a, const std::vector<Rule>& b) {
    std::size_t j = 0;
    for (const Rule& rule : b) {
        if (j < a.size() && a[j] == rule) ++j;
    }
    return j == a.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    hk::ResetKernel();
    harness::ResetDriverGlobals();
    for (LIST_ENTRY& head : g_RuleLists) InitializeListHead(&head);

    fuzz::Input input(data, size);
    const ULONG type = input.Byte() % RULE_TYPE_COUNT;
    const ULONG valueType = ValueType(input.Byte());
    const std::uint8_t failure = input.Byte();
    const std::uint8_t flags = input.Byte();
    const std::span<const std::uint8_t> payload = input.Rest();
    const std::vector<std::uint8_t> value(payload.begin(), payload.end());

    hk::State().export_query_registry_values_ex = (flags & 1) != 0;
    hk::TheRegistry().CreateKey(kConfigKey);
    if ((flags & 2) == 0) hk::TheRegistry().SetValue(kConfigKey, kValueName, valueType, value);
    const std::uint64_t failing = fuzz::ArmPoolFailure(failure);

    const NTSTATUS status = LoadRuleValue(kConfigKey.c_str(), kValueName, type);
    hk::PoolClearFailures();

    const bool ranged = RuleTypeHasVersionRange(static_cast<LONG>(type));
    std::vector<Rule> loaded;
    for (LIST_ENTRY* link = g_RuleLists[type].Flink; link != &g_RuleLists[type]; link = link->Flink) {
        const RULE_ENTRY* rule = CONTAINING_RECORD(link, RULE_ENTRY, Links);
        FUZZ_CHECK(rule->Type == type);
        FUZZ_CHECK(rule->DataLength >= 1);
        const auto* block = reinterpret_cast<const std::uint8_t*>(rule);
        const std::size_t nameOffset = (RULE_ENTRY_HEADER_SIZE + rule->DataLength + 1) & ~std::size_t{1};
        FUZZ_CHECK(reinterpret_cast<const std::uint8_t*>(rule->Name.Buffer) == block + nameOffset);
        FUZZ_CHECK(rule->Name.MaximumLength == rule->Name.Length + 2);
        FUZZ_CHECK(rule->Name.Buffer[rule->Name.Length / 2] == 0);
        if (!ranged) FUZZ_CHECK(rule->MinVersion == 0 && rule->MaxVersion == 0);
        loaded.push_back(Rule{std::u16string(rule->Name.Buffer, rule->Name.Length / 2),
                              std::vector<std::uint8_t>(rule->Data, rule->Data + rule->DataLength),
                              rule->MinVersion, rule->MaxVersion});

        // A rule matches its own data, where its type admits that length and
        // its range holds some version.
        const bool admitted = (type != RULE_DIGEST_32 || rule->DataLength == 32) &&
                              (type != RULE_PDB_GUID || rule->DataLength == 16);
        const bool inRange = !ranged || (rule->MinVersion <= rule->MaxVersion && rule->MinVersion != VERSION_UNKNOWN);
        if (admitted && inRange) {
            FUZZ_CHECK(MatchRule(static_cast<LONG>(type), rule->Data, rule->DataLength,
                                 ranged ? rule->MinVersion : VERSION_UNKNOWN));
        }
    }

    const bool multiString = (flags & 2) == 0 && valueType == REG_MULTI_SZ;
    const std::vector<Rule> expected = multiString ? ExpectedRules(value, ranged) : std::vector<Rule>{};
    if ((flags & 2) != 0) {
        FUZZ_CHECK(status == STATUS_SUCCESS && loaded.empty());  // no value: nothing read
    } else if (valueType != REG_MULTI_SZ) {
        FUZZ_CHECK(status == STATUS_INVALID_VARIANT && loaded.empty());
    } else if (failing == 0 || hk::PoolStatistics().failed == 0) {
        FUZZ_CHECK(status == STATUS_SUCCESS);
        FUZZ_CHECK(loaded == expected);
    } else {
        // A lost string drops its rule; a lost rule record ends the value.
        FUZZ_CHECK(status == STATUS_SUCCESS || status == STATUS_NO_MEMORY);
        FUZZ_CHECK(IsSubsequence(loaded, expected));
        FUZZ_CHECK(loaded.size() + 1 >= expected.size() || status == STATUS_NO_MEMORY);
    }

    FreeEntryList(&g_RuleLists[type]);
    FUZZ_CHECK(hk::PoolLiveCount(ELAM_POOL_TAG) == 0);
    harness::ResetDriverGlobals();
    return 0;
}
