// Allocation-failure sweeps over a whole boot: for each entry point of the
// driver (DriverEntry with LoadConfiguration and the module snapshot, the
// classification callbacks, the report at unload) the 1st, 2nd, ... of its
// allocations fails, one per boot, until a boot of that entry point runs
// without any failure. Every such boot must end without a crash, a fast-fail
// or a leaked block, with no wrong block, and with the degraded outcome that
// failure can give: a rule or record missing, a fact absent, an earlier report
// left in place. The sweeps run again on special pool, so that an overrun or
// underrun anywhere in a boot is caught too.
//
// The boot: the demo configuration (demo/demo.reg, and the demo samples with
// the build's demo-build.reg where they were built) and a few hundred
// generated rules of every type, over the fixture images.
#include "harness/boot.h"
#include "hostkernel/pe_image.h"
#include "hostkernel/regfile.h"

#include "support/kernel_test.h"
#include "support/registry_data.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using harness::BootDriver;

const std::u16string kConfigKey = harness::ConfigKeyFor(harness::kDefaultServiceKey);
const std::u16string kDrivers = u"\\SystemRoot\\System32\\drivers\\";
const std::string kDemoDir = std::string(ELAM_FIXTURE_DIR) + "/../../demo";

// ---------------------------------------------------------------------------
// Rule text
// ---------------------------------------------------------------------------
using regdata::Hex;
using regdata::Range;
using regdata::Version;
Bytes Utf16Bytes(std::u16string_view text) { return regdata::Le(text); }
Bytes AnsiBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// The GUID of an image's CodeView record, read straight from its bytes.
Bytes CodeViewGuid(const hk::MappedImage& image) {
    for (std::size_t i = 0; i + 20 <= image.size(); ++i) {
        if (std::memcmp(image.bytes() + i, "RSDS", 4) == 0) return Bytes(image.bytes() + i + 4, image.bytes() + i + 20);
    }
    return {};
}

const Bytes kHash(32, 0x5C);
const Bytes kThumbprint(20, 0x7E);
const Bytes kRangedThumbprint(20, 0x3D);

// The value name of a rule type: "DrvBlockType?" or "DrvBlockType?Vps".
std::u16string ValueName(int type, bool second) {
    return u"DrvBlockType" + std::u16string(1, static_cast<char16_t>(u'0' + type)) + (second ? u"Vps" : u"");
}

// The generated rules of one type: fillers that match nothing around the
// rules that match the fixture images.
std::vector<std::u16string> GeneratedRules(int type, const std::vector<std::u16string>& matching) {
    constexpr int kFillers = 20;
    const bool ranged = RuleTypeHasVersionRange(type) != 0;
    std::vector<std::u16string> rules;
    for (int i = 0; i < kFillers; ++i) {
        if (i == kFillers / 2) rules.insert(rules.end(), matching.begin(), matching.end());
        const std::string label = "filler-" + std::to_string(type) + "-" + std::to_string(i);
        Bytes data;
        switch (type) {
        case RULE_FILE_NAME: case RULE_FILE_NAME_VERSION: case RULE_ORIGINAL_NAME: case RULE_ORIGINAL_NAME_VERSION:
            data = Utf16Bytes(hk::Utf8ToUtf16(label + ".sys"));
            break;
        case RULE_PDB_NAME: case RULE_PDB_NAME_VERSION:
            data = AnsiBytes(label + ".pdb");
            break;
        case RULE_DIGEST_32: data = Bytes(32, static_cast<std::uint8_t>(0x80 + i)); break;
        case RULE_PDB_GUID: data = Bytes(16, static_cast<std::uint8_t>(0x80 + i)); break;
        default: data = Bytes(20 + i % 13, static_cast<std::uint8_t>(0x80 + i)); break;
        }
        std::u16string rule = hk::Utf8ToUtf16(label) + u";" + Hex(data);
        if (ranged) rule += u";" + Range(0, ~0ull);
        rules.push_back(rule);
    }
    return rules;
}

