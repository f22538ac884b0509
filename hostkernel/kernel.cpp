// Kernel state, variables, system information, boot-driver callback
// registration, routine lookup and the fast-fail trap.
#include "hostkernel/internal.h"

#include <algorithm>
#include <cstring>

extern "C" {
ULONG InitSafeBootMode = 0;
BOOLEAN KdDebuggerEnabled = FALSE;
BOOLEAN KdDebuggerNotPresent = TRUE;
NTSTATUS NTAPI HostRtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                            PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                            PVOID Environment);
}

namespace hk {
namespace {

struct Traps {
    std::size_t fast_fails = 0;
    ULONG last_code = 0;
};

Traps& TheTraps() {
    static Traps traps;
    return traps;
}

// The kernel itself always heads the module list, as on a real machine.
alignas(4096) unsigned char g_KernelImage[4096];
constexpr const char* kKernelPath = "\\SystemRoot\\system32\\ntoskrnl.exe";

std::vector<ModuleRecord> ModuleList() {
    std::vector<ModuleRecord> list;
    list.push_back(ModuleRecord{g_KernelImage, sizeof(g_KernelImage), kKernelPath});
    const auto& extra = State().modules;
    list.insert(list.end(), extra.begin(), extra.end());
    return list;
}

NTSTATUS QueryModuleList(PVOID buffer, ULONG length, PULONG needed) {
    ++State().module_list_queries;
    if (State().module_list_failure != STATUS_SUCCESS) return State().module_list_failure;
    const std::vector<ModuleRecord> list = ModuleList();
    const ULONG size = static_cast<ULONG>(list.size() * sizeof(RTL_PROCESS_MODULE_INFORMATION_EX));
    if (needed != nullptr) *needed = size;
    if (length < size || buffer == nullptr) return STATUS_INFO_LENGTH_MISMATCH;
    auto* entry = static_cast<PRTL_PROCESS_MODULE_INFORMATION_EX>(buffer);
    for (std::size_t i = 0; i < list.size(); ++i, ++entry) {
        std::memset(entry, 0, sizeof(*entry));
        const bool last = i + 1 == list.size();
        entry->NextOffset = last ? 0 : static_cast<USHORT>(sizeof(*entry));
        entry->BaseInfo.MappedBase = list[i].base;
        entry->BaseInfo.ImageBase = list[i].base;
        entry->BaseInfo.ImageSize = list[i].size;
        entry->BaseInfo.LoadOrderIndex = static_cast<USHORT>(i);
        entry->BaseInfo.InitOrderIndex = static_cast<USHORT>(i);
        entry->BaseInfo.LoadCount = 1;
        const std::string& path = list[i].path;
        const std::size_t copied = std::min<std::size_t>(path.size(), 255);
        std::memcpy(entry->BaseInfo.FullPathName, path.data(), copied);
        const auto slash = path.substr(0, copied).rfind('\\');
        entry->BaseInfo.OffsetToFileName =
            static_cast<USHORT>(slash == std::string::npos ? 0 : slash + 1);
        entry->DefaultBase = list[i].base;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryCodeIntegrity(PVOID buffer, ULONG length, PULONG needed) {
    if (needed != nullptr) *needed = sizeof(SYSTEM_CODEINTEGRITY_INFORMATION);
    if (!State().code_integrity_options) return State().code_integrity_failure;
    if (buffer == nullptr || length != sizeof(SYSTEM_CODEINTEGRITY_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* info = static_cast<PSYSTEM_CODEINTEGRITY_INFORMATION>(buffer);
    if (info->Length != sizeof(SYSTEM_CODEINTEGRITY_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    info->CodeIntegrityOptions = *State().code_integrity_options;
    return STATUS_SUCCESS;
}

}  // namespace

KernelState& State() {
    static KernelState state;
    return state;
}

void ResetKernel() {
    PoolReset();
    PoolSetSpecial(false);
    ResetRegistry();
    State() = KernelState{};
    TheTraps() = Traps{};
    InitSafeBootMode = 0;
    KdDebuggerEnabled = FALSE;
    KdDebuggerNotPresent = TRUE;
}

std::size_t FastFailCount() { return TheTraps().fast_fails; }
ULONG LastFastFailCode() { return TheTraps().last_code; }

}  // namespace hk

[[noreturn]] void ElamFastFail(ULONG Code) {
    ++hk::TheTraps().fast_fails;
    hk::TheTraps().last_code = Code;
    throw hk::FastFail{Code};
}

extern "C" NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass,
                                                   PVOID SystemInformation,
                                                   ULONG SystemInformationLength,
                                                   PULONG ReturnLength) {
    switch (SystemInformationClass) {
    case SystemModuleInformationEx:
        return hk::QueryModuleList(SystemInformation, SystemInformationLength, ReturnLength);
    case SystemCodeIntegrityInformation:
        return hk::QueryCodeIntegrity(SystemInformation, SystemInformationLength, ReturnLength);
    default:
        return STATUS_INVALID_PARAMETER;  // STATUS_INVALID_INFO_CLASS on a real kernel
    }
}

extern "C" PVOID NTAPI IoRegisterBootDriverCallback(PBOOT_DRIVER_CALLBACK_FUNCTION CallbackFunction,
                                                    PVOID CallbackContext) {
    hk::KernelState& state = hk::State();
    if (state.fail_boot_callback_registration || CallbackFunction == nullptr) return nullptr;
    state.boot_callbacks.push_back({CallbackFunction, CallbackContext});
    return &state.boot_callbacks.back();
}

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    if (SystemRoutineName == nullptr) return nullptr;
    const std::u16string name = hk::ToU16(*SystemRoutineName);
    if (name == u"RtlQueryRegistryValuesEx" && hk::State().export_query_registry_values_ex) {
        return reinterpret_cast<PVOID>(&HostRtlQueryRegistryValuesEx);
    }
    if (name == u"RtlQueryRegistryValues") return reinterpret_cast<PVOID>(&RtlQueryRegistryValues);
    return nullptr;
}
