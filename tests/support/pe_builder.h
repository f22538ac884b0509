// Minimal PE images built in memory for the image reader tests: headers, a
// few sections, data directories, version-resource nodes and a resource
// directory of the usual three levels. Everything is little-endian bytes that
// a test may patch after building or after mapping.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pe {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, 2); }
inline void Put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline std::uint16_t Get16(const std::uint8_t* p) { std::uint16_t v; std::memcpy(&v, p, 2); return v; }
inline std::uint32_t Get32(const std::uint8_t* p) { std::uint32_t v; std::memcpy(&v, p, 4); return v; }

inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    Put16(b.data() + at, v);
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    Put32(b.data() + at, v);
}
inline void PutBytes(Bytes& b, std::size_t at, const void* data, std::size_t n) {
    if (b.size() < at + n) b.resize(at + n);
    if (n != 0) std::memcpy(b.data() + at, data, n);
}
inline void PutText(Bytes& b, std::size_t at, std::u16string_view s) {
    PutBytes(b, at, s.data(), s.size() * 2);
}
inline Bytes Utf16Bytes(std::u16string_view s) {
    Bytes b(s.size() * 2);
    if (!s.empty()) std::memcpy(b.data(), s.data(), b.size());
    return b;
}
inline std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t(3); }

// ---------------------------------------------------------------------------
// Version-resource nodes: wLength, wValueLength, wType, the key with its NUL,
// padding to 4, the value, padding to 4, the children each on a 4-byte
// boundary. wLength counts the node up to the end of its last child.
// ---------------------------------------------------------------------------
struct VsNode {
    std::u16string key;
    std::uint16_t type = 1;  // 1: text value, 0: binary
    Bytes value;
    std::optional<std::uint16_t> value_length;  // default: characters (text) or bytes
    std::optional<std::uint16_t> length;        // default: the real length
    std::vector<VsNode> children;
};

inline Bytes Serialize(const VsNode& node) {
    Bytes b(6);
    PutText(b, 6, node.key);
    b.resize(Align4(6 + (node.key.size() + 1) * 2), 0);
    b.insert(b.end(), node.value.begin(), node.value.end());
    for (const VsNode& child : node.children) {
        b.resize(Align4(b.size()), 0);
        const Bytes c = Serialize(child);
        b.insert(b.end(), c.begin(), c.end());
    }
    Put16(b, 0, node.length.value_or(static_cast<std::uint16_t>(b.size())));
    const std::uint16_t value_length = static_cast<std::uint16_t>(
        node.type == 1 ? node.value.size() / 2 : node.value.size());
    Put16(b, 2, node.value_length.value_or(value_length));
    Put16(b, 4, node.type);
    return b;
}

// A String node; the value is stored with its NUL, which wValueLength counts.
inline VsNode VsString(std::u16string key, std::u16string_view text) {
    VsNode n;
    n.key = std::move(key);
    n.value = Utf16Bytes(text);
    n.value.push_back(0);
    n.value.push_back(0);
    return n;
}

inline VsNode VsStringTable(std::u16string key, std::vector<VsNode> strings) {
    VsNode n;
    n.key = std::move(key);
    n.children = std::move(strings);
    return n;
}

inline VsNode VsStringFileInfo(std::vector<VsNode> tables) {
    VsNode n;
    n.key = u"StringFileInfo";
    n.children = std::move(tables);
    return n;
}

inline VsNode VsVarFileInfo() {
    VsNode translation;
    translation.key = u"Translation";
    translation.type = 0;
    translation.value = {0x09, 0x04, 0xB0, 0x04};
    VsNode n;
    n.key = u"VarFileInfo";
    n.children = {translation};
    return n;
}

// VS_VERSIONINFO with its 52-byte VS_FIXEDFILEINFO.
inline VsNode VsVersionInfo(std::uint32_t version_ms, std::uint32_t version_ls, std::vector<VsNode> children) {
    VsNode n;
    n.key = u"VS_VERSION_INFO";
    n.type = 0;
    n.value.assign(52, 0);
    Put32(n.value, 0, 0xFEEF04BD);
    Put32(n.value, 4, 0x00010000);
    Put32(n.value, 8, version_ms);
    Put32(n.value, 12, version_ls);
    Put32(n.value, 16, version_ms);
    Put32(n.value, 20, version_ls);
    Put32(n.value, 24, 0x3F);
    Put32(n.value, 32, 0x00040004);
    Put32(n.value, 36, 3);
    n.children = std::move(children);
    return n;
}

// The usual block: StringFileInfo with one table "040904b0" holding a few
// strings and OriginalFilename, then VarFileInfo.
inline VsNode StandardVersionInfo(std::uint32_t ms, std::uint32_t ls, std::u16string_view original) {
    return VsVersionInfo(ms, ls,
                         {VsStringFileInfo({VsStringTable(u"040904b0", {VsString(u"CompanyName", u"Test Works"),
                                                                        VsString(u"FileVersion", u"1.2.3.4"),
                                                                        VsString(u"OriginalFilename", original),
                                                                        VsString(u"ProductName", u"Tests")})}),
                          VsVarFileInfo()});
}

// ---------------------------------------------------------------------------
// A resource directory with one type, one name and one language, at fixed
// offsets from its root, pointing at a version block by RVA.
// ---------------------------------------------------------------------------
struct ResourceLayout {
    static constexpr std::uint32_t kRoot = 0;
    static constexpr std::uint32_t kTypeEntry = 16;
    static constexpr std::uint32_t kNameDir = 24;
    static constexpr std::uint32_t kNameEntry = 40;
    static constexpr std::uint32_t kLangDir = 48;
    static constexpr std::uint32_t kLangEntry = 64;
    static constexpr std::uint32_t kDataEntry = 72;
    static constexpr std::uint32_t kSize = 88;
};

