#include "bench/blocklist.h"

#include "bench/cases.h"
#include "harness/boot.h"
#include "hostkernel/pe_image.h"
#include "hostkernel/regfile.h"
#include "tests/support/registry_data.h"

#include <cstdint>
#include <map>
#include <set>
#include <string_view>

namespace elam_bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The strings of REG_MULTI_SZ data.
std::vector<std::u16string> MultiStrings(const Bytes& data) {
    std::vector<std::u16string> strings;
    std::u16string current;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c != 0) {
            current += c;
        } else if (!current.empty()) {
            strings.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) strings.push_back(std::move(current));
    return strings;
}

// The rule type of a rule value: "DrvBlockType5" and "DrvBlockType5Vps" are
// type 5, "DrvBlockType:" type 10; -1 for any other value.
int RuleTypeOfValue(std::u16string_view name) {
    constexpr std::u16string_view kPrefix = u"DrvBlockType";
    if (name.size() != kPrefix.size() + 1 && name.size() != kPrefix.size() + 4) return -1;
    if (!hk::EqualNoCase(name.substr(0, kPrefix.size()), kPrefix)) return -1;
    if (name.size() == kPrefix.size() + 4 && !hk::EqualNoCase(name.substr(kPrefix.size() + 1), u"Vps")) {
        return -1;
    }
    const int type = name[kPrefix.size()] - u'0';
    return type >= 0 && type <= 10 ? type : -1;
}

bool IsUtf16TextType(int type) { return type == 0 || type == 6 || type == 9 || type == 10; }
bool IsAnsiTextType(int type) { return type == 2 || type == 7; }

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

char16_t ShiftLetter(char16_t c, unsigned shift) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(u'a' + (c - u'a' + shift) % 26);
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(u'A' + (c - u'A' + shift) % 26);
    return c;
}

// Copy number copy (1, 2, ...) of one rule's data. Text is kept text of the
// same length with its letters shifted through the alphabet by copy places
// (so that case folding cannot make two copies equal); any other data is
// mixed with a stream of bytes that depends only on the copy and the
// position, which keeps the rules of one copy distinct from each other.
Bytes VaryData(int type, Bytes data, unsigned copy) {
    if (IsUtf16TextType(type)) {
        for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
            const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
            const char16_t shifted = ShiftLetter(c, copy);
            data[i] = static_cast<std::uint8_t>(shifted);
            data[i + 1] = static_cast<std::uint8_t>(shifted >> 8);
        }
    } else if (IsAnsiTextType(type)) {
        for (auto& b : data) b = static_cast<std::uint8_t>(ShiftLetter(b, copy));
    } else {
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] ^= static_cast<std::uint8_t>(SplitMix(copy * 0x10000ull + i) | 1);
        }
    }
    return data;
}

// The data bytes of a rule string name;data[;range]; false when the string is
// no well-formed rule (the driver skips it either way).
bool SplitRule(const std::u16string& rule, std::size_t* dataBegin, std::size_t* dataEnd, Bytes* data) {
    const std::size_t first = rule.find(u';');
    if (first == std::u16string::npos) return false;
    const std::size_t second = rule.find(u';', first + 1);
    const std::size_t end = second == std::u16string::npos ? rule.size() : second;
    if (end == first + 1 || (end - first - 1) % 2 != 0) return false;
    data->clear();
    for (std::size_t i = first + 1; i < end; i += 2) {
        const int high = HexValue(rule[i]);
        const int low = HexValue(rule[i + 1]);
        if (high < 0 || low < 0) return false;
        data->push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    *dataBegin = first + 1;
    *dataEnd = end;
    return true;
}

// One rule string with its data varied.
std::u16string VaryRuleString(int type, const std::u16string& rule, unsigned copy) {
    std::size_t begin = 0, end = 0;
    Bytes data;
    if (!SplitRule(rule, &begin, &end, &data)) return rule;
    return rule.substr(0, begin) + regdata::Hex(VaryData(type, std::move(data), copy)) + rule.substr(end);
}

// What makes a rule the same rule for the driver: its type, its data (text
// folded as the driver compares it) and its range.
std::u16string RuleIdentity(int type, const std::u16string& rule) {
    std::size_t begin = 0, end = 0;
    Bytes data;
    if (!SplitRule(rule, &begin, &end, &data)) return u"malformed:" + rule;
    if (IsUtf16TextType(type)) {
        for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
            const char16_t folded = hk::FoldCase(std::u16string(1, static_cast<char16_t>(data[i] | data[i + 1] << 8)))[0];
            data[i] = static_cast<std::uint8_t>(folded);
            data[i + 1] = static_cast<std::uint8_t>(folded >> 8);
        }
    } else if (IsAnsiTextType(type)) {
        for (auto& b : data) b = (b >= 'a' && b <= 'z') ? static_cast<std::uint8_t>(b - 0x20) : b;
    }
    return std::u16string(1, static_cast<char16_t>(u'A' + type)) + u';' + regdata::Hex(data) +
           hk::FoldCase(rule.substr(end));
}

// The shipped configuration key's values, as elamctl builds them from the
// shipped block list.
std::vector<hk::RegValue> ShippedValues() {
    const Inputs& inputs = TheInputs();
    if (!inputs.config_reg.empty()) {
        hk::Registry registry;
        const Bytes file = hk::ReadFileBytes(inputs.config_reg);
        hk::ImportRegText(registry, std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
        const hk::RegKey* key = registry.FindKey(ConfigKey());
        if (key == nullptr) {
            Fail(inputs.config_reg + ": no key " + hk::Utf16ToUtf8(ConfigKey()));
        }
        return key->values;
    }
    Fail("no block list: give --elam-config=FILE.reg");
}

BlockList Scale(const BlockList& shipped, unsigned scale) {
    BlockList list = shipped;
    std::set<std::u16string> identities;
    std::size_t rules = 0;
    for (auto& value : list.values) {
        const int type = RuleTypeOfValue(value.name);
        if (type < 0 || value.type != REG_MULTI_SZ) continue;
        const std::vector<std::u16string> originals = MultiStrings(value.data);
        std::vector<std::u16string> strings = originals;
        for (unsigned copy = 1; copy < scale; ++copy) {
            for (const auto& rule : originals) strings.push_back(VaryRuleString(type, rule, copy));
        }
        for (const auto& rule : strings) identities.insert(RuleIdentity(type, rule));
        rules += strings.size();
        value.data = regdata::MultiSz(strings);
    }
    if (identities.size() != rules) {
        Fail("the list of scale " + std::to_string(scale) + " holds " +
             std::to_string(rules - identities.size()) + " repeated rules");
    }
    return list;
}

}  // namespace

const std::u16string& ConfigKey() {
    static const std::u16string key = harness::ConfigKeyFor(harness::kDefaultServiceKey);
    return key;
}

const BlockList& TheBlockList(unsigned scale) {
    static std::map<unsigned, BlockList> lists;
    auto it = lists.find(scale);
    if (it == lists.end()) {
        static const BlockList shipped{ShippedValues()};
        it = lists.emplace(scale, Scale(shipped, scale)).first;
    }
    return it->second;
}

void InstallBlockList(const BlockList& list) {
    hk::Registry& registry = hk::TheRegistry();
    registry.DeleteKey(ConfigKey());
    registry.CreateKey(ConfigKey());
    for (const auto& value : list.values) registry.SetValue(ConfigKey(), value.name, value.type, value.data);
}

}  // namespace elam_bench
