// The hosted kernel as tests, benchmarks and vornsim see it: one Kernel per
// run, virtual time, pool accounting and fault injection, captured debugger
// output and the verifier.
#pragma once

#include "platform/hosted/nt.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace hosted {

// Hosted time is counted in 100 ns units, as the NT clock is.
constexpr LONGLONG TicksPerMs = 10000;

// The largest system buffer the I/O manager builds for a buffered request;
// beyond it IoBuildDeviceIoControlRequest fails as when the pool cannot
// supply the buffer. No request of the driver comes near it.
constexpr ULONG MaxBufferedTransfer = 0x100000;

struct PoolStats {
    ULONGLONG Allocations = 0; // successful allocation calls
    ULONGLONG FailedAllocations = 0;
    ULONGLONG Frees = 0;
    ULONGLONG OutstandingBlocks = 0;
    ULONGLONG OutstandingBytes = 0;
    ULONGLONG PeakBytes = 0;
};

// The calls fault injection can fail, each kind with its own count:
// ExAllocatePoolWithTag (Alloc); IoAllocateIrp and IoBuildDeviceIoControlRequest
// (Irp); IoCreateDevice (Device); IoCreateSymbolicLink (Link);
// PsCreateSystemThread (Thread); RtlWriteRegistryValue and ZwCreateKey (Key).
enum class FaultKind { Alloc, Irp, Device, Link, Thread, Key };
constexpr size_t FaultKindCount = 6;
using FaultCounts = std::array<uint64_t, FaultKindCount>;
// "alloc", "irp", "device", "link", "thread", "key".
const char* FaultKindName(FaultKind kind);
bool FaultKindNamed(const std::string& name, FaultKind* kind);

// While one is alive on a thread, the injectable calls that thread makes are
// neither counted nor failed: the neighbours and the I/O manager's own
// requests hold one, so that only the driver's calls are swept.
class NeighbourCalls {
public:
    NeighbourCalls();
    ~NeighbourCalls();
    NeighbourCalls(const NeighbourCalls&) = delete;
    NeighbourCalls& operator=(const NeighbourCalls&) = delete;
};

// Orders spin locks: a lock of lower rank must be taken before one of higher
// rank. 0 means "not ranked". Installed by whoever knows the driver's records.
using LockRanker = std::function<int(const void* lock, const char** name)>;

// Receives "verifier: RULE: DETAIL" lines. The default prints the line on
// standard error and ends the process with exit status 3.
using VerifierHandler = std::function<void(const std::string& line)>;

// How hosted threads run. OsThreads: each on an OS thread of its own, truly
// in parallel, which is what ThreadSanitizer needs to find races. Fibers:
// all on the thread that made the kernel, each running until it blocks,
// which is what scale needs (a hand-off is a context switch, not a futex
// round trip) and makes every run repeat exactly.
enum class ThreadMode { OsThreads, Fibers };
// The build's choice (OsThreads under the sanitizers and for the fuzzers,
// Fibers otherwise), unless VORN_HOSTED_THREADS says "os" or "fibers".
ThreadMode DefaultThreadMode();
// False under ThreadSanitizer, which cannot follow a switch of stacks.
bool FibersAvailable();
const char* ThreadModeName(ThreadMode mode);

// The Windows whose kernel the stand-in answers for where versions differ:
// which routines MmGetSystemRoutineAddress finds. Windows 2000 (the oldest
// the i686 image is for) lacks KeFlushQueuedDpcs; XP has it, and so has
// Server 2003 SP1, the first x64 kernel (the x86_64 image's oldest).
enum class WindowsVersion { Windows2000, WindowsXP, Server2003 };
// XP, unless VORN_HOSTED_WINDOWS says "2000", "xp" or "2003".
WindowsVersion DefaultWindowsVersion();
const char* WindowsVersionName(WindowsVersion version);

class Kernel {
public:
    // The constructing thread becomes the first hosted thread, at PASSIVE_LEVEL.
    explicit Kernel(ThreadMode mode = DefaultThreadMode());
    ThreadMode Mode() const;
    WindowsVersion Windows() const;
    void SetWindows(WindowsVersion version);
    // Reports every pool block still allocated as a leak.
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel& Current();

    // Virtual time.
    LONGLONG Now() const;
    // Lets `ms` milliseconds of hosted time pass on the calling thread: timers
    // due meanwhile fire and their DPCs run.
    void SleepMs(LONGLONG ms);
    // Waits until every other hosted thread is blocked in a kernel wait or
    // delay and no DPC is queued, without letting time pass.
    void Settle();
    // KeDelayExecutionThread calls made by the calling thread so far.
    ULONGLONG SleepsOnThisThread() const;
    // Hosted threads alive, the one that made the kernel included; the
    // system worker threads that run work items are not counted.
    int LiveThreads() const;
    KPRIORITY ThreadPriority(PVOID thread) const;

