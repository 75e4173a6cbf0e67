// Internal state of the hosted kernel, shared by its implementation files.
#pragma once

#include "platform/hosted/hosted.h"
#include "platform/hosted/image.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <functional>
#include <set>
#include <sched.h>
#include <string>

namespace hosted {

[[noreturn]] void VerifierFail(const char* rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// A system thread's object: a dispatcher object signalled when it ends.
struct HostedThread {
    KTHREAD Thread; // first, so the object's address is the thread's
    PKSTART_ROUTINE Routine = nullptr;
    PVOID Context = nullptr;
    KPRIORITY Priority = 8;
    bool Worker = false; // a system worker thread running one work item
};

// The spin locks a thread holds, in the order taken. A fixed array: taking
// and releasing a spin lock allocates nothing.
class HeldLockSet {
public:
    static constexpr size_t Capacity = 16;
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    const KSPIN_LOCK* const* begin() const { return locks_; }
    const KSPIN_LOCK* const* end() const { return locks_ + count_; }
    // False when the set is full.
    bool Add(const KSPIN_LOCK* lock)
    {
        if (count_ == Capacity)
            return false;
        locks_[count_++] = lock;
        return true;
    }
    // False when `lock` is not held. Locks are mostly released last-taken
    // first, so the search starts at the end.
    bool Remove(const KSPIN_LOCK* lock)
    {
        for (size_t i = count_; i-- > 0;)
            if (locks_[i] == lock) {
                for (size_t j = i + 1; j < count_; ++j)
                    locks_[j - 1] = locks_[j];
                --count_;
                return true;
            }
        return false;
    }

private:
    const KSPIN_LOCK* locks_[Capacity] = {};
    size_t count_ = 0;
};

// A doubly linked list threaded through its items' own members, so that
// joining and leaving it allocate nothing. The head's Previous is the tail,
// so appending is as cheap as prepending; Next ends with null.
template <typename T, T* T::*Next, T* T::*Previous> struct LinkedList {
    static void PushFront(T*& head, T* item)
    {
        item->*Next = head;
        item->*Previous = head ? head->*Previous : item;
        if (head)
            head->*Previous = item;
        head = item;
    }
    static void PushBack(T*& head, T* item)
    {
        item->*Next = nullptr;
        if (!head) {
            item->*Previous = item;
            head = item;
            return;
        }
        T* tail = head->*Previous;
        tail->*Next = item;
        item->*Previous = tail;
        head->*Previous = item;
    }
    // `item` must be in the list.
    static void Remove(T*& head, T* item)
    {
        if (item == head) {
            head = item->*Next;
            if (head)
                head->*Previous = item->*Previous;
        } else {
            (item->*Previous)->*Next = item->*Next;
            if (item->*Next)
                (item->*Next)->*Previous = item->*Previous;
            else
                head->*Previous = item->*Previous;
        }
        item->*Next = item->*Previous = nullptr;
    }
};

// One IofCallDriver in progress on a thread, linked to the one it is nested in.
struct CallFrame {
    PIRP Irp;
    bool Completed;
    NTSTATUS CompletedStatus;
    CallFrame* Outer;
};

struct Fiber;

// Per hosted thread: its interrupt level, the spin locks it holds, its
// object (null for the thread that made the kernel), its sleeps, the DPC it
// is running and the requests it is sending. Trivially destructible, so a
// thread's own copy costs no construction on first use.
struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    HeldLockSet HeldLocks;
    bool Registered = false;
    HostedThread* Object = nullptr;
    ULONGLONG Sleeps = 0;
    // Read by other threads (KeFlushQueuedDpcs, the freed-while-running check).
    std::atomic<PKDPC> RunningDpc{nullptr};
    CallFrame* Calls = nullptr;
    int NeighbourCalls = 0;
    int OwnedMutexes = 0;       // a thread may not end owning one
    bool OnKernelStack = false; // image mode: on a kernel-sized stack now
    // The process the thread runs in (SystemProcess, or a program's) and
    // the logon session whose \DosDevices it sees first (GlobalSession:
    // only the global one, as for system threads and LocalSystem).
    ULONG Process = 0;
    ULONG LogonSession = 0;
    Fiber* OwnFiber = nullptr;       // in fibers mode; null for the first thread
    ThreadState* NextLive = nullptr; // the kernel's list of threads alive
    ThreadState* PreviousLive = nullptr;

    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    // Back to a thread that has done nothing yet.
    void Reset();
};

// The calling hosted thread's state: its fiber's in fibers mode, else the
// OS thread's own.
extern thread_local ThreadState* t_currentFiberThread;
extern thread_local ThreadState t_osThread;
// Not checked by UBSan: GCC 12's null check on the thread-local read after a
// mutex was locked in the same function reports a null load where there is
// none (the address of a thread-local is never null).
__attribute__((no_sanitize("undefined"))) inline ThreadState& CurrentThread()
{
    ThreadState* fiber = t_currentFiberThread;
    return fiber ? *fiber : t_osThread;
}
// Identifies the calling hosted thread (spin-lock and mutex ownership).
inline ULONG_PTR CurrentThreadToken()
{
    return reinterpret_cast<ULONG_PTR>(&CurrentThread());
}

// A lock for the few instructions of a queue operation: cheaper than a
// mutex when, as almost always, nobody else holds it.
class QuickLock {
public:
    void lock()
    {
        while (held_.exchange(true, std::memory_order_acquire))
            while (held_.load(std::memory_order_relaxed))
                sched_yield();
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

// Doubly linked lists headed by a LIST_ENTRY and threaded through their
// items' own LIST_ENTRY, as NT links its dispatcher objects' wait lists, DPC
// queues and timer lists.
inline void ListInitialize(LIST_ENTRY& head)
{
    head.Flink = head.Blink = &head;
}
inline bool ListIsEmpty(const LIST_ENTRY& head)
{
    return head.Flink == &head;
}
inline void ListInsertTail(LIST_ENTRY& head, LIST_ENTRY& entry)
{
    entry.Flink = &head;
    entry.Blink = head.Blink;
    head.Blink->Flink = &entry;
    head.Blink = &entry;
}
inline void ListRemove(LIST_ENTRY& entry)
{
    entry.Blink->Flink = entry.Flink;
    entry.Flink->Blink = entry.Blink;
    entry.Flink = entry.Blink = nullptr;
}
// A head whose neighbours point back at it, as ListInitialize and the list
// operations leave it: never true of memory nobody initialised.
inline bool ListIsConsistent(const LIST_ENTRY& head)
{
    return head.Flink && head.Blink && head.Flink->Blink == &head && head.Blink->Flink == &head;
}

// The object types NT's KeInitializeXxx write into Header.Type.
enum DispatcherType : UCHAR {
    NotificationEventType = 0,
    SynchronizationEventType = 1,
    MutexType = 2,
    ThreadType = 6,
    TimerType = 8, // a notification timer
};
constexpr UCHAR DpcObjectType = 19;

// Header.Size of an object of `type`, in LONGs as NT counts it; 0 for a type
// the hosted kernel does not make.
UCHAR DispatcherObjectSize(UCHAR type);
// Header as KeInitializeXxx leave it: type, size, signal state, no waiters.
void InitializeDispatcherHeader(DISPATCHER_HEADER& header, UCHAR type, LONG signalState);

// The thread object that owns what the thread with state `thread` owns
// (OwnerThread of a mutex); null for a thread the kernel does not know.
PKTHREAD ThreadObjectOf(const ThreadState& thread);

// A thread blocked in a kernel wait or delay, linked into the wait list of
// each object it waits on (Header.WaitListHead) through one block per object.
struct Waiter;
struct WaitBlock { // set when used: a waiter's unused blocks cost nothing
    LIST_ENTRY WaitListEntry;
    Waiter* Owner;
    PVOID Object;
};

// An armed timer's record beside it: what NT keeps in no field of the timer.
// The timer's TimerListEntry is the one entry of the record's list, as NT
// links a timer into a list of its timer table.
struct ArmedTimer {
    LIST_ENTRY Timers;
    PKTIMER Timer = nullptr;
    ULONGLONG Sequence = 0;        // timers due together fire in arming order
    size_t HeapIndex = ~size_t(0); // in the kernel's heap of armed timers
};

constexpr ULONG MaxWaitObjects = 64;
constexpr size_t NotInHeap = ~size_t(0);

struct Waiter {
    PVOID const* Objects = nullptr;
    ULONG Count = 0;
    LONGLONG Deadline = 0;  // absolute; < 0 means none
    ULONGLONG Sequence = 0; // waits due together wake in the order they blocked
    bool Runnable = true;
    bool Settle = false;           // waits for every other thread to block, not for time
    ULONG_PTR Token = 0;           // the waiting thread, for mutex ownership
    LONG Satisfied = -1;           // index of the object that satisfied the wait
    size_t HeapIndex = NotInHeap;  // in the kernel's deadline heap
    Fiber* OwnFiber = nullptr;     // in fibers mode, the fiber to switch back to
    Waiter* NextBlocked = nullptr; // the kernel's list of blocked waiters
    Waiter* PreviousBlocked = nullptr;
    std::condition_variable Wake; // OS threads mode
    WaitBlock Blocks[MaxWaitObjects];
};

enum class ObjectKind { Device, File, Thread };

constexpr ULONG SystemProcess = 0;
constexpr ULONG GlobalSession = 0;

// A handle and the process whose table holds it; a kernel handle
// (OBJ_KERNEL_HANDLE) is in the system's table and valid in every process.
struct HandleEntry {
    PVOID Object = nullptr;
    ULONG Process = SystemProcess;
    bool Kernel = false;
};

} // namespace hosted

// A process as IoGetCurrentProcess names it; drivers only compare them.
struct _EPROCESS {
    ULONG Id;
};

namespace hosted {

// A work item as IoAllocateWorkItem hands it out.
struct WorkItemRecord {
    PDEVICE_OBJECT Device = nullptr;
    PIO_WORKITEM_ROUTINE Routine = nullptr;
    PVOID Context = nullptr;
    bool Queued = false;
};

struct ObjectRecord {
    ObjectRecord() = default;
    ObjectRecord(ObjectKind kind, LONG references) : Kind(kind), References(references) {}
    ObjectKind Kind = ObjectKind::Device;
    LONG References = 0;
    bool Deleted = false; // a device whose driver deleted it; freed with its last reference
    std::u16string Name;
    size_t ExtensionSize = 0;
    int OpenFiles = 0;                   // file objects open on a device
    PDEVICE_OBJECT AttachedTo = nullptr; // the device below it in its stack, until detached
    bool Opened = false; // a file whose create succeeded: its last reference sends a close
};

// A name maps to a device, or, as a symbolic link, to another name.
struct NameEntry {
    PDEVICE_OBJECT Device = nullptr;
    std::u16string LinkTarget;
};

struct Registration {
    IO_NOTIFICATION_EVENT_CATEGORY Category;
    PFILE_OBJECT FileObject; // target-device change: the file object watched
    GUID InterfaceClass{};   // device-interface change: the class watched
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE Callback;
    PVOID Context;
    // Target-device change: the device the file object was opened on, kept
    // so that a late delivery never looks into a file object since freed.
    PDEVICE_OBJECT WatchedDevice = nullptr;
};

struct PoolBlock {
    SIZE_T Size;
    ULONG Tag;
    POOL_TYPE Type;
    ULONGLONG Sequence;
};

struct Kernel::State {
    // The dispatcher lock: guards time, waiters, timers, the threads' run
    // states and every dispatcher object's signal state and wait list.
    mutable std::mutex Dispatcher;
    ThreadMode Mode = ThreadMode::OsThreads;
    WindowsVersion Windows = WindowsVersion::WindowsXP;
    LONGLONG Now = 0;
    int LiveThreads = 0;
    int RunnableThreads = 0;
    Waiter* BlockedWaiters = nullptr; // every blocked waiter, for the verifier
    ULONGLONG WaitSequence = 0;
    std::vector<Waiter*> Deadlines; // min-heap by (Deadline, Sequence)
    std::vector<Waiter*> SettleWaiters;
    ThreadState* LiveThreadStates = nullptr; // every hosted thread alive
    std::set<HostedThread*> Threads;         // system threads that have not ended
    std::vector<ArmedTimer*> ArmedTimers;    // min-heap by (due time, arming order)
    ULONGLONG TimerArmings = 0;

