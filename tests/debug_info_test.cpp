// GetImageDebugInfo over images linked with /debug by lld-link, over minimal
// images holding a debug directory and a CodeView record built here, at the
// image end, and under a fault.
#include "hostkernel/pe_image.h"
#include "support/kernel_test.h"
#include "support/pe_builder.h"

#include <sys/mman.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>

namespace {

using pe::Bytes;
using Guid = std::array<UCHAR, 16>;

constexpr Guid kPreset = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                          0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
constexpr Guid kGuid = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                        0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

// What one call produced; the name block is freed here. The routine hides a
// fault behind its status: the guard's count of caught faults tells.
struct Outcome {
    NTSTATUS status = 0;
    Guid guid = kPreset;
    std::optional<std::string> name;
    USHORT maximum = 0;
    bool faulted = false;
};

Outcome Read(void* base, std::size_t size, bool want_guid = true, bool want_name = true) {
    Outcome out;
    PANSI_STRING name = nullptr;
    const std::uint64_t faults = hk::GuardedFaultCount();
    out.status = GetImageDebugInfo(base, size, want_guid ? out.guid.data() : nullptr, want_name ? &name : nullptr);
    out.faulted = hk::GuardedFaultCount() != faults;
    if (name != nullptr) {
        EXPECT_EQ(reinterpret_cast<UCHAR*>(name->Buffer), reinterpret_cast<UCHAR*>(name + 1));
        out.name = std::string(name->Buffer, name->Length);
        out.maximum = name->MaximumLength;
        ExFreePoolWithTag(name, ELAM_POOL_TAG);
    }
    return out;
}

Outcome Read(const hk::MappedImage& image) { return Read(image.base(), image.size()); }

std::string FixturePath(const char* name) { return std::string(ELAM_FIXTURE_DIR) + "/" + name; }

// ---------------------------------------------------------------------------
// Real images.
// ---------------------------------------------------------------------------
TEST_F(KernelTest, DebugInfoOfRealImages) {
    struct Row {
        const char* file;
        std::optional<std::string> name;
    } rows[] = {
        {"fx_debug.sys", "fx_debug.pdb"},  // path D:\out\x64\fx_debug.pdb
        {"fx_pe32.dll", "fx_pe32.pdb"},    // path /src/out/fx_pe32.pdb
        {"fx_version.sys", std::nullopt},  // linked without /debug
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        if (!std::filesystem::exists(FixturePath(row.file))) GTEST_SKIP() << "fixture images not built";
        const hk::MappedImage image = hk::MapImageFile(FixturePath(row.file));
        const Outcome out = Read(image);
        EXPECT_EQ(out.status, STATUS_SUCCESS);
        EXPECT_EQ(out.name, row.name);
        EXPECT_EQ(out.guid != kPreset, row.name.has_value());
    }
}

// ---------------------------------------------------------------------------
// Minimal images: one section at RVA 0x1000 holding the debug directory and
// the record, each at an offset of the section's choosing.
// ---------------------------------------------------------------------------
constexpr std::uint32_t kSectionRva = 0x1000;

Bytes Record(std::string_view path, const Guid& guid = kGuid) {
    Bytes r;
    pe::Put32(r, 0, 0x53445352);  // "RSDS"
    pe::PutBytes(r, 4, guid.data(), guid.size());
    pe::Put32(r, 20, 1);
    pe::PutBytes(r, 24, path.data(), path.size());
    return r;
}

struct DebugImage {
    hk::MappedImage image;
    std::uint32_t entry;   // RVA of the first debug directory entry
    std::uint32_t record;  // RVA of the record
    std::uint8_t* at(std::uint32_t rva) const { return image.bytes() + rva; }
};

DebugImage MakeImage(const Bytes& record, std::uint32_t entry_at = 0, std::uint32_t record_at = 0x100,
                     std::size_t section_size = 0x1000, std::uint32_t type = 2) {
    Bytes section(std::max(section_size, record_at + record.size()), 0);
    pe::Put32(section, entry_at + 12, type);
    pe::Put32(section, entry_at + 16, static_cast<std::uint32_t>(record.size()));
    pe::Put32(section, entry_at + 20, kSectionRva + record_at);
    pe::Put32(section, entry_at + 24, 0x400 + record_at);
    pe::PutBytes(section, record_at, record.data(), record.size());
    hk::MappedImage image(pe::ImageWithSection(section, std::nullopt, entry_at));
    return {std::move(image), kSectionRva + entry_at, kSectionRva + record_at};
}

void ExpectNothing(const Outcome& out, bool after_a_fault = false) {
    EXPECT_EQ(out.faulted, after_a_fault);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.guid, kPreset);
    EXPECT_FALSE(out.name.has_value());
}

