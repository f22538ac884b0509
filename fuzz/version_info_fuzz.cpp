// GetImageVersionInfo over any mapped image (see image_fuzz.h): no read past
// the image end, a status the reader may give, outputs written only with
// success, a well-formed string, and nothing left in the pool.
//
// Input: a flags byte (bit 0: ask for OriginalFilename; bit 1 with bits 2-7:
// fail that allocation), then the image.
#include "image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::uint8_t flags = input.Byte();
    const hk::MappedImage image = fuzz::MapFuzzedImage(input.Rest());

    hk::PoolReset();
    if (flags & 2) hk::PoolFailNth((flags >> 2) + 1u);
    const bool wantName = (flags & 1) != 0;
    constexpr ULONGLONG kUntouched = 0x5A5A5A5A5A5A5A5Aull;
    ULONGLONG version = kUntouched;
    PUNICODE_STRING name = nullptr;
    const std::uint64_t faults = hk::GuardedFaultCount();

    const NTSTATUS status = GetImageVersionInfo(image.base(), image.size(), &version, wantName ? &name : nullptr);

    FUZZ_CHECK(hk::GuardedFaultCount() == faults);  // a read outside the image
    FUZZ_CHECK(status == STATUS_SUCCESS || status == STATUS_NOT_FOUND);
    if (status != STATUS_SUCCESS) {
        FUZZ_CHECK(version == kUntouched);
        FUZZ_CHECK(name == nullptr);
    }
    if (name != nullptr) {
        FUZZ_CHECK(wantName);
        FUZZ_CHECK(name->MaximumLength >= 2 && name->Length == name->MaximumLength - 2);
        FUZZ_CHECK(name->Buffer == reinterpret_cast<PWCH>(name + 1));
        // The characters are the image's own: somewhere inside it.
        const auto* first = image.bytes();
        const auto* last = first + image.size();
        FUZZ_CHECK(std::search(first, last, reinterpret_cast<const std::uint8_t*>(name->Buffer),
                               reinterpret_cast<const std::uint8_t*>(name->Buffer) + name->MaximumLength) != last);
        ExFreePoolWithTag(name, ELAM_POOL_TAG);
    }
    FUZZ_CHECK(hk::PoolLiveCount(ELAM_POOL_TAG) == 0);
    hk::PoolReset();
    return 0;
}