// ---------------------------------------------------------------------------
// The phases of a boot, and the control that sweeps one of them
// ---------------------------------------------------------------------------
enum class Phase { Entry, Classify, Unload, Other };

const char* PhaseName(Phase phase) {
    switch (phase) {
    case Phase::Entry: return "DriverEntry";
    case Phase::Classify: return "classification";
    case Phase::Unload: return "unload";
    default: return "status update";
    }
}

// Counts the allocations of each phase, fails the nth allocation of the
// target phase, and notes what DriverEntry loaded.
struct Control {
    std::optional<Phase> target;
    std::uint64_t nth = 0;
    bool armed = false;
    std::map<Phase, std::uint64_t> allocations;
    std::uint64_t before = 0;
    // After DriverEntry.
    bool config_path = false;
    bool snapshot = false;
    std::size_t rules[RULE_TYPE_COUNT] = {};
    std::size_t exclusions = 0;

    void Before(Phase phase) {
        before = hk::PoolStatistics().allocations;
        // A failure armed for an earlier phase never reaches a later one.
        if (phase != Phase::Other && phase != target) hk::PoolClearFailures();
        if (phase == target && !armed) {
            hk::PoolFailNth(before + nth);
            armed = true;
        }
    }
    void After(Phase phase) { allocations[phase] += hk::PoolStatistics().allocations - before; }

    void NoteLoaded() {
        auto count = [](const LIST_ENTRY& head) {
            std::size_t n = 0;
            if (head.Flink == nullptr) return n;
            for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) ++n;
            return n;
        };
        config_path = g_ConfigKeyPath.Length != 0;
        snapshot = g_ModuleSnapshot != nullptr;
        for (int type = 0; type < RULE_TYPE_COUNT; ++type) rules[type] = count(g_RuleLists[type]);
        exclusions = count(g_ExcludedDrivers);
    }
};

Control* g_control = nullptr;
PBOOT_DRIVER_CALLBACK_FUNCTION g_driver_callback = nullptr;

// Stands between the harness and the driver's callback.
VOID NTAPI SweepCallback(PVOID context, BDCB_CALLBACK_TYPE type, PBDCB_IMAGE_INFORMATION information) {
    Phase phase = Phase::Other;
    if (type == BdCbInitializeImage) {
        phase = Phase::Classify;
    } else if (type == BdCbStatusUpdate &&
               reinterpret_cast<const BDCB_STATUS_UPDATE_CONTEXT*>(information)->StatusType ==
                   BdCbStatusPrepareForUnload) {
        phase = Phase::Unload;
    }
    g_control->Before(phase);
    g_driver_callback(context, type, information);
    g_control->After(phase);
}

// The entry routine handed to the harness: the driver's DriverEntry, then
// the registered callback replaced by SweepCallback.
NTSTATUS NTAPI SweepEntry(PDRIVER_OBJECT object, PUNICODE_STRING registry_path) {
    g_control->Before(Phase::Entry);
    const NTSTATUS status = DriverEntry(object, registry_path);
    g_control->After(Phase::Entry);
    hk::PoolClearFailures();
    g_control->NoteLoaded();
    auto& callbacks = hk::State().boot_callbacks;
    if (!callbacks.empty()) {
        g_driver_callback = callbacks.front().routine;
        callbacks.front().routine = &SweepCallback;
    }
    return status;
}

// ---------------------------------------------------------------------------
// The boot
// ---------------------------------------------------------------------------
const Bytes kEarlierReport = regdata::MultiSz({u"\xFF05\\old\\gone.sys"});

