// The click assist timeline and the button-event notification requests.
#include "fixture.h"

namespace {

// The tail of the per-report pipeline, run as the ParseDpc runs it: at
// DISPATCH_LEVEL with the control device's Lock, then the device's.
class ClickTest : public DriverTest {
protected:
    ClickTest() : device(ExtensionOf(rig.AddTouchDevice()))
    {
        Control().DoubleClickSpeed = 2;
        Control().DoubleClickSize = 100;
    }

    Point Feed(LONG x, LONG y, USHORT buttons)
    {
        MOUSE_INPUT_DATA record{};
        record.Flags = MOUSE_MOVE_ABSOLUTE;
        record.ButtonFlags = buttons;
        record.LastX = x;
        record.LastY = y;
        {
            SpinLockGuard controlLock(&Control().Lock);
            SpinLockGuard deviceLock(&device->Lock);
            ClickAssist(device, &record);
            NotifyButtonEvent(device, &record);
        }
        EXPECT_EQ(std::memcmp(&device->LastRecord, &record, sizeof record), 0);
        return Point{record.LastX, record.LastY, record.ButtonFlags};
    }

    DeviceExtension* device;
};

constexpr USHORT Down = MOUSE_LEFT_BUTTON_DOWN, Up = MOUSE_LEFT_BUTTON_UP, Move = 0;

TEST_F(ClickTest, DoubleTapSnapsOntoTheFirstTap)
{
    EXPECT_EQ(Feed(5000, 5000, Down), (Point{5000, 5000, Down}));
    EXPECT_EQ(Feed(5050, 5020, Move), (Point{5000, 5000, Move}));
    EXPECT_EQ(Feed(5060, 5030, Up), (Point{5000, 5000, Up}));
    EXPECT_EQ(device->ClickDueTime, -9000000);
    kernel.SleepMs(500);
    EXPECT_EQ(Feed(5080, 4950, Down), (Point{5000, 5000, Down}));
    EXPECT_EQ(device->ClickPending, 0);
    // The second tap's own moves and release are its own.
    EXPECT_EQ(Feed(5090, 4960, Move), (Point{5090, 4960, Move}));
    EXPECT_EQ(Feed(5095, 4965, Up), (Point{5095, 4965, Up}));
}

TEST_F(ClickTest, SecondTapAfterTheWindowStartsAFreshTap)
{
    Feed(5000, 5000, Down);
    Feed(5060, 5030, Up);
    kernel.SleepMs(899);
    EXPECT_EQ(device->ClickPending, 1);
    kernel.SleepMs(1); // 0.9 s: the timer fires
    EXPECT_EQ(device->ClickPending, 0);
    EXPECT_EQ(Feed(5080, 4950, Down), (Point{5080, 4950, Down}));
    EXPECT_EQ(device->ClickPending, 1);
    EXPECT_EQ(device->ClickRecord.LastX, 5080);
}

TEST_F(ClickTest, ClickSizeIsASquareWithItsBoundsIncluded)
{
    Feed(5000, 5000, Down);
    EXPECT_EQ(Feed(5100, 4900, Move), (Point{5000, 5000, Move}));
    EXPECT_EQ(Feed(5101, 5000, Move), (Point{5101, 5000, Move}));
    EXPECT_EQ(device->ClickPending, 0);
}

TEST_F(ClickTest, MoveCountEndsTheWait)
{
    Feed(5000, 5000, Down);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Feed(5001, 5001, Move), (Point{5000, 5000, Move}));
    EXPECT_EQ(Feed(5001, 5001, Move), (Point{5001, 5001, Move})); // 6 = 3 x 2
    EXPECT_EQ(device->ClickPending, 0);

    Control().DoubleClickSpeed = 0;
    Feed(5000, 5000, Down);
    EXPECT_EQ(Feed(5000, 5000, Move), (Point{5000, 5000, Move}));
    EXPECT_EQ(device->ClickPending, 0);
}

