// PE images mapped as the loader maps them, the host kernel's list of live
// mappings, and RtlImageDirectoryEntryToData over them.

#include "hostkernel/pe_image.h"
#include "hostkernel/pe_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace hk {
namespace {

using namespace pe;

std::size_t PageSize() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::size_t RoundUp(std::size_t value, std::size_t unit) { return (value + unit - 1) / unit * unit; }

template <typename T>
T Load(const std::uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Bounded reads of the file being mapped.
struct FileView {
    std::span<const std::uint8_t> bytes;
    bool Has(std::uint64_t offset, std::uint64_t length) const {
        return offset <= bytes.size() && length <= bytes.size() - offset;
    }
    template <typename T>
    T At(std::uint64_t offset, const char* what) const {
        if (!Has(offset, sizeof(T))) throw ImageError(std::string("truncated headers: ") + what);
        return Load<T>(bytes.data() + offset);
    }
};

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// The live mappings, by base.
std::mutex g_mappings_lock;
std::map<std::uintptr_t, std::size_t>& Mappings() {
    static auto* mappings = new std::map<std::uintptr_t, std::size_t>();
    return *mappings;
}

void Register(const void* base, std::size_t size) {
    std::lock_guard<std::mutex> lock(g_mappings_lock);
    Mappings()[reinterpret_cast<std::uintptr_t>(base)] = size;
}

void Unregister(const void* base) {
    std::lock_guard<std::mutex> lock(g_mappings_lock);
    Mappings().erase(reinterpret_cast<std::uintptr_t>(base));
}

}  // namespace

bool FindImageMapping(const void* address, ImageRange* range) {
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    std::lock_guard<std::mutex> lock(g_mappings_lock);
    auto& mappings = Mappings();
    auto it = mappings.upper_bound(a);
    if (it == mappings.begin()) return false;
    --it;
    if (a - it->first >= it->second) return false;
    range->base = reinterpret_cast<const std::uint8_t*>(it->first);
    range->size = it->second;
    return true;
}

void MappedImage::Allocate(std::size_t size) {
    const std::size_t page = PageSize();
    mapped_ = RoundUp(size, page);
    // One more page after the image, never accessible.
    void* memory = mmap(nullptr, mapped_ + page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) throw ImageError("cannot map " + std::to_string(size) + " bytes");
    mprotect(static_cast<std::uint8_t*>(memory) + mapped_, page, PROT_NONE);
    base_ = memory;
    size_ = size;
    Register(base_, size_);
}

void MappedImage::Release() {
    if (base_ == nullptr) return;
    Unregister(base_);
    munmap(base_, mapped_ + PageSize());
    base_ = nullptr;
    size_ = mapped_ = 0;
}

MappedImage::MappedImage(std::span<const std::uint8_t> file) {
    const FileView f{file};
    if (f.At<std::uint16_t>(0, "DOS header") != 0x5A4D) throw ImageError("no MZ signature");
    const std::uint64_t nt = f.At<std::uint32_t>(kDosLfanew, "DOS header");
    if (f.At<std::uint32_t>(nt, "NT signature") != 0x00004550) {
        throw ImageError("no PE signature at e_lfanew " + Hex(nt));
    }
    const std::uint64_t fh = nt + 4;
    const std::uint16_t section_count = f.At<std::uint16_t>(fh + kFhNumberOfSections, "file header");
    const std::uint16_t optional_size = f.At<std::uint16_t>(fh + kFhSizeOfOptionalHeader, "file header");
    const std::uint64_t oh = fh + kFileHeaderSize;
    const std::uint16_t magic = f.At<std::uint16_t>(oh, "optional header");
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        throw ImageError("unknown optional header magic " + Hex(magic));
    }
    const std::uint32_t section_alignment = f.At<std::uint32_t>(oh + kOhSectionAlignment, "optional header");
    const std::uint32_t file_alignment = f.At<std::uint32_t>(oh + kOhFileAlignment, "optional header");
    const std::uint32_t image_size = f.At<std::uint32_t>(oh + kOhSizeOfImage, "optional header");
    const std::uint32_t headers_size = f.At<std::uint32_t>(oh + kOhSizeOfHeaders, "optional header");
    if (image_size == 0) throw ImageError("SizeOfImage is 0");
    if (image_size > kMaxImageSize) throw ImageError("SizeOfImage " + Hex(image_size) + " too large");

