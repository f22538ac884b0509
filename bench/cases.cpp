#include "bench/cases.h"

#include "bench/blocklist.h"
#include "bench/plain_scan.h"
#include "driver/elam.h"
#include "harness/boot.h"
#include "hostkernel/pe_image.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace elam_bench {

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "bench: %s\n", message.c_str());
    std::exit(2);
}

Inputs& TheInputs() {
    static Inputs inputs;
    return inputs;
}

bool ParseInputOption(std::string_view arg) {
    const std::pair<std::string_view, std::string Inputs::*> options[] = {
        {"--elam-config=", &Inputs::config_reg},
        {"--elam-fixtures=", &Inputs::fixture_dir},
        {"--elam-demo=", &Inputs::demo_dir},
    };
    for (const auto& [prefix, field] : options) {
        if (arg.substr(0, prefix.size()) == prefix) {
            TheInputs().*field = std::string(arg.substr(prefix.size()));
            return true;
        }
    }
    return false;
}

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBootDrivers = 100;
constexpr std::size_t kHashLength = 32;        // SHA-256, as the list's image hashes
constexpr std::size_t kThumbprintLength = 20;  // SHA-1
const std::u16string kDriversDir = u"\\SystemRoot\\System32\\drivers\\";

Bytes PseudoRandomBytes(std::uint64_t seed, std::size_t count) {
    Bytes bytes(count);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    for (auto& b : bytes) {
        x ^= x >> 33;
        x *= 0xFF51AFD7ED558CCDull;
        x ^= x >> 29;
        b = static_cast<std::uint8_t>(x >> 56);
    }
    return bytes;
}

// One boot-start driver: its mapped image, its path and what the system
// tells the callback about it.
struct BootImage {
    hk::MappedImage image;
    std::u16string name;
    Bytes hash;
    Bytes thumbprint;
};

// The boot's 100 drivers, mapped once: the fixture images and the demo
// samples in turn, and last the fixture with both a version resource and a
// debug record (fx_debug.sys, OriginalFilename "fxdebug.sys"), the image of
// the classification cases. None of them is on the block list.
std::vector<BootImage>& BootImages() {
    static std::vector<BootImage> images = [] {
        const Inputs& inputs = TheInputs();
        std::vector<std::string> files;
        for (const char* name : {"fx_plain.sys", "fx_version.sys", "fx_twolang.sys", "fx_named.sys"}) {
            files.push_back(inputs.fixture_dir + "/" + name);
        }
        std::vector<std::string> samples;
        if (!inputs.demo_dir.empty()) {
            for (const auto& entry : std::filesystem::directory_iterator(inputs.demo_dir)) {
                if (entry.path().extension() == ".sys") samples.push_back(entry.path().string());
            }
        }
        std::sort(samples.begin(), samples.end());
        files.insert(files.end(), samples.begin(), samples.end());

        std::vector<BootImage> list;
        for (std::size_t i = 0; i < kBootDrivers; ++i) {
            const bool last = i + 1 == kBootDrivers;
            const std::string file = last ? inputs.fixture_dir + "/fx_debug.sys" : files[i % files.size()];
            char number[24];
            std::snprintf(number, sizeof(number), "%03zu", i);
            std::u16string name = kDriversDir + (last ? u"fxdebug.sys" : u"boot" + hk::Utf8ToUtf16(number) + u".sys");
            try {
                list.push_back({hk::MapImageFile(file), std::move(name), PseudoRandomBytes(2 * i + 1, kHashLength),
                                PseudoRandomBytes(2 * i + 2, kThumbprintLength)});
            } catch (const std::exception& e) {
                Fail(file + ": " + e.what() + " (give --elam-fixtures=DIR and --elam-demo=DIR)");
            }
        }
        return list;
    }();
    return images;
}

BDCB_IMAGE_INFORMATION InformationFor(const std::u16string& name, const Bytes& hash, const Bytes& thumbprint) {
    BDCB_IMAGE_INFORMATION info{};
    info.ImageName = hk::MakeUnicodeString(name);
    info.ImageHash = const_cast<std::uint8_t*>(hash.data());
    info.ImageHashLength = static_cast<ULONG>(hash.size());
    info.ImageHashAlgorithm = 0x800C;
    info.CertificateThumbprint = const_cast<std::uint8_t*>(thumbprint.data());
    info.CertificateThumbprintLength = static_cast<ULONG>(thumbprint.size());
    info.ThumbprintHashAlgorithm = 0x8004;
    return info;
}

UNICODE_STRING* ServiceKey() {
    static std::u16string key = harness::kDefaultServiceKey;
    static UNICODE_STRING path = hk::MakeUnicodeString(key);
    return &path;
}

