// MatchRule: input admission by type, the three kinds of comparison, and the
// version ranges.
#include "support/driver_state.h"
#include "support/registry_data.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using regdata::Bytes;

constexpr ULONGLONG kAllOnes = ~0ull;
constexpr ULONGLONG V(ULONGLONG a, ULONGLONG b, ULONGLONG c, ULONGLONG d) {
    return (a << 48) | (b << 32) | (c << 16) | d;
}

Bytes Ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

// An input length every type admits.
std::size_t AdmittedLength(LONG type) { return type == RULE_DIGEST_32 ? 32 : 16; }

class MatchRuleTest : public DriverStateTest {
protected:
    // Appends a rule as the loader builds it (one zero-filled block of the
    // driver's tag, no name), so that FreeAllLists releases it. ListType is
    // the list it goes on, normally its own type.
    void AddRule(LONG list_type, const Bytes& data, ULONGLONG min = 0, ULONGLONG max = 0, LONG rule_type = -1) {
        const SIZE_T size = RULE_ENTRY_HEADER_SIZE + data.size() + 1 + sizeof(WCHAR);
        auto* rule = static_cast<PRULE_ENTRY>(ExAllocatePoolWithTag(PagedPool, size, ELAM_POOL_TAG));
        ASSERT_NE(rule, nullptr);
        std::memset(rule, 0, size);
        rule->Type = static_cast<ULONG>(rule_type < 0 ? list_type : rule_type);
        rule->MinVersion = min;
        rule->MaxVersion = max;
        rule->DataLength = static_cast<ULONG>(data.size());
        if (!data.empty()) std::memcpy(rule->Data, data.data(), data.size());
        rule->Name.Buffer = reinterpret_cast<PWCH>(reinterpret_cast<PUCHAR>(rule) + ((RULE_ENTRY_HEADER_SIZE + data.size() + 1) & ~SIZE_T{1}));
        rule->Name.MaximumLength = sizeof(WCHAR);
        InsertTailList(&g_RuleLists[list_type], &rule->Links);
    }

    static bool Match(LONG type, const Bytes& input, ULONGLONG version = VERSION_UNKNOWN) {
        return MatchRule(type, input.data(), static_cast<ULONG>(input.size()), version);
    }
};

