// What a real driver image needs of the processor that user mode does not
// give it: a processor block reachable through GS (the DDK's inline
// KeGetCurrentThread reads the current thread at %gs:0x188), reads and
// writes of CR8 (its inline KeGetCurrentIrql), which fault here and are
// carried out on the hosted thread's IRQL, and kernel-sized stacks with a
// guard page whose hit fails the run instead of crashing it.
#include "platform/hosted/image.h"
#include "platform/hosted/state.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
// AddressSanitizer keeps its own record of the stack in use: each move to a
// kernel stack and back is announced to it, as a fiber switch is.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORN_ASAN_STACKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VORN_ASAN_STACKS 1
#endif
#ifdef VORN_ASAN_STACKS
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(__x86_64__)
#include <asm/prctl.h>
#include <sys/syscall.h>
#endif

extern "C" void VornCallOnStack(void (*routine)(void*), void* argument, void* top);
extern "C" void VornDpcInterrupt();

namespace hosted {

namespace {

#if defined(__x86_64__)
constexpr size_t KernelStackSize = 24 * 1024;
constexpr size_t CurrentThreadOffset = 0x188; // KPCR.Prcb.CurrentThread
#else
constexpr size_t KernelStackSize = 12 * 1024;
#endif
constexpr uint32_t StackFill = 0x5a5aa5a5u;
// What the fault handler needs to run on an overflowed stack.
constexpr size_t SignalStackBytes = 32 * 1024;

std::atomic<bool> g_imageMode{false};
std::atomic<size_t> g_deepestThread{0};
std::atomic<size_t> g_deepestDpc{0};
struct sigaction g_previousSegv;
struct sigaction g_previousIll;

#if defined(__x86_64__)
// The processor block the running OS thread's GS points at.
struct alignas(64) ProcessorBlock {
    unsigned char Bytes[0x400];
};
thread_local ProcessorBlock t_processor;
#endif
thread_local bool t_prepared = false;

size_t PageSize()
{
    return size_t(sysconf(_SC_PAGESIZE));
}

void WriteError(const char* text)
{
    // The driver's output so far, unless the fault came inside stdio.
    if (ftrylockfile(stdout) == 0) {
        fflush_unlocked(stdout);
        funlockfile(stdout);
    }
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

[[noreturn]] void FailFromHandler(const char* text)
{
    WriteError(text);
    _exit(3);
}

#if defined(__x86_64__)
// The general registers by their number in an instruction's encoding.
constexpr int RegisterSlot[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                  REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                  REG_R12, REG_R13, REG_R14, REG_R15};

// `mov %cr8,reg` (REX.R 0F 20 /r) or `mov reg,%cr8` (REX.R 0F 22 /r): done
// on the hosted thread's IRQL, and the instruction skipped.
bool EmulateCr8(greg_t* registers, const unsigned char* code)
{
    unsigned rex = 0;
    size_t at = 0;
    if ((code[0] & 0xf0) == 0x40)
        rex = code[at++];
    if (code[at] != 0x0f || (code[at + 1] != 0x20 && code[at + 1] != 0x22))
        return false;
    const bool write = code[at + 1] == 0x22;
    const unsigned modrm = code[at + 2];
    const unsigned control = ((modrm >> 3) & 7) | ((rex & 4) ? 8 : 0);
    const unsigned gpr = (modrm & 7) | ((rex & 1) ? 8 : 0);
    if (control != 8)
        return false;
    ThreadState& thread = CurrentThread();
    greg_t& reg = registers[RegisterSlot[gpr]];
    if (write)
        thread.Irql = KIRQL(reg & 0xf);
    else
        reg = greg_t(thread.Irql);
    registers[REG_RIP] += greg_t(at + 3);
    if (write && thread.Irql < DISPATCH_LEVEL && g_state &&
        g_state->QueuedDpcs.load(std::memory_order_acquire) != 0) {
        // Lowered below DISPATCH_LEVEL with DPCs pending: their interrupt
        // comes at once, as if called from the next instruction. Windows
        // code keeps no red zone below its stack pointer.
        registers[REG_RSP] -= 8;
        *reinterpret_cast<greg_t*>(registers[REG_RSP]) = registers[REG_RIP];
        registers[REG_RIP] = reinterpret_cast<greg_t>(VornDpcInterrupt);
    }
    return true;
}
#endif

// A fault just below the stack pointer, on a page nobody may touch: the
// stack ran into its guard page.
bool StackOverflow(const siginfo_t* info, uintptr_t sp)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    // The faulting store may lie below the stack pointer (a push) or just
    // above it (a local of the frame just made), so neither side may wrap.
    return info->si_code == SEGV_ACCERR && address < sp + 4096 && address + 64 * 1024 > sp;
}

void FaultHandler(int signal, siginfo_t* info, void* context)
{
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    greg_t* registers = uc->uc_mcontext.gregs;
    const uintptr_t pc = uintptr_t(registers[REG_RIP]);
    const uintptr_t sp = uintptr_t(registers[REG_RSP]);
#else
    greg_t* registers = uc->uc_mcontext.gregs;
    const uintptr_t pc = uintptr_t(registers[REG_EIP]);
    const uintptr_t sp = uintptr_t(registers[REG_ESP]);
#endif
    uintptr_t base = 0;
    const bool inImage = InLoadedImage(pc, &base);
    char text[200];
    // A privileged instruction raises a general-protection fault, which
    // Linux reports as SIGSEGV from the kernel; valgrind, which does not
    // decode CR8 moves, raises SIGILL at them instead.
    const bool privileged = (signal == SIGSEGV && info->si_code == SI_KERNEL) || signal == SIGILL;
    if (inImage && privileged) {
#if defined(__x86_64__)
        if (EmulateCr8(registers, reinterpret_cast<const unsigned char*>(pc)))
            return;
#endif
        const auto* code = reinterpret_cast<const unsigned char*>(pc);
        std::snprintf(text, sizeof text,
                      "verifier: image: privileged instruction at image+0x%lx (bytes %02x %02x "
                      "%02x %02x)\n",
                      (unsigned long)(pc - base), code[0], code[1], code[2], code[3]);
        FailFromHandler(text);
    }
    if (StackOverflow(info, sp)) {
        if (inImage)
            std::snprintf(text, sizeof text,
                          "verifier: stack: the %zu KB kernel stack overflowed in the image at "
                          "image+0x%lx\n",
                          KernelStackSize / 1024, (unsigned long)(pc - base));
        else
            std::snprintf(text, sizeof text,
                          "verifier: stack: the %zu KB kernel stack overflowed in hosted code at "
                          "%p\n",
                          KernelStackSize / 1024, reinterpret_cast<void*>(pc));
        FailFromHandler(text);
    }
    // Any other fault is a crash, as it would be without us: the handler
    // before ours (a sanitizer's, or the default) sees it again.
    sigaction(signal, signal == SIGILL ? &g_previousIll : &g_previousSegv, nullptr);
}

void InstallFaultHandler()
{
    struct sigaction action = {};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previousSegv);
    sigaction(SIGILL, &action, &g_previousIll);
}

// Bytes of a pattern-filled stack that were ever written, read from the
// bottom up until the fill ends.
size_t StackUsed(const void* bottom, size_t size)
{
    const auto* words = static_cast<const uint32_t*>(bottom);
    size_t untouched = 0;
    while (untouched < size / 4 && words[untouched] == StackFill)
        ++untouched;
    return size - untouched * 4;
}

void RecordDeepest(std::atomic<size_t>& deepest, size_t used)
{
    size_t seen = deepest.load();
    while (used > seen && !deepest.compare_exchange_weak(seen, used)) {
    }
}

} // namespace

