// The reader thread: one 5-byte read always outstanding on the port, each
// completed read handed to the byte ring and the read sent again.
//
// Who frees ReadIrp: the read completion, when the port goes away or the
// reader has stopped; the reader itself when the request is idle at its end.
// While the reader cancels the request, only the reader may free it, so the
// cancel never touches a request the completion already freed.
#include "serial/serial.h"

#include "pipeline/pipeline.h"

namespace {

constexpr LONGLONG ReleasePollMs = 5;
constexpr int ReleasePolls = 100;
// A port that fails every read would have the reader, at priority 16, spin
// on it and starve the processor: failed reads wait before the next one,
// from a short wait doubling to a bound; one good read ends the waiting.
constexpr LONGLONG FirstFailureWaitMs = 10;
constexpr LONGLONG LongestFailureWaitMs = 250;

bool ReadFailed(NTSTATUS status)
{
    return status != STATUS_SUCCESS && status != STATUS_TIMEOUT;
}

class ReadFailureBackoff {
public:
    // The wait before the next read, after a read that ended with `status`.
    LONGLONG NextWaitMs(NTSTATUS status)
    {
        if (!ReadFailed(status)) {
            waitMs_ = 0;
            return 0;
        }
        waitMs_ = waitMs_ == 0 ? FirstFailureWaitMs : waitMs_ * 2;
        if (waitMs_ > LongestFailureWaitMs)
            waitMs_ = LongestFailureWaitMs;
        return waitMs_;
    }

private:
    LONGLONG waitMs_ = 0;
};

// False when the device was told to stop meanwhile.
bool WaitUnlessStopped(DeviceExtension* device, LONGLONG milliseconds)
{
    if (milliseconds == 0)
        return true;
    LARGE_INTEGER timeout = RelativeTimeout(milliseconds);
    return KeWaitForSingleObject(&device->StopEvent, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_TIMEOUT;
}

// Device's Lock held.
void ReleaseReadRequest(DeviceExtension* device)
{
    if (device->ReaderCancelling) {
        device->ReadReleaseDeferred = 1;
        return;
    }
    IoFreeIrp(device->ReadIrp);
    device->ReadIrp = nullptr;
}

void PrepareRead(DeviceExtension* device, PIRP irp)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = ReadSize;
    next->Parameters.Read.ByteOffset.QuadPart = 0;
    irp->AssociatedIrp.SystemBuffer = device->ReadBuffer;
}

void SendRead(DeviceExtension* device, PIRP irp)
{
    {
        SpinLockGuard lock(&device->Lock);
        device->ReadInFlight = 1;
    }
    IoSetCompletionRoutine(irp, ReadCompletion, device, TRUE, TRUE, TRUE);
    IoCallDriver(device->PortDevice, irp);
}

void CancelOutstandingRead(DeviceExtension* device)
{
    PIRP irp = nullptr;
    {
        SpinLockGuard lock(&device->Lock);
        if (device->ReadIrp && device->ReadInFlight) {
            device->ReaderCancelling = 1;
            irp = device->ReadIrp;
        }
    }
    if (!irp)
        return;
    IoCancelIrp(irp);
    SpinLockGuard lock(&device->Lock);
    device->ReaderCancelling = 0;
    if (device->ReadReleaseDeferred) {
        device->ReadReleaseDeferred = 0;
        IoFreeIrp(device->ReadIrp);
        device->ReadIrp = nullptr;
    }
}

// True once nobody will complete ReadIrp any more. An idle request left
// over (its last read completed just before the reader stopped) is freed.
bool ReadRequestSettled(DeviceExtension* device)
{
    SpinLockGuard lock(&device->Lock);
    if (device->ReadIrp && !device->ReadInFlight) {
        IoFreeIrp(device->ReadIrp);
        device->ReadIrp = nullptr;
    }
    return device->ReadIrp == nullptr;
}

void WaitForReadRelease(DeviceExtension* device)
{
    for (int poll = 0; poll < ReleasePolls; ++poll) {
        DelayMs(ReleasePollMs);
        if (ReadRequestSettled(device))
            return;
    }
}

} // namespace