TEST_F(KernelTest, DebugInfoNameIsTheLastPathComponent) {
    using namespace std::string_literals;
    struct Row {
        std::string path;  // the path field, every byte of it
        std::optional<std::string> name;
    } rows[] = {
        {"D:\\out\\x64\\drv.pdb\0\0\0\0"s, "drv.pdb"},
        {"/src/out/drv.pdb\0"s, "drv.pdb"},
        {"a/b\\x.pdb\0"s, "x.pdb"},
        {"a\\b/x.pdb\0"s, "x.pdb"},
        {"drv.pdb"s, "drv.pdb"},
        {"out\\\0"s, ""},  // ends in a separator: an empty name, still allocated
        {"\0\0\0\0"s, std::nullopt},
        {""s, std::nullopt},  // SizeOfData 24
        {"ab\0cd\0\0"s, "ab\0cd"s},  // a zero byte with bytes after it is a character
        {"dir\\ab\0cd"s, "ab\0cd"s},
        {"x\0/y\0"s, "y"},
        {"\xE4\xF6\xFC.pdb\0"s, "\xE4\xF6\xFC.pdb"},  // bytes as they are
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.path));
        const DebugImage d = MakeImage(Record(row.path));
        const Outcome out = Read(d.image);
        EXPECT_EQ(out.status, STATUS_SUCCESS);
        EXPECT_FALSE(out.faulted);
        EXPECT_EQ(out.guid, kGuid);
        EXPECT_EQ(out.name, row.name);
        if (row.name) EXPECT_EQ(out.maximum, row.name->size());
    }
}

