// The hosted kernel core: interrupt levels, DPCs, timers, events, mutexes and
// virtual time, and the verifier rules that guard them.
#include "platform/hosted/hosted.h"
#include "sim/harness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct DpcLog {
    int Runs = 0;
    KIRQL Irql = PASSIVE_LEVEL;
    PVOID Argument1 = nullptr;
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID argument1, PVOID)
{
    auto* log = static_cast<DpcLog*>(context);
    log->Runs++;
    log->Irql = KeGetCurrentIrql();
    log->Argument1 = argument1;
}

LARGE_INTEGER Ms(LONGLONG ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * hosted::TicksPerMs;
    return interval;
}

TEST(HostedKernel, SpinLockRaisesToDispatchAndRestores)
{
    hosted::Kernel kernel;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(HostedKernel, DpcQueuedOnceRunsAtDispatchWhenLevelDrops)
{
    hosted::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &log);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &log, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)); // already queued
    EXPECT_EQ(log.Runs, 0);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(log.Runs, 1);
    EXPECT_EQ(log.Irql, DISPATCH_LEVEL);
    EXPECT_EQ(log.Argument1, &log);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(HostedKernel, WithdrawnDpcNeverRuns)
{
    hosted::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &log);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    KeLowerIrql(old);
    EXPECT_EQ(log.Runs, 0);
    EXPECT_EQ(kernel.QueuedDpcCount(), 0u);
}

TEST(HostedKernel, TimersFireInVirtualTimeAndRearmingReplacesTheDueTime)
{
    hosted::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, RecordDpc, &log);
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Ms(100), &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Ms(300), &dpc)); // replaces 100 ms
    kernel.SleepMs(299);
    EXPECT_EQ(log.Runs, 0);
    kernel.SleepMs(1);
    EXPECT_EQ(log.Runs, 1);
    EXPECT_EQ(log.Irql, DISPATCH_LEVEL);
    EXPECT_EQ(kernel.Now(), 300 * hosted::TicksPerMs);
    EXPECT_FALSE(KeCancelTimer(&timer)); // fired: nothing to cancel
}

TEST(HostedKernel, CancelledTimerDoesNotStopAnAlreadyQueuedDpc)
{
    hosted::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, RecordDpc, &log);
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Ms(10), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    kernel.SleepMs(50);
    EXPECT_EQ(log.Runs, 0);
}

struct CancelOther {
    PKTIMER Other;
    BOOLEAN Cancelled = TRUE;
};

VOID NTAPI CancelOtherTimer(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* c = static_cast<CancelOther*>(context);
    c->Cancelled = KeCancelTimer(c->Other);
}

TEST(HostedKernel, CancellingAnExpiredTimerLeavesItsQueuedDpc)
{
    hosted::Kernel kernel;
    KTIMER first, second;
    KDPC cancelDpc, recordDpc;
    KeInitializeTimer(&first);
    KeInitializeTimer(&second);
    CancelOther cancel{&second};
    DpcLog log;
    KeInitializeDpc(&cancelDpc, CancelOtherTimer, &cancel);
    KeInitializeDpc(&recordDpc, RecordDpc, &log);
    // Both expire at the same instant; the first DPC cancels the second timer
    // after its expiry has already queued the second DPC.
    KeSetTimer(&first, Ms(10), &cancelDpc);
    KeSetTimer(&second, Ms(10), &recordDpc);
    kernel.SleepMs(20);
    EXPECT_FALSE(cancel.Cancelled);
    EXPECT_EQ(log.Runs, 1);
}

