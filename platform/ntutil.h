// Small helpers over the kernel boundary shared by all driver code: typed
// time intervals, pool tags and lock guards.
#pragma once

#include "platform/kernel.h"

// A pool tag from its four characters in the order a debugger shows them.
constexpr ULONG PoolTagFromText(const char (&text)[5])
{
    return ULONG(UCHAR(text[0])) | ULONG(UCHAR(text[1])) << 8 | ULONG(UCHAR(text[2])) << 16 |
           ULONG(UCHAR(text[3])) << 24;
}

// Kernel intervals are in 100 ns units; negative values are relative.
constexpr LONGLONG RelativeMs(LONGLONG milliseconds)
{
    return -milliseconds * 10000;
}

inline LARGE_INTEGER RelativeTimeout(LONGLONG milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = RelativeMs(milliseconds);
    return interval;
}

// Holds a spin lock for its scope and restores the interrupt level it found.
class SpinLockGuard {
public:
    explicit SpinLockGuard(PKSPIN_LOCK lock) : lock_(lock) { KeAcquireSpinLock(lock_, &oldIrql_); }
    ~SpinLockGuard() { KeReleaseSpinLock(lock_, oldIrql_); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    PKSPIN_LOCK lock_;
    KIRQL oldIrql_ = PASSIVE_LEVEL;
};

// Holds a kernel mutex for its scope: a non-alertable kernel-mode wait
// without time-out. The mutex is recursive, so nested guards are fine.
class MutexGuard {
public:
    explicit MutexGuard(PKMUTEX mutex) : mutex_(mutex)
    {
        KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
    }
    ~MutexGuard() { KeReleaseMutex(mutex_, FALSE); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    PKMUTEX mutex_;
};

// Waits until no DPC is queued or running on any processor, so that a record
// holding DPCs can be released. Windows 2000 has no KeFlushQueuedDpcs, so it
// is looked up rather than imported; there a pause outlasts any DPC routine
// already running, since such a routine never waits.
inline void FlushDeferredProcedures()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, VORN_WIDE("KeFlushQueuedDpcs"));
    using FlushRoutine = VOID(NTAPI*)(VOID);
    auto flush = reinterpret_cast<FlushRoutine>(MmGetSystemRoutineAddress(&name));
    if (flush) {
        flush();
        return;
    }
    LARGE_INTEGER pause = RelativeTimeout(20);
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
}

// The outcome of a device control request that its dispatch completes.
inline NTSTATUS RefuseRequest(PIRP irp)
{
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = 0;
    return STATUS_UNSUCCESSFUL;
}

// Completes a request with `status`, no data and no priority boost.
inline NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS SucceedRequest(PIRP irp, ULONG_PTR information)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = information;
    return STATUS_SUCCESS;
}

// Integer limits, without the C library.
constexpr LONG LongMin = -2147483647 - 1;
constexpr LONG LongMax = 2147483647;
constexpr LONGLONG LongLongMin = -9223372036854775807LL - 1;
constexpr SHORT ShortMin = -32768;
constexpr SHORT ShortMax = 32767;
