// The parameter read thread: writes one ReadParameterCommand per word, 0 to
// 63, each after the controller's answer to the previous one; the parser
// stores the answers and applies them when word 63 arrives.
//
// The write request is never sent while the port still holds the previous
// write: WriteIdleEvent is clear exactly while a write is outstanding.
#include "serial/serial.h"

#include "config/diagnostics.h"
#include "pipeline/pipeline.h"

namespace {

constexpr LONGLONG DrainPollMs = 5;
constexpr UCHAR CommandStart = 0x0A;
constexpr UCHAR CommandPayloadLength = 0x02;
constexpr UCHAR ReadParameterLetter = 0x43; // 'C'

// Device's Lock held.
void ReleaseWriteRequest(DeviceExtension* device)
{
    IoFreeIrp(device->WriteIrp);
    device->WriteIrp = nullptr;
}

// The completion and the close release the request under the Lock.
bool WriteRequestHeld(DeviceExtension* device)
{
    SpinLockGuard lock(&device->Lock);
    return device->WriteIrp != nullptr;
}

// Waits until the previous write is back; false when told to stop first.
bool WaitForIdleWrite(DeviceExtension* device)
{
    PVOID events[2] = {&device->StopEvent, &device->WriteIdleEvent};
    NTSTATUS woken = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                              nullptr, nullptr);
    return woken != STATUS_WAIT_0;
}

// Claims the write request for one command; false when it is gone or the
// device is stopping.
PIRP ClaimWriteRequest(DeviceExtension* device)
{
    SpinLockGuard lock(&device->Lock);
    if (device->Stopping || !device->WriteIrp || device->WriteInFlight)
        return nullptr;
    device->WriteInFlight = 1;
    KeClearEvent(&device->WriteIdleEvent);
    return device->WriteIrp;
}

bool SendParameterCommand(DeviceExtension* device, UCHAR index)
{
    if (!WaitForIdleWrite(device)) {
        SetStopping(device, 1);
        return false;
    }
    PIRP irp = ClaimWriteRequest(device);
    if (!irp)
        return false;
    IoSetCompletionRoutine(irp, WriteCompletion, device, TRUE, TRUE, TRUE);
    device->CommandBuffer[0] = CommandStart;
    device->CommandBuffer[1] = CommandPayloadLength;
    device->CommandBuffer[2] = ReadParameterLetter;
    device->CommandBuffer[3] = index;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_WRITE;
    next->Parameters.Write.Length = CommandSize;
    next->Parameters.Write.ByteOffset.QuadPart = 0;
    irp->AssociatedIrp.SystemBuffer = device->CommandBuffer;
    IoCallDriver(device->PortDevice, irp);
    return true;
}

} // namespace

void StartParameterRead(DeviceExtension* device)
{
    if (ThreadRecorded(device, &device->ParameterThread) || !device->PortDevice ||
        !device->WriteIrp)
        return;
    KeClearEvent(&device->StopEvent);
    {
        SpinLockGuard lock(&device->Lock);
        device->ParameterDraining = 0;
    }
    LaunchDeviceThread(ParameterThreadMain, device, &device->ParameterThreadObject,
                       &device->ParameterThread, &device->ParameterReadStarted);
}

// PASSIVE_LEVEL, priority 16. After the last word, or when told to stop,
// it stays until the write request has been released.
VOID NTAPI ParameterThreadMain(PVOID context)
{
    auto* device = static_cast<DeviceExtension*>(context);
    EnterDeviceThread(device, &device->ParameterReadStarted, &device->WriteIrp);

    PVOID events[2] = {&device->StopEvent, &device->ResponseEvent};
    // An answer left over from before must not stand for the first command's.
    KeClearEvent(&device->ResponseEvent);
    for (ULONG index = 0; index < ParameterWordCount && !IsStopping(device); ++index) {
        if (!SendParameterCommand(device, UCHAR(index)))
            break;
        NTSTATUS woken = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                                  nullptr, nullptr);
        if (woken == STATUS_WAIT_0)
            SetStopping(device, 1);
        else
            KeClearEvent(&device->ResponseEvent);
    }
    {
        SpinLockGuard lock(&device->Lock);
        device->ParameterDraining = 1;
    }
    while (WriteRequestHeld(device))
        DelayMs(DrainPollMs);
    SetThreadMarker(device, &device->ParameterThread, nullptr);
    EndDeviceThread();
}

// The port's completion context, up to DISPATCH_LEVEL. Takes the device's Lock.
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(deviceObject);
    auto* device = static_cast<DeviceExtension*>(context);
    NTSTATUS status = irp->IoStatus.Status;

    SpinLockGuard lock(&device->Lock);
    device->WriteInFlight = 0;
    if (IsDisconnectStatus(status))
        ReleaseWriteRequest(device);
    if (device->Stopping && device->WriteIrp) {
        PrintDebugMessage(DebugMessage::DisconnectedFreeWriteIrp);
        ReleaseWriteRequest(device);
    }
    KeSetEvent(&device->WriteIdleEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