TEST(HostedKernel, WaitsTimeOutInVirtualTimeAndNotificationEventsStaySignalled)
{
    hosted::Kernel kernel;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Ms(1000);
    LONGLONG before = kernel.Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(kernel.Now() - before, 1000 * hosted::TicksPerMs);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(HostedKernel, MutexIsRecursiveForItsOwner)
{
    hosted::Kernel kernel;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
}

// ---- Dispatcher objects as a loaded image sees them -------------------------
// The kernel's own facts live in the DDK's fields: what a KeInitializeXxx
// leaves in the header, the DPC queue through DpcListEntry and DpcData, an
// armed timer's Header.Inserted, DueTime and Dpc, a mutex's OwnerThread.

template <typename Object> UCHAR SizeInLongs()
{
    return UCHAR(sizeof(Object) / sizeof(LONG));
}

bool EmptyList(const LIST_ENTRY& head)
{
    return head.Flink == &head && head.Blink == &head;
}

// Header.Type values: the checked DDK's ASSERT_EVENT, ASSERT_MUTANT and ASSERT_TIMER test them.
TEST(HostedKernel, InitialisedObjectsSayWhatTheyAreInTheirHeaders)
{
    hosted::Kernel kernel;
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    EXPECT_EQ(notification.Header.Type, NotificationEvent);
    EXPECT_EQ(synchronization.Header.Type, SynchronizationEvent);
    EXPECT_EQ(notification.Header.Size, SizeInLongs<KEVENT>());
    EXPECT_EQ(notification.Header.SignalState, 1);
    EXPECT_TRUE(EmptyList(notification.Header.WaitListHead));

    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(mutex.Header.Size, SizeInLongs<KMUTEX>());
    EXPECT_EQ(mutex.Header.SignalState, 1);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_TRUE(EmptyList(mutex.Header.WaitListHead));

    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_EQ(timer.Header.Size, SizeInLongs<KTIMER>());
    EXPECT_EQ(timer.Header.Inserted, FALSE);
    EXPECT_EQ(timer.Header.SignalState, 0);
    EXPECT_TRUE(EmptyList(timer.Header.WaitListHead));

    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, nullptr);
    EXPECT_EQ(dpc.Importance, MediumImportance);
    EXPECT_EQ(dpc.Number, 0);
    EXPECT_EQ(dpc.DpcData, nullptr);
}

TEST(HostedKernel, QueuedDpcsAreLinkedThroughTheirOwnListEntries)
{
    hosted::Kernel kernel;
    DpcLog firstLog, secondLog;
    KDPC first, second;
    KeInitializeDpc(&first, RecordDpc, &firstLog);
    KeInitializeDpc(&second, RecordDpc, &secondLog);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&first, nullptr, nullptr);
    KeInsertQueueDpc(&second, nullptr, nullptr);
    EXPECT_NE(first.DpcData, nullptr);
    EXPECT_EQ(second.DpcData, first.DpcData); // the one queue
    EXPECT_EQ(first.DpcListEntry.Flink, &second.DpcListEntry);
    EXPECT_EQ(second.DpcListEntry.Blink, &first.DpcListEntry);
    EXPECT_TRUE(KeRemoveQueueDpc(&first));
    EXPECT_EQ(first.DpcData, nullptr);
    EXPECT_NE(second.DpcData, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(firstLog.Runs, 0);
    EXPECT_EQ(secondLog.Runs, 1);
    EXPECT_EQ(second.DpcData, nullptr);
}

TEST(HostedKernel, AnArmedTimerIsInsertedWithItsDueTimeAndDpc)
{
    hosted::Kernel kernel;
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
    KeInitializeDpc(&dpc, RecordDpc, &log);
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Ms(100), &dpc);
    EXPECT_EQ(timer.Header.Inserted, TRUE);
    EXPECT_EQ(LONGLONG(timer.DueTime.QuadPart), kernel.Now() + 100 * hosted::TicksPerMs);
    EXPECT_EQ(timer.Dpc, &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_EQ(timer.Header.Inserted, FALSE);

    KeSetTimer(&timer, Ms(10), &dpc);
    kernel.SleepMs(10);
    EXPECT_EQ(log.Runs, 1);
    EXPECT_EQ(timer.Header.Inserted, FALSE);
    EXPECT_EQ(timer.Header.SignalState, 1);
}

TEST(HostedKernel, AMutexNamesItsOwnerThread)
{
    hosted::Kernel kernel;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_EQ(mutex.Header.SignalState, 0);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_EQ(mutex.Header.SignalState, 1);
}

