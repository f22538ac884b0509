// The host kernel's own services, as the driver relies on them: the tracked
// pool and its traps, the registry query routines, routine lookup, counted
// strings and the two system-information classes.
#include "support/kernel_test.h"
#include "support/registry_data.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using regdata::Bytes;

constexpr ULONG kOtherTag = 0x74736554u;  // "Test"

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

class PoolTest : public KernelTest {};

TEST_F(PoolTest, FreeChecksTheTagAndRefusesUnknownBlocks) {
    void* block = ExAllocatePoolWithTag(PagedPool, 16, ELAM_POOL_TAG);
    ASSERT_NE(block, nullptr);
    EXPECT_THROW(ExFreePoolWithTag(block, kOtherTag), hk::BugCheck);
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 1u) << "a refused free must leave the block live";
    ExFreePoolWithTag(block, ELAM_POOL_TAG);
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u);

    EXPECT_THROW(ExFreePoolWithTag(block, ELAM_POOL_TAG), hk::BugCheck) << "double free";
    int on_stack = 0;
    EXPECT_THROW(ExFreePoolWithTag(&on_stack, ELAM_POOL_TAG), hk::BugCheck);
    EXPECT_THROW(ExFreePoolWithTag(nullptr, ELAM_POOL_TAG), hk::BugCheck);
}

TEST_F(PoolTest, FreshBlocksAreFilledNotZeroed) {
    for (bool special : {false, true}) {
        SCOPED_TRACE(special ? "special pool" : "plain pool");
        hk::PoolSetSpecial(special);
        auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 77, kOtherTag));
        ASSERT_NE(block, nullptr);
        for (int i = 0; i < 77; ++i) ASSERT_EQ(block[i], hk::kPoolFillByte) << "byte " << i;
        ExFreePoolWithTag(block, kOtherTag);
    }
}

// Allocates Sizes.size() blocks in turn and reports which ones were granted.
std::vector<bool> AllocateSeries(const std::vector<SIZE_T>& sizes, ULONG tag = kOtherTag) {
    std::vector<bool> granted;
    for (SIZE_T size : sizes) {
        void* block = ExAllocatePoolWithTag(PagedPool, size, tag);
        granted.push_back(block != nullptr);
        if (block != nullptr) ExFreePoolWithTag(block, tag);
    }
    return granted;
}

