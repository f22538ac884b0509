// Calls across the boundary between the host kernel and loaded driver images,
// and faults inside those images dispatched as the Windows x64 kernel
// dispatches exceptions. Internal to the host kernel: image_loader.cpp maps
// the images, seh_dispatch.cpp runs the calls and the dispatch, guard.cpp
// hands it the faults.
//
// Each thread keeps a chain of call records, innermost first, all of them on
// the thread's stack (so a record's address orders it against the frames):
//   - an ImageCall for every call from the host into image code (the entry,
//     the boot-driver callback). It is where control comes back when the
//     image cannot continue: a fast-fail, an exception no frame handles, a C++
//     exception thrown by a host routine the image called.
//   - a HostCall for every call from image code into a kernel routine,
//     through the bridge stubs the imports resolve to. It holds the image's
//     registers at the call, so that a fault inside the routine (a memcpy over
//     an inaccessible page) unwinds into the image's frames as a fault inside
//     the kernel does on Windows, and it catches what the routine throws.
// Between an image frame and the HostCall above it may lie the frames of a
// kernel routine that called back into the image (a registry query routine).
// Whatever leaves the image there (an exception on its way to an __except
// further up, a fast-fail, a host routine's exception) is thrown as a C++
// exception from the point where the routine called the image, so that the
// routine's frames unwind as C++ frames do, and is taken up again by the
// HostCall.
#pragma once

#include "hostkernel/hostkernel.h"

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdint>

namespace hk::image {

// What the fault handler and the call-target check know of a loaded image.
// Registered once filled in, never changed while registered.
struct ImageCode {
    const char* name = "";
    std::uintptr_t base = 0;
    std::size_t size = 0;  // SizeOfImage
    // Executable sections, as [begin, end) offsets from base.
    static constexpr int kMaxRanges = 16;
    std::uint32_t exec_begin[kMaxRanges] = {};
    std::uint32_t exec_end[kMaxRanges] = {};
    int exec_count = 0;
    // The exception directory: RUNTIME_FUNCTION entries, sorted, checked at
    // load, as is every language handler: __C_specific_handler.
    const std::uint8_t* pdata = nullptr;
    std::uint32_t pdata_count = 0;
    // Valid indirect-call targets (Control Flow Guard): sorted RVAs. Used
    // only when the host's check routines are installed in the image.
    const std::uint32_t* call_targets = nullptr;
    std::size_t call_target_count = 0;

    bool Contains(std::uintptr_t address) const { return address - base < size; }
    bool Executable(std::uintptr_t address) const;
};

// Registers an image for the fault handler; throws std::runtime_error when
// too many are loaded at once.
void RegisterImageCode(const ImageCode* code);
void UnregisterImageCode(const ImageCode* code);
// The registered image that holds address; null when none. Safe in a signal
// handler.
const ImageCode* FindImageCode(std::uintptr_t address);

// ---------------------------------------------------------------------------
// Call records
// ---------------------------------------------------------------------------
enum class CallKind : std::uint64_t { Image = 1, Host = 2 };

struct CallRecord {
    CallRecord* previous;
    CallKind kind;
};

struct ImageCall : CallRecord {
    sigjmp_buf env;
};

void EnterImageCall(ImageCall* call);
void LeaveImageCall(ImageCall* call);
// Back in the ImageCall's frame after an escape: unlinks it and raises what
// stopped the image, as the host build would have seen it: a fast-fail
// (hk::FastFail, counted), a bug check for an unhandled exception, or the
// host routine's exception.
[[noreturn]] void RaiseEscape(ImageCall* call);

// Runs fn, a call into image code, under an ImageCall record.
template <typename Fn>
auto CallIntoImage(Fn&& fn) {
    ImageCall call;
    if (sigsetjmp(call.env, 1) != 0) RaiseEscape(&call);
    EnterImageCall(&call);
    auto result = fn();
    LeaveImageCall(&call);
    return result;
}

// The entry of the bridge every imported kernel routine goes through: a stub
// loads the routine's address into r11 and jumps here.
extern "C" void HkHostCallBridge();

// The check and dispatch routines of Control Flow Guard that the loader puts
// into an instrumented image's load configuration. A target that is neither
// a valid target of a loaded image nor a kernel routine's stub fast-fails
// with FAST_FAIL_GUARD_ICALL_CHECK_FAILURE.
extern "C" void HkGuardCheckICall();
extern "C" void HkGuardDispatchICall();
// Whether an indirect call to target would be allowed.
bool ValidCallTarget(std::uintptr_t target);
// Set by the loader: whether address is the start of a kernel routine's stub.
void SetKernelStubs(std::uintptr_t begin, std::uintptr_t end, std::size_t stride);

// ---------------------------------------------------------------------------
// The fault handler's side (guard.cpp)
// ---------------------------------------------------------------------------

// Handles a SIGSEGV or SIGBUS that belongs to a loaded image: a fault in
// image code, or in a kernel routine the image called. Either changes the
// interrupted context to resume in the frame whose __except accepts it and
// returns true, or jumps back to the innermost ImageCall (fast-fail, no
// handler). Returns false for every other fault. host_guard is the innermost
// host guard frame of the thread (null when none): a fault under a host guard
// more recent than every image call is the host guard's.
bool DispatchImageFault(int sig, siginfo_t* info, void* ucontext, const void* host_guard);

// Makes sure the host kernel's fault handler and the thread's alternate
// signal stack are in place (guard.cpp).
void ArmFaultHandler();

// Exceptions dispatched to an image's handler since the process started.
std::uint64_t DispatchedExceptionCount();

}  // namespace hk::image
