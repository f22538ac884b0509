// The host side of the fault guard: ElamCallGuarded runs a routine so that a
// memory fault inside it (SIGSEGV, SIGBUS) ends that routine with
// STATUS_ACCESS_VIOLATION, as __try/__except(EXCEPTION_EXECUTE_HANDLER) does
// in the kernel.
//
// Each thread keeps a chain of active guard frames. The handler jumps back to
// the innermost frame of the faulting thread. A fault outside every frame is
// not ours: the handler puts back the action it replaced and lets the fault
// happen again, so that a real crash still crashes (or reaches the
// sanitizer's report).
//
// The handler is installed when a guard is first entered, not at start-up,
// so that it takes precedence over a handler the sanitizers install early.
//
// The same handler serves loaded driver images (seh_dispatch.cpp): a fault
// in an image's code, or in a kernel routine an image called, is offered to
// the image dispatch first.

#include "hostkernel/hostkernel.h"
#include "hostkernel/pe_image.h"
#include "hostkernel/seh_dispatch.h"

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct GuardFrame {
    sigjmp_buf env;
    GuardFrame* previous;
};

thread_local GuardFrame* t_innermost = nullptr;
thread_local bool t_alternate_stack_ready = false;

constexpr int kGuardedSignals[] = {SIGSEGV, SIGBUS};
constexpr int kSignalCount = sizeof(kGuardedSignals) / sizeof(kGuardedSignals[0]);

std::atomic<std::uint64_t> g_caught_faults{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "counted from a signal handler");

std::mutex g_install_lock;
std::atomic<bool> g_installed{false};
struct sigaction g_previous[kSignalCount];

int SignalIndex(int sig) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kGuardedSignals[i] == sig) return i;
    }
    return -1;
}

void OnFault(int sig, siginfo_t* info, void* ucontext);

void InstallLocked() {
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction previous = {};
        sigaction(kGuardedSignals[i], &action, &previous);
        // Installing twice (after another component took the signal and gave
        // it back) must not make our own handler the one we fall back to.
        if (previous.sa_sigaction != OnFault) g_previous[i] = previous;
    }
    g_installed.store(true, std::memory_order_release);
}

void InstallHandler() {
    if (g_installed.load(std::memory_order_acquire)) {
        // Another component may have replaced the action since; check that
        // ours is still the one in force.
        struct sigaction current = {};
        bool ours = true;
        for (int sig : kGuardedSignals) {
            sigaction(sig, nullptr, &current);
            if (!(current.sa_flags & SA_SIGINFO) || current.sa_sigaction != OnFault) ours = false;
        }
        if (ours) return;
    }
    std::lock_guard<std::mutex> lock(g_install_lock);
    InstallLocked();
}

// A fault can come from running out of stack; the handler then needs a stack
// of its own. Keep one that some other component (a sanitizer) set up.
void EnsureAlternateStack() {
    if (t_alternate_stack_ready) return;
    stack_t current = {};
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) {
        t_alternate_stack_ready = true;
        return;
    }
    const std::size_t size = 64 * 1024;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;  // the handler still runs, on the thread's stack
    stack_t stack = {};
    stack.ss_sp = memory;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, size);
        return;
    }
    // The stack lives as long as the thread; a thread that ends leaks it.
    t_alternate_stack_ready = true;
}

void OnFault(int sig, siginfo_t* info, void* ucontext) {
    GuardFrame* frame = t_innermost;
    if (hk::image::DispatchImageFault(sig, info, ucontext, frame)) return;
    if (frame != nullptr) {
        g_caught_faults.fetch_add(1, std::memory_order_relaxed);
        siglongjmp(frame->env, 1);
    }
    // Not inside a guard: hand the signal to whoever had it before us.
    const int index = SignalIndex(sig);
    if (index >= 0) {
        sigaction(sig, &g_previous[index], nullptr);
        g_installed.store(false, std::memory_order_release);
    }
    // A fault raised by the hardware happens again when this handler returns;
    // one sent by kill() or raise() has to be sent again.
    if (info == nullptr || info->si_code <= 0) raise(sig);
}

}  // namespace

void hk::image::ArmFaultHandler() {
    EnsureAlternateStack();
    InstallHandler();
}

std::uint64_t hk::GuardedFaultCount() { return g_caught_faults.load(std::memory_order_relaxed); }

NTSTATUS ElamCallGuarded(ELAM_GUARDED_ROUTINE Routine, PVOID Context) {
    EnsureAlternateStack();
    InstallHandler();

    GuardFrame frame;
    frame.previous = t_innermost;
    // Save the signal mask: the handler runs with the fault's signal blocked,
    // and the jump back must unblock it.
    if (sigsetjmp(frame.env, 1) != 0) {
        t_innermost = frame.previous;
        return STATUS_ACCESS_VIOLATION;
    }

    // Pops this frame on every way out, including an exception thrown by the
    // host kernel's traps (a fast-fail, a bug check) through the routine.
    struct Pop {
        GuardFrame* previous;
        ~Pop() { t_innermost = previous; }
    } pop{frame.previous};

    t_innermost = &frame;
    return Routine(Context);
}
