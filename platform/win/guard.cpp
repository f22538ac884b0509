// The fault guard on Windows: structured exception handling, with a filter
// that accepts every exception. Built into the driver image only (the clang
// cross build and the WDK build); the host kernel has its own.
#include "platform/platform.h"

#ifndef EXCEPTION_EXECUTE_HANDLER
#define EXCEPTION_EXECUTE_HANDLER 1
#endif
#ifndef GetExceptionCode
extern "C" unsigned long __cdecl _exception_code(void);
#define GetExceptionCode _exception_code
#endif

NTSTATUS ElamCallGuarded(ELAM_GUARDED_ROUTINE Routine, PVOID Context) {
    __try {
        return Routine(Context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return (NTSTATUS)GetExceptionCode();
    }
}
