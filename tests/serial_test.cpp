// The serial link end to end: a touch device bound to an emulated port, its
// reader and parameter read threads, and the controller behind the port.
#include "fixture.h"
#include "serial/serial.h"

namespace {

std::vector<UCHAR> Bytes(std::initializer_list<int> values)
{
    std::vector<UCHAR> out;
    for (int v : values)
        out.push_back(UCHAR(v));
    return out;
}

std::vector<UCHAR> Command(int index)
{
    return Bytes({0x0A, 0x02, 0x43, index});
}

class SerialTest : public DriverTest {
protected:
    SerialTest() : port(rig.AddSerialPort("COM1"))
    {
        Control().Filter = 0;
        Control().MouseMode = 1;
    }

    DeviceExtension* AddDevice(const std::string& path = "\\DosDevices\\COM1", bool dynamic = false)
    {
        touch = rig.AddPortDevice(path, dynamic);
        return device = ExtensionOf(touch);
    }

    // Open as the open-port control request does, with ListMutex held.
    NTSTATUS Open()
    {
        KeWaitForSingleObject(&Control().ListMutex, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = OpenPort(touch);
        KeReleaseMutex(&Control().ListMutex, FALSE);
        kernel.Settle();
        return status;
    }

    // Lets time pass, then lets every thread woken meanwhile run to its next wait.
    void Pass(LONGLONG ms)
    {
        kernel.SleepMs(ms);
        kernel.Settle();
    }

    NTSTATUS Close()
    {
        KeWaitForSingleObject(&Control().ListMutex, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = ClosePort(touch);
        KeReleaseMutex(&Control().ListMutex, FALSE);
        return status;
    }

    std::vector<std::vector<UCHAR>> Writes(const std::vector<sim::PortRequest>& log)
    {
        std::vector<std::vector<UCHAR>> writes;
        for (const auto& request : log)
            if (request.Code == 0)
                writes.push_back(request.Bytes);
        return writes;
    }

    sim::SerialPort& port;
    PDEVICE_OBJECT PortDeviceBefore = nullptr;
    PDEVICE_OBJECT touch = nullptr;
    DeviceExtension* device = nullptr;
};

TEST_F(SerialTest, OpenConfiguresThePortReadsAllWordsAndAppliesThem)
{
    // A real calibration in the controller: corners in word order LL, LR,
    // UL, UR; one grid point; grid on.
    const USHORT corners[8] = {180, 150, 1890, 130, 160, 1900, 1910, 1880};
    for (int i = 0; i < 8; ++i)
        port.Controller.Memory[i] = corners[i];
    port.Controller.Memory[8 + 5 * 2 + 1] = 0xF414; // column 1, row 2: X +20, Y -12
    port.Controller.Memory[58] = 0x0001;
    AddDevice();
    ASSERT_EQ(Open(), STATUS_SUCCESS);

    auto log = port.TakeLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0].Code, IOCTL_SERIAL_SET_BAUD_RATE);
    EXPECT_EQ(log[0].Bytes, Bytes({0x80, 0x25, 0x00, 0x00}));
    EXPECT_EQ(log[1].Code, IOCTL_SERIAL_SET_LINE_CONTROL);
    EXPECT_EQ(log[1].Bytes, Bytes({0x00, 0x00, 0x08}));
    EXPECT_EQ(log[2].Code, IOCTL_SERIAL_SET_TIMEOUTS);
    EXPECT_EQ(log[2].Bytes, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xE8, 0x03,
                                   0x00, 0x00, 0,    0,    0,    0,    0,    0,    0,    0}));
    auto writes = Writes(log);
    ASSERT_EQ(writes.size(), 64u);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(writes[i], Command(i));

    EXPECT_EQ(device->ParametersLoaded, 1);
    EXPECT_EQ(device->PortOpen, 1);
    EXPECT_NE(device->ParameterThread, nullptr); // draining until the port closes
    EXPECT_EQ(kernel.ThreadPriority(device->ReaderThread), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(kernel.ThreadPriority(device->ParameterThread), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(touch->StackSize, port.Device()->StackSize + 1);
    EXPECT_NE(touch->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(
        kernel.DebugMessages(),
        (std::vector<std::string>{" Read Done !\n", " Update 4 point Calibration Parameters !\n",
                                  " Update 25 point Calibration Parameters !\n"}));

    // The applied grid and corners shape the records that follow.
    port.SendTouch(600, 1100, true);
    kernel.Settle();
    auto records = rig.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    LONG x = 600, y = 1100;
    MapThroughCorners(device, &x, &y, CornerSetKind::Grid);
    ApplyGridCorrection(device, &x, &y);
    MapThroughCorners(device, &x, &y, CornerSetKind::Calibration);
    EXPECT_EQ(records[0].LastX, x * 32);
    EXPECT_EQ(records[0].LastY, 65536 - y * 32);
    EXPECT_NE(records[0].LastX, 600 * 32);
}

TEST_F(SerialTest, BytesReachTheClassWithoutWaitingForAFullRead)
{
    AddDevice();
    device->ParametersLoaded = 1; // no parameter read
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    LONGLONG before = kernel.Now();
    port.Trickle(sim::TouchReportBytes(656, 511, true));
    kernel.Settle();
    EXPECT_EQ(PointsOf(rig.TakeRecords()),
              (std::vector<Point>{{656 * 32, 65536 - 511 * 32, MOUSE_LEFT_BUTTON_DOWN}}));
    EXPECT_EQ(kernel.Now(), before); // no read timeout was needed
    for (const auto& read : port.TakeReadCompletions())
        EXPECT_LE(read.Bytes, 1u);
}

TEST_F(SerialTest, ReadsAreReissuedAfterPartialDataTimeoutsAndTransientErrors)
{
    AddDevice();
    device->ParametersLoaded = 1;
    Open();
    port.TakeReadCompletions();

    port.Send(Bytes({0x81, 0x05, 0x10})); // three bytes: exactly those appended
    kernel.Settle();
    EXPECT_EQ(device->RingCount, 0u);
    EXPECT_EQ(device->ReportIndex, 3u);
    EXPECT_TRUE(port.ReadPending());

    kernel.SleepMs(1000); // an empty read times out and is sent again
    kernel.Settle();
    EXPECT_TRUE(port.ReadPending());
    EXPECT_EQ(device->ReportIndex, 3u);

    LONGLONG before = kernel.Now();
    port.FailNextRead(STATUS_SUCCESS); // success with no data
    kernel.Settle();
    EXPECT_EQ(kernel.Now(), before);
    EXPECT_TRUE(port.ReadPending()) << "a good read without data is sent again at once";
    port.FailNextRead(STATUS_INVALID_PARAMETER); // any other error: sent again after a wait
    kernel.Settle();
    EXPECT_FALSE(port.ReadPending());
    Pass(10);
    EXPECT_TRUE(port.ReadPending());
    EXPECT_EQ(device->PortOpen, 1);

    port.Send(Bytes({0x03, 0x7F}));
    kernel.Settle();
    EXPECT_EQ(rig.TakeRecords().size(), 1u);
    auto reads = port.TakeReadCompletions();
    ASSERT_EQ(reads.size(), 5u);
    EXPECT_EQ(reads[0].Bytes, 3u);
    EXPECT_EQ(reads[1].Status, STATUS_TIMEOUT);
    EXPECT_EQ(reads[4].Bytes, 2u);
}

// A port failing every read must not have the reader, at priority 16, spin
// on it: each failed read waits longer before the next, up to a bound.
TEST_F(SerialTest, ReadsThatKeepFailingAreSentLessAndLessOften)
{
    AddDevice();
    device->ParametersLoaded = 1;
    Open();
    ULONGLONG start = port.ReadsReceived();
    port.FailReads(STATUS_INVALID_PARAMETER, 1000000);
    Pass(1000);
    ULONGLONG firstSecond = port.ReadsReceived() - start;
    EXPECT_GE(firstSecond, 3u);
    EXPECT_LE(firstSecond, 20u);
    ULONGLONG before = port.ReadsReceived();
    Pass(10000);
    ULONGLONG tenSeconds = port.ReadsReceived() - before;
    EXPECT_GE(tenSeconds, 10u) << "the waits have a bound: the reader keeps trying";
    EXPECT_LE(tenSeconds, 50u);
    EXPECT_EQ(device->PortOpen, 1);

    // Bytes sent meanwhile wait in the port; the first good read takes them,
    // and from then on reads follow each other at once again.
    port.Send(Bytes({0x81, 0x05, 0x10, 0x05, 0x10}));
    port.FailReads(STATUS_INVALID_PARAMETER, 0);
    Pass(250); // at most the longest wait
    EXPECT_EQ(rig.TakeRecords().size(), 1u);
    before = port.ReadsReceived();
    for (int i = 0; i < 5; ++i) {
        port.FailNextRead(STATUS_SUCCESS);
        kernel.Settle();
    }
    EXPECT_EQ(port.ReadsReceived() - before, 5u) << "good reads wait for nothing";
    EXPECT_TRUE(port.ReadPending());
}

TEST_F(SerialTest, ClosingWhileTheReaderWaitsAfterAFailedReadEndsItAtOnce)
{
    AddDevice();
    device->ParametersLoaded = 1;
    Open();
    port.FailReads(STATUS_INVALID_PARAMETER, 1000000);
    Pass(2000); // the waits have grown to their bound
    LONGLONG before = kernel.Now();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_LT(kernel.Now() - before, 100 * hosted::TicksPerMs);
    EXPECT_EQ(device->ReaderThread, nullptr);
    EXPECT_EQ(device->ReadIrp, nullptr);
}

// A write the port fails with a disconnect status gives the request up: no
// command is written on that binding any more, and the parameter read thread
// ends at its next look instead of writing again.
TEST_F(SerialTest, AWriteEndingInADisconnectReleasesTheWriteRequest)
{
    AddDevice();
    port.FailNextWrite(STATUS_DEVICE_NOT_CONNECTED);
    Open();
    EXPECT_EQ(Writes(port.TakeLog()).size(), 1u);
    EXPECT_EQ(device->WriteIrp, nullptr);
    // An answer that comes all the same cannot make the thread write again.
    port.Send(sim::ParameterResponseBytes(0, 0x1234));
    Pass(5);
    EXPECT_TRUE(Writes(port.TakeLog()).empty());
    EXPECT_EQ(device->ParameterThread, nullptr);
    EXPECT_EQ(device->PortOpen, 1) << "the reader goes on";
}

TEST_F(SerialTest, ControllerThatAnswersTenWordsLeavesTheThreadWaiting)
{
    port.Controller.AnswersLeft = 10;
    AddDevice();
    Open();
    EXPECT_EQ(Writes(port.TakeLog()).size(), 11u);
    EXPECT_EQ(device->ParametersLoaded, 0);
    EXPECT_NE(device->ParameterThread, nullptr);
    kernel.SleepMs(5000);
    EXPECT_TRUE(Writes(port.TakeLog()).empty()); // never resent
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    Pass(5);
    EXPECT_EQ(device->ParameterThread, nullptr);
}

TEST_F(SerialTest, CloseWithTheParameterThreadDrainingTakesTwoSeconds)
{
    AddDevice();
    Open();
    ASSERT_EQ(device->ParametersLoaded, 1);
    LONGLONG before = kernel.Now();
    ULONGLONG sleeps = kernel.SleepsOnThisThread();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    // 100 polls, then the released write request ends the thread within
    // one of its 5 ms drain sleeps, and the close waits for that end.
    EXPECT_EQ(kernel.SleepsOnThisThread() - sleeps, 100u);
    EXPECT_GE(kernel.Now() - before, 2000 * hosted::TicksPerMs);
    EXPECT_LE(kernel.Now() - before, 2005 * hosted::TicksPerMs);
    EXPECT_EQ(device->ParameterThread, nullptr);
    EXPECT_EQ(device->ParameterThreadObject, nullptr);
    EXPECT_EQ(device->ReaderThread, nullptr);
    EXPECT_EQ(device->ReadIrp, nullptr);
    EXPECT_EQ(device->WriteIrp, nullptr);
    EXPECT_EQ(device->PortDevice, nullptr);
    EXPECT_EQ(device->PortOpen, 0);
    EXPECT_EQ(device->Stopping, 1);
}

TEST_F(SerialTest, CloseDuringAPendingReadCancelsIt)
{
    AddDevice();
    device->ParametersLoaded = 1;
    Open();
    ASSERT_TRUE(port.ReadPending());
    port.TakeReadCompletions();
    ULONGLONG sleeps = kernel.SleepsOnThisThread();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(kernel.SleepsOnThisThread() - sleeps, 1u);
    auto reads = port.TakeReadCompletions();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].Status, STATUS_CANCELLED);
    EXPECT_EQ(device->ReadIrp, nullptr);
    EXPECT_EQ(device->ReaderThread, nullptr);
}