// A fresh kernel with the block list of this scale in the registry and the
// boot's drivers in the module list; the driver's globals as at load time.
void PrepareKernel(unsigned scale) {
    hk::ResetKernel();
    InstallBlockList(TheBlockList(scale));
    hk::KernelState& state = hk::State();
    for (const BootImage& driver : BootImages()) {
        state.modules.push_back({driver.image.base(), driver.image.image_size(), hk::Utf16ToUtf8(driver.name)});
    }
    harness::ResetDriverGlobals();
}

void LoadRules() {
    LoadConfiguration(ServiceKey());
}

// The rules on the driver's lists and their data bytes.
std::vector<Figure> RuleFigures() {
    double rules = 0, bytes = 0;
    for (LIST_ENTRY& head : g_RuleLists) {
        if (head.Flink == nullptr) continue;
        for (PLIST_ENTRY link = head.Flink; link != &head; link = link->Flink) {
            rules += 1;
            bytes += CONTAINING_RECORD(link, RULE_ENTRY, Links)->DataLength;
        }
    }
    return {{"rules", rules}, {"rule_data_bytes", bytes}};
}

// What the live blocks would take in the kernel's pool: each block behind a
// 16-byte pool header, in 16-byte units.
std::size_t KernelPoolBytes() {
    std::size_t bytes = 0;
    for (const hk::PoolBlock& block : hk::PoolLiveBlocks()) bytes += 16 + (block.size + 15) / 16 * 16;
    return bytes;
}

// ---------------------------------------------------------------------------
// LoadConfiguration of the whole list, from the registry to the rule lists.
// ---------------------------------------------------------------------------
class LoadCase : public Case {
public:
    explicit LoadCase(unsigned scale) { PrepareKernel(scale); }
    void Run() override { LoadRules(); }
    void Settle() override {
        FreeAllLists();
        hk::PoolReset();  // nothing is live: the pool's figures start again
    }
    std::size_t SettleEvery() const override { return 1; }
    std::vector<Figure> Figures() override {
        const hk::PoolStats pool = hk::PoolStatistics();
        std::vector<Figure> figures = RuleFigures();
        figures.push_back({"pool_peak_bytes", double(pool.peak_bytes)});
        figures.push_back({"pool_peak_blocks", double(pool.peak_blocks)});
        figures.push_back({"pool_resident_bytes", double(pool.live_bytes)});
        figures.push_back({"pool_resident_blocks", double(pool.live_blocks)});
        figures.push_back({"pool_resident_kernel_bytes", double(KernelPoolBytes())});
        return figures;
    }
};

// The classification cases' image: the last boot driver.
BootImage& ClassifiedImage() { return BootImages().back(); }

// The lengths of its facts, by the rule type they are matched against, as
// the driver's readers find them.
void FactLengths(ULONG (&lengths)[RULE_TYPE_COUNT]) {
    const BootImage& image = ClassifiedImage();
    const std::u16string_view name = image.name;
    const ULONG part = static_cast<ULONG>((name.size() - name.find_last_of(u"\\/") - 1) * 2);
    ULONGLONG version = VERSION_UNKNOWN;
    PUNICODE_STRING original = nullptr;
    PANSI_STRING pdb = nullptr;
    UCHAR guid[16];
    GetImageVersionInfo(image.image.base(), image.image.size(), &version, &original);
    GetImageDebugInfo(image.image.base(), image.image.size(), guid, &pdb);
    if (original == nullptr || pdb == nullptr) Fail("fx_debug.sys: no OriginalFilename or no debug record");
    const ULONG by_type[RULE_TYPE_COUNT] = {part, 32, pdb->Length, 16, kThumbprintLength, kHashLength,
                                           part, pdb->Length, kThumbprintLength, original->Length,
                                           original->Length};
    std::copy(std::begin(by_type), std::end(by_type), lengths);
    ExFreePoolWithTag(original, ELAM_POOL_TAG);
    ExFreePoolWithTag(pdb, ELAM_POOL_TAG);
}

// ---------------------------------------------------------------------------
// The references: plain scans over the same rules.
// ---------------------------------------------------------------------------
class ScanCase : public Case {
public:
    using Scan = std::uint64_t (*)(const ULONG (&)[RULE_TYPE_COUNT]);
    ScanCase(unsigned scale, Scan scan) : scan_(scan) {
        PrepareKernel(scale);
        LoadRules();
        FactLengths(lengths_);
    }
    void Run() override {
        sum_ += scan_(lengths_);
        asm volatile("" : : "r"(sum_) : "memory");
    }
    std::vector<Figure> Figures() override { return RuleFigures(); }

private:
    Scan scan_;
    ULONG lengths_[RULE_TYPE_COUNT];
    std::uint64_t sum_ = 0;
};

