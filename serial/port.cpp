// Binding a touch device to its serial port, the port's line settings, the
// two reusable requests, and opening and closing the port.
#include "serial/serial.h"

#include "pipeline/pipeline.h"

namespace {

constexpr ULONG ControllerWordLength = 8;
constexpr ULONG ReadTimeoutMs = 1000;
constexpr ULONG WaitForAnyByte = 0xFFFFFFFF;
constexpr LONGLONG ClosePollMs = 20;
constexpr int ClosePolls = 100;

bool SameGuid(const GUID& a, const GUID& b)
{
    return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}

// What the object manager answers for a name no port has (yet).
bool IsAbsentPortStatus(NTSTATUS status)
{
    return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND;
}

// Drops the references and the removal registration of a binding.
void ReleaseBinding(DeviceExtension* device)
{
    UnregisterNotification(device->Self);
    if (device->PortFileObject)
        ObDereferenceObject(device->PortFileObject);
    if (device->PortDevice)
        ObDereferenceObject(device->PortDevice);
    device->PortFileObject = nullptr;
    device->PortDevice = nullptr;
}

void FitToPort(PDEVICE_OBJECT own, PDEVICE_OBJECT port)
{
    own->StackSize = CCHAR(port->StackSize + 1);
    own->Flags |= port->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    own->AlignmentRequirement = port->AlignmentRequirement;
}

// 8 data bits, no parity, one stop bit; a read returns as soon as any byte
// is there, or after one second with none. A port that refuses a setting
// keeps the one it had.
void ConfigurePort(DeviceExtension* device)
{
    ULONG_PTR information;
    SERIAL_BAUD_RATE baud;
    baud.BaudRate = device->Settings.BaudRate;
    SendSerialRequest(IOCTL_SERIAL_SET_BAUD_RATE, device->PortDevice, &baud, sizeof baud, nullptr,
                      0, &information);
    SERIAL_LINE_CONTROL line;
    line.StopBits = STOP_BIT_1;
    line.Parity = NO_PARITY;
    line.WordLength = ControllerWordLength;
    SendSerialRequest(IOCTL_SERIAL_SET_LINE_CONTROL, device->PortDevice, &line, sizeof line,
                      nullptr, 0, &information);
    SERIAL_TIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = WaitForAnyByte;
    timeouts.ReadTotalTimeoutMultiplier = WaitForAnyByte;
    timeouts.ReadTotalTimeoutConstant = ReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SendSerialRequest(IOCTL_SERIAL_SET_TIMEOUTS, device->PortDevice, &timeouts, sizeof timeouts,
                      nullptr, 0, &information);
}

PIRP AllocateTransferRequest(DeviceExtension* device, UCHAR majorFunction, PVOID buffer,
                             ULONG length)
{
    PIRP irp = IoAllocateIrp(CCHAR(device->PortDevice->StackSize + 1), FALSE);
    if (!irp)
        return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    next->Parameters.Read.Length = length;
    next->Parameters.Read.ByteOffset.QuadPart = 0;
    irp->AssociatedIrp.SystemBuffer = buffer;
    return irp;
}

// A write the port still holds is left to its completion, which sees Stopping.
void FreeIdleWriteRequest(DeviceExtension* device)
{
    SpinLockGuard lock(&device->Lock);
    if (device->WriteIrp && !device->WriteInFlight) {
        IoFreeIrp(device->WriteIrp);
        device->WriteIrp = nullptr;
    }
}

// Whether a thread of the device may still call the port: the reader until
// it has cancelled its read and cleared its marker, the parameter thread
// until it drains. Both leave promptly once StopEvent is set.
bool MaySendToPort(DeviceExtension* device)
{
    if (ThreadRecorded(device, &device->ReaderThread) && !ThreadGone(device->ReaderThreadObject))
        return true;
    if (!ThreadRecorded(device, &device->ParameterThread) ||
        ThreadGone(device->ParameterThreadObject))
        return false;
    SpinLockGuard lock(&device->Lock);
    return !device->ParameterDraining;
}

// A parameter thread that is draining ends within one of its sleeps once its
// write request is gone. The close waits for that: an open straight after it
// would otherwise find the thread still recorded and start none, and the old
// thread would take the new write request over and never read the words.
void AwaitDrainedParameterThread(DeviceExtension* device)
{
    {
        SpinLockGuard lock(&device->Lock);
        if (!device->ParameterDraining || device->WriteIrp || !device->ParameterThreadObject)
            return;
    }
    KeWaitForSingleObject(device->ParameterThreadObject, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(device->ParameterThreadObject);
    device->ParameterThreadObject = nullptr;
    SetThreadMarker(device, &device->ParameterThread, nullptr);
}

} // namespace

bool SendSerialRequest(ULONG code, PDEVICE_OBJECT port, PVOID input, ULONG inputLength,
                       PVOID output, ULONG outputLength, ULONG_PTR* information)
{
    if (KeGetCurrentIrql() > PASSIVE_LEVEL)
        return false;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(code, port, input, inputLength, output, outputLength,
                                             FALSE, &done, &iosb);
    if (!irp) {
        *information = 0;
        return false;
    }
    NTSTATUS status = IoCallDriver(port, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (!NT_SUCCESS(status)) {
        *information = 0;
        return false;
    }
    *information = iosb.Information;
    return true;
}

NTSTATUS BindPort(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    // Binding again (after the reader ended on a disconnect) replaces the
    // earlier binding rather than leaking its references and registration;
    // it goes first, since a serial port admits one open at a time.
    ReleaseBinding(device);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT port = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&device->PortPath, FILE_ALL_ACCESS, &file, &port);
    SetAwaitingPort(device, IsAbsentPortStatus(status) ? 1 : 0);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByPointer(port, FILE_ALL_ACCESS, nullptr, KernelMode);
    if (!NT_SUCCESS(status)) {
        // An open that succeeded may still have given no file object.
        if (file)
            ObDereferenceObject(file);
        return status;
    }
    device->PortFileObject = file;
    device->PortDevice = port;
    FitToPort(own, port);
    RegisterPortRemovalNotification(own);
    ConfigurePort(device);
    SetStopping(device, 0);
    return STATUS_SUCCESS;
}

bool AllocateReadRequest(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    if (!device->PortDevice)
        return false;
    {
        // A read the port still holds cannot be replaced; an idle one can.
        SpinLockGuard lock(&device->Lock);
        if (device->ReadInFlight)
            return false;
        if (device->ReadIrp) {
            IoFreeIrp(device->ReadIrp);
            device->ReadIrp = nullptr;
        }
    }
    PIRP irp = AllocateTransferRequest(device, IRP_MJ_READ, device->ReadBuffer, ReadSize);
    if (!irp)
        return false;
    device->ReadIrp = irp;
    return true;
}

bool AllocateWriteRequest(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    if (!device->PortDevice)
        return false;
    if (device->WriteIrp)
        return true;
    PIRP irp = AllocateTransferRequest(device, IRP_MJ_WRITE, device->CommandBuffer, CommandSize);
    if (!irp)
        return false;
    device->WriteIrp = irp;
    return true;
}

void EnsurePortReady(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    if (!device->PortDevice) {
        BindPort(own);
        if (!device->PortDevice)
            return;
    }
    if (!device->ReadIrp)
        AllocateReadRequest(own);
    if (!device->WriteIrp)
        AllocateWriteRequest(own);
}

NTSTATUS OpenPort(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    if (device->PortOpen)
        return STATUS_SUCCESS;
    // A record whose byte ring could not be allocated is never started.
    if (device->RingCapacity == 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    // As in StartReader: an ending reader must be gone before its binding and
    // ReadIrp are replaced.
    ReleaseEndedThread(device, &device->ReaderThreadObject, &device->ReaderThread);
    NTSTATUS status = BindPort(own);
    if (!NT_SUCCESS(status))
        return status;
    SetStopping(device, 0);
    KeClearEvent(&device->StopEvent);
    KeClearEvent(&device->ReadDoneEvent);
    AllocateReadRequest(own);
    AllocateWriteRequest(own);
    StartReader(device);
    if (!ParametersAreLoaded(device))
        StartParameterRead(device);
    return STATUS_SUCCESS;
}

void SetAwaitingPort(DeviceExtension* device, UCHAR awaiting)
{
    SpinLockGuard lock(&device->Lock);
    device->AwaitingPort = awaiting;
}

// A closed port is not awaited: the user asked for it, or the device goes.
NTSTATUS ClosePort(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    SetAwaitingPort(device, 0);
    SetStopping(device, 1);
    if (device->PortDevice) {
        KeSetEvent(&device->StopEvent, IO_NO_INCREMENT, FALSE);
        for (int poll = 1;; ++poll) {
            DelayMs(ClosePollMs);
            if (!ThreadRecorded(device, &device->ReaderThread) &&
                !ThreadRecorded(device, &device->ParameterThread))
                break;
            // After the polls the close goes on while a thread drains, but
            // never while one may still send to the port it releases.
            if (poll >= ClosePolls && !MaySendToPort(device))
                break;
        }
        ReleaseBinding(device);
    }
    FreeIdleWriteRequest(device);
    AwaitDrainedParameterThread(device);
    device->PortOpen = 0;
    ReleaseEndedThread(device, &device->ReaderThreadObject, &device->ReaderThread);
    ReleaseEndedThread(device, &device->ParameterThreadObject, &device->ParameterThread);
    return STATUS_SUCCESS;
}

NTSTATUS RegisterPortRemovalNotification(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    if (!(device->Settings.ModeStatus & ModeStatusDynamic) || !device->PortFileObject)
        return STATUS_SUCCESS;
    return IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 1,
                                          device->PortFileObject, own->DriverObject,
                                          PortRemovalCallback, own, &device->NotificationEntry);
}

NTSTATUS UnregisterNotification(PDEVICE_OBJECT own)
{
    DeviceExtension* device = ExtensionOf(own);
    if (!device->NotificationEntry)
        return STATUS_SUCCESS;
    NTSTATUS status = IoUnregisterPlugPlayNotification(device->NotificationEntry);
    device->NotificationEntry = nullptr;
    return status;
}

// PASSIVE_LEVEL, inside the platform's delivery of the notification. Takes
// ListMutex. A port closed at query-remove stays closed if the removal is
// then cancelled.
NTSTATUS NTAPI PortRemovalCallback(PVOID notificationStructure, PVOID context)
{
    auto* notification = static_cast<PTARGET_DEVICE_REMOVAL_NOTIFICATION>(notificationStructure);
    auto* own = static_cast<PDEVICE_OBJECT>(context);
    if (!SameGuid(notification->Event, GUID_TARGET_DEVICE_QUERY_REMOVE) &&
        !SameGuid(notification->Event, GUID_TARGET_DEVICE_REMOVE_COMPLETE))
        return STATUS_SUCCESS;
    DeviceExtension* control = ControlRecord();
    if (!control)
        return STATUS_SUCCESS;
    KeWaitForSingleObject(&control->ListMutex, Executive, KernelMode, FALSE, nullptr);
    // A call after the registration ended may name a device already gone:
    // it is looked up before it is touched.
    if (IsListedDevice(control, own) &&
        notification->FileObject == ExtensionOf(own)->PortFileObject)
        ClosePort(own);
    KeReleaseMutex(&control->ListMutex, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS ClosePortRequest(DeviceExtension* device, PIRP irp)
{
    NTSTATUS status = ClosePort(device->Self);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = status;
    return status;
}

NTSTATUS OpenPortRequest(DeviceExtension* device, PIRP irp)
{
    NTSTATUS status = OpenPort(device->Self);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = status;
    return status;
}
