// The image's load configuration and its Control Flow Guard support: what the
// WDK's kernel run-time library supplies to a driver, written for the LLVM
// cross build.
//
// With /guard:cf the linker gathers the valid indirect-call targets into
// __guard_fids_table and defines the __guard_* symbols used below; this
// structure hands them to the kernel's loader. Every indirect call made by
// code compiled with CFG goes through __guard_dispatch_icall_fptr with its
// target in rax. The kernel's loader replaces both pointers with its own
// checking routines when kernel CFG is on; otherwise the routines below run,
// and they check nothing.

// This object carries Control Flow Guard data of its own (none): without the
// flag, the linker would take every function this file refers to (the two
// routines below) for a valid indirect-call target.
        .def    @feat.00
        .scl    3
        .type   0
        .endef
        .set    @feat.00, 0x800

// The check routine (target in rcx): the kernel installs its own when it
// enforces CFG. The dispatch routine (target in rax) calls the target.
        .text
        .p2align 4
        .def    ElamGuardCheckICall
        .scl    3
        .type   32
        .endef
ElamGuardCheckICall:
        ret

        .p2align 4
        .def    ElamGuardDispatchICall
        .scl    3
        .type   32
        .endef
ElamGuardDispatchICall:
        jmp     *%rax

// The pointers the instrumented code calls through. The loader may rewrite
// them before the image's protections are applied; the link merges this
// section into .rdata, as the platform's own linker does.
        .section .00cfg,"dr"
        .p2align 3
        .globl  __guard_check_icall_fptr
__guard_check_icall_fptr:
        .quad   ElamGuardCheckICall
        .globl  __guard_dispatch_icall_fptr
__guard_dispatch_icall_fptr:
        .quad   ElamGuardDispatchICall

// IMAGE_LOAD_CONFIG_DIRECTORY64. Its first field gives its size; the linker
// copies that size into the load-configuration data directory.
        .section .rdata,"dr"
        .p2align 3
        .globl  _load_config_used
_load_config_used:
        .long   _load_config_used_end - _load_config_used // Size
        .long   0                             // TimeDateStamp
        .short  0                             // MajorVersion
        .short  0                             // MinorVersion
        .long   0                             // GlobalFlagsClear
        .long   0                             // GlobalFlagsSet
        .long   0                             // CriticalSectionDefaultTimeout
        .quad   0                             // DeCommitFreeBlockThreshold
        .quad   0                             // DeCommitTotalFreeThreshold
        .quad   0                             // LockPrefixTable
        .quad   0                             // MaximumAllocationSize
        .quad   0                             // VirtualMemoryThreshold
        .quad   0                             // ProcessAffinityMask
        .long   0                             // ProcessHeapFlags
        .short  0                             // CSDVersion
        .short  0                             // DependentLoadFlags
        .quad   0                             // EditList
        .quad   __security_cookie             // SecurityCookie
        .quad   0                             // SEHandlerTable (x86 only)
        .quad   0                             // SEHandlerCount (x86 only)
        .quad   __guard_check_icall_fptr      // GuardCFCheckFunctionPointer
        .quad   __guard_dispatch_icall_fptr   // GuardCFDispatchFunctionPointer
        .quad   __guard_fids_table            // GuardCFFunctionTable
        .quad   __guard_fids_count            // GuardCFFunctionCount
        .long   __guard_flags                 // GuardFlags
        .short  0                             // CodeIntegrity.Flags
        .short  0                             // CodeIntegrity.Catalog
        .long   0                             // CodeIntegrity.CatalogOffset
        .long   0                             // CodeIntegrity.Reserved
        .quad   __guard_iat_table             // GuardAddressTakenIatEntryTable
        .quad   __guard_iat_count             // GuardAddressTakenIatEntryCount
        .quad   __guard_longjmp_table         // GuardLongJumpTargetTable
        .quad   __guard_longjmp_count         // GuardLongJumpTargetCount
        .quad   0                             // DynamicValueRelocTable
        .quad   0                             // CHPEMetadataPointer
        .quad   0                             // GuardRFFailureRoutine
        .quad   0                             // GuardRFFailureRoutineFunctionPointer
        .long   0                             // DynamicValueRelocTableOffset
        .short  0                             // DynamicValueRelocTableSection
        .short  0                             // Reserved2
        .quad   0                             // GuardRFVerifyStackPointerFunctionPointer
        .long   0                             // HotPatchTableOffset
        .long   0                             // Reserved3
        .quad   0                             // EnclaveConfigurationPointer
        .quad   0                             // VolatileMetadataPointer
        .quad   __guard_eh_cont_table         // GuardEHContinuationTable
        .quad   __guard_eh_cont_count         // GuardEHContinuationCount
        .quad   0                             // GuardXFGCheckFunctionPointer
        .quad   0                             // GuardXFGDispatchFunctionPointer
        .quad   0                             // GuardXFGTableDispatchFunctionPointer
        .quad   0                             // CastGuardOsDeterminedFailureMode
        .quad   0                             // GuardMemcpyFunctionPointer
_load_config_used_end:
