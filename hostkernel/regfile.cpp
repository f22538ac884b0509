// Registry text files (.reg): parsing, applying and writing.
#include "hostkernel/regfile.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace hk {

RegFileError::RegFileError(std::size_t line_number, const std::string& message)
    : std::runtime_error("line " + std::to_string(line_number) + ": " + message),
      line(line_number) {}

namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";

struct Root {
    std::u16string_view text;    // as a .reg file names it
    std::u16string_view kernel;  // as the kernel names it
};
// Export writes the full names: entries 0 and 2.
constexpr Root kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", u"\\Registry\\Machine"},
    {u"HKLM", u"\\Registry\\Machine"},
    {u"HKEY_USERS", u"\\Registry\\User"},
    {u"HKU", u"\\Registry\\User"},
};

[[noreturn]] void Fail(std::size_t line, const std::string& message) {
    throw RegFileError(line, message);
}

std::string Quote(std::u16string_view s) { return "\"" + Utf16ToUtf8(s) + "\""; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::u16string_view Trim(std::u16string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// 1 to max_digits hex digits and nothing else.
std::optional<ULONG> ParseHex(std::u16string_view s, std::size_t max_digits) {
    if (s.empty() || s.size() > max_digits) return std::nullopt;
    ULONG value = 0;
    for (char16_t c : s) {
        const int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        value = value << 4 | static_cast<ULONG>(d);
    }
    return value;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

void AppendUnitsLe(std::vector<std::uint8_t>& out, std::u16string_view s) {
    for (char16_t c : s) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

// ---------------------------------------------------------------------------
// Import
// ---------------------------------------------------------------------------

struct Op {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    std::u16string key;
    std::u16string name{};
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data{};
};

std::size_t CountLines(std::u16string_view text) {
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), u'\n'));
}

std::u16string DecodeText(std::string_view bytes) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.starts_with("\xFF\xFE")) {
        std::u16string text;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(byte(i) | byte(i + 1) << 8);
        if (bytes.size() % 2 != 0) Fail(CountLines(text), "UTF-16 text ends in half a character");
        return text;
    }
    if (bytes.starts_with("\xFE\xFF")) Fail(1, "big-endian UTF-16 is not supported");
    if (bytes.starts_with("\xEF\xBB\xBF")) return Utf8ToUtf16(bytes.substr(3));
    if (bytes.starts_with("REGEDIT4")) {  // 8-bit text in the ANSI code page: read as Latin-1
        std::u16string text;
        for (std::size_t i = 0; i < bytes.size(); ++i) text += static_cast<char16_t>(byte(i));
        return text;
    }
    return Utf8ToUtf16(bytes);
}

std::vector<std::u16string_view> SplitLines(std::u16string_view text) {
    std::vector<std::u16string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find(u'\n');
        std::u16string_view line = text.substr(0, end);
        if (line.ends_with(u'\r')) line.remove_suffix(1);
        lines.push_back(line);
        text = end == text.npos ? std::u16string_view() : text.substr(end + 1);
    }
    return lines;
}

// "HKEY_LOCAL_MACHINE\SOFTWARE\X" -> "\Registry\Machine\SOFTWARE\X".
std::u16string KernelPath(std::u16string_view text, std::size_t line) {
    const std::u16string_view root = text.substr(0, text.find(u'\\'));
    const auto it = std::find_if(std::begin(kRoots), std::end(kRoots),
                                 [&](const Root& r) { return EqualNoCase(r.text, root); });
    if (it == std::end(kRoots))
        Fail(line, "unsupported root key " + Quote(root) +
                       " (HKEY_LOCAL_MACHINE, HKLM, HKEY_USERS or HKU)");
    const std::u16string_view rest = text.substr(root.size());
    if (rest.ends_with(u'\\') || rest.find(u"\\\\") != rest.npos)
        Fail(line, "empty key name in " + Quote(text));
    return std::u16string(it->kernel) + std::u16string(rest);
}