TEST_F(PoolTest, InjectedFailures) {
    struct Case {
        const char* label;
        std::function<void()> arm;
        std::vector<bool> granted;
    };
    const std::vector<SIZE_T> sizes = {8, 16, 32, 16, 8};
    const std::vector<Case> cases = {
        {"FailNth(3)", [] { hk::PoolFailNth(3); }, {true, true, false, true, true}},
        {"FailFrom(3)", [] { hk::PoolFailFrom(3); }, {true, true, false, false, false}},
        {"FailWhen(size 16)",
         [] { hk::PoolFailWhen([](std::uint64_t, std::size_t size, ULONG) { return size == 16; }); },
         {true, false, true, false, true}},
        {"FailWhen(serial 1 or 5)",
         [] { hk::PoolFailWhen([](std::uint64_t serial, std::size_t, ULONG) { return serial == 1 || serial == 5; }); },
         {false, true, true, true, false}},
        {"cleared", [] { hk::PoolFailFrom(1); hk::PoolClearFailures(); }, {true, true, true, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        hk::PoolReset();  // allocation numbers count from 1 again
        c.arm();
        EXPECT_EQ(AllocateSeries(sizes), c.granted);
        const hk::PoolStats stats = hk::PoolStatistics();
        EXPECT_EQ(stats.allocations, sizes.size()) << "failed attempts are counted";
        EXPECT_EQ(stats.failed, static_cast<std::uint64_t>(std::count(c.granted.begin(), c.granted.end(), false)));
    }
}

TEST_F(PoolTest, FailWhenSeesSerialSizeAndTag) {
    std::vector<std::tuple<std::uint64_t, std::size_t, ULONG>> seen;
    hk::PoolFailWhen([&](std::uint64_t serial, std::size_t size, ULONG tag) {
        seen.emplace_back(serial, size, tag);
        return tag == ELAM_POOL_TAG;
    });
    EXPECT_EQ(AllocateSeries({24}, kOtherTag), std::vector<bool>{true});
    EXPECT_EQ(AllocateSeries({40}, ELAM_POOL_TAG), std::vector<bool>{false});
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_tuple(std::uint64_t{1}, std::size_t{24}, kOtherTag));
    EXPECT_EQ(seen[1], std::make_tuple(std::uint64_t{2}, std::size_t{40}, ELAM_POOL_TAG));
}

TEST_F(PoolTest, LiveBlocksAreCountedPerTag) {
    void* a = ExAllocatePoolWithTag(PagedPool, 10, ELAM_POOL_TAG);
    void* b = ExAllocatePoolWithTag(PagedPool, 20, kOtherTag);
    void* c = ExAllocatePoolWithTag(PagedPool, 30, ELAM_POOL_TAG);
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 2u);
    EXPECT_EQ(hk::PoolLiveCount(kOtherTag), 1u);
    EXPECT_EQ(hk::PoolLiveCount(0x12345678u), 0u);

    const auto blocks = hk::PoolLiveBlocks();
    ASSERT_EQ(blocks.size(), 3u);
    for (const hk::PoolBlock& block : blocks) {
        if (block.address == a) EXPECT_EQ(std::make_tuple(block.size, block.tag, block.serial), std::make_tuple(std::size_t{10}, ELAM_POOL_TAG, std::uint64_t{1}));
        if (block.address == b) EXPECT_EQ(std::make_tuple(block.size, block.tag, block.serial), std::make_tuple(std::size_t{20}, kOtherTag, std::uint64_t{2}));
        if (block.address == c) EXPECT_EQ(std::make_tuple(block.size, block.tag, block.serial), std::make_tuple(std::size_t{30}, ELAM_POOL_TAG, std::uint64_t{3}));
    }

    ExFreePoolWithTag(c, ELAM_POOL_TAG);
    hk::PoolStats stats = hk::PoolStatistics();
    EXPECT_EQ(stats.live_blocks, 2u);
    EXPECT_EQ(stats.live_bytes, 30u);
    EXPECT_EQ(stats.peak_blocks, 3u);
    EXPECT_EQ(stats.peak_bytes, 60u);
    ExFreePoolWithTag(a, ELAM_POOL_TAG);
    ExFreePoolWithTag(b, kOtherTag);
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u);
    EXPECT_EQ(hk::PoolStatistics().live_bytes, 0u);
}

TEST_F(PoolTest, SpecialPoolPlacesEachBlockAgainstItsGuardPage) {
    hk::PoolSetSpecial(true);
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (SIZE_T size : {SIZE_T{1}, SIZE_T{13}, SIZE_T{4096}, SIZE_T{5000}}) {
        auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, size, kOtherTag));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ((reinterpret_cast<std::uintptr_t>(block) + size) % page, 0u) << size;
        std::memset(block, 0, size);  // every byte of the block itself is usable
        ExFreePoolWithTag(block, kOtherTag);
    }
}

TEST_F(PoolTest, SpecialPoolCatchesAnUnderrunOnFree) {
    hk::PoolSetSpecial(true);
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 32, kOtherTag));
    ASSERT_NE(block, nullptr);
    block[-1] = 0;
    EXPECT_THROW(ExFreePoolWithTag(block, kOtherTag), hk::BugCheck);
    EXPECT_EQ(hk::PoolLiveCount(kOtherTag), 0u);
}

using SpecialPoolDeathTest = PoolTest;

TEST_F(SpecialPoolDeathTest, OneBytePastTheEndFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            hk::PoolSetSpecial(true);
            auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(PagedPool, 24, kOtherTag));
            block[23] = 1;
            block[24] = 1;
        },
        "");
}

// ---------------------------------------------------------------------------
// Traps
// ---------------------------------------------------------------------------

TEST_F(PoolTest, FastFailThrowsAndIsCountedUntilReset) {
    EXPECT_EQ(hk::FastFailCount(), 0u);
    try {
        ElamFastFail(FAST_FAIL_CORRUPT_LIST_ENTRY);
        FAIL() << "fast-fail returned";
    } catch (const hk::FastFail& fail) {
        EXPECT_EQ(fail.code, 3u);
    }
    EXPECT_EQ(hk::FastFailCount(), 1u);
    EXPECT_EQ(hk::LastFastFailCode(), 3u);
    hk::ResetKernel();
    EXPECT_EQ(hk::FastFailCount(), 0u);
}

// ---------------------------------------------------------------------------
// Registry queries
// ---------------------------------------------------------------------------