bool ImageMode()
{
    return g_imageMode.load(std::memory_order_relaxed);
}

void PrepareOsThreadForImages()
{
    if (!ImageMode() || t_prepared)
        return;
    t_prepared = true;
    // A sanitizer may have given the thread one already, and frees it
    // itself; else one for the thread's life.
    stack_t present = {};
    sigaltstack(nullptr, &present);
    if (present.ss_flags & SS_DISABLE) {
        thread_local std::unique_ptr<char[]> t_signalStack(new char[SignalStackBytes]);
        stack_t alternate = {};
        alternate.ss_sp = t_signalStack.get();
        alternate.ss_size = SignalStackBytes;
        sigaltstack(&alternate, nullptr);
    }
#if defined(__x86_64__)
    syscall(SYS_arch_prctl, ARCH_SET_GS, &t_processor);
#endif
    UpdateProcessorThread();
}

void UpdateProcessorThread()
{
#if defined(__x86_64__)
    if (!ImageMode())
        return;
    PKTHREAD current = KeGetCurrentThread();
    std::memcpy(t_processor.Bytes + CurrentThreadOffset, &current, sizeof current);
#endif
}

void PrepareForImages()
{
    if (g_imageMode.exchange(true))
        return;
    InstallFaultHandler();
    PrepareOsThreadForImages();
}

