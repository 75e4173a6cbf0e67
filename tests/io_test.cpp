// The hosted I/O manager: requests through dispatch routines, completion
// routines, built device-control requests, cancellation, remove locks, and
// the verifier rules on requests.
#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Lower {
    PIRP Held = nullptr;
    NTSTATUS Answer = STATUS_SUCCESS;
    bool Pend = false;
};
Lower g_lower;

VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    g_lower.Held = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A driver below that answers device-control requests by echoing the input.
NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    if (g_lower.Pend) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHeld);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        }
        g_lower.Held = irp;
        return STATUS_PENDING;
    }
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
    irp->IoStatus.Status = g_lower.Answer;
    irp->IoStatus.Information = length;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_lower.Answer;
}

struct Completion {
    int Calls = 0;
    NTSTATUS Seen = 0;
    KEVENT Done;
};

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* c = static_cast<Completion*>(context);
    c->Calls++;
    c->Seen = irp->IoStatus.Status;
    KeSetEvent(&c->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoTest : public ::testing::Test {
protected:
    IoTest()
    {
        g_lower = Lower{};
        driver = kernel.CreateDriverObject("\\Driver\\Lower");
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    ~IoTest() override { IoDeleteDevice(device); }

    hosted::Kernel kernel;
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT device = nullptr;
};

TEST_F(IoTest, BuiltRequestReturnsOutputStatusBlockAndEvent)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR in[3] = {1, 2, 3};
    UCHAR out[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x8000, 0x100, METHOD_BUFFERED, 0), device,
                                             in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::memcmp(out, in, 3), 0);
    EXPECT_EQ(out[3], 0); // beyond Information nothing is copied back
}

TEST_F(IoTest, MoreProcessingRequiredKeepsTheRequestForReuse)
{
    Completion c;
    KeInitializeEvent(&c.Done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    for (int round = 0; round < 2; ++round) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.InputBufferLength = 0;
        IoSetCompletionRoutine(irp, KeepRequest, &c, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
    }
    EXPECT_EQ(c.Calls, 2);
    IoFreeIrp(irp);
}

TEST_F(IoTest, CancelledPendingRequestComesBackThroughItsCompletionRoutine)
{
    g_lower.Pend = true;
    Completion c;
    KeInitializeEvent(&c.Done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepRequest, &c, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(c.Calls, 0);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(c.Calls, 1);
    EXPECT_EQ(c.Seen, STATUS_CANCELLED);
    EXPECT_FALSE(IoCancelIrp(irp)); // nothing left to cancel
    IoFreeIrp(irp);
}

TEST_F(IoTest, RequestKindWithoutEntryFailsAsThePlatformDoes)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{{STATUS_PENDING}, 0x5EED};
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x1234, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "failed without pending: the block is not written";
}

// Wine dlls/ntoskrnl.exe/tests/ntoskrnl.c, do_return_status: a request completed with an
// NT_ERROR status without pending leaves the status block (0xdeadf00d) and the event alone.
TEST_F(IoTest, ARequestFailingBeforeItPendsWritesNeitherStatusBlockNorEvent)
{
    struct Case {
        NTSTATUS Answer;
        bool Pend;
        bool Told;
    } const cases[] = {
        {STATUS_UNSUCCESSFUL, false, false},   {STATUS_INVALID_PARAMETER, false, false},
        {STATUS_SUCCESS, false, true},         {STATUS_TIMEOUT, false, true},
        {STATUS_BUFFER_OVERFLOW, false, true}, {STATUS_UNSUCCESSFUL, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.Answer << (c.Pend ? " pended" : ""));
        g_lower = Lower{nullptr, c.Answer, c.Pend};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        const IO_STATUS_BLOCK untouched{{LONG(0xDEADF00D)}, 0xDEADF00D};
        IO_STATUS_BLOCK iosb = untouched;
        UCHAR input[3] = {1, 2, 3};
        PIRP irp = IoBuildDeviceIoControlRequest(0x222003, device, input, sizeof input, nullptr, 0,
                                                 FALSE, &event, &iosb);
        NTSTATUS returned = IoCallDriver(device, irp);
        if (c.Pend) {
            ASSERT_EQ(returned, STATUS_PENDING);
            PIRP held = g_lower.Held;
            ASSERT_TRUE(held && IoSetCancelRoutine(held, nullptr));
            g_lower.Held = nullptr;
            held->IoStatus.Status = c.Answer;
            held->IoStatus.Information = 0;
            IoCompleteRequest(held, IO_NO_INCREMENT);
        } else {
            EXPECT_EQ(returned, c.Answer);
        }
        EXPECT_EQ(KeReadStateEvent(&event) != 0, c.Told);
        EXPECT_EQ(iosb.Status, c.Told ? c.Answer : untouched.Status);
        EXPECT_EQ(iosb.Information, c.Told ? (c.Pend ? 0u : 3u) : untouched.Information);
    }
    g_lower = Lower{};
}

TEST_F(IoTest, RemoveLockWaitsForEveryHolderAndThenRefuses)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, hosted::PoolTag('P', 'h', 'c', 't'), 0, 10);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, nullptr); // no other holder: returns at once
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
}

