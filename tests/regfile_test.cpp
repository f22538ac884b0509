// Registry text files: the registry editor's export format byte for byte,
// import of what it and people write, and the errors of malformed files.
#include "hostkernel/regfile.h"

#include "support/kernel_test.h"

#include <string>
#include <vector>

namespace {

using namespace std::literals;
using Bytes = std::vector<std::uint8_t>;

Bytes Le(std::u16string_view s) {
    Bytes out;
    for (char16_t c : s) out.insert(out.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)});
    return out;
}

// REG_SZ data: the characters and their terminator.
Bytes Sz(std::u16string_view s) { return Le(std::u16string(s) + u'\0'); }

// A .reg file as the editor saves it by default: UTF-16LE with a BOM.
std::string Utf16File(std::u16string_view text) {
    std::string out = "\xFF\xFE";
    for (std::uint8_t b : Le(text)) out += static_cast<char>(b);
    return out;
}

std::string Narrow(std::u16string_view s) { return hk::Utf16ToUtf8(s); }

void ExpectSameTree(const hk::Registry& expected, const hk::Registry& actual) {
    const auto want = expected.AllKeys();
    const auto got = actual.AllKeys();
    ASSERT_EQ(want.size(), got.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(Narrow(want[i]->path));
        EXPECT_EQ(want[i]->path, got[i]->path);
        ASSERT_EQ(want[i]->values.size(), got[i]->values.size());
        for (std::size_t v = 0; v < want[i]->values.size(); ++v) {
            const hk::RegValue& a = want[i]->values[v];
            const hk::RegValue& b = got[i]->values[v];
            EXPECT_EQ(a.name, b.name);
            EXPECT_EQ(a.type, b.type) << Narrow(a.name);
            EXPECT_EQ(a.data, b.data) << Narrow(a.name);
        }
    }
}

class RegFileTest : public KernelTest {};

TEST_F(RegFileTest, ExportWritesTheEditorsFormat) {
    hk::Registry reg;
    const std::u16string root = u"\\Registry\\Machine\\SOFTWARE\\Test";
    // Subkeys created out of order: export lists each key right before its
    // subkeys, siblings case-insensitively ("a\c" before "a-b", "a" before "B").
    reg.CreateKey(root + u"\\B");
    reg.CreateKey(root + u"\\a-b");
    reg.CreateKey(root + u"\\a\\c");
    reg.CreateKey(u"\\Registry\\Machine\\SOFTWARE\\TestX");  // a sibling, not exported
    reg.SetValue(root, u"", REG_SZ, Sz(u"default"));
    reg.SetValue(root, u"Pa\"th", REG_SZ, Sz(u"C:\\Dir \"q\""));
    reg.SetValue(root, u"Empty", REG_SZ, Sz(u""));
    reg.SetValue(root, u"Count", REG_DWORD, {0x1f, 0, 0, 0});
    reg.SetValue(root, u"onedrive", REG_EXPAND_SZ, Sz(u"%onedrive%"));
    reg.SetValue(root, u"qword", REG_QWORD, {0x2d, 0x4f, 0x3a, 0x2f, 0x5d, 0, 0, 0});
    reg.SetValue(root, u"Nothing", REG_NONE, {});
    reg.SetValue(root, u"Bin", REG_BINARY, {0xAB, 0x01});
    reg.SetValue(root, u"Odd", 0x1234, {0xff});
    // Data the quoted and dword forms would not carry exactly.
    reg.SetValue(root, u"Unterminated", REG_SZ, Le(u"ab"));
    reg.SetValue(root, u"Short", REG_DWORD, {1, 2});
    reg.SetValue(root + u"\\a\\c", u"thisisabinaryvaluewithquitealongnamehowaboutthat", REG_BINARY,
                 Bytes(36, 0x30));

    const std::string expected =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "@=\"default\"\r\n"
        "\"Pa\\\"th\"=\"C:\\\\Dir \\\"q\\\"\"\r\n"
        "\"Empty\"=\"\"\r\n"
        "\"Count\"=dword:0000001f\r\n"
        "\"onedrive\"=hex(2):25,00,6f,00,6e,00,65,00,64,00,72,00,69,00,76,00,65,00,25,00,\\\r\n"
        "  00,00\r\n"
        "\"qword\"=hex(b):2d,4f,3a,2f,5d,00,00,00\r\n"
        "\"Nothing\"=hex(0):\r\n"
        "\"Bin\"=hex:ab,01\r\n"
        "\"Odd\"=hex(1234):ff\r\n"
        "\"Unterminated\"=hex(1):61,00,62,00\r\n"
        "\"Short\"=hex(4):01,02\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\a]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\a\\c]\r\n"
        "\"thisisabinaryvaluewithquitealongnamehowaboutthat\"=hex:30,30,30,30,30,30,30,30,\\\r\n"
        "  30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,30,\\\r\n"
        "  30,30,30\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\a-b]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\B]\r\n"
        "\r\n";
    EXPECT_EQ(hk::ExportRegText(reg, root, hk::RegTextEncoding::Utf8), expected);
    EXPECT_EQ(hk::ExportRegText(reg, root), Utf16File(hk::Utf8ToUtf16(expected)));

    EXPECT_THROW(hk::ExportRegText(reg, root + u"\\Missing"), std::invalid_argument);

    // An unpaired surrogate has no UTF-8 form: refused there, kept in UTF-16.
    hk::Registry lone;
    lone.SetValue(root, u"half\xD800pair", REG_DWORD, {1, 0, 0, 0});
    EXPECT_THROW(hk::ExportRegText(lone, root, hk::RegTextEncoding::Utf8), std::invalid_argument);
    hk::Registry again;
    hk::ImportRegText(again, hk::ExportRegText(lone, root));
    EXPECT_NE(again.GetValue(root, u"half\xD800pair"), nullptr);
}

