// The hex decoder, the rule loader's text format, the RULE_ENTRY block and
// the order and failures of loading.
#include "support/driver_state.h"
#include "support/registry_data.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using regdata::Bytes;
using regdata::kConfigKey;

// ---------------------------------------------------------------------------
// DecodeHexString
// ---------------------------------------------------------------------------

class DecodeHexStringTest : public KernelTest {};

TEST_F(DecodeHexStringTest, RefusesMismatchedArguments) {
    std::u16string digits = u"41";
    UNICODE_STRING text = hk::MakeUnicodeString(digits);
    UCHAR out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(DecodeHexString(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(DecodeHexString(nullptr, out, sizeof(out)), 0u);
    EXPECT_EQ(DecodeHexString(&text, nullptr, 4), 0u) << "no buffer but a length";
    EXPECT_EQ(DecodeHexString(&text, out, 0), 0u) << "a buffer but no length";
    EXPECT_EQ(out[0], 0xEE);
}

TEST_F(DecodeHexStringTest, ValidateModeCountsTheBytes) {
    struct Case {
        std::u16string text;
        ULONG bytes;
    };
    const Case cases[] = {
        {u"41", 1},
        {u"aB", 1},
        {u"Ab", 1},
        {u"0123456789abcdefABCDEF", 11},
        {u"414243", 3},  // the digit count need not be a multiple of four
        {u"", 0},
        {u"4", 0},
        {u"414", 0},
        // Characters right next to the digit ranges.
        {u"0/", 0}, {u"0:", 0}, {u"0@", 0}, {u"0G", 0}, {u"0`", 0}, {u"0g", 0},
        {u"4G", 0},
        {u"41 2", 0},
        {u" 41 ", 0},
        {u"0x41", 0},
        {u"41;0", 0},
        {u"\uFF14\uFF11", 0},  // full-width digits are no digits
        {u"\u0141", 0},        // nor is a character whose low byte is one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.text));
        const UNICODE_STRING text = hk::MakeUnicodeString(c.text);
        EXPECT_EQ(DecodeHexString(&text, nullptr, 0), c.bytes);
    }
}

TEST_F(DecodeHexStringTest, OddByteLengthIsRoundedDown) {
    std::u16string digits = u"414243";
    UNICODE_STRING text = hk::MakeUnicodeString(digits);
    text.Length = 5;  // two whole characters
    EXPECT_EQ(DecodeHexString(&text, nullptr, 0), 1u);
    UCHAR out[2] = {0xEE, 0xEE};
    EXPECT_EQ(DecodeHexString(&text, out, sizeof(out)), 1u);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 0xEE);
    text.Length = 3;  // one whole character: an odd digit count
    EXPECT_EQ(DecodeHexString(&text, nullptr, 0), 0u);
    text.Length = 6;
    EXPECT_EQ(DecodeHexString(&text, nullptr, 0), 0u);
}

TEST_F(DecodeHexStringTest, DecodeModeWritesHighNibbleFirst) {
    struct Case {
        std::u16string text;
        ULONG capacity;
        ULONG result;
        Bytes out;  // the buffer afterwards, prefilled with 0xEE
    };
    const Case cases[] = {
        {u"aBcD", 2, 2, {0xAB, 0xCD}},
        {u"00fF10", 3, 3, {0x00, 0xFF, 0x10}},
        {u"aBcD", 4, 2, {0xAB, 0xCD, 0xEE, 0xEE}},        // a larger buffer: the rest untouched
        {u"aBcD", 1, 0, {0xEE}},                          // too small: nothing written
        {u"4142zz43", 4, 0, {0x41, 0x42, 0xEE, 0xEE}},    // pairs before the bad digit stay
        {u"414Z", 2, 0, {0x41, 0xEE}},                    // a bad low digit
        {u"Z1", 1, 0, {0xEE}},
        {u"414", 2, 0, {0xEE, 0xEE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.text) + " into " + std::to_string(c.capacity));
        const UNICODE_STRING text = hk::MakeUnicodeString(c.text);
        Bytes out(c.capacity, 0xEE);
        EXPECT_EQ(DecodeHexString(&text, out.data(), c.capacity), c.result);
        EXPECT_EQ(out, c.out);
    }
}

// ---------------------------------------------------------------------------
// LoadRuleValue
// ---------------------------------------------------------------------------

constexpr ULONGLONG kNone = 0;

class RuleLoadTest : public DriverStateTest {
protected:
    void SetUp() override {
        DriverStateTest::SetUp();
        hk::TheRegistry().CreateKey(kConfigKey);
    }
    NTSTATUS Load(std::initializer_list<std::u16string_view> strings, ULONG type) {
        regdata::SetMultiSz(kConfigKey, u"Rules", strings);
        return LoadRuleValue(kConfigKey.c_str(), u"Rules", type);
    }
};

Bytes DataOf(const RULE_ENTRY* rule) { return Bytes(rule->Data, rule->Data + rule->DataLength); }
std::u16string NameOf(const RULE_ENTRY* rule) {
    return std::u16string(rule->Name.Buffer, rule->Name.Length / 2);
}

const std::u16string kRange1To25 = u"00000000000001000000000005000200";  // 1.0.0.0 to 2.5.0.0

TEST_F(RuleLoadTest, RuleTextIsLoadedOrSkipped) {
    struct Case {
        ULONG type;
        std::u16string text;
        bool loaded;
        std::u16string name;
        Bytes data;
        ULONGLONG min, max;
    };
    const Case cases[] = {
        {0, u"x;41", true, u"x", {0x41}, kNone, kNone},  // odd UTF-16 length: loaded all the same
        {4, u";41", true, u"", {0x41}, kNone, kNone},
        {0, u"a b;41", true, u"a b", {0x41}, kNone, kNone},
        {5, u"x;aB", true, u"x", {0xAB}, kNone, kNone},
        {5, u"x;Ab", true, u"x", {0xAB}, kNone, kNone},
        {4, u"x;414243", true, u"x", {0x41, 0x42, 0x43}, kNone, kNone},
        {3, u"g;" + std::u16string(30, u'1'), true, u"g", Bytes(15, 0x11), kNone, kNone},  // no length check by type
        {0, u"Example;6200610064002E00730079007300", true, u"Example", regdata::Le(u"bad.sys"), kNone, kNone},
        {2, u"Example;6261642E706462", true, u"Example", {'b', 'a', 'd', '.', 'p', 'd', 'b'}, kNone, kNone},
        {6, u"Example;6200610064002E00730079007300;" + kRange1To25, true, u"Example", regdata::Le(u"bad.sys"),
         0x0001000000000000ull, 0x0002000500000000ull},
        {6, u"x;41;00000000000002000000000000000100", true, u"x", {0x41}, 0x0002000000000000ull,
         0x0001000000000000ull},  // inverted range kept as written
        {10, u"n;41;0400030002000100ffffffffffffffff", true, u"n", {0x41}, 0x0001000200030004ull, ~0ull},
        {8, u"t;00;" + kRange1To25, true, u"t", {0x00}, 0x0001000000000000ull, 0x0002000500000000ull},
        {7, u";6162;" + kRange1To25, true, u"", {'a', 'b'}, 0x0001000000000000ull, 0x0002000500000000ull},
        // Skipped.
        {0, u"x41", false}, {0, u"x;", false}, {0, u"x;4", false}, {0, u"x;4G", false},
        {0, u"x;41 2", false}, {4, u"x;0x41", false}, {4, u"x; 41", false},
        {0, u"x;41;0000000000000100", false},  // the second ';' belongs to the data
        {0, u";", false},
        {6, u"x;41", false},                   // the range is required
        {6, u"x;", false},
        {6, u"x;;" + kRange1To25, false},
        {6, u"x;41;", false},
        {6, u"x;41;" + kRange1To25.substr(2), false},      // 30 digits
        {6, u"x;41;" + kRange1To25 + u"00", false},       // 34 digits
        {6, u"x;41;" + kRange1To25.substr(1) + u"G", false},
        {6, u"x;41;" + kRange1To25 + u";", false},
        {10, u"x;4;" + kRange1To25, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.text) + " as type " + std::to_string(c.type));
        EXPECT_EQ(Load({c.text}, c.type), STATUS_SUCCESS);
        for (ULONG other = 0; other < RULE_TYPE_COUNT; ++other) {
            if (other != c.type) EXPECT_TRUE(IsListEmpty(&g_RuleLists[other])) << "list " << other;
        }
        const auto rules = Rules(g_RuleLists[c.type]);
        if (!c.loaded) {
            EXPECT_TRUE(rules.empty());
            EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u) << "a skipped string leaves no block";
        } else if (rules.size() != 1) {
            ADD_FAILURE() << "expected one rule, got " << rules.size();
        } else {
            const RULE_ENTRY* rule = rules[0];
            EXPECT_EQ(rule->Type, c.type);
            EXPECT_EQ(NameOf(rule), c.name);
            EXPECT_EQ(rule->Name.MaximumLength, rule->Name.Length + 2);
            EXPECT_EQ(DataOf(rule), c.data);
            EXPECT_EQ(rule->MinVersion, c.min);
            EXPECT_EQ(rule->MaxVersion, c.max);
        }
        FreeAllLists();
    }
}