TEST_F(SerialTest, CloseWithBothThreadsEndedSleepsOnce)
{
    AddDevice();
    device->ParametersLoaded = 1;
    Open();
    port.FailNextRead(STATUS_DEVICE_NOT_CONNECTED);
    kernel.Settle();
    ASSERT_EQ(device->ReaderThread, nullptr);
    EXPECT_EQ(device->PortOpen, 0);
    EXPECT_NE(device->PortDevice, nullptr); // the binding stays
    LONGLONG before = kernel.Now();
    ULONGLONG sleeps = kernel.SleepsOnThisThread();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(kernel.SleepsOnThisThread() - sleeps, 1u);
    EXPECT_EQ(kernel.Now() - before, 20 * hosted::TicksPerMs);
}

TEST_F(SerialTest, ReaderEndedOnADisconnectIsRestartedOnTheSameBinding)
{
    AddDevice();
    Open();
    port.FailNextRead(STATUS_DEVICE_NOT_CONNECTED);
    kernel.Settle();
    EXPECT_EQ(device->PortOpen, 0);
    PortDeviceBefore = device->PortDevice;
    StartReader(device);
    kernel.Settle();
    EXPECT_EQ(device->PortOpen, 1);
    EXPECT_NE(device->ReaderThread, nullptr);
    EXPECT_EQ(device->PortDevice, PortDeviceBefore);
    EXPECT_TRUE(port.ReadPending());
    port.SendTouch(500, 500, true);
    kernel.Settle();
    EXPECT_EQ(rig.TakeRecords().size(), 1u);
}

