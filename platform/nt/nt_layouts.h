// Kernel records with the layouts they have on 64-bit Windows.
#pragma once
#ifndef ELAM_PLATFORM_INSIDE
#error "include platform/platform.h, not this header"
#endif

#define ELAM_FIELD_AT(type, field, offset) \
    static_assert(__builtin_offsetof(type, field) == (offset), #type "." #field " offset")

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;
static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY size");

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
ELAM_FIELD_AT(UNICODE_STRING, Buffer, 8);
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING size");

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCSTRING;
typedef const ANSI_STRING* PCANSI_STRING;
ELAM_FIELD_AT(STRING, Buffer, 8);
static_assert(sizeof(STRING) == 16, "STRING size");

typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType,
                                                     PVOID ValueData, ULONG ValueLength,
                                                     PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;
ELAM_FIELD_AT(RTL_QUERY_REGISTRY_TABLE, Flags, 0x08);
ELAM_FIELD_AT(RTL_QUERY_REGISTRY_TABLE, Name, 0x10);
ELAM_FIELD_AT(RTL_QUERY_REGISTRY_TABLE, EntryContext, 0x18);
ELAM_FIELD_AT(RTL_QUERY_REGISTRY_TABLE, DefaultType, 0x20);
ELAM_FIELD_AT(RTL_QUERY_REGISTRY_TABLE, DefaultData, 0x28);
ELAM_FIELD_AT(RTL_QUERY_REGISTRY_TABLE, DefaultLength, 0x30);
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 0x38, "RTL_QUERY_REGISTRY_TABLE size");

typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_VALUES)(ULONG RelativeTo, PCWSTR Path,
                                                   PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                   PVOID Context, PVOID Environment);

// Boot-driver callback interfaces.
typedef enum _BDCB_CALLBACK_TYPE {
    BdCbStatusUpdate = 0,
    BdCbInitializeImage = 1,
} BDCB_CALLBACK_TYPE;

typedef enum _BDCB_STATUS_UPDATE_TYPE {
    BdCbStatusPrepareForDependencyLoad = 0,
    BdCbStatusPrepareForDriverLoad = 1,
    BdCbStatusPrepareForUnload = 2,
} BDCB_STATUS_UPDATE_TYPE;

typedef enum _BDCB_CLASSIFICATION {
    BdCbClassificationUnknownImage = 0,
    BdCbClassificationKnownGoodImage = 1,
    BdCbClassificationKnownBadImage = 2,
    BdCbClassificationKnownBadImageBootCritical = 3,
    BdCbClassificationEnd = 4,
} BDCB_CLASSIFICATION;

#define BDCB_IMAGEFLAGS_FAILED_CODE_INTEGRITY 0x1

typedef struct _BDCB_STATUS_UPDATE_CONTEXT {
    BDCB_STATUS_UPDATE_TYPE StatusType;
} BDCB_STATUS_UPDATE_CONTEXT, *PBDCB_STATUS_UPDATE_CONTEXT;
static_assert(sizeof(BDCB_STATUS_UPDATE_CONTEXT) == 4, "BDCB_STATUS_UPDATE_CONTEXT size");

typedef struct _BDCB_IMAGE_INFORMATION {
    BDCB_CLASSIFICATION Classification;
    ULONG ImageFlags;
    UNICODE_STRING ImageName;
    UNICODE_STRING RegistryPath;
    UNICODE_STRING CertificatePublisher;
    UNICODE_STRING CertificateIssuer;
    PVOID ImageHash;
    PVOID CertificateThumbprint;
    ULONG ImageHashAlgorithm;
    ULONG ThumbprintHashAlgorithm;
    ULONG ImageHashLength;
    ULONG CertificateThumbprintLength;
} BDCB_IMAGE_INFORMATION, *PBDCB_IMAGE_INFORMATION;
static_assert(sizeof(BDCB_CLASSIFICATION) == 4, "BDCB_CLASSIFICATION is 32 bits");
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, ImageFlags, 0x04);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, ImageName, 0x08);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, RegistryPath, 0x18);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, CertificatePublisher, 0x28);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, CertificateIssuer, 0x38);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, ImageHash, 0x48);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, CertificateThumbprint, 0x50);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, ImageHashAlgorithm, 0x58);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, ThumbprintHashAlgorithm, 0x5C);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, ImageHashLength, 0x60);
ELAM_FIELD_AT(BDCB_IMAGE_INFORMATION, CertificateThumbprintLength, 0x64);
static_assert(sizeof(BDCB_IMAGE_INFORMATION) == 0x68, "BDCB_IMAGE_INFORMATION size");

typedef VOID(NTAPI* PBOOT_DRIVER_CALLBACK_FUNCTION)(PVOID CallbackContext,
                                                    BDCB_CALLBACK_TYPE Classification,
                                                    PBDCB_IMAGE_INFORMATION ImageInformation);

// The driver object is opaque to this driver.
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