TEST_F(KernelTest, DebugInfoRecordsThatGiveNothing) {
    // No debug directory at all.
    {
        Bytes section(0x200, 0);
        hk::MappedImage image(pe::ImageWithSection(section, std::nullopt, std::nullopt));
        ExpectNothing(Read(image));
    }
    struct Row {
        const char* what;
        void (*patch)(DebugImage&);
    } rows[] = {
        {"first entry of another type (POGO) ahead of CodeView",
         [](DebugImage& d) {
             pe::Put32(d.at(d.entry + 12), 13);
             pe::Put32(d.at(d.entry + 28 + 12), 2);  // a CodeView second entry
             pe::Put32(d.at(d.entry + 28 + 16), pe::Get32(d.at(d.entry + 16)));
             pe::Put32(d.at(d.entry + 28 + 20), d.record);
         }},
        {"signature other than RSDS", [](DebugImage& d) { d.at(d.record)[3] = 'X'; }},
        {"SizeOfData 23", [](DebugImage& d) { pe::Put32(d.at(d.entry + 16), 23); }},
        {"SizeOfData 4", [](DebugImage& d) { pe::Put32(d.at(d.entry + 16), 4); }},
        {"record beyond the image", [](DebugImage& d) { pe::Put32(d.at(d.entry + 20), 0x1FF0); }},
        {"AddressOfRawData + SizeOfData wraps 32 bits",
         [](DebugImage& d) {
             pe::Put32(d.at(d.entry + 20), 0xFFFFFF00u);
             pe::Put32(d.at(d.entry + 16), 0x200);
         }},
        {"SizeOfData near 4 GiB", [](DebugImage& d) { pe::Put32(d.at(d.entry + 16), 0xFFFFFFF0u); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DebugImage d = MakeImage(Record("D:\\drv.pdb"));
        row.patch(d);
        ExpectNothing(Read(d.image));
    }
}

TEST_F(KernelTest, DebugInfoBoundsAtTheImageEnd) {
    // The record ends exactly at the image end: read. One byte less: nothing.
    {
        const DebugImage d = MakeImage(Record("D:\\drv.pdb"));
        const std::size_t end = d.record + 24 + 10;
        const Outcome at_end = Read(d.image.base(), end);
        EXPECT_EQ(at_end.guid, kGuid);
        EXPECT_EQ(at_end.name, "drv.pdb");
        ExpectNothing(Read(d.image.base(), end - 1));
    }
    // The directory entry last in the image, its record before it.
    {
        const DebugImage d = MakeImage(Record("D:\\drv.pdb"), 0x800, 0x100);
        const std::size_t end = d.entry + 28;
        EXPECT_EQ(Read(d.image.base(), end).name, "drv.pdb");
        ExpectNothing(Read(d.image.base(), end - 1));
    }
}

TEST_F(KernelTest, DebugInfoOutputsAsked) {
    const DebugImage d = MakeImage(Record("D:\\drv.pdb"));

    // Only the GUID: nothing is allocated.
    Outcome out = Read(d.image.base(), d.image.size(), true, false);
    EXPECT_EQ(out.guid, kGuid);
    EXPECT_EQ(hk::PoolStatistics().allocations, 0u);

    // Only the name.
    out = Read(d.image.base(), d.image.size(), false, true);
    EXPECT_EQ(out.guid, kPreset);
    EXPECT_EQ(out.name, "drv.pdb");

    // Nothing asked, no base, no size: nothing done, and still success.
    EXPECT_EQ(Read(d.image.base(), d.image.size(), false, false).status, STATUS_SUCCESS);
    ExpectNothing(Read(nullptr, d.image.size()));
    ExpectNothing(Read(d.image.base(), 0));
    EXPECT_EQ(hk::PoolStatistics().allocations, 1u);
}

TEST_F(KernelTest, DebugInfoLongestName) {
    // 65,535 bytes fit a counted string; one more gives the GUID alone.
    for (std::size_t length : {std::size_t(65535), std::size_t(65536)}) {
        SCOPED_TRACE(length);
        const DebugImage d = MakeImage(Record("x\\" + std::string(length, 'n')), 0, 0x100, 0x11000);
        const Outcome out = Read(d.image);
        EXPECT_EQ(out.guid, kGuid);
        if (length == 65535) {
            ASSERT_TRUE(out.name.has_value());
            EXPECT_EQ(out.name->size(), 65535u);
        } else {
            EXPECT_FALSE(out.name.has_value());
        }
    }
}

TEST_F(KernelTest, DebugInfoFailedAllocationKeepsTheGuid) {
    const DebugImage d = MakeImage(Record("D:\\drv.pdb"));
    hk::PoolFailNth(1);
    const Outcome out = Read(d.image);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.guid, kGuid);
    EXPECT_FALSE(out.name.has_value());
}

TEST_F(KernelTest, DebugInfoNameFitsItsBlockExactly) {
    // Special pool puts the block against an inaccessible page: a copy one
    // byte too long faults there. (Sixteen characters keep the header
    // aligned: special pool places a block at the page end as it is.)
    hk::PoolSetSpecial(true);
    const DebugImage d = MakeImage(Record("D:\\out\\sixteen-char.pdb\0"));
    EXPECT_EQ(Read(d.image).name, "sixteen-char.pdb");
}

// ---------------------------------------------------------------------------
// Faults: the routine ends with success and what it had written.
// ---------------------------------------------------------------------------
TEST_F(KernelTest, DebugInfoFaultInThePath) {
    // The path runs into an inaccessible page: the backward scan faults
    // before anything is written; the GUID, which comes later, is not written.
    DebugImage d = MakeImage(Record("D:\\out\\" + std::string(0x200, 'p')), 0, 0xF00, 0x2000);
    d.image.ProtectPage(0x2000, PROT_NONE);
    ExpectNothing(Read(d.image), /*after_a_fault=*/true);
}

TEST_F(KernelTest, DebugInfoFaultInTheGuid) {
    // The record starts 12 bytes before an inaccessible page: its signature
    // and half of its GUID can be read. The GUID is not half written.
    DebugImage d = MakeImage(Record("D:\\drv.pdb"), 0, 0xFF4, 0x2000);
    d.image.ProtectPage(0x2000, PROT_NONE);
    const Outcome out = Read(d.image.base(), d.image.size(), true, false);
    EXPECT_TRUE(out.faulted);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.guid, kPreset);
}

}  // namespace
