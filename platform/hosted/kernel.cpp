// Hosted kernel core: the kernel object, interrupt levels, spin locks, DPCs,
// timers, events, mutexes, waits and virtual time.
#include "platform/hosted/state.h"

#include "platform/hosted/indexed_heap.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <unistd.h>

namespace hosted {

Kernel::State* g_state = nullptr;
thread_local ThreadState* t_currentFiberThread = nullptr;
thread_local ThreadState t_osThread;

namespace {

Kernel* g_kernel = nullptr;

VerifierHandler& Handler()
{
    static VerifierHandler handler;
    return handler;
}

} // namespace

void NoKernel()
{
    std::fprintf(stderr, "hosted kernel: a kernel service was called with no Kernel alive\n");
    std::abort();
}

void ThreadState::Reset()
{
    Irql = PASSIVE_LEVEL;
    HeldLocks = HeldLockSet{};
    Registered = false;
    Object = nullptr;
    Sleeps = 0;
    RunningDpc.store(nullptr, std::memory_order_relaxed);
    Calls = nullptr;
    NeighbourCalls = 0;
    OwnFiber = nullptr;
    OnKernelStack = false;
    NextLive = PreviousLive = nullptr;
    Process = SystemProcess;
    LogonSession = GlobalSession;
}

using LiveThreadList = LinkedList<ThreadState, &ThreadState::NextLive, &ThreadState::PreviousLive>;

void AddLiveThread(Kernel::State& k, ThreadState& thread)
{
    LiveThreadList::PushFront(k.LiveThreadStates, &thread);
}

void RemoveLiveThread(Kernel::State& k, ThreadState& thread)
{
    LiveThreadList::Remove(k.LiveThreadStates, &thread);
}

// The sanitizers look for what real parallelism exposes: their builds run
// hosted threads on OS threads unless told otherwise.
static bool SanitizedBuild()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

ThreadMode DefaultThreadMode()
{
    const char* chosen = std::getenv("VORN_HOSTED_THREADS");
    if (chosen && *chosen && std::strcmp(chosen, "os") != 0 && std::strcmp(chosen, "fibers") != 0) {
        std::fprintf(stderr,
                     "hosted kernel: VORN_HOSTED_THREADS is \"os\" or \"fibers\", not \"%s\"\n",
                     chosen);
        std::exit(2);
    }
    if (chosen && std::strcmp(chosen, "os") == 0)
        return ThreadMode::OsThreads;
    if (chosen && std::strcmp(chosen, "fibers") == 0 && !FibersAvailable()) {
        std::fprintf(stderr, "hosted kernel: VORN_HOSTED_THREADS=fibers, but this build (under "
                             "ThreadSanitizer) has no fibers\n");
        std::exit(2);
    }
    if (chosen && std::strcmp(chosen, "fibers") == 0)
        return ThreadMode::Fibers;
    return FibersAvailable() && !SanitizedBuild() ? ThreadMode::Fibers : ThreadMode::OsThreads;
}

WindowsVersion DefaultWindowsVersion()
{
    const char* chosen = std::getenv("VORN_HOSTED_WINDOWS");
    if (!chosen || !*chosen || std::strcmp(chosen, "xp") == 0)
        return WindowsVersion::WindowsXP;
    if (std::strcmp(chosen, "2000") == 0)
        return WindowsVersion::Windows2000;
    if (std::strcmp(chosen, "2003") == 0)
        return WindowsVersion::Server2003;
    std::fprintf(stderr,
                 "hosted kernel: VORN_HOSTED_WINDOWS is \"2000\", \"xp\" or \"2003\", not \"%s\"\n",
                 chosen);
    std::exit(2);
}

const char* WindowsVersionName(WindowsVersion version)
{
    switch (version) {
    case WindowsVersion::Windows2000:
        return "Windows 2000";
    case WindowsVersion::WindowsXP:
        return "Windows XP";
    case WindowsVersion::Server2003:
        return "Windows Server 2003";
    }
    return "?";
}

const char* ThreadModeName(ThreadMode mode)
{
    return mode == ThreadMode::Fibers ? "fibers" : "os";
}

void SetVerifierHandler(VerifierHandler handler)
{
    Handler() = std::move(handler);
}

void VerifierFail(const char* rule, const char* format, ...)
{
    char detail[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    std::string line = std::string("verifier: ") + rule + ": " + detail;
    if (Handler())
        Handler()(line);
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    _exit(3);
}

void TeardownFinding(Kernel::State& k, const char* rule, const char* format, ...)
{
    char detail[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    if (!k.TeardownReportsOnly)
        VerifierFail(rule, "%s", detail);
    std::fflush(stdout);
    std::fprintf(stderr, "teardown: %s: %s\n", rule, detail);
    std::fflush(stderr);
}

void Kernel::ReportTeardownFindingsOnly(int exitStatus)
{
    state_->TeardownReportsOnly = true;
    state_->TeardownExitStatus = exitStatus;
}

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

// ---------------------------------------------------------------------------
// The kernel object

Kernel::Kernel(ThreadMode mode) : state_(new State)
{
    if (g_kernel) {
        std::fprintf(stderr, "hosted kernel: only one Kernel may be alive at a time\n");
        std::abort();
    }
    if (mode == ThreadMode::Fibers && !FibersAvailable()) {
        std::fprintf(stderr, "hosted kernel: fibers are not available in this build\n");
        std::abort();
    }
    g_kernel = this;
    g_state = state_;
    state_->Mode = mode;
    state_->Windows = DefaultWindowsVersion();
    t_currentFiberThread = nullptr;
    t_osThread.Reset();
    t_osThread.Registered = true;
    ListInitialize(state_->DpcQueue);
    AddLiveThread(*state_, t_osThread);
    state_->LiveThreads = 1;
    state_->RunnableThreads = 1;
    if (mode == ThreadMode::Fibers)
        StartFiberScheduler();
}

ThreadMode Kernel::Mode() const
{
    return state_->Mode;
}

WindowsVersion Kernel::Windows() const
{
    return state_->Windows;
}

void Kernel::SetWindows(WindowsVersion version)
{
    state_->Windows = version;
}

Kernel::~Kernel()
{
    State& k = *state_;
    WaitForExitingThreads();
    RememberInjectableCalls(k);
    bool threadsLeft = false;
    {
        std::lock_guard<std::mutex> guard(k.Dispatcher);
        threadsLeft = k.LiveThreads != 1;
        if (threadsLeft)
            TeardownFinding(k, "thread-leak",
                            "%d system thread(s) still running at teardown; first runs routine %p",
                            k.LiveThreads - 1,
                            k.Threads.empty() ? nullptr : (void*)(*k.Threads.begin())->Routine);
    }
    CheckObjectsAtTeardown(k);
    if (!threadsLeft)
        FreeFinishedIrps(k);
    {
        std::lock_guard<std::mutex> guard(k.PoolLock);
        if (!k.Blocks.empty()) {
            const auto& [address, block] = *k.Blocks.begin();
            TeardownFinding(k, "pool-leak",
                            "%zu pool block(s) still allocated at teardown; first: %zu bytes, tag "
                            "'%s', allocation #%llu at %p",
                            k.Blocks.size(), block.Size, TagText(block.Tag).c_str(),
                            (unsigned long long)block.Sequence, address);
        }
    }
    if (threadsLeft) {
        // Running threads still use the kernel's state: it cannot go.
        std::fflush(stdout);
        _exit(k.TeardownExitStatus);
    }
    {
        // Blocks only reported as leaks go with the kernel.
        std::lock_guard<std::mutex> guard(k.PoolLock);
        for (const auto& [address, block] : k.Blocks)
            std::free(const_cast<void*>(address));
        k.Blocks.clear();
    }
    FreeObjects(k);
    ForgetArmedTimers(k);
    for (PDRIVER_OBJECT driver : k.Drivers) {
        delete driver->DriverExtension;
        delete[] driver->DriverName.Buffer;
        delete driver;
    }
    if (k.Mode == ThreadMode::Fibers)
        StopFiberScheduler();
    t_osThread.Reset();
    g_kernel = nullptr;
    g_state = nullptr;
    delete state_;
}

Kernel& Kernel::Current()
{
    K();
    return *g_kernel;
}

LONGLONG Kernel::Now() const
{
    std::lock_guard<std::mutex> guard(state_->Dispatcher);
    return state_->Now;
}

void Kernel::SleepMs(LONGLONG ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * TicksPerMs;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Kernel::Settle()
{
    State& k = *state_;
    std::unique_lock<std::mutex> lock(k.Dispatcher);
    Waiter self;
    self.Settle = true;
    self.Deadline = -1;
    while (k.RunnableThreads > 1 || k.QueuedDpcs.load(std::memory_order_acquire) != 0) {
        BlockUntilRunnable(k, lock, self);
    }
}

ULONGLONG Kernel::SleepsOnThisThread() const
{
    return CurrentThread().Sleeps;
}

// The system's worker threads are not the driver's: not counted.
int Kernel::LiveThreads() const
{
    std::lock_guard<std::mutex> guard(state_->Dispatcher);
    return state_->LiveThreads - state_->RunningWorkers.load();
}

std::vector<std::string> Kernel::DebugMessages() const
{
    std::lock_guard<std::mutex> guard(state_->DebugLock);
    return state_->Debug;
}

void Kernel::ClearDebugMessages()
{
    std::lock_guard<std::mutex> guard(state_->DebugLock);
    state_->Debug.clear();
}

void Kernel::SetDebugSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard<std::mutex> guard(state_->DebugLock);
    state_->DebugSink = std::move(sink);
}

void Kernel::SetDeviceCreatedSink(std::function<void(PDEVICE_OBJECT)> sink)
{
    state_->DeviceCreatedSink = std::move(sink);
}

void Kernel::HookSpinLockAcquire(const KSPIN_LOCK* lock, std::function<bool()> hook)
{
    auto entry = std::make_shared<State::AcquireHook>();
    entry->Lock = lock;
    entry->Hook = std::move(hook);
    std::lock_guard<std::mutex> guard(state_->HooksLock);
    state_->AcquireHooks.push_back(entry);
    __atomic_store_n(&state_->AnyAcquireHook, true, __ATOMIC_RELEASE);
}

void Kernel::SetLockRanker(LockRanker ranker)
{
    bool installed = bool(ranker);
    state_->Ranker = std::move(ranker);
    state_->RankerInstalled.store(installed, std::memory_order_release);
}

size_t Kernel::QueuedDpcCount() const
{
    return state_->QueuedDpcs.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------
// Dispatcher objects and waits

UCHAR DispatcherObjectSize(UCHAR type)
{
    auto inLongs = [](size_t bytes) { return UCHAR(bytes / sizeof(LONG)); };
    switch (type) {
    case NotificationEventType:
    case SynchronizationEventType:
        return inLongs(sizeof(KEVENT));
    case MutexType:
        return inLongs(sizeof(KMUTEX));
    case ThreadType:
        return inLongs(sizeof(KTHREAD));
    case TimerType:
        return inLongs(sizeof(KTIMER));
    default:
        return 0;
    }
}

void InitializeDispatcherHeader(DISPATCHER_HEADER& header, UCHAR type, LONG signalState)
{
    header = DISPATCHER_HEADER{};
    header.Type = type;
    header.Size = DispatcherObjectSize(type);
    header.SignalState = signalState;
    ListInitialize(header.WaitListHead);
}

namespace {

DISPATCHER_HEADER& HeaderOf(PVOID object)
{
    return *static_cast<DISPATCHER_HEADER*>(object);
}

// The thread whose wait token is `waiter`.
PKTHREAD WaitingThread(ULONG_PTR waiter)
{
    return ThreadObjectOf(*reinterpret_cast<const ThreadState*>(waiter));
}

bool IsSignalled(PVOID object, ULONG_PTR waiter)
{
    DISPATCHER_HEADER& header = HeaderOf(object);
    if (header.Type == MutexType) {
        auto* mutex = static_cast<PKMUTEX>(object);
        return mutex->OwnerThread == nullptr || mutex->OwnerThread == WaitingThread(waiter);
    }
    return header.SignalState > 0;
}

// The side effect of a satisfied wait on the object that satisfied it.
void Consume(PVOID object, ULONG_PTR waiter)
{
    DISPATCHER_HEADER& header = HeaderOf(object);
    if (header.Type == MutexType) {
        auto* mutex = static_cast<PKMUTEX>(object);
        if (mutex->OwnerThread == nullptr)
            reinterpret_cast<ThreadState*>(waiter)->OwnedMutexes++;
        mutex->OwnerThread = WaitingThread(waiter);
        mutex->Header.SignalState--;
    } else if (header.Type == SynchronizationEventType) {
        header.SignalState = 0;
    }
}

// Initialised means the header says so exactly as KeInitializeXxx left it: a
// type the kernel makes, that type's size, and a wait list whose neighbours
// point back at its head. Fresh pool's fill pattern passes none of these.
// Dispatcher lock held: waiters link themselves into the wait list under it.
bool IsInitializedObject(PVOID object)
{
    if (!object)
        return false;
    const DISPATCHER_HEADER& header = HeaderOf(object);
    UCHAR size = DispatcherObjectSize(header.Type);
    return size != 0 && header.Size == size && ListIsConsistent(header.WaitListHead);
}

void CheckInitialized(PVOID object, const char* call)
{
    if (!IsInitializedObject(object))
        VerifierFail("object", "%s on an object that was never initialised (%p)", call, object);
}

bool IsInitializedDpc(const KDPC* dpc, const Kernel::State& k)
{
    return dpc->Type == DpcObjectType && dpc->Number == 0 &&
           dpc->Importance <= MediumHighImportance &&
           (dpc->DpcData == nullptr || dpc->DpcData == &k.DpcQueue);
}

struct DeadlineOrder {
    static bool Less(const Waiter* a, const Waiter* b)
    {
        return a->Deadline != b->Deadline ? a->Deadline < b->Deadline : a->Sequence < b->Sequence;
    }
    static size_t& Index(Waiter* waiter) { return waiter->HeapIndex; }
};
using DeadlineHeap = IndexedHeap<Waiter, DeadlineOrder>;

LONGLONG DueTimeOf(const ArmedTimer* armed)
{
    return LONGLONG(armed->Timer->DueTime.QuadPart);
}

struct TimerOrder {
    static bool Less(const ArmedTimer* a, const ArmedTimer* b)
    {
        return DueTimeOf(a) != DueTimeOf(b) ? DueTimeOf(a) < DueTimeOf(b)
                                            : a->Sequence < b->Sequence;
    }
    static size_t& Index(ArmedTimer* armed) { return armed->HeapIndex; }
};
using TimerHeap = IndexedHeap<ArmedTimer, TimerOrder>;

// Records outlive every kernel, so that a timer left armed when its kernel
// went still points at a record: one no longer its own, so not armed.
std::vector<std::unique_ptr<ArmedTimer>>& TimerRecords()
{
    static std::vector<std::unique_ptr<ArmedTimer>> records;
    return records;
}

std::vector<ArmedTimer*>& FreeTimerRecords()
{
    static std::vector<ArmedTimer*> free;
    return free;
}

// Dispatcher lock held: the record of `timer` when it is armed, else null.
ArmedTimer* ArmedRecordOf(Kernel::State& k, PKTIMER timer)
{
    if (!timer->Header.Inserted || !ListIsConsistent(timer->TimerListEntry))
        return nullptr;
    auto* armed = CONTAINING_RECORD(timer->TimerListEntry.Flink, ArmedTimer, Timers);
    return armed->Timer == timer && TimerHeap::Contains(k.ArmedTimers, armed) ? armed : nullptr;
}

// Dispatcher lock held: `timer` leaves the armed timers; false when it was not armed.
bool Disarm(Kernel::State& k, PKTIMER timer)
{
    ArmedTimer* armed = ArmedRecordOf(k, timer);
    timer->Header.Inserted = FALSE;
    if (!armed)
        return false;
    TimerHeap::Remove(k.ArmedTimers, armed);
    ListRemove(timer->TimerListEntry);
    armed->Timer = nullptr;
    FreeTimerRecords().push_back(armed);
    return true;
}

// Dispatcher lock held: `timer` joins the armed timers, due at its DueTime.
void Arm(Kernel::State& k, PKTIMER timer)
{
    std::vector<ArmedTimer*>& free = FreeTimerRecords();
    if (free.empty()) {
        TimerRecords().push_back(std::make_unique<ArmedTimer>());
        free.push_back(TimerRecords().back().get());
    }
    ArmedTimer* armed = free.back();
    free.pop_back();
    armed->Timer = timer;
    armed->Sequence = ++k.TimerArmings;
    ListInitialize(armed->Timers);
    ListInsertTail(armed->Timers, timer->TimerListEntry);
    timer->Header.Inserted = TRUE;
    TimerHeap::Push(k.ArmedTimers, armed);
}

} // namespace

// Timers still armed when the kernel goes keep pointing at their records,
// which become free ones: such a timer is no longer armed.
void ForgetArmedTimers(Kernel::State& k)
{
    for (ArmedTimer* armed : k.ArmedTimers) {
        armed->Timer = nullptr;
        armed->HeapIndex = TimerHeap::Absent;
        FreeTimerRecords().push_back(armed);
    }
    k.ArmedTimers.clear();
}

namespace {

LIST_ENTRY& WaitListOf(PVOID object)
{
    return HeaderOf(object).WaitListHead;
}

using BlockedWaiterList = LinkedList<Waiter, &Waiter::NextBlocked, &Waiter::PreviousBlocked>;

// Dispatcher lock held: `waiter` becomes findable by its objects, its
// deadline, a settle and the verifier.
void LinkWaiter(Kernel::State& k, Waiter& waiter)
{
    waiter.Sequence = ++k.WaitSequence;
    for (ULONG i = 0; i < waiter.Count; ++i) {
        waiter.Blocks[i].Owner = &waiter;
        waiter.Blocks[i].Object = waiter.Objects[i];
        // Threads waiting on one object are satisfied in the order they came.
        ListInsertTail(WaitListOf(waiter.Objects[i]), waiter.Blocks[i].WaitListEntry);
    }
    if (waiter.Deadline >= 0)
        DeadlineHeap::Push(k.Deadlines, &waiter);
    if (waiter.Settle)
        k.SettleWaiters.push_back(&waiter);
    BlockedWaiterList::PushFront(k.BlockedWaiters, &waiter);
}

void UnlinkWaiter(Kernel::State& k, Waiter& waiter)
{
    for (ULONG i = 0; i < waiter.Count; ++i)
        ListRemove(waiter.Blocks[i].WaitListEntry);
    DeadlineHeap::Remove(k.Deadlines, &waiter);
    if (waiter.Settle)
        k.SettleWaiters.erase(std::find(k.SettleWaiters.begin(), k.SettleWaiters.end(), &waiter));
}

void MakeRunnable(Kernel::State& k, Waiter& waiter)
{
    if (waiter.Runnable)
        return;
    UnlinkWaiter(k, waiter);
    waiter.Runnable = true;
    k.RunnableThreads++;
    if (k.Mode == ThreadMode::Fibers)
        ScheduleFiber(waiter.OwnFiber);
    else
        waiter.Wake.notify_one();
}

void QueueDpc(Kernel::State& k, PKDPC dpc, PVOID argument1, PVOID argument2)
{
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = &k.DpcQueue;
    ListInsertTail(k.DpcQueue, dpc->DpcListEntry);
    k.QueuedDpcs.fetch_add(1, std::memory_order_release);
}

PKDPC FirstQueuedDpc(Kernel::State& k)
{
    return ListIsEmpty(k.DpcQueue) ? nullptr
                                   : CONTAINING_RECORD(k.DpcQueue.Flink, KDPC, DpcListEntry);
}

// `dpc` is in the queue.
void UnqueueDpc(Kernel::State& k, PKDPC dpc)
{
    ListRemove(dpc->DpcListEntry);
    dpc->DpcData = nullptr;
    k.QueuedDpcs.fetch_sub(1, std::memory_order_release);
}

// Timers due by now fire in due-time, then arming, order.
void ExpireDueTimers(Kernel::State& k)
{
    while (!k.ArmedTimers.empty() && DueTimeOf(k.ArmedTimers.front()) <= k.Now) {
        PKTIMER timer = k.ArmedTimers.front()->Timer;
        Disarm(k, timer);
        timer->Header.SignalState = 1;
        WakeWaitersOn(k, timer);
        if (timer->Dpc) {
            std::lock_guard<QuickLock> guard(k.DpcLock);
            if (!timer->Dpc->DpcData)
                QueueDpc(k, timer->Dpc, nullptr, nullptr);
        }
    }
}

void WakeTimedOutWaiters(Kernel::State& k)
{
    while (!k.Deadlines.empty() && k.Deadlines.front()->Deadline <= k.Now)
        MakeRunnable(k, *k.Deadlines.front());
}

// True when some thread waits for everyone else to block: it is woken
// instead of letting time pass.
bool WakeSettleWaiters(Kernel::State& k)
{
    if (k.SettleWaiters.empty())
        return false;
    while (!k.SettleWaiters.empty())
        MakeRunnable(k, *k.SettleWaiters.front());
    return true;
}

// The earliest deadline of a timed wait or an armed timer; -1 when none.
LONGLONG NextDeadline(const Kernel::State& k)
{
    LONGLONG next = -1;
    if (!k.Deadlines.empty())
        next = k.Deadlines.front()->Deadline;
    if (!k.ArmedTimers.empty() && (next < 0 || DueTimeOf(k.ArmedTimers.front()) < next))
        next = DueTimeOf(k.ArmedTimers.front());
    return next;
}

} // namespace

void KeepTimeMoving(Kernel::State& k, std::unique_lock<std::mutex>& lock, Waiter* self)
{
    while (k.RunnableThreads == 0 && !(self && self->Runnable)) {
        if (WakeSettleWaiters(k))
            return;
        LONGLONG next = NextDeadline(k);
        if (next < 0)
            VerifierFail("deadlock",
                         "every hosted thread is waiting and no timer or timeout is due");
        k.Now = std::max(k.Now, next);
        ExpireDueTimers(k);
        WakeTimedOutWaiters(k);
        if (k.QueuedDpcs.load(std::memory_order_acquire) != 0) {
            k.RunnableThreads++;
            lock.unlock();
            DrainDpcs();
            lock.lock();
            k.RunnableThreads--;
        }
    }
}

// Dispatcher lock held: the calling thread blocks as `self` until a signal,
// its deadline or the clock makes it runnable again.
void BlockUntilRunnable(Kernel::State& k, std::unique_lock<std::mutex>& lock, Waiter& self)
{
    self.Runnable = false;
    self.OwnFiber = CurrentThread().OwnFiber;
    k.RunnableThreads--;
    LinkWaiter(k, self);
    if (k.RunnableThreads == 0)
        KeepTimeMoving(k, lock, &self);
    if (k.Mode == ThreadMode::Fibers) {
        while (!self.Runnable)
            RunNextFiber();
    } else {
        self.Wake.wait(lock, [&] { return self.Runnable; });
    }
    // Only now: until it runs, a woken thread still reads what it waited on,
    // which must not be freed meanwhile.
    BlockedWaiterList::Remove(k.BlockedWaiters, &self);
}

namespace {

NTSTATUS WaitAnyOf(PVOID const* objects, ULONG count, const LARGE_INTEGER* timeout,
                   const char* call)
{
    ThreadState& thread = CurrentThread();
    if (thread.Irql > PASSIVE_LEVEL)
        VerifierFail("irql", "%s at IRQL %d; waiting needs PASSIVE_LEVEL", call, thread.Irql);
    if (!thread.Registered)
        VerifierFail("thread", "%s on a thread the hosted kernel does not know", call);
    Kernel::State& k = K();
    std::unique_lock<std::mutex> lock(k.Dispatcher);
    for (ULONG i = 0; i < count; ++i)
        CheckInitialized(objects[i], call);
    Waiter self;
    self.Objects = objects;
    self.Count = count;
    self.Token = CurrentThreadToken();
    if (timeout)
        self.Deadline =
            timeout->QuadPart < 0 ? k.Now - timeout->QuadPart : std::max(timeout->QuadPart, k.Now);
    else
        self.Deadline = -1;

    for (;;) {
        // A wait is satisfied when the object is signalled, even if it is
        // reset before this thread runs again.
        if (self.Satisfied >= 0)
            return STATUS_WAIT_0 + NTSTATUS(self.Satisfied);
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignalled(objects[i], self.Token)) {
                Consume(objects[i], self.Token);
                return STATUS_WAIT_0 + NTSTATUS(i);
            }
        }
        if (self.Deadline >= 0 && k.Now >= self.Deadline)
            return STATUS_TIMEOUT;

        BlockUntilRunnable(k, lock, self);
    }
}

} // namespace

void WakeWaitersOn(Kernel::State& k, PVOID object)
{
    LIST_ENTRY& head = WaitListOf(object);
    LIST_ENTRY* entry = head.Flink;
    while (entry != &head) {
        WaitBlock* block = CONTAINING_RECORD(entry, WaitBlock, WaitListEntry);
        Waiter& waiter = *block->Owner;
        if (!IsSignalled(object, waiter.Token)) {
            entry = entry->Flink;
            continue;
        }
        Consume(object, waiter.Token);
        waiter.Satisfied = LONG(block - waiter.Blocks);
        MakeRunnable(k, waiter);
        // The woken waiter's blocks have left the list: start again.
        entry = head.Flink;
    }
}

namespace {

// Something of the dispatcher's found inside a block of memory.
struct InUse {
    const char* Rule;
    const char* What;
    const void* Address;
};

// Dispatcher lock held.
bool FindInUse(Kernel::State& k, const void* begin, SIZE_T size, InUse* found)
{
    auto inside = [&](const void* p) {
        auto* b = static_cast<const char*>(begin);
        auto* q = static_cast<const char*>(p);
        return q >= b && q < b + size;
    };
    {
        std::lock_guard<QuickLock> dpcGuard(k.DpcLock);
        for (LIST_ENTRY* entry = k.DpcQueue.Flink; entry != &k.DpcQueue; entry = entry->Flink)
            if (PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry); inside(dpc)) {
                *found = {"freed-while-queued", "a queued DPC", dpc};
                return true;
            }
    }
    for (ThreadState* thread = k.LiveThreadStates; thread; thread = thread->NextLive) {
        PKDPC dpc = thread->RunningDpc.load(std::memory_order_acquire);
        if (dpc && inside(dpc)) {
            *found = {"freed-while-running", "a DPC whose routine is running", dpc};
            return true;
        }
    }
    for (const ArmedTimer* armed : k.ArmedTimers)
        if (inside(armed->Timer)) {
            *found = {"freed-while-queued", "an armed timer", armed->Timer};
            return true;
        }
    for (Waiter* waiter = k.BlockedWaiters; waiter; waiter = waiter->NextBlocked)
        for (ULONG i = 0; i < waiter->Count; ++i)
            if (inside(waiter->Objects[i])) {
                *found = {"freed-while-queued", "an object a thread waits on", waiter->Objects[i]};
                return true;
            }
    return false;
}

// Initialising an object the dispatcher still holds would cut it out of a
// queue, a heap or a wait list.
void CheckNotInUse(const void* object, SIZE_T size, const char* call)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    InUse found;
    if (FindInUse(k, object, size, &found))
        VerifierFail("object", "%s on %s (%p)", call, found.What, found.Address);
}

} // namespace