TEST_F(RegFileTest, RoundTripKeepsEveryKeyValueTypeAndByte) {
    hk::Registry original;
    const std::u16string root = u"\\Registry\\Machine\\SYSTEM\\Sample";
    Bytes ramp(300);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i * 7);
    original.SetValue(root, u"", REG_SZ, Sz(u"Grüße \u2713 \U0001F600"));
    original.SetValue(root, u"back\\slash \"quoted\" ümlaut", REG_BINARY, ramp);
    original.SetValue(root, u"Multi", REG_MULTI_SZ, Le(u"one\0two words\0\0"s));
    original.SetValue(root, u"Expand", REG_EXPAND_SZ, Sz(u"%SystemRoot%\\system32"));
    original.SetValue(root, u"Dword", REG_DWORD, {0xff, 0xee, 0xdd, 0xcc});
    original.SetValue(root, u"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    original.SetValue(root, u"EmptyBinary", REG_BINARY, {});
    original.SetValue(root, u"EmptySz", REG_SZ, {});
    original.SetValue(root, u"EmbeddedNul", REG_SZ, Le(u"a\0b\0"s));
    original.SetValue(root, u"LineBreak", REG_SZ, Sz(u"two\r\nlines"));
    original.SetValue(root, u"LoneSurrogate", REG_SZ, Sz(std::u16string(1, char16_t{0xD800})));
    original.SetValue(root, u"OddLength", REG_SZ, {0x41});
    original.SetValue(root, u"HighType", 0xFFFFFFFF, {0, 1});
    original.SetValue(root + u"\\Child\\Grand Child", std::u16string(90, u'n'), REG_BINARY, ramp);
    original.CreateKey(root + u"\\Empty Key");

    for (const auto encoding : {hk::RegTextEncoding::Utf16LeBom, hk::RegTextEncoding::Utf8}) {
        SCOPED_TRACE(encoding == hk::RegTextEncoding::Utf8 ? "UTF-8" : "UTF-16LE");
        const std::string text = hk::ExportRegText(original, root, encoding);
        hk::Registry copy;
        hk::ImportRegText(copy, text);
        ExpectSameTree(original, copy);
        EXPECT_EQ(hk::ExportRegText(copy, root, encoding), text);
    }

    // Every line ends in CRLF; hex data wraps within 80 characters, except
    // after a name that alone is longer.
    const std::u16string text = hk::Utf8ToUtf16(hk::ExportRegText(original, root, hk::RegTextEncoding::Utf8));
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(u'\n', start)) != text.npos; start = end + 1) {
        ASSERT_GT(end, start);
        EXPECT_EQ(text[end - 1], u'\r');
        const std::u16string_view line(text.data() + start, end - 1 - start);
        if (!line.starts_with(u"\"nnnn")) {
            EXPECT_LE(line.size(), 80u) << Narrow(line);
        }
    }
    EXPECT_EQ(start, text.size());
}

