// FindModuleForImage over any image path, against a module list that holds
// some fixed paths and one path from the input: the entry found, if any, is
// the first unconsumed one whose path equals the image path's 8-bit form (up
// to its first NUL); it is marked, so a second lookup never returns it again.
//
// Input: the module path (8-bit) up to the first 0xFF byte, then the image
// path as UTF-16LE.
#include "fuzz_support.h"
#include "harness/boot.h"

#include <string>
#include <vector>

namespace {

alignas(4096) unsigned char g_Image[4096];

const char* const kFixedPaths[] = {
    "\\SystemRoot\\System32\\drivers\\disk.sys",
    "\\SystemRoot\\System32\\drivers\\DISK.SYS",
    "\\SystemRoot\\System32\\drivers\\disk.sys",
    "\\SystemRoot\\System32\\drivers\\caf\xC3\xA9.sys",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    hk::ResetKernel();
    harness::ResetDriverGlobals();

    const std::span<const std::uint8_t> bytes(data, size);
    const auto split = std::find(bytes.begin(), bytes.end(), 0xFF);
    const std::string inputPath(split == bytes.begin() ? "" : std::string(bytes.begin(), split));
    const std::span<const std::uint8_t> nameBytes =
        split == bytes.end() ? std::span<const std::uint8_t>() : bytes.subspan(split - bytes.begin() + 1);

    std::vector<std::string> paths(std::begin(kFixedPaths), std::end(kFixedPaths));
    paths.push_back(inputPath);
    for (const std::string& path : paths) hk::State().modules.push_back({g_Image, sizeof(g_Image), path});
    FUZZ_CHECK(CaptureModuleSnapshot() == STATUS_SUCCESS);

    const fuzz::ExactCopy characters(nameBytes.first(std::min<std::size_t>(nameBytes.size(), 0xFFFF)));
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(characters.data());
    name.Length = static_cast<USHORT>(characters.size());
    name.MaximumLength = name.Length;

    // The 8-bit form as the host kernel's conversion gives it, when it fits
    // the one byte per character the lookup allows.
    const std::u16string wide(reinterpret_cast<const char16_t*>(characters.data()), characters.size() / 2);
    const std::string narrow = hk::Utf16ToUtf8(wide);
    // The entries of that path, in list order: each entry's FullPathName is
    // compared up to its first NUL, within its 256 bytes.
    const auto* entries = static_cast<PRTL_PROCESS_MODULE_INFORMATION_EX>(g_ModuleSnapshot);
    const std::size_t count = paths.size() + 1;  // the kernel heads the list
    std::vector<std::size_t> matching;
    if (narrow.size() <= wide.size()) {
        const std::string key = narrow.substr(0, narrow.find('\0'));
        for (std::size_t i = 0; i < count; ++i) {
            const char* full = reinterpret_cast<const char*>(entries[i].BaseInfo.FullPathName);
            const std::string listed(full, strnlen(full, sizeof(entries[i].BaseInfo.FullPathName)));
            if (listed == key && key.size() < sizeof(entries[i].BaseInfo.FullPathName)) matching.push_back(i);
        }
    }

    auto index = [](PRTL_PROCESS_MODULE_INFORMATION_EX entry) {
        return static_cast<std::size_t>(entry - static_cast<PRTL_PROCESS_MODULE_INFORMATION_EX>(g_ModuleSnapshot));
    };
    for (std::size_t round = 0; round < 2; ++round) {
        const PRTL_PROCESS_MODULE_INFORMATION_EX found = FindModuleForImage(&name);
        if (round < matching.size()) {
            FUZZ_CHECK(found != nullptr && index(found) == matching[round]);
            FUZZ_CHECK(found->DefaultBase == reinterpret_cast<PVOID>(1));
        } else {
            FUZZ_CHECK(found == nullptr);
        }
    }

    ExFreePoolWithTag(g_ModuleSnapshot, ELAM_POOL_TAG);
    g_ModuleSnapshot = nullptr;
    FUZZ_CHECK(hk::PoolLiveCount(ELAM_POOL_TAG) == 0);
    return 0;
}
