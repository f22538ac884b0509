// The module snapshot taken at start-up and the lookup of a boot driver's
// entry in it. The lookup never reads an image, so any buffer serves as one.
#include "support/driver_state.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr ULONG kEntrySize = sizeof(RTL_PROCESS_MODULE_INFORMATION_EX);  // 0x140
constexpr ULONG kFirstSize = 8192;
const std::string kDrivers = "\\SystemRoot\\System32\\drivers\\";

alignas(16) unsigned char g_Images[4][64];

class ModuleSnapshotTest : public DriverStateTest {
protected:
    static void AddModules(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            hk::State().modules.push_back({g_Images[i % 4], 0x1000, kDrivers + "m" + std::to_string(i) + ".sys"});
        }
    }
    static std::size_t SnapshotBlockSize() {
        for (const hk::PoolBlock& block : hk::PoolLiveBlocks()) {
            if (block.address == g_ModuleSnapshot) return block.size;
        }
        return 0;
    }
    static std::vector<std::string> SnapshotPaths() {
        std::vector<std::string> paths;
        auto* position = static_cast<const unsigned char*>(g_ModuleSnapshot);
        for (;;) {
            auto* entry = reinterpret_cast<const RTL_PROCESS_MODULE_INFORMATION_EX*>(position);
            paths.emplace_back(reinterpret_cast<const char*>(entry->BaseInfo.FullPathName));
            if (entry->NextOffset == 0) return paths;
            position += entry->NextOffset;
        }
    }
};

TEST_F(ModuleSnapshotTest, SizeOfTheFirstBufferDecidesOnTheRetry) {
    struct Case {
        std::size_t extra_modules;  // behind the kernel, which heads the list
        std::size_t queries;
        std::size_t size;
    };
    const Case cases[] = {
        {0, 1, kFirstSize},
        {24, 1, kFirstSize},                  // 25 entries: 8,000 bytes
        {25, 2, 26 * kEntrySize},             // 26 entries: 8,320 bytes
        {40, 2, 41 * kEntrySize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra_modules);
        ReleaseDriverState();
        hk::ResetKernel();
        AddModules(c.extra_modules);
        EXPECT_EQ(CaptureModuleSnapshot(), STATUS_SUCCESS);
        ASSERT_NE(g_ModuleSnapshot, nullptr);
        EXPECT_EQ(hk::State().module_list_queries, c.queries);
        EXPECT_EQ(hk::PoolStatistics().allocations, c.queries);
        EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 1u);
        EXPECT_EQ(SnapshotBlockSize(), c.size);
        const auto paths = SnapshotPaths();
        ASSERT_EQ(paths.size(), c.extra_modules + 1);
        if (c.extra_modules > 0) EXPECT_EQ(paths.back(), kDrivers + "m" + std::to_string(c.extra_modules - 1) + ".sys");
    }
}

TEST_F(ModuleSnapshotTest, FailuresLeaveNoSnapshot) {
    struct Case {
        const char* label;
        std::size_t extra_modules;
        std::function<void()> arm;
        NTSTATUS status;
        std::size_t queries;
    };
    const Case cases[] = {
        {"first allocation", 0, [] { hk::PoolFailNth(1); }, STATUS_NO_MEMORY, 0},
        {"query fails", 0, [] { hk::State().module_list_failure = STATUS_UNSUCCESSFUL; }, STATUS_UNSUCCESSFUL, 1},
        {"query fails on a long list", 30, [] { hk::State().module_list_failure = STATUS_ACCESS_VIOLATION; },
         STATUS_ACCESS_VIOLATION, 1},
        {"second allocation", 30, [] { hk::PoolFailNth(2); }, STATUS_NO_MEMORY, 1},
        {"second query fails",
         30,
         [] {
             hk::PoolFailWhen([](std::uint64_t serial, std::size_t, ULONG) {
                 if (serial == 2) hk::State().module_list_failure = STATUS_UNSUCCESSFUL;
                 return false;
             });
         },
         STATUS_UNSUCCESSFUL, 2},
        {"list grew between the queries: no third attempt",
         30,
         [] {
             hk::PoolFailWhen([](std::uint64_t serial, std::size_t, ULONG) {
                 if (serial == 2) AddModules(5);
                 return false;
             });
         },
         STATUS_INFO_LENGTH_MISMATCH, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        hk::ResetKernel();
        AddModules(c.extra_modules);
        c.arm();
        EXPECT_EQ(CaptureModuleSnapshot(), c.status);
        EXPECT_EQ(g_ModuleSnapshot, nullptr);
        EXPECT_EQ(hk::State().module_list_queries, c.queries);
        EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u);
    }
}

class FindModuleTest : public ModuleSnapshotTest {
protected:
    void Capture() { ASSERT_EQ(CaptureModuleSnapshot(), STATUS_SUCCESS); }

    static PRTL_PROCESS_MODULE_INFORMATION_EX Find(const std::u16string& path) {
        const UNICODE_STRING name = hk::MakeUnicodeString(path);
        return FindModuleForImage(&name);
    }
    static std::u16string Wide(const std::string& s) { return hk::Utf8ToUtf16(s); }
};