const std::u16string kKey = u"\\Registry\\Machine\\Software\\HostKernelTest";

struct Call {
    std::u16string name;
    ULONG type;
    Bytes data;
    PVOID entry_context;
};

struct Recorder {
    std::vector<Call> calls;
    std::u16string fail_on;  // the routine fails for this value name
};

NTSTATUS NTAPI Record(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                      PVOID Context, PVOID EntryContext) {
    auto* recorder = static_cast<Recorder*>(Context);
    const auto* bytes = static_cast<const std::uint8_t*>(ValueData);
    recorder->calls.push_back({hk::ToU16(ValueName), ValueType,
                               bytes == nullptr ? Bytes{} : Bytes(bytes, bytes + ValueLength), EntryContext});
    return recorder->calls.back().name == recorder->fail_on ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

RTL_QUERY_REGISTRY_TABLE Routine(const char16_t* name, ULONG flags = 0, PVOID entry_context = nullptr) {
    RTL_QUERY_REGISTRY_TABLE entry = {};
    entry.QueryRoutine = Record;
    entry.Flags = flags;
    entry.Name = const_cast<PWSTR>(name);
    entry.EntryContext = entry_context;
    return entry;
}

RTL_QUERY_REGISTRY_TABLE DirectDword(const char16_t* name, ULONG* target) {
    RTL_QUERY_REGISTRY_TABLE entry = {};
    entry.Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    entry.Name = const_cast<PWSTR>(name);
    entry.EntryContext = target;
    entry.DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    return entry;
}

NTSTATUS Query(std::vector<RTL_QUERY_REGISTRY_TABLE> table, Recorder* recorder,
               const std::u16string& key = kKey) {
    table.push_back(RTL_QUERY_REGISTRY_TABLE{});
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table.data(), recorder, nullptr);
}

class RegistryQueryTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        hk::TheRegistry().SetValue(kKey, u"A", REG_SZ, regdata::Sz(u"a"));
        hk::TheRegistry().SetValue(kKey, u"B", REG_DWORD, regdata::Dword(2));
        hk::TheRegistry().SetValue(kKey, u"C", REG_BINARY, Bytes{1, 2, 3});
        hk::TheRegistry().SetValue(kKey, u"M", REG_MULTI_SZ, regdata::MultiSz({u"one", u"two"}));
    }
};

