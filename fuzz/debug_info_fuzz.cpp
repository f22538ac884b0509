// GetImageDebugInfo over any mapped image (see image_fuzz.h): no read past
// the image end, success always, a name that is the last component of the
// record's path, and nothing left in the pool.
//
// Input: a flags byte (bit 0: ask for the GUID; bit 1: ask for the name;
// bit 2 with bits 3-7: fail that allocation), then the image.
#include "image_fuzz.h"

#include <array>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::uint8_t flags = input.Byte();
    const hk::MappedImage image = fuzz::MapFuzzedImage(input.Rest());

    hk::PoolReset();
    if (flags & 4) hk::PoolFailNth((flags >> 3) + 1u);
    std::array<UCHAR, 16> guid;
    guid.fill(0x5A);
    PANSI_STRING name = nullptr;
    const bool wantGuid = (flags & 1) != 0;
    const bool wantName = (flags & 2) != 0;
    const std::uint64_t faults = hk::GuardedFaultCount();

    const NTSTATUS status = GetImageDebugInfo(image.base(), image.size(), wantGuid ? guid.data() : nullptr,
                                              wantName ? &name : nullptr);

    FUZZ_CHECK(hk::GuardedFaultCount() == faults);  // a read outside the image
    FUZZ_CHECK(status == STATUS_SUCCESS);
    if (!wantGuid) {
        std::array<UCHAR, 16> untouched;
        untouched.fill(0x5A);
        FUZZ_CHECK(guid == untouched);
    }
    if (name != nullptr) {
        FUZZ_CHECK(wantName);
        FUZZ_CHECK(name->Length == name->MaximumLength);
        FUZZ_CHECK(name->Buffer == reinterpret_cast<PCHAR>(name + 1));
        const auto* begin = reinterpret_cast<const std::uint8_t*>(name->Buffer);
        const auto* end = begin + name->Length;
        FUZZ_CHECK(std::find(begin, end, '\\') == end && std::find(begin, end, '/') == end);
        const auto* first = image.bytes();
        const auto* last = first + image.size();
        FUZZ_CHECK(std::search(first, last, begin, end) != last);
        ExFreePoolWithTag(name, ELAM_POOL_TAG);
    }
    FUZZ_CHECK(hk::PoolLiveCount(ELAM_POOL_TAG) == 0);
    hk::PoolReset();
    return 0;
}
