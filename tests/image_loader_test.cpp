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

// ---------------------------------------------------------------------------
// Unwinding every kind of frame: a hand-assembled image
// ---------------------------------------------------------------------------
// Top(fault, out) sets known values in rbx, rsi, rbp, r13, r14, xmm6 and xmm7
// and calls Outer under __try; its __except block stores them and RSP in
// out[]. Outer pushes rbp, rbx and rsi, saves xmm6 with a MOV, sets up a frame
// pointer, clobbers rbx, rsi and xmm6 and moves RSP further (only the frame
// pointer recovers it), then calls Middle. Middle allocates a large frame,
// saves r13, r14 and xmm7 with MOVs (near and far codes), clobbers them, and
// calls Leaf from the part of it described by chained unwind information.
// Leaf, without a RUNTIME_FUNCTION, reads from fault. Each register comes back
// only through its own unwind code.
//
// Query(path, table, out) sets rbx and calls RtlQueryRegistryValues under
// __try; the table's query routine is Faulting, in the image, which reads
// from address 0. Its __except block stores rbx in out[0].
struct Asm {
    Bytes code;
    std::uint32_t base;  // RVA of the first byte
    std::uint32_t here() const { return base + static_cast<std::uint32_t>(code.size()); }
    Asm& operator()(std::initializer_list<std::uint8_t> bytes) {
        code.insert(code.end(), bytes);
        return *this;
    }
    Asm& Imm64(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) code.push_back(std::uint8_t(value >> (8 * i)));
        return *this;
    }
    Asm& Rel32(std::uint32_t target) {  // the displacement of an instruction ending after it
        const std::uint32_t rel = target - (here() + 4);
        for (int i = 0; i < 4; ++i) code.push_back(std::uint8_t(rel >> (8 * i)));
        return *this;
    }
    Asm& Call(std::uint32_t target) { return (*this)({0xE8}).Rel32(target); }
};

constexpr std::uint64_t kSentinels[] = {0x1111111111111111ull, 0x2222222222222222ull, 0x5555555555555555ull,
                                        0x6666666666666666ull, 0x7777777777777777ull};  // rbx rsi rbp r13 r14

struct UnwindImage {
    Bytes file;
    std::size_t top_unwind_file_offset;  // Top's UNWIND_INFO in the file
    std::size_t scope_file_offset;       // Top's scope-table entry in the file
    static constexpr std::uint32_t kQuery = 0x1320, kFaulting = 0x1380;
};

