// The host kernel's image services: the fault guard, PE images mapped as the
// loader maps them, RtlImageDirectoryEntryToData over them; then both image
// readers over the corkami corpus and against pefile on the fixture images.
#include "hostkernel/pe_image.h"
#include "support/kernel_test.h"
#include "support/pe_builder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using pe::Bytes;

// ---------------------------------------------------------------------------
// The fault guard.
// ---------------------------------------------------------------------------
struct Probe {
    const volatile UCHAR* address;
    int reads = 0;
    NTSTATUS inner = 0;
};

NTSTATUS ReadByte(PVOID context) {
    auto* probe = static_cast<Probe*>(context);
    (void)*probe->address;
    ++probe->reads;
    return 0x1234;
}

NTSTATUS ReturnsItsStatus(PVOID) { return STATUS_NOT_FOUND; }

// Runs a faulting read under an inner guard, then goes on.
NTSTATUS Nested(PVOID context) {
    auto* probe = static_cast<Probe*>(context);
    probe->inner = ElamCallGuarded(ReadByte, probe);
    return STATUS_SUCCESS;
}

struct NoAccessPage {
    NoAccessPage() {
        page = static_cast<UCHAR*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    }
    ~NoAccessPage() { munmap(page, 4096); }
    UCHAR* page;
};

TEST(FaultGuard, ReturnsTheRoutineStatusOrTheAccessViolation) {
    EXPECT_EQ(ElamCallGuarded(ReturnsItsStatus, nullptr), STATUS_NOT_FOUND);

    NoAccessPage bad;
    Probe probe{bad.page + 100};
    // Twice: the signal must be usable again after the first jump back.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ElamCallGuarded(ReadByte, &probe), STATUS_ACCESS_VIOLATION);
    }
    EXPECT_EQ(probe.reads, 0);
    EXPECT_GE(hk::GuardedFaultCount(), 2u);

    UCHAR good = 7;
    probe.address = &good;
    EXPECT_EQ(ElamCallGuarded(ReadByte, &probe), 0x1234);
    EXPECT_EQ(probe.reads, 1);
}

TEST(FaultGuard, InnerGuardCatchesItsOwnFault) {
    NoAccessPage bad;
    Probe probe{bad.page};
    EXPECT_EQ(ElamCallGuarded(Nested, &probe), STATUS_SUCCESS);
    EXPECT_EQ(probe.inner, STATUS_ACCESS_VIOLATION);
}

TEST(FaultGuard, BusErrorIsCaughtToo) {
    // A shared mapping of an empty file: touching it raises SIGBUS.
    char path[] = "/tmp/elam-guard-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    void* map = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    Probe probe{static_cast<UCHAR*>(map)};
    EXPECT_EQ(ElamCallGuarded(ReadByte, &probe), STATUS_ACCESS_VIOLATION);
    munmap(map, 4096);
    close(fd);
}

TEST(FaultGuardDeathTest, FaultOutsideEveryGuardStillCrashes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            NoAccessPage bad;
            Probe probe{bad.page};
            ElamCallGuarded(ReadByte, &probe);  // installs the handler
            (void)*probe.address;               // outside the guard
        },
        "");
}

// ---------------------------------------------------------------------------
// Mapping.
// ---------------------------------------------------------------------------
TEST(MappedImage, PlacesHeadersAndSectionsAtTheirAddresses) {
    for (bool pe32_plus : {true, false}) {
        SCOPED_TRACE(pe32_plus ? "PE32+" : "PE32");
        pe::ImageLayout layout;
        layout.pe32_plus = pe32_plus;
        layout.sections.push_back({".text", Bytes(0x300, 0xC3), 0x1000, 0});
        // More virtual than raw: the rest is zero.
        layout.sections.push_back({".data", Bytes(0x10, 0xDA), 0x3000, 0x1800});
        // Less virtual than raw: the raw data beyond VirtualSize stays out.
        layout.sections.push_back({".rdata", Bytes(0x200, 0x77), 0x5000, 0x80});
        const Bytes file = pe::BuildImage(layout);
        const hk::MappedImage image(file);

        EXPECT_EQ(image.size(), 0x6000u);
        EXPECT_EQ(image.pe32_plus(), pe32_plus);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image.base()) % 4096, 0u);
        const std::uint8_t* m = image.bytes();
        EXPECT_EQ(std::memcmp(m, file.data(), pe::kHeadersSize), 0);
        auto all = [m](std::size_t from, std::size_t to, std::uint8_t value) {
            return std::all_of(m + from, m + to, [value](std::uint8_t b) { return b == value; });
        };
        EXPECT_TRUE(all(pe::kHeadersSize, 0x1000, 0));
        EXPECT_TRUE(all(0x1000, 0x1300, 0xC3));
        EXPECT_TRUE(all(0x1300, 0x3000, 0));
        EXPECT_TRUE(all(0x3000, 0x3010, 0xDA));
        EXPECT_TRUE(all(0x3010, 0x5000, 0));
        EXPECT_TRUE(all(0x5000, 0x5080, 0x77));
        EXPECT_TRUE(all(0x5080, 0x6000, 0));
    }
}