TEST_F(FindModuleTest, EachEntryIsHandedOutOnce) {
    const std::string a = kDrivers + "a.sys";
    const std::string b = kDrivers + "b.sys";
    hk::State().modules = {{g_Images[0], 0x1000, a}, {g_Images[1], 0x2000, b}, {g_Images[2], 0x3000, b}};
    Capture();

    PRTL_PROCESS_MODULE_INFORMATION_EX first = Find(Wide(b));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->BaseInfo.ImageBase, g_Images[1]);
    EXPECT_EQ(first->BaseInfo.ImageSize, 0x2000u);
    EXPECT_EQ(first->DefaultBase, reinterpret_cast<PVOID>(1)) << "the consumed mark";

    PRTL_PROCESS_MODULE_INFORMATION_EX second = Find(Wide(b));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->BaseInfo.ImageBase, g_Images[2]);
    EXPECT_EQ(second->DefaultBase, reinterpret_cast<PVOID>(1));
    EXPECT_EQ(Find(Wide(b)), nullptr) << "no unmarked entry of that path is left";

    PRTL_PROCESS_MODULE_INFORMATION_EX other = Find(Wide(a));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->BaseInfo.ImageBase, g_Images[0]);
    EXPECT_EQ(Find(Wide(a)), nullptr);
    EXPECT_EQ(Find(u"\\SystemRoot\\system32\\ntoskrnl.exe")->BaseInfo.ImageSize, 4096u)
        << "the list's head entry is found like any other";
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 1u) << "only the snapshot stays";
}

TEST_F(FindModuleTest, PathsAreComparedExactly) {
    const std::string a = kDrivers + "a.sys";
    hk::State().modules = {{g_Images[0], 0x1000, a}};
    Capture();
    const std::u16string misses[] = {
        u"\\SystemRoot\\System32\\drivers\\A.SYS",  // letter case differs
        u"\\systemroot\\system32\\drivers\\a.sys",
        u"\\SystemRoot\\System32\\drivers\\a.sy",   // a prefix
        u"\\SystemRoot\\System32\\drivers\\a.sys ", // longer
        u"a.sys",
        u"",
    };
    for (const std::u16string& path : misses) {
        SCOPED_TRACE(hk::Utf16ToUtf8(path));
        EXPECT_EQ(Find(path), nullptr);
    }
    ASSERT_NE(Find(Wide(a)), nullptr) << "the misses left the entry unmarked";
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 1u);
}

TEST_F(FindModuleTest, PathWhose8BitFormOverflowsTheCapacityNeverMatches) {
    // One byte of room per character: a character that needs two does not fit.
    const std::string utf8 = kDrivers + "\xC3\xA9.sys";
    // What a conversion cut to the capacity would leave: one byte short.
    const std::string cut = utf8.substr(0, utf8.size() - 1);
    hk::State().modules = {{g_Images[0], 0x1000, utf8}, {g_Images[1], 0x1000, cut}};
    Capture();
    EXPECT_EQ(Find(Wide(utf8)), nullptr);
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 1u) << "the converted path is freed";
    const auto* entries = static_cast<const RTL_PROCESS_MODULE_INFORMATION_EX*>(g_ModuleSnapshot);
    EXPECT_NE(entries[1].DefaultBase, reinterpret_cast<PVOID>(1));
    EXPECT_NE(entries[2].DefaultBase, reinterpret_cast<PVOID>(1));
}

TEST_F(FindModuleTest, AllocationFailureFindsNothingAndMarksNothing) {
    const std::string a = kDrivers + "a.sys";
    hk::State().modules = {{g_Images[0], 0x1000, a}};
    Capture();
    hk::PoolFailFrom(1);
    EXPECT_EQ(Find(Wide(a)), nullptr);
    hk::PoolClearFailures();
    EXPECT_NE(Find(Wide(a)), nullptr);
}

TEST_F(FindModuleTest, FullPathNameFillingAll256BytesIsNeverReadPast) {
    hk::State().modules = {{g_Images[0], 0x1000, "placeholder"}, {g_Images[1], 0x1000, std::string(255, 'p')}};
    Capture();
    auto* entries = static_cast<PRTL_PROCESS_MODULE_INFORMATION_EX>(g_ModuleSnapshot);
    // No NUL in the field: the bytes behind it (ImageChecksum) are zero, so a
    // comparison that ran on would take them for the terminator.
    std::memset(entries[1].BaseInfo.FullPathName, 'q', 256);
    entries[1].ImageChecksum = 0;
    EXPECT_EQ(Find(std::u16string(256, u'q')), nullptr);
    EXPECT_EQ(Find(std::u16string(255, u'q')), nullptr);

    // 255 characters and the NUL: the longest path an entry holds.
    EXPECT_NE(Find(std::u16string(255, u'p')), nullptr);
}

TEST_F(FindModuleTest, NoSnapshotFindsNothing) {
    EXPECT_EQ(g_ModuleSnapshot, nullptr);
    EXPECT_EQ(Find(u"\\SystemRoot\\system32\\ntoskrnl.exe"), nullptr);
    EXPECT_EQ(hk::PoolStatistics().allocations, 0u);
}

}  // namespace