    // The DPC queue: its own lock, so that queueing and running a DPC never
    // touch the dispatcher lock. DPCs are linked through DpcListEntry; a
    // queued DPC's DpcData is &DpcQueue.
    QuickLock DpcLock;
    LIST_ENTRY DpcQueue;
    std::atomic<size_t> QueuedDpcs{0}; // read without the lock to skip an empty queue

    mutable std::mutex PoolLock;
    std::map<const void*, PoolBlock> Blocks;
    PoolStats Stats;
    ULONGLONG AllocationSequence = 0;
    ULONGLONG FailAt = 0; // allocation sequence number to fail; 0 = none
    std::set<ULONG> FailedTags;

    mutable std::mutex FaultLock;
    FaultCounts FaultCalls{}; // injectable calls made, by kind
    FaultCounts FaultAt{};    // the call number to fail, by kind; 0 = none
    bool TeardownReportsOnly = false;
    int TeardownExitStatus = 0;

    mutable std::mutex DebugLock;
    std::vector<std::string> Debug;
    std::function<void(const std::string&)> DebugSink;
    std::function<void(PDEVICE_OBJECT)> DeviceCreatedSink; // set before the driver runs

    LockRanker Ranker;
    std::atomic<bool> RankerInstalled{false}; // read on every spin-lock acquisition
    KSPIN_LOCK CancelLock = 0;