// What the kernel keeps beside an object stays beside it: a whole life of
// each object writes nothing past the DDK's size of it.
template <typename Object> struct Fenced {
    Object Inside;
    UCHAR Fence[64];

    Fenced() { std::memset(static_cast<void*>(this), FenceByte, sizeof *this); }
    bool FenceIntact() const
    {
        for (UCHAR byte : Fence)
            if (byte != FenceByte)
                return false;
        return true;
    }
    static constexpr UCHAR FenceByte = 0xA5;
};

TEST(HostedKernel, NothingIsWrittenPastAnObjectsDdkSize)
{
    hosted::Kernel kernel;
    DpcLog log;
    Fenced<KDPC> dpc;
    Fenced<KTIMER> timer;
    Fenced<KEVENT> event;
    Fenced<KMUTEX> mutex;
    Fenced<IO_REMOVE_LOCK> removeLock;
    KeInitializeDpc(&dpc.Inside, RecordDpc, &log);
    KeInitializeTimer(&timer.Inside);
    KeInitializeEvent(&event.Inside, SynchronizationEvent, FALSE);
    KeInitializeMutex(&mutex.Inside, 0);
    IoInitializeRemoveLock(&removeLock.Inside, hosted::PoolTag('T', 'e', 's', 't'), 0, 0);

    KeSetTimer(&timer.Inside, Ms(10), &dpc.Inside);
    LARGE_INTEGER timeout = Ms(20);
    KeWaitForSingleObject(&event.Inside, Executive, KernelMode, FALSE, &timeout);
    KeSetEvent(&event.Inside, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&mutex.Inside, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex.Inside, FALSE);
    int tag = 0;
    EXPECT_EQ(IoAcquireRemoveLock(&removeLock.Inside, &tag), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&removeLock.Inside, &tag);

    EXPECT_EQ(log.Runs, 1);
    EXPECT_TRUE(dpc.FenceIntact());
    EXPECT_TRUE(timer.FenceIntact());
    EXPECT_TRUE(event.FenceIntact());
    EXPECT_TRUE(mutex.FenceIntact());
    EXPECT_TRUE(removeLock.FenceIntact());
}

// ---- The verifier: each rule fires when broken on purpose ------------------

