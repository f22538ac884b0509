// The WDK side of the platform seam: the kernel's own headers, and the
// declarations the driver needs that the WDK does not publish. Selected by
// ELAM_PLATFORM_WDK (winbuild/wdk). Written against the WDK's public headers
// but not compiled on the project's own machines: untested.
#pragma once
#ifndef ELAM_PLATFORM_INSIDE
#error "include platform/platform.h, not this header"
#endif

#include <ntddk.h>
#include <ntimage.h>

// MSVC has no __builtin_unreachable; the shared fast-fail helper uses it.
#if defined(_MSC_VER) && !defined(__clang__)
#define __builtin_unreachable() __assume(0)
#endif

#define ELAM_FIELD_AT(type, field, offset) \
    static_assert(__builtin_offsetof(type, field) == (offset), #type "." #field " offset")

// Wide literals: WCHAR is wchar_t, 16 bits, under the WDK.
#define ELAM_TEXT(s) L##s
static_assert(sizeof(WCHAR) == 2, "16-bit WCHAR");

typedef const void* PCVOID;

// Kernel variables. The WDK declares the two debugger variables (as pointers,
// with the KD_DEBUGGER_* macros); InitSafeBootMode is, like them, a data
// export that the import library hands out as a pointer.
extern "C" PULONG InitSafeBootMode;
#define ELAM_SAFE_BOOT_MODE() (*InitSafeBootMode)
#define ELAM_KD_DEBUGGER_ENABLED() (KD_DEBUGGER_ENABLED)
#define ELAM_KD_DEBUGGER_NOT_PRESENT() (KD_DEBUGGER_NOT_PRESENT)

// Routines exported by ntoskrnl.exe but not declared by the WDK.
extern "C" NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(ULONG SystemInformationClass,
                                                            PVOID SystemInformation,
                                                            ULONG SystemInformationLength,
                                                            PULONG ReturnLength);
extern "C" NTSYSAPI PVOID NTAPI RtlImageDirectoryEntryToData(PVOID BaseOfImage,
                                                             BOOLEAN MappedAsImage,
                                                             USHORT DirectoryEntry,
                                                             PULONG Size);
extern "C" int __cdecl _wcsnicmp(const wchar_t* String1, const wchar_t* String2, size_t Count);

// RtlQueryRegistryValues and RtlQueryRegistryValuesEx share this signature.
typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_VALUES)(ULONG RelativeTo, PCWSTR Path,
                                                   PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                   PVOID Context, PVOID Environment);

#include "../nt/nt_sysinfo.h"

// The boot-driver callback records come from <ntddk.h> (Windows 8 and later:
// build with NTDDI_VERSION >= NTDDI_WIN8); their x64 layout is checked here.
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, ImageHash, 0x48);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, CertificateThumbprintLength, 0x64);
static_assert(sizeof(BDCB_IMAGE_INFORMATION) == 0x68, "BDCB_IMAGE_INFORMATION size");