TEST_F(IoTest, ARequestSentAgainKeepsItsCancelAndPendingStateUntilReused)
{
    g_lower.Pend = true;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    Completion completion;
    KeInitializeEvent(&completion.Done, NotificationEvent, FALSE);
    auto send = [&] {
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, KeepRequest, &completion, TRUE, TRUE, TRUE);
        return IoCallDriver(device, irp);
    };
    EXPECT_EQ(send(), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_TRUE(irp->PendingReturned);
    // Sent again as it is: the lower driver sees a request already cancelled.
    EXPECT_EQ(send(), STATUS_PENDING);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED) << "cancelled at once";
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_FALSE(irp->PendingReturned);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(send(), STATUS_PENDING);
    EXPECT_FALSE(irp->Cancel) << "a reused request waits like a new one";
    EXPECT_TRUE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

TEST_F(IoTest, RemoveLockTagsAreReleasedAsAcquired)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, hosted::PoolTag('P', 'h', 'c', 't'), 0, 10);
    int first, second;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &first), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &second), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &second), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, &second);
    IoReleaseRemoveLock(&lock, &second);
    EXPECT_EXIT(IoReleaseRemoveLock(&lock, &second), ::testing::ExitedWithCode(3),
                "verifier: remove-lock: IoReleaseRemoveLock.* which no acquisition holds");
    EXPECT_EXIT(IoReleaseRemoveLockAndWait(&lock, nullptr), ::testing::ExitedWithCode(3),
                "verifier: remove-lock: IoReleaseRemoveLockAndWait");
    IoReleaseRemoveLockAndWait(&lock, &first);
}

// Sends one buffered device-control request to a device that `dispatch`
// serves, as a death test's whole body.
void SendOneRequestTo(PDRIVER_DISPATCH dispatch, ULONG outputLength)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Probe");
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    UCHAR out[16];
    PIRP irp =
        IoBuildDeviceIoControlRequest(0x80000400, device, nullptr, 0, outputLength ? out : nullptr,
                                      outputLength, FALSE, &event, &iosb);
    IoCallDriver(device, irp);
}

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(IoVerifier, CompletingARequestTwiceFails)
{
    EXPECT_EXIT(SendOneRequestTo(CompleteTwice, 0), ::testing::ExitedWithCode(3),
                "verifier: irp-completed-twice");
}

TEST(IoVerifier, FreeingARequestTheDriverBelowHoldsFails)
{
    EXPECT_EXIT(
        {
            hosted::Kernel kernel;
            g_lower = Lower{};
            g_lower.Pend = true;
            PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Lower");
            driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
            PDEVICE_OBJECT device;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            IoCallDriver(device, irp);
            IoFreeIrp(irp);
        },
        ::testing::ExitedWithCode(3), "verifier: irp-freed-while-held");
}

NTSTATUS NTAPI MisreportingDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(IoVerifier, DispatchStatusThatDiffersFromTheCompletedStatusFails)
{
    EXPECT_EXIT(
        SendOneRequestTo(MisreportingDispatch, 0), ::testing::ExitedWithCode(3),
        "verifier: dispatch-status: .*returned 0x00000000 for a request completed with 0xC0000001");
}

NTSTATUS NTAPI OverlongDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 5;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(IoVerifier, InformationBeyondTheOutputBufferFails)
{
    EXPECT_EXIT(SendOneRequestTo(OverlongDispatch, 4), ::testing::ExitedWithCode(3),
                "verifier: irp: .*Information 5 beyond its 4-byte output");
}

} // namespace