void CheckNothingQueuedIn(const void* begin, SIZE_T size, const char* what)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    InUse found;
    if (FindInUse(k, begin, size, &found))
        VerifierFail(found.Rule, "%s frees %s (%p)", what, found.What, found.Address);
}

// A DPC routine running on some thread other than the caller's.
bool DpcRunningElsewhere(Kernel::State& k)
{
    ThreadState* self = &CurrentThread();
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    for (ThreadState* thread = k.LiveThreadStates; thread; thread = thread->NextLive)
        if (thread != self && thread->RunningDpc.load(std::memory_order_acquire))
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// DPCs

namespace {

struct TakenDpc {
    PKDPC Dpc;
    PVOID Argument1, Argument2;
};

// The arguments are taken with the DPC under the lock: once it is off the
// queue, another thread may queue it again with new ones. It is this
// thread's running DPC before it leaves the queue, so that whoever sees the
// queue empty also sees it running (KeFlushQueuedDpcs, the verifier).
bool TakeNextDpc(Kernel::State& k, ThreadState& thread, TakenDpc* taken)
{
    if (k.QueuedDpcs.load(std::memory_order_acquire) == 0)
        return false;
    std::lock_guard<QuickLock> guard(k.DpcLock);
    PKDPC first = FirstQueuedDpc(k);
    if (!first)
        return false;
    thread.RunningDpc.store(first, std::memory_order_release);
    UnqueueDpc(k, first);
    taken->Dpc = first;
    taken->Argument1 = taken->Dpc->SystemArgument1;
    taken->Argument2 = taken->Dpc->SystemArgument2;
    return true;
}

void CallDeferredRoutine(void* argument)
{
    const TakenDpc& taken = *static_cast<const TakenDpc*>(argument);
    taken.Dpc->DeferredRoutine(taken.Dpc, taken.Dpc->DeferredContext, taken.Argument1,
                               taken.Argument2);
}

void RunDpc(ThreadState& thread, const TakenDpc& taken)
{
    size_t heldBefore = thread.HeldLocks.size();
    TakenDpc call = taken;
    CallOnDpcStack(CallDeferredRoutine, &call);
    thread.RunningDpc.store(nullptr, std::memory_order_release);
    if (thread.Irql != DISPATCH_LEVEL || thread.HeldLocks.size() != heldBefore)
        VerifierFail("dpc", "DPC routine %p returned at IRQL %d holding %zu spin lock(s)",
                     (void*)taken.Dpc->DeferredRoutine, thread.Irql,
                     thread.HeldLocks.size() - heldBefore);
}

} // namespace

void DrainDpcs()
{
    DrainDpcsOn(CurrentThread());
}

void DrainDpcsOn(ThreadState& thread)
{
    if (thread.Irql >= DISPATCH_LEVEL)
        return;
    Kernel::State& k = K();
    if (k.QueuedDpcs.load(std::memory_order_acquire) == 0)
        return;
    KIRQL old = thread.Irql;
    thread.Irql = DISPATCH_LEVEL;
    TakenDpc taken;
    while (TakeNextDpc(k, thread, &taken))
        RunDpc(thread, taken);
    thread.Irql = old;
}

} // namespace hosted

