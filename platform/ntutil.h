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

// Integer limits, without the C library.
constexpr LONG LongMin = -2147483647 - 1;
constexpr LONG LongMax = 2147483647;
constexpr LONGLONG LongLongMin = -9223372036854775807LL - 1;
constexpr SHORT ShortMin = -32768;
constexpr SHORT ShortMax = 32767;