    struct AcquireHook {
        const KSPIN_LOCK* Lock;
        std::function<bool()> Hook;
        bool Running = false;
    };
    // Remove-lock acquisitions by tag, as a checked build tracks them.
    std::mutex RemoveLockTagsLock;
    std::map<const void*, std::multiset<PVOID>> RemoveLockTags;

    std::mutex HooksLock;
    std::vector<std::shared_ptr<AcquireHook>> AcquireHooks;
    bool AnyAcquireHook = false; // read without HooksLock on every acquisition

    std::vector<PDRIVER_OBJECT> Drivers;
    // Requests completed to their originator, kept a while so that a second
    // completion is caught rather than touching freed memory.
    std::mutex FinishedLock;
    std::deque<PIRP> FinishedIrps;

    // The object manager: every device, file and thread object with its
    // references, the namespace of names and symbolic links, and handles.
    mutable std::mutex ObjectsLock;
    std::map<const void*, ObjectRecord> Objects;
    std::map<std::u16string, NameEntry> Names; // keys upper-cased
    std::map<HANDLE, HandleEntry> Handles;
    std::set<const void*> WorkItems;                       // allocated and not yet freed
    std::atomic<int> RunningWorkers{0};                    // worker threads not yet ending
    ULONG NextProcess = 1;                                 // program processes are numbered from 1
    std::map<ULONG, std::unique_ptr<_EPROCESS>> Processes; // as IoGetCurrentProcess names them
    ULONG_PTR NextHandle = 0x100;
    NTSTATUS NextReferenceFailure = STATUS_SUCCESS;
    bool OpenWithoutFile = false;
    // Freed device objects, poisoned and kept a while, so that a driver that
    // still uses its device after deleting it reads the fill, not reused memory.
    std::deque<char*> DeletedDevices;

