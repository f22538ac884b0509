// The driver's shared records, globals and routines.
#pragma once

#include "platform/platform.h"

// Every block the driver allocates carries this tag: the characters "Elbl" as
// they lie in memory.
#define ELAM_POOL_TAG 0x6C626C45u

// ---------------------------------------------------------------------------
// Rule types and reasons
// ---------------------------------------------------------------------------
enum RULE_TYPE : LONG {
    RULE_FILE_NAME = 0,
    RULE_DIGEST_32 = 1,
    RULE_PDB_NAME = 2,
    RULE_PDB_GUID = 3,
    RULE_THUMBPRINT = 4,
    RULE_IMAGE_HASH = 5,
    RULE_FILE_NAME_VERSION = 6,
    RULE_PDB_NAME_VERSION = 7,
    RULE_THUMBPRINT_VERSION = 8,
    RULE_ORIGINAL_NAME = 9,
    RULE_ORIGINAL_NAME_VERSION = 10,
};
#define RULE_TYPE_COUNT 11

// The types whose rules also carry a file-version range.
inline BOOLEAN RuleTypeHasVersionRange(LONG Type) {
    return Type == RULE_FILE_NAME_VERSION || Type == RULE_PDB_NAME_VERSION ||
           Type == RULE_THUMBPRINT_VERSION || Type == RULE_ORIGINAL_NAME_VERSION;
}

// The reason recorded for an image blocked by the failed-code-integrity rule;
// every other reason is the number of the rule type that matched.
#define REASON_FAILED_CODE_INTEGRITY 255u

// "DriverBlocking" bit 31: block images that failed code integrity.
#define DRIVER_BLOCKING_FAILED_CI 0x80000000u

// A file version: the version resource's most significant 32 bits above its
// least significant 32 bits. All ones: no version known.
#define VERSION_UNKNOWN 0xFFFFFFFFFFFFFFFFull

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// One name and one value; the characters follow the record in the same block.
typedef struct _NAME_ENTRY {
    LIST_ENTRY Links;
    UNICODE_STRING Name;
    ULONG Value;
} NAME_ENTRY, *PNAME_ENTRY;

// What ReadMultiStringValue hands through the registry query to
// MultiStringQueryRoutine.
typedef struct _MULTI_STRING_CONTEXT {
    PLIST_ENTRY List;
    ULONG EntryValue;
} MULTI_STRING_CONTEXT, *PMULTI_STRING_CONTEXT;

// One rule in one zero-filled block: the fixed fields, DataLength bytes of
// data, a pad byte where the data ends at an odd address, the name and its NUL.
typedef struct _RULE_ENTRY {
    LIST_ENTRY Links;
    UNICODE_STRING Name;
    ULONG Type;
    ULONGLONG MinVersion;
    ULONGLONG MaxVersion;
    ULONG DataLength;
    UCHAR Data[1];
} RULE_ENTRY, *PRULE_ENTRY;
ELAM_FIELD_AT(RULE_ENTRY, Name, 0x10);
ELAM_FIELD_AT(RULE_ENTRY, Type, 0x20);
ELAM_FIELD_AT(RULE_ENTRY, MinVersion, 0x28);
ELAM_FIELD_AT(RULE_ENTRY, MaxVersion, 0x30);
ELAM_FIELD_AT(RULE_ENTRY, DataLength, 0x38);
ELAM_FIELD_AT(RULE_ENTRY, Data, 0x3C);
// The fixed part of a rule: everything before its inline data.
#define RULE_ENTRY_HEADER_SIZE ((SIZE_T)__builtin_offsetof(RULE_ENTRY, Data))

// The facts gathered from one mapped boot driver.
typedef struct _IMAGE_DETAILS {
    ULONGLONG FileVersion;
    PUNICODE_STRING OriginalFilename;
    PANSI_STRING PdbFileName;
    UCHAR PdbGuid[16];
} IMAGE_DETAILS, *PIMAGE_DETAILS;

// ---------------------------------------------------------------------------
// Global state
// ---------------------------------------------------------------------------
extern ULONG g_DriverBlocking;
extern UNICODE_STRING g_ConfigKeyPath;
extern PVOID g_ModuleSnapshot;
extern LIST_ENTRY g_RuleLists[RULE_TYPE_COUNT];
extern LIST_ENTRY g_ExcludedDrivers;
extern LIST_ENTRY g_BlockedDrivers;

// ---------------------------------------------------------------------------
// Routines
// ---------------------------------------------------------------------------

// Driver entry and lifetime.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI BootDriverCallback(PVOID CallbackContext, BDCB_CALLBACK_TYPE CallbackType,
                              PBDCB_IMAGE_INFORMATION Information);
VOID FreeAllLists();

// Classification and report.
VOID ClassifyImage(PBDCB_IMAGE_INFORMATION Information);
NTSTATUS WriteBlockedDriversReport();

// Configuration.
NTSTATUS LoadConfiguration(PCUNICODE_STRING RegistryPath);

// Multi-string values and name lists.
NTSTATUS ReadMultiStringValue(PCWSTR KeyPath, PLIST_ENTRY List, PCWSTR ValueName);
NTSTATUS NTAPI MultiStringQueryRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                       ULONG ValueLength, PVOID Context, PVOID EntryContext);
VOID FreeEntryList(PLIST_ENTRY List);

// The longest name a NAME_ENTRY holds, in bytes: its characters and NUL must
// fit the 16-bit MaximumLength of a counted string. A longer name is refused,
// never cut: a cut name is another, shorter name.
#define NAME_ENTRY_MAX_LENGTH 0xFFFCu

// Builds a NAME_ENTRY (record and NUL-terminated copy of the characters in one
// block) and appends it at the tail of List. STATUS_INVALID_PARAMETER for a
// name longer than NAME_ENTRY_MAX_LENGTH, STATUS_NO_MEMORY when the block
// cannot be allocated; the list is unchanged then.
NTSTATUS AppendNameEntry(PLIST_ENTRY List, const WCHAR* Characters, ULONG Length, ULONG Value);

// The registry query routine to use: RtlQueryRegistryValuesEx where the
// running kernel exports it, else RtlQueryRegistryValues.
PRTL_QUERY_REGISTRY_VALUES SelectQueryRoutine();

// Rule lists and matching.
ULONG DecodeHexString(PCUNICODE_STRING Text, PUCHAR Output, ULONG OutputLength);
NTSTATUS LoadRuleValue(PCWSTR KeyPath, PCWSTR ValueName, ULONG Type);
BOOLEAN MatchRule(LONG RuleType, PCVOID Input, ULONG InputLength, ULONGLONG FileVersion);

// Loaded-image inspection.
NTSTATUS CaptureModuleSnapshot();
PRTL_PROCESS_MODULE_INFORMATION_EX FindModuleForImage(PCUNICODE_STRING ImageName);
NTSTATUS GetImageVersionInfo(PVOID ImageBase, SIZE_T ImageSize, PULONGLONG FileVersion,
                             PUNICODE_STRING* OriginalFilename);
NTSTATUS GetImageDebugInfo(PVOID ImageBase, SIZE_T ImageSize, PUCHAR PdbGuid,
                           PANSI_STRING* PdbFileName);