TEST_F(RuleLoadTest, RuleIsOneZeroFilledBlockWithTheNameBehindTheData) {
    struct Case {
        std::u16string text;
        std::size_t data_length;
        std::size_t name_offset;  // first even offset at or behind the data's end
    };
    const std::size_t header = RULE_ENTRY_HEADER_SIZE;
    const Case cases[] = {
        {u"ab;41", 1, header + 2},  // odd end: one pad byte
        {u"ab;4142", 2, header + 2},
        {u"abc;414243", 3, header + 4},
        {u";41424344", 4, header + 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.text));
        ASSERT_EQ(Load({c.text}, 4), STATUS_SUCCESS);
        const auto rules = Rules(g_RuleLists[4]);
        ASSERT_EQ(rules.size(), 1u);
        const RULE_ENTRY* rule = rules[0];
        const std::size_t name_length = c.text.find(u';') * 2;

        const auto blocks = hk::PoolLiveBlocks();
        ASSERT_EQ(blocks.size(), 1u) << "one block per rule, the value's strings freed";
        EXPECT_EQ(blocks[0].address, rule);
        EXPECT_EQ(blocks[0].tag, ELAM_POOL_TAG);
        EXPECT_EQ(blocks[0].size, header + c.data_length + 1 + name_length + 2);
        const auto* base = reinterpret_cast<const std::uint8_t*>(rule);
        EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(rule->Name.Buffer) - base,
                  static_cast<std::ptrdiff_t>(c.name_offset));

        // Everything but the links and the name's buffer pointer, byte for byte.
        Bytes expected(blocks[0].size, 0);
        const USHORT lengths[2] = {static_cast<USHORT>(name_length), static_cast<USHORT>(name_length + 2)};
        std::memcpy(&expected[0x10], lengths, sizeof(lengths));
        const ULONG type = 4;
        std::memcpy(&expected[0x20], &type, 4);
        const ULONG data_length = static_cast<ULONG>(c.data_length);
        std::memcpy(&expected[0x38], &data_length, 4);
        for (std::size_t i = 0; i < c.data_length; ++i) expected[header + i] = static_cast<std::uint8_t>(0x41 + i);
        std::memcpy(&expected[c.name_offset], c.text.data(), name_length);
        Bytes actual(base, base + blocks[0].size);
        std::memset(&actual[0], 0, 0x10);
        std::memset(&actual[0x18], 0, 8);
        EXPECT_EQ(actual, expected);
        FreeAllLists();
    }
}