    // The registry: keys by upper-cased absolute path.
    struct RegistryKey {
        std::map<std::u16string, std::pair<std::u16string, Kernel::RegistryValue>> Values;
        std::u16string Path; // as first written
    };
    mutable std::mutex RegistryLock;
    std::map<std::u16string, RegistryKey> Keys;
    std::map<HANDLE, std::u16string> KeyHandles;
    std::vector<std::pair<std::u16string, std::u16string>> RegistryWrites;

    mutable std::mutex NotificationsLock;
    std::map<ULONG_PTR, Registration> Registrations;
    ULONG_PTR NextRegistration = 1;
    // Ended registrations still owed one late call (DeliverLateNotifications).
    bool LateNotifications = false;
    std::vector<Registration> Departed;
    // Device interfaces present, by class, as (class, symbolic link).
    std::vector<std::pair<GUID, std::u16string>> Interfaces;
};

// The kernel alive; a service called with none is a fatal error.
extern Kernel::State* g_state;
[[noreturn]] void NoKernel();
inline Kernel::State& K()
{
    Kernel::State* state = g_state;
    if (__builtin_expect(state == nullptr, 0))
        NoKernel();
    return *state;
}

// Counts an injectable call of `kind` and says whether it is to fail.
bool InjectFault(FaultKind kind);
// Keeps the counts for InjectableCallsOfLastKernel, as the kernel goes.
void RememberInjectableCalls(Kernel::State& k);
// Something the teardown found left behind: a verifier failure, or only a
// report once the run's outcome is decided. Returns when only reported.
void TeardownFinding(Kernel::State& k, const char* rule, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Dispatcher lock held, no thread runnable: lets time jump to the next
// deadline until some thread (or `self`, when given) can run again.
void KeepTimeMoving(Kernel::State& k, std::unique_lock<std::mutex>& lock, Waiter* self);
void BlockUntilRunnable(Kernel::State& k, std::unique_lock<std::mutex>& lock, Waiter& self);
void WaitForExitingThreads();
// The kernel's list of hosted threads alive (dispatcher lock held).
void AddLiveThread(Kernel::State& k, ThreadState& thread);
void RemoveLiveThread(Kernel::State& k, ThreadState& thread);
// A DPC routine running on some thread other than the caller's.
bool DpcRunningElsewhere(Kernel::State& k);

// Driver images (processor.cpp): off until PrepareForImages.
bool ImageMode();
// A new OS thread that runs hosted threads: its signal stack and GS block.
void PrepareOsThreadForImages();
// A call into a driver from here must first move to a kernel-sized stack.
inline bool NeedsKernelStack()
{
    return ImageMode() && !CurrentThread().OnKernelStack;
}
// GS's block names the hosted thread now running (after each switch).
void UpdateProcessorThread();
// The stack of a new hosted thread: a kernel stack's size in image mode.
size_t HostedStackBytes(size_t hostedDefault);
// Memory for a stack of `size` bytes with a guard page below it, so that an
// overflow faults instead of corrupting; null when there is none. The stack
// starts one page in; the whole is size plus a page.
void* GuardedStack(size_t size);
// Stacks are filled with a pattern when made and read when freed, to learn
// the deepest use (image mode only).
void FillStack(void* bottom, size_t size);
void RecordStackUse(const void* bottom, size_t size);
// routine(argument) on this OS thread's DPC stack (image mode), else here.
void CallOnDpcStack(void (*routine)(void*), void* argument);

// Fibers mode (fibers.cpp). Every hosted thread is a fiber on the OS thread
// that made the kernel; the dispatcher lock is held across each switch and
// passes to the fiber switched to.
void StartFiberScheduler();
void StopFiberScheduler();
// A fiber for the new system thread `object`, with a thread state of its
// own; null when no stack can be had. It runs RunSystemThread(object) once
// switched to.
Fiber* CreateFiber(HostedThread* object);
// Dispatcher lock held: `fiber` runs when the running one blocks (nothing
// when it is the one running or is already due to run).
void ScheduleFiber(Fiber* fiber);
// Dispatcher lock held: runs the next fiber due; returns when this one is
// switched back to.
void RunNextFiber();
// Dispatcher lock held: the running fiber has ended; its stack goes once the
// next one runs.
[[noreturn]] void LeaveEndedFiber();
// The body of every system thread, on an OS thread or a fiber.
[[noreturn]] void RunSystemThread(HostedThread* self);

// Called with the dispatcher lock held when an object may have become signalled.
void WakeWaitersOn(Kernel::State& k, PVOID object);
// Runs every queued DPC at DISPATCH_LEVEL if the caller is below it.
void DrainDpcs();
void DrainDpcsOn(ThreadState& thread); // `thread` is the caller's
// Verifier: a block about to be freed must not hold a queued DPC or armed timer.
void CheckNothingQueuedIn(const void* begin, SIZE_T size, const char* what);
// Tells every registration that `matches` through `tell`, at PASSIVE_LEVEL,
// tolerating callbacks that end registrations meanwhile (objects.cpp).
void TellRegistrations(const std::function<bool(const Registration&)>& matches,
                       const std::function<void(const Registration&)>& tell);
void CheckNotificationCallbackReturned();
// Device-interface change registrations (pnp.cpp).
NTSTATUS RegisterInterfaceWatcher(ULONG flags, const GUID* interfaceClass,
                                  PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context,
                                  PVOID* entry);
// At teardown: reports references, threads and registrations left behind,
// then frees every object.
void CheckObjectsAtTeardown(Kernel::State& k);
void FreeObjects(Kernel::State& k);
void FreeThreadObject(PVOID thread);
// The logon session of an account's programs (GlobalSession for LocalSystem).
ULONG LogonSessionOf(Account account);
// Object manager calls for the notification registrations (objects.cpp):
// a reference on a file object (false when `object` is none), and the drop
// of a reference that closes a file with its last.
bool ReferenceFileObject(Kernel::State& k, PVOID object);
// One more reference on a live object (objects lock not held).
void ReferenceObject(Kernel::State& k, const void* object);
LONG_PTR DropReference(Kernel::State& k, PVOID object);
// ZwClose of a registry key handle; false when the handle is not one.
bool CloseKeyHandle(Kernel::State& k, HANDLE handle);
std::u16string NameKey(const UNICODE_STRING& name);
// The name in logon session `session`'s own \DosDevices, or empty.
std::u16string LocalNameKey(const UNICODE_STRING& name, ULONG session);
void FreeFinishedIrps(Kernel::State& k);
// At teardown: the armed timers' records return to the records free for reuse.
void ForgetArmedTimers(Kernel::State& k);
// Sends a create, cleanup or close for `file` to the top of the stack its
// device heads, as the I/O manager does, and waits for it (io.cpp).
// A create carries `opener`'s security context.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction, const Opener* opener = nullptr);

} // namespace hosted