using namespace hosted;

extern "C" {

// ---------------------------------------------------------------------------
// Interrupt level and spin locks

KIRQL NTAPI KeGetCurrentIrql(void)
{
    return CurrentThread().Irql;
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    ThreadState& thread = CurrentThread();
    if (NewIrql < thread.Irql)
        VerifierFail("irql", "KeRaiseIrql to %d from the higher IRQL %d", NewIrql, thread.Irql);
    *OldIrql = thread.Irql;
    thread.Irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    ThreadState& thread = CurrentThread();
    if (NewIrql > thread.Irql)
        VerifierFail("irql", "KeLowerIrql to %d from the lower IRQL %d", NewIrql, thread.Irql);
    thread.Irql = NewIrql;
    if (NewIrql < DISPATCH_LEVEL)
        DrainDpcs();
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

namespace {

int RankOf(Kernel::State& k, const KSPIN_LOCK* lock, const char** name)
{
    *name = "spin lock";
    return k.Ranker(lock, name);
}

__attribute__((noinline)) void CheckLockOrder(Kernel::State& k, const KSPIN_LOCK* lock)
{
    const char* name;
    int rank = RankOf(k, lock, &name);
    if (rank == 0)
        return;
    for (const KSPIN_LOCK* held : CurrentThread().HeldLocks) {
        const char* heldName;
        if (RankOf(k, held, &heldName) > rank)
            VerifierFail("lock-order", "%s (%p) taken while holding %s (%p)", name,
                         (const void*)lock, heldName, (const void*)held);
    }
}

// Runs the hooks on `lock` that are not already running, outside HooksLock.
__attribute__((noinline)) void RunAcquireHooks(Kernel::State& k, const KSPIN_LOCK* lock)
{
    std::vector<std::shared_ptr<Kernel::State::AcquireHook>> due;
    {
        std::lock_guard<std::mutex> guard(k.HooksLock);
        for (auto& entry : k.AcquireHooks)
            if (entry->Lock == lock && !entry->Running) {
                entry->Running = true;
                due.push_back(entry);
            }
    }
    for (auto& entry : due) {
        bool done = entry->Hook();
        std::lock_guard<std::mutex> guard(k.HooksLock);
        entry->Running = false;
        if (done)
            k.AcquireHooks.erase(std::find(k.AcquireHooks.begin(), k.AcquireHooks.end(), entry));
        if (k.AcquireHooks.empty())
            __atomic_store_n(&k.AnyAcquireHook, false, __ATOMIC_RELEASE);
    }
}

// What every acquisition does before it takes the lock: the hooks tests
// install, which cost one load when there are none.
inline void BeforeAcquire(Kernel::State& k, const KSPIN_LOCK* lock)
{
    if (__builtin_expect(__atomic_load_n(&k.AnyAcquireHook, __ATOMIC_ACQUIRE), 0))
        RunAcquireHooks(k, lock);
}

[[noreturn]] __attribute__((noinline)) void SpinLockHeldByBlockedFiber(PKSPIN_LOCK lock,
                                                                       const char* call)
{
    VerifierFail("deadlock", "%s: spin lock %p is held by a thread that is not running", call,
                 (void*)lock);
}

inline void TakeSpinLock(Kernel::State& k, ThreadState& thread, PKSPIN_LOCK lock, const char* call)
{
    ULONG_PTR token = reinterpret_cast<ULONG_PTR>(&thread);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == token)
        VerifierFail("spinlock", "%s: recursive acquisition of spin lock %p", call, (void*)lock);
    if (__builtin_expect(k.RankerInstalled.load(std::memory_order_acquire), 0))
        CheckLockOrder(k, lock);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            break;
        // One OS thread runs every fiber: nobody else can release it.
        if (k.Mode == ThreadMode::Fibers)
            SpinLockHeldByBlockedFiber(lock, call);
        sched_yield();
    }
    if (!thread.HeldLocks.Add(lock))
        VerifierFail("spinlock", "%s: more than %zu spin locks held at once", call,
                     HeldLockSet::Capacity);
}

inline void DropSpinLock(ThreadState& thread, PKSPIN_LOCK lock, const char* call)
{
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != reinterpret_cast<ULONG_PTR>(&thread) ||
        !thread.HeldLocks.Remove(lock))
        VerifierFail("spinlock", "%s: release of spin lock %p that this thread does not hold", call,
                     (void*)lock);
    __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE);
}

} // namespace

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    Kernel::State& k = K();
    ThreadState& thread = CurrentThread();
    if (thread.Irql > DISPATCH_LEVEL)
        VerifierFail("irql", "KeAcquireSpinLock at IRQL %d", thread.Irql);
    BeforeAcquire(k, SpinLock);
    KIRQL old = thread.Irql;
    thread.Irql = DISPATCH_LEVEL;
    TakeSpinLock(k, thread, SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ThreadState& thread = CurrentThread();
    DropSpinLock(thread, SpinLock, "KeReleaseSpinLock");
    if (NewIrql > DISPATCH_LEVEL)
        VerifierFail("irql", "KeReleaseSpinLock restoring IRQL %d", NewIrql);
    thread.Irql = NewIrql;
    if (NewIrql < DISPATCH_LEVEL)
        DrainDpcsOn(thread);
}

