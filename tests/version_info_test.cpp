// GetImageVersionInfo over real images made by llvm-rc and lld-link, over
// minimal images built here with one field changed per case, at the image
// end, and under a fault.
#include "hostkernel/pe_image.h"
#include "support/kernel_test.h"
#include "support/pe_builder.h"

#include <sys/mman.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace {

using pe::Bytes;
using pe::ResourceLayout;

constexpr ULONGLONG kUntouched = 0x5555555555555555ull;

// What one call produced. The string block is freed here, after its bytes
// (all MaximumLength of them) have been kept.
struct Outcome {
    NTSTATUS status = 0;
    ULONGLONG version = kUntouched;
    bool has_name = false;
    std::u16string stored;  // MaximumLength / 2 characters, the last one included
    USHORT length = 0;
    USHORT maximum = 0;

    std::u16string name() const { return stored.substr(0, length / 2); }
};

Outcome Read(void* base, std::size_t size, bool want_name = true) {
    Outcome out;
    PUNICODE_STRING name = nullptr;
    out.status = GetImageVersionInfo(base, size, &out.version, want_name ? &name : nullptr);
    if (name != nullptr) {
        out.has_name = true;
        out.length = name->Length;
        out.maximum = name->MaximumLength;
        EXPECT_EQ(reinterpret_cast<UCHAR*>(name->Buffer), reinterpret_cast<UCHAR*>(name + 1))
            << "the characters follow the header in the same block";
        out.stored.assign(name->Buffer, name->MaximumLength / 2);
        ExFreePoolWithTag(name, ELAM_POOL_TAG);
    }
    return out;
}

Outcome Read(const hk::MappedImage& image, bool want_name = true) {
    return Read(image.base(), image.size(), want_name);
}

std::string FixturePath(const char* name) { return std::string(ELAM_FIXTURE_DIR) + "/" + name; }

