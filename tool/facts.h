// The facts of one PE file: what the driver reads from it once it is mapped
// as an image (through the driver's own readers), and what the system hands
// the driver about it (the Authenticode hash and signer).
#pragma once

#include "tool/authenticode.h"
#include "tool/common.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hk {
class MappedImage;
}

namespace elamctl {

struct ImageFacts {
    std::string file;
    // What GetImageVersionInfo and GetImageDebugInfo deliver; none where they
    // deliver nothing.
    std::optional<std::uint64_t> file_version;
    std::optional<std::u16string> original_filename;  // the counted string's Length
    std::optional<std::string> pdb_name;              // 8-bit, as stored
    std::optional<std::array<std::uint8_t, 16>> pdb_guid;
    // None when the headers do not allow the hash (see problems).
    std::optional<Authenticode> authenticode;
    // Problems that left some facts out; each is reported as an error.
    std::vector<std::string> problems;
};

// Reads, maps and inspects a file. Throws ToolError(path, ...) for a file that
// cannot be read or is not a PE image.
ImageFacts GatherFacts(const std::string& path);

// The same for a file already read and mapped.
ImageFacts GatherFacts(const std::string& path, const Bytes& file, const hk::MappedImage& image);

// "a.b.c.d" of a 64-bit file version.
std::string VersionText(std::uint64_t version);
// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx} of 16 GUID bytes in stored order.
std::string GuidText(const std::array<std::uint8_t, 16>& guid);

// One object of `facts --json`.
nlohmann::ordered_json FactsJson(const ImageFacts& facts);
// The same keys, all null, with the reason, for a file that has no facts.
nlohmann::ordered_json FailedFactsJson(const std::string& file, const std::string& problem);
// The readable form.
std::string FactsText(const ImageFacts& facts);

}  // namespace elamctl