TEST_F(RegFileTest, ImportsAHandWrittenEditorFile) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n"
        u"\r\n"
        u"; boot-start service\r\n"
        u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Sample]\r\n"
        u"@=\"Sample service\"\r\n"
        u"\"Start\"=dword:0\r\n"
        u"\"Tag\"=DWORD:1F\r\n"
        u"\"Drivers\"=hex(7):66,00,69,00,72,00,73,00,74,00,2e,00,73,00,79,00,73,00,00,00,\\\r\n"
        u"  73,00,65,00,63,00,6f,00,6e,00,64,00,20,00,64,00,72,00,69,00,76,00,65,00,72,\\\r\n"
        u"  00,2E,00,73,00,79,00,73,00,00,00,74,00,68,00,69,00,72,00,64,00,5c,00,78,00,\\\r\n"
        u"\t2e, 00,73,00,79,00,73,00,00,00,00,00\r\n"
        u"\"Flag\"=hex:1\r\n"
        u"\"Stamp\"=hex(b):2d,4f,3a,2f,5d,00,00,00\r\n"
        u"\r\n"
        u"[HKLM\\SYSTEM\\CurrentControlSet\\Services\\Sample\\Parameters]  \r\n"
        u"\"Quote\" = \"say \\\"hi\\\" C:\\\\x\"\r\n"
        u"\"Empty\"=hex(2):\r\n";
    hk::Registry reg;
    const hk::RegImportSummary summary = hk::ImportRegText(reg, Utf16File(text));
    EXPECT_EQ(summary.keys, 2u);
    EXPECT_EQ(summary.values_set, 8u);

    const std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Sample";
    auto value = [&](std::u16string_view k, std::u16string_view name) {
        const hk::RegValue* v = reg.GetValue(k, name);
        EXPECT_NE(v, nullptr) << Narrow(name);
        return v ? *v : hk::RegValue{};
    };
    EXPECT_EQ(value(key, u"").data, Sz(u"Sample service"));
    EXPECT_EQ(value(key, u"Start").data, (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(value(key, u"Tag").type, ULONG{REG_DWORD});
    EXPECT_EQ(value(key, u"Tag").data, (Bytes{0x1f, 0, 0, 0}));
    EXPECT_EQ(value(key, u"Drivers").type, ULONG{REG_MULTI_SZ});
    EXPECT_EQ(value(key, u"Drivers").data,
              Le(u"first.sys\0second driver.sys\0third\\x.sys\0\0"s));
    EXPECT_EQ(value(key, u"Flag").type, ULONG{REG_BINARY});
    EXPECT_EQ(value(key, u"Flag").data, Bytes{1});
    EXPECT_EQ(value(key, u"Stamp").type, ULONG{REG_QWORD});
    EXPECT_EQ(value(key + u"\\Parameters", u"quote").data, Sz(u"say \"hi\" C:\\x"));
    EXPECT_EQ(value(key + u"\\Parameters", u"Empty").type, ULONG{REG_EXPAND_SZ});
    EXPECT_TRUE(value(key + u"\\Parameters", u"Empty").data.empty());
}

TEST_F(RegFileTest, ImportsUtf8AndRegedit4Files) {
    hk::Registry reg;
    hk::ImportRegText(reg,
                      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
                      "[HKEY_USERS\\S-1-5-18\\Gr\xC3\xBC\xC3\x9F" "e]\n"
                      "\"Name\"=\"\xE2\x9C\x93\"\n");
    EXPECT_EQ(reg.GetValue(u"\\Registry\\User\\S-1-5-18\\Grüße", u"Name")->data, Sz(u"\u2713"));

    // REGEDIT4: 8-bit text, and 8-bit characters in hex(2) and hex(7) data.
    hk::ImportRegText(reg,
                      "REGEDIT4\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
                      "\"Caf\xE9\"=\"d\xE9j\xE0\"\r\n"
                      "\"Path\"=hex(2):25,41,25,e9,00\r\n"
                      "\"List\"=hex(7):61,00,62,00,00\r\n"
                      "\"Raw\"=hex:e9,00\r\n");
    const std::u16string key = u"\\Registry\\Machine\\SOFTWARE\\Old";
    EXPECT_EQ(reg.GetValue(key, u"Café")->data, Sz(u"déjà"));
    EXPECT_EQ(reg.GetValue(key, u"Path")->data, Sz(u"%A%é"));
    EXPECT_EQ(reg.GetValue(key, u"List")->data, Le(u"a\0b\0\0"s));
    EXPECT_EQ(reg.GetValue(key, u"Raw")->data, (Bytes{0xe9, 0}));
}

TEST_F(RegFileTest, DeletesValuesAndKeysWithTheirSubkeys) {
    hk::Registry reg;
    const std::u16string app = u"\\Registry\\Machine\\SOFTWARE\\App";
    reg.SetValue(app, u"", REG_SZ, Sz(u"x"));
    reg.SetValue(app, u"Keep", REG_DWORD, {1, 0, 0, 0});
    reg.SetValue(app, u"Gone", REG_DWORD, {2, 0, 0, 0});
    reg.SetValue(app + u"\\Cache\\Deep", u"v", REG_BINARY, {1});
    reg.CreateKey(app + u"\\CacheX");

    const auto summary = hk::ImportRegText(reg, Utf16File(
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[-HKEY_LOCAL_MACHINE\\software\\app\\CACHE]\r\n\r\n"
        u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverThere]\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\App]\r\n"
        u"\"gone\"=-\r\n"
        u"@=-\r\n"
        u"\"NeverThere\"=-\r\n"));
    EXPECT_EQ(summary.keys_deleted, 2u);
    EXPECT_EQ(summary.values_deleted, 3u);

    EXPECT_EQ(reg.FindKey(app + u"\\Cache"), nullptr);
    EXPECT_EQ(reg.FindKey(app + u"\\Cache\\Deep"), nullptr);
    EXPECT_NE(reg.FindKey(app + u"\\CacheX"), nullptr);
    ASSERT_NE(reg.FindKey(app), nullptr);
    ASSERT_EQ(reg.FindKey(app)->values.size(), 1u);
    EXPECT_EQ(reg.FindKey(app)->values[0].name, u"Keep");
}