    const std::uint64_t table = oh + optional_size;
    const std::uint64_t table_end = table + std::uint64_t(section_count) * kSectionHeaderSize;
    if (!f.Has(table, table_end - table)) throw ImageError("truncated headers: section table");

    pe32_plus_ = magic == kMagicPe32Plus;
    Allocate(image_size);
    try {
        std::uint8_t* const image = bytes();
        if (section_alignment < PageSize()) {
            // Low alignment: the loader maps the file as it lies, raw offsets
            // and virtual addresses being the same.
            const std::size_t n = std::min<std::size_t>(file.size(), image_size);
            std::memcpy(image, file.data(), n);
            return;
        }
        // The headers: SizeOfHeaders bytes, but never less than the section
        // table, which the loader reads from the mapped headers.
        const std::uint64_t headers =
            std::min<std::uint64_t>({std::max<std::uint64_t>(headers_size, table_end), file.size(), image_size});
        std::memcpy(image, file.data(), headers);

        for (std::uint32_t i = 0; i < section_count; ++i) {
            const std::uint64_t s = table + std::uint64_t(i) * kSectionHeaderSize;
            const std::uint32_t virtual_size = f.At<std::uint32_t>(s + kShVirtualSize, "section");
            const std::uint32_t rva = f.At<std::uint32_t>(s + kShVirtualAddress, "section");
            const std::uint32_t raw_size = f.At<std::uint32_t>(s + kShSizeOfRawData, "section");
            std::uint32_t raw = f.At<std::uint32_t>(s + kShPointerToRawData, "section");
            // The loader takes raw data from the 512-byte sector that holds it.
            if (file_alignment >= 0x200) raw &= ~0x1FFu;
            const std::uint32_t extent = virtual_size != 0 ? virtual_size : raw_size;
            const std::uint32_t copy = std::min(raw_size, extent);
            // The loader rounds SizeOfImage up to whole pages (to the section
            // alignment, in fact); a section may end anywhere inside them.
            if (std::uint64_t(rva) + extent > mapped_) {
                throw ImageError("section " + std::to_string(i) + " at " + Hex(rva) + " size " +
                                 Hex(extent) + " lies beyond SizeOfImage " + Hex(image_size));
            }
            if (copy == 0) continue;
            if (!f.Has(raw, copy)) {
                throw ImageError("section " + std::to_string(i) + " raw data at " + Hex(raw) + " size " +
                                 Hex(copy) + " lies beyond the end of the file");
            }
            std::memcpy(image + rva, file.data() + raw, copy);
        }
    } catch (...) {
        Release();
        throw;
    }
}

MappedImage MappedImage::Flat(std::span<const std::uint8_t> bytes, std::size_t size) {
    size = std::max(size, bytes.size());
    if (size == 0) throw ImageError("empty mapping");
    if (size > kMaxImageSize) throw ImageError("mapping of " + Hex(size) + " bytes too large");
    MappedImage image;
    image.Allocate(size);
    if (!bytes.empty()) std::memcpy(image.bytes(), bytes.data(), bytes.size());
    return image;
}

MappedImage::MappedImage(MappedImage&& other) noexcept
    : base_(other.base_), size_(other.size_), mapped_(other.mapped_), pe32_plus_(other.pe32_plus_) {
    other.base_ = nullptr;
    other.size_ = other.mapped_ = 0;
}

MappedImage& MappedImage::operator=(MappedImage&& other) noexcept {
    if (this != &other) {
        Release();
        base_ = other.base_;
        size_ = other.size_;
        mapped_ = other.mapped_;
        pe32_plus_ = other.pe32_plus_;
        other.base_ = nullptr;
        other.size_ = other.mapped_ = 0;
    }
    return *this;
}

MappedImage::~MappedImage() { Release(); }

void MappedImage::ProtectPage(std::size_t offset, int prot) {
    if (base_ == nullptr || offset >= mapped_) throw std::out_of_range("ProtectPage outside the mapping");
    const std::size_t page = PageSize();
    if (mprotect(bytes() + offset / page * page, page, prot) != 0) {
        throw std::runtime_error(std::string("mprotect: ") + std::strerror(errno));
    }
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ImageError("cannot open " + path);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw ImageError("cannot read " + path);
    return bytes;
}

MappedImage MapImageFile(const std::string& path) {
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    try {
        return MappedImage(bytes);
    } catch (const ImageError& e) {
        throw ImageError(path + ": " + e.what());
    }
}

}  // namespace hk