// A quoted string starting at s[pos] == '"', with the escapes \\ and \".
// Leaves pos after the closing quote.
std::u16string ParseQuoted(std::u16string_view s, std::size_t& pos, std::size_t line) {
    std::u16string out;
    for (++pos; pos < s.size(); ++pos) {
        char16_t c = s[pos];
        if (c == u'"') {
            ++pos;
            return out;
        }
        if (c == u'\\') {
            if (++pos == s.size()) break;
            c = s[pos];
            if (c != u'\\' && c != u'"')
                Fail(line, "bad escape sequence \\" + Utf16ToUtf8(std::u16string(1, c)) +
                               " (only \\\\ and \\\" are allowed)");
        }
        out += c;
    }
    Fail(line, "string without closing quote");
}

// Comma-separated bytes of one or two hex digits: `segment` of lines[i], then
// the next line for as long as a line ends in a backslash. Leaves i on the
// last line used.
std::vector<std::uint8_t> ParseHexBytes(const std::vector<std::u16string_view>& lines,
                                        std::size_t& i, std::u16string_view segment) {
    std::vector<std::uint8_t> bytes;
    bool byte_due = false;  // a comma was the last thing read
    for (;;) {
        const std::size_t line = i + 1;
        segment = Trim(segment);
        const bool continued = segment.ends_with(u'\\');
        if (continued) segment = Trim(segment.substr(0, segment.size() - 1));
        while (!segment.empty()) {
            const std::size_t comma = segment.find(u',');
            const std::u16string_view item = Trim(segment.substr(0, comma));
            const auto value = ParseHex(item, 2);
            if (!value) Fail(line, "malformed hex data: bad byte " + Quote(item));
            bytes.push_back(static_cast<std::uint8_t>(*value));
            byte_due = comma != segment.npos;
            segment = byte_due ? segment.substr(comma + 1) : std::u16string_view();
        }
        if (!continued) {
            if (byte_due) Fail(line, "malformed hex data: ends with a comma");
            return bytes;
        }
        if (++i == lines.size()) Fail(line, "continuation at end of file");
        segment = lines[i];
    }
}