NTSTATUS NTAPI AnswerTooSmall(PWSTR, ULONG, PVOID, ULONG, PVOID context, PVOID)
{
    ++*static_cast<int*>(context);
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS NTAPI KeepDword(PWSTR, ULONG type, PVOID data, ULONG, PVOID, PVOID entryContext)
{
    if (type == REG_DWORD)
        *static_cast<ULONG*>(entryContext) = *static_cast<ULONG*>(data);
    return STATUS_SUCCESS;
}

// Wine dlls/ntdll/tests/reg.c, test_RtlQueryRegistryValues: a DIRECT string of 2 WCHARs for
// "C:" gives STATUS_SUCCESS and an untouched buffer (a row without a todo).
TEST(HostedKernel, AValueThatDoesNotFitIsTakenAsReadAndTheQueryGoesOn)
{
    hosted::Kernel kernel;
    kernel.RegistrySetString(u"Query", u"Long", u"COM1");
    kernel.RegistrySetDword(u"Query", u"After", 7);
    kernel.RegistrySetDword(u"Query", u"Last", 9);
    WCHAR small[2] = {u'#', u'#'};
    UNICODE_STRING direct = {2, sizeof small, small};
    ULONG after = 0, last = 0;
    int answered = 0;
    RTL_QUERY_REGISTRY_TABLE table[5] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Long"), &direct, 0, nullptr,
                0};
    table[1] = {KeepDword, 0, const_cast<PWSTR>(u"After"), &after, 0, nullptr, 0};
    table[2] = {AnswerTooSmall, 0, const_cast<PWSTR>(u"Long"), nullptr, 0, nullptr, 0};
    table[3] = {KeepDword, 0, const_cast<PWSTR>(u"Last"), &last, 0, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Query", table, &answered, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(direct.Length, 2) << "the target stays as it was";
    EXPECT_EQ(small[0], u'#');
    EXPECT_EQ(after, 7u);
    EXPECT_EQ(answered, 1);
    EXPECT_EQ(last, 9u) << "the entry after a routine's STATUS_BUFFER_TOO_SMALL";
}

// KeFlushQueuedDpcs (Microsoft docs), Requirements: available starting with Windows XP.
TEST(HostedKernel, SystemRoutinesAreFoundAsTheChosenWindowsExportsThem)
{
    hosted::Kernel kernel;
    UNICODE_STRING flush;
    RtlInitUnicodeString(&flush, u"KeFlushQueuedDpcs");
    kernel.SetWindows(hosted::WindowsVersion::WindowsXP);
    EXPECT_EQ(MmGetSystemRoutineAddress(&flush), reinterpret_cast<PVOID>(&KeFlushQueuedDpcs));
    kernel.SetWindows(hosted::WindowsVersion::Server2003);
    EXPECT_NE(MmGetSystemRoutineAddress(&flush), nullptr);
    kernel.SetWindows(hosted::WindowsVersion::Windows2000);
    EXPECT_EQ(MmGetSystemRoutineAddress(&flush), nullptr);
    UNICODE_STRING delay;
    RtlInitUnicodeString(&delay, u"KeDelayExecutionThread");
    EXPECT_NE(MmGetSystemRoutineAddress(&delay), nullptr) << "there since Windows 2000";
}

TEST(Verifier, LookingUpARoutineTheTableDoesNotKnowFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, u"KeNoSuchRoutine");
            MmGetSystemRoutineAddress(&name);
        },
        ::testing::ExitedWithCode(3), "verifier: routine: .*KeNoSuchRoutine.*not in the hosted");
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, u"KeAcquireInStackQueuedSpinLock");
            MmGetSystemRoutineAddress(&name);
        },
        ::testing::ExitedWithCode(3), "verifier: routine: .*Windows XP exports it");
}

TEST(Verifier, ReleasingASpinLockNotHeldFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        ::testing::ExitedWithCode(3), "verifier: spinlock: .*does not hold");
}

TEST(Verifier, RecursiveSpinLockFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL a;
            KIRQL b;
            KeAcquireSpinLock(&lock, &a);
            KeAcquireSpinLock(&lock, &b);
        },
        ::testing::ExitedWithCode(3), "verifier: spinlock: .*recursive");
}

TEST(Verifier, TouchDeviceLockBeforeControlDeviceLockFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            sim::PipelineRig rig(kernel);
            DeviceExtension* touch = ExtensionOf(rig.AddTouchDevice());
            KIRQL a;
            KIRQL b;
            KeAcquireSpinLock(&touch->Lock, &a);
            KeAcquireSpinLock(&rig.ControlExt().Lock, &b);
        },
        ::testing::ExitedWithCode(3),
        "verifier: lock-order: the control device's Lock .* while holding a touch device's Lock");
}

TEST(Verifier, WaitingAtDispatchLevelFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, TRUE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        ::testing::ExitedWithCode(3), "verifier: irql: KeWaitForSingleObject at IRQL 2");
}

TEST(Verifier, PagedPoolAtDispatchLevelFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 16, hosted::PoolTag('W', 'd', 'm', ' '));
        },
        ::testing::ExitedWithCode(3), "verifier: irql: ExAllocatePoolWithTag\\(PagedPool");
}

// Bug Check 0xC4 (DRIVER_VERIFIER_DETECTED_VIOLATION), parameter 1 = 0x0: a zero-byte request.
TEST(Verifier, AZeroByteAllocationFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            ExAllocatePoolWithTag(NonPagedPool, 0, hosted::PoolTag('Z', 'e', 'r', 'o'));
        },
        ::testing::ExitedWithCode(3), "verifier: pool: .*'Zero'.*zero-byte allocation");
}

