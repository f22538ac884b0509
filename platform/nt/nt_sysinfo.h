// System information the driver asks the kernel for: the extended module list
// (class 77) and the code-integrity options (class 103). Neither side's
// kernel headers publish these records, so both sides share this one.
#pragma once
#ifndef ELAM_PLATFORM_INSIDE
#error "include platform/platform.h, not this header"
#endif

// System information classes used by the driver.
#define SystemModuleInformationEx 77
#define SystemCodeIntegrityInformation 103

#ifndef CODEINTEGRITY_OPTION_ENABLED
#define CODEINTEGRITY_OPTION_ENABLED 0x01
#define CODEINTEGRITY_OPTION_TESTSIGN 0x02
#define CODEINTEGRITY_OPTION_TEST_BUILD 0x20
#define CODEINTEGRITY_OPTION_PREPRODUCTION_BUILD 0x40
#define CODEINTEGRITY_OPTION_DEBUGMODE_ENABLED 0x80
#define CODEINTEGRITY_OPTION_FLIGHT_BUILD 0x100
#endif

// Extended module list entry (system information class 77).
typedef struct _RTL_PROCESS_MODULE_INFORMATION {
    PVOID Section;
    PVOID MappedBase;
    PVOID ImageBase;
    ULONG ImageSize;
    ULONG Flags;
    USHORT LoadOrderIndex;
    USHORT InitOrderIndex;
    USHORT LoadCount;
    USHORT OffsetToFileName;
    UCHAR FullPathName[256];
} RTL_PROCESS_MODULE_INFORMATION, *PRTL_PROCESS_MODULE_INFORMATION;

typedef struct _RTL_PROCESS_MODULE_INFORMATION_EX {
    USHORT NextOffset;
    RTL_PROCESS_MODULE_INFORMATION BaseInfo;
    ULONG ImageChecksum;
    ULONG TimeDateStamp;
    PVOID DefaultBase;
} RTL_PROCESS_MODULE_INFORMATION_EX, *PRTL_PROCESS_MODULE_INFORMATION_EX;
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo, 0x08);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.MappedBase, 0x10);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.ImageBase, 0x18);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.ImageSize, 0x20);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.Flags, 0x24);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.LoadOrderIndex, 0x28);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.InitOrderIndex, 0x2A);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.LoadCount, 0x2C);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.OffsetToFileName, 0x2E);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, BaseInfo.FullPathName, 0x30);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, ImageChecksum, 0x130);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, TimeDateStamp, 0x134);
ELAM_FIELD_AT(RTL_PROCESS_MODULE_INFORMATION_EX, DefaultBase, 0x138);
static_assert(sizeof(RTL_PROCESS_MODULE_INFORMATION_EX) == 0x140,
              "RTL_PROCESS_MODULE_INFORMATION_EX size");

typedef struct _SYSTEM_CODEINTEGRITY_INFORMATION {
    ULONG Length;
    ULONG CodeIntegrityOptions;
} SYSTEM_CODEINTEGRITY_INFORMATION, *PSYSTEM_CODEINTEGRITY_INFORMATION;
static_assert(sizeof(SYSTEM_CODEINTEGRITY_INFORMATION) == 8, "SYSTEM_CODEINTEGRITY_INFORMATION");
