// LoadConfiguration: the configuration key derived from the service key, the
// two switches, the code-integrity gate, and what gets loaded.
#include "support/driver_state.h"
#include "support/registry_data.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using regdata::Bytes;
using regdata::kConfigKey;
using regdata::kServiceKey;
using regdata::kServicesKey;

const std::u16string kRange = u";00000000000001000000000005000200";

class ConfigurationTest : public DriverStateTest {
protected:
    void SetUp() override {
        DriverStateTest::SetUp();
        // LoadConfiguration makes the lists itself: start from zeroed heads.
        ForgetDriverState(false);
    }

    static NTSTATUS Load(const std::u16string& service = kServiceKey) {
        const UNICODE_STRING path = hk::MakeUnicodeString(service);
        return LoadConfiguration(&path);
    }

    // One rule value and one exclusion, to see whether loading ran.
    static void SetSomethingToLoad() {
        regdata::SetMultiSz(kConfigKey, u"DrvBlockType4", {u"r;41"});
        regdata::SetMultiSz(kConfigKey, u"ExcludedDrivers", {u"x.sys"});
    }
    static bool Loaded() {
        const bool rules = Rules(g_RuleLists[4]).size() == 1;
        const bool exclusions = Names(g_ExcludedDrivers) == std::vector<std::u16string>{u"x.sys"};
        EXPECT_EQ(rules, exclusions) << "rules and exclusions load together";
        return rules && exclusions;
    }

    static void ExpectAllListsEmpty() {
        for (const LIST_ENTRY& head : g_RuleLists) EXPECT_TRUE(head.Flink == &head && head.Blink == &head);
        EXPECT_TRUE(g_ExcludedDrivers.Flink == &g_ExcludedDrivers && g_ExcludedDrivers.Blink == &g_ExcludedDrivers);
        EXPECT_TRUE(g_BlockedDrivers.Flink == &g_BlockedDrivers && g_BlockedDrivers.Blink == &g_BlockedDrivers);
    }
};

std::u16string ConfigPath() { return std::u16string(g_ConfigKeyPath.Buffer, g_ConfigKeyPath.Length / 2); }

TEST_F(ConfigurationTest, ConfigurationKeyIsTheSiblingServiceParameters) {
    const std::u16string services(kServicesKey);
    const struct {
        std::u16string service;
        std::u16string config;
    } cases[] = {
        {services + u"\\XyzElam", services + u"\\XyzSP\\Parameters"},
        {services + u"\\XyzELAM", services + u"\\XyzSP\\Parameters"},
        {services + u"\\xyzeLaM", services + u"\\xyzSP\\Parameters"},
        {services + u"\\Elam\\SubElam", services + u"\\Elam\\SubSP\\Parameters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.service));
        ReleaseDriverState();
        hk::TheRegistry().CreateKey(c.config);
        EXPECT_EQ(Load(c.service), STATUS_SUCCESS);
        EXPECT_EQ(ConfigPath(), c.config);
        EXPECT_EQ(g_ConfigKeyPath.Length, c.service.size() * 2 + 18);
        EXPECT_EQ(g_ConfigKeyPath.MaximumLength, c.service.size() * 2 + 20);
        ASSERT_NE(g_ConfigKeyPath.Buffer, nullptr);
        EXPECT_EQ(g_ConfigKeyPath.Buffer[g_ConfigKeyPath.Length / 2], 0) << "NUL-terminated inside its buffer";
        const auto blocks = hk::PoolLiveBlocks();
        const auto block = std::find_if(blocks.begin(), blocks.end(),
                                        [](const hk::PoolBlock& b) { return b.address == g_ConfigKeyPath.Buffer; });
        ASSERT_NE(block, blocks.end());
        EXPECT_EQ(block->size, g_ConfigKeyPath.MaximumLength) << "the buffer holds the path and its NUL exactly";
        EXPECT_EQ(block->tag, ELAM_POOL_TAG);
    }
}

TEST_F(ConfigurationTest, RefusedPathsKeepNothing) {
    const std::u16string services(kServicesKey);
    const struct {
        const char* label;
        std::u16string service;
        NTSTATUS status;
    } cases[] = {
        {"empty", u"", STATUS_SUCCESS},
        {"8 bytes", u"Elam", STATUS_SUCCESS},
        {"6 bytes", u"lam", STATUS_SUCCESS},
        {"not ending in Elam", services + u"\\XyzSvc", STATUS_UNKNOWN_REVISION},
        {"Elam not at the end", services + u"\\XyzElam2", STATUS_UNKNOWN_REVISION},
        {"one letter off", services + u"\\XyzElan", STATUS_UNKNOWN_REVISION},
        {"already the SP key", services + u"\\XyzSP", STATUS_UNKNOWN_REVISION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        hk::ResetKernel();
        ForgetDriverState(false);
        hk::TheRegistry().CreateKey(kConfigKey);
        SetSomethingToLoad();
        EXPECT_EQ(Load(c.service), c.status);
        ExpectAllListsEmpty();
        EXPECT_EQ(g_ConfigKeyPath.Buffer, nullptr);
        EXPECT_EQ(g_ConfigKeyPath.Length, 0);
        EXPECT_EQ(g_DriverBlocking, 1u);
        EXPECT_EQ(hk::PoolStatistics().allocations, 0u);
    }
}

TEST_F(ConfigurationTest, OverlongRegistryPathIsRefused) {
    // The configuration path, 18 bytes longer plus its NUL, must fit 65,535 bytes.
    auto service_of_length = [](std::size_t bytes) {
        const std::u16string head = u"\\Registry\\Machine\\";
        return head + std::u16string(bytes / 2 - head.size() - 4, u'a') + u"Elam";
    };
    const std::u16string longest = service_of_length(65514);
    EXPECT_EQ(Load(longest), STATUS_OBJECT_NAME_NOT_FOUND) << "accepted, but no such key";
    EXPECT_EQ(g_ConfigKeyPath.Length, 65532);
    EXPECT_EQ(g_ConfigKeyPath.MaximumLength, 65534);
    EXPECT_EQ(ConfigPath(), longest.substr(0, longest.size() - 4) + u"SP\\Parameters");
    ReleaseDriverState();

    for (std::size_t bytes : {std::size_t{65516}, std::size_t{65534}}) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(Load(service_of_length(bytes)), STATUS_UNKNOWN_REVISION);
        EXPECT_EQ(g_ConfigKeyPath.Buffer, nullptr);
        EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u);
    }
}

