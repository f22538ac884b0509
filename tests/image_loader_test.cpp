// The host kernel's loader of driver images, on the shipped driver image:
// mapping, relocation, protections, imports and load configuration; images
// it refuses; faults inside the image dispatched to its __except blocks,
// fast-fails, unhandled exceptions and the calls it makes through Control
// Flow Guard. Boots that fault run on the host build too, with the same
// outcome expected of both.
#include "harness/boot.h"
#include "hostkernel/image_loader.h"
#include "hostkernel/pe_format.h"
#include "hostkernel/regfile.h"

#include "support/kernel_test.h"
#include "support/pe_builder.h"

#include <sys/mman.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using harness::BootDriver;
using harness::Scenario;

constexpr char kImagePath[] = ELAM_DRIVER_IMAGE;
const std::u16string kDriverPath = u"\\SystemRoot\\System32\\drivers\\drv.sys";

// ---------------------------------------------------------------------------
// The image file and its headers
// ---------------------------------------------------------------------------
const Bytes& ImageFile() {
    static const Bytes bytes = hk::ReadFileBytes(kImagePath);
    return bytes;
}

struct Headers {
    std::size_t optional;  // file offset of the optional header
    std::uint16_t section_count;
    std::size_t section_table;
};

Headers ReadHeaders(const std::uint8_t* b) {
    const std::size_t nt = pe::Get32(b + hk::pe::kDosLfanew);
    const std::size_t fh = nt + 4;
    return {nt + hk::pe::kOptionalHeader, pe::Get16(b + fh + hk::pe::kFhNumberOfSections),
            nt + hk::pe::kOptionalHeader + pe::Get16(b + fh + hk::pe::kFhSizeOfOptionalHeader)};
}

std::size_t DirectoryEntry(const std::uint8_t* b, int index) {
    return ReadHeaders(b).optional + hk::pe::kOhDataDirectory64 + 8 * std::size_t(index);
}

struct Section {
    std::string name;
    std::uint32_t rva, virtual_size, raw_size, raw, characteristics;
};

std::vector<Section> Sections(const std::uint8_t* b) {
    const Headers h = ReadHeaders(b);
    std::vector<Section> sections;
    for (std::size_t i = 0; i < h.section_count; ++i) {
        const std::uint8_t* s = b + h.section_table + 40 * i;
        sections.push_back(
            {std::string(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8)),
             pe::Get32(s + 12), pe::Get32(s + 8), pe::Get32(s + 16), pe::Get32(s + 20), pe::Get32(s + 36)});
    }
    return sections;
}

const Section& SectionNamed(const std::vector<Section>& sections, const std::string& name) {
    for (const Section& s : sections) {
        if (s.name == name) return s;
    }
    throw std::runtime_error("no section " + name);
}

// Replaces the one occurrence of text (with its NUL) in the file.
void ReplaceString(Bytes& bytes, const std::string& text, const std::string& replacement) {
    ASSERT_EQ(text.size(), replacement.size());
    const std::string needle(text.c_str(), text.size() + 1);
    auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    ASSERT_NE(at, bytes.end()) << text;
    ASSERT_EQ(std::search(at + 1, bytes.end(), needle.begin(), needle.end()), bytes.end()) << text;
    std::copy(replacement.begin(), replacement.end(), at);
}

// The protection of the page holding address, as /proc/self/maps shows it.
std::string Protection(const void* address) {
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::uintptr_t begin = 0, end = 0;
        char dash = 0;
        std::string perms;
        fields >> std::hex >> begin >> dash >> end >> perms;
        if (a >= begin && a < end) return perms.substr(0, 3);
    }
    return "unmapped";
}

class ImageLoaderTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        if (!std::filesystem::exists(kImagePath)) GTEST_SKIP() << "driver image not built";
    }
};

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------
TEST_F(ImageLoaderTest, LoadsTheShippedImageAsTheKernelDoes) {
    const auto image = hk::LoadedImage::Load(ImageFile(), "BootGuardElam.sys");
    const std::uint8_t* base = image->base();
    EXPECT_NE(reinterpret_cast<std::uint64_t>(base), image->preferred_base())
        << "the test needs a relocated image";

    // Each section with its own protection; the headers read-only; nothing
    // after the image.
    EXPECT_EQ(Protection(base), "r--");
    for (const Section& s : Sections(base)) {
        std::string expected = "r";
        expected += (s.characteristics & 0x80000000u) ? "w" : "-";
        expected += (s.characteristics & 0x20000000u) ? "x" : "-";
        EXPECT_EQ(Protection(base + s.rva), expected) << s.name;
        EXPECT_EQ(
            std::memcmp(base + s.rva, ImageFile().data() + s.raw, std::min(s.raw_size, s.virtual_size)) == 0,
            s.name != ".rdata" && s.name != ".data")
            << s.name << ": only the sections holding relocated addresses, the imports and the cookie change";
    }
    EXPECT_EQ(Protection(base + ((image->size() + 4095) & ~std::size_t(4095))), "---");

    // The load configuration's cookie pointer is relocated to the cookie,
    // which no longer holds the default.
    const std::uint32_t config = pe::Get32(base + DirectoryEntry(base, 10));
    std::uint64_t cookie_va = 0;
    std::memcpy(&cookie_va, base + config + 0x58, 8);
    ASSERT_NE(image->security_cookie(), nullptr);
    EXPECT_EQ(cookie_va, reinterpret_cast<std::uint64_t>(image->security_cookie()));
    EXPECT_NE(*image->security_cookie(), hk::kDefaultSecurityCookie);
    EXPECT_EQ(*image->security_cookie() >> 48, 0u);
    EXPECT_TRUE(image->guarded_calls());
}

// Where the load configuration points Control Flow Guard: the image's listed
// targets and the kernel's routines pass, anything else does not.
TEST_F(ImageLoaderTest, CallTargetsAreTheListedFunctionsAndTheKernelRoutines) {
    const auto image = hk::LoadedImage::Load(ImageFile(), "BootGuardElam.sys");
    const std::uint8_t* base = image->base();
    const std::uint32_t config = pe::Get32(base + DirectoryEntry(base, 10));
    std::uint64_t table = 0, count = 0, dispatch = 0;
    std::memcpy(&dispatch, base + config + 0x78, 8);
    std::memcpy(&table, base + config + 0x80, 8);
    std::memcpy(&count, base + config + 0x88, 8);
    std::uint64_t dispatch_routine = 0;
    std::memcpy(&dispatch_routine, reinterpret_cast<const void*>(dispatch), 8);
    EXPECT_EQ(dispatch_routine, reinterpret_cast<std::uint64_t>(&hk::image::HkGuardDispatchICall));

    ASSERT_GT(count, 0u);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint32_t rva = pe::Get32(reinterpret_cast<const std::uint8_t*>(table) + 4 * i);
        EXPECT_TRUE(hk::image::ValidCallTarget(reinterpret_cast<std::uintptr_t>(base + rva))) << rva;
        EXPECT_FALSE(hk::image::ValidCallTarget(reinterpret_cast<std::uintptr_t>(base + rva + 1))) << rva;
    }
    // The imports: what the image finds in its address table.
    const std::uint32_t iat = pe::Get32(base + DirectoryEntry(base, 12));
    std::uint64_t first_import = 0;
    std::memcpy(&first_import, base + iat, 8);
    EXPECT_TRUE(hk::image::ValidCallTarget(first_import));
    // A host routine reached other than through the kernel's export.
    EXPECT_FALSE(hk::image::ValidCallTarget(reinterpret_cast<std::uintptr_t>(&ExAllocatePoolWithTag)));
}

// An image without relocations goes to its preferred base when that is free.
TEST_F(ImageLoaderTest, ImageWithoutRelocationsRunsAtItsPreferredBase) {
    Bytes file = ImageFile();
    std::memset(file.data() + DirectoryEntry(file.data(), 5), 0, 8);
    std::uint64_t preferred = 0;
    std::memcpy(&preferred, file.data() + ReadHeaders(file.data()).optional + 24, 8);
    if (Protection(reinterpret_cast<const void*>(preferred)) != "unmapped") {
        GTEST_SKIP() << "preferred base in use";
    }

    const auto image = hk::LoadedImage::Load(file, "norelocs.sys");

    EXPECT_EQ(reinterpret_cast<std::uint64_t>(image->base()), preferred);
    const auto result = harness::RunBoot(Scenario{}, image->entry());
    EXPECT_EQ(result.driver_entry_status, STATUS_SUCCESS);
    EXPECT_TRUE(result.callback_registered);
    EXPECT_FALSE(result.fast_fail);
}

// ---------------------------------------------------------------------------
// Images the loader refuses
// ---------------------------------------------------------------------------
struct RefusalCase {
    const char* label;
    std::function<void(Bytes&)> change;
    std::string message;  // part of the error
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.label; }