TEST_F(RuleLoadTest, ValueLoadsInOrderSkippingMalformedStrings) {
    EXPECT_EQ(Load({u"a;41", u"no separator", u"b;4G", u"c;42", u"a;41"}, 5), STATUS_SUCCESS);
    const auto rules = Rules(g_RuleLists[5]);
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(NameOf(rules[0]), u"a");
    EXPECT_EQ(NameOf(rules[1]), u"c");
    EXPECT_EQ(NameOf(rules[2]), u"a") << "the same rule twice gives two records";
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 3u) << "the value's strings are freed";

    // A second value of the same type goes behind the first.
    regdata::SetMultiSz(kConfigKey, u"More", {u"d;43"});
    EXPECT_EQ(LoadRuleValue(kConfigKey.c_str(), u"More", 5), STATUS_SUCCESS);
    ASSERT_EQ(Rules(g_RuleLists[5]).size(), 4u);
    EXPECT_EQ(NameOf(Rules(g_RuleLists[5])[3]), u"d");
}

TEST_F(RuleLoadTest, ReadFailuresLeaveTheListUnchanged) {
    ASSERT_EQ(Load({u"kept;41"}, 4), STATUS_SUCCESS);
    EXPECT_EQ(LoadRuleValue(kConfigKey.c_str(), u"Missing", 4), STATUS_SUCCESS);
    hk::TheRegistry().SetValue(kConfigKey, u"Text", REG_SZ, regdata::Sz(u"x;41"));
    EXPECT_EQ(LoadRuleValue(kConfigKey.c_str(), u"Text", 4), STATUS_INVALID_VARIANT);
    const std::u16string missing_key = kConfigKey + u"\\Nowhere";
    EXPECT_EQ(LoadRuleValue(missing_key.c_str(), u"Rules", 4), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Rules(g_RuleLists[4]).size(), 1u);
    EXPECT_EQ(NameOf(Rules(g_RuleLists[4])[0]), u"kept");
}