    // Pool accounting and fault injection.
    PoolStats Pool() const;
    // Fails the n-th allocation from now on (1 = the next one).
    void FailNthAllocation(ULONGLONG n);
    // Fails every allocation with this tag until cleared.
    void FailAllocationsWithTag(ULONG tag);
    void ClearAllocationFaults();
    // Fails the n-th injectable call of `kind` from now on (1 = the next
    // one), once; 0 withdraws it.
    void FailNthCall(FaultKind kind, ULONGLONG n);
    // Injectable calls of each kind made so far.
    FaultCounts InjectableCalls() const;
    // The run's outcome is already decided (an input error): what the
    // teardown finds left behind (leaks, live threads) is reported on
    // standard error as "teardown: RULE: DETAIL" instead of failing the
    // verifier. If threads are still running the kernel cannot be freed
    // safely, and the process ends with `exitStatus` after the report.
    void ReportTeardownFindingsOnly(int exitStatus);
    // The next ObReferenceObjectByPointer fails with `status`.
    void FailNextReference(NTSTATUS status);
    // IoGetDeviceObjectPointer succeeds without a file object, as some
    // platforms that imitate NT answer it (Wine gives a fake device and no file).
    void OpenWithoutFileObject(bool on);

    // Captured DbgPrint output, one entry per call.
    std::vector<std::string> DebugMessages() const;
    void ClearDebugMessages();
    void SetDebugSink(std::function<void(const std::string&)> sink);
    // Hears of each device object IoCreateDevice made, on the creating
    // thread, once the device is whole.
    void SetDeviceCreatedSink(std::function<void(PDEVICE_OBJECT)> sink);

    void SetLockRanker(LockRanker ranker);

    // Interleaving: `hook` runs on every thread about to acquire `lock`, at
    // that thread's IRQL and before it acquires, until the hook returns true
    // (then it is gone). A test holds a thread at a chosen point this way, or
    // runs another operation exactly there. A hook is not run again from
    // inside itself.
    void HookSpinLockAcquire(const KSPIN_LOCK* lock, std::function<bool()> hook);

    // The device object whose extension starts at `extension`, or null.
    PDEVICE_OBJECT DeviceOfExtension(const void* extension) const;
    // DPCs queued and not yet run.
    size_t QueuedDpcCount() const;
    // Plug and Play notification registrations not yet ended.
    size_t NotificationRegistrations() const;
    // IoUnregisterPlugPlayNotification may return while a delivery that
    // already picked the registration is about to call it (its documentation
    // says so). On: each registration ended from now on is called once more,
    // by the next delivery that matches it, after its unregistration returned.
    void DeliverLateNotifications(bool on);
    // Every symbolic link, upper-cased: "\DOSDEVICES\X" in the global
    // directory, "\SESSIONS\N\DOSDEVICES\X" in logon session N's own.
    std::vector<std::u16string> SymbolicLinks() const;

    // The registry, by absolute path ("\\Registry\\Machine\\...") or by a
    // path relative to the services root. Values are REG_DWORD or REG_SZ.
    struct RegistryValue {
        ULONG Type;
        ULONG Dword;
        std::u16string Text;      // REG_SZ: up to the first zero
        std::vector<UCHAR> Bytes; // exactly as written, of any type and length
    };
    static const char16_t* ServicesRoot();
    void RegistrySetDword(const std::u16string& key, const std::u16string& name, ULONG value);
    void RegistrySetString(const std::u16string& key, const std::u16string& name,
                           const std::u16string& value);
    void RegistrySetRaw(const std::u16string& key, const std::u16string& name, ULONG type,
                        const std::vector<UCHAR>& data);
    void RegistryDeleteKey(const std::u16string& key); // with its subkeys
    bool RegistryKeyExists(const std::u16string& key) const;
    bool RegistryGet(const std::u16string& key, const std::u16string& name,
                     RegistryValue* value) const;
    // Every value of `key` and its subkeys, as (key, name, value), keys and
    // names in order. Keys are given relative to the services root.
    struct RegistryEntry {
        std::u16string Key, Name;
        RegistryValue Value;
    };
    std::vector<RegistryEntry> RegistryDump(const std::u16string& key) const;
    // Every RtlWriteRegistryValue since the last call, as (key, name), keys
    // relative to the services root where they lie under it.
    std::vector<std::pair<std::u16string, std::u16string>> TakeRegistryWrites();

