#include "tool/rule.h"

#include "hostkernel/hostkernel.h"

#include <charconv>

namespace elamctl {
namespace {

// MatchRule admits text facts of at most this many bytes.
constexpr std::size_t kMaxTextBytes = 0xFFFF;

Bytes Utf16Le(std::u16string_view text) {
    Bytes out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

void AppendLe64(std::string& out, std::uint64_t value) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    out += ToHex(bytes, true);
}

// The 16 stored bytes of a GUID written as xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx,
// with or without braces: the first three fields are stored least significant
// byte first.
std::optional<Bytes> ParseGuidText(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
    std::string digits;
    for (char c : text) {
        if (c != '-') digits += c;
    }
    auto bytes = ParseHex(digits);
    if (!bytes || bytes->size() != 16) return std::nullopt;
    Bytes& b = *bytes;
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
    std::swap(b[4], b[5]);
    std::swap(b[6], b[7]);
    return bytes;
}

}  // namespace

const std::vector<RuleType>& RuleTypes() {
    static const std::vector<RuleType> types = {
        {0, "file-name", RuleData::Utf16, false, 0},
        {1, "digest32", RuleData::Raw, false, 32},
        {2, "pdb-name", RuleData::Ansi, false, 0},
        {3, "pdb-guid", RuleData::Raw, false, 16},
        {4, "thumbprint", RuleData::Raw, false, 0},
        {5, "image-hash", RuleData::Raw, false, 0},
        {6, "file-name-version", RuleData::Utf16, true, 0},
        {7, "pdb-name-version", RuleData::Ansi, true, 0},
        {8, "thumbprint-version", RuleData::Raw, true, 0},
        {9, "original-name", RuleData::Utf16, false, 0},
        {10, "original-name-version", RuleData::Utf16, true, 0},
    };
    return types;
}

const RuleType& ParseRuleType(std::string_view text) {
    for (const RuleType& type : RuleTypes()) {
        if (text == type.name || text == std::to_string(type.number)) return type;
    }
    throw ToolError(std::string(text), "unknown rule type (0 to 10, or file-name, digest32, pdb-name, pdb-guid, "
                                       "thumbprint, image-hash, file-name-version, pdb-name-version, "
                                       "thumbprint-version, original-name, original-name-version)");
}

std::uint64_t ParseVersion(std::string_view text) {
    const std::string subject(text);
    std::uint64_t version = 0;
    std::size_t position = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= text.size() || text[position] != '.') {
                throw ToolError(subject, "a version has four parts a.b.c.d");
            }
            ++position;
        }
        std::size_t end = position;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == position) throw ToolError(subject, "a version has four parts a.b.c.d, each a decimal number");
        unsigned value = 0;
        const auto [ptr, ec] = std::from_chars(text.data() + position, text.data() + end, value);
        if (ec != std::errc() || value > 0xFFFF) throw ToolError(subject, "each part of a version is 0 to 65535");
        (void)ptr;
        version = version << 16 | value;
        position = end;
    }
    if (position != text.size()) throw ToolError(subject, "a version has four parts a.b.c.d");
    return version;
}

std::string FormatRule(const RuleType& type, std::string_view label, const Bytes& data,
                       const std::optional<VersionRange>& range) {
    std::string out(label);
    out += ';';
    out += ToHex(data, true);
    if (type.version_range && range) {
        out += ';';
        AppendLe64(out, range->min);
        AppendLe64(out, range->max);
    }
    return out;
}

Bytes EncodeRuleValue(const RuleType& type, std::string_view value) {
    const std::string subject(value);
    Bytes data;
    switch (type.data) {
    case RuleData::Utf16:
        data = Utf16Le(hk::Utf8ToUtf16(value));
        break;
    case RuleData::Ansi:
        data.assign(value.begin(), value.end());
        break;
    case RuleData::Raw: {
        std::optional<Bytes> bytes = ParseHex(value);
        if (!bytes && type.number == 3) bytes = ParseGuidText(value);
        if (!bytes) {
            const bool digits_only = value.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
            throw ToolError(subject, digits_only ? "odd number of hex digits"
                                                 : "not hex digits (two per byte, no prefix or blanks)");
        }
        data = std::move(*bytes);
        break;
    }
    }
    if (data.empty()) throw ToolError(std::string(type.name), "the value is empty");
    return data;
}

