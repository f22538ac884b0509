// hk::ImportRegText over any bytes: a malformed file is refused with
// RegFileError and nothing else; a file that imports writes out as .reg text
// that imports again to the same registry (export, import, export gives the
// same text). The export refuses, and only then, what .reg text cannot
// carry: a name with a line break, or in UTF-8 an unpaired surrogate.
#include "fuzz_support.h"
#include "hostkernel/regfile.h"

#include <stdexcept>
#include <string_view>

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
            std::string written;
            try {
                written = hk::ExportRegText(registry, root, encoding);
            } catch (const std::invalid_argument&) {
                continue;  // refused by design
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
