// Calls between the host kernel and loaded driver images, and structured
// exception dispatch for faults inside them (seh_dispatch.h).
//
// A fault in image code is dispatched as the Windows x64 kernel does it, from
// the interrupted context: the RUNTIME_FUNCTION of each frame is looked up in
// the image's exception directory and the frame is virtually unwound with its
// UNWIND_INFO, until a frame whose language handler is the image's
// __C_specific_handler has a scope-table entry that covers the frame's
// instruction pointer and accepts the exception. The thread then resumes in
// that frame: its non-volatile registers and stack pointer as unwinding
// recovered them, RIP at the entry's JumpTarget, RAX holding the exception
// code. The handler itself is never called: the loader accepts only scope
// tables whose filters are the constant EXCEPTION_EXECUTE_HANDLER and that
// have no termination handlers, so the scope table alone decides.
//
// Frames are unwound with the unwind codes clang emits: UWOP_PUSH_NONVOL,
// UWOP_ALLOC_LARGE, UWOP_ALLOC_SMALL, UWOP_SET_FPREG, UWOP_SAVE_NONVOL(_FAR),
// UWOP_SAVE_XMM128(_FAR), and chained unwind information. A fault inside an
// epilog is not unwound as one (an epilog only pops, and faults only on a
// broken stack). Code without a RUNTIME_FUNCTION is a leaf: its return address
// is at RSP.
//
// A fault in a kernel routine the image called starts from the HostCall
// record of that call instead: the image's registers at the call, RIP at the
// return address (the routine's own frames are left as they are: a fault is
// no C++ exception). When unwinding reaches a return address in host code (an
// image callback called by a kernel routine), the thread resumes there as if
// the callback had called HkThrowPending, which throws: the kernel routine's
// frames unwind as C++ frames, and the HostCall that catches the exception
// carries the dispatch on from the image's registers at that call. What
// leaves the image without a handler (a fast-fail, an unhandled exception, a
// host routine's exception) travels the same way, up to the ImageCall, where
// it is raised to the host.
#include "hostkernel/seh_dispatch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <ucontext.h>

namespace hk::image {
namespace {

thread_local CallRecord* t_chain = nullptr;

// What is leaving the image, from where it started to the ImageCall that
// raises it. Plain data: the fault handler writes it.
enum class Escape : int { None, Seh, FastFail, Unhandled, HostException };
struct Pending {
    Escape kind;
    ULONG code;                 // exception or fast-fail code
    std::uintptr_t address;     // where the exception happened
    const ImageCode* image;     // the image holding address, if any
};
thread_local Pending t_pending = {};
// The exception of a host routine, for Escape::HostException; set and read
// outside the fault handler only.
thread_local std::exception_ptr t_exception;

// Thrown through the frames of a kernel routine between two image frames,
// for an exception on its way to an __except block.
struct SehInFlight {};

std::atomic<std::uint64_t> g_dispatched{0};

// ---------------------------------------------------------------------------
// Registered images
// ---------------------------------------------------------------------------
constexpr int kMaxImages = 64;
std::atomic<const ImageCode*> g_codes[kMaxImages];

// ---------------------------------------------------------------------------
// The HostCall record that HkHostCallBridge builds on the stack. The offsets
// are those of the assembly below.
// ---------------------------------------------------------------------------
struct HostCallFrame {
    CallRecord header;              // 0
    std::uint64_t target;           // 16: the kernel routine
    std::uint64_t args[4];          // 24: rcx, rdx, r8, r9
    std::uint64_t caller_rsp;       // 56: the image's RSP once the call returns
    std::uint64_t return_address;   // 64
    std::uint64_t rbx, rbp, rsi, rdi, r12, r13, r14, r15;  // 72 .. 128
    std::uint64_t pad;              // 136
    std::uint64_t xmm[10][2];       // 144: xmm6 .. xmm15
};
static_assert(offsetof(HostCallFrame, target) == 16);
static_assert(offsetof(HostCallFrame, caller_rsp) == 56);
static_assert(offsetof(HostCallFrame, rbx) == 72);
static_assert(offsetof(HostCallFrame, xmm) == 144);
static_assert(sizeof(HostCallFrame) == 304);

ImageCall* InnermostImageCall() {
    for (CallRecord* r = t_chain; r != nullptr; r = r->previous) {
        if (r->kind == CallKind::Image) return static_cast<ImageCall*>(r);
    }
    return nullptr;
}

// Back to the ImageCall, t_pending saying why. The records of the frames
// being left go with them.
[[noreturn]] void EscapeTo(ImageCall* call) {
    t_chain = call;
    siglongjmp(call->env, 1);
}

// Carries on what a HostCall caught (t_pending), from the image's registers
// at that call.
[[noreturn]] void ContinueFromHostCall(const HostCallFrame* frame);
[[noreturn]] void ThrowPending();

}  // namespace
}  // namespace hk::image