TEST_F(RegistryQueryTest, EntriesAreHandledInTableOrder) {
    Recorder recorder;
    int marker = 0;
    // Value names are case-insensitive; the routine sees the stored name.
    ASSERT_EQ(Query({Routine(u"C"), Routine(u"a", 0, &marker), Routine(u"B")}, &recorder), STATUS_SUCCESS);
    ASSERT_EQ(recorder.calls.size(), 3u);
    EXPECT_EQ(recorder.calls[0].name, u"C");
    EXPECT_EQ(recorder.calls[0].type, ULONG{REG_BINARY});
    EXPECT_EQ(recorder.calls[0].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(recorder.calls[1].name, u"A");
    EXPECT_EQ(recorder.calls[1].type, ULONG{REG_SZ});
    EXPECT_EQ(recorder.calls[1].data, regdata::Sz(u"a"));
    EXPECT_EQ(recorder.calls[1].entry_context, &marker);
    EXPECT_EQ(recorder.calls[2].name, u"B");
    EXPECT_EQ(recorder.calls[2].data, regdata::Dword(2));
}

TEST_F(RegistryQueryTest, QueryStopsAtTheFirstFailingEntry) {
    Recorder recorder;
    recorder.fail_on = u"B";
    EXPECT_EQ(Query({Routine(u"A"), Routine(u"B"), Routine(u"C")}, &recorder), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[1].name, u"B");
}

TEST_F(RegistryQueryTest, DirectTypecheckStoresADwordAndRefusesOtherTypes) {
    ULONG b = 7, a = 7, later = 7;
    EXPECT_EQ(Query({DirectDword(u"B", &b)}, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(b, 2u);

    hk::TheRegistry().SetValue(kKey, u"Later", REG_DWORD, regdata::Dword(9));
    b = 7;
    EXPECT_EQ(Query({DirectDword(u"B", &b), DirectDword(u"A", &a), DirectDword(u"Later", &later)}, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(a, 7u) << "a REG_SZ must not reach a DWORD target";
    EXPECT_EQ(later, 7u) << "the query stops at the mismatch";
}

TEST_F(RegistryQueryTest, MultiStringWholeUnderNoexpandElsePerString) {
    Recorder whole;
    ASSERT_EQ(Query({Routine(u"M", RTL_QUERY_REGISTRY_NOEXPAND)}, &whole), STATUS_SUCCESS);
    ASSERT_EQ(whole.calls.size(), 1u);
    EXPECT_EQ(whole.calls[0].type, ULONG{REG_MULTI_SZ});
    EXPECT_EQ(whole.calls[0].data, regdata::MultiSz({u"one", u"two"}));

    Recorder split;
    ASSERT_EQ(Query({Routine(u"M")}, &split), STATUS_SUCCESS);
    ASSERT_EQ(split.calls.size(), 2u);
    EXPECT_EQ(split.calls[0].type, ULONG{REG_SZ});
    EXPECT_EQ(split.calls[0].data, regdata::Sz(u"one"));
    EXPECT_EQ(split.calls[1].type, ULONG{REG_SZ});
    EXPECT_EQ(split.calls[1].data, regdata::Sz(u"two"));
}

TEST_F(RegistryQueryTest, MissingValueIsSkippedAndMissingKeyFails) {
    Recorder recorder;
    ULONG target = 5;
    EXPECT_EQ(Query({Routine(u"Missing"), DirectDword(u"AlsoMissing", &target), Routine(u"A")}, &recorder),
              STATUS_SUCCESS);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].name, u"A");
    EXPECT_EQ(target, 5u);

    Recorder none;
    const std::u16string missing = kKey + u"\\Nowhere";
    EXPECT_EQ(Query({Routine(u"A")}, &none, missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(none.calls.empty());
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(missing.c_str())),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(kKey.c_str())), STATUS_SUCCESS);
}

TEST_F(RegistryQueryTest, ExRoutineIsFoundOnlyWhenExported) {
    UNICODE_STRING ex;
    RtlInitUnicodeString(&ex, u"RtlQueryRegistryValuesEx");
    UNICODE_STRING plain;
    RtlInitUnicodeString(&plain, u"RtlQueryRegistryValues");
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"RtlNoSuchRoutine");

    auto routine = reinterpret_cast<PRTL_QUERY_REGISTRY_VALUES>(MmGetSystemRoutineAddress(&ex));
    ASSERT_NE(routine, nullptr);
    EXPECT_NE(routine, &RtlQueryRegistryValues);
    std::vector<RTL_QUERY_REGISTRY_TABLE> table = {Routine(u"A"), RTL_QUERY_REGISTRY_TABLE{}};
    Recorder recorder;
    EXPECT_EQ(routine(RTL_REGISTRY_ABSOLUTE, kKey.c_str(), table.data(), &recorder, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(hk::State().query_registry_ex_calls, 1u);
    EXPECT_EQ(hk::State().query_registry_calls, 0u);

    EXPECT_EQ(MmGetSystemRoutineAddress(&plain), reinterpret_cast<PVOID>(&RtlQueryRegistryValues));
    EXPECT_EQ(MmGetSystemRoutineAddress(&unknown), nullptr);

    hk::State().export_query_registry_values_ex = false;
    EXPECT_EQ(MmGetSystemRoutineAddress(&ex), nullptr);
    EXPECT_EQ(Query({Routine(u"A")}, &recorder), STATUS_SUCCESS);
    EXPECT_EQ(hk::State().query_registry_calls, 1u);
}

// ---------------------------------------------------------------------------
// Counted strings
// ---------------------------------------------------------------------------

int Sign(LONG v) { return (v > 0) - (v < 0); }

class CountedStringTest : public KernelTest {};

TEST_F(CountedStringTest, CompareUnicodeStringFoldsCase) {
    struct Case {
        std::u16string a, b;
        BOOLEAN insensitive;
        int sign;
    };
    const Case cases[] = {
        {u"bad.sys", u"BAD.SYS", TRUE, 0},
        {u"bad.sys", u"BAD.SYS", FALSE, 1},
        {u"\u00E9t\u00E9.sys", u"\u00C9T\u00C9.SYS", TRUE, 0},  // Latin-1 letters fold too
        {u"\u0434", u"\u0414", TRUE, 0},                        // so do Cyrillic ones
        {u"\u00E9", u"\u00C9", FALSE, 1},
        {u"bad", u"bad.sys", TRUE, -1},
        {u"bad.sys", u"bad", TRUE, 1},
        {u"a", u"B", TRUE, -1},
        {u"[", u"a", TRUE, 1},  // '[' lies between the cases: compared as 'A'
        {u"", u"", TRUE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.a) + " / " + hk::Utf16ToUtf8(c.b));
        const UNICODE_STRING a = hk::MakeUnicodeString(c.a);
        const UNICODE_STRING b = hk::MakeUnicodeString(c.b);
        EXPECT_EQ(Sign(RtlCompareUnicodeString(&a, &b, c.insensitive)), c.sign);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.insensitive), c.sign == 0 ? TRUE : FALSE);
    }
}