// ---------------------------------------------------------------------------
// Real images.
// ---------------------------------------------------------------------------
TEST_F(KernelTest, VersionInfoOfRealImages) {
    struct Row {
        const char* file;
        NTSTATUS status;
        ULONGLONG version;
        std::u16string name;
    } rows[] = {
        {"fx_version.sys", STATUS_SUCCESS, 0x0001000200030004ull, u"fxversion.sys"},
        // German (0x0407) is listed before English: the first language is read.
        {"fx_twolang.sys", STATUS_SUCCESS, 0x0002000000000007ull, u"fxtwolang-de.sys"},
        // The certificate-information type, named, lies ahead of type 16.
        {"fx_named.sys", STATUS_SUCCESS, 0x0003000100040001ull, u"fxnamed.sys"},
        // VarFileInfo ahead of StringFileInfo.
        {"fx_debug.sys", STATUS_SUCCESS, 0x0004000000000001ull, u"fxdebug.sys"},
        {"fx_pe32.dll", STATUS_SUCCESS, 0x0005000600070008ull, u"fxpe32.dll"},
        {"fx_plain.sys", STATUS_NOT_FOUND, kUntouched, u""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        if (!std::filesystem::exists(FixturePath(row.file))) GTEST_SKIP() << "fixture images not built";
        const hk::MappedImage image = hk::MapImageFile(FixturePath(row.file));
        const Outcome out = Read(image);
        EXPECT_EQ(out.status, row.status);
        EXPECT_EQ(out.version, row.version);
        EXPECT_EQ(out.has_name, !row.name.empty());
        if (out.has_name) {
            EXPECT_EQ(out.name(), row.name);
            EXPECT_EQ(out.maximum, out.length + 2);
            EXPECT_EQ(out.stored.back(), u'\0');
        }
    }
}

// ---------------------------------------------------------------------------
// Minimal images: one section at RVA 0x1000 holding a resource directory and
// a version block, each at an offset of the section's choosing.
// ---------------------------------------------------------------------------
constexpr std::uint32_t kSectionRva = 0x1000;

struct VersionImage {
    hk::MappedImage image;
    std::uint32_t dir;    // RVA of the resource directory
    std::uint32_t block;  // RVA of the version block
    std::uint32_t block_length;
    std::uint8_t* at(std::uint32_t rva) const { return image.bytes() + rva; }
};

VersionImage MakeImage(const pe::VsNode& block_node, std::uint32_t dir_at = 0, std::uint32_t block_at = 0x100,
                       std::size_t section_size = 0x1000, Bytes directory = {}) {
    const Bytes block = pe::Serialize(block_node);
    if (directory.empty()) {
        directory = pe::VersionResourceDirectory(kSectionRva + block_at, static_cast<std::uint32_t>(block.size()));
    }
    Bytes section(std::max(section_size, block_at + block.size()), 0);
    pe::PutBytes(section, dir_at, directory.data(), directory.size());
    pe::PutBytes(section, block_at, block.data(), block.size());
    hk::MappedImage image(pe::ImageWithSection(section, dir_at));
    return {std::move(image), kSectionRva + dir_at, kSectionRva + block_at, static_cast<std::uint32_t>(block.size())};
}

pe::VsNode Standard() { return pe::StandardVersionInfo(0x00010002, 0x00030004, u"drv.sys"); }
constexpr ULONGLONG kStandardVersion = 0x0001000200030004ull;
// The first String node of a block with one StringFileInfo and one table.
constexpr std::uint32_t kString = 92 + 36 + 24;

pe::VsNode WithStrings(std::vector<pe::VsNode> strings) {
    return pe::VsVersionInfo(0x00010002, 0x00030004,
                             {pe::VsStringFileInfo({pe::VsStringTable(u"040904b0", std::move(strings))})});
}

enum class Expect { NotFound, VersionOnly, Name };

struct Case {
    const char* what;
    std::function<pe::VsNode()> block;
    std::function<void(VersionImage&)> patch;  // applied to the mapped image
    Expect expect;
    std::u16string name = u"drv.sys";
};

void Check(const Outcome& out, Expect expect, const std::u16string& name) {
    switch (expect) {
    case Expect::NotFound:
        EXPECT_EQ(out.status, STATUS_NOT_FOUND);
        EXPECT_EQ(out.version, kUntouched);
        EXPECT_FALSE(out.has_name);
        break;
    case Expect::VersionOnly:
        EXPECT_EQ(out.status, STATUS_SUCCESS);
        EXPECT_EQ(out.version, kStandardVersion);
        EXPECT_FALSE(out.has_name);
        break;
    case Expect::Name:
        EXPECT_EQ(out.status, STATUS_SUCCESS);
        EXPECT_EQ(out.version, kStandardVersion);
        ASSERT_TRUE(out.has_name);
        EXPECT_EQ(out.name(), name);
        break;
    }
}

void Put16(VersionImage& v, std::uint32_t rva, std::uint16_t value) { pe::Put16(v.at(rva), value); }
void Put32(VersionImage& v, std::uint32_t rva, std::uint32_t value) { pe::Put32(v.at(rva), value); }

TEST_F(KernelTest, VersionInfoCases) {
    using L = ResourceLayout;
    const Case cases[] = {
        {"usual block", Standard, nullptr, Expect::Name},
        // Directory levels.
        {"no entry of type 16", Standard, [](VersionImage& v) { Put32(v, v.dir + L::kTypeEntry, 6); },
         Expect::NotFound},
        {"named entry whose low 16 bits are 16 (the string bit is not tested)", Standard,
         [](VersionImage& v) {
             Put16(v, v.dir + 12, 1);
             Put16(v, v.dir + 14, 0);
             Put32(v, v.dir + L::kTypeEntry, 0x80000010u);
         },
         Expect::Name},
        {"type entry pointing straight at the data entry", Standard,
         [](VersionImage& v) { Put32(v, v.dir + L::kTypeEntry + 4, L::kDataEntry); }, Expect::Name},
        {"subdirectory at the offset of the level above", Standard,
         [](VersionImage& v) { Put32(v, v.dir + L::kNameEntry + 4, 0x80000000u | L::kNameDir); },
         Expect::NotFound},
        {"subdirectory below the level above", Standard,
         [](VersionImage& v) { Put32(v, v.dir + L::kNameEntry + 4, 0x80000000u | L::kTypeEntry); },
         Expect::NotFound},
        {"subdirectory with named entries only", Standard,
         [](VersionImage& v) {
             Put16(v, v.dir + L::kLangDir + 12, 1);
             Put16(v, v.dir + L::kLangDir + 14, 0);
         },
         Expect::NotFound},
        // The version block.
        {"block key in lower case",
         [] {
             pe::VsNode n = Standard();
             n.key = u"vs_version_info";
             return n;
         },
         nullptr, Expect::Name},
        {"block key with one more letter",
         [] {
             pe::VsNode n = Standard();
             n.key = u"VS_VERSION_INFOX";
             return n;
         },
         nullptr, Expect::NotFound},
        {"block wValueLength 0",
         [] {
             pe::VsNode n = Standard();
             n.value_length = 0;
             return n;
         },
         nullptr, Expect::NotFound},
        {"dwSignature not FEEF04BD", Standard, [](VersionImage& v) { Put32(v, v.block + 40, 0xFEEF04BE); },
         Expect::NotFound},
        {"block wType and wValueLength not the usual ones",
         [] {
             pe::VsNode n = Standard();
             n.type = 7;
             n.value_length = 1;
             return n;
         },
         nullptr, Expect::Name},
        // Children of the block.
        {"VarFileInfo ahead of StringFileInfo",
         [] {
             return pe::VsVersionInfo(0x00010002, 0x00030004,
                                      {pe::VsVarFileInfo(),
                                       pe::VsStringFileInfo({pe::VsStringTable(
                                           u"040904b0", {pe::VsString(u"OriginalFilename", u"drv.sys")})})});
         },
         nullptr, Expect::Name},
        {"no StringFileInfo", [] { return pe::VsVersionInfo(0x00010002, 0x00030004, {pe::VsVarFileInfo()}); },
         nullptr, Expect::VersionOnly},
        {"StringFileInfo key in upper case",
         [] {
             pe::VsNode n = WithStrings({pe::VsString(u"OriginalFilename", u"drv.sys")});
             n.children[0].key = u"STRINGFILEINFO";
             return n;
         },
         nullptr, Expect::Name},
        {"a child with wLength 0 stops the walk",
         [] {
             pe::VsNode n = Standard();
             pe::VsNode empty = pe::VsVarFileInfo();
             empty.length = 0;
             n.children.insert(n.children.begin(), empty);
             return n;
         },
         nullptr, Expect::VersionOnly},
        {"a StringFileInfo shorter than 68 bytes is passed over",
         [] {
             pe::VsNode n = Standard();
             pe::VsNode small;
             small.key = u"StringFileInfo";
             small.value.assign(24, 0);
             n.children.insert(n.children.begin(), small);  // 60 bytes
             return n;
         },
         nullptr, Expect::Name},
        {"only the first StringFileInfo is searched",
         [] {
             return pe::VsVersionInfo(
                 0x00010002, 0x00030004,
                 {pe::VsStringFileInfo({pe::VsStringTable(u"040904b0", {pe::VsString(u"CompanyName", u"x")})}),
                  pe::VsStringFileInfo(
                      {pe::VsStringTable(u"040904b0", {pe::VsString(u"OriginalFilename", u"drv.sys")})})});
         },
         nullptr, Expect::VersionOnly},
        {"OriginalFilename only in the second StringTable",
         [] {
             return pe::VsVersionInfo(
                 0x00010002, 0x00030004,
                 {pe::VsStringFileInfo({pe::VsStringTable(u"040904b0", {pe::VsString(u"CompanyName", u"x")}),
                                        pe::VsStringTable(u"040704b0",
                                                          {pe::VsString(u"OriginalFilename", u"drv.sys")})})});
         },
         nullptr, Expect::VersionOnly},
        // Strings.
        {"OriginalFilename with wValueLength 0, then another",
         [] {
             pe::VsNode empty = pe::VsString(u"OriginalFilename", u"first.sys");
             empty.value_length = 0;
             return WithStrings({empty, pe::VsString(u"OriginalFilename", u"second.sys")});
         },
         nullptr, Expect::Name, u"second.sys"},
        {"key compared ignoring case",
         [] { return WithStrings({pe::VsString(u"ORIGINALFILENAME", u"drv.sys")}); }, nullptr, Expect::Name},
        {"key with one more letter",
         [] {
             return WithStrings({pe::VsString(u"OriginalFilenames", u"other.sys"),
                                 pe::VsString(u"OriginalFilename", u"drv.sys")});
         },
         nullptr, Expect::Name},
        {"a String with wLength 6 stops the walk",
         [] {
             pe::VsNode tiny = pe::VsString(u"X", u"");
             tiny.length = 6;
             return WithStrings({tiny, pe::VsString(u"OriginalFilename", u"drv.sys")});
         },
         nullptr, Expect::VersionOnly},
        {"a String of 40 bytes or less is passed over",
         [] {
             // Key and header only, 40 bytes, though it claims a value.
             pe::VsNode short_one;
             short_one.key = u"OriginalFilename";
             short_one.value_length = 1;
             return WithStrings({short_one, pe::VsString(u"OriginalFilename", u"drv.sys")});
         },
         nullptr, Expect::Name},
        {"a String table walk bounded by the table's wLength",
         [] {
             pe::VsNode n = WithStrings({pe::VsString(u"CompanyName", u"x"),
                                         pe::VsString(u"OriginalFilename", u"drv.sys")});
             n.children[0].children[0].length = 24 + 36;  // ends after CompanyName
             return n;
         },
         nullptr, Expect::VersionOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VersionImage v = MakeImage(c.block());
        if (c.patch) c.patch(v);
        Check(Read(v.image), c.expect, c.name);
    }
}

TEST_F(KernelTest, VersionInfoBlockAtRvaZeroIsRefused) {
    // A complete version block laid over the DOS header, whose "MZ" reads as
    // a wLength of 0x5A4D. The NT headers move out of its way to 0x200.
    VersionImage v = MakeImage(Standard(), 0, 0x100, 0x6000);
    std::uint8_t* image = v.image.bytes();
    std::memmove(image + 0x200, image + 0x40, 0x180);
    std::memcpy(image + 2, v.at(v.block) + 2, 92 - 2);
    pe::Put32(image + 0x3C, 0x200);  // over the product version, which is not read
    std::uint8_t* data_entry = v.at(v.dir + ResourceLayout::kDataEntry);
    pe::Put32(data_entry, 0);
    EXPECT_EQ(Read(v.image).status, STATUS_NOT_FOUND);

    // The same bytes at RVA 0x100 are read.
    std::memcpy(image + 0x100, image, 92);
    pe::Put32(data_entry, 0x100);
    const Outcome out = Read(v.image);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.version, kStandardVersion);
}

TEST_F(KernelTest, VersionInfoValueKeepsEveryStoredCharacter) {
    // drv.sys stored with its NUL: wValueLength 8.
    VersionImage v = MakeImage(Standard());
    Outcome out = Read(v.image);
    ASSERT_TRUE(out.has_name);
    EXPECT_EQ(out.length, 14);
    EXPECT_EQ(out.maximum, 16);
    EXPECT_EQ(out.stored, std::u16string(u"drv.sys\0", 8));

    // A value stored without its NUL: the last character is kept in the
    // block but not counted by Length.
    pe::VsNode unterminated = pe::VsString(u"OriginalFilename", u"abc");
    unterminated.value.resize(6);
    v = MakeImage(WithStrings({unterminated}));
    out = Read(v.image);
    ASSERT_TRUE(out.has_name);
    EXPECT_EQ(out.length, 4);
    EXPECT_EQ(out.maximum, 6);
    EXPECT_EQ(out.stored, u"abc");
    EXPECT_EQ(out.name(), u"ab");
}

TEST_F(KernelTest, VersionInfoLongestValue) {
    // wValueLength counts characters; the value is bounded only by the image
    // end, not by its String node. 32,767 characters fit a counted string,
    // 32,768 do not and give the version alone.
    for (std::uint16_t characters : {std::uint16_t(32767), std::uint16_t(32768)}) {
        SCOPED_TRACE(characters);
        VersionImage v = MakeImage(WithStrings({pe::VsString(u"OriginalFilename", u"drv.sys")}), 0, 0x100, 0x22000);
        const std::uint32_t string = v.block + kString;
        Put16(v, string + 2, characters);
        for (std::uint32_t i = 0; i < characters; ++i) Put16(v, string + 40 + 2 * i, u'a' + i % 26);
        const Outcome out = Read(v.image);
        EXPECT_EQ(out.status, STATUS_SUCCESS);
        EXPECT_EQ(out.version, kStandardVersion);
        if (characters == 32767) {
            ASSERT_TRUE(out.has_name);
            EXPECT_EQ(out.maximum, 65534);
            EXPECT_EQ(out.length, 65532);
            EXPECT_EQ(out.stored[32766], u'a' + 32766 % 26);
        } else {
            EXPECT_FALSE(out.has_name);
        }
    }
}

TEST_F(KernelTest, VersionInfoArguments) {
    VersionImage v = MakeImage(Standard());
    ULONGLONG version = kUntouched;
    PUNICODE_STRING name = nullptr;
    EXPECT_EQ(GetImageVersionInfo(nullptr, v.image.size(), &version, &name), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GetImageVersionInfo(v.image.base(), 0, &version, &name), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(GetImageVersionInfo(v.image.base(), v.image.size(), nullptr, &name), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(version, kUntouched);
    EXPECT_EQ(name, nullptr);

    // Without a place for the string nothing is allocated.
    const Outcome out = Read(v.image, /*want_name=*/false);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.version, kStandardVersion);
    EXPECT_EQ(hk::PoolStatistics().allocations, 0u);

    // No resource directory at all.
    Bytes section(0x200, 0);
    hk::MappedImage bare(pe::ImageWithSection(section, std::nullopt));
    EXPECT_EQ(Read(bare).status, STATUS_NOT_FOUND);
}

TEST_F(KernelTest, VersionInfoFailedAllocationIsSilent) {
    VersionImage v = MakeImage(Standard());
    hk::PoolFailNth(1);
    const Outcome out = Read(v.image);
    Check(out, Expect::VersionOnly, u"");
    EXPECT_EQ(hk::PoolStatistics().failed, 1u);
}

TEST_F(KernelTest, VersionInfoStringFitsItsBlockExactly) {
    // Special pool puts the block against an inaccessible page: a copy one
    // byte too long faults there.
    hk::PoolSetSpecial(true);
    VersionImage v = MakeImage(Standard());
    Check(Read(v.image), Expect::Name, u"drv.sys");
}

// ---------------------------------------------------------------------------
// Bounds: each structure ending exactly at the image end is read; one byte
// less of image refuses it; an offset that wraps 32 bits is refused.
// ---------------------------------------------------------------------------
struct Bound {
    const char* what;
    std::function<VersionImage()> make;
    // The image size at which the structure ends exactly at the image end.
    std::function<std::uint64_t(VersionImage&)> end;
    Expect at_end;
    Expect one_short;
    std::u16string name = u"drv.sys";
};

TEST_F(KernelTest, VersionInfoBoundsAtTheImageEnd) {
    using L = ResourceLayout;
    const Bound bounds[] = {
        {"block + wLength", [] { return MakeImage(Standard()); },
         [](VersionImage& v) { return std::uint64_t(v.block) + v.block_length; }, Expect::Name, Expect::NotFound},
        {"block + 160 with a shorter wLength", [] { return MakeImage(Standard()); },
         [](VersionImage& v) {
             Put16(v, v.block, 120);
             return std::uint64_t(v.block) + 160;
         },
         Expect::VersionOnly, Expect::NotFound},
        {"data entry (the directory after the block)", [] { return MakeImage(Standard(), 0x800, 0x100); },
         [](VersionImage& v) { return std::uint64_t(v.dir) + L::kDataEntry + 16; }, Expect::Name,
         Expect::NotFound},
        {"subdirectory and its first entry",
         [] {
             // Data entry first, then the two lower levels, the language last.
             Bytes d(88, 0);
             pe::Put16(d, 14, 1);
             pe::Put32(d, 16, 16);
             pe::Put32(d, 20, 0x80000000u | 40);
             pe::Put32(d, 24, kSectionRva + 0x100);  // data entry at 24
             pe::Put16(d, 40 + 14, 1);
             pe::Put32(d, 56, 1);
             pe::Put32(d, 60, 0x80000000u | 64);
             pe::Put16(d, 64 + 14, 1);
             pe::Put32(d, 80, 0x409);
             pe::Put32(d, 84, 24);
             return MakeImage(Standard(), 0x800, 0x100, 0x1000, d);
         },
         [](VersionImage& v) { return std::uint64_t(v.dir) + 88; }, Expect::Name, Expect::NotFound},
        {"type entry (the root at the image end)",
         [] {
             // The data entry lies inside the root's own header, whose first
             // 32-bit field (Characteristics) then serves as its RVA.
             Bytes d(24, 0);
             pe::Put32(d, 0, kSectionRva + 0x100);
             pe::Put16(d, 14, 1);
             pe::Put32(d, 16, 16);
             pe::Put32(d, 20, 0);
             return MakeImage(Standard(), 0x800, 0x100, 0x1000, d);
         },
         [](VersionImage& v) { return std::uint64_t(v.dir) + 24; }, Expect::Name, Expect::NotFound},
        {"String + wLength",
         [] { return MakeImage(WithStrings({pe::VsString(u"OriginalFilename", u"drv.sys")})); },
         [](VersionImage& v) {
             // The block, its StringFileInfo and its table claim less, so
             // that only the String's own bound decides.
             Put16(v, v.block, 160);
             Put16(v, v.block + 92, 68);
             Put16(v, v.block + 92 + 36, 25);
             // And the String claims four bytes more than its value needs.
             Put16(v, v.block + kString, 60);
             return std::uint64_t(v.block) + kString + 60;
         },
         Expect::Name, Expect::VersionOnly},
        {"value + 2n (value running past its String node)",
         [] { return MakeImage(WithStrings({pe::VsString(u"OriginalFilename", u"drv.sys")})); },
         [](VersionImage& v) {
             Put16(v, v.block + kString + 2, 20);  // 20 characters from string + 40
             return std::uint64_t(v.block) + kString + 40 + 40;
         },
         Expect::Name, Expect::VersionOnly, std::u16string(u"drv.sys") + std::u16string(12, u'\0')},
    };
    for (const Bound& b : bounds) {
        SCOPED_TRACE(b.what);
        VersionImage v = b.make();
        const std::uint64_t end = b.end(v);
        ASSERT_LE(end, v.image.size());
        {
            SCOPED_TRACE("ending at the image end");
            Check(Read(v.image.base(), end), b.at_end, b.name);
        }
        {
            SCOPED_TRACE("one byte past the image end");
            Check(Read(v.image.base(), end - 1), b.one_short, b.name);
        }
    }
}

TEST_F(KernelTest, VersionInfoOffsetsThatWrap) {
    using L = ResourceLayout;
    const Case cases[] = {
        {"block RVA near 4 GiB", Standard, [](VersionImage& v) { Put32(v, v.dir + L::kDataEntry, 0xFFFFFFF0u); },
         Expect::NotFound},
        {"data entry offset near 2 GiB", Standard,
         [](VersionImage& v) { Put32(v, v.dir + L::kLangEntry + 4, 0x7FFFFFF8u); }, Expect::NotFound},
        {"subdirectory offset near 2 GiB", Standard,
         [](VersionImage& v) { Put32(v, v.dir + L::kNameEntry + 4, 0xFFFFFFF8u); }, Expect::NotFound},
        {"child wLength near 64 KiB", Standard, [](VersionImage& v) { Put16(v, v.block + 92, 0xFFFF); },
         Expect::VersionOnly},
        {"String wLength near 64 KiB", [] { return WithStrings({pe::VsString(u"OriginalFilename", u"drv.sys")}); },
         [](VersionImage& v) { Put16(v, v.block + kString, 0xFFFF); }, Expect::VersionOnly},
        {"String table wLength near 64 KiB", Standard,
         [](VersionImage& v) { Put16(v, v.block + 92 + 36, 0xFFF0); }, Expect::VersionOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VersionImage v = MakeImage(c.block());
        c.patch(v);
        Check(Read(v.image), c.expect, c.name);
    }
}

// ---------------------------------------------------------------------------
// Faults: the walk ends with the access-violation code.
// ---------------------------------------------------------------------------
TEST_F(KernelTest, VersionInfoFaultEndsTheWalk) {
    // The block straddles a page boundary: its fixed part on the first page,
    // its children on the second, which is made inaccessible.
    VersionImage v = MakeImage(Standard(), 0, 0xFC0, 0x2000);
    v.image.ProtectPage(v.block + 92, PROT_NONE);
    const Outcome out = Read(v.image);
    EXPECT_EQ(out.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(out.version, kStandardVersion) << "written before the fault";
    EXPECT_FALSE(out.has_name);
}

TEST_F(KernelTest, VersionInfoFaultDuringTheCopyFreesTheString) {
    // The value alone runs into an inaccessible page: the string block is
    // allocated, the copy faults, the block is released and never handed out.
    VersionImage v = MakeImage(WithStrings({pe::VsString(u"OriginalFilename", u"drv.sys")}), 0, 0x100, 0x2000);
    const std::uint32_t value = v.block + kString + 40;
    Put16(v, value - 40 + 2, static_cast<std::uint16_t>((0x2100 - value) / 2));
    v.image.ProtectPage(0x2000, PROT_NONE);
    const Outcome out = Read(v.image);
    EXPECT_EQ(out.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(out.version, kStandardVersion);
    EXPECT_FALSE(out.has_name);
    EXPECT_EQ(hk::PoolStatistics().allocations, 1u);
}

TEST_F(KernelTest, VersionInfoFaultInTheDirectory) {
    VersionImage v = MakeImage(Standard(), 0x1000, 0x100, 0x2000);
    v.image.ProtectPage(v.dir, PROT_NONE);
    const Outcome out = Read(v.image);
    EXPECT_EQ(out.status, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(out.version, kUntouched);
}

}  // namespace
