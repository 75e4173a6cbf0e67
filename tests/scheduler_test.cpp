// The hosted scheduler in both its modes: OS threads and fibers must give
// every wait, timer and DPC exactly the same meaning, so each test runs in
// both (fibers only where the build has them).
#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

#include <atomic>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using hosted::ThreadMode;

class Scheduler : public ::testing::TestWithParam<ThreadMode> {
protected:
    void SetUp() override
    {
        if (GetParam() == ThreadMode::Fibers && !hosted::FibersAvailable())
            GTEST_SKIP() << "this build has no fibers";
    }
};

LARGE_INTEGER AfterMs(LONGLONG ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * hosted::TicksPerMs;
    return interval;
}

PVOID StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    ZwClose(handle);
    return thread;
}

void JoinThread(PVOID thread)
{
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

// Many threads, each on an event of its own and some with a timeout; the
// events are set in reverse order. Every thread must see exactly its own
// outcome at exactly the hosted time it should.
struct Sleeper {
    KEVENT Event;
    LONGLONG TimeoutMs; // 0: none
    NTSTATUS Result = -1;
    LONGLONG WokeAt = -1;
};

VOID NTAPI SleepOnEvent(PVOID context)
{
    auto* sleeper = static_cast<Sleeper*>(context);
    LARGE_INTEGER timeout = AfterMs(sleeper->TimeoutMs);
    sleeper->Result = KeWaitForSingleObject(&sleeper->Event, Executive, KernelMode, FALSE,
                                            sleeper->TimeoutMs ? &timeout : nullptr);
    sleeper->WokeAt = hosted::Kernel::Current().Now();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_P(Scheduler, HundredsOfWaitersEachWokenByItsOwnEventOrItsOwnTimeout)
{
    hosted::Kernel kernel(GetParam());
    constexpr int Threads = 300;
    std::vector<Sleeper> sleepers(Threads);
    std::vector<PVOID> threads;
    for (int i = 0; i < Threads; ++i) {
        KeInitializeEvent(&sleepers[i].Event, SynchronizationEvent, FALSE);
        // Every third times out at 1..100 ms; the rest wait for their event.
        sleepers[i].TimeoutMs = i % 3 == 0 ? 1 + i / 3 : 0;
        threads.push_back(StartThread(SleepOnEvent, &sleepers[i]));
    }
    kernel.Settle();
    EXPECT_EQ(kernel.LiveThreads(), Threads + 1);
    for (int i = Threads - 1; i >= 0; --i)
        if (sleepers[i].TimeoutMs == 0)
            KeSetEvent(&sleepers[i].Event, IO_NO_INCREMENT, FALSE);
    for (PVOID thread : threads)
        JoinThread(thread);
    EXPECT_EQ(kernel.LiveThreads(), 1);
    for (int i = 0; i < Threads; ++i) {
        if (sleepers[i].TimeoutMs) {
            EXPECT_EQ(sleepers[i].Result, STATUS_TIMEOUT) << i;
            EXPECT_EQ(sleepers[i].WokeAt, sleepers[i].TimeoutMs * hosted::TicksPerMs) << i;
        } else {
            EXPECT_EQ(sleepers[i].Result, STATUS_WAIT_0) << i;
            EXPECT_EQ(sleepers[i].WokeAt, 0) << i; // set before any time passed
        }
        // A synchronisation event is consumed by the wait it satisfies.
        EXPECT_EQ(KeReadStateEvent(&sleepers[i].Event), 0) << i;
    }
}

// One thread waits on the same event twice and on a second one; another
// waits on the event alone. A synchronisation event releases exactly one of
// them per set, a notification event all of them.
struct SharedEvents {
    KEVENT Shared, Other;
    NTSTATUS Twice = -1, Once = -1;
    // A notification event releases both threads at once: both count.
    std::atomic<int> Woken{0};
};

VOID NTAPI WaitTwiceOnShared(PVOID context)
{
    auto* events = static_cast<SharedEvents*>(context);
    PVOID objects[3] = {&events->Other, &events->Shared, &events->Shared};
    events->Twice = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE,
                                             nullptr, nullptr);
    events->Woken++;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI WaitOnceOnShared(PVOID context)
{
    auto* events = static_cast<SharedEvents*>(context);
    events->Once = KeWaitForSingleObject(&events->Shared, Executive, KernelMode, FALSE, nullptr);
    events->Woken++;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_P(Scheduler, AnObjectWaitedOnTwiceWakesItsWaitersAsItsTypeSays)
{
    hosted::Kernel kernel(GetParam());
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        SharedEvents events;
        KeInitializeEvent(&events.Shared, type, FALSE);
        KeInitializeEvent(&events.Other, NotificationEvent, FALSE);
        PVOID twice = StartThread(WaitTwiceOnShared, &events);
        kernel.Settle(); // waiting first
        PVOID once = StartThread(WaitOnceOnShared, &events);
        kernel.Settle();
        KeSetEvent(&events.Shared, IO_NO_INCREMENT, FALSE);
        kernel.Settle();
        if (type == SynchronizationEvent) {
            // The first to wait is released, at the first of its two blocks.
            EXPECT_EQ(events.Woken, 1);
            EXPECT_EQ(events.Twice, STATUS_WAIT_1);
            EXPECT_EQ(KeReadStateEvent(&events.Shared), 0);
            KeSetEvent(&events.Shared, IO_NO_INCREMENT, FALSE);
        } else {
            EXPECT_EQ(events.Woken, 2);
            EXPECT_EQ(events.Twice, STATUS_WAIT_1);
        }
        JoinThread(twice);
        JoinThread(once);
        EXPECT_EQ(events.Once, STATUS_WAIT_0);
    }
}

// Timers due at the same moment fire in the order they were armed, however
// they were re-armed or cancelled before; each DPC runs once.
struct TimerLog {
    std::vector<std::string> Fired;
};

struct NamedTimer {
    KTIMER Timer;
    KDPC Dpc;
    const char* Name;
    TimerLog* Log;
};

VOID NTAPI LogTimer(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* timer = static_cast<NamedTimer*>(context);
    timer->Log->Fired.push_back(
        timer->Name + std::string("@") +
        std::to_string(hosted::Kernel::Current().Now() / hosted::TicksPerMs));
}

TEST_P(Scheduler, TimersFireByDueTimeThenArmingOrderAfterRearmsAndCancels)
{
    hosted::Kernel kernel(GetParam());
    TimerLog log;
    NamedTimer timers[5] = {{{}, {}, "a", &log},
                            {{}, {}, "b", &log},
                            {{}, {}, "c", &log},
                            {{}, {}, "d", &log},
                            {{}, {}, "e", &log}};
    for (NamedTimer& t : timers) {
        KeInitializeTimer(&t.Timer);
        KeInitializeDpc(&t.Dpc, LogTimer, &t);
    }
    KeSetTimer(&timers[0].Timer, AfterMs(10), &timers[0].Dpc); // a: re-armed below
    KeSetTimer(&timers[1].Timer, AfterMs(10), &timers[1].Dpc);
    KeSetTimer(&timers[2].Timer, AfterMs(5), &timers[2].Dpc);
    KeSetTimer(&timers[3].Timer, AfterMs(7), &timers[3].Dpc); // d: cancelled below
    KeSetTimer(&timers[4].Timer, AfterMs(10), &timers[4].Dpc);
    EXPECT_TRUE(KeSetTimer(&timers[0].Timer, AfterMs(10), &timers[0].Dpc)); // now after e
    EXPECT_TRUE(KeCancelTimer(&timers[3].Timer));
    EXPECT_FALSE(KeCancelTimer(&timers[3].Timer));
    kernel.SleepMs(20);
    EXPECT_EQ(log.Fired, (std::vector<std::string>{"c@5", "b@10", "e@10", "a@10"}));
    EXPECT_EQ(KeReadStateTimer(&timers[3].Timer), FALSE);
    EXPECT_EQ(KeReadStateTimer(&timers[0].Timer), TRUE);
}

// DPCs run in the order queued; one withdrawn from the middle of the queue
// never runs and can be queued again.
struct DpcOrder {
    std::vector<int> Ran;
};

struct OrderedDpc {
    KDPC Dpc;
    int Number;
    DpcOrder* Order;
};

VOID NTAPI RecordOrder(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* dpc = static_cast<OrderedDpc*>(context);
    dpc->Order->Ran.push_back(dpc->Number);
}

TEST_P(Scheduler, DpcsRunInQueueOrderAndOneWithdrawnFromTheMiddleIsSkipped)
{
    hosted::Kernel kernel(GetParam());
    DpcOrder order;
    OrderedDpc dpcs[4] = {{{}, 1, &order}, {{}, 2, &order}, {{}, 3, &order}, {{}, 4, &order}};
    for (OrderedDpc& d : dpcs)
        KeInitializeDpc(&d.Dpc, RecordOrder, &d);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (OrderedDpc& d : dpcs)
        EXPECT_TRUE(KeInsertQueueDpc(&d.Dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpcs[0].Dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpcs[1].Dpc));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpcs[3].Dpc)); // the last: the queue's tail moves back
    EXPECT_FALSE(KeRemoveQueueDpc(&dpcs[3].Dpc));
    EXPECT_TRUE(KeInsertQueueDpc(&dpcs[1].Dpc, nullptr, nullptr));
    EXPECT_EQ(kernel.QueuedDpcCount(), 3u);
    KeLowerIrql(old);
    EXPECT_EQ(order.Ran, (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(kernel.QueuedDpcCount(), 0u);
}

// A ping-pong between two threads through two synchronisation events: each
// hand-off happens in the same hosted instant, and the kernel settles after.
struct PingPong {
    KEVENT Ping, Pong;
    int Rounds = 0;
};

VOID NTAPI Ponger(PVOID context)
{
    auto* game = static_cast<PingPong*>(context);
    for (int i = 0; i < 1000; ++i) {
        KeWaitForSingleObject(&game->Ping, Executive, KernelMode, FALSE, nullptr);
        game->Rounds++;
        KeSetEvent(&game->Pong, IO_NO_INCREMENT, FALSE);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_P(Scheduler, AThousandHandOffsTakeNoHostedTime)
{
    hosted::Kernel kernel(GetParam());
    PingPong game;
    KeInitializeEvent(&game.Ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&game.Pong, SynchronizationEvent, FALSE);
    PVOID thread = StartThread(Ponger, &game);
    for (int i = 0; i < 1000; ++i) {
        KeSetEvent(&game.Ping, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&game.Pong, Executive, KernelMode, FALSE, nullptr);
        ASSERT_EQ(game.Rounds, i + 1);
    }
    JoinThread(thread);
    EXPECT_EQ(kernel.Now(), 0);
}

// A thread switched out inside a catch handler finds its own exception when
// it rethrows, not the one another thread is handling meanwhile.
struct Rethrower {
    KEVENT Go;
    std::string Message;
    std::string Rethrown;
};

VOID NTAPI CatchWaitRethrow(PVOID context)
{
    auto* r = static_cast<Rethrower*>(context);
    try {
        try {
            throw std::runtime_error(r->Message);
        } catch (const std::runtime_error&) {
            KeWaitForSingleObject(&r->Go, Executive, KernelMode, FALSE, nullptr);
            throw;
        }
    } catch (const std::runtime_error& e) {
        r->Rethrown = e.what();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_P(Scheduler, AThreadBlockedInACatchHandlerRethrowsItsOwnException)
{
    hosted::Kernel kernel(GetParam());
    Rethrower first, second;
    first.Message = "first";
    second.Message = "second";
    KeInitializeEvent(&first.Go, NotificationEvent, FALSE);
    KeInitializeEvent(&second.Go, NotificationEvent, FALSE);
    PVOID a = StartThread(CatchWaitRethrow, &first);
    kernel.Settle();
    PVOID b = StartThread(CatchWaitRethrow, &second);
    kernel.Settle(); // both inside their handlers
    KeSetEvent(&first.Go, IO_NO_INCREMENT, FALSE);
    JoinThread(a);
    KeSetEvent(&second.Go, IO_NO_INCREMENT, FALSE);
    JoinThread(b);
    EXPECT_EQ(first.Rethrown, "first");
    EXPECT_EQ(second.Rethrown, "second");
}

VOID NTAPI WaitOnEventForever(PVOID context)
{
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI TakeMutexAndEnd(PVOID context)
{
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A waiting thread's wait block is on the object's Header.WaitListHead
// until the wait is satisfied; a mutex's OwnerThread is the thread object.
struct OwnerSeen {
    KMUTEX Mutex;
    KEVENT Release;
    PKTHREAD Taker = nullptr;
};

VOID NTAPI TakeMutexUntilReleased(PVOID context)
{
    auto* seen = static_cast<OwnerSeen*>(context);
    KeWaitForSingleObject(&seen->Mutex, Executive, KernelMode, FALSE, nullptr);
    seen->Taker = KeGetCurrentThread();
    KeWaitForSingleObject(&seen->Release, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&seen->Mutex, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_P(Scheduler, WaitersAreOnTheObjectsWaitListAndOwnersInTheMutex)
{
    hosted::Kernel kernel(GetParam());
    static OwnerSeen seen;
    KeInitializeMutex(&seen.Mutex, 0);
    KeInitializeEvent(&seen.Release, NotificationEvent, FALSE);
    PVOID thread = StartThread(TakeMutexUntilReleased, &seen);
    kernel.Settle();
    EXPECT_EQ(seen.Mutex.OwnerThread, seen.Taker);
    EXPECT_EQ(static_cast<PVOID>(seen.Taker), thread);
    const LIST_ENTRY& waiters = seen.Release.Header.WaitListHead;
    ASSERT_NE(waiters.Flink, &waiters); // the taker's one block
    EXPECT_EQ(waiters.Flink->Flink, &waiters);
    KeSetEvent(&seen.Release, IO_NO_INCREMENT, FALSE);
    JoinThread(thread);
    EXPECT_EQ(waiters.Flink, &waiters);
    EXPECT_EQ(seen.Mutex.OwnerThread, nullptr);
}

// The verifier's rules on dispatcher objects: an event fresh from the pool
// was never initialised; one a thread waits on cannot be initialised again;
// a thread may not end owning a mutex.
TEST_P(Scheduler, DispatcherObjectsMisusedAreCaught)
{
    const ThreadMode mode = GetParam();
    EXPECT_EXIT(
        {
            hosted::Kernel kernel(mode);
            auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(
                NonPagedPool, sizeof(KEVENT), hosted::PoolTag('T', 'e', 's', 't')));
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        },
        ::testing::ExitedWithCode(3), "KeSetEvent on an object that was never initialised");
    EXPECT_EXIT(
        {
            hosted::Kernel kernel(mode);
            static KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            StartThread(WaitOnEventForever, &event);
            kernel.Settle();
            KeInitializeEvent(&event, NotificationEvent, FALSE);
        },
        ::testing::ExitedWithCode(3), "KeInitializeEvent on an object a thread waits on");
    EXPECT_EXIT(
        {
            hosted::Kernel kernel(mode);
            static KMUTEX mutex;
            KeInitializeMutex(&mutex, 0);
            PVOID thread = StartThread(TakeMutexAndEnd, &mutex);
            JoinThread(thread);
        },
        ::testing::ExitedWithCode(3), "system thread ended owning 1 mutex");
}

// A thread woken by its timeout still reads the object it waited on until it
// runs again: freeing the object before then is caught, as at any moment of
// the wait. Deterministic with fibers, where the freeing thread runs first.
TEST_P(Scheduler, FreeingWhatAWokenThreadWaitedOnBeforeItRunsFails)
{
    if (GetParam() != ThreadMode::Fibers)
        GTEST_SKIP() << "on OS threads the woken thread may run first";
    EXPECT_EXIT(
        {
            hosted::Kernel kernel(ThreadMode::Fibers);
            auto* event = static_cast<PKEVENT>(ExAllocatePoolWithTag(
                NonPagedPool, sizeof(KEVENT), hosted::PoolTag('T', 'e', 's', 't')));
            KeInitializeEvent(event, NotificationEvent, FALSE);
            struct TimedWait {
                static VOID NTAPI Run(PVOID context)
                {
                    LARGE_INTEGER timeout = AfterMs(10);
                    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, &timeout);
                    PsTerminateSystemThread(STATUS_SUCCESS);
                }
            };
            StartThread(TimedWait::Run, event);
            kernel.Settle();
            kernel.SleepMs(10); // both due at 10 ms; this thread goes on first
            ExFreePool(event);
        },
        ::testing::ExitedWithCode(3), "frees an object a thread waits on");
}

TEST_P(Scheduler, HoldingMoreSpinLocksThanAThreadCanTrackFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel(GetParam());
            KSPIN_LOCK locks[17];
            for (KSPIN_LOCK& lock : locks)
                KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&locks[0], &old);
            for (int i = 1; i < 17; ++i)
                KeAcquireSpinLockAtDpcLevel(&locks[i]);
        },
        ::testing::ExitedWithCode(3), "more than 16 spin locks held at once");
}

INSTANTIATE_TEST_SUITE_P(Modes, Scheduler,
                         ::testing::Values(ThreadMode::OsThreads, ThreadMode::Fibers),
                         [](const ::testing::TestParamInfo<ThreadMode>& info) {
                             return std::string(hosted::ThreadModeName(info.param)) == "os"
                                        ? "OsThreads"
                                        : "Fibers";
                         });

} // namespace