TEST_F(RegFileTest, MalformedFilesNameTheLineAndChangeNothing) {
    struct Case {
        const char* text;
        std::size_t line;
        const char* message;
    };
    // Every case after the header starts with valid lines, which must not be
    // applied when a later line is bad.
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\SOFTWARE\\T]\r\n\"ok\"=dword:1\r\n";
    const Case cases[] = {
        {"Windows Registry Editor Version 4.00\r\n\r\n[HKLM\\SOFTWARE\\T]\r\n", 1, "bad header"},
        {"", 1, "bad header"},
        {"[HKLM\\SOFTWARE\\U\r\n", 5, "closing ']'"},
        {"\"v\"=hex:01,0g\r\n", 5, "malformed hex data"},
        {"\"v\"=hex:01,123\r\n", 5, "malformed hex data"},
        {"\"v\"=hex:01,\\\r\n  02,,03\r\n", 6, "malformed hex data"},
        {"\"v\"=hex:01,\r\n", 5, "ends with a comma"},
        {"\"v\"=hex(7:00\r\n", 5, "hex(type)"},
        {"\"v\"=hex(2)00\r\n", 5, "':'"},
        {"\"v\"=dword:000000001\r\n", 5, "1 to 8 hex digits"},
        {"\"v\"=dword:\r\n", 5, "1 to 8 hex digits"},
        {"\"v\"=dword:-1\r\n", 5, "1 to 8 hex digits"},
        {"\"v\" dword:1\r\n", 5, "missing '='"},
        {"@\r\n", 5, "missing '='"},
        {"\"v\"=\"abc\r\n", 5, "without closing quote"},
        {"\"v=dword:1\r\n", 5, "without closing quote"},
        {"\"v\"=\"a\" b\r\n", 5, "after the closing quote"},
        {"\"v\"=\"C:\\dir\"\r\n", 5, "bad escape"},
        {"\"v\"=qword:1\r\n", 5, "unrecognised value data"},
        {"\r\n\"v\"=hex:01,\\\r\n", 6, "continuation at end of file"},
        {"garbage\r\n", 5, "expected a [key] line"},
        {"[HKEY_CURRENT_USER\\Software]\r\n", 5, "unsupported root key \"HKEY_CURRENT_USER\""},
        {"[HKLM\\SOFTWARE\\\\X]\r\n", 5, "empty key name"},
        {"[-HKLM\\SOFTWARE\\X]\r\n\"v\"=dword:1\r\n", 6, "[-key]"},
    };
    for (const Case& c : cases) {
        const std::string_view text = c.text;
        const std::string file = text.starts_with("Windows") || text.empty() ? std::string(text) : head + c.text;
        SCOPED_TRACE(file);
        hk::Registry reg;
        try {
            hk::ImportRegText(reg, file);
            ADD_FAILURE() << "no error";
        } catch (const hk::RegFileError& e) {
            EXPECT_EQ(e.line, c.line) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("line " + std::to_string(c.line) + ": ", 0), 0u);
        }
        EXPECT_TRUE(reg.AllKeys().empty());
    }

    hk::Registry reg;
    EXPECT_THROW(hk::ImportRegText(reg, "\xFF\xFE" "W"), hk::RegFileError);  // half a UTF-16 unit
    EXPECT_THROW(hk::ImportRegText(reg, "Windows Registry Editor Version 5.00\r\n\"v\"=dword:1\r\n"),
                 hk::RegFileError);  // a value before any key
}

}  // namespace
