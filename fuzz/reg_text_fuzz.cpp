// hk::ImportRegText over any bytes: a malformed file is refused with
// RegFileError and nothing else; a file that imports writes out as .reg text
// that imports again to the same registry (export, import, export gives the
// same text). UTF-8 cannot carry an unpaired surrogate, which the export
// writes as '?'; a registry with such a name is held to the round trip in
// UTF-16 only.
#include "fuzz_support.h"
#include "hostkernel/regfile.h"

#include <stdexcept>
#include <string_view>

namespace {

bool Utf8CarriesExactly(std::u16string_view s) { return hk::Utf8ToUtf16(hk::Utf16ToUtf8(s)) == s; }

// Whether every key path and value name under root survives UTF-8.
bool NamesFitUtf8(const hk::Registry& registry, std::u16string_view root) {
    for (const hk::RegKey* key : registry.KeysUnder(root)) {
        if (!Utf8CarriesExactly(key->path)) return false;
        for (const hk::RegValue& value : key->values) {
            if (!Utf8CarriesExactly(value.name)) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    hk::Registry registry;
    try {
        hk::ImportRegText(registry, text);
    } catch (const hk::RegFileError&) {
        return 0;
    }
    for (std::u16string_view root : {u"\\Registry\\Machine", u"\\Registry\\User"}) {
        if (registry.FindKey(root) == nullptr) continue;
        for (const hk::RegTextEncoding encoding : {hk::RegTextEncoding::Utf16LeBom, hk::RegTextEncoding::Utf8}) {
            if (encoding == hk::RegTextEncoding::Utf8 && !NamesFitUtf8(registry, root)) continue;
            std::string written;
            try {
                written = hk::ExportRegText(registry, root, encoding);
            } catch (const std::invalid_argument&) {
                continue;  // a name with a line break: refused by design
            }
            hk::Registry again;
            try {
                hk::ImportRegText(again, written);
            } catch (const hk::RegFileError& error) {
                std::fprintf(stderr, "exported text does not import: %s\n", error.what());
                FUZZ_CHECK(false);
            }
            FUZZ_CHECK(hk::ExportRegText(again, root, encoding) == written);
        }
    }
    return 0;
}
