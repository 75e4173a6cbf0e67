// The device-control dispatch: the mouse class driver's requests on the
// mouse-port device, the control requests on every other device.
#include "driver/driver.h"

#include "control/control.h"
#include "pipeline/pipeline.h"
#include "serial/serial.h"

namespace {

constexpr LONG IoctlLockLine = 1737;
constexpr ULONG AttributesSize = 12;

static_assert(sizeof(MOUSE_ATTRIBUTES) == AttributesSize, "the platform's attributes layout");

void FillAttributes(MOUSE_ATTRIBUTES* attributes, USHORT identifier)
{
    attributes->MouseIdentifier = identifier;
    attributes->NumberOfButtons = 2;
    attributes->SampleRate = 120;
    attributes->InputDataQueueLength = 6;
}

NTSTATUS Connect(DeviceExtension* port, PIO_STACK_LOCATION stack)
{
    if (!port->IsMousePort)
        return STATUS_UNSUCCESSFUL;
    if (port->ClassService)
        return STATUS_SHARING_VIOLATION;
    // The whole CONNECT_DATA must be there: 8 bytes on i686, 16 on x86_64.
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CONNECT_DATA) ||
        !stack->Parameters.DeviceIoControl.Type3InputBuffer)
        return STATUS_INVALID_PARAMETER;
    auto* connect = static_cast<PCONNECT_DATA>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    port->ClassDevice = connect->ClassDeviceObject;
    port->ClassService = reinterpret_cast<ClassServiceRoutine*>(connect->ClassService);
    DeviceExtension* control = ControlRecord();
    if (!control)
        return STATUS_SUCCESS;
    {
        SpinLockGuard lock(&control->Lock);
        control->ClassDevice = port->ClassDevice;
        control->ClassService = port->ClassService;
        control->ClassEnabled = 1;
    }
    RelinkPortDevices(ControlDeviceObject);
    return STATUS_SUCCESS;
}

NTSTATUS SetClassEnabled(UCHAR enabled)
{
    DeviceExtension* control = ControlRecord();
    if (control) {
        SpinLockGuard lock(&control->Lock);
        control->ClassEnabled = enabled;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryAttributes(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < AttributesSize)
        return STATUS_BUFFER_TOO_SMALL;
    DeviceExtension* control = ControlRecord();
    MOUSE_ATTRIBUTES attributes;
    RtlZeroMemory(&attributes, sizeof attributes);
    if (control) {
        RelinkPortDevices(ControlDeviceObject);
        FillAttributes(&control->MouseAttributes, control->UnitIndex);
        attributes = control->MouseAttributes;
    } else {
        // Without a control device the same answer, never stale bytes.
        FillAttributes(&attributes, 0);
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &attributes, AttributesSize);
    irp->IoStatus.Information = AttributesSize;
    return STATUS_SUCCESS;
}

NTSTATUS MouseClassRequest(DeviceExtension* port, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUSE_QUERY_ATTRIBUTES:
        return QueryAttributes(irp, stack);
    case IOCTL_INTERNAL_MOUSE_CONNECT:
        return Connect(port, stack);
    case IOCTL_INTERNAL_MOUSE_DISCONNECT:
        return STATUS_NOT_IMPLEMENTED;
    case IOCTL_INTERNAL_MOUSE_ENABLE:
        return SetClassEnabled(1);
    case IOCTL_INTERNAL_MOUSE_DISABLE:
        return SetClassEnabled(0);
    default:
        return STATUS_SUCCESS;
    }
}

} // namespace

// The walk holds ListMutex, so a removal cannot free a node under it.
NTSTATUS RelinkPortDevices(PDEVICE_OBJECT controlDevice)
{
    if (!controlDevice)
        return STATUS_UNSUCCESSFUL;
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    for (ListNode* node = control->PortList; node; node = node->Next) {
        DeviceExtension* device = ExtensionOf(node->Device);
        LinkTouchDevice(node->Device, controlDevice);
        StartReader(device);
        if (!ParametersAreLoaded(device))
            StartParameterRead(device);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    irp->IoStatus.Information = 0;
    DeviceExtension* port = ExtensionOf(deviceObject);
    if (!port->IsMousePort)
        return ControlDispatch(deviceObject, irp);
    NTSTATUS status = IoAcquireRemoveLockEx(&port->RemoveLock, irp, "ioctl", IoctlLockLine,
                                            sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    status = MouseClassRequest(port, irp);
    IoReleaseRemoveLockEx(&port->RemoveLock, irp, sizeof(IO_REMOVE_LOCK));
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
