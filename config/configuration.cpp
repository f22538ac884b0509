// Start-up configuration: the configuration key next to the service key, the
// two switches, the code-integrity gate, the rule values and the exclusions.
#include "driver/elam.h"

namespace {

// The service key name ends in this suffix; the configuration key lives under
// the sibling service whose name ends in the replacement instead.
const WCHAR kServiceSuffix[] = ELAM_TEXT("Elam");
const WCHAR kConfigSuffix[] = ELAM_TEXT("SP\\Parameters");
#define SERVICE_SUFFIX_LENGTH (sizeof(kServiceSuffix) - sizeof(WCHAR))
#define CONFIG_SUFFIX_LENGTH (sizeof(kConfigSuffix) - sizeof(WCHAR))

// The longest service key path whose configuration path, with its NUL, still
// fits a 16-bit MaximumLength.
#define MAX_REGISTRY_PATH_LENGTH (0xFFFFu - (CONFIG_SUFFIX_LENGTH - SERVICE_SUFFIX_LENGTH) - sizeof(WCHAR))

// "DriverBlocking" bits 0 to 30 and the code-integrity options that must hold,
// with test builds, pre-production and flight builds refused.
#define CODE_INTEGRITY_MASK                                                         \
    (CODEINTEGRITY_OPTION_ENABLED | CODEINTEGRITY_OPTION_TESTSIGN |                 \
     CODEINTEGRITY_OPTION_TEST_BUILD | CODEINTEGRITY_OPTION_PREPRODUCTION_BUILD |   \
     CODEINTEGRITY_OPTION_FLIGHT_BUILD)
#define CODE_INTEGRITY_REQUIRED (CODEINTEGRITY_OPTION_ENABLED | CODEINTEGRITY_OPTION_TESTSIGN)

// Builds g_ConfigKeyPath from the service key path, NUL-terminated.
NTSTATUS BuildConfigKeyPath(PCUNICODE_STRING RegistryPath) {
    const USHORT capacity = (USHORT)(RegistryPath->Length + CONFIG_SUFFIX_LENGTH -
                                     SERVICE_SUFFIX_LENGTH + sizeof(WCHAR));
    PWCH buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, capacity, ELAM_POOL_TAG);
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }
    UNICODE_STRING path;
    path.Buffer = buffer;
    path.MaximumLength = capacity;
    path.Length = (USHORT)(RegistryPath->Length - SERVICE_SUFFIX_LENGTH);
    RtlCopyMemory(buffer, RegistryPath->Buffer, path.Length);
    UNICODE_STRING suffix;
    suffix.Buffer = (PWCH)kConfigSuffix;
    suffix.Length = suffix.MaximumLength = (USHORT)CONFIG_SUFFIX_LENGTH;
    RtlAppendUnicodeStringToString(&path, &suffix);
    buffer[capacity / sizeof(WCHAR) - 1] = 0;
    g_ConfigKeyPath = path;
    return STATUS_SUCCESS;
}

// Clears DRIVER_BLOCKING_FAILED_CI unless code integrity is on with test
// signing, on a build that is no test, pre-production or flight build.
VOID GateFailedCodeIntegrityRule() {
    SYSTEM_CODEINTEGRITY_INFORMATION info;
    info.Length = sizeof(info);
    info.CodeIntegrityOptions = 0;
    const NTSTATUS status =
        ZwQuerySystemInformation(SystemCodeIntegrityInformation, &info, sizeof(info), nullptr);
    if (!NT_SUCCESS(status) ||
        (info.CodeIntegrityOptions & CODE_INTEGRITY_MASK) != CODE_INTEGRITY_REQUIRED) {
        g_DriverBlocking &= ~DRIVER_BLOCKING_FAILED_CI;
    }
}

}  // namespace

NTSTATUS LoadConfiguration(PCUNICODE_STRING RegistryPath) {
    for (ULONG type = 0; type < RULE_TYPE_COUNT; type++) {
        InitializeListHead(&g_RuleLists[type]);
    }
    InitializeListHead(&g_BlockedDrivers);
    InitializeListHead(&g_ExcludedDrivers);

    if (RegistryPath == nullptr || RegistryPath->Buffer == nullptr ||
        RegistryPath->Length <= SERVICE_SUFFIX_LENGTH) {
        return STATUS_SUCCESS;
    }
    // An odd byte length is no UTF-16 path, and an overlong one leaves no room
    // for the configuration path: both are refused like a misnamed key.
    if ((RegistryPath->Length & 1) != 0 || RegistryPath->Length > MAX_REGISTRY_PATH_LENGTH) {
        return STATUS_UNKNOWN_REVISION;
    }
    UNICODE_STRING suffix;
    suffix.Buffer = RegistryPath->Buffer + (RegistryPath->Length - SERVICE_SUFFIX_LENGTH) / sizeof(WCHAR);
    suffix.Length = suffix.MaximumLength = (USHORT)SERVICE_SUFFIX_LENGTH;
    UNICODE_STRING expected;
    expected.Buffer = (PWCH)kServiceSuffix;
    expected.Length = expected.MaximumLength = (USHORT)SERVICE_SUFFIX_LENGTH;
    if (!RtlEqualUnicodeString(&suffix, &expected, TRUE)) {
        return STATUS_UNKNOWN_REVISION;
    }

    NTSTATUS status = BuildConfigKeyPath(RegistryPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PWSTR path = g_ConfigKeyPath.Buffer;
    status = RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ULONG enabled = 1;
    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = (PWSTR)ELAM_TEXT("Enabled");
    table[0].EntryContext = &enabled;
    table[0].DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[1].Name = (PWSTR)ELAM_TEXT("DriverBlocking");
    table[1].EntryContext = &g_DriverBlocking;
    table[1].DefaultType = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    // A switch that is absent, of another type, or not reached keeps its preset.
    SelectQueryRoutine()(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);

    if (enabled == 0 || g_DriverBlocking == 0) {
        g_DriverBlocking = 0;
        return STATUS_SERVER_DISABLED;
    }
    if ((g_DriverBlocking & DRIVER_BLOCKING_FAILED_CI) != 0) {
        GateFailedCodeIntegrityRule();
    }

    WCHAR firstName[] = ELAM_TEXT("DrvBlockType?");
    WCHAR secondName[] = ELAM_TEXT("DrvBlockType?Vps");
    const ULONG typeIndex = 12;  // the position of '?' in both names
    for (ULONG type = 0; type < RULE_TYPE_COUNT; type++) {
        firstName[typeIndex] = (WCHAR)('0' + type);
        secondName[typeIndex] = (WCHAR)('0' + type);
        LoadRuleValue(path, firstName, type);
        LoadRuleValue(path, secondName, type);
    }
    ReadMultiStringValue(path, &g_ExcludedDrivers, ELAM_TEXT("ExcludedDrivers"));
    return status;
}