UnwindImage MakeUnwindImage() {
    constexpr std::uint32_t kText = 0x1000, kTop = 0x1000, kOuter = 0x1100, kMiddle = 0x1200, kLeaf = 0x1300,
                            kThunk = 0x1310, kQuery = UnwindImage::kQuery, kFaulting = UnwindImage::kFaulting;
    constexpr std::uint32_t kRdata = 0x2000, kIat = 0x2060, kUnwindTop = 0x2100, kUnwindOuter = 0x2140,
                            kUnwindMiddle = 0x2180, kUnwindChained = 0x21C0, kUnwindQuery = 0x2280,
                            kReloc = 0x2200;
    Bytes text(0x400, 0xCC), rdata(0x300, 0), pdata(60, 0);
    auto place = [&](const Asm& a) { std::copy(a.code.begin(), a.code.end(), text.begin() + (a.base - kText)); };

    Asm top{{}, kTop};
    top({0x55, 0x53, 0x56, 0x41, 0x54, 0x41, 0x55, 0x41, 0x56});  // push rbp, rbx, rsi, r12, r13, r14
    top({0x48, 0x83, 0xEC, 0x48});                               // sub rsp, 0x48
    top({0x0F, 0x29, 0x74, 0x24, 0x20});                         // movaps [rsp+0x20], xmm6
    top({0x0F, 0x29, 0x7C, 0x24, 0x30});                         // movaps [rsp+0x30], xmm7: prolog 23
    top({0x49, 0x89, 0xD4});                                     // mov r12, rdx
    top({0x48, 0xBB}).Imm64(kSentinels[0]);                      // mov rbx, imm64
    top({0x48, 0xBE}).Imm64(kSentinels[1]);                      // mov rsi, imm64
    top({0x48, 0xBD}).Imm64(kSentinels[2]);                      // mov rbp, imm64
    top({0x49, 0xBD}).Imm64(kSentinels[3]);                      // mov r13, imm64
    top({0x49, 0xBE}).Imm64(kSentinels[4]);                      // mov r14, imm64
    top({0x66, 0x48, 0x0F, 0x6E, 0xF3});                         // movq xmm6, rbx
    top({0x66, 0x48, 0x0F, 0x6E, 0xFE});                         // movq xmm7, rsi
    top({0x49, 0x89, 0x64, 0x24, 0x18});                         // mov [r12+24], rsp
    const std::uint32_t scope_begin = top.here();
    top.Call(kOuter)({0x90});                                    // call Outer; nop
    const std::uint32_t scope_end = top.here();
    top({0x31, 0xC0, 0xEB, 43});                                 // xor eax, eax; jmp done
    const std::uint32_t handler = top.here();
    top({0x49, 0x89, 0x1C, 0x24});                               // mov [r12], rbx
    top({0x49, 0x89, 0x74, 0x24, 0x08});                         // mov [r12+8], rsi
    top({0x66, 0x41, 0x0F, 0xD6, 0x74, 0x24, 0x10});             // movq [r12+16], xmm6
    top({0x49, 0x89, 0x64, 0x24, 0x20});                         // mov [r12+32], rsp
    top({0x49, 0x89, 0x6C, 0x24, 0x28});                         // mov [r12+40], rbp
    top({0x4D, 0x89, 0x6C, 0x24, 0x30});                         // mov [r12+48], r13
    top({0x4D, 0x89, 0x74, 0x24, 0x38});                         // mov [r12+56], r14
    top({0x66, 0x41, 0x0F, 0xD6, 0x7C, 0x24, 0x40});             // movq [r12+64], xmm7
    top({0x0F, 0x28, 0x74, 0x24, 0x20, 0x0F, 0x28, 0x7C, 0x24, 0x30});  // done: restore xmm6, xmm7
    top({0x48, 0x83, 0xC4, 0x48, 0x41, 0x5E, 0x41, 0x5D, 0x41, 0x5C, 0x5E, 0x5B, 0x5D, 0xC3});
    place(top);

    Asm outer{{}, kOuter};
    outer({0x55, 0x53, 0x56, 0x48, 0x83, 0xEC, 0x30});           // push rbp, rbx, rsi; sub rsp, 0x30
    outer({0x0F, 0x29, 0x74, 0x24, 0x10});                       // movaps [rsp+0x10], xmm6
    outer({0x48, 0x8D, 0x6C, 0x24, 0x20});                       // lea rbp, [rsp+0x20]: prolog 17
    outer({0x48, 0xBB}).Imm64(0x3333333333333333ull);            // mov rbx, imm64
    outer({0x48, 0xBE}).Imm64(0x4444444444444444ull);            // mov rsi, imm64
    outer({0x66, 0x48, 0x0F, 0x6E, 0xF3});                       // movq xmm6, rbx
    outer({0x48, 0x83, 0xEC, 0x40});                             // sub rsp, 0x40
    outer.Call(kMiddle)({0x90});
    outer({0x0F, 0x28, 0x75, 0xF0});                             // movaps xmm6, [rbp-0x10]
    outer({0x48, 0x8D, 0x65, 0x10, 0x5E, 0x5B, 0x5D, 0xC3});     // lea rsp, [rbp+0x10]; pop rsi, rbx, rbp; ret
    place(outer);

    Asm middle{{}, kMiddle};
    middle({0x48, 0x81, 0xEC, 0x08, 0x01, 0x00, 0x00});          // sub rsp, 0x108
    middle({0x4C, 0x89, 0xAC, 0x24, 0x00, 0x01, 0x00, 0x00});    // mov [rsp+0x100], r13
    middle({0x4C, 0x89, 0xB4, 0x24, 0xF8, 0x00, 0x00, 0x00});    // mov [rsp+0xF8], r14
    middle({0x0F, 0x29, 0xBC, 0x24, 0xE0, 0x00, 0x00, 0x00});    // movaps [rsp+0xE0], xmm7: prolog 31
    const std::uint32_t middle_body = middle.here();
    middle({0x49, 0xBD}).Imm64(0xBADBADBADBADBAD1ull);           // mov r13, imm64
    middle({0x49, 0xBE}).Imm64(0xBADBADBADBADBAD2ull);           // mov r14, imm64
    middle({0x66, 0x49, 0x0F, 0x6E, 0xFD});                      // movq xmm7, r13
    middle.Call(kLeaf)({0x90});
    middle({0x0F, 0x28, 0xBC, 0x24, 0xE0, 0x00, 0x00, 0x00, 0x4C, 0x8B, 0xB4, 0x24, 0xF8, 0x00, 0x00, 0x00,
            0x4C, 0x8B, 0xAC, 0x24, 0x00, 0x01, 0x00, 0x00, 0x48, 0x81, 0xC4, 0x08, 0x01, 0x00, 0x00, 0xC3});
    place(middle);

    place(Asm{{}, kLeaf}({0x8B, 0x01, 0xC3}));                   // mov eax, [rcx]; ret
    place(Asm{{}, kThunk}({0xFF, 0x25}).Rel32(kIat));            // jmp [__C_specific_handler's slot]

    Asm query{{}, kQuery};
    query({0x53, 0x41, 0x54, 0x48, 0x83, 0xEC, 0x38});           // push rbx, r12; sub rsp, 0x38: prolog 7
    query({0x4D, 0x89, 0xC4, 0x49, 0x89, 0xD0, 0x48, 0x89, 0xCA});  // mov r12, r8; mov r8, rdx; mov rdx, rcx
    query({0x31, 0xC9, 0x45, 0x31, 0xC9});                       // xor ecx, ecx; xor r9d, r9d
    query({0x48, 0xC7, 0x44, 0x24, 0x20, 0, 0, 0, 0});           // mov qword [rsp+0x20], 0
    query({0x48, 0xBB}).Imm64(kSentinels[0]);                    // mov rbx, imm64
    const std::uint32_t query_scope_begin = query.here();
    query({0xFF, 0x15}).Rel32(kIat + 8)({0x90});                 // call [RtlQueryRegistryValues]; nop
    const std::uint32_t query_scope_end = query.here();
    query({0xEB, 0x04});                                         // jmp done
    const std::uint32_t query_handler = query.here();
    query({0x49, 0x89, 0x1C, 0x24});                             // mov [r12], rbx
    query({0x48, 0x83, 0xC4, 0x38, 0x41, 0x5C, 0x5B, 0xC3});     // done: add rsp, 0x38; pop r12, rbx; ret
    place(query);
    place(Asm{{}, kFaulting}({0x31, 0xC0, 0x8B, 0x00, 0xC3}));    // xor eax, eax; mov eax, [rax]; ret

    // Imports: __C_specific_handler from ntoskrnl.exe.
    auto put32 = [&](std::uint32_t rva, std::uint32_t v) { pe::Put32(rdata.data() + (rva - kRdata), v); };
    auto put16 = [&](std::uint32_t rva, std::uint16_t v) { pe::Put16(rdata.data() + (rva - kRdata), v); };
    auto text_at = [&](std::uint32_t rva, const char* s) {
        std::memcpy(rdata.data() + (rva - kRdata), s, std::strlen(s) + 1);
    };
    put32(0x2000, 0x2040);  // OriginalFirstThunk
    put32(0x200C, 0x20A0);  // Name
    put32(0x2010, kIat);    // FirstThunk
    for (std::uint32_t table : {0x2040u, kIat}) {
        put32(table, 0x2080);
        put32(table + 8, 0x20B0);
    }
    text_at(0x2082, "__C_specific_handler");
    text_at(0x20B2, "RtlQueryRegistryValues");
    text_at(0x20A0, "ntoskrnl.exe");

    // Unwind information; a code is {offset in the prolog, op | info << 4}.
    auto info = [&](std::uint32_t rva, std::uint8_t flags, std::uint8_t prolog, std::uint8_t frame,
                    std::vector<std::uint16_t> slots) {
        rdata[rva - kRdata] = std::uint8_t(1 | flags << 3);
        rdata[rva - kRdata + 1] = prolog;
        rdata[rva - kRdata + 2] = std::uint8_t(slots.size());
        rdata[rva - kRdata + 3] = frame;
        for (std::size_t i = 0; i < slots.size(); ++i) put16(rva + 4 + std::uint32_t(2 * i), slots[i]);
        return rva + 4 + std::uint32_t(2 * ((slots.size() + 1) & ~std::size_t(1)));
    };
    auto code = [](std::uint8_t offset, std::uint8_t op, std::uint8_t reg) -> std::uint16_t {
        return std::uint16_t(offset | (op | reg << 4) << 8);
    };
    enum : std::uint8_t { kPush = 0, kAllocLarge = 1, kAllocSmall = 2, kSetFp = 3, kSave = 4, kSaveFar = 5,
                          kSaveXmm = 8, kSaveXmmFar = 9 };
    std::uint32_t after = info(kUnwindTop, 1, 23, 0,
                               {code(23, kSaveXmm, 7), 3, code(18, kSaveXmm, 6), 2, code(13, kAllocSmall, 8),
                                code(9, kPush, 14), code(7, kPush, 13), code(5, kPush, 12), code(3, kPush, 6),
                                code(2, kPush, 3), code(1, kPush, 5)});
    put32(after, kThunk);      // the language handler
    put32(after + 4, 1);       // one scope
    put32(after + 8, scope_begin);
    put32(after + 12, scope_end);
    put32(after + 16, 1);      // EXCEPTION_EXECUTE_HANDLER
    put32(after + 20, handler);
    const std::size_t scope_in_rdata = after + 8 - kRdata;
    info(kUnwindOuter, 0, 17, 0x25,  // frame register rbp, at RSP + 0x20
         {code(17, kSetFp, 0), code(12, kSaveXmm, 6), 1, code(7, kAllocSmall, 5), code(3, kPush, 6),
          code(2, kPush, 3), code(1, kPush, 5)});
    info(kUnwindMiddle, 0, 31, 0,
         {code(31, kSaveXmmFar, 7), 0xE0, 0, code(23, kSaveFar, 14), 0xF8, 0, code(15, kSave, 13), 0x20,
          code(7, kAllocLarge, 1), 0x108, 0});
    after = info(kUnwindQuery, 1, 7, 0, {code(7, kAllocSmall, 6), code(3, kPush, 12), code(1, kPush, 3)});
    put32(after, kThunk);
    put32(after + 4, 1);
    put32(after + 8, query_scope_begin);
    put32(after + 12, query_scope_end);
    put32(after + 16, 1);
    put32(after + 20, query_handler);
    after = info(kUnwindChained, 4, 0, 0, {});
    put32(after, kMiddle);
    put32(after + 4, middle_body);
    put32(after + 8, kUnwindMiddle);
    // A relocation block with padding only: the image is relocatable.
    put32(kReloc, kText);
    put32(kReloc + 4, 12);

    const std::uint32_t functions[][3] = {{kTop, top.here(), kUnwindTop},
                                          {kOuter, outer.here(), kUnwindOuter},
                                          {kMiddle, middle_body, kUnwindMiddle},
                                          {middle_body, middle.here(), kUnwindChained},
                                          {kQuery, query.here(), kUnwindQuery}};
    for (std::size_t i = 0; i < 5; ++i) {
        for (int k = 0; k < 3; ++k) pe::Put32(pdata.data() + 12 * i + 4 * k, functions[i][k]);
    }

    pe::ImageLayout layout;
    layout.sections = {{".text", text, kText, 0}, {".rdata", rdata, kRdata, 0}, {".pdata", pdata, 0x3000, 0}};
    const std::uint32_t directories[][3] = {{1, 0x2000, 40}, {3, 0x3000, 60}, {5, kReloc, 12}, {12, kIat, 24}};
    for (const auto& d : directories) {
        layout.directories[d[0]][0] = d[1];
        layout.directories[d[0]][1] = d[2];
    }
    UnwindImage image{pe::BuildImage(layout), 0, 0};
    const Headers h = ReadHeaders(image.file.data());
    pe::Put32(image.file.data() + h.optional + 16, kTop);              // AddressOfEntryPoint
    const std::uint64_t base = 0x180000000ull;
    std::memcpy(image.file.data() + h.optional + 24, &base, 8);       // ImageBase
    pe::Put32(image.file.data() + h.section_table + 36, 0x60000020);  // .text: code, read, execute
    const Section rdata_section = Sections(image.file.data())[1];
    image.top_unwind_file_offset = rdata_section.raw + (kUnwindTop - kRdata);
    image.scope_file_offset = rdata_section.raw + scope_in_rdata;
    return image;
}