std::optional<std::string> NeverMatchReason(const RuleType& type, const Bytes& data) {
    if (type.data != RuleData::Raw) {
        if (data.size() > kMaxTextBytes) return "text longer than 65535 bytes never matches";
        if (type.data == RuleData::Utf16 && data.size() % 2 != 0) {
            return "UTF-16 text of an odd number of bytes (" + std::to_string(data.size()) + ") never matches";
        }
        // Only the file-name and PDB-name rules meet a name without its directories.
        if (type.number == 0 || type.number == 6 || type.number == 2 || type.number == 7) {
            const std::size_t step = type.data == RuleData::Utf16 ? 2 : 1;
            for (std::size_t i = 0; i + step <= data.size(); i += step) {
                const bool high_zero = step == 1 || data[i + 1] == 0;
                if (high_zero && (data[i] == '\\' || data[i] == '/')) {
                    return std::string(type.name) +
                           " rules match a file name without directories; this one never matches";
                }
            }
        }
    }
    if (type.exact_length != 0 && data.size() != type.exact_length) {
        return std::string(type.name) + " data of " + std::to_string(data.size()) +
               " bytes never matches; it must be " + std::to_string(type.exact_length) + " bytes";
    }
    return std::nullopt;
}

Bytes RuleDataFromValue(const RuleType& type, std::string_view value) {
    Bytes data = EncodeRuleValue(type, value);
    if (auto why = NeverMatchReason(type, data)) {
        const std::string subject = value.size() > 40 ? std::string(value.substr(0, 40)) + "..." : std::string(value);
        throw ToolError(subject, *why);
    }
    return data;
}

void CheckLabel(std::string_view label) {
    if (label.find(';') != std::string_view::npos) throw ToolError(std::string(label), "a label cannot hold ';'");
}

void CheckRange(const RuleType& type, const std::optional<VersionRange>& range) {
    if (type.version_range && !range) {
        throw ToolError(type.name, "a version-range rule needs --min and --max");
    }
    if (!type.version_range && range) {
        throw ToolError(type.name, "this rule type has no version range; --min and --max do not apply");
    }
    if (range && range->min > range->max) {
        throw ToolError(VersionText(range->min) + "-" + VersionText(range->max),
                        "--min lies above --max; the rule would never match");
    }
}

std::vector<TypedRule> RulesFromFacts(const ImageFacts& facts, std::string_view file_name, std::string_view label,
                                      const std::optional<VersionRange>& given) {
    const auto& types = RuleTypes();
    std::vector<TypedRule> rules;
    std::optional<VersionRange> own;
    if (given) {
        own = given;
    } else if (facts.file_version) {
        own = VersionRange{*facts.file_version, *facts.file_version};
    }
    auto add = [&](int number, const Bytes& data) {
        const RuleType& type = types[static_cast<std::size_t>(number)];
        if (data.empty()) return;
        if (type.data != RuleData::Raw && data.size() > kMaxTextBytes) return;
        if (type.version_range && !facts.file_version) return;  // an unknown version never matches
        rules.push_back({&type, FormatRule(type, label, data, type.version_range ? own : std::nullopt)});
    };

    const Bytes name = Utf16Le(hk::Utf8ToUtf16(file_name));
    const std::optional<Bytes> pdb_name =
        facts.pdb_name ? std::optional<Bytes>(Bytes(facts.pdb_name->begin(), facts.pdb_name->end())) : std::nullopt;
    const SignerCertificate* signer =
        facts.authenticode && facts.authenticode->signer ? &*facts.authenticode->signer : nullptr;
    const std::optional<Bytes> original =
        facts.original_filename ? std::optional<Bytes>(Utf16Le(*facts.original_filename)) : std::nullopt;

    add(0, name);
    if (pdb_name) add(2, *pdb_name);
    if (facts.pdb_guid) add(3, Bytes(facts.pdb_guid->begin(), facts.pdb_guid->end()));
    if (signer) add(4, signer->sha1_thumbprint);
    if (facts.authenticode) add(5, facts.authenticode->sha256);
    add(6, name);
    if (pdb_name) add(7, *pdb_name);
    if (signer) add(8, signer->sha1_thumbprint);
    if (original) add(9, *original);
    if (original) add(10, *original);
    return rules;
}

}  // namespace elamctl