    // A driver object as the I/O manager would give it to driver entry.
    PDRIVER_OBJECT CreateDriverObject(const char* name);

    struct State;
    State& state() { return *state_; }

private:
    State* state_;
};

void SetVerifierHandler(VerifierHandler handler);

// The injectable calls the last kernel made in its life, teardown included.
FaultCounts InjectableCallsOfLastKernel();

// Runs a driver's entry as the I/O manager loads a driver: when it returns,
// every device the driver has made is ready for opens (DO_DEVICE_INITIALIZING
// cleared). A device made later keeps the flag, and cannot be opened, until
// its driver clears it.
NTSTATUS LoadDriver(PDRIVER_OBJECT driver, DRIVER_INITIALIZE* entry, PUNICODE_STRING registryPath);
// What LoadDriver does once driver entry has returned.
void FinishDriverEntry(PDRIVER_OBJECT driver);

// Whose token an open carries. An administrator's groups include
// Administrators; a standard user's do not; LocalSystem is the account of
// system threads, and so of every kernel-mode open.
enum class Account { Administrator, StandardUser, LocalSystem };
// The token of the account's logon, as SeAccessCheck reads it.
PACCESS_TOKEN TokenOf(Account account);

// Who opens a device and how.
struct Opener {
    Account User = Account::Administrator;
    KPROCESSOR_MODE Mode = UserMode;
    ACCESS_MASK DesiredAccess = GENERIC_READ | GENERIC_WRITE; // as a program's CreateFile asks
    bool ForceAccessCheck = false; // a kernel-mode open that asks for the caller's check
};

// The process a thread runs in. Driver entry, Plug and Play, system threads
// and work items run in the system process; a request a program sends runs
// in the program's process, on the program's own thread. While one of these
// is alive the calling thread runs in a program's process, as its user: on
// XP the \DosDevices names it makes go to that user's logon session's own
// directory, and its lookups search that directory before the global one
// (LocalSystem has none).
class ProgramContext {
public:
    explicit ProgramContext(Account user = Account::Administrator);
    ~ProgramContext();
    ProgramContext(const ProgramContext&) = delete;
    ProgramContext& operator=(const ProgramContext&) = delete;

private:
    ULONG outerProcess_ = 0;
    ULONG outerSession_ = 0;
};
bool InSystemProcess();

// What the I/O manager hands a create: the opener's captured subject context
// and the access asked for, generic rights mapped for files. It must outlive
// the request it is applied to.
class CreateSecurity {
public:
    explicit CreateSecurity(const Opener& opener);
    CreateSecurity(const CreateSecurity&) = delete;
    CreateSecurity& operator=(const CreateSecurity&) = delete;
    // Fills the request's mode and its next stack location's security context.
    void Apply(PIRP irp) const;

private:
    Opener opener_;
    ACCESS_STATE state_{};
    IO_SECURITY_CONTEXT context_{};
};

// A handle opened on `device` (CreateFile from user mode unless `opener`
// says otherwise): refused with STATUS_NO_SUCH_DEVICE while the device
// initialises or after its driver deleted it, with STATUS_ACCESS_DENIED when
// it is exclusive and open; otherwise an IRP_MJ_CREATE carrying the opener's
// security context goes down its stack and its status is the open's. The
// file object comes back in `file` on success.
NTSTATUS OpenHandle(PDEVICE_OBJECT device, PFILE_OBJECT* file, const Opener& opener = Opener());
// The same by name, as CreateFile("\\.\NAME") opens "\??\NAME": links are
// followed; STATUS_OBJECT_NAME_NOT_FOUND when nothing has that name.
NTSTATUS OpenHandleByName(const std::u16string& name, PFILE_OBJECT* file,
                          const Opener& opener = Opener());
// Closes that handle (CloseHandle): IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once
// the last reference on the file object is gone. Requests sent on a handle
// still reach the driver after the device was deleted.
void CloseHandle(PFILE_OBJECT file);

// Tells every target-device watcher of `device` about `event`, at
// PASSIVE_LEVEL on the calling thread, as a device stack does on removal.
void NotifyTargetDeviceChange(PDEVICE_OBJECT device, const GUID& event);

// A device interface of `interfaceClass` arrives or goes away: every watcher
// of the class hears of it at PASSIVE_LEVEL on the calling thread.
void AddDeviceInterface(const GUID& interfaceClass, const std::u16string& link);
void RemoveDeviceInterface(const GUID& interfaceClass, const std::u16string& link);

// Builds a pool tag from its four characters as a debugger shows them.
constexpr ULONG PoolTag(char a, char b, char c, char d)
{
    return ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24;
}

std::string TagText(ULONG tag);

} // namespace hosted