TEST_F(ConfigurationTest, PathAllocationFailure) {
    hk::TheRegistry().CreateKey(kConfigKey);
    SetSomethingToLoad();
    hk::PoolFailNth(1);
    EXPECT_EQ(Load(), STATUS_NO_MEMORY);
    ExpectAllListsEmpty();
    EXPECT_EQ(g_ConfigKeyPath.Buffer, nullptr);
    EXPECT_EQ(g_DriverBlocking, 1u);
}

TEST_F(ConfigurationTest, MissingKeyKeepsThePathOnly) {
    hk::TheRegistry().CreateKey(std::u16string(kServicesKey) + u"\\XyzSP");  // the service, not its Parameters
    EXPECT_EQ(Load(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ConfigPath(), kConfigKey) << "kept for the report at unload";
    ExpectAllListsEmpty();
    EXPECT_EQ(g_DriverBlocking, 1u);
    EXPECT_EQ(hk::State().query_registry_calls + hk::State().query_registry_ex_calls, 0u);
}

struct Switch {
    ULONG type;
    Bytes data;
};
Switch Dword(ULONG v) { return {REG_DWORD, regdata::Dword(v)}; }

TEST_F(ConfigurationTest, EnabledAndDriverBlocking) {
    constexpr ULONG kCiOnTestSigning = 0x3;
    struct Case {
        const char* label;
        std::optional<Switch> enabled, blocking;
        std::optional<ULONG> code_integrity;
        NTSTATUS status;
        ULONG driver_blocking;
        bool loaded;
    };
    const Case cases[] = {
        {"neither present", {}, {}, {}, STATUS_SUCCESS, 1, true},
        {"both 1", Dword(1), Dword(1), {}, STATUS_SUCCESS, 1, true},
        {"Enabled 0", Dword(0), {}, {}, STATUS_SERVER_DISABLED, 0, false},
        {"Enabled 0, DriverBlocking 5", Dword(0), Dword(5), {}, STATUS_SERVER_DISABLED, 0, false},
        {"DriverBlocking 0", {}, Dword(0), {}, STATUS_SERVER_DISABLED, 0, false},
        {"Enabled 2, DriverBlocking 6", Dword(2), Dword(6), {}, STATUS_SUCCESS, 6, true},
        {"DriverBlocking 0x80000001, code integrity with test signing", {}, Dword(0x80000001), kCiOnTestSigning,
         STATUS_SUCCESS, 0x80000001, true},
        {"DriverBlocking 0x80000001, no code-integrity answer", {}, Dword(0x80000001), {}, STATUS_SUCCESS, 1, true},
        {"DriverBlocking 0x80000000, code integrity without test signing", {}, Dword(0x80000000), 0x1,
         STATUS_SUCCESS, 0, true},  // bit 31 cleared, loading goes on all the same
        {"DriverBlocking 0x80000000, gate passed", {}, Dword(0x80000000), kCiOnTestSigning, STATUS_SUCCESS,
         0x80000000, true},
        // A switch of another type stops the query there: what follows keeps its preset.
        {"Enabled as REG_SZ stops before DriverBlocking 0", Switch{REG_SZ, regdata::Sz(u"0")}, Dword(0), {},
         STATUS_SUCCESS, 1, true},
        {"Enabled as REG_QWORD 0", Switch{REG_QWORD, Bytes(8, 0)}, Dword(0), {}, STATUS_SUCCESS, 1, true},
        {"DriverBlocking as REG_SZ", {}, Switch{REG_SZ, regdata::Sz(u"0")}, {}, STATUS_SUCCESS, 1, true},
        {"DriverBlocking as REG_BINARY zero", Dword(1), Switch{REG_BINARY, Bytes(4, 0)}, {}, STATUS_SUCCESS, 1, true},
        {"Enabled 0, DriverBlocking as REG_SZ", Dword(0), Switch{REG_SZ, regdata::Sz(u"1")}, {},
         STATUS_SERVER_DISABLED, 0, false},
        {"DriverBlocking as REG_DWORD_BIG_ENDIAN", {}, Switch{REG_DWORD_BIG_ENDIAN, Bytes(4, 0)}, {}, STATUS_SUCCESS,
         1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        hk::ResetKernel();
        ForgetDriverState(false);
        hk::State().code_integrity_options = c.code_integrity;
        SetSomethingToLoad();
        if (c.enabled) hk::TheRegistry().SetValue(kConfigKey, u"Enabled", c.enabled->type, c.enabled->data);
        if (c.blocking) hk::TheRegistry().SetValue(kConfigKey, u"DriverBlocking", c.blocking->type, c.blocking->data);
        EXPECT_EQ(Load(), c.status);
        EXPECT_EQ(g_DriverBlocking, c.driver_blocking);
        EXPECT_EQ(Loaded(), c.loaded);
        EXPECT_EQ(ConfigPath(), kConfigKey);
        ReleaseDriverState();
        ForgetDriverState(false);
    }
}

TEST_F(ConfigurationTest, FailedCodeIntegrityRuleNeedsCodeIntegrityAndTestSigningOnly) {
    struct Case {
        std::optional<ULONG> options;
        bool kept;
    };
    const Case cases[] = {
        {0x3, true},
        {0x83, true},   // debug mode (0x80) is not looked at
        {0x7, true},
        {0x0, false},
        {0x1, false},   // code integrity without test signing
        {0x2, false},   // test signing without code integrity
        {0x23, false},  // test build
        {0x43, false},  // pre-production build
        {0x103, false}, // flight build
        {0x163, false},
        {std::nullopt, false},  // the query fails
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options ? std::to_string(*c.options) : std::string("query fails"));
        hk::ResetKernel();
        ForgetDriverState(false);
        hk::State().code_integrity_options = c.options;
        SetSomethingToLoad();
        regdata::SetDword(kConfigKey, u"DriverBlocking", 0x80000003);
        EXPECT_EQ(Load(), STATUS_SUCCESS);
        EXPECT_EQ(g_DriverBlocking, c.kept ? 0x80000003u : 0x3u) << "only bit 31 is gated";
        EXPECT_TRUE(Loaded());
        ReleaseDriverState();
        ForgetDriverState(false);
    }
}

// The rule value names: "DrvBlockType?" and "DrvBlockType?Vps" with ? = '0' + type.
std::u16string ValueName(ULONG type, bool second) {
    std::u16string name = u"DrvBlockType";
    name += static_cast<char16_t>(u'0' + type);
    if (second) name += u"Vps";
    return name;
}

std::u16string RuleText(ULONG type, const std::u16string& name, const std::u16string& data) {
    return name + u";" + data + (RuleTypeHasVersionRange(type) ? kRange : u"");
}

TEST_F(ConfigurationTest, AllTwentyTwoRuleValuesAreRead) {
    hk::TheRegistry().CreateKey(kConfigKey);
    for (ULONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        // Second values written first: loading order is fixed, not the registry's.
        regdata::SetMultiSz(kConfigKey, ValueName(type, true), {RuleText(type, u"second", u"02")});
        regdata::SetMultiSz(kConfigKey, ValueName(type, false), {RuleText(type, u"first", u"01")});
    }
    // Type 10 is ':', never the two characters 1 and 0.
    regdata::SetMultiSz(kConfigKey, u"DrvBlockType10", {RuleText(10, u"decoy", u"0A")});
    regdata::SetMultiSz(kConfigKey, u"DrvBlockType10Vps", {RuleText(10, u"decoy", u"0A")});
    EXPECT_EQ(ValueName(10, false), u"DrvBlockType:");

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (ULONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        SCOPED_TRACE(type);
        const auto rules = Rules(g_RuleLists[type]);
        ASSERT_EQ(rules.size(), 2u);
        EXPECT_EQ(std::u16string(rules[0]->Name.Buffer, rules[0]->Name.Length / 2), u"first");
        EXPECT_EQ(std::u16string(rules[1]->Name.Buffer, rules[1]->Name.Length / 2), u"second");
        EXPECT_EQ(rules[0]->Type, type);
        EXPECT_EQ(rules[0]->Data[0], 0x01);
        EXPECT_EQ(rules[1]->Data[0], 0x02);
    }
}

TEST_F(ConfigurationTest, OnlyTheSecondValueOfType3) {
    hk::TheRegistry().CreateKey(kConfigKey);
    regdata::SetMultiSz(kConfigKey, u"DrvBlockType3Vps", {u"g1;00112233445566778899AABBCCDDEEFF", u"g2;01"});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    for (ULONG type = 0; type < RULE_TYPE_COUNT; ++type) {
        EXPECT_EQ(Rules(g_RuleLists[type]).size(), type == 3 ? 2u : 0u) << "list " << type;
    }
    EXPECT_TRUE(IsListEmpty(&g_ExcludedDrivers));
}

TEST_F(ConfigurationTest, ExclusionsAreLoaded) {
    hk::TheRegistry().CreateKey(kConfigKey);
    regdata::SetMultiSz(kConfigKey, u"ExcludedDrivers", {u"\\drivers\\a.sys", u"", u"B.SYS"});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const auto records = NameRecords(g_ExcludedDrivers);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].name, u"\\drivers\\a.sys");
    EXPECT_EQ(records[1].name, u"B.SYS");
    EXPECT_EQ(records[0].value, 0u);
    EXPECT_EQ(records[1].value, 0u);
    EXPECT_TRUE(IsListEmpty(&g_BlockedDrivers));
}

TEST_F(ConfigurationTest, BothQueryRoutines) {
    // One query for the switches, 22 rule values and the exclusions.
    for (bool exported : {true, false}) {
        SCOPED_TRACE(exported ? "Ex exported" : "Ex not exported");
        hk::ResetKernel();
        ForgetDriverState(false);
        hk::State().export_query_registry_values_ex = exported;
        SetSomethingToLoad();
        regdata::SetDword(kConfigKey, u"DriverBlocking", 7);
        EXPECT_EQ(Load(), STATUS_SUCCESS);
        EXPECT_EQ(g_DriverBlocking, 7u);
        EXPECT_TRUE(Loaded());
        EXPECT_EQ(hk::State().query_registry_ex_calls, exported ? 24u : 0u);
        EXPECT_EQ(hk::State().query_registry_calls, exported ? 0u : 24u);
        ReleaseDriverState();
        ForgetDriverState(false);
    }

    // Switched off: the switches are the only query.
    hk::ResetKernel();
    SetSomethingToLoad();
    regdata::SetDword(kConfigKey, u"Enabled", 0);
    EXPECT_EQ(Load(), STATUS_SERVER_DISABLED);
    EXPECT_EQ(hk::State().query_registry_ex_calls, 1u);
}

}  // namespace
