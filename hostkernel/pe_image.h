// PE images mapped as the Windows loader maps them, for the host kernel.
//
// A MappedImage holds SizeOfImage bytes (rounded up to whole pages) of fresh
// anonymous memory: the headers at offset 0, each section's raw data at its
// VirtualAddress, zero everywhere else. A PROT_NONE page follows the image, so
// a read that runs past the last page faults instead of reaching other memory.
// Every live mapping is known to the host kernel; RtlImageDirectoryEntryToData
// reads only inside a known mapping.
#pragma once

#include "hostkernel/hostkernel.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace hk {

// A file that the loader would refuse, with the reason.
struct ImageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Largest SizeOfImage accepted.
constexpr std::size_t kMaxImageSize = 256u << 20;

class MappedImage {
public:
    // Maps a PE file (PE32 or PE32+) given as its bytes. Throws ImageError for
    // a file the loader would refuse.
    explicit MappedImage(std::span<const std::uint8_t> file);

    // Maps bytes as they are, without reading any header: size bytes (at least
    // bytes.size()), the bytes at offset 0 and zero after them. For tests of
    // malformed headers and for inputs already in their mapped layout.
    static MappedImage Flat(std::span<const std::uint8_t> bytes, std::size_t size = 0);

    MappedImage(MappedImage&& other) noexcept;
    MappedImage& operator=(MappedImage&& other) noexcept;
    MappedImage(const MappedImage&) = delete;
    MappedImage& operator=(const MappedImage&) = delete;
    ~MappedImage();

    // The image base and SizeOfImage (the module list's ImageBase and ImageSize).
    void* base() const { return base_; }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(base_); }
    std::size_t size() const { return size_; }
    ULONG image_size() const { return static_cast<ULONG>(size_); }
    // Size of the accessible mapping: size() rounded up to whole pages.
    std::size_t mapped_size() const { return mapped_; }
    // True for PE32+; false for PE32 and for Flat mappings.
    bool pe32_plus() const { return pe32_plus_; }

    // Changes the protection of the page holding byte offset (PROT_NONE makes
    // it fault). The offset must lie inside the mapping.
    void ProtectPage(std::size_t offset, int prot);

private:
    MappedImage() = default;
    void Allocate(std::size_t size);
    void Release();

    void* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
    bool pe32_plus_ = false;
};

// Reads a whole file; throws ImageError when it cannot be read.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);

// Reads and maps a PE file.
MappedImage MapImageFile(const std::string& path);

// The live mapping that holds address, if any: its base and image size.
struct ImageRange {
    const std::uint8_t* base;
    std::size_t size;
};
bool FindImageMapping(const void* address, ImageRange* range);

// Faults that ElamCallGuarded has caught since the process started, in any
// thread. A routine that hides a caught fault behind its status (the debug
// reader does) still shows here.
std::uint64_t GuardedFaultCount();

}  // namespace hk
