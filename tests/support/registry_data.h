// Registry value data as the tests write it into the host kernel's registry,
// and the key paths of the driver's service and configuration keys.
#pragma once

#include "hostkernel/hostkernel.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace regdata {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::u16string_view kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline const std::u16string kServiceKey = std::u16string(kServicesKey) + u"\\XyzElam";
inline const std::u16string kConfigKey = std::u16string(kServicesKey) + u"\\XyzSP\\Parameters";

// UTF-16LE bytes of the characters, without a terminator.
inline Bytes Le(std::u16string_view s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

// REG_MULTI_SZ data: each string with its NUL, then the closing NUL.
inline Bytes MultiSz(std::initializer_list<std::u16string_view> strings) {
    std::u16string text;
    for (std::u16string_view s : strings) {
        text += s;
        text += u'\0';
    }
    text += u'\0';
    return Le(text);
}

inline Bytes MultiSz(const std::vector<std::u16string>& strings) {
    std::u16string text;
    for (const std::u16string& s : strings) {
        text += s;
        text += u'\0';
    }
    text += u'\0';
    return Le(text);
}

// REG_SZ data: the characters and their NUL.
inline Bytes Sz(std::u16string_view s) { return Le(std::u16string(s) + u'\0'); }

inline Bytes Dword(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

// Rule text: data and version ranges in upper-case hex, as the rule values
// hold them (char16_t for registry data, char for .reg text).
template <typename CharT = char16_t>
std::basic_string<CharT> Hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::basic_string<CharT> out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += static_cast<CharT>(kDigits[b >> 4]);
        out += static_cast<CharT>(kDigits[b & 0xF]);
    }
    return out;
}

// The 64-bit file version a.b.c.d.
constexpr std::uint64_t Version(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
    return a << 48 | b << 32 | c << 16 | d;
}

// A version range: both bounds least significant byte first.
template <typename CharT = char16_t>
std::basic_string<CharT> Range(std::uint64_t min, std::uint64_t max) {
    Bytes bytes;
    for (std::uint64_t v : {min, max}) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    return Hex<CharT>(bytes);
}

inline void SetMultiSz(std::u16string_view key, std::u16string_view name,
                       std::initializer_list<std::u16string_view> strings) {
    hk::TheRegistry().SetValue(key, name, REG_MULTI_SZ, MultiSz(strings));
}

inline void SetDword(std::u16string_view key, std::u16string_view name, std::uint32_t v) {
    hk::TheRegistry().SetValue(key, name, REG_DWORD, Dword(v));
}

}  // namespace regdata