TEST_F(SerialTest, OpenTwiceChangesNothing)
{
    AddDevice();
    device->ParametersLoaded = 1;
    Open();
    port.TakeLog();
    PVOID reader = device->ReaderThread;
    PIRP read = device->ReadIrp;
    EXPECT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_TRUE(port.TakeLog().empty());
    EXPECT_EQ(device->ReaderThread, reader);
    EXPECT_EQ(device->ReadIrp, read);
}

TEST_F(SerialTest, PortPathNamingNothingFailsAndCloseDoesNotWait)
{
    AddDevice("\\DosDevices\\COM9");
    EXPECT_EQ(Open(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(device->PortOpen, 0);
    EXPECT_EQ(device->ReaderThread, nullptr);
    EXPECT_EQ(kernel.LiveThreads(), 1);
    LONGLONG before = kernel.Now();
    ULONGLONG sleeps = kernel.SleepsOnThisThread();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(kernel.SleepsOnThisThread(), sleeps);
    EXPECT_EQ(kernel.Now(), before);
}

TEST_F(SerialTest, RemovedPortEndsTheReaderOfAPortDeviceWithoutNotification)
{
    AddDevice();
    Open();
    port.Remove();
    kernel.Settle();
    EXPECT_EQ(device->ReaderThread, nullptr);
    EXPECT_EQ(device->PortOpen, 0);
    EXPECT_NE(device->PortDevice, nullptr);
    EXPECT_EQ(device->NotificationEntry, nullptr);
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(device->PortDevice, nullptr);
    EXPECT_EQ(Open(), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SerialTest, DynamicDeviceClosesItsPortWhenTheStackAsksToGoAway)
{
    AddDevice("\\DosDevices\\COM1", true);
    Open();
    ASSERT_NE(device->NotificationEntry, nullptr);
    hosted::NotifyTargetDeviceChange(port.Device(), GUID_TARGET_DEVICE_QUERY_REMOVE);
    EXPECT_EQ(device->PortDevice, nullptr);
    EXPECT_EQ(device->NotificationEntry, nullptr);
    EXPECT_EQ(device->PortOpen, 0);
    hosted::NotifyTargetDeviceChange(port.Device(), GUID_TARGET_DEVICE_REMOVE_CANCELLED);
    kernel.Settle();
    EXPECT_EQ(device->PortDevice, nullptr); // stays closed
    EXPECT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(device->PortOpen, 1);

    port.Remove(); // query-remove closes it, remove-complete finds nothing left
    kernel.Settle();
    EXPECT_EQ(device->PortDevice, nullptr);
    EXPECT_EQ(device->ReaderThread, nullptr);
}

TEST_F(SerialTest, WriteHeldByThePortIsNeverReusedOrFreedUnderIt)
{
    port.HoldWrites(true);
    AddDevice();
    Open();
    EXPECT_EQ(Writes(port.TakeLog()), (std::vector<std::vector<UCHAR>>{Command(0)}));
    // An answer that overtakes its write: the next command waits for the write.
    port.Send(sim::ParameterResponseBytes(0, 0x1111));
    kernel.Settle();
    EXPECT_EQ(device->ParameterMemory[0], 0x1111);
    EXPECT_TRUE(Writes(port.TakeLog()).empty());
    port.ReleaseHeldWrites();
    kernel.Settle();
    EXPECT_EQ(Writes(port.TakeLog()), (std::vector<std::vector<UCHAR>>{Command(1)}));

    // Closing with the write still held: the port keeps it, and its
    // completion releases it once the device is stopping.
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_NE(device->WriteIrp, nullptr);
    port.ReleaseHeldWrites();
    Pass(5); // the draining thread's next look
    EXPECT_EQ(device->WriteIrp, nullptr);
    EXPECT_EQ(device->ParameterThread, nullptr);
    auto messages = kernel.DebugMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), " Disconnected! Free Write Irp \n ");
}

TEST_F(SerialTest, OpenAndCloseRequestsReportTheirStatus)
{
    AddDevice();
    device->ParametersLoaded = 1;
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(OpenPortRequest(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    kernel.Settle();
    irp->IoStatus.Information = 99;
    EXPECT_EQ(ClosePortRequest(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoFreeIrp(irp);
}

// Some platforms that imitate NT open a port with no file object and then
// refuse the extra reference: the failure path has nothing to drop.
TEST_F(SerialTest, BindingWithoutAFileObjectFailsWithoutDroppingOne)
{
    AddDevice();
    kernel.OpenWithoutFileObject(true);
    kernel.FailNextReference(STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(Open(), STATUS_NOT_IMPLEMENTED);
    kernel.OpenWithoutFileObject(false);
    EXPECT_EQ(device->PortDevice, nullptr);
    EXPECT_EQ(device->PortFileObject, nullptr);
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(Open(), STATUS_SUCCESS) << "the port is still free to open";
}

TEST_F(SerialTest, ReadTimingOutWithSomeBytesStillHandsThemOver)
{
    AddDevice();
    Open();
    rig.TakeRecords();
    ASSERT_TRUE(port.ReadPending());
    port.TimeOutWaitingReadWith(Bytes({0x81, 0x3E, 0x40, 0x3E, 0x40}));
    kernel.Settle();
    auto reads = port.TakeReadCompletions();
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().Status, STATUS_TIMEOUT);
    EXPECT_EQ(reads.back().Bytes, 5u);
    auto records = rig.TakeRecords();
    ASSERT_EQ(records.size(), 1u) << "the five bytes made a report";
    EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_TRUE(port.ReadPending()) << "and the read was sent again";
}

TEST_F(SerialTest, EveryBindingOpensThePortOnceAndItsCloseClosesIt)
{
    AddDevice();
    Open();
    EXPECT_EQ(port.Opens(), 1);
    EXPECT_EQ(port.Cleanups(), 1) << "the open's own handle is closed at once";
    EXPECT_EQ(port.Closes(), 0) << "the binding's reference keeps the file open";
    Close();
    EXPECT_EQ(port.Closes(), 1);
    Open();
    Close();
    EXPECT_EQ(port.Opens(), 2);
    EXPECT_EQ(port.Closes(), 2);
}

struct CloseJob {
    PDEVICE_OBJECT Touch;
    NTSTATUS Status = STATUS_PENDING;
};

VOID NTAPI CloseOnItsOwnThread(PVOID context)
{
    auto* job = static_cast<CloseJob*>(context);
    job->Status = ClosePort(job->Touch);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The reader is held between waking for a completed read and sending the
// next one, longer than the close's 100 polls: the close must not release
// the port while the reader can still send to it.
TEST_F(SerialTest, CloseNeverReleasesThePortUnderAReaderAboutToSendARead)
{
    AddDevice();
    Open();
    KEVENT resume;
    KeInitializeEvent(&resume, NotificationEvent, FALSE);
    PVOID reader = device->ReaderThreadObject;
    kernel.HookSpinLockAcquire(&device->Lock, [&] {
        if (static_cast<PVOID>(KeGetCurrentThread()) != reader)
            return false;
        KeWaitForSingleObject(&resume, Executive, KernelMode, FALSE, nullptr);
        return true;
    });
    port.Send(Bytes({0x80}));
    kernel.Settle(); // the reader is now held before its next read

    CloseJob job{touch};
    HANDLE handle;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, CloseOnItsOwnThread, &job),
        STATUS_SUCCESS);
    PVOID closer;
    ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &closer, nullptr);
    ZwClose(handle);
    Pass(3000);
    EXPECT_EQ(job.Status, STATUS_PENDING) << "still waiting for the reader";
    EXPECT_NE(device->PortDevice, nullptr);

    KeSetEvent(&resume, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(closer, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(closer);
    EXPECT_EQ(job.Status, STATUS_SUCCESS);
    EXPECT_EQ(device->PortDevice, nullptr);
    Pass(10);
    EXPECT_EQ(device->ReaderThread, nullptr);
    EXPECT_EQ(device->ReadIrp, nullptr);
}

// A port that answers with garbage, never answers, or goes away at any
// moment must leave the device closable, consistent and leak-free.
class SerialFailureTest : public SerialTest, public ::testing::WithParamInterface<int> {};

TEST_P(SerialFailureTest, PortFailingAtAnyMomentLeavesTheDeviceClosable)
{
    int moment = GetParam();
    port.Controller.AnswersLeft = moment % 3 == 0 ? -1 : moment * 3;
    AddDevice("\\DosDevices\\COM1", moment % 2 == 1);
    if (moment == 0)
        port.Remove();
    Open();
    if (moment > 0) {
        for (int i = 0; i < moment; ++i)
            port.Send(Bytes({0x0A, 0x10 + i, 0x43, 0x81, 0x0A, 0x8F, 0x00, 0x7F}));
        kernel.SleepMs(moment * 7);
        if (moment % 4 != 3)
            port.Remove();
    }
    kernel.Settle();
    EXPECT_EQ(Close(), STATUS_SUCCESS);
    EXPECT_EQ(device->PortDevice, nullptr);
    EXPECT_FALSE(device->InReport && device->InResponse);
    for (const auto& r : rig.TakeRecords()) {
        EXPECT_GE(r.LastX, 0);
        EXPECT_LE(r.LastX, 0x10000);
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, SerialFailureTest, ::testing::Range(0, 12));

} // namespace
