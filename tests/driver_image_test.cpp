// The driver's own version reader over the shipped image, mapped as the
// loader maps it: the named certificate-information type is passed over and
// the version block the build wrote is found.
#include <cstdio>
#include <filesystem>

#include "hostkernel/pe_image.h"
#include "support/kernel_test.h"

namespace {

ULONGLONG ParseVersion(const char* dotted) {
    unsigned parts[4] = {};
    EXPECT_EQ(std::sscanf(dotted, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]), 4);
    return (ULONGLONG{parts[0]} << 48) | (ULONGLONG{parts[1]} << 32) | (ULONGLONG{parts[2]} << 16) | parts[3];
}

}  // namespace

TEST_F(KernelTest, DriverImageVersionResourceReadsBack) {
    if (!std::filesystem::exists(ELAM_DRIVER_IMAGE)) GTEST_SKIP() << "the driver image is not built";
    const hk::MappedImage image = hk::MapImageFile(ELAM_DRIVER_IMAGE);

    ULONGLONG version = VERSION_UNKNOWN;
    PUNICODE_STRING original = nullptr;
    ASSERT_EQ(GetImageVersionInfo(image.base(), image.size(), &version, &original), STATUS_SUCCESS);
    EXPECT_EQ(version, ParseVersion(ELAM_IMAGE_VERSION));
    ASSERT_NE(original, nullptr);
    const std::u16string expected = u"BootGuardElam.sys";
    EXPECT_EQ(hk::ToU16(*original), expected);
    EXPECT_EQ(original->MaximumLength, expected.size() * 2 + 2);
    EXPECT_EQ(original->Buffer[expected.size()], 0) << "the stored value keeps its NUL";
    ExFreePoolWithTag(original, ELAM_POOL_TAG);
}
