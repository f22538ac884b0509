// Counted-string and memory routines of the kernel run-time, and the host's
// own UTF-8/UTF-16 helpers. The host kernel's 8-bit code page is UTF-8.
#include "hostkernel/internal.h"

#include <algorithm>
#include <cstring>

namespace hk {

// Upper-casing of UTF-16 code units: ASCII, Latin-1, Latin Extended-A, Greek
// and Cyrillic, as the kernel's upcase table folds them.
char16_t UpcaseChar(char16_t c) {
    if (c < u'a') return c;
    if (c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c < 0xE0) return c == 0xB5 ? char16_t{0x39C} : c;
    if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        const bool odd_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (odd_lower) return (c & 1) == 0 ? static_cast<char16_t>(c - 1) : c;
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        return (c & 1) == 1 ? static_cast<char16_t>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

std::u16string FoldCase(std::u16string_view s) {
    std::u16string folded(s);
    for (auto& c : folded) c = UpcaseChar(c);
    return folded;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return UpcaseChar(x) == UpcaseChar(y); });
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    // Byte k of the sequence at i is a continuation byte (10xxxxxx).
    auto continues = [&](std::size_t i, std::size_t k) {
        return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    };
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        std::size_t n = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b >> 5) == 0x6 && continues(i, 1)) {
            cp = ((b & 0x1F) << 6) | (s[i + 1] & 0x3F);
            n = 2;
        } else if ((b >> 4) == 0xE && continues(i, 1) && continues(i, 2)) {
            cp = ((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            n = 3;
        } else if ((b >> 3) == 0x1E && continues(i, 1) && continues(i, 2) && continues(i, 3)) {
            cp = ((b & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                 (s[i + 3] & 0x3F);
            n = 4;
        }
        // A malformed sequence (overlong, a surrogate, beyond U+10FFFF) is one
        // replacement character for its first byte; the bytes after it are
        // read again on their own.
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (n > 1 && (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000))) {
            cp = 0xFFFD;
            n = 1;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = u'?';  // an unpaired surrogate has no 8-bit form
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

UNICODE_STRING MakeUnicodeString(const std::u16string& s) {
    UNICODE_STRING u;
    u.Length = static_cast<USHORT>(s.size() * 2);
    u.MaximumLength = u.Length;
    u.Buffer = const_cast<WCHAR*>(s.data());
    return u;
}

std::u16string ToU16(const UNICODE_STRING& s) {
    return s.Buffer == nullptr ? std::u16string() : std::u16string(s.Buffer, s.Length / 2);
}

std::u16string ToU16(const WCHAR* nul_terminated) {
    return nul_terminated == nullptr ? std::u16string() : std::u16string(nul_terminated);
}

}  // namespace hk

namespace {

unsigned char UpcaseAnsi(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 0x20 : c; }

}  // namespace

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t length = std::char_traits<char16_t>::length(SourceString) * 2;
    length = std::min<std::size_t>(length, 0xFFFC);
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = static_cast<USHORT>(length + 2);
}

extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
    const std::size_t n1 = String1->Length / 2;
    const std::size_t n2 = String2->Length / 2;
    const std::size_t n = std::min(n1, n2);
    for (std::size_t i = 0; i < n; ++i) {
        char16_t a = String1->Buffer[i];
        char16_t b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = hk::UpcaseChar(a);
            b = hk::UpcaseChar(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

extern "C" BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                               BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

extern "C" LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2,
                                       BOOLEAN CaseInSensitive) {
    const std::size_t n = std::min(String1->Length, String2->Length);
    for (std::size_t i = 0; i < n; ++i) {
        auto a = static_cast<unsigned char>(String1->Buffer[i]);
        auto b = static_cast<unsigned char>(String2->Buffer[i]);
        if (CaseInSensitive) {
            a = UpcaseAnsi(a);
            b = UpcaseAnsi(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const unsigned char*>(Source1);
    const auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

// Converts into the caller's buffer. The 8-bit form (UTF-8 here) must fit
// with its NUL; otherwise as much as fits is converted and the result is
// STATUS_BUFFER_OVERFLOW, as the kernel does.
extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                       PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
    if (AllocateDestinationString) return STATUS_INVALID_PARAMETER;
    const std::string converted = hk::Utf16ToUtf8(hk::ToU16(*SourceString));
    if (converted.size() + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER;
    const std::size_t needed = converted.size() + 1;
    if (needed > DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        const std::size_t fit = DestinationString->MaximumLength - 1u;
        std::memcpy(DestinationString->Buffer, converted.data(), fit);
        DestinationString->Buffer[fit] = 0;
        DestinationString->Length = static_cast<USHORT>(fit);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(DestinationString->Buffer, converted.data(), converted.size());
    DestinationString->Buffer[converted.size()] = 0;
    DestinationString->Length = static_cast<USHORT>(converted.size());
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                         PCUNICODE_STRING Source) {
    if (Source->Length == 0) return STATUS_SUCCESS;
    const std::size_t total = std::size_t{Destination->Length} + Source->Length;
    if (total > Destination->MaximumLength) return static_cast<NTSTATUS>(0xC0000023L);
    std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length,
                 Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + 2 <= Destination->MaximumLength) Destination->Buffer[total / 2] = 0;
    return STATUS_SUCCESS;
}

extern "C" int __cdecl _wcsnicmp(const WCHAR* String1, const WCHAR* String2, SIZE_T Count) {
    for (SIZE_T i = 0; i < Count; ++i) {
        const char16_t a = hk::UpcaseChar(String1[i]);
        const char16_t b = hk::UpcaseChar(String2[i]);
        if (a != b) return static_cast<int>(a) - static_cast<int>(b);
        if (a == 0) return 0;
    }
    return 0;
}
