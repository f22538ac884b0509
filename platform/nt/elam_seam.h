// The two services the driver needs beyond the kernel's exports, with one
// implementation per side: a fast-fail that never returns, and a fault guard.
#pragma once
#ifndef ELAM_PLATFORM_INSIDE
#error "include platform/platform.h, not this header"
#endif

#if defined(ELAM_PLATFORM_WDK) || defined(ELAM_PLATFORM_CROSS)
extern "C" void __fastfail(unsigned int Code);
[[noreturn]] inline void ElamFastFail(ULONG Code) {
    __fastfail(Code);
    __builtin_unreachable();
}
#else
// Host kernel: recorded for the test bed, then control goes back to whoever
// armed the trap; the caller is never resumed.
[[noreturn]] void ElamFastFail(ULONG Code);
#endif

// Runs Routine(Context) under structured exception handling with a filter that
// accepts every exception. Returns the routine's status, or the exception code
// when a fault ended it. On Windows this is __try/__except; on the host a
// SIGSEGV or SIGBUS inside the routine ends it with STATUS_ACCESS_VIOLATION.
typedef NTSTATUS (*ELAM_GUARDED_ROUTINE)(PVOID Context);
NTSTATUS ElamCallGuarded(ELAM_GUARDED_ROUTINE Routine, PVOID Context);