TEST_F(CountedStringTest, CompareStringFoldsAsciiCase) {
    struct Case {
        std::string a, b;
        BOOLEAN insensitive;
        int sign;
    };
    const Case cases[] = {
        {"bad.pdb", "BAD.PDB", TRUE, 0},
        {"bad.pdb", "BAD.PDB", FALSE, 1},
        {"bad", "bad.pdb", TRUE, -1},
        {"b", "a", TRUE, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        STRING a{static_cast<USHORT>(c.a.size()), static_cast<USHORT>(c.a.size()), const_cast<PCHAR>(c.a.data())};
        STRING b{static_cast<USHORT>(c.b.size()), static_cast<USHORT>(c.b.size()), const_cast<PCHAR>(c.b.data())};
        EXPECT_EQ(Sign(RtlCompareString(&a, &b, c.insensitive)), c.sign);
    }
}

TEST_F(CountedStringTest, UnicodeToAnsiSucceedsOnlyWhenTheTextAndItsNulFit) {
    struct Case {
        std::u16string source;
        USHORT capacity;
        NTSTATUS status;
        std::string text;  // what lands in the buffer
    };
    const Case cases[] = {
        {u"\\a\\b.sys", 9, STATUS_SUCCESS, "\\a\\b.sys"},
        {u"\\a\\b.sys", 8, STATUS_BUFFER_OVERFLOW, "\\a\\b.sy"},
        {u"\u00E9", 3, STATUS_SUCCESS, "\xC3\xA9"},  // UTF-8 is the host's 8-bit form
        {u"\u00E9", 2, STATUS_BUFFER_OVERFLOW, "\xC3"},
        {u"", 1, STATUS_SUCCESS, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.source) + " into " + std::to_string(c.capacity));
        char buffer[16];
        std::memset(buffer, 'Z', sizeof(buffer));
        ANSI_STRING destination{0, c.capacity, buffer};
        const UNICODE_STRING source = hk::MakeUnicodeString(c.source);
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&destination, &source, FALSE), c.status);
        EXPECT_EQ(std::string(buffer, destination.Length), c.text);
        EXPECT_EQ(buffer[destination.Length], '\0');
        EXPECT_EQ(buffer[c.capacity], 'Z') << "written past the capacity";
    }
}

TEST_F(CountedStringTest, WcsnicmpComparesTheFirstCharactersIgnoringCase) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        SIZE_T n;
        int sign;
    };
    const Case cases[] = {
        {u"VarFileInfo", u"varfileinfoX", 11, 0},
        {u"VarFileInfo", u"varfileinfoX", 12, -1},
        {u"ab", u"AB", 10, 0},  // stops at the common NUL
        {u"a", u"b", 1, -1},
        {u"\u00E9", u"\u00C9", 1, 0},
        {u"x", u"y", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hk::Utf16ToUtf8(c.a) + " / " + hk::Utf16ToUtf8(c.b) + " n=" + std::to_string(c.n));
        EXPECT_EQ(Sign(_wcsnicmp(c.a, c.b, c.n)), c.sign);
    }
}

// ---------------------------------------------------------------------------
// System information
// ---------------------------------------------------------------------------

alignas(16) unsigned char g_ImageA[64];
alignas(16) unsigned char g_ImageB[64];

class SystemInformationTest : public KernelTest {};

