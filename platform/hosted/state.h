// Internal state of the hosted kernel, shared by its implementation files.
#pragma once

#include "platform/hosted/hosted.h"

#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <functional>
#include <set>
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
};

// Per hosted thread: its interrupt level, the spin locks it holds, its
// object (null for the thread that made the kernel) and its sleeps.
struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    std::vector<const KSPIN_LOCK*> HeldLocks;
    bool Registered = false;
    HostedThread* Object = nullptr;
    ULONGLONG Sleeps = 0;
};
ThreadState& CurrentThread();
ULONG_PTR CurrentThreadToken();

// A thread blocked in a kernel wait or delay.
struct Waiter {
    PVOID const* Objects = nullptr;
    ULONG Count = 0;
    LONGLONG Deadline = 0; // absolute; < 0 means none
    bool Runnable = true;
    bool Settle = false; // waits for every other thread to block, not for time
    ULONG_PTR Token = 0; // the waiting thread, for mutex ownership
    LONG Satisfied = -1; // index of the object that satisfied the wait
    std::condition_variable Wake;
};

enum class ObjectKind { Device, File, Thread };

struct ObjectRecord {
    ObjectRecord() = default;
    ObjectRecord(ObjectKind kind, LONG references) : Kind(kind), References(references) {}
    ObjectKind Kind = ObjectKind::Device;
    LONG References = 0;
    bool Deleted = false; // a device whose driver deleted it; freed with its last reference
    std::u16string Name;
    size_t ExtensionSize = 0;
    int OpenFiles = 0;   // file objects open on a device
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
};

struct PoolBlock {
    SIZE_T Size;
    ULONG Tag;
    POOL_TYPE Type;
    ULONGLONG Sequence;
};

struct Kernel::State {
    // The dispatcher lock: guards time, waiters, timers, the DPC queue and
    // every dispatcher object's signal state.
    mutable std::mutex Dispatcher;
    LONGLONG Now = 0;
    int LiveThreads = 0;
    int RunnableThreads = 0;
    std::vector<Waiter*> Waiters;
    std::set<HostedThread*> Threads; // system threads that have not ended
    std::set<PKTIMER> ArmedTimers;
    ULONGLONG TimerArmings = 0;
    std::deque<PKDPC> DpcQueue;
    std::multiset<PKDPC> RunningDpcs; // DPC routines executing right now

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

    LockRanker Ranker;
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
    std::map<HANDLE, PVOID> Handles;
    ULONG_PTR NextHandle = 0x100;
    NTSTATUS NextReferenceFailure = STATUS_SUCCESS;
    bool OpenWithoutFile = false;

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
    // Device interfaces present, by class, as (class, symbolic link).
    std::vector<std::pair<GUID, std::u16string>> Interfaces;
};

Kernel::State& K();

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

// Called with the dispatcher lock held when an object may have become signalled.
void WakeWaitersOn(Kernel::State& k, PVOID object);
// Runs every queued DPC at DISPATCH_LEVEL if the caller is below it.
void DrainDpcs();
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
// Object manager calls for the notification registrations (objects.cpp):
// a reference on a file object (false when `object` is none), and the drop
// of a reference that closes a file with its last.
bool ReferenceFileObject(Kernel::State& k, PVOID object);
LONG_PTR DropReference(Kernel::State& k, PVOID object);
// ZwClose of a registry key handle; false when the handle is not one.
bool CloseKeyHandle(Kernel::State& k, HANDLE handle);
std::u16string NameKey(const UNICODE_STRING& name);
void FreeFinishedIrps(Kernel::State& k);
// Sends a create, cleanup or close for `file` to the top of the stack its
// device heads, as the I/O manager does, and waits for it (io.cpp).
// A create carries `opener`'s security context.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction, const Opener* opener = nullptr);

} // namespace hosted
