// Stack-cookie support and the image's entry: what the WDK's kernel run-time
// library supplies to a driver, written for the LLVM cross build.
//
// The driver is compiled with stack protection (-fstack-protector-strong):
// functions with local arrays keep __security_cookie, mixed with the stack
// pointer, below their return address and check it before returning. The
// load configuration points the kernel's loader at the cookie, which it
// replaces with a random value when it still holds the default below.
#include "platform/platform.h"

// The value the loader recognises as "not yet initialised".
#define ELAM_DEFAULT_SECURITY_COOKIE 0x00002B992DDFA232ull
// The top 16 bits stay clear, so that a string overrun cannot reproduce it.
#define ELAM_SECURITY_COOKIE_MASK 0x0000FFFFFFFFFFFFull
#define ELAM_FAST_FAIL_STACK_COOKIE_CHECK_FAILURE 2

// The driver's own entry routine (driver/entry.cpp).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

extern "C" ULONG_PTR __security_cookie = ELAM_DEFAULT_SECURITY_COOKIE;

// Called by every protected function on its way out, with the cookie it
// saved (mixed back with the stack pointer). A mismatch means the frame was
// overrun: stop the machine rather than return through it.
extern "C" void __cdecl __security_check_cookie(ULONG_PTR Cookie) {
    if (Cookie != __security_cookie) {
        __fastfail(ELAM_FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
    }
}

// The image's entry point. A loader that did not set the cookie leaves the
// default in place: derive one from the time-stamp counter and addresses
// before any protected function runs. Not protected itself, since it changes
// the cookie.
extern "C" __attribute__((no_stack_protector)) NTSTATUS NTAPI
GsDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    ULONG_PTR Cookie = __security_cookie;
    if (Cookie == ELAM_DEFAULT_SECURITY_COOKIE || Cookie == 0) {
        ULONGLONG Tsc = __builtin_ia32_rdtsc();
        Cookie = Tsc ^ (Tsc << 29) ^ (ULONG_PTR)&Tsc ^ (ULONG_PTR)RegistryPath ^
                 (ULONG_PTR)DriverObject;
        Cookie &= ELAM_SECURITY_COOKIE_MASK;
        if (Cookie == ELAM_DEFAULT_SECURITY_COOKIE || Cookie == 0) {
            Cookie = ELAM_DEFAULT_SECURITY_COOKIE + 1;
        }
        __security_cookie = Cookie;
    }
    return DriverEntry(DriverObject, RegistryPath);
}