TEST_F(ClickTest, SpeedAboveTenIsClampedWhenTheTimerIsArmed)
{
    Control().DoubleClickSpeed = 25;
    Feed(5000, 5000, Down);
    Feed(5000, 5000, Up);
    EXPECT_EQ(Control().DoubleClickSpeed, 10u);
    EXPECT_EQ(device->ClickDueTime, -33000000);
    kernel.SleepMs(3299);
    EXPECT_EQ(device->ClickPending, 1);
    kernel.SleepMs(1);
    EXPECT_EQ(device->ClickPending, 0);
}

TEST_F(ClickTest, AssistOffAndRightButtonsLeaveEverythingAlone)
{
    for (ULONG mode : {1u, 2u, 3u}) {
        Control().MouseMode = mode;
        EXPECT_EQ(Feed(5000, 5000, Down), (Point{5000, 5000, Down}));
        EXPECT_EQ(Feed(5050, 5050, Move), (Point{5050, 5050, Move}));
        EXPECT_EQ(device->ClickPending, 0);
    }
    Control().MouseMode = 0;
    Feed(5000, 5000, Down);
    EXPECT_EQ(Feed(5050, 5050, MOUSE_RIGHT_BUTTON_UP), (Point{5050, 5050, MOUSE_RIGHT_BUTTON_UP}));
    EXPECT_EQ(Feed(5040, 5040, MOUSE_RIGHT_BUTTON_DOWN),
              (Point{5040, 5040, MOUSE_RIGHT_BUTTON_DOWN}));
    EXPECT_EQ(device->ClickPending, 1);
    EXPECT_EQ(device->ClickMoves, 0u);
}

// ---- Notification requests, sent through the I/O manager ------------------

NTSTATUS NTAPI NotificationDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IoctlSetNotifyMask:
        status = SetNotifyMask(device, irp);
        break;
    case IoctlGetNotifyMask:
        status = GetNotifyMask(device, irp);
        break;
    case IoctlWaitButtonEvent:
        status = WaitForButtonEvent(device, irp);
        break;
    default:
        irp->IoStatus.Status = status = STATUS_UNSUCCESSFUL;
        irp->IoStatus.Information = 0;
        break;
    }
    if (status != STATUS_PENDING)
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A request from the configuration utility, with its own event and status block.
struct Request {
    KEVENT Done;
    IO_STATUS_BLOCK Iosb{};
    std::vector<UCHAR> Out;
    PIRP Irp = nullptr;
    NTSTATUS Returned = 0;

    Request(PDEVICE_OBJECT control, ULONG code, std::vector<UCHAR> in, ULONG outLength)
        : Out(outLength, 0xEE)
    {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        Irp = IoBuildDeviceIoControlRequest(code, control, in.data(), ULONG(in.size()), Out.data(),
                                            outLength, FALSE, &Done, &Iosb);
        Returned = IoCallDriver(control, Irp);
        // Refused before it pended: the caller has only the returned status.
        RefusedAtOnce = Returned != STATUS_PENDING && NT_ERROR(Returned);
        if (RefusedAtOnce)
            Iosb = IO_STATUS_BLOCK{{Returned}, 0};
    }
    bool Completed() { return RefusedAtOnce || KeReadStateEvent(&Done) != 0; }
    bool RefusedAtOnce = false;
};

class NotifyTest : public ClickTest {
protected:
    NotifyTest() { rig.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = NotificationDispatch; }

    std::vector<UCHAR> Mask(ULONG mask)
    {
        std::vector<UCHAR> bytes(4);
        std::memcpy(bytes.data(), &mask, 4);
        return bytes;
    }
};

