// The host kernel: a user-mode implementation of the kernel services the
// driver uses, with the powers of a test bed (pool tracking and injected
// failures, an observable fast-fail, an in-memory registry, settable kernel
// state). Host code (tests, tool, benchmarks) drives it through this header;
// driver code sees only the kernel routines of platform/platform.h.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hk {

// ---------------------------------------------------------------------------
// Traps: what stops a real machine stops the host kernel's caller instead.
// ---------------------------------------------------------------------------

// Thrown by the fast-fail routine. The driver's caller never resumes.
struct FastFail {
    ULONG code;
};

// Thrown when the driver misuses a kernel service in a way that would crash a
// real machine (a double free, a free with the wrong tag, an unknown block).
struct BugCheck : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Number of fast-fails raised since the last reset, and the last code.
std::size_t FastFailCount();
ULONG LastFastFailCode();

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
struct PoolBlock {
    const void* address;
    std::size_t size;
    ULONG tag;
    std::uint64_t serial;  // 1-based allocation number since the last reset
};

struct PoolStats {
    std::size_t live_blocks = 0;
    std::size_t live_bytes = 0;
    std::size_t peak_blocks = 0;
    std::size_t peak_bytes = 0;
    std::uint64_t allocations = 0;  // attempts, failed ones included
    std::uint64_t failed = 0;       // allocations refused by injection
};

// Frees every block still live (read PoolLiveBlocks() first to report them as
// leaks) and forgets every failure rule and statistic.
void PoolReset();
PoolStats PoolStatistics();
std::vector<PoolBlock> PoolLiveBlocks();
std::size_t PoolLiveCount(ULONG tag);

// Injected failures. Allocation numbers count from 1 since the last reset.
void PoolFailNth(std::uint64_t n);     // only allocation n fails
void PoolFailFrom(std::uint64_t n);    // allocation n and every later one fail
void PoolFailWhen(std::function<bool(std::uint64_t serial, std::size_t size, ULONG tag)> predicate);
void PoolClearFailures();

// Special pool: every block is placed against an inaccessible page, with a
// pattern in front of it that is checked on free, so that an overrun faults
// where it happens and an underrun is caught at the latest on free.
// Alignment (a power of two up to 16): where blocks start. With 1 each block
// ends flush against the page, so a one-byte overrun faults, but a block's
// header may lie at an odd address. With 16, the pool's own alignment on x64
// (the kernel's special pool keeps it too), a block ends up to 15 bytes short
// of the page; those bytes hold the pattern, so an overrun into them is caught
// on free instead. Use 16 wherever the driver's records live in the blocks.
void PoolSetSpecial(bool on, std::size_t alignment = 1);

// The byte that fills every fresh block.
constexpr unsigned char kPoolFillByte = 0xA5;

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------
struct RegValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct RegKey {
    std::u16string path;  // absolute, as first created: \Registry\Machine\...
    std::vector<RegValue> values;
};

// An in-memory registry. Key paths are absolute kernel paths
// (\Registry\Machine\...), names are case-insensitive.
class Registry {
public:
    void Clear();
    // Creates the key and every missing parent. Returns the key.
    RegKey& CreateKey(std::u16string_view path);
    RegKey* FindKey(std::u16string_view path);
    const RegKey* FindKey(std::u16string_view path) const;
    bool DeleteKey(std::u16string_view path);  // with its subkeys
    void SetValue(std::u16string_view key, std::u16string_view name, ULONG type,
                  std::vector<std::uint8_t> data);
    const RegValue* GetValue(std::u16string_view key, std::u16string_view name) const;
    bool DeleteValue(std::u16string_view key, std::u16string_view name);
    // Keys in path order (case-insensitive), the key itself and every key below it.
    std::vector<const RegKey*> KeysUnder(std::u16string_view path) const;
    std::vector<const RegKey*> AllKeys() const;

private:
    std::vector<RegKey> keys_;
};

Registry& TheRegistry();

// Case folding and path helpers shared by the registry and its text format.
std::u16string FoldCase(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Registry failure injection: every query, write or delete that names this key
// fails with the status given (0 switches it off).
void RegistryFailKey(std::u16string_view path, NTSTATUS status);

// ---------------------------------------------------------------------------
// Kernel state
// ---------------------------------------------------------------------------
struct ModuleRecord {
    void* base;
    ULONG size;
    std::string path;  // 8-bit full path as the module list holds it
};

struct KernelState {
    // Whether MmGetSystemRoutineAddress finds RtlQueryRegistryValuesEx.
    bool export_query_registry_values_ex = true;
    // Code-integrity options of class 103; none: the query fails.
    std::optional<ULONG> code_integrity_options;
    NTSTATUS code_integrity_failure = STATUS_INVALID_PARAMETER;
    // The module list of class 77, in order.
    std::vector<ModuleRecord> modules;
    // Class 77 fails with this status when set (0: answer normally).
    NTSTATUS module_list_failure = STATUS_SUCCESS;
    // Boot-driver callback registrations, in order.
    struct Registration {
        PBOOT_DRIVER_CALLBACK_FUNCTION routine;
        PVOID context;
    };
    std::vector<Registration> boot_callbacks;
    bool fail_boot_callback_registration = false;
    // Counters of the calls the driver made.
    std::size_t query_registry_calls = 0;
    std::size_t query_registry_ex_calls = 0;
    std::size_t module_list_queries = 0;
};

KernelState& State();

// Restores a fresh kernel: pool, registry, state, kernel variables, traps.
void ResetKernel();

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);
// A UNICODE_STRING over the characters of s (not owned, not terminated).
UNICODE_STRING MakeUnicodeString(const std::u16string& s);
std::u16string ToU16(const UNICODE_STRING& s);
std::u16string ToU16(const WCHAR* nul_terminated);

}  // namespace hk