// ExFreePool (Microsoft docs): at DISPATCH_LEVEL only memory allocated as NonPagedPool.
TEST(Verifier, PagedPoolFreedAboveApcLevelFails)
{
    hosted::Kernel kernel;
    PVOID nonpaged = ExAllocatePoolWithTag(NonPagedPool, 8, hosted::PoolTag('N', 'p', 'g', 'd'));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExFreePool(nonpaged); // allowed at DISPATCH_LEVEL
    KeLowerIrql(old);
    EXPECT_EXIT(
        {
            PVOID paged = ExAllocatePoolWithTag(PagedPool, 8, hosted::PoolTag('P', 'a', 'g', 'd'));
            KIRQL raised;
            KeRaiseIrql(DISPATCH_LEVEL, &raised);
            ExFreePool(paged);
        },
        ::testing::ExitedWithCode(3),
        "verifier: irql: ExFreePool.*paged pool .*'Pagd'.* at IRQL 2");
}

// KeWaitForMultipleObjects (Microsoft docs): more than THREAD_WAIT_OBJECTS objects need a
// WaitBlockArray; bug check 0xC (MAXIMUM_WAIT_OBJECTS_EXCEEDED) otherwise.
TEST(Verifier, WaitingOnMoreObjectsThanTheThreadsOwnBlocksWithoutAnArrayFails)
{
    hosted::Kernel kernel;
    KEVENT events[THREAD_WAIT_OBJECTS + 1];
    PVOID objects[THREAD_WAIT_OBJECTS + 1];
    for (int i = 0; i <= THREAD_WAIT_OBJECTS; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, i == THREAD_WAIT_OBJECTS);
        objects[i] = &events[i];
    }
    alignas(8) UCHAR blocks[(THREAD_WAIT_OBJECTS + 1) * 48]; // room for the caller's KWAIT_BLOCKs
    EXPECT_EQ(KeWaitForMultipleObjects(THREAD_WAIT_OBJECTS + 1, objects, WaitAny, Executive,
                                       KernelMode, FALSE, nullptr, blocks),
              NTSTATUS(STATUS_WAIT_0 + THREAD_WAIT_OBJECTS));
    EXPECT_EXIT(KeWaitForMultipleObjects(THREAD_WAIT_OBJECTS + 1, objects, WaitAny, Executive,
                                         KernelMode, FALSE, nullptr, nullptr),
                ::testing::ExitedWithCode(3),
                "verifier: wait: .*4 objects and no wait block array");
}

// Handling an IRP_MN_REMOVE_DEVICE Request (Microsoft docs): the driver detaches its device
// from the stack (IoDetachDevice) and then deletes it (IoDeleteDevice).
TEST(Verifier, DeletingADeviceStillAttachedToTheOneBelowFails)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Stack");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper),
              STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    EXPECT_EXIT(IoDeleteDevice(upper), ::testing::ExitedWithCode(3),
                "verifier: device: IoDeleteDevice\\(.*\\): the device is still attached to "
                ".*IoDetachDevice comes first");
    IoDetachDevice(lower);
    EXPECT_EQ(lower->AttachedDevice, nullptr);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
}

TEST(Verifier, ADeletedDevicesMemoryIsPoisoned)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Poison");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(
        IoCreateDevice(driver, sizeof(ULONG), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
        STATUS_SUCCESS);
    auto* extension = static_cast<volatile ULONG*>(device->DeviceExtension);
    *extension = 1234;
    IoDeleteDevice(device); // no reference left: freed at once
    // What a driver reading its extension after the delete sees (the block is kept a while).
    EXPECT_EQ(*extension, 0xDDDDDDDDu);
}

TEST(Verifier, PoolLeakIsReportedWhenTheKernelGoesAway)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            ExAllocatePoolWithTag(NonPagedPool, 24, hosted::PoolTag('W', 'd', 'm', ' '));
        },
        ::testing::ExitedWithCode(3), "verifier: pool-leak: 1 pool block.*24 bytes, tag 'Wdm '");
}

