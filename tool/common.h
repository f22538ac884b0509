// What every part of elamctl shares: the error of a bad input, hex text, and
// reading and writing whole files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace elamctl {

using Bytes = std::vector<std::uint8_t>;

// A bad input: the file or argument at fault and what is wrong with it.
// main() prints it as the one line "elamctl: SUBJECT: PROBLEM".
struct ToolError : std::runtime_error {
    ToolError(std::string subject, std::string problem);
    std::string subject;
    std::string problem;
};

// Hex digits of bytes, two per byte, high nibble first.
std::string ToHex(std::span<const std::uint8_t> bytes, bool upper = false);

// Bytes from hex digits of either case; nullopt for an odd count or any
// character that is not a digit. Empty text gives no bytes.
std::optional<Bytes> ParseHex(std::string_view text);

// The whole file; ToolError(path, ...) when it cannot be read.
Bytes ReadWholeFile(const std::string& path);

// Writes a file so that it is either complete or untouched: the bytes go to a
// temporary file in the same directory, which then replaces the target.
void WriteFileAtomically(const std::string& path, std::string_view content);

}  // namespace elamctl
