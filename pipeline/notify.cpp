// Button-event notification: a configuration utility leaves one request
// pending on the control device, and the next button record that MouseMode
// selects completes it.
//
// The pending request can always be cancelled: its cancel routine is set
// while it waits, and every path that completes it first takes the routine
// back, so exactly one side completes it.
#include "pipeline/pipeline.h"

namespace {

constexpr NTSTATUS SupersededStatus = STATUS_TIMEOUT;

bool IsDown(ULONG buttons)
{
    return buttons == MOUSE_LEFT_BUTTON_DOWN || buttons == MOUSE_RIGHT_BUTTON_DOWN;
}

bool IsUp(ULONG buttons)
{
    return buttons == MOUSE_LEFT_BUTTON_UP || buttons == MOUSE_RIGHT_BUTTON_UP;
}

// Control device's Lock held. The EventIrp slot is emptied either way; if
// the cancel routine already owns the request, it completes it.
void CompleteEventIrpLocked(DeviceExtension* control, NTSTATUS status)
{
    PIRP irp = control->EventIrp;
    if (!irp)
        return;
    control->EventIrp = nullptr;
    if (!IoSetCancelRoutine(irp, nullptr))
        return;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI CancelButtonEventWait(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    DeviceExtension* control = ExtensionOf(device);
    {
        SpinLockGuard lock(&control->Lock);
        if (control->EventIrp == irp)
            control->EventIrp = nullptr;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

} // namespace

// DISPATCH_LEVEL, control device's Lock and the touch device's Lock held.
void NotifyButtonEvent(DeviceExtension* device, PMOUSE_INPUT_DATA record)
{
    UNREFERENCED_PARAMETER(device);
    DeviceExtension* control = ControlRecord();
    if (!control->EventIrp)
        return;
    ULONG mode = control->MouseMode;
    bool selected = (IsDown(record->Buttons) && (mode & MouseModeNotifyOnDown)) ||
                    (IsUp(record->Buttons) && (mode & MouseModeNotifyOnUp));
    if (selected)
        CompleteEventIrpLocked(control, STATUS_SUCCESS);
}

void CompletePendingButtonEvent(DeviceExtension* control, NTSTATUS status)
{
    SpinLockGuard lock(&control->Lock);
    CompleteEventIrpLocked(control, status);
}

NTSTATUS SetNotifyMask(PDEVICE_OBJECT controlDevice, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return RefuseRequest(irp);
    DeviceExtension* control = ExtensionOf(controlDevice);
    ULONG mask;
    RtlCopyMemory(&mask, irp->AssociatedIrp.SystemBuffer, sizeof mask);
    {
        SpinLockGuard lock(&control->Lock);
        CompleteEventIrpLocked(control, SupersededStatus);
        control->NotifyMask = mask;
    }
    return SucceedRequest(irp, 0);
}

NTSTATUS GetNotifyMask(PDEVICE_OBJECT controlDevice, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return RefuseRequest(irp);
    DeviceExtension* control = ExtensionOf(controlDevice);
    ULONG mask;
    {
        SpinLockGuard lock(&control->Lock);
        mask = control->NotifyMask;
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &mask, sizeof mask);
    return SucceedRequest(irp, sizeof mask);
}

NTSTATUS WaitForButtonEvent(PDEVICE_OBJECT controlDevice, PIRP irp)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    SpinLockGuard lock(&control->Lock);
    CompleteEventIrpLocked(control, SupersededStatus);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelButtonEventWait);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        // Cancelled before it could wait; having marked it pending, the
        // request is completed here and STATUS_PENDING still returned.
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    control->EventIrp = irp;
    return STATUS_PENDING;
}
