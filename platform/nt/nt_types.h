// Kernel base types with the sizes they have on 64-bit Windows.
#pragma once
#ifndef ELAM_PLATFORM_INSIDE
#error "include platform/platform.h, not this header"
#endif

// The kernel's calling convention. On the host it is the Windows x64
// convention as well, so that the host kernel's routines and the callbacks the
// kernel makes (query routines, the boot-driver callback) have the ABI a real
// Windows image uses.
#if defined(__x86_64__) || defined(_M_X64)
#define NTAPI __attribute__((ms_abi))
#else
#error "the driver is built for x64 only"
#endif

#define NTSYSAPI extern "C"
#if !defined(_WIN32)
#define __cdecl
#endif
#define VOID void

typedef unsigned char UCHAR;
typedef unsigned char BOOLEAN;
typedef char CHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int LONG;
typedef unsigned int ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned long long ULONG64;
typedef __UINTPTR_TYPE__ ULONG_PTR;
typedef __SIZE_TYPE__ SIZE_T;
typedef __INTPTR_TYPE__ LONG_PTR;
typedef char16_t WCHAR;
typedef void* PVOID;
typedef const void* PCVOID;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef ULONGLONG* PULONGLONG;
typedef BOOLEAN* PBOOLEAN;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;

static_assert(sizeof(UCHAR) == 1 && sizeof(BOOLEAN) == 1, "8-bit UCHAR/BOOLEAN");
static_assert(sizeof(USHORT) == 2 && sizeof(WCHAR) == 2, "16-bit USHORT/WCHAR");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "32-bit ULONG/LONG");
static_assert(sizeof(ULONGLONG) == 8 && sizeof(ULONG_PTR) == 8 && sizeof(PVOID) == 8,
              "64-bit pointers and ULONGLONG");

// Wide literals: UTF-16 on every side.
#define ELAM_TEXT(s) u##s

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_NOT_SAFE_MODE_DRIVER ((NTSTATUS)0xC000035FL)
#define STATUS_UNKNOWN_REVISION ((NTSTATUS)0xC0000058L)
#define STATUS_SERVER_DISABLED ((NTSTATUS)0xC0000080L)
#define STATUS_INVALID_VARIANT ((NTSTATUS)0xC0000232L)

// Registry value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11

// RtlQueryRegistryValues relative-to values and flags.
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_NOSTRING 0x00000080
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK (0xff << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;

// Fast-fail codes.
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3

// Image directory indexes.
#define IMAGE_DIRECTORY_ENTRY_RESOURCE 2
#define IMAGE_DIRECTORY_ENTRY_SECURITY 4
#define IMAGE_DIRECTORY_ENTRY_DEBUG 6
#define IMAGE_DEBUG_TYPE_CODEVIEW 2