// ---------------------------------------------------------------------------
// ClassifyImage of one boot driver.
// ---------------------------------------------------------------------------
enum class Classify {
    NoMatch,         // in the module list, both readers, nothing matches: every list walked
    NoMatchNoImage,  // the same facts from the callback, but no module: no readers
    EarlyMatch,      // in the module list, its hash is the first image-hash rule
};

class ClassifyCase : public Case {
public:
    ClassifyCase(unsigned scale, Classify kind) : kind_(kind) {
        PrepareKernel(scale);
        LoadRules();
        CaptureModuleSnapshot();
        BootImage& image = ClassifiedImage();
        name_ = kind == Classify::NoMatchNoImage ? kDriversDir + u"fxabsent.sys" : image.name;
        hash_ = image.hash;
        if (kind == Classify::EarlyMatch) {
            const LIST_ENTRY& head = g_RuleLists[RULE_IMAGE_HASH];
            if (head.Flink == &head) Fail("the block list has no image-hash rule");
            const RULE_ENTRY* first = CONTAINING_RECORD(head.Flink, RULE_ENTRY, Links);
            hash_.assign(first->Data, first->Data + first->DataLength);
        }
        info_ = InformationFor(name_, hash_, image.thumbprint);
        // The module's entry: the lookup marks it consumed, each run restores it.
        auto* entry = static_cast<PRTL_PROCESS_MODULE_INFORMATION_EX>(g_ModuleSnapshot);
        while (entry->NextOffset != 0) {
            entry = reinterpret_cast<PRTL_PROCESS_MODULE_INFORMATION_EX>(reinterpret_cast<PUCHAR>(entry) +
                                                                         entry->NextOffset);
        }
        module_ = entry;
        default_base_ = entry->DefaultBase;

        Run();
        const bool found = module_->DefaultBase != default_base_;
        const ULONG expected = kind == Classify::EarlyMatch ? BdCbClassificationKnownBadImage
                                                            : BdCbClassificationUnknownImage;
        if (info_.Classification != expected || found != (kind != Classify::NoMatchNoImage)) {
            Fail("the classification case is not what it claims to be");
        }
        Settle();
    }
    void Run() override {
        module_->DefaultBase = default_base_;
        ClassifyImage(&info_);
    }
    void Settle() override { FreeEntryList(&g_BlockedDrivers); }
    std::size_t SettleEvery() const override { return kind_ == Classify::EarlyMatch ? 256 : 0; }
    std::vector<Figure> Figures() override { return RuleFigures(); }

private:
    Classify kind_;
    std::u16string name_;
    Bytes hash_;
    BDCB_IMAGE_INFORMATION info_;
    PRTL_PROCESS_MODULE_INFORMATION_EX module_ = nullptr;
    PVOID default_base_ = nullptr;
};

// ---------------------------------------------------------------------------
// WriteBlockedDriversReport with n blocked images.
// ---------------------------------------------------------------------------
class ReportCase : public Case {
public:
    explicit ReportCase(std::size_t blocked) {
        PrepareKernel(1);
        LoadRules();
        for (std::size_t i = 0; i < blocked; ++i) {
            char number[24];
            std::snprintf(number, sizeof(number), "%03zu", i);
            const std::u16string path = kDriversDir + u"blocked" + hk::Utf8ToUtf16(number) + u".sys";
            AppendNameEntry(&g_BlockedDrivers, path.data(), static_cast<ULONG>(path.size() * 2), RULE_IMAGE_HASH);
        }
        Run();
        const hk::RegValue* report = hk::TheRegistry().GetValue(ConfigKey(), u"ElamBlockedDrivers");
        if (report == nullptr || !harness::DecodeReport(report->data) ||
            harness::DecodeReport(report->data)->size() != blocked) {
            Fail("the report case wrote no report of its images");
        }
    }
    void Run() override { WriteBlockedDriversReport(); }
};

