// DecodeHexString over any text: the count it validates agrees with an
// independent reading of the digits, and decoding writes exactly that many
// bytes, never more than the output holds.
//
// Input: one byte choosing the output size, then the text (UTF-16LE).
#include "fuzz_support.h"

#include <optional>
#include <vector>

namespace {

int Digit(std::uint16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes the text stands for, or none.
std::optional<std::vector<std::uint8_t>> Expected(const std::uint8_t* text, std::size_t length) {
    const std::size_t digits = length / 2;
    if (digits == 0 || digits % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits; i += 2) {
        const int high = Digit(static_cast<std::uint16_t>(text[2 * i] | text[2 * i + 1] << 8));
        const int low = Digit(static_cast<std::uint16_t>(text[2 * i + 2] | text[2 * i + 3] << 8));
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::uint8_t sizing = input.Byte();
    std::span<const std::uint8_t> payload = input.Rest();
    // A counted string holds at most 0xFFFF bytes; an odd Length is allowed.
    payload = payload.first(std::min<std::size_t>(payload.size(), 0xFFFF));
    const fuzz::ExactCopy text(payload);

    UNICODE_STRING string;
    string.Buffer = reinterpret_cast<PWCH>(text.data());
    string.Length = static_cast<USHORT>(text.size());
    string.MaximumLength = string.Length;

    const auto expected = Expected(text.data(), text.size());
    const ULONG validated = DecodeHexString(&string, nullptr, 0);
    FUZZ_CHECK(validated == (expected ? expected->size() : 0u));

    // The output: exactly the size needed, one byte short, some bytes spare,
    // or a size of its own.
    std::size_t capacity;
    switch (sizing & 3) {
    case 0: capacity = validated; break;
    case 1: capacity = validated > 0 ? validated - 1 : 0; break;
    case 2: capacity = validated + (sizing >> 2); break;
    default: capacity = sizing >> 2; break;
    }
    if (capacity == 0) return 0;  // validate mode again
    std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[capacity]);
    std::memset(output.get(), 0xA5, capacity);
    const ULONG decoded = DecodeHexString(&string, output.get(), static_cast<ULONG>(capacity));
    if (expected && capacity >= expected->size()) {
        FUZZ_CHECK(decoded == expected->size());
        FUZZ_CHECK(std::memcmp(output.get(), expected->data(), decoded) == 0);
        for (std::size_t i = decoded; i < capacity; ++i) FUZZ_CHECK(output[i] == 0xA5);
    } else {
        FUZZ_CHECK(decoded == 0);
    }
    return 0;
}
