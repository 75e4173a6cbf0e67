// The mouse-port device: AddDevice, Plug and Play and power.
#include "driver/driver.h"

#include "control/control.h"
#include "serial/serial.h"

namespace {

constexpr LONG PnpLockLine = 270;
constexpr LONG PowerLockLine = 330;

NTSTATUS NTAPI SignalForwarded(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Start(DeviceExtension* port, PIRP irp)
{
    if (ControlDeviceObject)
        RegisterInterfaceNotification(ControlDeviceObject);
    NTSTATUS status = ForwardAndWait(port->LowerDevice, irp);
    // What was completed is what the caller is told.
    return CompleteRequest(irp, status);
}

NTSTATUS QueryCapabilities(DeviceExtension* port, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(port->LowerDevice, irp);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities)
        capabilities->SurpriseRemovalOK = 0;
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Removal retires the control device with every touch device, passes the
// request down, waits for every request in progress, then goes.
NTSTATUS Remove(DeviceExtension* port, PIRP irp, bool held)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (ControlDeviceObject)
        RetireControlDevice(ControlDeviceObject);
    NTSTATUS status = Forward(port, irp);
    if (held)
        IoReleaseRemoveLockAndWaitEx(&port->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
    IoDetachDevice(port->LowerDevice);
    IoDeleteDevice(port->Self);
    return status;
}

} // namespace

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    PDEVICE_OBJECT own;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), nullptr,
                                     FILE_DEVICE_SERIAL_MOUSE_PORT, 0, FALSE, &own);
    if (!NT_SUCCESS(status))
        return status;
    DeviceExtension* port = ExtensionOf(own);
    port->Self = own;
    port->LowerDevice = IoAttachDeviceToDeviceStack(own, physicalDevice);
    // Without a device below, every forwarded request would have nowhere to go.
    if (!port->LowerDevice) {
        IoDeleteDevice(own);
        return STATUS_NO_SUCH_DEVICE;
    }
    InitializeMousePortRecord(own);
    // After a removal (a failed start, a re-enumeration) the configured
    // devices and the settings come back with the new device.
    ReviveControlDevice(driver);
    own->Flags |= DO_BUFFERED_IO;
    own->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalForwarded, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS Forward(DeviceExtension* device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->LowerDevice, irp);
}

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceExtension* port = ExtensionOf(deviceObject);
    if (!port->IsMousePort)
        return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
    bool held = NT_SUCCESS(
        IoAcquireRemoveLockEx(&port->RemoveLock, irp, "pnp", PnpLockLine, sizeof(IO_REMOVE_LOCK)));
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = Start(port, irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = CompleteRequest(irp, STATUS_UNSUCCESSFUL);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // Removal releases the lock itself, and waits for every other holder.
        return Remove(port, irp, held);
    case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(port, irp);
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        status = CompleteRequest(irp, STATUS_SUCCESS);
        break;
    default:
        status = Forward(port, irp);
        break;
    }
    if (held)
        IoReleaseRemoveLockEx(&port->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
    return status;
}

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    DeviceExtension* port = ExtensionOf(deviceObject);
    if (!port->IsMousePort)
        return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
    bool held = NT_SUCCESS(IoAcquireRemoveLockEx(&port->RemoveLock, irp, "pnp", PowerLockLine,
                                                 sizeof(IO_REMOVE_LOCK)));
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    // The lower driver may leave the request pending: its result is ours.
    NTSTATUS status = PoCallDriver(port->LowerDevice, irp);
    if (held)
        IoReleaseRemoveLockEx(&port->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
    return status;
}