// ---------------------------------------------------------------------------
// A whole boot: DriverEntry, the 100 boot drivers' callbacks, the unload.
// ---------------------------------------------------------------------------
class BootCase : public Case {
public:
    explicit BootCase(unsigned scale) {
        PrepareKernel(scale);
        for (const BootImage& driver : BootImages()) {
            infos_.push_back(InformationFor(driver.name, driver.hash, driver.thumbprint));
        }
        Run();
        if (hk::PoolStatistics().live_blocks != 0 || hk::State().boot_callbacks.size() != 1) {
            Fail("the boot left pool behind or did not register its callback");
        }
        Settle();
    }
    void Run() override {
        DriverEntry(nullptr, ServiceKey());
        const auto callback = hk::State().boot_callbacks.front();
        BDCB_STATUS_UPDATE_CONTEXT status{BdCbStatusPrepareForDependencyLoad};
        callback.routine(callback.context, BdCbStatusUpdate, reinterpret_cast<PBDCB_IMAGE_INFORMATION>(&status));
        for (auto& info : infos_) callback.routine(callback.context, BdCbInitializeImage, &info);
        status.StatusType = BdCbStatusPrepareForUnload;
        callback.routine(callback.context, BdCbStatusUpdate, reinterpret_cast<PBDCB_IMAGE_INFORMATION>(&status));
    }
    void Settle() override {
        harness::ResetDriverGlobals();
        hk::State().boot_callbacks.clear();
        hk::PoolReset();  // nothing is live after the unload: the figures start again
    }
    std::size_t SettleEvery() const override { return 1; }
    std::vector<Figure> Figures() override {
        const hk::PoolStats pool = hk::PoolStatistics();
        double blocked = 0;
        for (const auto& info : infos_) blocked += info.Classification == BdCbClassificationKnownBadImage;
        return {{"blocked", blocked},
                {"pool_peak_bytes", double(pool.peak_bytes)},
                {"pool_peak_blocks", double(pool.peak_blocks)}};
    }

private:
    std::vector<BDCB_IMAGE_INFORMATION> infos_;
};

// ---------------------------------------------------------------------------
// The boot's 100 initialize-image callbacks alone, on a driver that has
// loaded its configuration and taken its module snapshot.
// ---------------------------------------------------------------------------
class CallbacksCase : public Case {
public:
    explicit CallbacksCase(unsigned scale) {
        PrepareKernel(scale);
        for (const BootImage& driver : BootImages()) {
            infos_.push_back(InformationFor(driver.name, driver.hash, driver.thumbprint));
        }
        DriverEntry(nullptr, ServiceKey());
        if (hk::State().boot_callbacks.size() != 1 || g_ModuleSnapshot == nullptr) {
            Fail("the driver did not start");
        }
        callback_ = hk::State().boot_callbacks.front();
        auto* position = static_cast<PUCHAR>(g_ModuleSnapshot);
        for (;;) {
            auto* entry = reinterpret_cast<PRTL_PROCESS_MODULE_INFORMATION_EX>(position);
            entries_.push_back({entry, entry->DefaultBase});
            if (entry->NextOffset == 0) break;
            position += entry->NextOffset;
        }
    }
    void Run() override {
        for (auto& info : infos_) callback_.routine(callback_.context, BdCbInitializeImage, &info);
    }
    void Settle() override {
        // The lookups marked every module consumed; a new boot finds them fresh.
        for (const auto& [entry, base] : entries_) entry->DefaultBase = base;
        FreeEntryList(&g_BlockedDrivers);
    }
    std::size_t SettleEvery() const override { return 1; }
    std::vector<Figure> Figures() override {
        double blocked = 0;
        for (const auto& info : infos_) blocked += info.Classification == BdCbClassificationKnownBadImage;
        return {{"blocked", blocked}};
    }

private:
    std::vector<BDCB_IMAGE_INFORMATION> infos_;
    hk::KernelState::Registration callback_{};
    std::vector<std::pair<PRTL_PROCESS_MODULE_INFORMATION_EX, PVOID>> entries_;
};

}  // namespace

const std::vector<CaseInfo>& AllCases() {
    static const std::vector<CaseInfo> cases = {
        {"load", {1, 4, 16}, [](unsigned s) { return std::make_unique<LoadCase>(s); }},
        {"scan/lengths", {1, 4, 16}, [](unsigned s) { return std::make_unique<ScanCase>(s, PlainScanLengths); }},
        {"scan/bytes", {1, 4, 16}, [](unsigned s) { return std::make_unique<ScanCase>(s, PlainScanBytes); }},
        {"classify/no-match", {1, 4, 16},
         [](unsigned s) { return std::make_unique<ClassifyCase>(s, Classify::NoMatch); }},
        {"classify/no-match-no-image", {1, 4, 16},
         [](unsigned s) { return std::make_unique<ClassifyCase>(s, Classify::NoMatchNoImage); }},
        {"classify/early-match", {1, 4, 16},
         [](unsigned s) { return std::make_unique<ClassifyCase>(s, Classify::EarlyMatch); }},
        {"report/1", {1}, [](unsigned) { return std::make_unique<ReportCase>(1); }},
        {"report/100", {1}, [](unsigned) { return std::make_unique<ReportCase>(100); }},
        {"callbacks/100", {1, 4, 16}, [](unsigned s) { return std::make_unique<CallbacksCase>(s); }},
        {"boot/100", {1, 4, 16}, [](unsigned s) { return std::make_unique<BootCase>(s); }},
    };
    return cases;
}

}  // namespace elam_bench
