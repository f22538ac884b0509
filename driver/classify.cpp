// Classification of one boot-start driver: exclusions, facts from the mapped
// image, the rules in their fixed order, and the record of a known-bad image.
#include "driver/elam.h"

namespace {

// An exclusion is a suffix of the image path, compared ignoring case.
BOOLEAN IsExcluded(PCUNICODE_STRING ImageName) {
    if (g_ExcludedDrivers.Flink == nullptr) {
        return FALSE;
    }
    for (PLIST_ENTRY link = g_ExcludedDrivers.Flink; link != &g_ExcludedDrivers; link = link->Flink) {
        const NAME_ENTRY* exclusion = CONTAINING_RECORD(link, NAME_ENTRY, Links);
        if (exclusion->Name.Length > ImageName->Length) {
            continue;
        }
        UNICODE_STRING tail;
        tail.Buffer = (PWCH)((PUCHAR)ImageName->Buffer + (ImageName->Length - exclusion->Name.Length));
        tail.Length = tail.MaximumLength = exclusion->Name.Length;
        if (RtlEqualUnicodeString(&exclusion->Name, &tail, TRUE)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN HasRules(ULONG Type) {
    return g_RuleLists[Type].Flink != nullptr && !IsListEmpty(&g_RuleLists[Type]);
}

// Tests the facts against the rules in their fixed order. Returns TRUE with
// the reason of the first match.
BOOLEAN FindReason(PBDCB_IMAGE_INFORMATION Information, const IMAGE_DETAILS* Details, PULONG Reason) {
    const ULONGLONG version = Details->FileVersion;
    PCUNICODE_STRING imageName = &Information->ImageName;

    // The file-name part: everything behind the last '\' or '/'.
    if (HasRules(RULE_FILE_NAME) || HasRules(RULE_FILE_NAME_VERSION)) {
        ULONG index = imageName->Length / sizeof(WCHAR);
        while (index > 0 && imageName->Buffer[index - 1] != '\\' && imageName->Buffer[index - 1] != '/') {
            index--;
        }
        if (index > 0) {
            const WCHAR* part = imageName->Buffer + index;
            const ULONG partLength = imageName->Length - index * sizeof(WCHAR);
            if (MatchRule(RULE_FILE_NAME, part, partLength, version)) {
                *Reason = RULE_FILE_NAME;
                return TRUE;
            }
            if (MatchRule(RULE_FILE_NAME_VERSION, part, partLength, version)) {
                *Reason = RULE_FILE_NAME_VERSION;
                return TRUE;
            }
        }
    }
    if (Details->PdbFileName != nullptr) {
        const ANSI_STRING* pdb = Details->PdbFileName;
        if (MatchRule(RULE_PDB_NAME, pdb->Buffer, pdb->Length, version)) {
            *Reason = RULE_PDB_NAME;
            return TRUE;
        }
        if (MatchRule(RULE_PDB_NAME_VERSION, pdb->Buffer, pdb->Length, version)) {
            *Reason = RULE_PDB_NAME_VERSION;
            return TRUE;
        }
    }
    if (MatchRule(RULE_PDB_GUID, Details->PdbGuid, sizeof(Details->PdbGuid), version)) {
        *Reason = RULE_PDB_GUID;
        return TRUE;
    }
    if (Information->ImageHash != nullptr &&
        MatchRule(RULE_IMAGE_HASH, Information->ImageHash, Information->ImageHashLength, version)) {
        *Reason = RULE_IMAGE_HASH;
        return TRUE;
    }
    if (Information->CertificateThumbprint != nullptr) {
        if (MatchRule(RULE_THUMBPRINT, Information->CertificateThumbprint,
                      Information->CertificateThumbprintLength, version)) {
            *Reason = RULE_THUMBPRINT;
            return TRUE;
        }
        if (MatchRule(RULE_THUMBPRINT_VERSION, Information->CertificateThumbprint,
                      Information->CertificateThumbprintLength, version)) {
            *Reason = RULE_THUMBPRINT_VERSION;
            return TRUE;
        }
    }
    if (Details->OriginalFilename != nullptr) {
        const UNICODE_STRING* original = Details->OriginalFilename;
        if (MatchRule(RULE_ORIGINAL_NAME, original->Buffer, original->Length, version)) {
            *Reason = RULE_ORIGINAL_NAME;
            return TRUE;
        }
        if (MatchRule(RULE_ORIGINAL_NAME_VERSION, original->Buffer, original->Length, version)) {
            *Reason = RULE_ORIGINAL_NAME_VERSION;
            return TRUE;
        }
    }
    // Failed code integrity, unless a kernel debugger is both enabled and present.
    const BOOLEAN debuggerAttached = ELAM_KD_DEBUGGER_ENABLED() && !ELAM_KD_DEBUGGER_NOT_PRESENT();
    if ((g_DriverBlocking & DRIVER_BLOCKING_FAILED_CI) != 0 && !debuggerAttached &&
        (Information->ImageFlags & BDCB_IMAGEFLAGS_FAILED_CODE_INTEGRITY) != 0) {
        *Reason = REASON_FAILED_CODE_INTEGRITY;
        return TRUE;
    }
    return FALSE;
}

}  // namespace

VOID ClassifyImage(PBDCB_IMAGE_INFORMATION Information) {
    Information->Classification = BdCbClassificationUnknownImage;
    PCUNICODE_STRING imageName = &Information->ImageName;
    if (IsExcluded(imageName)) {
        return;
    }

    IMAGE_DETAILS details;
    details.FileVersion = VERSION_UNKNOWN;
    details.OriginalFilename = nullptr;
    details.PdbFileName = nullptr;
    RtlZeroMemory(details.PdbGuid, sizeof(details.PdbGuid));
    if (g_ModuleSnapshot != nullptr) {
        PRTL_PROCESS_MODULE_INFORMATION_EX module = FindModuleForImage(imageName);
        if (module != nullptr) {
            PVOID base = module->BaseInfo.ImageBase;
            const SIZE_T size = module->BaseInfo.ImageSize;
            GetImageVersionInfo(base, size, &details.FileVersion, &details.OriginalFilename);
            GetImageDebugInfo(base, size, details.PdbGuid, &details.PdbFileName);
        }
    }

    ULONG reason = 0;
    if (FindReason(Information, &details, &reason)) {
        Information->Classification = BdCbClassificationKnownBadImage;
        if (imageName->Length != 0) {
            // Without memory the image stays known bad, only unrecorded.
            AppendNameEntry(&g_BlockedDrivers, imageName->Buffer, imageName->Length, reason);
        }
    }

    if (details.OriginalFilename != nullptr) {
        ExFreePoolWithTag(details.OriginalFilename, ELAM_POOL_TAG);
    }
    if (details.PdbFileName != nullptr) {
        ExFreePoolWithTag(details.PdbFileName, ELAM_POOL_TAG);
    }
}