TEST(Verifier, FreeingAQueuedDpcFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(
                NonPagedPool, sizeof(KDPC), hosted::PoolTag('W', 'd', 'm', ' ')));
            DpcLog log;
            KeInitializeDpc(dpc, RecordDpc, &log);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeInsertQueueDpc(dpc, nullptr, nullptr);
            ExFreePool(dpc);
        },
        ::testing::ExitedWithCode(3),
        "verifier: freed-while-queued: ExFreePool frees a queued DPC");
}

VOID NTAPI FreeOwnBlock(PKDPC dpc, PVOID, PVOID, PVOID)
{
    ExFreePool(dpc);
}

TEST(Verifier, FreeingADpcWhoseRoutineRunsFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(
                NonPagedPool, sizeof(KDPC), hosted::PoolTag('W', 'd', 'm', ' ')));
            KeInitializeDpc(dpc, FreeOwnBlock, nullptr);
            KeInsertQueueDpc(dpc, nullptr, nullptr);
        },
        ::testing::ExitedWithCode(3),
        "verifier: freed-while-running: ExFreePool frees a DPC whose routine is running");
}

TEST(Verifier, EveryThreadWaitingForeverIsADeadlock)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        ::testing::ExitedWithCode(3), "verifier: deadlock");
}

// Initialising again what the kernel still links would cut it out of the DPC
// queue or the armed timers.
TEST(Verifier, InitialisingAQueuedDpcOrAnArmedTimerFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            DpcLog log;
            KDPC dpc;
            KeInitializeDpc(&dpc, RecordDpc, &log);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeInitializeDpc(&dpc, RecordDpc, &log);
        },
        ::testing::ExitedWithCode(3), "verifier: object: KeInitializeDpc on a queued DPC");
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KTIMER timer;
            KeInitializeTimer(&timer);
            KeSetTimer(&timer, Ms(10), nullptr);
            KeInitializeTimer(&timer);
        },
        ::testing::ExitedWithCode(3), "verifier: object: KeInitializeTimer on an armed timer");
}

// A copy of an event is no event: its wait list still heads the original's.
TEST(Verifier, ACopiedEventIsNotAnInitialisedEvent)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KEVENT original;
            KeInitializeEvent(&original, NotificationEvent, FALSE);
            KEVENT copy;
            std::memcpy(static_cast<void*>(&copy), &original, sizeof copy);
            KeSetEvent(&copy, IO_NO_INCREMENT, FALSE);
        },
        ::testing::ExitedWithCode(3), "KeSetEvent on an object that was never initialised");
}

// Zero is a notification event's type: the header's size tells it from nothing.
TEST(Verifier, AZeroFilledEventIsNotAnInitialisedEvent)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            KEVENT event;
            std::memset(static_cast<void*>(&event), 0, sizeof event);
            KeReadStateEvent(&event);
        },
        ::testing::ExitedWithCode(3), "KeReadStateEvent on an object that was never initialised");
}

TEST(Verifier, QueueingADpcFreshFromThePoolFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(
                NonPagedPool, sizeof(KDPC), hosted::PoolTag('W', 'd', 'm', ' ')));
            KeInsertQueueDpc(dpc, nullptr, nullptr);
        },
        ::testing::ExitedWithCode(3), "KeInsertQueueDpc on a DPC that was never initialised");
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(
                NonPagedPool, sizeof(KDPC), hosted::PoolTag('W', 'd', 'm', ' ')));
            KeRemoveQueueDpc(dpc);
        },
        ::testing::ExitedWithCode(3), "KeRemoveQueueDpc on a DPC that was never initialised");
}

// The checked build's lock adds a tracking block the hosted kernel does not lay out.
TEST(Verifier, ARemoveLockOfTheCheckedBuildsSizeFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            struct {
                IO_REMOVE_LOCK Lock;
                UCHAR Tracking[128];
            } checked;
            IoInitializeRemoveLockEx(&checked.Lock, hosted::PoolTag('T', 'e', 's', 't'), 0, 0,
                                     sizeof checked);
        },
        ::testing::ExitedWithCode(3),
        "verifier: remove-lock: IoInitializeRemoveLockEx with RemlockSize .*: only the free "
        "build's lock");
}

} // namespace
