// ImportLolDrivers over any CSV text; see import_fuzz.h.
#include "import_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    elamctl::ImportResult result;
    try {
        result = elamctl::ImportLolDrivers(elamctl::Bytes(data, data + size), "fuzz.csv");
    } catch (const elamctl::ToolError&) {
        return 0;
    }
    fuzz::CheckImport(result);
    return 0;
}