TEST_F(SystemInformationTest, ModuleListReportsTheNeededLengthWhenShort) {
    hk::State().modules = {{g_ImageA, sizeof(g_ImageA), "\\SystemRoot\\a.sys"},
                           {g_ImageB, sizeof(g_ImageB), "\\SystemRoot\\b.sys"}};
    const ULONG size = 3 * sizeof(RTL_PROCESS_MODULE_INFORMATION_EX);  // the kernel heads the list
    std::vector<unsigned char> buffer(size);
    ULONG needed = 0;
    EXPECT_EQ(ZwQuerySystemInformation(SystemModuleInformationEx, nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, size);
    needed = 0;
    EXPECT_EQ(ZwQuerySystemInformation(SystemModuleInformationEx, buffer.data(), size - 1, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, size);
    EXPECT_EQ(ZwQuerySystemInformation(SystemModuleInformationEx, buffer.data(), size, &needed), STATUS_SUCCESS);
    EXPECT_EQ(hk::State().module_list_queries, 3u);

    hk::State().module_list_failure = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(ZwQuerySystemInformation(SystemModuleInformationEx, buffer.data(), size, &needed), STATUS_UNSUCCESSFUL);
}

TEST_F(SystemInformationTest, ModuleListEntryLayout) {
    hk::State().modules = {{g_ImageA, 0x1234, "\\SystemRoot\\system32\\drivers\\a.sys"},
                           {g_ImageB, 0x5678, std::string(300, 'p')}};
    std::vector<unsigned char> buffer(3 * 0x140, 0xEE);
    ULONG needed = 0;
    ASSERT_EQ(ZwQuerySystemInformation(SystemModuleInformationEx, buffer.data(), static_cast<ULONG>(buffer.size()), &needed),
              STATUS_SUCCESS);

    auto field = [&](std::size_t entry, std::size_t offset, auto value) {
        std::memcpy(&value, buffer.data() + entry * 0x140 + offset, sizeof(value));
        return value;
    };
    auto path = [&](std::size_t entry) {
        return std::string(reinterpret_cast<const char*>(buffer.data() + entry * 0x140 + 0x30));
    };
    EXPECT_EQ(path(0), "\\SystemRoot\\system32\\ntoskrnl.exe");
    EXPECT_EQ(field(0, 0, USHORT{}), 0x140);
    EXPECT_EQ(field(1, 0, USHORT{}), 0x140);
    EXPECT_EQ(field(2, 0, USHORT{}), 0) << "the last entry ends the chain";
    EXPECT_EQ(field(1, 0x18, PVOID{}), static_cast<PVOID>(g_ImageA));
    EXPECT_EQ(field(1, 0x20, ULONG{}), 0x1234u);
    EXPECT_EQ(path(1), "\\SystemRoot\\system32\\drivers\\a.sys");
    EXPECT_NE(field(1, 0x138, PVOID{}), reinterpret_cast<PVOID>(1)) << "fresh entries carry no consumed mark";
    EXPECT_EQ(field(2, 0x18, PVOID{}), static_cast<PVOID>(g_ImageB));
    EXPECT_EQ(field(2, 0x20, ULONG{}), 0x5678u);
    EXPECT_EQ(path(2), std::string(255, 'p')) << "an overlong path is cut and stays NUL-terminated";
}

TEST_F(SystemInformationTest, CodeIntegrityOptionsInTheSecondField) {
    SYSTEM_CODEINTEGRITY_INFORMATION info{sizeof(info), 0xDEAD};
    EXPECT_EQ(ZwQuerySystemInformation(SystemCodeIntegrityInformation, &info, sizeof(info), nullptr),
              STATUS_INVALID_PARAMETER) << "no options configured: the query fails";
    hk::State().code_integrity_failure = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(ZwQuerySystemInformation(SystemCodeIntegrityInformation, &info, sizeof(info), nullptr),
              STATUS_UNSUCCESSFUL);

    hk::State().code_integrity_options = 0x83;
    EXPECT_EQ(ZwQuerySystemInformation(SystemCodeIntegrityInformation, &info, sizeof(info), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(info.Length, 8u);
    EXPECT_EQ(info.CodeIntegrityOptions, 0x83u);

    SYSTEM_CODEINTEGRITY_INFORMATION unsized{0, 0};
    EXPECT_EQ(ZwQuerySystemInformation(SystemCodeIntegrityInformation, &unsized, sizeof(unsized), nullptr),
              STATUS_INFO_LENGTH_MISMATCH) << "the record's Length field must say 8";
    EXPECT_EQ(ZwQuerySystemInformation(SystemCodeIntegrityInformation, &info, 4, nullptr), STATUS_INFO_LENGTH_MISMATCH);
}

}  // namespace