// x64's KeAcquireSpinLock and KeReleaseSpinLock. Microsoft: "The effect of
// this routine is identical to that of KeAcquireSpinLock. In particular, the
// acquired spin lock is released by KeReleaseSpinLock."
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    return KfAcquireSpinLock(SpinLock);
}

VOID NTAPI(KeReleaseSpinLock)(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KfReleaseSpinLock(SpinLock, NewIrql);
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    Kernel::State& k = K();
    ThreadState& thread = CurrentThread();
    if (thread.Irql != DISPATCH_LEVEL)
        VerifierFail("irql", "KeAcquireSpinLockAtDpcLevel at IRQL %d", thread.Irql);
    BeforeAcquire(k, SpinLock);
    TakeSpinLock(k, thread, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    DropSpinLock(CurrentThread(), SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = KfAcquireSpinLock(&K().CancelLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KfReleaseSpinLock(&K().CancelLock, Irql);
}

// ---------------------------------------------------------------------------
// DPCs and timers

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    CheckNotInUse(Dpc, sizeof *Dpc, "KeInitializeDpc");
    *Dpc = KDPC{};
    Dpc->Type = DpcObjectType;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    Kernel::State& k = K();
    {
        std::lock_guard<QuickLock> guard(k.DpcLock);
        if (!IsInitializedDpc(Dpc, k))
            VerifierFail("object", "KeInsertQueueDpc on a DPC that was never initialised (%p)",
                         (void*)Dpc);
        if (Dpc->DpcData)
            return FALSE;
        QueueDpc(k, Dpc, SystemArgument1, SystemArgument2);
    }
    DrainDpcs();
    return TRUE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    Kernel::State& k = K();
    std::lock_guard<QuickLock> guard(k.DpcLock);
    if (!Dpc->DpcData)
        return FALSE;
    if (!IsInitializedDpc(Dpc, k))
        VerifierFail("object", "KeRemoveQueueDpc on a DPC that was never initialised (%p)",
                     (void*)Dpc);
    UnqueueDpc(k, Dpc);
    return TRUE;
}

// Runs what is queued on this thread, then waits out routines that other
// threads are running: a DPC never blocks, so the wait is short.
VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    if (CurrentThread().Irql > PASSIVE_LEVEL)
        VerifierFail("irql", "KeFlushQueuedDpcs at IRQL %d", CurrentThread().Irql);
    DrainDpcs();
    Kernel::State& k = K();
    while (k.QueuedDpcs.load(std::memory_order_acquire) != 0 || DpcRunningElsewhere(k)) {
        DrainDpcs();
        sched_yield();
    }
}

namespace {

// Routines a driver looks up by name rather than import, with the first
// Windows whose ntoskrnl exports each (Microsoft's documentation of each
// routine, "Requirements": minimum supported client). A routine the stand-in
// does not provide has no address: a run that asks for it on a Windows that
// has it stops, since the driver would take a path the stand-in cannot follow.
struct SystemRoutine {
    const char* Name;
    PVOID Routine;
    WindowsVersion Since;
};

const SystemRoutine g_systemRoutines[] = {
    {"KeFlushQueuedDpcs", reinterpret_cast<PVOID>(&KeFlushQueuedDpcs), WindowsVersion::WindowsXP},
    {"KeDelayExecutionThread", reinterpret_cast<PVOID>(&KeDelayExecutionThread),
     WindowsVersion::Windows2000},
    {"KeAcquireInStackQueuedSpinLock", nullptr, WindowsVersion::WindowsXP},
    {"KeReleaseInStackQueuedSpinLock", nullptr, WindowsVersion::WindowsXP},
    {"KeAreAllApcsDisabled", nullptr, WindowsVersion::Server2003},
    {"ExFreePoolWithTag", reinterpret_cast<PVOID>(&ExFreePoolWithTag), WindowsVersion::Windows2000},
};

bool SameName(PCUNICODE_STRING name, const char* text)
{
    size_t length = strlen(text);
    if (name->Length != length * sizeof(WCHAR))
        return false;
    for (size_t i = 0; i < length; ++i)
        if (name->Buffer[i] != WCHAR(text[i]))
            return false;
    return true;
}

} // namespace

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL)
        VerifierFail("irql", "MmGetSystemRoutineAddress at IRQL %d", CurrentThread().Irql);
    WindowsVersion windows = K().Windows;
    for (const SystemRoutine& routine : g_systemRoutines) {
        if (!SameName(SystemRoutineName, routine.Name))
            continue;
        if (windows < routine.Since)
            return nullptr; // not exported by this Windows
        if (!routine.Routine)
            VerifierFail("routine",
                         "MmGetSystemRoutineAddress(%s): %s exports it, the hosted kernel does "
                         "not provide it",
                         routine.Name, WindowsVersionName(windows));
        return routine.Routine;
    }
    std::string text;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i)
        text += char(SystemRoutineName->Buffer[i] < 0x80 ? SystemRoutineName->Buffer[i] : '?');
    VerifierFail("routine",
                 "MmGetSystemRoutineAddress(%s): not in the hosted kernel's table of which "
                 "Windows exports what",
                 text.c_str());
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    CheckNotInUse(Timer, sizeof *Timer, "KeInitializeTimer");
    *Timer = KTIMER{};
    InitializeDispatcherHeader(Timer->Header, TimerType, 0);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    CheckInitialized(Timer, "KeSetTimer");
    BOOLEAN wasArmed = Disarm(k, Timer) ? TRUE : FALSE;
    Timer->DueTime.QuadPart =
        ULONGLONG(DueTime.QuadPart < 0 ? k.Now - DueTime.QuadPart : DueTime.QuadPart);
    Timer->Dpc = Dpc;
    Timer->Header.SignalState = 0;
    Arm(k, Timer);
    return wasArmed;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    CheckInitialized(Timer, "KeCancelTimer");
    return Disarm(k, Timer) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    std::lock_guard<std::mutex> guard(K().Dispatcher);
    return Timer->Header.SignalState > 0;
}