TEST(MappedImage, RawDataStartsAtItsSector) {
    // The loader reads a section from the 512-byte sector that holds its
    // PointerToRawData.
    pe::ImageLayout layout;
    Bytes data(0x200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    layout.sections.push_back({".data", data, 0x1000, 0});
    Bytes file = pe::BuildImage(layout);
    pe::Put32(file, 0x148 + 20, 0x400 + 0x10);
    const hk::MappedImage image(file);
    EXPECT_EQ(std::memcmp(image.bytes() + 0x1000, data.data(), data.size()), 0);
}

TEST(MappedImage, SizeOfImageNeedNotFillItsLastPage) {
    // The loader rounds SizeOfImage up; a section may end inside that page.
    pe::ImageLayout layout;
    layout.sections.push_back({".data", Bytes(0x100, 1), 0x1000, 0x1000});
    layout.size_of_image = 0x1200;
    const hk::MappedImage image(pe::BuildImage(layout));
    EXPECT_EQ(image.size(), 0x1200u);
    EXPECT_EQ(image.mapped_size(), 0x2000u);
    EXPECT_EQ(image.bytes()[0x10FF], 1);
}

TEST(MappedImage, RefusesWhatTheLoaderRefuses) {
    struct Row {
        const char* what;
        void (*patch)(Bytes&);
        const char* message;
    } rows[] = {
        {"empty file", [](Bytes& b) { b.clear(); }, "truncated"},
        {"only the DOS header's first bytes", [](Bytes& b) { b.resize(0x20); }, "truncated"},
        {"no MZ", [](Bytes& b) { b[1] = 'X'; }, "MZ"},
        {"e_lfanew beyond the file", [](Bytes& b) { pe::Put32(b, 0x3C, 0x7FFFFFF0); }, "truncated"},
        {"no PE signature", [](Bytes& b) { b[0x41] = 'X'; }, "PE signature"},
        {"unknown optional header magic", [](Bytes& b) { pe::Put16(b, 0x58, 0x107); }, "magic"},
        {"SizeOfImage 0", [](Bytes& b) { pe::Put32(b, 0x58 + 56, 0); }, "SizeOfImage"},
        {"SizeOfImage of 4 GiB", [](Bytes& b) { pe::Put32(b, 0x58 + 56, 0xFFFFF000u); }, "SizeOfImage"},
        {"section table cut off", [](Bytes& b) { pe::Put16(b, 0x46, 0xFFFF); }, "section table"},
        {"section raw data beyond the file", [](Bytes& b) { pe::Put32(b, 0x148 + 20, 0x10000); },
         "beyond the end of the file"},
        {"section raw data wrapping 32 bits", [](Bytes& b) {
             pe::Put32(b, 0x148 + 20, 0xFFFFFE00u);
         }, "beyond the end of the file"},
        {"section beyond SizeOfImage", [](Bytes& b) { pe::Put32(b, 0x148 + 12, 0x2000); }, "SizeOfImage"},
        {"section size wrapping 32 bits", [](Bytes& b) { pe::Put32(b, 0x148 + 8, 0xFFFFF800u); },
         "SizeOfImage"},
    };
    pe::ImageLayout layout;
    layout.sections.push_back({".data", Bytes(0x100, 1), 0x1000, 0});
    const Bytes good = pe::BuildImage(layout);
    ASSERT_EQ(pe::Get32(good.data() + 0x148 + 12), 0x1000u) << "the section header's place";
    ASSERT_NO_THROW(hk::MappedImage{good});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes file = good;
        row.patch(file);
        try {
            hk::MappedImage image(file);
            ADD_FAILURE() << "mapped";
        } catch (const hk::ImageError& e) {
            EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(hk::MapImageFile("/nonexistent/elam.sys"), hk::ImageError);
}

TEST(MappedImage, InaccessiblePagesFault) {
    pe::ImageLayout layout;
    layout.sections.push_back({".data", Bytes(0x2000, 1), 0x1000, 0});
    hk::MappedImage image(pe::BuildImage(layout));
    ASSERT_EQ(image.mapped_size(), 0x3000u);

    Probe probe{image.bytes() + 0x2100};
    EXPECT_EQ(ElamCallGuarded(ReadByte, &probe), 0x1234);
    image.ProtectPage(0x2100, PROT_NONE);
    EXPECT_EQ(ElamCallGuarded(ReadByte, &probe), STATUS_ACCESS_VIOLATION);
    probe.address = image.bytes() + 0x1FFF;  // the page before is still there
    EXPECT_EQ(ElamCallGuarded(ReadByte, &probe), 0x1234);
    // Past the last page lies a page that is never accessible.
    probe.address = image.bytes() + image.mapped_size();
    EXPECT_EQ(ElamCallGuarded(ReadByte, &probe), STATUS_ACCESS_VIOLATION);
    EXPECT_THROW(image.ProtectPage(image.mapped_size(), PROT_NONE), std::out_of_range);
}

TEST(MappedImage, KnownWhileAlive) {
    hk::ImageRange range;
    const std::uint8_t* base;
    {
        const hk::MappedImage image = hk::MappedImage::Flat(Bytes(10, 0), 0x1800);
        base = image.bytes();
        ASSERT_TRUE(hk::FindImageMapping(base + 0x17FF, &range));
        EXPECT_EQ(range.base, base);
        EXPECT_EQ(range.size, 0x1800u);
        EXPECT_FALSE(hk::FindImageMapping(base + 0x1800, &range));
        hk::MappedImage moved = hk::MappedImage::Flat(Bytes(1, 0));
        moved = hk::MappedImage::Flat(Bytes(1, 0));  // the replaced mapping is released
    }
    EXPECT_FALSE(hk::FindImageMapping(base, &range));
}

// ---------------------------------------------------------------------------
// RtlImageDirectoryEntryToData.
// ---------------------------------------------------------------------------
TEST(ImageDirectory, FindsTheDirectoryOfAnImage) {
    for (bool pe32_plus : {true, false}) {
        SCOPED_TRACE(pe32_plus ? "PE32+" : "PE32");
        const Bytes file = pe::ImageWithSection(Bytes(0x300, 0), 0x40, 0x200, pe32_plus);
        const hk::MappedImage image(file);
        ULONG size = 0;
        EXPECT_EQ(RtlImageDirectoryEntryToData(image.base(), TRUE, IMAGE_DIRECTORY_ENTRY_RESOURCE, &size),
                  image.bytes() + 0x1040);
        EXPECT_EQ(size, 0x300u - 0x40);
        EXPECT_EQ(RtlImageDirectoryEntryToData(image.base(), TRUE, IMAGE_DIRECTORY_ENTRY_DEBUG, &size),
                  image.bytes() + 0x1200);
        EXPECT_EQ(size, 28u);
        EXPECT_EQ(RtlImageDirectoryEntryToData(image.base(), TRUE, IMAGE_DIRECTORY_ENTRY_SECURITY, &size), nullptr);

        // The same file as it lies on disk: the section's raw data is at 0x400.
        const hk::MappedImage flat = hk::MappedImage::Flat(file);
        EXPECT_EQ(RtlImageDirectoryEntryToData(flat.base(), FALSE, IMAGE_DIRECTORY_ENTRY_DEBUG, &size),
                  flat.bytes() + 0x400 + 0x200);
        // A base with its low bit set is a file mapped as data.
        EXPECT_EQ(RtlImageDirectoryEntryToData(flat.bytes() + 1, TRUE, IMAGE_DIRECTORY_ENTRY_DEBUG, &size),
                  flat.bytes() + 0x400 + 0x200);
    }
}

TEST(ImageDirectory, NullForWhatIsNotThere) {
    const Bytes good = pe::ImageWithSection(Bytes(0x300, 0), 0x40, 0x200);
    static constexpr std::size_t oh = 0x58;
    struct Row {
        const char* what;
        void (*patch)(Bytes&);
    } rows[] = {
        {"no MZ", [](Bytes& b) { b[0] = 'X'; }},
        {"no PE signature", [](Bytes& b) { b[0x40] = 'X'; }},
        {"unknown magic", [](Bytes& b) { pe::Put16(b, oh, 0x107); }},
        {"index not below NumberOfRvaAndSizes", [](Bytes& b) { pe::Put32(b, oh + 108, 2); }},
        {"VirtualAddress 0", [](Bytes& b) { pe::Put32(b, oh + 112 + 8 * 2, 0); }},
        {"VirtualAddress at SizeOfImage", [](Bytes& b) { pe::Put32(b, oh + 112 + 8 * 2, 0x2000); }},
        {"e_lfanew beyond the mapping", [](Bytes& b) { pe::Put32(b, 0x3C, 0x7FFFFF00); }},
        {"e_lfanew wrapping 32 bits", [](Bytes& b) { pe::Put32(b, 0x3C, 0xFFFFFFFCu); }},
        {"NumberOfRvaAndSizes beyond the mapping", [](Bytes& b) {
             // The NT headers at the very end: the directory count lies past it.
             pe::Put32(b, 0x3C, 0x2000 - 0x80);
             std::memcpy(b.data() + 0x2000 - 0x80, b.data() + 0x40, 0x80);
         }},
        {"directory entry beyond the mapping", [](Bytes& b) {
             // The count is the last field inside; the resource entry is not.
             const std::size_t nt = 0x2000 - 24 - 112;
             pe::Put32(b, 0x3C, static_cast<std::uint32_t>(nt));
             std::memcpy(b.data() + nt, b.data() + 0x40, 24 + 112);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes file = good;
        file.resize(0x2000, 0);
        row.patch(file);
        // Mapped flat, exactly 0x2000 bytes: header fields are read as they
        // are, and a read past the end faults.
        const hk::MappedImage image = hk::MappedImage::Flat(file);
        struct Call {
            PVOID base;
            PVOID result;
            ULONG size;
        } call{image.base(), &call, 0xABCD};
        const NTSTATUS status = ElamCallGuarded(
            [](PVOID c) -> NTSTATUS {
                auto* call = static_cast<Call*>(c);
                call->result = RtlImageDirectoryEntryToData(call->base, TRUE, IMAGE_DIRECTORY_ENTRY_RESOURCE,
                                                            &call->size);
                return STATUS_SUCCESS;
            },
            &call);
        EXPECT_EQ(status, STATUS_SUCCESS) << "read outside the mapping";
        EXPECT_EQ(call.result, nullptr);
        EXPECT_EQ(call.size, 0xABCDu);
    }
    // Memory that is not a mapped image is not read.
    std::vector<std::uint8_t> heap = good;
    ULONG size = 0;
    EXPECT_EQ(RtlImageDirectoryEntryToData(heap.data(), TRUE, IMAGE_DIRECTORY_ENTRY_RESOURCE, &size), nullptr);
    EXPECT_EQ(RtlImageDirectoryEntryToData(nullptr, TRUE, IMAGE_DIRECTORY_ENTRY_RESOURCE, &size), nullptr);
}

// ---------------------------------------------------------------------------
// What the two readers find, in the form pefile_oracle.py writes what pefile
// finds: hex digits, "-" for a fact not found.
// ---------------------------------------------------------------------------
struct Facts {
    std::string version, original, guid, pdb;
    bool operator==(const Facts&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Facts& f) {
    return os << "{version " << f.version << ", OriginalFilename " << f.original << ", GUID " << f.guid << ", PDB "
              << f.pdb << "}";
}

std::string Hex(const void* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<const std::uint8_t*>(data)[i];
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Facts ReadFacts(const hk::MappedImage& image) {
    Facts f{"-", "-", "-", "-"};
    ULONGLONG version = VERSION_UNKNOWN;
    PUNICODE_STRING name = nullptr;
    const NTSTATUS status = GetImageVersionInfo(image.base(), image.size(), &version, &name);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_NOT_FOUND) << std::hex << status;
    if (status == STATUS_SUCCESS) {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(version));
        f.version = text;
    }
    if (name != nullptr) {
        EXPECT_EQ(name->MaximumLength, name->Length + 2);
        f.original = Hex(name->Buffer, name->Length);
        ExFreePoolWithTag(name, ELAM_POOL_TAG);
    }
    UCHAR guid[16];
    std::memset(guid, 0xEE, sizeof guid);
    const std::string preset = Hex(guid, 16);
    PANSI_STRING pdb = nullptr;
    EXPECT_EQ(GetImageDebugInfo(image.base(), image.size(), guid, &pdb), STATUS_SUCCESS);
    if (Hex(guid, 16) != preset) f.guid = Hex(guid, 16);
    if (pdb != nullptr) {
        f.pdb = Hex(pdb->Buffer, pdb->Length);
        ExFreePoolWithTag(pdb, ELAM_POOL_TAG);
    }
    return f;
}

// The lines of a pefile_oracle.py output, by file name; empty when absent.
std::map<std::string, Facts> ReadOracle(const std::string& path) {
    std::map<std::string, Facts> oracle;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string file;
        Facts f;
        std::getline(fields, file, '\t');
        std::getline(fields, f.version, '\t');
        std::getline(fields, f.original, '\t');
        std::getline(fields, f.guid, '\t');
        std::getline(fields, f.pdb, '\t');
        if (!file.empty()) oracle[file] = f;
    }
    return oracle;
}

// ---------------------------------------------------------------------------
// The fixture images: where pefile reads the same structures as the driver,
// the two agree.
// ---------------------------------------------------------------------------
TEST_F(KernelTest, ReadersAgreeWithPefileOnTheFixtures) {
    const auto oracle = ReadOracle(std::string(ELAM_FIXTURE_DIR) + "/pefile_oracle.tsv");
    if (oracle.empty()) GTEST_SKIP() << "no pefile_oracle.tsv (python3 with pefile missing at build time)";
    EXPECT_EQ(oracle.size(), 6u);
    for (const auto& [file, expected] : oracle) {
        SCOPED_TRACE(file);
        const hk::MappedImage image = hk::MapImageFile(std::string(ELAM_FIXTURE_DIR) + "/" + file);
        EXPECT_EQ(ReadFacts(image), expected);
    }
}

// ---------------------------------------------------------------------------
// The corkami corpus: every file is mapped or refused; both readers go over
// every mapped one without a fault (no page of these images is inaccessible,
// so a fault could only come from a read outside the image) and find what
// pefile finds.
// ---------------------------------------------------------------------------
TEST_F(KernelTest, CorkamiCorpusThroughBothReaders) {
    const std::filesystem::path dir = std::filesystem::path(ELAM_SHARED_DATA_DIR) / "corkami-pe";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << dir << " not found";
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GT(files.size(), 200u);
    const auto oracle = ReadOracle(std::string(ELAM_FIXTURE_DIR) + "/corkami_oracle.tsv");

    std::size_t mapped = 0, refused = 0, versions = 0, names = 0, guids = 0, pdbs = 0, compared = 0;
    for (const auto& path : files) {
        const std::string file = path.filename().string();
        SCOPED_TRACE(file);
        std::optional<hk::MappedImage> image;
        try {
            image.emplace(hk::MapImageFile(path.string()));
        } catch (const hk::ImageError&) {
            ++refused;
            continue;
        }
        ++mapped;
        // The debug reader hides a fault behind its status: count them.
        const std::uint64_t faults_before = hk::GuardedFaultCount();
        const Facts facts = ReadFacts(*image);
        EXPECT_EQ(hk::GuardedFaultCount(), faults_before) << "a reader faulted";
        versions += facts.version != "-";
        names += facts.original != "-";
        guids += facts.guid != "-";
        pdbs += facts.pdb != "-";

        const auto it = oracle.find(file);
        if (it != oracle.end() && it->second.version != "!") {
            ++compared;
            EXPECT_EQ(facts, it->second) << "pefile reads otherwise";
        }
    }
    std::printf("corkami: %zu files, %zu mapped, %zu refused, %zu compared with pefile; found version %zu, "
                "OriginalFilename %zu, CodeView GUID %zu, PDB name %zu\n",
                files.size(), mapped, refused, compared, versions, names, guids, pdbs);
    EXPECT_GT(mapped, refused);
    EXPECT_GE(versions, 5u) << "the corpus's version-resource samples";
    if (!oracle.empty()) EXPECT_EQ(compared, mapped);
}

}  // namespace