std::vector<Op> Parse(std::u16string_view text) {
    const auto lines = SplitLines(text);
    if (lines.empty()) Fail(1, "bad header: the file is empty");
    const std::u16string_view header = Trim(lines[0]);
    if (header != kHeader5 && header != kHeader4)
        Fail(1, "bad header: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    const bool ansi = header == kHeader4;

    std::vector<Op> ops;
    std::optional<std::u16string> key;  // the current section's key
    bool key_deleted = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t line = i + 1;
        const std::u16string_view s = Trim(lines[i]);
        if (s.empty() || s.front() == u';') continue;

        if (s.front() == u'[') {
            if (!s.ends_with(u']')) Fail(line, "key line without closing ']'");
            std::u16string_view inner = s.substr(1, s.size() - 2);
            key_deleted = inner.starts_with(u'-');
            if (key_deleted) inner.remove_prefix(1);
            key = KernelPath(inner, line);
            ops.push_back({key_deleted ? Op::kDeleteKey : Op::kCreateKey, *key});
            continue;
        }
        if (s.front() != u'"' && s.front() != u'@')
            Fail(line, "expected a [key] line, a \"name\"= or @= value line, or a ; comment");
        if (!key) Fail(line, "value line before the first [key] line");
        if (key_deleted) Fail(line, "value line under a [-key] deletion");

        Op op{Op::kSetValue, *key};
        std::size_t pos = 1;  // after '@'
        if (s.front() == u'"') {
            pos = 0;
            op.name = ParseQuoted(s, pos, line);
        }
        while (pos < s.size() && IsBlank(s[pos])) ++pos;
        if (pos == s.size() || s[pos] != u'=') Fail(line, "missing '=' after the value name");
        const std::u16string_view data = TrimLeft(s.substr(pos + 1));

        if (data == u"-") {
            op.kind = Op::kDeleteValue;
        } else if (data.starts_with(u'"')) {
            pos = 0;
            const std::u16string str = ParseQuoted(data, pos, line);
            if (pos != data.size()) Fail(line, "unexpected text after the closing quote");
            op.type = REG_SZ;
            AppendUnitsLe(op.data, str);
            AppendUnitsLe(op.data, std::u16string_view(u"\0", 1));
        } else if (StartsWithNoCase(data, u"dword:")) {
            const auto value = ParseHex(data.substr(6), 8);
            if (!value) Fail(line, "dword needs 1 to 8 hex digits");
            op.type = REG_DWORD;
            for (int shift = 0; shift < 32; shift += 8)
                op.data.push_back(static_cast<std::uint8_t>(*value >> shift));
        } else if (StartsWithNoCase(data, u"hex")) {
            std::u16string_view rest = data.substr(3);
            op.type = REG_BINARY;
            if (rest.starts_with(u'(')) {
                const std::size_t close = rest.find(u')');
                const auto type = close == rest.npos ? std::nullopt : ParseHex(rest.substr(1, close - 1), 8);
                if (!type) Fail(line, "malformed hex(type): the type needs 1 to 8 hex digits");
                op.type = *type;
                rest.remove_prefix(close + 1);
            }
            if (!rest.starts_with(u':')) Fail(line, "missing ':' after hex");
            op.data = ParseHexBytes(lines, i, rest.substr(1));
            if (ansi && (op.type == REG_EXPAND_SZ || op.type == REG_MULTI_SZ)) {
                std::vector<std::uint8_t> wide;  // 8-bit characters, widened as Latin-1
                for (std::uint8_t b : op.data) wide.insert(wide.end(), {b, 0});
                op.data = std::move(wide);
            }
        } else {
            Fail(line, "unrecognised value data: expected \"string\", dword:, hex: or hex(type):");
        }
        ops.push_back(std::move(op));
    }
    return ops;
}

// ---------------------------------------------------------------------------
// Export
// ---------------------------------------------------------------------------

// The editor wraps hex data once a line reaches this many characters.
constexpr std::size_t kHexWrap = 77;

void AppendHex(std::u16string& out, ULONG value, int min_digits) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    int digits = 1;
    while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
    for (int d = std::max(digits, min_digits) - 1; d >= 0; --d) out += kDigits[(value >> (4 * d)) & 0xF];
}

void CheckWritable(std::u16string_view s) {
    if (s.find_first_of(u"\r\n") != s.npos)
        throw std::invalid_argument("a name with a line break cannot be written as .reg text: " +
                                    Quote(s));
}

void AppendEscaped(std::u16string& out, std::u16string_view s) {
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
}

// The characters of REG_SZ data that the quoted form carries exactly, if any.
std::optional<std::u16string> PlainString(const std::vector<std::uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
    std::u16string s;
    for (std::size_t i = 0; i < data.size(); i += 2)
        s += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (s.back() != 0) return std::nullopt;
    s.pop_back();
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == 0 || c == u'\r' || c == u'\n') return std::nullopt;
        const bool high = c >= 0xD800 && c < 0xDC00;
        const bool low = c >= 0xDC00 && c < 0xE000;
        if (low) return std::nullopt;
        if (high && !(i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)) return std::nullopt;
        if (high) ++i;
    }
    return s;
}

