// The kernel routines and variables the driver uses (exports of ntoskrnl.exe).
#pragma once
#ifndef ELAM_PLATFORM_INSIDE
#error "include platform/platform.h, not this header"
#endif

#if defined(ELAM_PLATFORM_CROSS)
#define ELAM_KIMPORT __declspec(dllimport)
#else
#define ELAM_KIMPORT
#endif

#define ELAM_KAPI extern "C" ELAM_KIMPORT

// Pool.
ELAM_KAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
ELAM_KAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// Registry.
ELAM_KAPI NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
ELAM_KAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                PVOID Context, PVOID Environment);
ELAM_KAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                               ULONG ValueType, PVOID ValueData,
                                               ULONG ValueLength);
ELAM_KAPI NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
ELAM_KAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

// System information.
ELAM_KAPI NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass,
                                                  PVOID SystemInformation,
                                                  ULONG SystemInformationLength,
                                                  PULONG ReturnLength);

// Boot-driver callbacks.
ELAM_KAPI PVOID NTAPI IoRegisterBootDriverCallback(PBOOT_DRIVER_CALLBACK_FUNCTION CallbackFunction,
                                                   PVOID CallbackContext);

// Mapped images.
ELAM_KAPI PVOID NTAPI RtlImageDirectoryEntryToData(PVOID BaseOfImage, BOOLEAN MappedAsImage,
                                                   USHORT DirectoryEntry, PULONG Size);

// Counted strings and memory.
ELAM_KAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
ELAM_KAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive);
ELAM_KAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
ELAM_KAPI LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2,
                                      BOOLEAN CaseInSensitive);
ELAM_KAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
ELAM_KAPI NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                      PCUNICODE_STRING SourceString,
                                                      BOOLEAN AllocateDestinationString);
ELAM_KAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                        PCUNICODE_STRING Source);
ELAM_KAPI int __cdecl _wcsnicmp(const WCHAR* String1, const WCHAR* String2, SIZE_T Count);

// Kernel variables.
ELAM_KAPI ULONG InitSafeBootMode;
ELAM_KAPI BOOLEAN KdDebuggerEnabled;
ELAM_KAPI BOOLEAN KdDebuggerNotPresent;
#define ELAM_SAFE_BOOT_MODE() (InitSafeBootMode)
#define ELAM_KD_DEBUGGER_ENABLED() (KdDebuggerEnabled)
#define ELAM_KD_DEBUGGER_NOT_PRESENT() (KdDebuggerNotPresent)

// Memory copy and fill. The compiler inlines small ones and calls memcpy and
// memset for the rest (exported by ntoskrnl, and by libc on the host).
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
