// Internal state of the hosted kernel, shared by its implementation files.
#pragma once

#include "platform/hosted/hosted.h"

#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace hosted {

[[noreturn]] void VerifierFail(const char* rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Per hosted thread: its interrupt level and the spin locks it holds.
struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    std::vector<const KSPIN_LOCK*> HeldLocks;
    bool Registered = false;
};
ThreadState& CurrentThread();
ULONG_PTR CurrentThreadToken();

// A thread blocked in a kernel wait or delay.
struct Waiter {
    PVOID const* Objects = nullptr;
    ULONG Count = 0;
    LONGLONG Deadline = 0; // absolute; < 0 means none
    bool Runnable = true;
    std::condition_variable Wake;
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
    std::set<PKTIMER> ArmedTimers;
    ULONGLONG TimerArmings = 0;
    std::deque<PKDPC> DpcQueue;

    mutable std::mutex PoolLock;
    std::map<const void*, PoolBlock> Blocks;
    PoolStats Stats;
    ULONGLONG AllocationSequence = 0;
    ULONGLONG FailAt = 0; // allocation sequence number to fail; 0 = none
    std::set<ULONG> FailedTags;

    mutable std::mutex DebugLock;
    std::vector<std::string> Debug;
    std::function<void(const std::string&)> DebugSink;

    LockRanker Ranker;
    KSPIN_LOCK CancelLock = 0;

    std::vector<PDRIVER_OBJECT> Drivers;
    // Requests completed to their originator, kept a while so that a second
    // completion is caught rather than touching freed memory.
    std::mutex FinishedLock;
    std::deque<PIRP> FinishedIrps;

    mutable std::mutex DevicesLock;
    std::set<PDEVICE_OBJECT> Devices;
};

Kernel::State& K();

// Called with the dispatcher lock held when an object may have become signalled.
void WakeWaitersOn(Kernel::State& k, PVOID object);
// Runs every queued DPC at DISPATCH_LEVEL if the caller is below it.
void DrainDpcs();
// Verifier: a block about to be freed must not hold a queued DPC or armed timer.
void CheckNothingQueuedIn(const void* begin, SIZE_T size, const char* what);
void FreeDeviceObjects(Kernel::State& k);
void FreeFinishedIrps(Kernel::State& k);

} // namespace hosted