size_t HostedStackBytes(size_t hostedDefault)
{
    return ImageMode() ? KernelStackSize : hostedDefault;
}

void FillStack(void* bottom, size_t size)
{
    if (!ImageMode())
        return;
    auto* words = static_cast<uint32_t*>(bottom);
    for (size_t i = 0; i < size / 4; ++i)
        words[i] = StackFill;
}

void RecordStackUse(const void* bottom, size_t size)
{
    if (ImageMode())
        RecordDeepest(g_deepestThread, StackUsed(bottom, size));
}

void* GuardedStack(size_t size)
{
    const size_t guard = PageSize();
    void* memory = mmap(nullptr, size + guard, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    mprotect(memory, guard, PROT_NONE);
    return memory;
}

namespace {

// A kernel-sized stack made when first needed, its guard page below it.
class KernelStack {
public:
    KernelStack() = default;
    KernelStack(const KernelStack&) = delete;
    KernelStack& operator=(const KernelStack&) = delete;
    ~KernelStack()
    {
        if (memory_) {
            RecordDeepest(*deepest_, Used());
            munmap(memory_, KernelStackSize + PageSize());
        }
    }
    void Track(std::atomic<size_t>* deepest) { deepest_ = deepest; }
    size_t Used() const { return memory_ ? StackUsed(Bottom(), KernelStackSize) : 0; }
    void Call(void (*routine)(void*), void* argument)
    {
        if (!memory_) {
            memory_ = GuardedStack(KernelStackSize);
            if (!memory_)
                VerifierFail("stack", "no memory for a kernel stack");
            FillStack(Bottom(), KernelStackSize);
        }
        ThreadState& thread = CurrentThread();
        const bool outer = thread.OnKernelStack;
        thread.OnKernelStack = true;
        Trip trip{routine, argument};
#ifdef VORN_ASAN_STACKS
        void* fake = nullptr;
        __sanitizer_start_switch_fiber(&fake, Bottom(), KernelStackSize);
#endif
        VornCallOnStack(Enter, &trip, Bottom() + KernelStackSize);
#ifdef VORN_ASAN_STACKS
        __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
        CurrentThread().OnKernelStack = outer;
    }

private:
    struct Trip {
        void (*Routine)(void*);
        void* Argument;
        const void* OuterBottom = nullptr;
        size_t OuterSize = 0;
    };
    // On the kernel stack: the call, and the way back announced.
    static void Enter(void* argument)
    {
        auto* trip = static_cast<Trip*>(argument);
#ifdef VORN_ASAN_STACKS
        __sanitizer_finish_switch_fiber(nullptr, &trip->OuterBottom, &trip->OuterSize);
#endif
        trip->Routine(trip->Argument);
#ifdef VORN_ASAN_STACKS
        __sanitizer_start_switch_fiber(nullptr, trip->OuterBottom, trip->OuterSize);
#endif
    }
    char* Bottom() const
    {
        return static_cast<char*>(memory_) + PageSize();
    }
    void* memory_ = nullptr;
    std::atomic<size_t>* deepest_ = nullptr;
};

// Per OS thread: the stack a thread that began on its host stack (the first
// thread, a system thread on an OS thread) moves to when it calls into a
// driver, and the one its DPCs run on. In fibers mode only the first thread
// uses the first, and DPCs, which never block, share the second.
struct KernelStacks {
    KernelStacks()
    {
        Thread.Track(&g_deepestThread);
        Dpc.Track(&g_deepestDpc);
    }
    KernelStack Thread, Dpc;
};
thread_local KernelStacks t_stacks;

} // namespace

void RunOnKernelStack(void (*routine)(void*), void* argument)
{
    if (NeedsKernelStack())
        t_stacks.Thread.Call(routine, argument);
    else
        routine(argument);
}

// Windows runs DPCs on a stack of their own, as deep as a thread's.
void CallOnDpcStack(void (*routine)(void*), void* argument)
{
    if (ImageMode())
        t_stacks.Dpc.Call(routine, argument);
    else
        routine(argument);
}

extern "C" void VornDeliverDpcs()
{
    DrainDpcs();
}

StackUse DeepestStackUse()
{
    // The calling thread's stacks are still in use: read them as they are.
    RecordDeepest(g_deepestThread, t_stacks.Thread.Used());
    RecordDeepest(g_deepestDpc, t_stacks.Dpc.Used());
    return StackUse{g_deepestThread.load(), g_deepestDpc.load(), KernelStackSize};
}

} // namespace hosted