class AllocSweepTest : public KernelTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        const char* const fixtures[] = {"fx_version.sys", "fx_debug.sys", "fx_named.sys", "fx_twolang.sys",
                                        "fx_plain.sys"};
        for (const char* file : fixtures) {
            const std::string path = std::string(ELAM_FIXTURE_DIR) + "/" + file;
            if (!std::filesystem::exists(path)) GTEST_SKIP() << "fixture images not built";
            images_[file] = std::make_unique<hk::MappedImage>(hk::MapImageFile(path));
        }
        BuildScenario();
        BuildRegistry();
        special_ = GetParam();

        baseline_ = Boot(std::nullopt, 0, &baseline_control_);
        ASSERT_FALSE(HasFailure());
        ComputeReasons();
    }

    void TearDown() override {
        hk::PoolSetSpecial(false);
        KernelTest::TearDown();
    }

    void AddDriver(const std::u16string& name, const char* image, std::optional<Bytes> hash = std::nullopt,
                   std::optional<Bytes> thumbprint = std::nullopt, bool failed_ci = false) {
        scenario_.drivers.push_back(BootDriver{name, std::move(hash), std::move(thumbprint), failed_ci});
        if (image != nullptr) scenario_.modules.push_back({images_.at(image).get(), hk::Utf16ToUtf8(name)});
    }

    void BuildScenario() {
        scenario_.kernel.code_integrity_options = 0x3;
        AddDriver(kDrivers + u"alpha.sys", "fx_version.sys");                // file-name-version, original name
        AddDriver(kDrivers + u"beta.sys", "fx_debug.sys");                   // PDB name (+version), GUID, original name+version
        AddDriver(kDrivers + u"gamma.sys", "fx_named.sys", kHash, kThumbprint);  // image hash, thumbprint
        AddDriver(kDrivers + u"delta.sys", "fx_twolang.sys", std::nullopt, kRangedThumbprint, true);
        AddDriver(kDrivers + u"epsilon.sys", "fx_plain.sys");                // file name
        AddDriver(kDrivers + u"oem\\alpha.sys", "fx_version.sys");           // excluded
        AddDriver(kDrivers + u"zeta.sys", nullptr, std::nullopt, std::nullopt, true);  // failed code integrity
        AddDriver(u"", nullptr, kHash);                                       // known bad, never recorded
        AddDriver(kDrivers + u"unknown.sys", "fx_plain.sys");
        // More modules than the snapshot's first buffer holds: it is taken
        // again at the size the system asks for.
        for (int i = 0; i < 10; ++i) {
            scenario_.modules.push_back({images_.at("fx_plain.sys").get(),
                                         "\\SystemRoot\\System32\\drivers\\loaded" + std::to_string(i) + ".sys"});
        }

        // The demo's boot drivers over its samples, where the build made them.
        const char* const samples[] = {"netcore.sys", "rootkit.sys", "oldfw.sys", "newfw.sys",
                                       "cheat.sys",   "dropper.sys", "tracer.sys"};
        for (const char* sample : samples) {
            const std::string path = kDemoDir + "/" + sample;
            if (!std::filesystem::exists(path)) return;
            images_[sample] = std::make_unique<hk::MappedImage>(hk::MapImageFile(path));
        }
        for (const char* sample : samples) AddDriver(kDrivers + hk::Utf8ToUtf16(sample), sample);
        AddDriver(kDrivers + u"oem\\oldfw.sys", "oldfw.sys");
        AddDriver(kDrivers + u"fsfilter.sys", nullptr);
        AddDriver(kDrivers + u"vendor.sys", nullptr, std::nullopt, Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                                                       0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD,
                                                                       0xEE, 0xFF, 0x01, 0x23, 0x45, 0x67});
        AddDriver(kDrivers + u"patched.sys", "netcore.sys", std::nullopt, std::nullopt, true);
    }

    void BuildRegistry() {
        hk::Registry& registry = hk::TheRegistry();
        for (const std::string& file : {std::string(ELAM_SOURCE_DIR) + "/demo/demo.reg", kDemoDir + "/demo-build.reg"}) {
            if (!std::filesystem::exists(file)) continue;
            const Bytes text = hk::ReadFileBytes(file);
            hk::ImportRegText(registry, std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
        }
        const Bytes guid = CodeViewGuid(*images_.at("fx_debug.sys"));
        ASSERT_EQ(guid.size(), 16u) << "fx_debug.sys has no CodeView record";
        const std::map<int, std::vector<std::u16string>> matching = {
            {RULE_FILE_NAME, {u"epsilon;" + Hex(Utf16Bytes(u"EPSILON.SYS"))}},
            {RULE_PDB_NAME, {u"beta;" + Hex(AnsiBytes("fx_debug.pdb"))}},
            {RULE_PDB_GUID, {u"beta;" + Hex(guid)}},
            {RULE_THUMBPRINT, {u"gamma;" + Hex(kThumbprint)}},
            {RULE_IMAGE_HASH, {u"gamma;" + Hex(kHash)}},
            {RULE_FILE_NAME_VERSION,
             {u"alpha;" + Hex(Utf16Bytes(u"alpha.sys")) + u";" + Range(Version(1, 0, 0, 0), Version(2, 0, 0, 0))}},
            {RULE_PDB_NAME_VERSION,
             {u"beta;" + Hex(AnsiBytes("fx_debug.pdb")) + u";" + Range(Version(4, 0, 0, 0), Version(4, 0, 0, 1))}},
            {RULE_THUMBPRINT_VERSION,
             {u"delta;" + Hex(kRangedThumbprint) + u";" + Range(Version(1, 0, 0, 0), Version(2, 0, 0, 7))}},
            {RULE_ORIGINAL_NAME, {u"alpha;" + Hex(Utf16Bytes(u"fxversion.sys"))}},
            {RULE_ORIGINAL_NAME_VERSION,
             {u"beta;" + Hex(Utf16Bytes(u"fxdebug.sys")) + u";" + Range(Version(4, 0, 0, 0), Version(4, 0, 0, 5))}},
        };
        for (int type = 0; type < RULE_TYPE_COUNT; ++type) {
            const auto found = matching.find(type);
            const std::vector<std::u16string> rules =
                GeneratedRules(type, found == matching.end() ? std::vector<std::u16string>{} : found->second);
            registry.SetValue(kConfigKey, ValueName(type, true), REG_MULTI_SZ, regdata::MultiSz(rules));
        }
        registry.SetValue(kConfigKey, u"ExcludedDrivers", REG_MULTI_SZ,
                          regdata::MultiSz({u"\\nowhere\\one.sys", u"\\oem\\ALPHA.sys", u"\\nowhere\\two.sys",
                                            u"\\oem\\oldfw.sys", u"\\nowhere\\three.sys"}));
        registry.SetValue(kConfigKey, u"ElamBlockedDrivers", REG_MULTI_SZ, kEarlierReport);
        registry_ = registry;
    }

    // One boot over registry (the prepared one by default), failing the nth
    // allocation of the target phase.
    harness::BootResult Boot(std::optional<Phase> target, std::uint64_t nth, Control* control,
                             const hk::Registry* registry = nullptr) {
        hk::TheRegistry() = registry != nullptr ? *registry : registry_;
        hk::PoolSetSpecial(special_, 16);
        *control = Control{};
        control->target = target;
        control->nth = nth;
        g_control = control;
        harness::BootResult result = harness::RunBoot(scenario_, &SweepEntry);
        g_control = nullptr;
        return result;
    }

    // Every reason each image can be blocked for: the boot repeated with the
    // rule types taken away in the order classification tries them, so that
    // each type that matches an image is its first match once. Exclusions
    // are taken away too, for the boots that lose one.
    void ComputeReasons() {
        static constexpr int kOrder[] = {RULE_FILE_NAME,   RULE_FILE_NAME_VERSION,  RULE_PDB_NAME,
                                         RULE_PDB_NAME_VERSION, RULE_PDB_GUID,      RULE_IMAGE_HASH,
                                         RULE_THUMBPRINT,  RULE_THUMBPRINT_VERSION, RULE_ORIGINAL_NAME,
                                         RULE_ORIGINAL_NAME_VERSION};
        hk::Registry registry = registry_;
        registry.DeleteValue(kConfigKey, u"ExcludedDrivers");
        reasons_.assign(scenario_.drivers.size(), {});
        for (std::size_t removed = 0; removed <= std::size(kOrder); ++removed) {
            if (removed > 0) {
                registry.DeleteValue(kConfigKey, ValueName(kOrder[removed - 1], false));
                registry.DeleteValue(kConfigKey, ValueName(kOrder[removed - 1], true));
            }
            Control control;
            const harness::BootResult result = Boot(std::nullopt, 0, &control, &registry);
            for (const harness::ImageVerdict& verdict : result.images) {
                if (verdict.classification == BdCbClassificationKnownBadImage) {
                    if (removed == 0) bad_without_exclusions_.insert(verdict.driver);
                    if (verdict.reason) reasons_[verdict.driver].insert(*verdict.reason);
                }
            }
        }
        for (const harness::ImageVerdict& verdict : baseline_.images) {
            if (verdict.classification == BdCbClassificationKnownBadImage) bad_.insert(verdict.driver);
        }
        // The boot is meant to block by every rule type and keep some images.
        std::set<ULONG> all;
        for (const auto& reasons : reasons_) all.insert(reasons.begin(), reasons.end());
        for (ULONG reason : {0u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, REASON_FAILED_CODE_INTEGRITY}) {
            EXPECT_EQ(all.count(reason), 1u) << "no image blocked for reason " << reason;
        }
        EXPECT_LT(bad_.size(), scenario_.drivers.size());
        EXPECT_GT(bad_without_exclusions_.size(), bad_.size());
        ASSERT_TRUE(baseline_.report.has_value());
    }

    // What every boot with one failed allocation must satisfy.
    void CheckBoot(const harness::BootResult& result, const Control& control, Phase phase) {
        EXPECT_FALSE(result.fast_fail.has_value());
        for (const hk::PoolBlock& block : result.leaked) {
            EXPECT_NE(block.tag, ELAM_POOL_TAG) << "block of " << block.size << " bytes left behind";
        }
        ASSERT_EQ(result.images.size(), baseline_.images.size());
        ASSERT_EQ(result.driver_entry_status, STATUS_SUCCESS);
        ASSERT_TRUE(result.callback_registered);

        // No wrong block: only images the failure-free boot blocks, or blocks
        // when an exclusion was lost; and only for a reason it could give.
        const bool exclusion_lost = control.exclusions < baseline_control_.exclusions;
        std::vector<harness::ReportEntry> recorded;
        for (const harness::ImageVerdict& verdict : result.images) {
            SCOPED_TRACE(hk::Utf16ToUtf8(verdict.name));
            EXPECT_TRUE(verdict.classification == BdCbClassificationUnknownImage ||
                        verdict.classification == BdCbClassificationKnownBadImage);
            if (verdict.classification == BdCbClassificationKnownBadImage) {
                EXPECT_TRUE(bad_.count(verdict.driver) != 0 ||
                            (exclusion_lost && bad_without_exclusions_.count(verdict.driver) != 0));
            }
            if (verdict.reason) {
                EXPECT_EQ(reasons_[verdict.driver].count(*verdict.reason), 1u) << "reason " << *verdict.reason;
                recorded.push_back({*verdict.reason, verdict.name});
            }
        }

        // The report: the earlier one where no path was built or the buffer
        // failed, else exactly the records of this boot.
        if (!control.config_path || phase == Phase::Unload) {
            EXPECT_EQ(result.report, std::optional<Bytes>(kEarlierReport));
        } else if (recorded.empty()) {
            EXPECT_FALSE(result.report.has_value());
        } else {
            ASSERT_TRUE(result.report.has_value());
            const auto entries = harness::DecodeReport(*result.report);
            ASSERT_TRUE(entries.has_value());
            ASSERT_EQ(entries->size(), recorded.size());
            for (std::size_t i = 0; i < recorded.size(); ++i) {
                EXPECT_EQ((*entries)[i].reason, recorded[i].reason);
                EXPECT_EQ((*entries)[i].path, recorded[i].path);
            }
        }

        // What the failure can touch besides: DriverEntry's only shortens its
        // lists; one classification's changes only its own image; the
        // report's changes no verdict.
        std::size_t changed = 0;
        for (std::size_t i = 0; i < result.images.size(); ++i) {
            changed += result.images[i].classification != baseline_.images[i].classification ||
                       result.images[i].reason != baseline_.images[i].reason;
        }
        switch (phase) {
        case Phase::Entry:
            for (int type = 0; type < RULE_TYPE_COUNT; ++type) EXPECT_LE(control.rules[type], baseline_control_.rules[type]);
            EXPECT_LE(control.exclusions, baseline_control_.exclusions);
            break;
        case Phase::Classify: EXPECT_LE(changed, 1u); break;
        default: EXPECT_EQ(changed, 0u); break;
        }
    }

    // Fails the 1st, 2nd, ... allocation of the phase until a boot makes none.
    void Sweep(Phase phase) {
        const std::uint64_t expected = baseline_control_.allocations[phase];
        ASSERT_GT(expected, 0u);
        std::uint64_t nth = 1;
        for (;; ++nth) {
            SCOPED_TRACE(std::string(PhaseName(phase)) + ": allocation " + std::to_string(nth) + " fails");
            Control control;
            const harness::BootResult result = Boot(phase, nth, &control);
            if (hk::PoolStatistics().failed == 0) break;
            CheckBoot(result, control, phase);
            if (HasFailure()) return;  // one broken boot says enough
        }
        EXPECT_EQ(nth - 1, expected) << "allocations swept in " << PhaseName(phase);
    }

    std::map<std::string, std::unique_ptr<hk::MappedImage>> images_;
    harness::Scenario scenario_;
    hk::Registry registry_;
    bool special_ = false;
    Control baseline_control_;
    harness::BootResult baseline_;
    std::set<std::size_t> bad_;
    std::set<std::size_t> bad_without_exclusions_;
    std::vector<std::set<ULONG>> reasons_;
};