using hk::image::HostCallFrame;

extern "C" ULONG_PTR NTAPI HkInvokeHostRoutine(HostCallFrame* frame);

// The body of every call from image code into a kernel routine. A C++
// exception thrown by the routine cannot travel through the image's frames
// (they have no DWARF unwind data): it is caught here and carried on past
// them.
extern "C" ULONG_PTR NTAPI HkHostCall(HostCallFrame* frame) {
    using namespace hk::image;
    frame->header.kind = CallKind::Host;
    frame->header.previous = t_chain;
    t_chain = &frame->header;
    ULONG_PTR result = 0;
    bool caught = false;
    try {
        result = HkInvokeHostRoutine(frame);
    } catch (const SehInFlight&) {
        caught = true;  // t_pending holds the exception
    } catch (...) {
        caught = true;
        t_exception = std::current_exception();
        t_pending = Pending{Escape::HostException, 0, 0, nullptr};
    }
    t_chain = frame->header.previous;
    if (caught) ContinueFromHostCall(frame);
    return result;
}

// Called, in effect, by a kernel routine in place of the image callback it
// called: throws what is leaving the image, through the routine's frames. A
// fast-fail or unhandled exception becomes the host's exception here (and is
// counted here, once).
extern "C" void HkThrowPending() {
    using namespace hk::image;
    if (t_pending.kind == Escape::Seh) throw SehInFlight{};
    ThrowPending();
}

extern "C" [[noreturn]] void HkResumeContext(const void* context);

extern "C" bool NTAPI HkGuardValidTarget(std::uintptr_t target) {
    return hk::image::ValidCallTarget(target);
}