TEST_F(MatchRuleTest, EmptyListsAndOutOfRangeTypesNeverMatch) {
    for (LONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        SCOPED_TRACE(type);
        EXPECT_FALSE(MatchRule(type, nullptr, 0, VERSION_UNKNOWN));
        EXPECT_FALSE(MatchRule(type, nullptr, 16, 0));
        EXPECT_FALSE(Match(type, Bytes(16, 0), V(1, 0, 0, 0)));
    }
    // Zeroed heads, as before LoadConfiguration ran, are empty too.
    ForgetDriverState(false);
    EXPECT_FALSE(Match(RULE_IMAGE_HASH, Bytes(16, 0)));
    ForgetDriverState();

    for (LONG type = 0; type < RULE_TYPE_COUNT; ++type) AddRule(type, Bytes(16, 0), 0, kAllOnes);
    for (LONG type : {LONG{-1}, LONG{11}, LONG{12}, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(type);
        EXPECT_FALSE(Match(type, Bytes(16, 0), V(1, 0, 0, 0)));
    }
}

TEST_F(MatchRuleTest, NullOrEmptyInputNeverMatches) {
    for (LONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        AddRule(type, Bytes{});  // a rule of length 0, which the loader never makes
        AddRule(type, Bytes(AdmittedLength(type), 0), 0, kAllOnes - 1);
    }
    for (LONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        SCOPED_TRACE(type);
        const ULONG length = static_cast<ULONG>(AdmittedLength(type));
        EXPECT_FALSE(MatchRule(type, nullptr, length, V(1, 0, 0, 0)));
        EXPECT_FALSE(MatchRule(type, "", 0, V(1, 0, 0, 0)));
        EXPECT_TRUE(Match(type, Bytes(length, 0), V(1, 0, 0, 0))) << "the rules themselves are reachable";
    }
}

TEST_F(MatchRuleTest, FixedLengthTypesAdmitOnlyTheirLength) {
    struct Case {
        LONG type;
        std::size_t length;
        bool match;
    };
    const Case cases[] = {
        {RULE_DIGEST_32, 31, false}, {RULE_DIGEST_32, 32, true}, {RULE_DIGEST_32, 33, false},
        {RULE_PDB_GUID, 15, false},  {RULE_PDB_GUID, 16, true},  {RULE_PDB_GUID, 17, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + ": " + std::to_string(c.length) + " bytes");
        FreeAllLists();
        const Bytes data(c.length, 0x5A);
        AddRule(c.type, data);  // a rule of that very length is in the list
        EXPECT_EQ(Match(c.type, data), c.match);
    }
}

TEST_F(MatchRuleTest, TextInputsAreLimitedTo65535Bytes) {
    const LONG text_types[] = {RULE_FILE_NAME, RULE_PDB_NAME, RULE_FILE_NAME_VERSION, RULE_PDB_NAME_VERSION,
                               RULE_ORIGINAL_NAME, RULE_ORIGINAL_NAME_VERSION};
    const Bytes limit(65535, 'a');
    const Bytes over(65536, 'a');
    for (LONG type : text_types) {
        SCOPED_TRACE(type);
        FreeAllLists();
        AddRule(type, limit, 0, kAllOnes - 1);
        AddRule(type, over, 0, kAllOnes - 1);
        EXPECT_TRUE(Match(type, limit, V(1, 0, 0, 0)));
        EXPECT_FALSE(Match(type, over, V(1, 0, 0, 0)));
    }
    // Byte types have no such limit.
    for (LONG type : {LONG{RULE_THUMBPRINT}, LONG{RULE_IMAGE_HASH}, LONG{RULE_THUMBPRINT_VERSION}}) {
        SCOPED_TRACE(type);
        FreeAllLists();
        const Bytes huge(70000, 0x33);
        AddRule(type, over, 0, kAllOnes - 1);
        AddRule(type, huge, 0, kAllOnes - 1);
        EXPECT_TRUE(Match(type, over, V(1, 0, 0, 0)));
        EXPECT_TRUE(Match(type, huge, V(1, 0, 0, 0)));
    }
}

TEST_F(MatchRuleTest, ComparisonByType) {
    struct Case {
        const char* label;
        LONG type;
        Bytes rule;
        Bytes input;
        bool match;
    };
    const Bytes sys = regdata::Le(u"bad.sys");
    const Case cases[] = {
        // Text ignores case: UTF-16 for 0, 6, 9, 10; 8-bit for 2, 7.
        {"UTF-16 upper-case input", RULE_FILE_NAME, sys, regdata::Le(u"BAD.SYS"), true},
        {"UTF-16 mixed case", RULE_ORIGINAL_NAME, regdata::Le(u"Bad.Sys"), regdata::Le(u"bAD.sYS"), true},
        {"UTF-16 non-ASCII letter", RULE_FILE_NAME, regdata::Le(u"\u00E9.sys"), regdata::Le(u"\u00C9.SYS"), true},
        {"UTF-16 other text", RULE_FILE_NAME, sys, regdata::Le(u"bad.syz"), false},
        {"8-bit upper-case input", RULE_PDB_NAME, Ascii("bad.pdb"), Ascii("BAD.PDB"), true},
        {"8-bit other text", RULE_PDB_NAME, Ascii("bad.pdb"), Ascii("bad.pdc"), false},
        // Bytes are exact: 0x41 and 0x61 differ.
        {"hash case pair", RULE_IMAGE_HASH, Ascii("abcd"), Ascii("Abcd"), false},
        {"thumbprint case pair", RULE_THUMBPRINT, Ascii("abcd"), Ascii("ABCD"), false},
        {"GUID case pair", RULE_PDB_GUID, Ascii("0123456789abcdef"), Ascii("0123456789ABCDEF"), false},
        {"digest last byte", RULE_DIGEST_32, Bytes(32, 7), [] { Bytes b(32, 7); b[31] = 8; return b; }(), false},
        {"hash equal", RULE_IMAGE_HASH, Bytes{0, 1, 2, 0}, Bytes{0, 1, 2, 0}, true},
        // Neither a prefix nor a longer text matches.
        {"UTF-16 rule is a prefix", RULE_FILE_NAME, regdata::Le(u"bad"), sys, false},
        {"UTF-16 input is a prefix", RULE_FILE_NAME, sys, regdata::Le(u"bad"), false},
        {"8-bit rule is a prefix", RULE_PDB_NAME, Ascii("bad"), Ascii("bad.pdb"), false},
        {"8-bit input is a prefix", RULE_PDB_NAME, Ascii("bad.pdb"), Ascii("bad"), false},
        {"byte rule is a prefix", RULE_THUMBPRINT, Bytes{1, 2}, Bytes{1, 2, 3}, false},
        {"byte input is a prefix", RULE_THUMBPRINT, Bytes{1, 2, 3}, Bytes{1, 2}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FreeAllLists();
        AddRule(c.type, c.rule);
        EXPECT_EQ(Match(c.type, c.input), c.match);
    }
}

TEST_F(MatchRuleTest, WalkSkipsRulesOfAnotherLengthOrType) {
    AddRule(RULE_THUMBPRINT, Bytes{1, 2});
    AddRule(RULE_THUMBPRINT, Bytes{1, 2, 3}, 0, 0, RULE_IMAGE_HASH);  // misplaced: never matched here
    EXPECT_FALSE(Match(RULE_THUMBPRINT, Bytes{1, 2, 3}));
    AddRule(RULE_THUMBPRINT, Bytes{1, 2, 3});
    EXPECT_TRUE(Match(RULE_THUMBPRINT, Bytes{1, 2, 3}));
    EXPECT_TRUE(Match(RULE_THUMBPRINT, Bytes{1, 2}));
}

TEST_F(MatchRuleTest, VersionRangesAreInclusiveAndNeedAKnownVersion) {
    const ULONGLONG min = V(1, 0, 0, 0);
    const ULONGLONG max = V(2, 5, 0, 0);
    struct Case {
        const char* label;
        ULONGLONG min, max, version;
        bool match;
    };
    const Case cases[] = {
        {"equal to the lower bound", min, max, min, true},
        {"equal to the upper bound", min, max, max, true},
        {"inside", min, max, V(2, 0, 3, 4), true},
        {"just below", min, max, min - 1, false},
        {"just above", min, max, max + 1, false},
        {"unknown version, widest range", 0, kAllOnes, VERSION_UNKNOWN, false},
        {"unknown version, range ending below all ones", 0, kAllOnes - 1, VERSION_UNKNOWN, false},
        {"all ones minus one is a version", 0, kAllOnes, kAllOnes - 1, true},
        {"zero is a version", 0, 0, 0, true},
        {"inverted range, at its lower bound", max, min, max, false},
        {"inverted range, at its upper bound", max, min, min, false},
        {"inverted range, between", max, min, V(2, 0, 0, 0), false},
    };
    const struct {
        LONG type;
        Bytes data;
    } types[] = {
        {RULE_FILE_NAME_VERSION, regdata::Le(u"bad.sys")},
        {RULE_PDB_NAME_VERSION, Ascii("bad.pdb")},
        {RULE_THUMBPRINT_VERSION, Bytes(20, 0x99)},
        {RULE_ORIGINAL_NAME_VERSION, regdata::Le(u"bad.sys")},
    };
    for (const auto& t : types) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(t.type) + ": " + c.label);
            FreeAllLists();
            AddRule(t.type, t.data, c.min, c.max);
            EXPECT_EQ(Match(t.type, t.data, c.version), c.match);
        }
    }
}