TEST_F(NotifyTest, DownSelectedByBit29CompletesTheWait)
{
    Control().MouseMode = MouseModeNotifyOnDown;
    Request wait(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    EXPECT_EQ(wait.Returned, STATUS_PENDING);
    Feed(100, 100, Up);
    Feed(100, 100, Move);
    EXPECT_FALSE(wait.Completed());
    Feed(100, 100, MOUSE_RIGHT_BUTTON_DOWN);
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(wait.Iosb.Information, 0u);
    EXPECT_EQ(Control().EventIrp, nullptr);
}

TEST_F(NotifyTest, UpSelectedByBit28AndANewWaitSupersedesTheOld)
{
    Control().MouseMode = MouseModeNotifyOnUp;
    Request first(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    Request second(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(first.Iosb.Status, STATUS_TIMEOUT);
    Feed(100, 100, Down);
    EXPECT_FALSE(second.Completed());
    Feed(100, 100, Up);
    ASSERT_TRUE(second.Completed());
    EXPECT_EQ(second.Iosb.Status, STATUS_SUCCESS);
}

TEST_F(NotifyTest, NoSelectionBitsLeaveTheWaitPending)
{
    Control().MouseMode = 0;
    Request wait(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    Feed(100, 100, Down);
    Feed(100, 100, Up);
    EXPECT_FALSE(wait.Completed());
    // The teardown of the control device completes it.
    CompletePendingButtonEvent(&Control(), STATUS_CANCELLED);
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.Iosb.Status, STATUS_CANCELLED);
}

TEST_F(NotifyTest, SetAndGetMaskWithBufferChecks)
{
    Request wait(rig.Control(), IoctlWaitButtonEvent, {}, 0);

    Request shortSet(rig.Control(), IoctlSetNotifyMask, {1, 2, 3}, 0);
    EXPECT_EQ(shortSet.Iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(shortSet.Returned, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(wait.Completed()); // nothing changed

    Request set(rig.Control(), IoctlSetNotifyMask, Mask(0xA5A50F0F), 0);
    EXPECT_EQ(set.Iosb.Status, STATUS_SUCCESS);
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.Iosb.Status, STATUS_TIMEOUT);

    Request shortGet(rig.Control(), IoctlGetNotifyMask, {}, 3);
    EXPECT_EQ(shortGet.Iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(shortGet.Iosb.Information, 0u);
    EXPECT_EQ(shortGet.Out, (std::vector<UCHAR>{0xEE, 0xEE, 0xEE}));

    Request get(rig.Control(), IoctlGetNotifyMask, {}, 8);
    EXPECT_EQ(get.Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(get.Iosb.Information, 4u);
    EXPECT_EQ(std::vector<UCHAR>(get.Out.begin(), get.Out.begin() + 4), Mask(0xA5A50F0F));
}

TEST_F(NotifyTest, PendingWaitCanBeCancelledByItsCaller)
{
    Control().MouseMode = MouseModeNotifyOnDown | MouseModeNotifyOnUp;
    Request wait(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    EXPECT_TRUE(IoCancelIrp(wait.Irp));
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.Iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(Control().EventIrp, nullptr);
    Feed(100, 100, Down); // nothing left to complete
    Request next(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    EXPECT_EQ(next.Returned, STATUS_PENDING);
    Feed(100, 100, Up);
    EXPECT_EQ(next.Iosb.Status, STATUS_SUCCESS);
}

// The cancel routine, already owning the request, reaches for the control
// device's Lock just as a selected record takes the request from its slot:
// the record's side must leave it to the cancel routine.
TEST_F(NotifyTest, CancelRacingASelectedRecordCompletesTheWaitOnce)
{
    Control().MouseMode = MouseModeNotifyOnDown;
    Request wait(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    bool raced = false;
    kernel.HookSpinLockAcquire(&Control().Lock, [&] {
        raced = true;
        Feed(100, 100, Down);
        return true;
    });
    EXPECT_TRUE(IoCancelIrp(wait.Irp));
    EXPECT_TRUE(raced);
    ASSERT_TRUE(wait.Completed());
    EXPECT_EQ(wait.Iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(Control().EventIrp, nullptr);
    Request next(rig.Control(), IoctlWaitButtonEvent, {}, 0);
    Feed(100, 100, Down);
    EXPECT_EQ(next.Iosb.Status, STATUS_SUCCESS) << "the next wait works as before";
}

} // namespace