// Calls routine(argument) with the stack pointer at `top`, and returns on
// the caller's stack. The frame pointer keeps the way back, for unwinders
// too.
#if defined(__x86_64__)
asm(R"(
    .text
    .globl VornCallOnStack
    .type VornCallOnStack, @function
VornCallOnStack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    andq $-16, %rdx
    movq %rdx, %rsp
    movq %rdi, %rax
    movq %rsi, %rdi
    call *%rax
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size VornCallOnStack, .-VornCallOnStack

// The DPC interrupt after a CR8 write lowered the IRQL: entered as if called
// from the interrupted instruction's successor, it keeps every register and
// the flags of the interrupted code (the Windows convention's callee-saved
// rsi, rdi and xmm6-15 are the host's scratch registers).
    .globl VornDpcInterrupt
    .type VornDpcInterrupt, @function
VornDpcInterrupt:
    pushfq
    pushq %rax
    pushq %rcx
    pushq %rdx
    pushq %rsi
    pushq %rdi
    pushq %r8
    pushq %r9
    pushq %r10
    pushq %r11
    pushq %rbx
    pushq %rbp
    movq %rsp, %rbp
    andq $-16, %rsp
    subq $256, %rsp
    movdqu %xmm0, 0(%rsp)
    movdqu %xmm1, 16(%rsp)
    movdqu %xmm2, 32(%rsp)
    movdqu %xmm3, 48(%rsp)
    movdqu %xmm4, 64(%rsp)
    movdqu %xmm5, 80(%rsp)
    movdqu %xmm6, 96(%rsp)
    movdqu %xmm7, 112(%rsp)
    movdqu %xmm8, 128(%rsp)
    movdqu %xmm9, 144(%rsp)
    movdqu %xmm10, 160(%rsp)
    movdqu %xmm11, 176(%rsp)
    movdqu %xmm12, 192(%rsp)
    movdqu %xmm13, 208(%rsp)
    movdqu %xmm14, 224(%rsp)
    movdqu %xmm15, 240(%rsp)
    cld
    call VornDeliverDpcs@PLT
    movdqu 0(%rsp), %xmm0
    movdqu 16(%rsp), %xmm1
    movdqu 32(%rsp), %xmm2
    movdqu 48(%rsp), %xmm3
    movdqu 64(%rsp), %xmm4
    movdqu 80(%rsp), %xmm5
    movdqu 96(%rsp), %xmm6
    movdqu 112(%rsp), %xmm7
    movdqu 128(%rsp), %xmm8
    movdqu 144(%rsp), %xmm9
    movdqu 160(%rsp), %xmm10
    movdqu 176(%rsp), %xmm11
    movdqu 192(%rsp), %xmm12
    movdqu 208(%rsp), %xmm13
    movdqu 224(%rsp), %xmm14
    movdqu 240(%rsp), %xmm15
    movq %rbp, %rsp
    popq %rbp
    popq %rbx
    popq %r11
    popq %r10
    popq %r9
    popq %r8
    popq %rdi
    popq %rsi
    popq %rdx
    popq %rcx
    popq %rax
    popfq
    ret
    .size VornDpcInterrupt, .-VornDpcInterrupt
)");
#elif defined(__i386__)
asm(R"(
    .text
    .globl VornCallOnStack
    .type VornCallOnStack, @function
VornCallOnStack:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    movl 8(%ebp), %eax
    movl 12(%ebp), %ecx
    movl 16(%ebp), %edx
    andl $-16, %edx
    movl %edx, %esp
    subl $12, %esp
    pushl %ecx
    call *%eax
    movl %ebp, %esp
    popl %ebp
    .cfi_def_cfa %esp, 4
    ret
    .cfi_endproc
    .size VornCallOnStack, .-VornCallOnStack
)");
#endif