inline Bytes VersionResourceDirectory(std::uint32_t block_rva, std::uint32_t block_size,
                                      std::uint32_t type_id = 16) {
    using L = ResourceLayout;
    Bytes d(L::kSize, 0);
    Put16(d, L::kRoot + 14, 1);
    Put32(d, L::kTypeEntry, type_id);
    Put32(d, L::kTypeEntry + 4, 0x80000000u | L::kNameDir);
    Put16(d, L::kNameDir + 14, 1);
    Put32(d, L::kNameEntry, 1);
    Put32(d, L::kNameEntry + 4, 0x80000000u | L::kLangDir);
    Put16(d, L::kLangDir + 14, 1);
    Put32(d, L::kLangEntry, 0x0409);
    Put32(d, L::kLangEntry + 4, L::kDataEntry);
    Put32(d, L::kDataEntry, block_rva);
    Put32(d, L::kDataEntry + 4, block_size);
    return d;
}

// ---------------------------------------------------------------------------
// Images. FileAlignment 0x200, SectionAlignment 0x1000, headers in the first
// 0x400 bytes; a section without an rva is placed after the previous one.
// ---------------------------------------------------------------------------
struct Section {
    std::string name = ".data";
    Bytes data;
    std::uint32_t rva = 0;           // 0: next free page
    std::uint32_t virtual_size = 0;  // 0: the data's size
};

struct ImageLayout {
    bool pe32_plus = true;
    std::vector<Section> sections;
    std::uint32_t directories[16][2] = {};  // {VirtualAddress, Size}
    std::uint32_t size_of_image = 0;        // 0: the end of the last section, page-rounded
};

constexpr std::uint32_t kHeadersSize = 0x400;

inline Bytes BuildImage(ImageLayout layout) {
    const std::uint32_t page = 0x1000;
    const std::uint32_t optional_size = layout.pe32_plus ? 240 : 224;
    Bytes b(kHeadersSize, 0);
    Put16(b, 0, 0x5A4D);
    Put32(b, 0x3C, 0x40);
    Put32(b, 0x40, 0x00004550);
    const std::size_t fh = 0x44, oh = fh + 20;
    Put16(b, fh, layout.pe32_plus ? 0x8664 : 0x014C);
    Put16(b, fh + 2, static_cast<std::uint16_t>(layout.sections.size()));
    Put16(b, fh + 16, static_cast<std::uint16_t>(optional_size));
    Put16(b, fh + 18, layout.pe32_plus ? 0x2022 : 0x2102);
    Put16(b, oh, layout.pe32_plus ? 0x20B : 0x10B);
    Put32(b, oh + 32, page);
    Put32(b, oh + 36, 0x200);
    Put32(b, oh + 60, kHeadersSize);
    Put16(b, oh + 68, 1);  // subsystem: native
    const std::size_t dirs = oh + (layout.pe32_plus ? 112 : 96);
    Put32(b, dirs - 4, 16);
    for (int i = 0; i < 16; ++i) {
        Put32(b, dirs + 8 * i, layout.directories[i][0]);
        Put32(b, dirs + 8 * i + 4, layout.directories[i][1]);
    }
    std::uint32_t next_rva = page, raw = kHeadersSize, end = page;
    const std::size_t table = oh + optional_size;
    for (std::size_t i = 0; i < layout.sections.size(); ++i) {
        Section& s = layout.sections[i];
        if (s.rva == 0) s.rva = next_rva;
        const std::uint32_t vsize = s.virtual_size ? s.virtual_size : static_cast<std::uint32_t>(s.data.size());
        const std::uint32_t raw_size = static_cast<std::uint32_t>((s.data.size() + 0x1FF) & ~std::size_t(0x1FF));
        const std::size_t h = table + 40 * i;
        PutBytes(b, h, s.name.data(), std::min<std::size_t>(s.name.size(), 8));
        Put32(b, h + 8, vsize);
        Put32(b, h + 12, s.rva);
        Put32(b, h + 16, raw_size);
        Put32(b, h + 20, raw_size ? raw : 0);
        Put32(b, h + 36, 0x40000040);
        if (raw_size) {
            PutBytes(b, raw, s.data.data(), s.data.size());
            b.resize(raw + raw_size, 0);
            raw += raw_size;
        }
        end = std::max(end, s.rva + vsize);
        next_rva = (end + page - 1) & ~(page - 1);
    }
    Put32(b, oh + 56, layout.size_of_image ? layout.size_of_image : next_rva);
    return b;
}

// An image whose only section, at RVA 0x1000, holds the given bytes, with
// the resource directory at section offset resource_at (if any) and the debug
// directory at section offset debug_at (if any).
inline Bytes ImageWithSection(const Bytes& section, std::optional<std::uint32_t> resource_at,
                              std::optional<std::uint32_t> debug_at = std::nullopt, bool pe32_plus = true) {
    ImageLayout layout;
    layout.pe32_plus = pe32_plus;
    layout.sections.push_back(Section{".rsrc", section, 0x1000, 0});
    if (resource_at) {
        layout.directories[2][0] = 0x1000 + *resource_at;
        layout.directories[2][1] = static_cast<std::uint32_t>(section.size() - *resource_at);
    }
    if (debug_at) {
        layout.directories[6][0] = 0x1000 + *debug_at;
        layout.directories[6][1] = 28;
    }
    return BuildImage(layout);
}

}  // namespace pe
