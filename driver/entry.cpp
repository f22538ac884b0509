// Driver entry, the boot-driver callback's dispatch, and the teardown.
#include "driver/elam.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)DriverObject;
    if (ELAM_SAFE_BOOT_MODE() != 0) {
        return STATUS_NOT_SAFE_MODE_DRIVER;
    }
    // No start-up failure stops the driver: whatever did not load stays empty.
    LoadConfiguration(RegistryPath);
    CaptureModuleSnapshot();
    IoRegisterBootDriverCallback(BootDriverCallback, nullptr);
    return STATUS_SUCCESS;
}

VOID NTAPI BootDriverCallback(PVOID CallbackContext, BDCB_CALLBACK_TYPE CallbackType,
                              PBDCB_IMAGE_INFORMATION Information) {
    (void)CallbackContext;
    if (Information == nullptr) {
        return;
    }
    if (CallbackType == BdCbInitializeImage) {
        ClassifyImage(Information);
        return;
    }
    if (CallbackType != BdCbStatusUpdate) {
        return;
    }
    const BDCB_STATUS_UPDATE_CONTEXT* status = (const BDCB_STATUS_UPDATE_CONTEXT*)Information;
    if (status->StatusType != BdCbStatusPrepareForUnload) {
        return;
    }
    WriteBlockedDriversReport();
    FreeAllLists();
    if (g_ModuleSnapshot != nullptr) {
        ExFreePoolWithTag(g_ModuleSnapshot, ELAM_POOL_TAG);
        g_ModuleSnapshot = nullptr;
    }
}

VOID FreeAllLists() {
    for (ULONG type = 0; type < RULE_TYPE_COUNT; type++) {
        FreeEntryList(&g_RuleLists[type]);
    }
    FreeEntryList(&g_ExcludedDrivers);
    FreeEntryList(&g_BlockedDrivers);
    if (g_ConfigKeyPath.Buffer != nullptr) {
        ExFreePoolWithTag(g_ConfigKeyPath.Buffer, ELAM_POOL_TAG);
        g_ConfigKeyPath.Buffer = nullptr;
        g_ConfigKeyPath.Length = 0;
        g_ConfigKeyPath.MaximumLength = 0;
    }
}