TEST_F(KernelTest, UnwindingRestoresEveryFrameKindUpToTheHandler) {
    const auto image = hk::LoadedImage::Load(MakeUnwindImage().file, "unwind.sys");
    void* fault = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::uint64_t readable = 0;
    std::uint64_t out[9] = {};
    const std::uint64_t dispatched = hk::ImageExceptionCount();

    EXPECT_EQ(image->entry()(static_cast<PDRIVER_OBJECT>(fault), reinterpret_cast<PUNICODE_STRING>(out)),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(hk::ImageExceptionCount() - dispatched, 1u);
    EXPECT_EQ(out[0], kSentinels[0]) << "rbx: pushed by Outer";
    EXPECT_EQ(out[1], kSentinels[1]) << "rsi: pushed by Outer";
    EXPECT_EQ(out[2], kSentinels[0]) << "xmm6: saved by Outer";
    EXPECT_EQ(out[4], out[3]) << "rsp of Top: Outer's frame pointer, small and large allocations, a leaf";
    EXPECT_EQ(out[5], kSentinels[2]) << "rbp: Outer's frame pointer, pushed by it";
    EXPECT_EQ(out[6], kSentinels[3]) << "r13: saved by Middle";
    EXPECT_EQ(out[7], kSentinels[4]) << "r14: saved far by Middle";
    EXPECT_EQ(out[8], kSentinels[1]) << "xmm7: saved far by Middle";

    // Without the fault the same calls return normally.
    EXPECT_EQ(image->entry()(reinterpret_cast<PDRIVER_OBJECT>(&readable), reinterpret_cast<PUNICODE_STRING>(out)),
              STATUS_SUCCESS);
    munmap(fault, 4096);
}

// An exception in an image callback that a kernel routine called reaches the
// __except of the image frame that called the routine; the routine's own
// frames unwind on the way as C++ frames.
TEST_F(KernelTest, ExceptionInACallbackOfAKernelRoutineReachesTheImageFrameAbove) {
    const auto image = hk::LoadedImage::Load(MakeUnwindImage().file, "unwind.sys");
    const std::u16string key = u"\\Registry\\Machine\\Software\\Unwind";
    hk::TheRegistry().SetValue(key, u"Value", REG_DWORD, {1, 0, 0, 0});
    std::u16string name = u"Value";
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine =
        reinterpret_cast<PRTL_QUERY_REGISTRY_ROUTINE>(image->base() + UnwindImage::kFaulting);
    table[0].Name = name.data();
    using QueryRoutine = NTSTATUS(NTAPI*)(PCWSTR, PRTL_QUERY_REGISTRY_TABLE, std::uint64_t*);
    const auto query = reinterpret_cast<QueryRoutine>(image->base() + UnwindImage::kQuery);
    std::uint64_t out[1] = {};
    const std::uint64_t dispatched = hk::ImageExceptionCount();

    const NTSTATUS status = hk::image::CallIntoImage([&] { return query(key.c_str(), table, out); });

    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(hk::ImageExceptionCount() - dispatched, 1u);
    EXPECT_EQ(out[0], kSentinels[0]) << "rbx as the image had it at its call";

    // Without a handler above, the same fault is a bug check.
    try {
        hk::image::CallIntoImage([&] {
            return table[0].QueryRoutine(name.data(), REG_DWORD, nullptr, 0, nullptr, nullptr);
        });
        ADD_FAILURE() << "no bug check";
    } catch (const hk::BugCheck& check) {
        EXPECT_NE(std::string(check.what()).find("in unwind.sys at offset 0x1382"), std::string::npos)
            << check.what();
    }
}

// Scope tables and unwind codes the dispatch cannot serve are refused at load.
TEST_F(KernelTest, UnwindDataTheDispatchCannotServeIsRefused) {
    struct Case {
        const char* label;
        std::function<void(UnwindImage&)> change;
        const char* message;
    } cases[] = {
        {"filter routine", [](UnwindImage& i) { pe::Put32(i.file.data() + i.scope_file_offset + 8, 0x1300); },
         "the __except filter at RVA 0x1300 is a routine"},
        {"__finally", [](UnwindImage& i) { pe::Put32(i.file.data() + i.scope_file_offset + 12, 0); },
         "a __finally block"},
        {"machine frame", [](UnwindImage& i) { i.file[i.top_unwind_file_offset + 4 + 1] = 10; },
         "UWOP_PUSH_MACHFRAME is not supported"},
        {"other handler", [](UnwindImage& i) { pe::Put32(i.file.data() + i.scope_file_offset - 8, 0x1300); },
         "is not __C_specific_handler"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        UnwindImage image = MakeUnwindImage();
        c.change(image);
        try {
            hk::LoadedImage::Load(image.file, "unwind.sys");
            ADD_FAILURE() << "loaded";
        } catch (const hk::ImageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
