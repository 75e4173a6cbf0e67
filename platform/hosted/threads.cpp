// Hosted system threads: real threads that the dispatcher counts, so that
// virtual time moves only when every one of them is blocked.
#include "platform/hosted/state.h"

#include <atomic>
#include <chrono>
#include <pthread.h>
#include <sched.h>

namespace hosted {

namespace {

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
        if (self->Worker)
            k.RunningWorkers--; // counted as exiting from here on
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
    PrepareOsThreadForImages();
    RunSystemThread(static_cast<HostedThread*>(argument));
}

} // namespace

PKTHREAD ThreadObjectOf(const ThreadState& thread)
{
    if (thread.Object)
        return &thread.Object->Thread;
    return thread.Registered ? &g_firstThread : nullptr;
}

void RunSystemThread(HostedThread* self)
{
    ThreadState& thread = CurrentThread();
    thread.Registered = true;
    thread.Object = self;
    UpdateProcessorThread();
    {
        Kernel::State& k = K();
        std::lock_guard<std::mutex> guard(k.Dispatcher);
        AddLiveThread(k, thread);
    }
    OnKernelStack([self] { self->Routine(self->Context); });
    EndCurrentThread();
}

// A worker on an OS thread may still be between finishing its item (which
// is all its requester waits for) and ending; it ends without anyone's help,
// so it gets a moment of real time to do so before the teardown looks.
void WaitForExitingThreads()
{
    Kernel::State* k = g_state;
    if (k && k->Mode == ThreadMode::OsThreads) {
        auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (k->RunningWorkers.load() != 0 && std::chrono::steady_clock::now() < giveUp)
            sched_yield();
    }
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

HostedThread* NewThreadObject(Kernel::State& k, PKSTART_ROUTINE routine, PVOID context,
                              LONG references)
{
    auto* self = new HostedThread{};
    InitializeDispatcherHeader(self->Thread.Header, ThreadType, 0);
    self->Routine = routine;
    self->Context = context;
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    k.Objects[self] = ObjectRecord(ObjectKind::Thread, references);
    return self;
}

// "On Windows XP and later versions of Windows, if the caller is not running
// in the system process context, it must set the OBJ_KERNEL_HANDLE attribute
// [...] Drivers for Microsoft Windows 2000 [...] must only call
// PsCreateSystemThread from the system process context" (PsCreateSystemThread,
// Microsoft's documentation). The driver runs on both: both rules hold.
void CheckThreadCreationContext(const ThreadState& caller, bool kernelHandle)
{
    if (caller.Process == SystemProcess)
        return;
    if (!kernelHandle)
        VerifierFail("thread",
                     "PsCreateSystemThread in a program's process (%u) without OBJ_KERNEL_HANDLE: "
                     "the handle lands in the program's handle table",
                     unsigned(caller.Process));
    VerifierFail("thread",
                 "PsCreateSystemThread in a program's process (%u): Windows 2000 allows it only "
                 "in the system process",
                 unsigned(caller.Process));
}

// A system worker thread's body: one work item, in the system process.
VOID NTAPI RunWorkItem(PVOID context)
{
    auto* item = static_cast<WorkItemRecord*>(context);
    PDEVICE_OBJECT device = item->Device;
    PIO_WORKITEM_ROUTINE routine = item->Routine;
    PVOID routineContext = item->Context;
    {
        std::lock_guard<std::mutex> guard(K().ObjectsLock);
        item->Queued = false; // the routine may free its item
    }
    routine(device, routineContext);
    if (CurrentThread().Irql != PASSIVE_LEVEL || !CurrentThread().HeldLocks.empty())
        VerifierFail("workitem", "a work item routine returned at IRQL %d holding %zu spin lock(s)",
                     CurrentThread().Irql, CurrentThread().HeldLocks.size());
    // The queued item held its device, so that its driver stayed.
    ObfDereferenceObject(device);
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
    UNREFERENCED_PARAMETER(ProcessHandle);
    UNREFERENCED_PARAMETER(ClientId);
    ThreadState& caller = CurrentThread();
    if (caller.Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "PsCreateSystemThread at IRQL %d", caller.Irql);
    bool kernelHandle = ObjectAttributes && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE);
    CheckThreadCreationContext(caller, kernelHandle);
    if (InjectFault(FaultKind::Thread))
        return STATUS_INSUFFICIENT_RESOURCES;
    Kernel::State& k = K();
    // One reference for the running thread, one for the handle.
    HostedThread* self = NewThreadObject(k, StartRoutine, StartContext, 2);
    HandleEntry entry;
    entry.Object = self;
    entry.Process = caller.Process;
    entry.Kernel = kernelHandle;
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        handle = reinterpret_cast<HANDLE>(k.NextHandle += 4);
        k.Handles[handle] = entry;
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

// The thread type object. NT's begins with its own bookkeeping (a lock on
// XP, linked into the system's list of them), never with null or its own
// address, so a driver that reads PsThreadType one time too many hands over
// something that is not the type, and its reference fails as on Windows.
struct HostedObjectType {
    PVOID Bookkeeping;
};
static char g_objectTypeBookkeeping;
static HostedObjectType g_threadTypeObject = {&g_objectTypeBookkeeping};
// The kernel's variable, as NT exports it, and its address, as the classic
// DDK declaration names it.
static POBJECT_TYPE g_threadType = reinterpret_cast<POBJECT_TYPE>(&g_threadTypeObject);
POBJECT_TYPE* PsThreadType = &g_threadType;

static _EPROCESS g_systemProcess = {SystemProcess};
PEPROCESS PsInitialSystemProcess = &g_systemProcess;

PEPROCESS NTAPI IoGetCurrentProcess(void)
{
    ULONG id = CurrentThread().Process;
    if (id == SystemProcess)
        return PsInitialSystemProcess;
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    std::unique_ptr<_EPROCESS>& process = k.Processes[id];
    if (!process)
        process.reset(new _EPROCESS{id});
    return process.get();
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (!DeviceObject)
        VerifierFail("workitem", "IoAllocateWorkItem without a device object");
    if (InjectFault(FaultKind::Alloc))
        return nullptr;
    auto* item = new WorkItemRecord{};
    item->Device = DeviceObject;
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.ObjectsLock);
    k.WorkItems.insert(item);
    return reinterpret_cast<PIO_WORKITEM>(item);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    auto* item = reinterpret_cast<WorkItemRecord*>(IoWorkItem);
    Kernel::State& k = K();
    {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        if (!k.WorkItems.erase(item))
            VerifierFail("workitem", "IoFreeWorkItem(%p): not an allocated work item", item);
        if (item->Queued)
            VerifierFail("workitem", "IoFreeWorkItem(%p) while it is queued", item);
    }
    delete item;
}

// Each queued item gets a system worker thread of its own: a worker in the
// system process, as the system's pool of them would run it.
VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);
    auto* item = reinterpret_cast<WorkItemRecord*>(IoWorkItem);
    if (CurrentThread().Irql > DISPATCH_LEVEL)
        VerifierFail("irql", "IoQueueWorkItem at IRQL %d", CurrentThread().Irql);
    Kernel::State& k = K();
    {
        std::lock_guard<std::mutex> guard(k.ObjectsLock);
        if (!k.WorkItems.count(item))
            VerifierFail("workitem", "IoQueueWorkItem(%p): not an allocated work item", item);
        if (item->Queued)
            VerifierFail("workitem", "IoQueueWorkItem(%p): queued twice", item);
        item->Queued = true;
    }
    item->Routine = WorkerRoutine;
    item->Context = Context;
    ReferenceObject(k, item->Device);
    HostedThread* worker = NewThreadObject(k, RunWorkItem, item, 1);
    worker->Worker = true;
    k.RunningWorkers++;
    if (!StartThread(k, worker))
        VerifierFail("workitem", "no system worker thread could be started");
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