TEST_F(MatchRuleTest, TypesWithoutARangeIgnoreTheVersion) {
    for (LONG type : {0, 1, 2, 3, 4, 5, 9}) {
        SCOPED_TRACE(type);
        FreeAllLists();
        const Bytes input(type == RULE_PDB_GUID ? 16 : 32, 0x44);
        AddRule(type, input, 5, 6);  // a range they never look at
        EXPECT_TRUE(Match(type, input, VERSION_UNKNOWN));
        EXPECT_TRUE(Match(type, input, V(9, 0, 0, 0)));
    }
}

TEST_F(MatchRuleTest, LaterRuleWithTheSameDataCanHoldTheVersion) {
    const Bytes name = regdata::Le(u"bad.sys");
    AddRule(RULE_FILE_NAME_VERSION, name, V(1, 0, 0, 0), V(1, 9, 0, 0));
    AddRule(RULE_FILE_NAME_VERSION, name, V(3, 0, 0, 0), V(3, 9, 0, 0));
    EXPECT_TRUE(Match(RULE_FILE_NAME_VERSION, name, V(3, 1, 0, 0)));
    EXPECT_TRUE(Match(RULE_FILE_NAME_VERSION, name, V(1, 1, 0, 0)));
    EXPECT_FALSE(Match(RULE_FILE_NAME_VERSION, name, V(2, 0, 0, 0)));
}

TEST_F(MatchRuleTest, RulesLoadedFromTheRegistryMatch) {
    hk::TheRegistry().CreateKey(regdata::kConfigKey);
    regdata::SetMultiSz(regdata::kConfigKey, u"DrvBlockType6",
                        {u"Example;6200610064002E00730079007300;00000000000001000000000005000200"});
    regdata::SetMultiSz(regdata::kConfigKey, u"DrvBlockType2", {u"Example;6261642E706462"});
    const UNICODE_STRING service = hk::MakeUnicodeString(regdata::kServiceKey);
    ASSERT_EQ(LoadConfiguration(&service), STATUS_SUCCESS);

    EXPECT_TRUE(Match(RULE_FILE_NAME_VERSION, regdata::Le(u"BAD.sys"), V(2, 5, 0, 0)));
    EXPECT_FALSE(Match(RULE_FILE_NAME_VERSION, regdata::Le(u"BAD.sys"), V(2, 5, 0, 1)));
    EXPECT_TRUE(Match(RULE_PDB_NAME, Ascii("Bad.Pdb")));
    EXPECT_FALSE(Match(RULE_FILE_NAME, regdata::Le(u"bad.sys")));
}

}  // namespace