void StartReader(DeviceExtension* device)
{
    if (device->PortOpen || ThreadRecorded(device, &device->ReaderThread))
        return;
    // An earlier reader may still be settling its request: it must be gone
    // before a new request is allocated, or it would free that one.
    ReleaseEndedThread(device, &device->ReaderThreadObject, &device->ReaderThread);
    EnsurePortReady(device->Self);
    if (!device->PortDevice || !device->ReadIrp || device->ReadInFlight)
        return;
    SetStopping(device, 0);
    KeClearEvent(&device->StopEvent);
    // Open before the thread runs: its first completion reads PortOpen.
    device->PortOpen = 1;
    if (!LaunchDeviceThread(ReaderThreadMain, device, &device->ReaderThreadObject,
                            &device->ReaderThread, &device->ReaderStarted))
        device->PortOpen = 0;
}

// PASSIVE_LEVEL, priority 16. Ends when StopEvent is signalled.
VOID NTAPI ReaderThreadMain(PVOID context)
{
    auto* device = static_cast<DeviceExtension*>(context);
    EnterDeviceThread(device, &device->ReaderStarted, &device->ReadIrp);

    PIRP irp = device->ReadIrp;
    PVOID events[2] = {&device->StopEvent, &device->ReadDoneEvent};
    ReadFailureBackoff backoff;
    for (;;) {
        SendRead(device, irp);
        NTSTATUS woken = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                                  nullptr, nullptr);
        if (woken == STATUS_WAIT_0)
            break;
        KeClearEvent(&device->ReadDoneEvent);
        // The completion kept the request: its status block is the read's.
        if (!WaitUnlessStopped(device, backoff.NextWaitMs(irp->IoStatus.Status)))
            break;
        PrepareRead(device, irp);
    }
    CancelOutstandingRead(device);
    SetThreadMarker(device, &device->ReaderThread, nullptr);
    device->PortOpen = 0;
    WaitForReadRelease(device);
    // Whatever ended the reader (a close, a removed port, a disconnect),
    // no release can come from the port any more.
    ReleaseHeldButton(device);
    EndDeviceThread();
}

// The port's completion context, up to DISPATCH_LEVEL. Takes the device's
// Lock. Keeps the request: it is reused or freed here, never completed on.
NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(deviceObject);
    auto* device = static_cast<DeviceExtension*>(context);
    ULONG_PTR count = irp->IoStatus.Information;
    NTSTATUS status = irp->IoStatus.Status;

    SpinLockGuard lock(&device->Lock);
    device->ReadInFlight = 0;
    if (IsDisconnectStatus(status)) {
        // The port went away (not a close cancelling the read): open it
        // again when it is back.
        if (!device->Stopping)
            device->AwaitingPort = 1;
        KeSetEvent(&device->StopEvent, IO_NO_INCREMENT, FALSE);
        ReleaseReadRequest(device);
    } else if (status == STATUS_SUCCESS || status == STATUS_TIMEOUT) {
        if (count != 0)
            AppendReceivedBytes(device, count > ReadSize ? ReadSize : ULONG(count));
        if (device->PortOpen) {
            KeSetEvent(&device->ReadDoneEvent, IO_NO_INCREMENT, FALSE);
        } else {
            KeSetEvent(&device->StopEvent, IO_NO_INCREMENT, FALSE);
            ReleaseReadRequest(device);
        }
    } else {
        KeSetEvent(&device->ReadDoneEvent, IO_NO_INCREMENT, FALSE); // a transient fault
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

void DropThread(DeviceExtension* device, PVOID* threadObject, PVOID* runningMarker)
{
    if (*threadObject)
        ObDereferenceObject(*threadObject);
    *threadObject = nullptr;
    SetThreadMarker(device, runningMarker, nullptr);
}

} // namespace

void ShutDownSerialLink(DeviceExtension* device)
{
    ClosePort(device->Self);
    KeSetEvent(&device->StopEvent, IO_NO_INCREMENT, FALSE);
    // Both threads end once StopEvent is set and the write request is gone;
    // requests still with the port come back through their completions. The
    // thread objects, not the markers, tell that a thread has really left.
    for (;;) {
        bool readerGone = ThreadGone(device->ReaderThreadObject);
        if (readerGone)
            CancelOutstandingRead(device);
        {
            SpinLockGuard lock(&device->Lock);
            if (device->WriteIrp && !device->WriteInFlight) {
                IoFreeIrp(device->WriteIrp);
                device->WriteIrp = nullptr;
            }
        }
        if (readerGone && ThreadGone(device->ParameterThreadObject) && !device->ReadInFlight &&
            !device->WriteInFlight)
            break;
        DelayMs(ReleasePollMs);
    }
    DropThread(device, &device->ReaderThreadObject, &device->ReaderThread);
    DropThread(device, &device->ParameterThreadObject, &device->ParameterThread);
    ReadRequestSettled(device);
    device->PortOpen = 0;
}
