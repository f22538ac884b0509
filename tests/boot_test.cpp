// Whole boots of the driver on the host kernel: from DriverEntry through the
// boot-driver callbacks to the report, with the configuration written as .reg
// text and real PE images in the module list. Every boot runs twice: on the
// host build of the driver, and on the shipped driver image loaded into the
// host kernel, with the same expectations.
#include "harness/boot.h"
#include "hostkernel/image_loader.h"
#include "hostkernel/pe_image.h"
#include "hostkernel/regfile.h"

#include "support/kernel_test.h"
#include "support/registry_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using harness::BootDriver;
using harness::Event;
using harness::Scenario;

// The configuration key that the harness's default service key selects.
constexpr char kConfigKeyText[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\BootGuardSP\\Parameters";
const std::u16string kConfigKey = harness::ConfigKeyFor(harness::kDefaultServiceKey);
const std::u16string kDrivers = u"\\SystemRoot\\System32\\drivers\\";

constexpr ULONG kUnknown = BdCbClassificationUnknownImage;
constexpr ULONG kKnownBad = BdCbClassificationKnownBadImage;

// ---------------------------------------------------------------------------
// Rule text as it stands in the registry
// ---------------------------------------------------------------------------
constexpr auto Hex = &regdata::Hex<char>;

// UTF-16LE text, as the file-name and original-name rules hold it.
std::string U16Hex(std::u16string_view text) {
    Bytes bytes;
    for (char16_t c : text) bytes.insert(bytes.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
    return Hex(bytes);
}

// 8-bit text, as the debug-record name rules hold it.
std::string AnsiHex(std::string_view text) { return Hex(Bytes(text.begin(), text.end())); }

using regdata::Version;
constexpr auto Range = &regdata::Range<char>;

Bytes Sequence(std::uint8_t first, std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = std::uint8_t(first + i);
    return bytes;
}

const Bytes kHash = Sequence(0x10, 32);        // SHA-256 sized
const Bytes kThumbprint = Sequence(0xA0, 20);  // SHA-1 sized

// ---------------------------------------------------------------------------
// .reg text
// ---------------------------------------------------------------------------

// A REG_MULTI_SZ value line: "name"=hex(7):... with every string terminated
// and the closing empty string.
std::string MultiSzW(const std::string& name, const std::vector<std::u16string>& strings) {
    std::string line = "\"" + name + "\"=hex(7):";
    char digits[4];
    auto add = [&](char16_t c) {
        std::snprintf(digits, sizeof(digits), "%02x,", unsigned(c & 0xFF));
        line += digits;
        std::snprintf(digits, sizeof(digits), "%02x,", unsigned(c >> 8));
        line += digits;
    };
    for (const auto& s : strings) {
        for (char16_t c : s) add(c);
        add(0);
    }
    add(0);
    line.pop_back();  // the last comma
    return line;
}

std::string MultiSz(const std::string& name, const std::vector<std::string>& strings) {
    std::vector<std::u16string> wide;
    for (const auto& s : strings) wide.push_back(hk::Utf8ToUtf16(s));
    return MultiSzW(name, wide);
}

std::string Dword(const std::string& name, ULONG value) {
    char digits[9];
    std::snprintf(digits, sizeof(digits), "%08x", value);
    return "\"" + name + "\"=dword:" + digits;
}

// A report that an earlier boot left behind.
const std::string kEarlierReport = MultiSzW("ElamBlockedDrivers", {u"\xFF05\\old\\gone.sys"});

// Imports the configuration key with these value lines.
void ImportConfig(const std::vector<std::string>& lines) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[";
    text += kConfigKeyText;
    text += "]\r\n";
    for (const auto& line : lines) text += line + "\r\n";
    hk::ImportRegText(hk::TheRegistry(), text);
}

BootDriver Driver(std::u16string name) {
    return BootDriver{std::move(name), std::nullopt, std::nullopt, false};
}

Event Status(BDCB_STATUS_UPDATE_TYPE type) { return Event{Event::Status, type}; }
Event Image(int driver) { return Event{Event::Image, driver}; }

std::u16string Units(const Bytes& data) {
    std::u16string units(data.size() / 2, u'\0');
    std::memcpy(units.data(), data.data(), units.size() * 2);
    return units;
}

std::string Narrow(std::u16string_view s) { return hk::Utf16ToUtf8(s); }

// ---------------------------------------------------------------------------
// Fixture images
// ---------------------------------------------------------------------------

// What the fixture images carry (tests/fixtures/*.rc and their link lines).
constexpr ULONGLONG kVersionImageVersion = Version(1, 2, 3, 4);  // fx_version.sys
constexpr ULONGLONG kDebugImageVersion = Version(4, 0, 0, 1);    // fx_debug.sys
constexpr char kDebugImagePdb[] = "fx_debug.pdb";                // leaf of D:\out\x64\fx_debug.pdb

// The GUID of an image's CodeView record, read straight from its bytes.
Bytes CodeViewGuid(const hk::MappedImage& image) {
    const std::uint8_t* bytes = image.bytes();
    for (std::size_t i = 0; i + 20 <= image.size(); ++i) {
        if (std::memcmp(bytes + i, "RSDS", 4) == 0) return Bytes(bytes + i + 4, bytes + i + 20);
    }
    return {};
}

// The driver a boot runs: the host build, or the signed image.
enum class Build { Host, Image };

std::string BuildName(Build build) { return build == Build::Host ? "Host" : "Image"; }
void PrintTo(Build build, std::ostream* os) { *os << BuildName(build); }

const auto kBuilds = ::testing::Values(Build::Host, Build::Image);

// The entry routine of the test's build, for entry wrappers.
harness::DriverEntryRoutine g_entry = nullptr;

// The kernel heads every module list (hostkernel/kernel.cpp).
constexpr char kKernelModulePath[] = "\\SystemRoot\\system32\\ntoskrnl.exe";

class BootFixture : public KernelTest {
protected:
    // Chooses the driver; call from SetUp (skips the test when the image was
    // not built). The image is loaded afresh for every test, as for a boot.
    void UseBuild(Build build) {
        build_ = build;
        entry_ = &DriverEntry;
        if (build == Build::Image) {
            if (!std::filesystem::exists(ELAM_DRIVER_IMAGE)) GTEST_SKIP() << "driver image not built";
            image_ = hk::LoadDriverImage(ELAM_DRIVER_IMAGE);
            entry_ = image_->entry();
        }
        g_entry = entry_;
    }

    // Maps a fixture image for the length of the test; null when the fixture
    // images were not built.
    const hk::MappedImage* Fixture(const std::string& file) {
        const std::string path = std::string(ELAM_FIXTURE_DIR) + "/" + file;
        if (!std::filesystem::exists(path)) return nullptr;
        images_.push_back(std::make_unique<hk::MappedImage>(hk::MapImageFile(path)));
        return images_.back().get();
    }

    // A boot after which nothing of the driver's pool is left and nothing
    // fast-failed.
    harness::BootResult Boot(const Scenario& scenario, harness::DriverEntryRoutine entry = nullptr) {
        harness::BootResult result = harness::RunBoot(scenario, entry != nullptr ? entry : entry_);
        for (const auto& block : result.leaked) {
            EXPECT_NE(block.tag, ELAM_POOL_TAG) << "block of " << block.size << " bytes left behind";
        }
        EXPECT_FALSE(result.fast_fail.has_value()) << "fast-fail " << result.fast_fail.value_or(0);
        return result;
    }

    // The report as decoded strings; empty when there is no report.
    static std::vector<harness::ReportEntry> Report(const harness::BootResult& result) {
        if (!result.report) return {};
        auto entries = harness::DecodeReport(*result.report);
        EXPECT_TRUE(entries.has_value()) << "malformed report";
        return entries.value_or(std::vector<harness::ReportEntry>{});
    }

    // Announces the unload through the registered callback, for boots whose
    // events stop short of it.
    static void Unload() {
        const auto callback = hk::State().boot_callbacks.front();
        BDCB_STATUS_UPDATE_CONTEXT unload{BdCbStatusPrepareForUnload};
        callback.routine(callback.context, BdCbStatusUpdate,
                         reinterpret_cast<PBDCB_IMAGE_INFORMATION>(&unload));
    }

    // The driver's module snapshot, found in its pool by the kernel's entry
    // that heads it (the image's globals are out of reach); null when none.
    static const void* Snapshot() {
        for (const auto& block : hk::PoolLiveBlocks()) {
            if (block.tag != ELAM_POOL_TAG || block.size < sizeof(RTL_PROCESS_MODULE_INFORMATION_EX)) {
                continue;
            }
            const auto* entry = static_cast<const RTL_PROCESS_MODULE_INFORMATION_EX*>(block.address);
            const char* path = reinterpret_cast<const char*>(entry->BaseInfo.FullPathName);
            if (std::strcmp(path, kKernelModulePath) == 0) return block.address;
        }
        return nullptr;
    }

    Build build_ = Build::Host;
    harness::DriverEntryRoutine entry_ = &DriverEntry;
    std::unique_ptr<hk::LoadedImage> image_;
    std::vector<std::unique_ptr<hk::MappedImage>> images_;
};

// Single boots, once per build.
class BootTest : public BootFixture, public ::testing::WithParamInterface<Build> {
protected:
    void SetUp() override {
        BootFixture::SetUp();
        UseBuild(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Builds, BootTest, kBuilds, [](const auto& info) { return BuildName(info.param); });

// Tables of boots, each case once per build.
template <typename Case>
class BootCaseTest : public BootFixture, public ::testing::WithParamInterface<std::tuple<Case, Build>> {
protected:
    void SetUp() override {
        BootFixture::SetUp();
        UseBuild(std::get<1>(this->GetParam()));
    }
    const Case& TestCase() const { return std::get<0>(this->GetParam()); }
};

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<std::tuple<Case, Build>>& info) {
    return std::string(std::get<0>(info.param).label) + "_" + BuildName(std::get<1>(info.param));
}

// ---------------------------------------------------------------------------
// Each rule type reaching its reason, and the order of the rules
// ---------------------------------------------------------------------------

// One rule string in one rule value.
struct RuleValue {
    std::string value;  // "DrvBlockType0" ... "DrvBlockType:Vps"
    std::string rule;   // "{GUID}" stands for the GUID of fx_debug.sys
};

struct RuleCase {
    const char* label;
    std::vector<RuleValue> rules;
    bool failed_ci_switch = false;    // "DriverBlocking"=0x80000001
    const char* fixture = nullptr;    // image mapped under the driver's path
    std::u16string file;              // the driver's file name under kDrivers
    bool hash = false;                // ImageHash = kHash
    bool thumbprint = false;          // CertificateThumbprint = kThumbprint
    bool failed_ci = false;           // ImageFlags bit 0
    std::optional<ULONG> reason;      // none: the image stays unknown
    std::optional<std::string> module_path = std::nullopt;  // when not the driver's path
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.label; }

const std::string kAllRanges = Range(0, ~0ull);
const RuleValue kGuidRule{"DrvBlockType3", "x;{GUID}"};
const RuleValue kPdbNameRule{"DrvBlockType2", "x;" + AnsiHex(kDebugImagePdb)};
const RuleValue kHashRuleValue{"DrvBlockType5", "x;" + Hex(kHash)};
const RuleValue kThumbprintRuleValue{"DrvBlockType4", "x;" + Hex(kThumbprint)};
const RuleValue kDebugOriginalNameRule{"DrvBlockType9", "x;" + U16Hex(u"fxdebug.sys")};
const std::string kHashRule = MultiSz("DrvBlockType5", {"x;" + Hex(kHash)});

const RuleCase kReasonCases[] = {
    {"FileName", {{"DrvBlockType0", "Example;6200610064002E00730079007300"}}, false, nullptr, u"bad.sys",
     false, false, false, 0},
    // No step consults the 32-byte digest, not even with an image hash of those 32 bytes.
    {"Digest32NeverConsulted", {{"DrvBlockType1", "x;" + Hex(kHash)}}, false, nullptr, u"a.sys", true,
     false, false, std::nullopt},
    {"PdbName", {{"DrvBlockType2", "x;" + AnsiHex("FX_DEBUG.PDB")}}, false, "fx_debug.sys", u"fx_debug.sys",
     false, false, false, 2},
    {"PdbGuid", {{"DrvBlockType3Vps", "x;{GUID}"}}, false, "fx_debug.sys", u"fx_debug.sys", false, false,
     false, 3},
    {"Thumbprint", {{"DrvBlockType4", ";" + Hex(kThumbprint)}}, false, nullptr, u"a.sys", false, true,
     false, 4},
    {"ImageHash", {kHashRuleValue}, false, nullptr, u"a.sys", true, false, false, 5},
    {"FileNameVersion",
     {{"DrvBlockType6", "Example;" + U16Hex(u"fx_version.sys") + ";00000000000001000000000005000200"}},
     false, "fx_version.sys", u"fx_version.sys", false, false, false, 6},
    {"FileNameVersionAtBothBounds",
     {{"DrvBlockType6Vps",
       "x;" + U16Hex(u"fx_version.sys") + ";" + Range(kVersionImageVersion, kVersionImageVersion)}},
     false, "fx_version.sys", u"fx_version.sys", false, false, false, 6},
    {"FileNameVersionOutOfRange",
     {{"DrvBlockType6",
       "x;" + U16Hex(u"fx_version.sys") + ";" + Range(kVersionImageVersion + 1, Version(2, 0, 0, 0))}},
     false, "fx_version.sys", u"fx_version.sys", false, false, false, std::nullopt},
    // Without a mapped image no version is known, and no range holds an unknown version.
    {"FileNameVersionWithoutImage", {{"DrvBlockType6", "x;" + U16Hex(u"bad.sys") + ";" + kAllRanges}},
     false, nullptr, u"bad.sys", false, false, false, std::nullopt},
    {"PdbNameVersion",
     {{"DrvBlockType7",
       "x;" + AnsiHex(kDebugImagePdb) + ";" + Range(Version(4, 0, 0, 0), kDebugImageVersion)}},
     false, "fx_debug.sys", u"fx_debug.sys", false, false, false, 7},
    {"ThumbprintVersion",
     {{"DrvBlockType8", "x;" + Hex(kThumbprint) + ";" + Range(Version(1, 0, 0, 0), Version(2, 5, 0, 0))}},
     false, "fx_version.sys", u"fx_version.sys", false, true, false, 8},
    // The name in the version resource counts, not the file's name.
    {"OriginalName", {{"DrvBlockType9", "x;" + U16Hex(u"FXVERSION.SYS")}}, false, "fx_version.sys",
     u"renamed.sys", false, false, false, 9},
    {"OriginalNameVersion",
     {{"DrvBlockType:", "x;" + U16Hex(u"fxdebug.sys") + ";" + Range(kDebugImageVersion, kDebugImageVersion)}},
     false, "fx_debug.sys", u"fx_debug.sys", false, false, false, 10},
    {"FailedCodeIntegrity", {}, true, nullptr, u"a.sys", false, false, true, 255},
    // The module lookup is exact: a path that differs in case finds no image.
    {"ModulePathDiffersInCase", {kPdbNameRule}, false, "fx_debug.sys", u"fx_debug.sys", false, false, false,
     std::nullopt, "\\SystemRoot\\System32\\DRIVERS\\fx_debug.sys"},
};

const RuleCase kOrderCases[] = {
    {"ImageHashBeforeThumbprint", {kThumbprintRuleValue, kHashRuleValue}, false, nullptr, u"a.sys", true,
     true, false, 5},
    {"FileNameBeforeEverything",
     {{"DrvBlockType0", "x;" + U16Hex(u"fx_debug.sys")}, kPdbNameRule, kGuidRule, kHashRuleValue,
      kThumbprintRuleValue, kDebugOriginalNameRule},
     true, "fx_debug.sys", u"fx_debug.sys", true, true, true, 0},
    {"FileNameBeforeFileNameVersion",
     {{"DrvBlockType6", "x;" + U16Hex(u"fx_debug.sys") + ";" + kAllRanges},
      {"DrvBlockType0", "x;" + U16Hex(u"fx_debug.sys")}},
     false, "fx_debug.sys", u"fx_debug.sys", false, false, false, 0},
    {"PdbNameBeforeGuid", {kGuidRule, kPdbNameRule}, false, "fx_debug.sys", u"fx_debug.sys", true, false,
     false, 2},
    {"GuidBeforeImageHash", {kGuidRule, kHashRuleValue}, false, "fx_debug.sys", u"fx_debug.sys", true, false,
     false, 3},
    {"ThumbprintBeforeOriginalName", {kDebugOriginalNameRule, kThumbprintRuleValue}, false, "fx_debug.sys",
     u"fx_debug.sys", false, true, false, 4},
    {"OriginalNameBeforeFailedCodeIntegrity", {kDebugOriginalNameRule}, true, "fx_debug.sys",
     u"fx_debug.sys", false, false, true, 9},
};

// Each case runs on a kernel that exports RtlQueryRegistryValuesEx and on
// one that does not; the verdict must not differ.
class BootRuleTest : public BootCaseTest<std::tuple<RuleCase, bool>> {};

TEST_P(BootRuleTest, ReachesItsReason) {
    const auto& [c, export_ex] = TestCase();
    Scenario scenario;
    scenario.kernel.code_integrity_options = 0x3;
    scenario.kernel.query_registry_values_ex = export_ex;
    BootDriver driver = Driver(kDrivers + c.file);
    if (c.hash) driver.image_hash = kHash;
    if (c.thumbprint) driver.thumbprint = kThumbprint;
    driver.failed_code_integrity = c.failed_ci;
    scenario.drivers.push_back(driver);

    std::string guid;
    if (c.fixture != nullptr) {
        const hk::MappedImage* image = Fixture(c.fixture);
        const hk::MappedImage* debug = Fixture("fx_debug.sys");
        if (image == nullptr || debug == nullptr) GTEST_SKIP() << "fixture images not built";
        scenario.modules.push_back({image, c.module_path.value_or(Narrow(driver.name))});
        guid = Hex(CodeViewGuid(*debug));
        ASSERT_EQ(guid.size(), 32u) << "fx_debug.sys has no CodeView record";
    }
    // The rule strings of each value, in the order given.
    std::vector<std::pair<std::string, std::vector<std::string>>> values;
    for (const RuleValue& r : c.rules) {
        std::string rule = r.rule;
        if (const auto at = rule.find("{GUID}"); at != std::string::npos) rule.replace(at, 6, guid);
        auto it = std::find_if(values.begin(), values.end(),
                               [&](const auto& v) { return v.first == r.value; });
        if (it == values.end()) it = values.insert(values.end(), {r.value, {}});
        it->second.push_back(rule);
    }
    std::vector<std::string> config;
    if (c.failed_ci_switch) config.push_back(Dword("DriverBlocking", 0x80000001));
    for (const auto& [name, rules] : values) config.push_back(MultiSz(name, rules));
    ImportConfig(config);

    const harness::BootResult result = Boot(scenario);

    EXPECT_EQ(result.driver_entry_status, STATUS_SUCCESS);
    ASSERT_EQ(result.images.size(), 1u);
    const harness::ImageVerdict& verdict = result.images[0];
    if (c.reason) {
        EXPECT_EQ(verdict.classification, kKnownBad);
        EXPECT_EQ(verdict.reason, c.reason);
        const auto report = Report(result);
        ASSERT_EQ(report.size(), 1u);
        EXPECT_EQ(report[0].reason, *c.reason);
        EXPECT_EQ(report[0].path, driver.name);
    } else {
        EXPECT_EQ(verdict.classification, kUnknown);
        EXPECT_FALSE(result.report.has_value());
    }
    if (export_ex) {
        EXPECT_GT(hk::State().query_registry_ex_calls, 0u);
        EXPECT_EQ(hk::State().query_registry_calls, 0u);
    } else {
        EXPECT_EQ(hk::State().query_registry_ex_calls, 0u);
        EXPECT_GT(hk::State().query_registry_calls, 0u);
    }
}

using RuleParam = std::tuple<std::tuple<RuleCase, bool>, Build>;

std::string RuleCaseName(const ::testing::TestParamInfo<RuleParam>& info) {
    const auto& [c, export_ex] = std::get<0>(info.param);
    return std::string(c.label) + (export_ex ? "_QueryEx_" : "_Query_") + BuildName(std::get<1>(info.param));
}

const auto kReasonParams =
    ::testing::Combine(::testing::Combine(::testing::ValuesIn(kReasonCases), ::testing::Bool()), kBuilds);
const auto kOrderParams =
    ::testing::Combine(::testing::Combine(::testing::ValuesIn(kOrderCases), ::testing::Bool()), kBuilds);

INSTANTIATE_TEST_SUITE_P(BootReasons, BootRuleTest, kReasonParams, RuleCaseName);
INSTANTIATE_TEST_SUITE_P(BootOrder, BootRuleTest, kOrderParams, RuleCaseName);

// An all-zero GUID rule stands for "no debug record": it blocks every driver
// that has none, mapped or not, and spares the one that has a record.
TEST_P(BootTest, BootZeroGuidRuleBlocksEveryDriverWithoutDebugRecord) {
    const hk::MappedImage* version = Fixture("fx_version.sys");
    const hk::MappedImage* debug = Fixture("fx_debug.sys");
    if (version == nullptr || debug == nullptr) GTEST_SKIP() << "fixture images not built";
    ImportConfig({MultiSz("DrvBlockType3", {"zero;" + Hex(Bytes(16, 0))})});
    Scenario scenario;
    scenario.drivers = {Driver(kDrivers + u"unmapped.sys"), Driver(kDrivers + u"fx_version.sys"),
                        Driver(kDrivers + u"fx_debug.sys")};
    scenario.modules = {{version, Narrow(kDrivers + u"fx_version.sys")},
                        {debug, Narrow(kDrivers + u"fx_debug.sys")}};

    const auto result = Boot(scenario);

    ASSERT_EQ(result.images.size(), 3u);
    EXPECT_EQ(result.images[0].reason, 3u);
    EXPECT_EQ(result.images[1].reason, 3u);
    EXPECT_EQ(result.images[2].classification, kUnknown);
    EXPECT_EQ(Report(result).size(), 2u);
}

// ---------------------------------------------------------------------------
// The file-name part of the image path
// ---------------------------------------------------------------------------

struct NamePartCase {
    const char* label;
    std::u16string name;
    std::optional<ULONG> reason;  // with a bad.sys rule and a matching hash rule
};

void PrintTo(const NamePartCase& c, std::ostream* os) { *os << c.label; }

class BootNamePartTest : public BootCaseTest<NamePartCase> {};

TEST_P(BootNamePartTest, FileNameRulesSeeOnlyThePartAfterTheLastSeparator) {
    const NamePartCase& c = TestCase();
    ImportConfig({MultiSz("DrvBlockType0", {"x;" + U16Hex(u"bad.sys")}),
                  MultiSz("DrvBlockType6", {"x;" + U16Hex(u"bad.sys") + ";" + kAllRanges}), kHashRule});
    Scenario scenario;
    BootDriver driver = Driver(c.name);
    driver.image_hash = kHash;
    scenario.drivers = {driver};

    const auto result = Boot(scenario);

    ASSERT_EQ(result.images.size(), 1u);
    EXPECT_EQ(result.images[0].classification, kKnownBad);
    EXPECT_EQ(result.images[0].reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    BootNamePart, BootNamePartTest,
    ::testing::Combine(::testing::Values(
        NamePartCase{"BackslashPath", u"\\SystemRoot\\drivers\\bad.sys", 0},
        NamePartCase{"SeparatorAtStart", u"\\bad.sys", 0},
        NamePartCase{"SlashPath", u"/boot/drivers/bad.sys", 0},
        NamePartCase{"SlashAfterBackslash", u"\\SystemRoot\\drivers/bad.sys", 0},
        NamePartCase{"BackslashAfterSlash", u"/SystemRoot/drivers\\bad.sys", 0},
        NamePartCase{"OtherCase", u"\\drivers\\BAD.SYS", 0},
        // Not a suffix test: the whole part must equal the rule's name.
        NamePartCase{"LongerPart", u"\\drivers\\notbad.sys", 5},
        // No separator: the file-name rules are skipped, the hash rule still applies.
        NamePartCase{"NoSeparator", u"bad.sys", 5},
        // Ending in a separator: an empty part, which no rule matches.
        NamePartCase{"EndsInSeparator", u"\\drivers\\bad.sys\\", 5},
        NamePartCase{"EndsInSlash", u"\\drivers\\bad.sys/", 5}),
                       kBuilds),
    CaseName<NamePartCase>);

// ---------------------------------------------------------------------------
// Exclusions
// ---------------------------------------------------------------------------

TEST_P(BootTest, BootExclusionsAreCaseInsensitiveSuffixesOfThePath) {
    ImportConfig({kHashRule, MultiSz("ExcludedDrivers", {"x.sys", "\\Other\\Dir\\y.sys"})});
    Scenario scenario;
    const std::vector<std::u16string> names = {
        u"\\a\\x.sys",    // excluded
        u"\\a\\bx.sys",   // excluded: the suffix ignores separators
        u"\\A\\BX.SYS",   // excluded: case does not matter
        u"x.sys",         // excluded: the whole name
        u"\\a\\x.sys2",   // not a suffix
        u"\\a\\x.sy",     // not a suffix either
        u"\\other\\dir\\y.sys",  // excluded by the longer entry
        u"\\dir\\y.sys",  // shorter than that entry, not excluded by it
    };
    for (const auto& name : names) {
        BootDriver driver = Driver(name);
        driver.image_hash = kHash;
        scenario.drivers.push_back(driver);
    }

    const auto result = Boot(scenario);

    const std::vector<bool> excluded = {true, true, true, true, false, false, true, false};
    ASSERT_EQ(result.images.size(), names.size());
    std::vector<harness::ReportEntry> expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(Narrow(names[i]));
        EXPECT_EQ(result.images[i].classification, excluded[i] ? kUnknown : kKnownBad);
        if (!excluded[i]) expected.push_back({5, names[i]});
    }
    const auto report = Report(result);
    ASSERT_EQ(report.size(), expected.size());
    for (std::size_t i = 0; i < report.size(); ++i) EXPECT_EQ(report[i].path, expected[i].path);
}

// Whether each module path's snapshot entry carries the consumed mark.
std::map<std::string, bool> ModuleMarks(const void* snapshot) {
    std::map<std::string, bool> marks;
    auto* position = static_cast<const std::uint8_t*>(snapshot);
    for (;;) {
        const auto* entry = reinterpret_cast<const RTL_PROCESS_MODULE_INFORMATION_EX*>(position);
        marks[reinterpret_cast<const char*>(entry->BaseInfo.FullPathName)] =
            entry->DefaultBase == reinterpret_cast<PVOID>(1);
        if (entry->NextOffset == 0) break;
        position += entry->NextOffset;
    }
    return marks;
}

// An excluded image is not looked up, so its module entry stays unmarked; an
// image that is looked up marks its entry whether or not a rule matches, and
// a second image with that path then finds no entry and no facts.
TEST_P(BootTest, BootOnlyImagesLookedUpMarkTheirModuleEntry) {
    const hk::MappedImage* debug = Fixture("fx_debug.sys");
    const hk::MappedImage* version = Fixture("fx_version.sys");
    const hk::MappedImage* named = Fixture("fx_named.sys");
    if (debug == nullptr || version == nullptr || named == nullptr) {
        GTEST_SKIP() << "fixture images not built";
    }
    ImportConfig({kHashRule, MultiSz("DrvBlockType9", {"x;" + U16Hex(u"fxversion.sys")}),
                  MultiSz("ExcludedDrivers", {"fx_debug.sys"})});
    const std::u16string debugPath = kDrivers + u"fx_debug.sys";
    const std::u16string versionPath = kDrivers + u"fx_version.sys";
    const std::u16string namedPath = kDrivers + u"fx_named.sys";
    Scenario scenario;
    BootDriver excluded = Driver(debugPath);
    excluded.image_hash = kHash;
    scenario.drivers = {excluded, Driver(versionPath), Driver(namedPath)};
    scenario.modules = {
        {debug, Narrow(debugPath)}, {version, Narrow(versionPath)}, {named, Narrow(namedPath)}};
    scenario.events = {Image(0), Image(1), Image(1), Image(2)};  // no unload yet

    const auto result = harness::RunBoot(scenario, entry_);

    ASSERT_FALSE(result.fast_fail);
    ASSERT_EQ(result.images.size(), 4u);
    EXPECT_EQ(result.images[0].classification, kUnknown);
    EXPECT_EQ(result.images[1].reason, 9u);
    EXPECT_EQ(result.images[2].classification, kUnknown) << "the entry was handed out twice";
    EXPECT_EQ(result.images[3].classification, kUnknown);
    const void* snapshot = Snapshot();
    ASSERT_NE(snapshot, nullptr);
    if (build_ == Build::Host) EXPECT_EQ(snapshot, g_ModuleSnapshot);
    const auto marks = ModuleMarks(snapshot);
    EXPECT_EQ(marks.at(Narrow(debugPath)), false);
    EXPECT_EQ(marks.at(Narrow(versionPath)), true);
    EXPECT_EQ(marks.at(Narrow(namedPath)), true);

    Unload();
    EXPECT_EQ(Snapshot(), nullptr);
    if (build_ == Build::Host) EXPECT_EQ(g_ModuleSnapshot, nullptr);
    const auto* report = hk::TheRegistry().GetValue(kConfigKey, u"ElamBlockedDrivers");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(Units(report->data), u"\xFF09" + versionPath + u'\0' + u'\0');
}

// ---------------------------------------------------------------------------
// The failed-code-integrity rule
// ---------------------------------------------------------------------------

struct CodeIntegrityCase {
    const char* label;
    std::optional<ULONG> driver_blocking;  // none: value absent
    std::optional<ULONG> options;          // none: the query fails
    bool debugger_enabled;
    bool debugger_present;
    bool failed_ci;
    bool blocked;
};

void PrintTo(const CodeIntegrityCase& c, std::ostream* os) { *os << c.label; }

class BootCodeIntegrityTest : public BootCaseTest<CodeIntegrityCase> {};

TEST_P(BootCodeIntegrityTest, BlocksFailedImagesOnlyWhenAllConditionsHold) {
    const CodeIntegrityCase& c = TestCase();
    std::vector<std::string> config;
    if (c.driver_blocking) config.push_back(Dword("DriverBlocking", *c.driver_blocking));
    ImportConfig(config);
    Scenario scenario;
    scenario.kernel.code_integrity_options = c.options;
    scenario.kernel.debugger_enabled = c.debugger_enabled;
    scenario.kernel.debugger_present = c.debugger_present;
    BootDriver driver = Driver(kDrivers + u"unsigned.sys");
    driver.failed_code_integrity = c.failed_ci;
    scenario.drivers = {driver};

    const auto result = Boot(scenario);

    ASSERT_EQ(result.images.size(), 1u);
    if (c.blocked) {
        EXPECT_EQ(result.images[0].classification, kKnownBad);
        EXPECT_EQ(result.images[0].reason, REASON_FAILED_CODE_INTEGRITY);
        ASSERT_TRUE(result.report.has_value());
        EXPECT_EQ(Units(*result.report)[0], u'\xFFFF');
    } else {
        EXPECT_EQ(result.images[0].classification, kUnknown);
        EXPECT_FALSE(result.report.has_value());
    }
}

INSTANTIATE_TEST_SUITE_P(
    BootCodeIntegrity, BootCodeIntegrityTest,
    ::testing::Combine(::testing::Values(
        CodeIntegrityCase{"NoDebugger", 0x80000001, 0x3, false, false, true, true},
        CodeIntegrityCase{"DebuggerEnabledAndPresent", 0x80000001, 0x3, true, true, true, false},
        CodeIntegrityCase{"DebuggerEnabledNotPresent", 0x80000001, 0x3, true, false, true, true},
        CodeIntegrityCase{"DebuggerPresentNotEnabled", 0x80000001, 0x3, false, true, true, true},
        CodeIntegrityCase{"ImagePassedCodeIntegrity", 0x80000001, 0x3, false, false, false, false},
        CodeIntegrityCase{"OnlyBit31", 0x80000000, 0x3, false, false, true, true},
        // Options outside the mask do not matter.
        CodeIntegrityCase{"UnmaskedOptionBits", 0x80000001, 0x3 | 0x4 | 0x80, false, false, true, true},
        CodeIntegrityCase{"TestSigningOff", 0x80000001, 0x1, false, false, true, false},
        CodeIntegrityCase{"CodeIntegrityOff", 0x80000001, 0x2, false, false, true, false},
        CodeIntegrityCase{"TestBuild", 0x80000001, 0x3 | 0x20, false, false, true, false},
        CodeIntegrityCase{"PreproductionBuild", 0x80000001, 0x3 | 0x40, false, false, true, false},
        CodeIntegrityCase{"FlightBuild", 0x80000001, 0x3 | 0x100, false, false, true, false},
        CodeIntegrityCase{"QueryFails", 0x80000001, std::nullopt, false, false, true, false},
        CodeIntegrityCase{"Bit31Clear", 0x00000001, 0x3, false, false, true, false},
        CodeIntegrityCase{"SwitchAbsent", std::nullopt, 0x3, false, false, true, false}),
                       kBuilds),
    CaseName<CodeIntegrityCase>);

// ---------------------------------------------------------------------------
// Configuration switched off or missing
// ---------------------------------------------------------------------------

// One driver, a.sys, that a loaded configuration would block twice over: its
// hash is kHashRule's, and it failed code integrity under test signing.
Scenario BlockableScenario() {
    Scenario scenario;
    scenario.kernel.code_integrity_options = 0x3;
    BootDriver driver = Driver(kDrivers + u"a.sys");
    driver.image_hash = kHash;
    driver.failed_code_integrity = true;
    scenario.drivers = {driver};
    return scenario;
}

TEST_P(BootTest, BootWithoutConfigurationKeyLoadsAndBlocksNothing) {
    const auto result = Boot(BlockableScenario());

    EXPECT_EQ(result.driver_entry_status, STATUS_SUCCESS);
    EXPECT_TRUE(result.callback_registered);
    ASSERT_EQ(result.images.size(), 1u);
    EXPECT_EQ(result.images[0].classification, kUnknown);
    EXPECT_FALSE(result.report.has_value());
    EXPECT_EQ(hk::TheRegistry().FindKey(kConfigKey), nullptr) << "the report must not create the key";
}

struct SwitchedOffCase {
    const char* label;
    std::vector<std::string> lines;  // the switches
};

void PrintTo(const SwitchedOffCase& c, std::ostream* os) { *os << c.label; }

class BootSwitchedOffTest : public BootCaseTest<SwitchedOffCase> {};

TEST_P(BootSwitchedOffTest, LoadsNoRulesAndDeletesTheEarlierReport) {
    std::vector<std::string> config = TestCase().lines;
    config.push_back(kHashRule);
    config.push_back(MultiSz("DrvBlockType0", {"x;" + U16Hex(u"a.sys")}));
    config.push_back(kEarlierReport);
    ImportConfig(config);
    const auto result = Boot(BlockableScenario());

    EXPECT_EQ(result.driver_entry_status, STATUS_SUCCESS);
    ASSERT_EQ(result.images.size(), 1u);
    EXPECT_EQ(result.images[0].classification, kUnknown);
    EXPECT_FALSE(result.report.has_value());
    EXPECT_NE(hk::TheRegistry().FindKey(kConfigKey), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    BootSwitchedOff, BootSwitchedOffTest,
    ::testing::Combine(
        ::testing::Values(SwitchedOffCase{"EnabledZero", {Dword("Enabled", 0)}},
                          SwitchedOffCase{"DriverBlockingZero", {Dword("DriverBlocking", 0)}},
                          // Off wins over the failed-code-integrity bit.
                          SwitchedOffCase{"EnabledZeroWithFailedCodeIntegrityBit",
                                          {Dword("Enabled", 0), Dword("DriverBlocking", 0x80000001)}}),
        kBuilds),
    CaseName<SwitchedOffCase>);

// ---------------------------------------------------------------------------
// The report
// ---------------------------------------------------------------------------

TEST_P(BootTest, BootReportOfOnePathIsExact) {
    ImportConfig({kHashRule, kEarlierReport});
    Scenario scenario;
    BootDriver driver = Driver(u"\\d\\x.sys");  // 8 characters
    driver.image_hash = kHash;
    scenario.drivers = {driver};

    const auto result = Boot(scenario);

    const Bytes expected = {0x05, 0xFF, '\\', 0, 'd', 0, '\\', 0, 'x', 0, '.', 0, 's', 0, 'y', 0, 's', 0,
                            0,    0,    0,    0};
    ASSERT_TRUE(result.report.has_value());
    EXPECT_EQ(*result.report, expected);
    EXPECT_EQ(hk::TheRegistry().GetValue(kConfigKey, u"ElamBlockedDrivers")->type, ULONG{REG_MULTI_SZ});
}

// Strings in the order of blocking, one per record, duplicates kept; an image
// without a name is blocked but leaves no string.
TEST_P(BootTest, BootReportListsEveryRecordInOrder) {
    ImportConfig({Dword("DriverBlocking", 0x80000001), kHashRule,
                  MultiSz("DrvBlockType0", {"x;" + U16Hex(u"bad.sys")})});
    Scenario scenario;
    scenario.kernel.code_integrity_options = 0x3;
    BootDriver unsigned_driver = Driver(u"\\d\\u.sys");
    unsigned_driver.failed_code_integrity = true;
    BootDriver nameless = Driver(u"");
    nameless.image_hash = kHash;
    scenario.drivers = {Driver(u"\\d\\bad.sys"), nameless, unsigned_driver, Driver(u"\\e\\ok.sys")};
    scenario.events = {Status(BdCbStatusPrepareForDependencyLoad), Image(0), Image(1), Image(2),
                       Image(3), Image(0), Status(BdCbStatusPrepareForUnload)};

    const auto result = Boot(scenario);

    ASSERT_EQ(result.images.size(), 5u);
    EXPECT_EQ(result.images[1].classification, kKnownBad);
    EXPECT_EQ(result.images[1].reason, std::nullopt);
    EXPECT_EQ(result.images[3].classification, kUnknown);
    const std::u16string expected = std::u16string(u"\xFF00\\d\\bad.sys") + u'\0' +  //
                                    u"\xFFFF\\d\\u.sys" + u'\0' +                   //
                                    u"\xFF00\\d\\bad.sys" + u'\0' +                 //
                                    u'\0';
    ASSERT_TRUE(result.report.has_value());
    EXPECT_EQ(Units(*result.report), expected);
    EXPECT_EQ(result.report->size(), expected.size() * 2);
}

// An image with an empty name can be blocked, but leaves no record, so
// nothing is reported and the earlier report goes.
TEST_P(BootTest, BootWithNothingRecordedDeletesTheEarlierReport) {
    ImportConfig({kHashRule, kEarlierReport});
    Scenario scenario;
    BootDriver nameless = Driver(u"");
    nameless.image_hash = kHash;
    scenario.drivers = {Driver(kDrivers + u"a.sys"), nameless};
    scenario.events = {Image(0), Image(1)};  // no unload yet

    const auto result = harness::RunBoot(scenario, entry_);

    ASSERT_EQ(result.images.size(), 2u);
    EXPECT_EQ(result.images[0].classification, kUnknown);
    EXPECT_EQ(result.images[1].classification, kKnownBad);
    for (const auto& block : hk::PoolLiveBlocks()) {
        EXPECT_FALSE(block.tag == ELAM_POOL_TAG && block.size == sizeof(NAME_ENTRY) + sizeof(WCHAR))
            << "a record for an empty name";
    }
    if (build_ == Build::Host) EXPECT_TRUE(IsListEmpty(&g_BlockedDrivers));
    Unload();
    EXPECT_EQ(hk::TheRegistry().GetValue(kConfigKey, u"ElamBlockedDrivers"), nullptr);
}

// The report buffer for one path of 8 characters: 2 + 16 + 2 + 2 bytes.
constexpr std::size_t kReportBufferSize = 22;

NTSTATUS NTAPI EntryWithoutReportBuffer(PDRIVER_OBJECT object, PUNICODE_STRING path) {
    hk::PoolFailWhen([](std::uint64_t, std::size_t size, ULONG tag) {
        return size == kReportBufferSize && tag == ELAM_POOL_TAG;
    });
    return g_entry(object, path);
}

TEST_P(BootTest, BootKeepsTheEarlierReportWhenTheBufferCannotBeAllocated) {
    ImportConfig({kHashRule, kEarlierReport});
    const Bytes earlier = hk::TheRegistry().GetValue(kConfigKey, u"ElamBlockedDrivers")->data;
    Scenario scenario;
    BootDriver driver = Driver(u"\\d\\x.sys");
    driver.image_hash = kHash;
    scenario.drivers = {driver};

    const auto result = Boot(scenario, &EntryWithoutReportBuffer);

    ASSERT_EQ(result.images.size(), 1u);
    EXPECT_EQ(result.images[0].reason, 5u);
    EXPECT_EQ(hk::PoolStatistics().failed, 1u) << "only the report buffer should have been refused";
    EXPECT_EQ(result.report, earlier);
}

// ---------------------------------------------------------------------------
// Lifetime: status updates, repeated unload, callbacks after unload, safe mode
// ---------------------------------------------------------------------------

TEST_P(BootTest, BootStatusUpdatesOtherThanUnloadChangeNothing) {
    ImportConfig({kHashRule});
    Scenario scenario;
    BootDriver a = Driver(u"\\d\\a.sys");
    a.image_hash = kHash;
    BootDriver b = Driver(u"\\d\\b.sys");
    b.image_hash = kHash;
    scenario.drivers = {a, b};
    scenario.events = {Status(BdCbStatusPrepareForDependencyLoad), Status(BdCbStatusPrepareForDriverLoad),
                       Image(0),
                       Status(BdCbStatusPrepareForDependencyLoad), Status(BdCbStatusPrepareForDriverLoad),
                       Image(1), Status(BdCbStatusPrepareForUnload)};

    const auto result = Boot(scenario);

    ASSERT_EQ(result.images.size(), 2u);
    EXPECT_EQ(result.images[0].reason, 5u);
    EXPECT_EQ(result.images[1].reason, 5u);
    EXPECT_EQ(Report(result).size(), 2u);
}

// After the unload announcement the lists and the snapshot are gone: rules no
// longer match, only the failed-code-integrity switch still acts, and a second
// announcement neither rewrites nor deletes the report.
TEST_P(BootTest, BootAfterUnloadOnlyFailedCodeIntegrityStillBlocks) {
    const hk::MappedImage* debug = Fixture("fx_debug.sys");
    if (debug == nullptr) GTEST_SKIP() << "fixture images not built";
    ImportConfig({Dword("DriverBlocking", 0x80000001), kHashRule,
                  MultiSz("DrvBlockType2", {"x;" + AnsiHex(kDebugImagePdb)})});
    Scenario scenario;
    scenario.kernel.code_integrity_options = 0x3;
    BootDriver hashed = Driver(u"\\d\\a.sys");
    hashed.image_hash = kHash;
    BootDriver unsigned_driver = Driver(u"\\d\\u.sys");
    unsigned_driver.failed_code_integrity = true;
    scenario.drivers = {hashed, Driver(kDrivers + u"fx_debug.sys"), unsigned_driver};
    scenario.modules = {{debug, Narrow(kDrivers + u"fx_debug.sys")}};
    scenario.events = {Status(BdCbStatusPrepareForDependencyLoad), Image(0),
                       Status(BdCbStatusPrepareForUnload), Image(0), Image(1), Image(2),
                       Status(BdCbStatusPrepareForUnload)};

    const auto result = Boot(scenario);

    ASSERT_EQ(result.images.size(), 4u);
    EXPECT_EQ(result.images[0].reason, 5u);
    EXPECT_EQ(result.images[1].classification, kUnknown);
    EXPECT_EQ(result.images[2].classification, kUnknown);
    EXPECT_EQ(result.images[3].reason, REASON_FAILED_CODE_INTEGRITY);
    const auto report = Report(result);
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].path, u"\\d\\a.sys");
    EXPECT_EQ(report[0].reason, 5u);
}

TEST_P(BootTest, BootSecondUnloadKeepsTheReport) {
    ImportConfig({kHashRule});
    Scenario scenario;
    BootDriver driver = Driver(u"\\d\\a.sys");
    driver.image_hash = kHash;
    scenario.drivers = {driver};
    scenario.events = {Image(0), Status(BdCbStatusPrepareForUnload), Status(BdCbStatusPrepareForUnload)};

    const auto result = Boot(scenario);

    ASSERT_EQ(Report(result).size(), 1u);
    EXPECT_EQ(Snapshot(), nullptr);
    if (build_ == Build::Host) {
        EXPECT_EQ(g_ConfigKeyPath.Length, 0u);
        EXPECT_EQ(g_ModuleSnapshot, nullptr);
    }
}

TEST_P(BootTest, BootInSafeModeRefusesToLoad) {
    ImportConfig({kHashRule, kEarlierReport});
    const Bytes earlier = hk::TheRegistry().GetValue(kConfigKey, u"ElamBlockedDrivers")->data;
    Scenario scenario;
    scenario.kernel.safe_mode = true;
    BootDriver driver = Driver(u"\\d\\a.sys");
    driver.image_hash = kHash;
    scenario.drivers = {driver};

    const auto result = Boot(scenario);

    EXPECT_EQ(result.driver_entry_status, STATUS_NOT_SAFE_MODE_DRIVER);
    EXPECT_FALSE(result.callback_registered);
    EXPECT_TRUE(result.images.empty());
    EXPECT_EQ(hk::PoolStatistics().allocations, 0u);
    EXPECT_EQ(hk::State().query_registry_calls + hk::State().query_registry_ex_calls, 0u);
    EXPECT_EQ(hk::State().module_list_queries, 0u);
    EXPECT_EQ(result.report, earlier);
}

}  // namespace