// HkHostCallBridge: r11 holds the kernel routine, the stack and the argument
// registers are as the image's call left them. Builds the HostCall record
// (the image's non-volatile registers, its stack pointer and return address)
// and calls HkHostCall(record).
//
// HkInvokeHostRoutine(record): calls the routine with the image's arguments:
// the four registers and eight stack slots (no kernel routine takes more than
// twelve arguments).
//
// HkGuardDispatchICall / HkGuardCheckICall: Control Flow Guard's routines,
// target in rax / rcx. Every argument register survives the check.
//
// HkResumeContext(context): loads a Context's RAX, non-volatile registers and
// RSP, and jumps to its RIP.
asm(R"(
        .text
        .globl  HkHostCallBridge
        .type   HkHostCallBridge, @function
        .p2align 4
HkHostCallBridge:
        .cfi_startproc
        subq    $312, %rsp
        .cfi_adjust_cfa_offset 312
        movq    %r11, 16(%rsp)
        movq    %rcx, 24(%rsp)
        movq    %rdx, 32(%rsp)
        movq    %r8, 40(%rsp)
        movq    %r9, 48(%rsp)
        leaq    320(%rsp), %rax
        movq    %rax, 56(%rsp)
        movq    312(%rsp), %rax
        movq    %rax, 64(%rsp)
        movq    %rbx, 72(%rsp)
        movq    %rbp, 80(%rsp)
        movq    %rsi, 88(%rsp)
        movq    %rdi, 96(%rsp)
        movq    %r12, 104(%rsp)
        movq    %r13, 112(%rsp)
        movq    %r14, 120(%rsp)
        movq    %r15, 128(%rsp)
        .irp    n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movaps  %xmm\n, (144 + (\n - 6) * 16)(%rsp)
        .endr
        movq    %rsp, %rcx
        subq    $32, %rsp
        .cfi_adjust_cfa_offset 32
        call    HkHostCall@PLT
        addq    $344, %rsp
        .cfi_adjust_cfa_offset -344
        ret
        .cfi_endproc
        .size   HkHostCallBridge, .-HkHostCallBridge

        .globl  HkInvokeHostRoutine
        .type   HkInvokeHostRoutine, @function
        .p2align 4
HkInvokeHostRoutine:
        .cfi_startproc
        pushq   %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq    %rsp, %rbp
        .cfi_def_cfa_register %rbp
        subq    $96, %rsp
        movq    56(%rcx), %rax
        .irp    slot, 32, 40, 48, 56, 64, 72, 80, 88
        movq    \slot(%rax), %r10
        movq    %r10, \slot(%rsp)
        .endr
        movq    16(%rcx), %r11
        movq    32(%rcx), %rdx
        movq    40(%rcx), %r8
        movq    48(%rcx), %r9
        movq    24(%rcx), %rcx
        call    *%r11
        movq    %rbp, %rsp
        popq    %rbp
        .cfi_def_cfa %rsp, 8
        ret
        .cfi_endproc
        .size   HkInvokeHostRoutine, .-HkInvokeHostRoutine

        # The Windows volatile registers, kept around the validity check
        # (which runs with the host's convention); the flags of its result
        # survive the restore.
        .macro SAVE_WINDOWS_VOLATILES
        pushq   %rax
        pushq   %rcx
        pushq   %rdx
        pushq   %r8
        pushq   %r9
        pushq   %r10
        pushq   %r11
        subq    $128, %rsp
        movaps  %xmm0, 32(%rsp)
        movaps  %xmm1, 48(%rsp)
        movaps  %xmm2, 64(%rsp)
        movaps  %xmm3, 80(%rsp)
        movaps  %xmm4, 96(%rsp)
        movaps  %xmm5, 112(%rsp)
        .endm
        .macro RESTORE_WINDOWS_VOLATILES
        movaps  32(%rsp), %xmm0
        movaps  48(%rsp), %xmm1
        movaps  64(%rsp), %xmm2
        movaps  80(%rsp), %xmm3
        movaps  96(%rsp), %xmm4
        movaps  112(%rsp), %xmm5
        leaq    128(%rsp), %rsp
        popq    %r11
        popq    %r10
        popq    %r9
        popq    %r8
        popq    %rdx
        popq    %rcx
        popq    %rax
        .endm

        .globl  HkGuardDispatchICall
        .type   HkGuardDispatchICall, @function
        .p2align 4
HkGuardDispatchICall:
        SAVE_WINDOWS_VOLATILES
        movq    %rax, %rcx
        call    HkGuardValidTarget@PLT
        testb   %al, %al
        RESTORE_WINDOWS_VOLATILES
        je      1f
        jmp     *%rax
1:      movq    %rax, %rdx
        jmp     HkGuardFastFail
        .size   HkGuardDispatchICall, .-HkGuardDispatchICall

        .globl  HkGuardCheckICall
        .type   HkGuardCheckICall, @function
        .p2align 4
HkGuardCheckICall:
        SAVE_WINDOWS_VOLATILES
        call    HkGuardValidTarget@PLT
        testb   %al, %al
        RESTORE_WINDOWS_VOLATILES
        je      1f
        ret
1:      movq    %rcx, %rdx
        jmp     HkGuardFastFail
        .size   HkGuardCheckICall, .-HkGuardCheckICall

        .globl  HkGuardFastFail
        .type   HkGuardFastFail, @function
HkGuardFastFail:
        movl    $10, %ecx
        int     $0x29
        .size   HkGuardFastFail, .-HkGuardFastFail

        .globl  HkResumeContext
        .type   HkResumeContext, @function
        .p2align 4
HkResumeContext:
        movdqu  232(%rdi), %xmm6
        movdqu  248(%rdi), %xmm7
        movdqu  264(%rdi), %xmm8
        movdqu  280(%rdi), %xmm9
        movdqu  296(%rdi), %xmm10
        movdqu  312(%rdi), %xmm11
        movdqu  328(%rdi), %xmm12
        movdqu  344(%rdi), %xmm13
        movdqu  360(%rdi), %xmm14
        movdqu  376(%rdi), %xmm15
        movq    0(%rdi), %rax
        movq    24(%rdi), %rbx
        movq    40(%rdi), %rbp
        movq    48(%rdi), %rsi
        movq    96(%rdi), %r12
        movq    104(%rdi), %r13
        movq    112(%rdi), %r14
        movq    120(%rdi), %r15
        movq    128(%rdi), %r11
        movq    32(%rdi), %rsp
        movq    56(%rdi), %rdi
        jmp     *%r11
        .size   HkResumeContext, .-HkResumeContext
)");