class ImageRefusalTest : public ImageLoaderTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ImageRefusalTest, IsRefusedWithTheReason) {
    Bytes file = ImageFile();
    GetParam().change(file);
    if (HasFatalFailure()) return;
    // The preferred base is taken, as it is on any machine the image boots on.
    const auto preferred = pe::Get32(file.data() + ReadHeaders(file.data()).optional + 24) |
                           std::uint64_t(pe::Get32(file.data() + ReadHeaders(file.data()).optional + 28))
                               << 32;
    void* taken = mmap(reinterpret_cast<void*>(preferred), 1 << 20, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);

    try {
        hk::LoadedImage::Load(file, "changed.sys");
        ADD_FAILURE() << "loaded";
    } catch (const hk::ImageError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
    if (taken != MAP_FAILED) munmap(taken, 1 << 20);
}

INSTANTIATE_TEST_SUITE_P(
    Images, ImageRefusalTest,
    ::testing::Values(
        RefusalCase{"UnknownImport", [](Bytes& b) { ReplaceString(b, "memset", "memsex"); },
                    "imports what the host kernel does not provide: ntoskrnl.exe!memsex"},
        RefusalCase{"ImportFromAnotherModule",
                    [](Bytes& b) { ReplaceString(b, "ntoskrnl.exe", "hal_kern.dll"); },
                    "hal_kern.dll!ExAllocatePoolWithTag, hal_kern.dll!ExFreePoolWithTag"},
        RefusalCase{"NoRelocationsAndThePreferredBaseTaken",
                    [](Bytes& b) { std::memset(b.data() + DirectoryEntry(b.data(), 5), 0, 8); },
                    "has no relocations and cannot be placed at its preferred base"},
        RefusalCase{"RelocationsStripped", [](Bytes& b) { b[ReadHeaders(b.data()).optional - 20 + 18] |= 1; },
                    "has no relocations and cannot be placed at its preferred base"},
        RefusalCase{"TruncatedSection",
                    [](Bytes& b) { b.resize(SectionNamed(Sections(b.data()), ".text").raw + 0x100); },
                    "section .text is truncated"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Boots that fault, fast-fail or throw, on both builds
// ---------------------------------------------------------------------------
enum class Build { Host, Image };

// RunBoot forgets the pool's failure rules: an entry that sets them first.
harness::DriverEntryRoutine g_inner_entry = nullptr;
std::function<void()> g_before_entry;

NTSTATUS NTAPI EntryAfterHook(PDRIVER_OBJECT object, PUNICODE_STRING path) {
    g_before_entry();
    return g_inner_entry(object, path);
}

class ImageBootTest : public ImageLoaderTest {
protected:
    // The entry routine of a build; the image is loaded afresh.
    harness::DriverEntryRoutine Entry(Build build) {
        if (build == Build::Host) return &DriverEntry;
        image_ = hk::LoadedImage::Load(ImageFile(), "BootGuardElam.sys");
        return image_->entry();
    }

    // A fresh kernel with this configuration (value lines of the driver's
    // configuration key).
    static void Configure(const std::vector<std::string>& lines) {
        hk::ResetKernel();
        std::string text =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\BootGuardSP\\Parameters]\r\n";
        for (const auto& line : lines) text += line + "\r\n";
        hk::ImportRegText(hk::TheRegistry(), text);
    }

    std::unique_ptr<hk::LoadedImage> image_;
};

// "name"=hex(7): one string, with its terminator and the list's.
std::string MultiSz(const std::string& name, const std::string& text) {
    std::string line = "\"" + name + "\"=hex(7):";
    char digits[8];
    for (char c : text + std::string(2, '\0')) {
        std::snprintf(digits, sizeof digits, "%02x,00,", static_cast<unsigned char>(c));
        line += digits;
    }
    line.pop_back();
    return line;
}

std::string Utf16Hex(const std::string& text) {
    std::string hex;
    char digits[8];
    for (char c : text) {
        std::snprintf(digits, sizeof digits, "%02X00", static_cast<unsigned char>(c));
        hex += digits;
    }
    return hex;
}

// A version resource whose walk faults: in the directory (before the version
// is read) or in the copy of the OriginalFilename value, which runs into an
// inaccessible page (inside memcpy, a kernel routine for the image).
struct FaultCase {
    const char* label;
    bool in_copy;
    std::optional<ULONG> reason;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.label; }

class ImageFaultTest : public ImageBootTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ImageFaultTest, FaultInAReaderEndsItAsOnTheHostBuild) {
    const FaultCase& c = GetParam();
    for (Build build : {Build::Host, Build::Image}) {
        SCOPED_TRACE(build == Build::Host ? "host build" : "image");
        // The file-name-version rule needs the version; the original-name
        // rule, checked after it, the name.
        Configure({MultiSz("DrvBlockType6", "x;" + Utf16Hex("drv.sys") + ";" + std::string(16, '0') +
                                                std::string(16, 'F')),
                   MultiSz("DrvBlockType9", "x;" + Utf16Hex("drv.sys"))});
        constexpr std::uint32_t kSectionRva = 0x1000;
        const std::uint32_t dir_at = c.in_copy ? 0 : 0x1000;
        pe::VsNode block =
            c.in_copy
                ? pe::VsVersionInfo(0x00010002, 0x00030004,
                                    {pe::VsStringFileInfo({pe::VsStringTable(
                                        u"040904b0", {pe::VsString(u"OriginalFilename", u"drv.sys")})})})
                : pe::StandardVersionInfo(0x00010002, 0x00030004, u"drv.sys");
        const Bytes serialized = pe::Serialize(block);
        Bytes section(0x2000, 0);
        const Bytes directory =
            pe::VersionResourceDirectory(kSectionRva + 0x100, std::uint32_t(serialized.size()));
        pe::PutBytes(section, dir_at, directory.data(), directory.size());
        pe::PutBytes(section, 0x100, serialized.data(), serialized.size());
        hk::MappedImage mapped(pe::ImageWithSection(section, dir_at));
        if (c.in_copy) {
            // The value's length reaches past the page at 0x2000.
            const std::uint32_t value = kSectionRva + 0x100 + 92 + 36 + 24 + 40;
            pe::Put16(mapped.bytes() + value - 40 + 2, static_cast<std::uint16_t>((0x2100 - value) / 2));
        }
        mapped.ProtectPage(0x2000, PROT_NONE);

        Scenario scenario;
        scenario.drivers = {BootDriver{kDriverPath, std::nullopt, std::nullopt, false}};
        scenario.modules = {{&mapped, hk::Utf16ToUtf8(kDriverPath)}};
        const harness::DriverEntryRoutine entry = Entry(build);
        const std::uint64_t host_faults = hk::GuardedFaultCount();
        const std::uint64_t image_faults = hk::ImageExceptionCount();

        const auto result = harness::RunBoot(scenario, entry);

        EXPECT_EQ(hk::GuardedFaultCount() - host_faults, build == Build::Host ? 1u : 0u);
        EXPECT_EQ(hk::ImageExceptionCount() - image_faults, build == Build::Image ? 1u : 0u);
        EXPECT_FALSE(result.fast_fail);
        ASSERT_EQ(result.images.size(), 1u);
        EXPECT_EQ(result.images[0].reason, c.reason);
        EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, ImageFaultTest,
                         ::testing::Values(FaultCase{"InTheDirectory", false, std::nullopt},
                                           // The version was read before the fault.
                                           FaultCase{"InTheCopyOfTheName", true, 6u}),
                         [](const auto& info) { return std::string(info.param.label); });

// A corrupt list link stops the driver with fast-fail 3 at unload; the
// harness reports it for the image as for the host build.
TEST_F(ImageBootTest, FastFailIsReportedAsOnTheHostBuild) {
    for (Build build : {Build::Host, Build::Image}) {
        SCOPED_TRACE(build == Build::Host ? "host build" : "image");
        Configure({MultiSz("ExcludedDrivers", "x.sys"), MultiSz("DrvBlockType0", "x;" + Utf16Hex("a.sys"))});
        // At unload the report for \d\a.sys (22 bytes) is written before the
        // lists are freed: the exclusion record's back link is broken then.
        constexpr std::size_t kReportBuffer = 22;
        constexpr std::size_t kExclusionRecord = sizeof(NAME_ENTRY) + 6 * sizeof(WCHAR);
        g_before_entry = [] {
            hk::PoolFailWhen([](std::uint64_t, std::size_t size, ULONG) {
                for (const auto& block : hk::PoolLiveBlocks()) {
                    if (size == kReportBuffer && block.tag == ELAM_POOL_TAG &&
                        block.size == kExclusionRecord) {
                        static_cast<LIST_ENTRY*>(const_cast<void*>(block.address))->Blink = nullptr;
                    }
                }
                return false;
            });
        };
        g_inner_entry = Entry(build);
        Scenario scenario;
        scenario.drivers = {BootDriver{u"\\d\\a.sys", std::nullopt, std::nullopt, false}};

        const harness::BootResult result = harness::RunBoot(scenario, &EntryAfterHook);

        ASSERT_EQ(result.images.size(), 1u);
        EXPECT_EQ(result.images[0].reason, 0u);
        EXPECT_EQ(result.fast_fail, ULONG{FAST_FAIL_CORRUPT_LIST_ENTRY});
        EXPECT_EQ(hk::FastFailCount(), 1u);
        hk::PoolReset();  // the boot never finished
    }
}

// An exception that a host routine throws while the image runs comes out of
// the boot, as it does from the host build.
TEST_F(ImageBootTest, ExceptionOfAKernelRoutineReachesTheHost) {
    for (Build build : {Build::Host, Build::Image}) {
        SCOPED_TRACE(build == Build::Host ? "host build" : "image");
        Configure({MultiSz("ExcludedDrivers", "x.sys")});
        g_before_entry = [] {
            hk::PoolFailWhen([](std::uint64_t serial, std::size_t, ULONG) -> bool {
                if (serial == 2) throw std::runtime_error("pool exhausted");
                return false;
            });
        };
        g_inner_entry = Entry(build);
        EXPECT_THROW(harness::RunBoot(Scenario{}, &EntryAfterHook), std::runtime_error);
        // Nothing of the interrupted calls is left on the thread: the next boot completes.
        hk::PoolReset();
        const auto result = harness::RunBoot(Scenario{}, Entry(build));
        EXPECT_EQ(result.driver_entry_status, STATUS_SUCCESS);
        EXPECT_TRUE(result.callback_registered);
        hk::PoolReset();
    }
}

// A fault outside every __try of the image is a bug check, not a crash.
TEST_F(ImageBootTest, UnhandledFaultInTheImageIsABugCheck) {
    const harness::DriverEntryRoutine entry = Entry(Build::Image);
    ASSERT_EQ(harness::RunBoot(Scenario{}, entry).driver_entry_status, STATUS_SUCCESS);
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const auto callback = hk::State().boot_callbacks.front();
    try {
        callback.routine(callback.context, BdCbInitializeImage, static_cast<PBDCB_IMAGE_INFORMATION>(page));
        ADD_FAILURE() << "no bug check";
    } catch (const hk::BugCheck& check) {
        EXPECT_NE(
            std::string(check.what()).find("unhandled exception 0xC0000005 in BootGuardElam.sys at offset"),
            std::string::npos)
            << check.what();
    }
    munmap(page, 4096);
    hk::PoolReset();
}

// A call through Control Flow Guard to an address outside the valid targets
// fast-fails with FAST_FAIL_GUARD_ICALL_CHECK_FAILURE: here the registry
// query routine, taken from an address-table slot that holds the host
// routine itself instead of the kernel's export.
TEST_F(ImageBootTest, IndirectCallToAnInvalidTargetFastFails) {
    Configure({MultiSz("ExcludedDrivers", "x.sys")});
    const harness::DriverEntryRoutine entry = Entry(Build::Image);
    std::uint8_t* base = image_->base();
    const std::uint32_t imports = pe::Get32(base + DirectoryEntry(base, 1));
    const std::uint32_t names = pe::Get32(base + imports), table = pe::Get32(base + imports + 16);
    std::uint8_t* slot = nullptr;
    for (std::size_t k = 0;; ++k) {
        const std::uint32_t name = pe::Get32(base + names + 8 * k);
        ASSERT_NE(name, 0u) << "no RtlQueryRegistryValues import";
        if (std::strcmp(reinterpret_cast<const char*>(base + name + 2), "RtlQueryRegistryValues") == 0) {
            slot = base + table + 8 * k;
            break;
        }
    }
    ASSERT_EQ(
        mprotect(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(slot) & ~std::uintptr_t(4095)),
                 4096, PROT_READ | PROT_WRITE),
        0);
    const auto host_routine = reinterpret_cast<std::uint64_t>(&RtlQueryRegistryValues);
    std::memcpy(slot, &host_routine, 8);

    Scenario scenario;
    scenario.kernel.query_registry_values_ex = false;  // the driver takes RtlQueryRegistryValues' address
    const auto result = harness::RunBoot(scenario, entry);

    EXPECT_EQ(result.fast_fail, ULONG{10});
    hk::PoolReset();
}

}  // namespace