TEST_F(RuleLoadTest, AllocationFailures) {
    struct Case {
        const char* label;
        std::uint64_t fail;  // the allocation that fails: strings 1 to 3, then rules
        NTSTATUS status;
        std::vector<std::u16string> names;
        std::uint64_t allocations;
    };
    const Case cases[] = {
        // A string lost while reading the value: the other rules still load.
        {"second string", 2, STATUS_SUCCESS, {u"a", u"c"}, 5},
        // A rule's block: the rest of the value is dropped, earlier rules stay.
        {"second rule", 5, STATUS_NO_MEMORY, {u"a"}, 5},
        {"first rule", 4, STATUS_NO_MEMORY, {}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        hk::ResetKernel();
        hk::TheRegistry().CreateKey(kConfigKey);
        hk::PoolFailNth(c.fail);
        EXPECT_EQ(Load({u"a;41", u"b;42", u"c;43"}, 4), c.status);
        std::vector<std::u16string> names;
        for (const RULE_ENTRY* rule : Rules(g_RuleLists[4])) names.push_back(NameOf(rule));
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(hk::PoolStatistics().allocations, c.allocations);
        EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), c.names.size()) << "the value's strings are freed";
        FreeAllLists();
    }

    // The next value still loads by its own call.
    hk::PoolClearFailures();
    EXPECT_EQ(Load({u"d;44"}, 4), STATUS_SUCCESS);
    EXPECT_EQ(Rules(g_RuleLists[4]).size(), 1u);
}

TEST_F(RuleLoadTest, FirstValueOfATypeComesBeforeItsSecond) {
    const std::u16string range = u";" + kRange1To25;
    // Written second first: the registry's order must not matter.
    regdata::SetMultiSz(kConfigKey, u"DrvBlockType6Vps", {u"s1;41" + range, u"s2;42" + range});
    regdata::SetMultiSz(kConfigKey, u"DrvBlockType6", {u"f1;43" + range});
    const UNICODE_STRING service = hk::MakeUnicodeString(regdata::kServiceKey);
    ASSERT_EQ(LoadConfiguration(&service), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (const RULE_ENTRY* rule : Rules(g_RuleLists[6])) names.push_back(NameOf(rule));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"f1", u"s1", u"s2"}));
}

TEST_F(RuleLoadTest, CorruptRuleListStopsWithFastFail) {
    ASSERT_EQ(Load({u"a;41"}, 4), STATUS_SUCCESS);
    LIST_ENTRY* tail = g_RuleLists[4].Blink;
    tail->Flink = tail;  // the tail no longer points back to the head
    EXPECT_THROW(Load({u"b;42"}, 4), hk::FastFail);
    EXPECT_EQ(hk::FastFailCount(), 1u);
    EXPECT_EQ(hk::LastFastFailCode(), ULONG{FAST_FAIL_CORRUPT_LIST_ENTRY});
    // The machine stops here: drop the pool and the broken list as they stand.
    hk::PoolReset();
    ForgetDriverState();
}

}  // namespace