void AppendValue(std::u16string& out, const RegValue& value) {
    const std::size_t start = out.size();
    if (value.name.empty()) {
        out += u"@=";
    } else {
        CheckWritable(value.name);
        out += u'"';
        AppendEscaped(out, value.name);
        out += u"\"=";
    }
    if (value.type == REG_SZ) {
        if (const auto s = PlainString(value.data)) {
            out += u'"';
            AppendEscaped(out, *s);
            out += u"\"\r\n";
            return;
        }
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        out += u"dword:";
        AppendHex(out, value.data[0] | value.data[1] << 8 | value.data[2] << 16 | ULONG{value.data[3]} << 24, 8);
        out += u"\r\n";
        return;
    }
    if (value.type == REG_BINARY) {
        out += u"hex:";
    } else {
        out += u"hex(";
        AppendHex(out, value.type, 1);
        out += u"):";
    }
    std::size_t line_length = out.size() - start;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        AppendHex(out, value.data[i], 2);
        if (i + 1 == value.data.size()) break;
        out += u',';
        line_length += 3;
        if (line_length >= kHexWrap) {
            out += u"\\\r\n  ";
            line_length = 2;
        }
    }
    out += u"\r\n";
}

// "\Registry\Machine\SOFTWARE\X" -> "HKEY_LOCAL_MACHINE\SOFTWARE\X".
std::u16string TextPath(std::u16string_view path) {
    for (const Root& root : {kRoots[0], kRoots[2]}) {
        if (StartsWithNoCase(path, root.kernel) &&
            (path.size() == root.kernel.size() || path[root.kernel.size()] == u'\\'))
            return std::u16string(root.text) + std::u16string(path.substr(root.kernel.size()));
    }
    throw std::invalid_argument("key outside \\Registry\\Machine and \\Registry\\User: " + Quote(path));
}

// Path components, case-folded: sorting by them puts every key right before
// its subkeys, in the order the registry keeps subkeys.
std::vector<std::u16string> SortKey(std::u16string_view path) {
    std::vector<std::u16string> parts;
    const std::u16string folded = FoldCase(path);
    std::u16string_view rest = folded;
    while (!rest.empty()) {
        const std::size_t sep = rest.find(u'\\');
        parts.emplace_back(rest.substr(0, sep));
        rest = sep == rest.npos ? std::u16string_view() : rest.substr(sep + 1);
    }
    return parts;
}

std::string Encode(std::u16string_view text, RegTextEncoding encoding) {
    if (encoding == RegTextEncoding::Utf8) {
        std::string bytes = Utf16ToUtf8(text);
        if (Utf8ToUtf16(bytes) != text) {
            throw std::invalid_argument(
                "a name or string holds an unpaired UTF-16 surrogate, which UTF-8 cannot carry");
        }
        return bytes;
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

}  // namespace

RegImportSummary ImportRegText(Registry& registry, std::string_view bytes) {
    RegImportSummary summary;
    for (const Op& op : Parse(DecodeText(bytes))) {
        switch (op.kind) {
            case Op::kCreateKey:
                registry.CreateKey(op.key);
                ++summary.keys;
                break;
            case Op::kDeleteKey:
                registry.DeleteKey(op.key);
                ++summary.keys_deleted;
                break;
            case Op::kSetValue:
                registry.SetValue(op.key, op.name, op.type, op.data);
                ++summary.values_set;
                break;
            case Op::kDeleteValue:
                registry.DeleteValue(op.key, op.name);
                ++summary.values_deleted;
                break;
        }
    }
    return summary;
}

std::string ExportRegText(const Registry& registry, std::u16string_view key_path,
                          RegTextEncoding encoding) {
    if (registry.FindKey(key_path) == nullptr)
        throw std::invalid_argument("no such key: " + Quote(key_path));
    std::vector<std::pair<std::vector<std::u16string>, const RegKey*>> keys;
    for (const RegKey* key : registry.KeysUnder(key_path)) {
        CheckWritable(key->path);
        keys.emplace_back(SortKey(key->path), key);
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    std::u16string text(kHeader5);
    text += u"\r\n";
    for (const auto& [sort_key, key] : keys) {
        text += u"\r\n[" + TextPath(key->path) + u"]\r\n";
        for (const RegValue& value : key->values) AppendValue(text, value);
    }
    text += u"\r\n";
    return Encode(text, encoding);
}

}  // namespace hk
