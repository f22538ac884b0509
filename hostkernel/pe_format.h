// Byte offsets of the PE/COFF format that host code reads (the image mapper,
// the directory lookup, Authenticode hashing), from the platform's published
// format. Offsets within the optional header count from its first byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hk::pe {

constexpr std::size_t kDosLfanew = 0x3C;
constexpr std::uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr std::size_t kFileHeaderSize = 20;         // after the 4-byte signature
constexpr std::size_t kOptionalHeader = 4 + kFileHeaderSize;  // from the signature
constexpr std::size_t kFhNumberOfSections = 2;      // within the file header
constexpr std::size_t kFhSizeOfOptionalHeader = 16;
constexpr std::size_t kOhSectionAlignment = 32;
constexpr std::size_t kOhFileAlignment = 36;
constexpr std::size_t kOhSizeOfImage = 56;
constexpr std::size_t kOhSizeOfHeaders = 60;
constexpr std::size_t kOhCheckSum = 64;
constexpr std::size_t kOhNumberOfRvaAndSizes32 = 92;
constexpr std::size_t kOhNumberOfRvaAndSizes64 = 108;
constexpr std::size_t kOhDataDirectory32 = 96;
constexpr std::size_t kOhDataDirectory64 = 112;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kShVirtualSize = 8;
constexpr std::size_t kShVirtualAddress = 12;
constexpr std::size_t kShSizeOfRawData = 16;
constexpr std::size_t kShPointerToRawData = 20;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::size_t kCertificateTableIndex = 4;  // the security directory

}  // namespace hk::pe