// The kernel's RtlImageDirectoryEntryToData: the address of one data
// directory of an image, or NULL. Every header read stays inside the known
// mapping that holds BaseOfImage; an address outside every mapping gets NULL.
extern "C" PVOID NTAPI RtlImageDirectoryEntryToData(PVOID BaseOfImage, BOOLEAN MappedAsImage,
                                                    USHORT DirectoryEntry, PULONG Size) {
    using hk::Load;
    auto address = reinterpret_cast<std::uintptr_t>(BaseOfImage);
    // The loader marks a base mapped as a data file with its low bit.
    if (address & 1) {
        address &= ~std::uintptr_t(1);
        MappedAsImage = FALSE;
    }
    const auto* base = reinterpret_cast<const std::uint8_t*>(address);
    hk::ImageRange range;
    if (base == nullptr || !hk::FindImageMapping(base, &range)) return nullptr;
    const std::uint64_t avail = range.size - std::uint64_t(base - range.base);
    auto has = [avail](std::uint64_t offset, std::uint64_t length) {
        return offset <= avail && length <= avail - offset;
    };

    if (!has(0, 0x40) || Load<std::uint16_t>(base) != 0x5A4D) return nullptr;
    const std::uint64_t nt = Load<std::uint32_t>(base + hk::pe::kDosLfanew);
    if (!has(nt, 4 + hk::pe::kFileHeaderSize + 2) || Load<std::uint32_t>(base + nt) != 0x00004550) return nullptr;
    const std::uint64_t fh = nt + 4;
    const std::uint64_t oh = fh + hk::pe::kFileHeaderSize;
    const std::uint16_t magic = Load<std::uint16_t>(base + oh);
    std::uint64_t count_at;
    std::uint64_t directory_at;
    if (magic == hk::pe::kMagicPe32) {
        count_at = oh + hk::pe::kOhNumberOfRvaAndSizes32;
        directory_at = oh + hk::pe::kOhDataDirectory32;
    } else if (magic == hk::pe::kMagicPe32Plus) {
        count_at = oh + hk::pe::kOhNumberOfRvaAndSizes64;
        directory_at = oh + hk::pe::kOhDataDirectory64;
    } else {
        return nullptr;
    }
    if (!has(count_at, 4) || !has(oh + hk::pe::kOhSizeOfHeaders, 4)) return nullptr;
    if (DirectoryEntry >= Load<std::uint32_t>(base + count_at)) return nullptr;
    const std::uint64_t entry = directory_at + std::uint64_t(DirectoryEntry) * 8;
    if (!has(entry, 8)) return nullptr;
    const std::uint32_t rva = Load<std::uint32_t>(base + entry);
    const std::uint32_t size = Load<std::uint32_t>(base + entry + 4);
    if (rva == 0) return nullptr;
    if (rva >= Load<std::uint32_t>(base + oh + hk::pe::kOhSizeOfImage)) return nullptr;

    if (MappedAsImage || rva < Load<std::uint32_t>(base + oh + hk::pe::kOhSizeOfHeaders)) {
        if (Size != nullptr) *Size = size;
        return const_cast<std::uint8_t*>(base + rva);
    }
    // A file laid out as on disk: find the section that holds the address.
    const std::uint16_t section_count = Load<std::uint16_t>(base + fh + hk::pe::kFhNumberOfSections);
    const std::uint16_t optional_size = Load<std::uint16_t>(base + fh + hk::pe::kFhSizeOfOptionalHeader);
    const std::uint64_t table = oh + optional_size;
    for (std::uint32_t i = 0; i < section_count; ++i) {
        const std::uint64_t s = table + std::uint64_t(i) * hk::pe::kSectionHeaderSize;
        if (!has(s, hk::pe::kSectionHeaderSize)) return nullptr;
        const std::uint32_t va = Load<std::uint32_t>(base + s + hk::pe::kShVirtualAddress);
        const std::uint32_t raw_size = Load<std::uint32_t>(base + s + hk::pe::kShSizeOfRawData);
        if (rva >= va && rva - va < raw_size) {
            const std::uint64_t offset =
                std::uint64_t(rva - va) + Load<std::uint32_t>(base + s + hk::pe::kShPointerToRawData);
            if (!has(offset, 1)) return nullptr;
            if (Size != nullptr) *Size = size;
            return const_cast<std::uint8_t*>(base + offset);
        }
    }
    return nullptr;
}
