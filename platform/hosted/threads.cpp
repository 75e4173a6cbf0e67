// Hosted system threads: real threads that the dispatcher counts, so that
// virtual time moves only when every one of them is blocked.
#include "platform/hosted/state.h"

#include <atomic>
#include <pthread.h>
#include <sched.h>

namespace hosted {

namespace {

constexpr UCHAR ThreadType = 6;

// Threads between announcing their end and leaving; the kernel's teardown
// waits for them, so none touches a kernel that is gone.
std::atomic<int> g_exitingThreads{0};

KTHREAD g_firstThread = {};

[[noreturn]] void EndCurrentThread()
{
    ThreadState& thread = CurrentThread();
    if (thread.Irql != PASSIVE_LEVEL || !thread.HeldLocks.empty())
        VerifierFail("thread", "system thread ended at IRQL %d holding %zu spin lock(s)",
                     thread.Irql, thread.HeldLocks.size());
    if (thread.OwnedMutexes != 0)
        VerifierFail("thread", "system thread ended owning %d mutex(es)", thread.OwnedMutexes);
    HostedThread* self = thread.Object;
    Kernel::State& k = K();
    const bool fiber = k.Mode == ThreadMode::Fibers;
    if (!fiber)
        g_exitingThreads++;
    {
        std::unique_lock<std::mutex> lock(k.Dispatcher);
        self->Thread.Header.SignalState = 1;
        WakeWaitersOn(k, self);
        k.LiveThreads--;
        k.RunnableThreads--;
        k.Threads.erase(self);
        if (k.RunnableThreads == 0 && k.LiveThreads > 0)
            KeepTimeMoving(k, lock, nullptr);
        // Only now: the DPCs KeepTimeMoving ran here counted as this thread's.
        RemoveLiveThread(k, thread);
    }
    ObfDereferenceObject(self);
    if (fiber) {
        std::unique_lock<std::mutex> lock(k.Dispatcher);
        lock.release(); // passes to the fiber switched to
        LeaveEndedFiber();
    }
    thread.Reset();
    g_exitingThreads--;
    pthread_exit(nullptr);
}

void* ThreadStart(void* argument)
{
    t_osThread.Reset();
    RunSystemThread(static_cast<HostedThread*>(argument));
}

} // namespace

void RunSystemThread(HostedThread* self)
{
    ThreadState& thread = CurrentThread();
    thread.Registered = true;
    thread.Object = self;
    {
        Kernel::State& k = K();
        std::lock_guard<std::mutex> guard(k.Dispatcher);
        AddLiveThread(k, thread);
    }
    self->Routine(self->Context);
    EndCurrentThread();
}

void WaitForExitingThreads()
{
    while (g_exitingThreads.load() != 0)
        sched_yield();
}

void FreeThreadObject(PVOID thread)
{
    delete static_cast<HostedThread*>(thread);
}

KPRIORITY Kernel::ThreadPriority(PVOID thread) const
{
    return static_cast<HostedThread*>(thread)->Priority;
}

namespace {

void CountNewThread(Kernel::State& k, HostedThread* self, int change)
{
    k.LiveThreads += change;
    k.RunnableThreads += change;
    if (change > 0)
        k.Threads.insert(self);
    else
        k.Threads.erase(self);
}

bool StartOsThread(Kernel::State& k, HostedThread* self)
{
    {
        std::lock_guard<std::mutex> guard(k.Dispatcher);
        CountNewThread(k, self, +1);
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t native;
    int failed = pthread_create(&native, &attributes, ThreadStart, self);
    pthread_attr_destroy(&attributes);
    if (failed) {
        std::lock_guard<std::mutex> guard(k.Dispatcher);
        CountNewThread(k, self, -1);
    }
    return !failed;
}

// The new fiber runs once the creator blocks, as a new thread on a busy
// processor would.
bool StartFiberThread(Kernel::State& k, HostedThread* self)
{
    Fiber* fiber = CreateFiber(self);
    if (!fiber)
        return false;
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    CountNewThread(k, self, +1);
    ScheduleFiber(fiber);
    return true;
}

bool StartThread(Kernel::State& k, HostedThread* self)
{
    return k.Mode == ThreadMode::Fibers ? StartFiberThread(k, self) : StartOsThread(k, self);
}

} // namespace

} // namespace hosted

using namespace hosted;

extern "C" {

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    UNREFERENCED_PARAMETER(ClientId);
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "PsCreateSystemThread at IRQL %d", CurrentThread().Irql);
    if (InjectFault(FaultKind::Thread))
        return STATUS_INSUFFICIENT_RESOURCES;
    Kernel::State& k = K();
    auto* self = new HostedThread{};
    self->Thread.Header.Type = ThreadType;
    self->Thread.Header.SignalState = 0;
    self->Thread.Header.HostedInitialized = TRUE;
    self->Routine = StartRoutine;
    self->Context = StartContext;
    HANDLE handle;
    {
        // One reference for the running thread, one for the handle.
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        k.Objects[self] = ObjectRecord(ObjectKind::Thread, 2);
        handle = reinterpret_cast<HANDLE>(k.NextHandle += 4);
        k.Handles[handle] = self;
    }
    if (!StartThread(k, self)) {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        k.Handles.erase(handle);
        k.Objects.erase(self);
        delete self;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    UNREFERENCED_PARAMETER(ExitStatus);
    if (!CurrentThread().Object)
        VerifierFail("thread", "PsTerminateSystemThread on a thread that is not a system thread");
    EndCurrentThread();
}

PKTHREAD NTAPI KeGetCurrentThread(void)
{
    HostedThread* self = CurrentThread().Object;
    return self ? &self->Thread : &g_firstThread;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    if (Thread == &g_firstThread)
        return 8;
    auto* self = reinterpret_cast<HostedThread*>(Thread);
    KPRIORITY old = self->Priority;
    self->Priority = Priority;
    return old;
}

} // extern "C"