TEST_P(AllocSweepTest, DriverEntry) {
    EXPECT_GT(baseline_control_.allocations[Phase::Entry], 450u) << "a few hundred rules";
    Sweep(Phase::Entry);
}

TEST_P(AllocSweepTest, Classification) { Sweep(Phase::Classify); }

TEST_P(AllocSweepTest, ReportAtUnload) { Sweep(Phase::Unload); }

INSTANTIATE_TEST_SUITE_P(Pool, AllocSweepTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SpecialPool" : "PlainPool"; });

// Special pool as the sweeps use it: each block starts on a 16-byte boundary
// and ends short of the inaccessible page by at most 15 bytes, which hold the
// pattern and are checked on free; a block of a multiple of 16 bytes still
// ends flush against the page.
TEST_F(KernelTest, AlignedSpecialPoolChecksTheSlackBehindEachBlock) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    constexpr ULONG kTag = 0x74736554;  // "Test"
    hk::PoolSetSpecial(true, 16);
    for (SIZE_T size : {SIZE_T{1}, SIZE_T{42}, SIZE_T{48}, SIZE_T{5000}}) {
        SCOPED_TRACE(size);
        auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, size, kTag));
        ASSERT_NE(block, nullptr);
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
        EXPECT_EQ(start % 16, 0u);
        EXPECT_EQ((start + size + 15) / 16 * 16 % page, 0u);
        std::memset(block, 0, size);
        ExFreePoolWithTag(block, kTag);
    }
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 42, kTag));
    ASSERT_NE(block, nullptr);
    block[42] = 0;  // into the slack: no fault, but the free sees it
    EXPECT_THROW(ExFreePoolWithTag(block, kTag), hk::BugCheck);
    EXPECT_THROW(hk::PoolSetSpecial(true, 12), std::invalid_argument);
    hk::PoolSetSpecial(false);
}

}  // namespace