// ---------------------------------------------------------------------------
// Events, mutexes and waits

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    CheckNotInUse(Event, sizeof *Event, "KeInitializeEvent");
    InitializeDispatcherHeader(
        Event->Header, Type == NotificationEvent ? NotificationEventType : SynchronizationEventType,
        State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    if (CurrentThread().Irql > DISPATCH_LEVEL)
        VerifierFail("irql", "KeSetEvent at IRQL %d", CurrentThread().Irql);
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    CheckInitialized(Event, "KeSetEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeWaitersOn(k, Event);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    KeResetEvent(Event);
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(K().Dispatcher);
    CheckInitialized(Event, "KeClearEvent");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(K().Dispatcher);
    CheckInitialized(Event, "KeReadStateEvent");
    return Event->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    UNREFERENCED_PARAMETER(Level);
    CheckNotInUse(Mutex, sizeof *Mutex, "KeInitializeMutex");
    *Mutex = KMUTEX{};
    InitializeDispatcherHeader(Mutex->Header, MutexType, 1);
    Mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Wait);
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.Dispatcher);
    CheckInitialized(Mutex, "KeReleaseMutex");
    PKTHREAD self = ThreadObjectOf(CurrentThread());
    if (!self || Mutex->OwnerThread != self)
        VerifierFail("mutex", "KeReleaseMutex on mutex %p that this thread does not own",
                     (void*)Mutex);
    LONG previous = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        CurrentThread().OwnedMutexes--;
        WakeWaitersOn(k, Mutex);
    }
    return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    PVOID objects[1] = {Object};
    return WaitAnyOf(objects, 1, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PVOID WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (WaitType != WaitAny)
        VerifierFail("wait", "KeWaitForMultipleObjects: only WaitAny is provided");
    // The thread's own wait blocks serve THREAD_WAIT_OBJECTS objects; beyond
    // that the caller gives an array, and beyond MAXIMUM_WAIT_OBJECTS nothing
    // serves. NT stops with bug check 0xC (MAXIMUM_WAIT_OBJECTS_EXCEEDED).
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS)
        VerifierFail("wait", "KeWaitForMultipleObjects with %u objects", Count);
    if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)
        VerifierFail("wait",
                     "KeWaitForMultipleObjects with %u objects and no wait block array "
                     "(the thread's own serve %d)",
                     Count, THREAD_WAIT_OBJECTS);
    return WaitAnyOf(Object, Count, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CurrentThread().Sleeps++;
    WaitAnyOf(nullptr, 0, Interval, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Interlocked operations

LONG FASTCALL InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

PVOID FASTCALL InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

} // extern "C"