extern "C" void HkGuardFastFail();

namespace hk::image {
namespace {

// ---------------------------------------------------------------------------
// Register context, in the register numbering of the unwind codes.
// ---------------------------------------------------------------------------
enum Reg { kRax, kRcx, kRdx, kRbx, kRsp, kRbp, kRsi, kRdi, kR8, kR9, kR10, kR11, kR12, kR13, kR14, kR15 };

struct Context {
    std::uint64_t gpr[16];
    std::uint64_t rip;
    std::uint64_t xmm[16][2];
};
static_assert(offsetof(Context, rip) == 128 && offsetof(Context, xmm) == 136, "HkResumeContext's offsets");

constexpr int kGregOf[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                             REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

void FromUcontext(const ucontext_t* uc, Context* ctx) {
    for (int i = 0; i < 16; ++i) ctx->gpr[i] = static_cast<std::uint64_t>(uc->uc_mcontext.gregs[kGregOf[i]]);
    ctx->rip = static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
    std::memset(ctx->xmm, 0, sizeof ctx->xmm);
    if (uc->uc_mcontext.fpregs != nullptr) {
        for (int i = 0; i < 16; ++i) std::memcpy(ctx->xmm[i], uc->uc_mcontext.fpregs->_xmm[i].element, 16);
    }
}

void FromHostCall(const HostCallFrame* frame, Context* ctx) {
    std::memset(ctx, 0, sizeof *ctx);
    ctx->gpr[kRbx] = frame->rbx;
    ctx->gpr[kRbp] = frame->rbp;
    ctx->gpr[kRsi] = frame->rsi;
    ctx->gpr[kRdi] = frame->rdi;
    ctx->gpr[kR12] = frame->r12;
    ctx->gpr[kR13] = frame->r13;
    ctx->gpr[kR14] = frame->r14;
    ctx->gpr[kR15] = frame->r15;
    ctx->gpr[kRsp] = frame->caller_rsp;
    ctx->rip = frame->return_address;
    std::memcpy(ctx->xmm[6], frame->xmm, sizeof frame->xmm);
}

// The registers a handler frame resumes with: the non-volatile ones, RSP,
// RIP and RAX. Volatile registers have no defined value at a JumpTarget.
void ToUcontext(const Context& ctx, ucontext_t* uc) {
    for (int reg : {kRax, kRbx, kRsp, kRbp, kRsi, kRdi, kR12, kR13, kR14, kR15}) {
        uc->uc_mcontext.gregs[kGregOf[reg]] = static_cast<greg_t>(ctx.gpr[reg]);
    }
    uc->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(ctx.rip);
    if (uc->uc_mcontext.fpregs != nullptr) {
        for (int i = 6; i < 16; ++i) std::memcpy(uc->uc_mcontext.fpregs->_xmm[i].element, ctx.xmm[i], 16);
    }
}

// ---------------------------------------------------------------------------
// Reads. The image's tables were checked at load; the stack is read only
// between the fault's stack pointer and the innermost ImageCall record,
// which lies above every frame being unwound.
// ---------------------------------------------------------------------------
std::uint16_t Get16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
std::uint32_t Get32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

struct Stack {
    std::uintptr_t low;
    std::uintptr_t high;
    bool Read(std::uintptr_t address, void* out, std::size_t n) const {
        if (address < low || address > high || n > high - address) return false;
        std::memcpy(out, reinterpret_cast<const void*>(address), n);
        return true;
    }
};

// The RUNTIME_FUNCTION that covers rva, or null.
const std::uint8_t* LookupFunction(const ImageCode& code, std::uint32_t rva) {
    std::uint32_t low = 0, high = code.pdata_count;
    while (low < high) {
        const std::uint32_t middle = low + (high - low) / 2;
        const std::uint8_t* entry = code.pdata + 12 * std::size_t(middle);
        if (rva < Get32(entry)) {
            high = middle;
        } else if (rva >= Get32(entry + 4)) {
            low = middle + 1;
        } else {
            return entry;
        }
    }
    return nullptr;
}

constexpr std::uint8_t kFlagExceptionHandler = 1;
constexpr std::uint8_t kFlagChainInfo = 4;

enum UnwindOp : std::uint8_t {
    kPushNonvol = 0,
    kAllocLarge = 1,
    kAllocSmall = 2,
    kSetFpreg = 3,
    kSaveNonvol = 4,
    kSaveNonvolFar = 5,
    kSaveXmm128 = 8,
    kSaveXmm128Far = 9,
};

// Slots of the code array an unwind code takes.
int SlotCount(std::uint8_t op, std::uint8_t op_info) {
    switch (op) {
    case kAllocLarge: return op_info == 0 ? 2 : 3;
    case kSaveNonvol:
    case kSaveXmm128: return 2;
    case kSaveNonvolFar:
    case kSaveXmm128Far: return 3;
    default: return 1;
    }
}

// Unwinds the frame of the function entry fn, whose context is ctx, into the
// caller's context. False when the unwind data or the stack cannot be used.
bool VirtualUnwind(const ImageCode& code, const std::uint8_t* fn, Context& ctx, const Stack& stack) {
    const std::uint32_t offset = static_cast<std::uint32_t>(ctx.rip - code.base) - Get32(fn);
    const std::uint8_t* info = reinterpret_cast<const std::uint8_t*>(code.base) + Get32(fn + 8);
    bool primary = true;
    for (int chain = 0; chain < 32; ++chain) {
        const std::uint8_t flags = info[0] >> 3;
        const std::uint8_t prolog = info[1];
        const std::uint8_t count = info[2];
        const int frame_reg = info[3] & 0x0F;
        const std::uint64_t frame_offset = std::uint64_t(info[3] >> 4) * 16;
        const std::uint8_t* codes = info + 4;
        // Whether the prolog instruction that a code describes has run: all
        // of them past the prolog, and in chained (parent) information.
        auto ran = [&](std::uint8_t code_offset) {
            return !primary || offset >= prolog || offset >= code_offset;
        };

        // Saved registers lie at offsets from the frame: the frame register
        // minus its offset once it is established, else RSP.
        std::uint64_t frame = ctx.gpr[kRsp];
        if (frame_reg != 0) {
            bool established = !primary || offset >= prolog;
            for (int i = 0; !established && i < count;
                 i += SlotCount(codes[2 * i + 1] & 0x0F, codes[2 * i + 1] >> 4)) {
                if ((codes[2 * i + 1] & 0x0F) == kSetFpreg && ran(codes[2 * i])) established = true;
            }
            if (established) frame = ctx.gpr[frame_reg] - frame_offset;
        }

        for (int i = 0; i < count;) {
            const std::uint8_t code_offset = codes[2 * i];
            const std::uint8_t op = codes[2 * i + 1] & 0x0F;
            const std::uint8_t op_info = codes[2 * i + 1] >> 4;
            auto slot = [&](int k) -> std::uint32_t { return Get16(codes + 2 * (i + k)); };
            const int slots = SlotCount(op, op_info);
            if (i + slots > count) return false;
            if (ran(code_offset)) {
                switch (op) {
                case kPushNonvol:
                    if (!stack.Read(ctx.gpr[kRsp], &ctx.gpr[op_info], 8)) return false;
                    ctx.gpr[kRsp] += 8;
                    break;
                case kAllocLarge:
                    ctx.gpr[kRsp] +=
                        op_info == 0 ? std::uint64_t(slot(1)) * 8 : slot(1) | (std::uint64_t(slot(2)) << 16);
                    break;
                case kAllocSmall: ctx.gpr[kRsp] += std::uint64_t(op_info) * 8 + 8; break;
                case kSetFpreg:
                    if (frame_reg == 0) return false;
                    ctx.gpr[kRsp] = ctx.gpr[frame_reg] - frame_offset;
                    break;
                case kSaveNonvol:
                    if (!stack.Read(frame + std::uint64_t(slot(1)) * 8, &ctx.gpr[op_info], 8)) return false;
                    break;
                case kSaveNonvolFar:
                    if (!stack.Read(frame + (slot(1) | (std::uint64_t(slot(2)) << 16)), &ctx.gpr[op_info],
                                    8)) {
                        return false;
                    }
                    break;
                case kSaveXmm128:
                    if (!stack.Read(frame + std::uint64_t(slot(1)) * 16, ctx.xmm[op_info], 16)) return false;
                    break;
                case kSaveXmm128Far:
                    if (!stack.Read(frame + (slot(1) | (std::uint64_t(slot(2)) << 16)), ctx.xmm[op_info],
                                    16)) {
                        return false;
                    }
                    break;
                default: return false;  // refused at load
                }
            }
            i += slots;
        }
        if (!(flags & kFlagChainInfo)) {
            if (!stack.Read(ctx.gpr[kRsp], &ctx.rip, 8)) return false;
            ctx.gpr[kRsp] += 8;
            return true;
        }
        const std::uint8_t* parent = codes + 2 * ((count + 1) & ~1);
        info = reinterpret_cast<const std::uint8_t*>(code.base) + Get32(parent + 8);
        primary = false;
    }
    return false;
}

// The JumpTarget of the scope-table entry of this frame that accepts the
// exception, if the frame has an exception handler: __C_specific_handler, the
// only one the loader accepts, whose scope table follows its address.
bool AcceptingScope(const ImageCode& code, const std::uint8_t* fn, std::uint32_t rva, std::uint32_t* target) {
    const std::uint8_t* info = reinterpret_cast<const std::uint8_t*>(code.base) + Get32(fn + 8);
    if (!((info[0] >> 3) & kFlagExceptionHandler)) return false;
    const std::uint8_t* handler = info + 4 + 2 * ((info[2] + 1) & ~1);
    const std::uint8_t* table = handler + 4;
    const std::uint32_t count = Get32(table);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = table + 4 + 16 * std::size_t(i);
        const std::uint32_t begin = Get32(entry), end = Get32(entry + 4);
        const std::uint32_t filter = Get32(entry + 8), jump = Get32(entry + 12);
        // A JumpTarget of 0 is a __finally; a filter other than 1
        // (EXCEPTION_EXECUTE_HANDLER) was refused at load.
        if (rva >= begin && rva < end && jump != 0 && filter == 1) {
            *target = jump;
            return true;
        }
    }
    return false;
}

// How a walk up the frames ended.
enum class Walk {
    Handler,    // ctx is the frame whose __except accepts the exception
    Boundary,   // ctx is a kernel routine's, at its call into the image
    ImageCall,  // the frames reach the host's call into the image
    Broken,     // the unwind data or the stack cannot be used
};

// Walks the image frames up from ctx; with seh, stops at the first frame
// that accepts the exception (its JumpTarget in *target).
Walk WalkFrames(Context& ctx, const Stack& stack, bool seh, std::uintptr_t* target) {
    for (int depth = 0; depth < 4096; ++depth) {
        const ImageCode* code = FindImageCode(ctx.rip);
        if (code == nullptr) {
            // A return address in the host: whose call is it? The record
            // right above this frame tells.
            CallRecord* record = t_chain;
            while (record != nullptr && reinterpret_cast<std::uintptr_t>(record) < ctx.gpr[kRsp]) {
                record = record->previous;
            }
            if (record == nullptr) return Walk::Broken;
            return record->kind == CallKind::Host ? Walk::Boundary : Walk::ImageCall;
        }
        const std::uint32_t rva = static_cast<std::uint32_t>(ctx.rip - code->base);
        const std::uint8_t* fn = LookupFunction(*code, rva);
        if (fn == nullptr) {
            if (!stack.Read(ctx.gpr[kRsp], &ctx.rip, 8)) return Walk::Broken;
            ctx.gpr[kRsp] += 8;
            continue;
        }
        std::uint32_t jump = 0;
        if (seh && AcceptingScope(*code, fn, rva, &jump)) {
            *target = code->base + jump;
            return Walk::Handler;
        }
        if (!VirtualUnwind(*code, fn, ctx, stack)) return Walk::Broken;
    }
    return Walk::Broken;
}

// Where the thread goes on from ctx with t_pending: into the frame whose
// __except accepts an exception (RAX the code), or, at a kernel routine's
// call into the image, into HkThrowPending as if called from there. Escapes
// to outer when neither is ahead.
void Decide(Context& ctx, const Stack& stack, ImageCall* outer, Context* resume) {
    const bool seh = t_pending.kind == Escape::Seh;
    std::uintptr_t target = 0;
    switch (WalkFrames(ctx, stack, seh, &target)) {
    case Walk::Handler:
        *resume = ctx;
        resume->rip = target;
        resume->gpr[kRax] = t_pending.code;
        t_pending.kind = Escape::None;
        g_dispatched.fetch_add(1, std::memory_order_relaxed);
        return;
    case Walk::Boundary:
        *resume = ctx;
        resume->gpr[kRsp] -= 8;  // the slot of the return address, which stays
        std::memcpy(reinterpret_cast<void*>(resume->gpr[kRsp]), &ctx.rip, 8);
        resume->rip = reinterpret_cast<std::uintptr_t>(&HkThrowPending);
        return;
    default:
        if (seh) t_pending.kind = Escape::Unhandled;
        EscapeTo(outer);
    }
}

// The records of the frames below rsp are left with them.
void PopRecordsBelow(std::uint64_t rsp) {
    while (t_chain != nullptr && reinterpret_cast<std::uintptr_t>(t_chain) < rsp) t_chain = t_chain->previous;
}

[[noreturn]] void ContinueFromHostCall(const HostCallFrame* frame) {
    ImageCall* outer = InnermostImageCall();
    if (outer == nullptr) {
        std::fputs("host kernel: an exception left a driver image that no host call entered\n", stderr);
        std::terminate();
    }
    Context ctx;
    FromHostCall(frame, &ctx);
    const Stack stack{ctx.gpr[kRsp], reinterpret_cast<std::uintptr_t>(outer)};
    Context resume;
    Decide(ctx, stack, outer, &resume);
    PopRecordsBelow(resume.gpr[kRsp]);
    HkResumeContext(&resume);
}

// Throws what t_pending holds, other than an exception in flight: the
// fast-fail trap, a bug check, or the host routine's exception.
[[noreturn]] void ThrowPending() {
    const Pending pending = t_pending;
    t_pending.kind = Escape::None;
    switch (pending.kind) {
    case Escape::FastFail: ElamFastFail(pending.code);
    case Escape::HostException: {
        std::exception_ptr exception = std::move(t_exception);
        std::rethrow_exception(exception);
    }
    default: break;
    }
    char text[160];
    if (pending.image != nullptr) {
        std::snprintf(text, sizeof text, "unhandled exception 0x%08X in %s at offset 0x%llX", pending.code,
                      pending.image->name, static_cast<unsigned long long>(pending.address - pending.image->base));
    } else {
        std::snprintf(text, sizeof text,
                      "unhandled exception 0x%08X at 0x%llX, in a kernel routine a driver image called",
                      pending.code, static_cast<unsigned long long>(pending.address));
    }
    throw BugCheck(text);
}

bool AtFastFail(const ImageCode* code, std::uintptr_t rip) {
    if (rip == reinterpret_cast<std::uintptr_t>(&HkGuardFastFail) + 5) return true;  // after movl $10, %ecx
    if (code == nullptr || !code->Executable(rip) || !code->Executable(rip + 1)) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(rip);
    return bytes[0] == 0xCD && bytes[1] == 0x29;  // int 0x29: __fastfail
}

// Kernel routine stubs, for the call-target check.
std::atomic<std::uintptr_t> g_stubs_begin{0}, g_stubs_end{0}, g_stub_stride{1};

}  // namespace

bool ImageCode::Executable(std::uintptr_t address) const {
    if (!Contains(address)) return false;
    const std::uintptr_t offset = address - base;
    for (int i = 0; i < exec_count; ++i) {
        if (offset >= exec_begin[i] && offset < exec_end[i]) return true;
    }
    return false;
}

void RegisterImageCode(const ImageCode* code) {
    for (auto& slot : g_codes) {
        const ImageCode* empty = nullptr;
        if (slot.compare_exchange_strong(empty, code)) return;
    }
    throw std::runtime_error("more than " + std::to_string(kMaxImages) + " driver images loaded at once");
}

void UnregisterImageCode(const ImageCode* code) {
    for (auto& slot : g_codes) {
        const ImageCode* expected = code;
        if (slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

const ImageCode* FindImageCode(std::uintptr_t address) {
    for (const auto& slot : g_codes) {
        const ImageCode* code = slot.load(std::memory_order_acquire);
        if (code != nullptr && code->Contains(address)) return code;
    }
    return nullptr;
}

void EnterImageCall(ImageCall* call) {
    ArmFaultHandler();
    call->kind = CallKind::Image;
    call->previous = t_chain;
    t_chain = call;
}

void LeaveImageCall(ImageCall* call) { t_chain = call->previous; }

void RaiseEscape(ImageCall* call) {
    t_chain = call->previous;
    ThrowPending();
}

void SetKernelStubs(std::uintptr_t begin, std::uintptr_t end, std::size_t stride) {
    g_stub_stride.store(stride);
    g_stubs_end.store(end);
    g_stubs_begin.store(begin);
}

bool ValidCallTarget(std::uintptr_t target) {
    if (const ImageCode* code = FindImageCode(target)) {
        const std::uint32_t rva = static_cast<std::uint32_t>(target - code->base);
        const std::uint32_t* end = code->call_targets + code->call_target_count;
        const std::uint32_t* at = std::lower_bound(code->call_targets, end, rva);
        return at != end && *at == rva;
    }
    const std::uintptr_t begin = g_stubs_begin.load();
    return begin != 0 && target >= begin && target < g_stubs_end.load() &&
           (target - begin) % g_stub_stride.load() == 0;
}

bool DispatchImageFault(int /*sig*/, siginfo_t* /*info*/, void* ucontext, const void* host_guard) {
    CallRecord* head = t_chain;
    ImageCall* outer = InnermostImageCall();
    if (head == nullptr || outer == nullptr) return false;
    if (host_guard != nullptr &&
        reinterpret_cast<std::uintptr_t>(host_guard) < reinterpret_cast<std::uintptr_t>(head)) {
        return false;
    }
    auto* uc = static_cast<ucontext_t*>(ucontext);
    const auto rip = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    const ImageCode* code = FindImageCode(rip);

    Context ctx;
    if (AtFastFail(code, rip)) {
        t_pending = Pending{Escape::FastFail, static_cast<ULONG>(uc->uc_mcontext.gregs[REG_RCX]), rip, code};
        FromUcontext(uc, &ctx);
        if (code == nullptr) {
            // The check of Control Flow Guard, entered by a call from the
            // image, has put back everything it pushed.
            std::memcpy(&ctx.rip, reinterpret_cast<const void*>(ctx.gpr[kRsp]), 8);
            ctx.gpr[kRsp] += 8;
        }
    } else if (code != nullptr) {
        t_pending = Pending{Escape::Seh, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), rip, code};
        FromUcontext(uc, &ctx);
    } else if (head->kind == CallKind::Host) {
        t_pending = Pending{Escape::Seh, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), rip, nullptr};
        FromHostCall(reinterpret_cast<const HostCallFrame*>(head), &ctx);
    } else {
        return false;  // host code that no image called
    }
    const Stack stack{ctx.gpr[kRsp], reinterpret_cast<std::uintptr_t>(outer)};
    Context resume;
    Decide(ctx, stack, outer, &resume);
    ToUcontext(resume, uc);
    PopRecordsBelow(resume.gpr[kRsp]);
    return true;
}

std::uint64_t DispatchedExceptionCount() { return g_dispatched.load(std::memory_order_relaxed); }

}  // namespace hk::image
