// Fibers mode: every hosted thread runs on the OS thread that made the
// kernel, each until it blocks in a kernel wait, then the next one due. A
// hand-off between threads is a user-mode context switch instead of a futex
// round trip through the host kernel, and the order of every run repeats.
#include "platform/hosted/state.h"

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

// ThreadSanitizer cannot follow a switch of stacks; AddressSanitizer can when
// told of each one.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORN_NO_FIBERS 1
#endif
#if __has_feature(address_sanitizer)
#define VORN_ASAN_FIBERS 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VORN_NO_FIBERS 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VORN_ASAN_FIBERS 1
#endif
#ifdef VORN_ASAN_FIBERS
#include <sanitizer/common_interface_defs.h>
#endif

namespace hosted {

// The C++ runtime keeps the exceptions being handled (what `throw;` rethrows)
// and the count of those thrown and not yet caught per OS thread, in this
// layout of the Itanium C++ ABI. A fiber switched out inside a catch handler
// must find its own again, not another fiber's.
struct CxaExceptionGlobals {
    void* CaughtExceptions = nullptr;
    unsigned int UncaughtExceptions = 0;
};

struct Fiber {
    ucontext_t Context;
    void* Stack = nullptr; // with a guard page below; null for the first thread
    size_t StackBytes = 0;
    ThreadState* Thread = nullptr;
    ThreadState OwnState; // a system thread's
    HostedThread* Object = nullptr;
    Fiber* NextDue = nullptr;
    bool Due = false;
    // Its stack's bounds, for AddressSanitizer; the first thread's are
    // learnt when it first switches away.
    const void* StackBottom = nullptr;
    size_t StackSize = 0;
    CxaExceptionGlobals Exceptions; // while switched out
};

namespace {

CxaExceptionGlobals* ExceptionGlobals()
{
    return reinterpret_cast<CxaExceptionGlobals*>(abi::__cxa_get_globals());
}

void SaveExceptions(Fiber* fiber)
{
    CxaExceptionGlobals* globals = ExceptionGlobals();
    fiber->Exceptions.CaughtExceptions = globals->CaughtExceptions;
    fiber->Exceptions.UncaughtExceptions = globals->UncaughtExceptions;
}

void RestoreExceptions(const Fiber* fiber)
{
    CxaExceptionGlobals* globals = ExceptionGlobals();
    globals->CaughtExceptions = fiber->Exceptions.CaughtExceptions;
    globals->UncaughtExceptions = fiber->Exceptions.UncaughtExceptions;
}

// Deep enough for the driver's threads and for the tools that run as
// hosted threads; the pages are only committed as they are touched.
constexpr size_t StackBytes = 512 * 1024;

Fiber* g_first = nullptr;   // the thread that made the kernel
Fiber* g_running = nullptr; // the fiber on the CPU
Fiber* g_dueHead = nullptr; // runnable fibers, in the order they became so
Fiber* g_dueTail = nullptr;
Fiber* g_ended = nullptr; // its stack is freed by the next fiber to run
Fiber* g_switchedFrom = nullptr;

// AddressSanitizer keeps its own record of the stack in use: each switch is
// announced before (`saved` null when the fiber leaving has ended) and
// confirmed after, which also tells the bounds of the stack left.
void BeforeSwitch(void** saved, const Fiber* next)
{
#ifdef VORN_ASAN_FIBERS
    __sanitizer_start_switch_fiber(saved, next->StackBottom, next->StackSize);
#else
    (void)saved;
    (void)next;
#endif
}

void AfterSwitch(void* saved)
{
#ifdef VORN_ASAN_FIBERS
    const void* bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(saved, &bottom, &size);
    // The first thread's stack is learnt at each switch: it may have left
    // from a kernel stack of its own (driver images), or from its host stack.
    if (g_switchedFrom && !g_switchedFrom->Stack) {
        g_switchedFrom->StackBottom = bottom;
        g_switchedFrom->StackSize = size;
    }
#else
    (void)saved;
#endif
}

void FreeFiber(Fiber* fiber)
{
    if (fiber->Stack) {
        RecordStackUse(fiber->StackBottom, fiber->StackSize);
        munmap(fiber->Stack, fiber->StackBytes);
    }
    delete fiber;
}

void FreeEndedFiber()
{
    if (g_ended) {
        FreeFiber(g_ended);
        g_ended = nullptr;
    }
}

Fiber* TakeDueFiber()
{
    Fiber* fiber = g_dueHead;
    if (!fiber)
        VerifierFail("deadlock", "no hosted thread can run");
    g_dueHead = fiber->NextDue;
    if (!g_dueHead)
        g_dueTail = nullptr;
    fiber->NextDue = nullptr;
    fiber->Due = false;
    return fiber;
}

void MakeRunning(Fiber* fiber)
{
    g_switchedFrom = g_running;
    g_running = fiber;
    t_currentFiberThread = fiber->Thread;
    UpdateProcessorThread();
}

void FiberMain()
{
    AfterSwitch(nullptr);
    FreeEndedFiber();
    // The fiber that switched here held the dispatcher lock.
    K().Dispatcher.unlock();
    RunSystemThread(g_running->Object);
}

} // namespace

bool FibersAvailable()
{
#ifdef VORN_NO_FIBERS
    return false;
#else
    return true;
#endif
}

void StartFiberScheduler()
{
    g_first = new Fiber;
    g_first->Thread = &t_osThread;
    t_osThread.OwnFiber = g_first;
    MakeRunning(g_first);
}

void StopFiberScheduler()
{
    FreeEndedFiber();
    delete g_first;
    g_first = g_running = g_dueHead = g_dueTail = nullptr;
    t_currentFiberThread = nullptr;
}

Fiber* CreateFiber(HostedThread* object)
{
    const size_t guard = size_t(sysconf(_SC_PAGESIZE));
    const size_t stackBytes = HostedStackBytes(StackBytes);
    void* memory = GuardedStack(stackBytes);
    if (!memory)
        return nullptr;
    auto* fiber = new Fiber;
    fiber->Stack = memory;
    fiber->StackBytes = stackBytes + guard;
    fiber->Thread = &fiber->OwnState;
    fiber->OwnState.OwnFiber = fiber;
    fiber->OwnState.OnKernelStack = ImageMode();
    fiber->Object = object;
    getcontext(&fiber->Context);
    fiber->Context.uc_stack.ss_sp = static_cast<char*>(memory) + guard;
    fiber->Context.uc_stack.ss_size = stackBytes;
    fiber->StackBottom = fiber->Context.uc_stack.ss_sp;
    fiber->StackSize = stackBytes;
    FillStack(fiber->Context.uc_stack.ss_sp, stackBytes);
    fiber->Context.uc_link = nullptr;
    makecontext(&fiber->Context, FiberMain, 0);
    return fiber;
}

void ScheduleFiber(Fiber* fiber)
{
    if (fiber == g_running || fiber->Due)
        return;
    fiber->Due = true;
    if (g_dueTail)
        g_dueTail->NextDue = fiber;
    else
        g_dueHead = fiber;
    g_dueTail = fiber;
}

void RunNextFiber()
{
    Fiber* self = g_running;
    Fiber* next = TakeDueFiber();
    if (next == self)
        return;
    SaveExceptions(self);
    RestoreExceptions(next);
    MakeRunning(next);
    void* saved = nullptr;
    BeforeSwitch(&saved, next);
    swapcontext(&self->Context, &next->Context);
    AfterSwitch(saved);
    FreeEndedFiber();
}

void LeaveEndedFiber()
{
    FreeEndedFiber();
    g_ended = g_running;
    Fiber* next = TakeDueFiber();
    RestoreExceptions(next);
    MakeRunning(next);
    BeforeSwitch(nullptr, next);
    setcontext(&next->Context);
    std::fprintf(stderr, "hosted kernel: a fiber could not be left\n");
    std::abort();
}

} // namespace hosted
