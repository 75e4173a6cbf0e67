// The control requests of the configuration utility.
//
// All requests are METHOD_BUFFERED: one system buffer, at least as large as
// both the input and the output, holds the input on arrival and the answer on
// completion. Every handler checks the sizes it reads and writes against the
// caller's lengths, and Information never exceeds what it wrote.
#include "control/control.h"

#include "config/registry.h"
#include "pipeline/pipeline.h"
#include "serial/serial.h"

namespace {

ULONG InputLength(PIRP irp)
{
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}

ULONG OutputLength(PIRP irp)
{
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

PUCHAR SystemBuffer(PIRP irp)
{
    return static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
}

// Callers have checked that the offset lies within the caller's buffer.
ULONG ReadValue(PIRP irp, ULONG offset)
{
    ULONG value;
    RtlCopyMemory(&value, SystemBuffer(irp) + offset, sizeof value);
    return value;
}

void WriteValue(PIRP irp, ULONG offset, ULONG value)
{
    RtlCopyMemory(SystemBuffer(irp) + offset, &value, sizeof value);
}

// Answers `count` values from offset 0; the caller checked the output size.
NTSTATUS AnswerValues(PIRP irp, const ULONG* values, ULONG count)
{
    for (ULONG i = 0; i < count; ++i)
        WriteValue(irp, i * sizeof(ULONG), values[i]);
    return SucceedRequest(irp, count * sizeof(ULONG));
}

bool IsDynamic(const DeviceExtension* device)
{
    return (device->Settings.ModeStatus & ModeStatusDynamic) != 0;
}

// ---- requests that name a touch device ------------------------------------

// The characters of a name of at most `length` bytes, up to its first zero.
ULONG NameCharacters(const UCHAR* name, ULONG length)
{
    ULONG characters = 0;
    while (characters < length && name[characters])
        ++characters;
    return characters;
}

NTSTATUS SetPortNameRequest(DeviceExtension* device, PIRP irp)
{
    if (IsDynamic(device))
        return RefuseRequest(irp);
    // L counts the name's terminating zero, which must lie within the input.
    constexpr ULONG NameOffset = 8;
    ULONG length = ReadValue(irp, 4) & 0xFFFF;
    if (length == 0 || length > InputLength(irp) - NameOffset)
        return RefuseRequest(irp);
    if (NameCharacters(SystemBuffer(irp) + NameOffset, length - 1) > MaxPortNameCharacters)
        return RefuseRequest(irp);
    UNICODE_STRING name;
    if (!ConvertAnsiName(reinterpret_cast<const CHAR*>(SystemBuffer(irp) + NameOffset), length - 1,
                         &name))
        return RefuseRequest(irp);
    ClearString(&device->PortPath);
    if (device->PortPath.Buffer && AppendText(&device->PortPath, VORN_WIDE("\\DosDevices\\")))
        RtlAppendUnicodeStringToString(&device->PortPath, &name);
    ClearString(&device->PortName);
    if (device->PortName.Buffer)
        RtlAppendUnicodeStringToString(&device->PortName, &name);
    WriteDeviceSettings(device);
    FreeConvertedName(&name);
    {
        // The parser sets it under the same lock when word 63 arrives.
        SpinLockGuard lock(&device->Lock);
        device->ParametersLoaded = 0;
    }
    return SucceedRequest(irp, 0);
}

void CopyCorners(LONG* to, const LONG* from)
{
    RtlCopyMemory(to, from, 8 * sizeof(LONG));
}

bool SameLongs(const LONG* a, const LONG* b, ULONG count)
{
    return RtlCompareMemory(a, b, count * sizeof(LONG)) == count * sizeof(LONG);
}

// Whether the block changes the calibration: the corners, the flags or the
// grid. A block that only changes other settings (vornctl set BaudRate=...)
// carries the calibration back as it read it, which stays whosever it was.
bool ChangesCalibration(const TouchSettings& s, const DeviceParameterBlock& block)
{
    return !SameLongs(&s.LLX, &block.LLX, 8) || s.CalFlags != block.CalFlags ||
           s.CalAux != block.CalAux || !SameLongs(&s.GridLLX, &block.GridLLX, 8) ||
           !SameLongs(s.GridX, block.GridX, GridPointCount) ||
           !SameLongs(s.GridY, block.GridY, GridPointCount);
}

// Under the device's Lock, so a report never sees half a block.
NTSTATUS WriteParametersRequest(DeviceExtension* device, PIRP irp)
{
    DeviceParameterBlock block;
    RtlCopyMemory(&block, SystemBuffer(irp), sizeof block);
    {
        SpinLockGuard lock(&device->Lock);
        TouchSettings& s = device->Settings;
        // From then on this calibration outranks the controller's memory.
        if (ChangesCalibration(s, block))
            s.CalibrationSaved = 1;
        CopyCorners(&s.LLX, &block.LLX);
        s.BaudRate = block.BaudRate;
        s.Mode = block.Mode;
        s.XDeviation = block.XDeviation;
        s.YDeviation = block.YDeviation;
        s.SelDelay = block.SelDelay;
        s.ClickDelay = block.ClickDelay;
        s.CalFlags = block.CalFlags;
        s.CalAux = block.CalAux;
        CopyCorners(&s.GridLLX, &block.GridLLX);
        RtlCopyMemory(s.GridX, block.GridX, sizeof s.GridX);
        RtlCopyMemory(s.GridY, block.GridY, sizeof s.GridY);
        device->GridEnabled = (block.CalFlags & CalFlagGridOn) ? 1 : 0;
        device->SwapXY = (block.CalFlags & CalFlagSwapXY) ? 1 : 0;
        InvalidateCornerMaps(device);
    }
    if (!IsDynamic(device))
        WriteDeviceSettings(device);
    return SucceedRequest(irp, 0);
}

NTSTATUS ReadParametersRequest(DeviceExtension* device, PIRP irp)
{
    DeviceParameterBlock block;
    {
        SpinLockGuard lock(&device->Lock);
        const TouchSettings& s = device->Settings;
        CopyCorners(&block.LLX, &s.LLX);
        block.BaudRate = s.BaudRate;
        block.ModeStatus = s.ModeStatus;
        block.Mode = s.Mode;
        block.XDeviation = s.XDeviation;
        block.YDeviation = s.YDeviation;
        block.SelDelay = s.SelDelay;
        block.ClickDelay = s.ClickDelay;
        block.CalFlags = s.CalFlags;
        block.CalAux = s.CalAux;
        CopyCorners(&block.GridLLX, &s.GridLLX);
        RtlCopyMemory(block.GridX, s.GridX, sizeof block.GridX);
        RtlCopyMemory(block.GridY, s.GridY, sizeof block.GridY);
    }
    // Bytes 0 to 3 keep the caller's handle.
    constexpr ULONG FieldsOffset = sizeof(ULONG);
    RtlCopyMemory(SystemBuffer(irp) + FieldsOffset, reinterpret_cast<PUCHAR>(&block) + FieldsOffset,
                  sizeof block - FieldsOffset);
    return SucceedRequest(irp, sizeof block);
}

ULONG PortNameCharacters(const DeviceExtension* device)
{
    return device->PortName.Buffer ? device->PortName.Length / sizeof(WCHAR) : 0;
}

NTSTATUS GetPortNameRequest(DeviceExtension* device, PIRP irp)
{
    ULONG room = OutputLength(irp);
    if (room <= PortNameCharacters(device) + 2)
        return RefuseRequest(irp);
    ANSI_STRING answer;
    answer.Buffer = reinterpret_cast<PCHAR>(SystemBuffer(irp));
    answer.Length = 0;
    answer.MaximumLength = USHORT(room > 0xFFFF ? 0xFFFF : room);
    UNICODE_STRING name = device->PortName;
    if (!name.Buffer)
        name.Length = 0;
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&answer, &name, FALSE)))
        return RefuseRequest(irp);
    return SucceedRequest(irp, answer.Length);
}

NTSTATUS PortNameLengthRequest(DeviceExtension* device, PIRP irp)
{
    const ULONG length = PortNameCharacters(device) + 2;
    return AnswerValues(irp, &length, 1);
}

NTSTATUS SetSwapXYRequest(DeviceExtension* device, PIRP irp)
{
    device->SwapXY = ReadValue(irp, 4) ? 1 : 0;
    return SucceedRequest(irp, 0);
}

NTSTATUS SetGridEnabledRequest(DeviceExtension* device, PIRP irp)
{
    device->GridEnabled = ReadValue(irp, 4) ? 1 : 0;
    return SucceedRequest(irp, 0);
}

// All zero clears the rectangle; anything else must be a valid one. The
// four values change together under the device's Lock, so a report is mapped
// into the old rectangle or the new, never a mix.
NTSTATUS SetScreenRectRequest(DeviceExtension* device, PIRP irp)
{
    ULONG left = ReadValue(irp, 4), top = ReadValue(irp, 8);
    ULONG right = ReadValue(irp, 12), bottom = ReadValue(irp, 16);
    bool clear = (left | top | right | bottom) == 0;
    if (!clear && !IsValidScreenRect(left, top, right, bottom))
        return RefuseRequest(irp);
    {
        SpinLockGuard lock(&device->Lock);
        TouchSettings& s = device->Settings;
        s.ScreenLeft = left;
        s.ScreenTop = top;
        s.ScreenRight = right;
        s.ScreenBottom = bottom;
    }
    if (!IsDynamic(device)) {
        if (clear)
            DeleteScreenRectValues(device);
        else
            WriteDeviceSettings(device);
    }
    return SucceedRequest(irp, 0);
}

NTSTATUS GetScreenRectRequest(DeviceExtension* device, PIRP irp)
{
    ULONG values[4];
    {
        SpinLockGuard lock(&device->Lock);
        const TouchSettings& s = device->Settings;
        values[0] = s.ScreenLeft;
        values[1] = s.ScreenTop;
        values[2] = s.ScreenRight;
        values[3] = s.ScreenBottom;
    }
    return AnswerValues(irp, values, 4);
}

// A snapshot for the configuration utility; ListMutex keeps the port
// binding still while it is read.
NTSTATUS GetDeviceStateRequest(DeviceExtension* device, PIRP irp)
{
    ULONG state = 0;
    // A reader that ended on a disconnect leaves the binding behind: the port
    // is open only while the reader serves it.
    if (device->PortDevice && device->PortOpen)
        state |= DeviceStatePortOpen;
    if (device->ParametersLoaded)
        state |= DeviceStateParametersLoaded;
    if (device->SwapXY)
        state |= DeviceStateSwapXY;
    if (device->GridEnabled)
        state |= DeviceStateGridEnabled;
    if (device->Settings.CalibrationSaved)
        state |= DeviceStateCalibrationSaved;
    if (device->AwaitingPort)
        state |= DeviceStatePortAbsent;
    if (!device->PortName.Length && device->StoredPortName.Buffer)
        state |= DeviceStatePortNameTooLong;
    return AnswerValues(irp, &state, 1);
}

// ---- requests on the lists --------------------------------------------------

NTSTATUS CountRequest(const ListNode* head, PIRP irp)
{
    const ULONG count = CountListNodes(head);
    return AnswerValues(irp, &count, 1);
}

NTSTATUS HandlesRequest(const ListNode* head, PIRP irp)
{
    ULONG count = CountListNodes(head);
    if (OutputLength(irp) / sizeof(ULONG) < count)
        return RefuseRequest(irp);
    ULONG offset = 0;
    for (const ListNode* node = head; node; node = node->Next, offset += sizeof(ULONG))
        WriteValue(irp, offset, HandleOfDevice(node->Device));
    return SucceedRequest(irp, offset);
}

NTSTATUS AnswerCreated(PIRP irp, PDEVICE_OBJECT created)
{
    const ULONG handle = created ? HandleOfDevice(created) : 0;
    return AnswerValues(irp, &handle, 1);
}

// The name fills the input but for its last byte, normally its zero; an
// empty input carries no name at all and is refused.
NTSTATUS CreatePortDeviceRequest(PDEVICE_OBJECT controlDevice, PIRP irp)
{
    if (InputLength(irp) == 0)
        return RefuseRequest(irp);
    // A configured device's name goes to the registry: one longer than it
    // keeps would leave the device without a port at the next load.
    if (NameCharacters(SystemBuffer(irp), InputLength(irp) - 1) > MaxPortNameCharacters)
        return RefuseRequest(irp);
    PDEVICE_OBJECT created;
    CreateTouchPortDevice(controlDevice->DriverObject, controlDevice,
                          reinterpret_cast<const CHAR*>(SystemBuffer(irp)), InputLength(irp) - 1,
                          &created);
    RenumberPortDevices(ExtensionOf(controlDevice));
    // Started only once its settings are written: a parameter read finishing
    // first would otherwise put the controller's corners in the registry
    // instead of the ones the device was made with, by the thread schedule.
    if (created)
        StartTouchPortDevice(created);
    return AnswerCreated(irp, created);
}

// The path must end with its zero within the input.
bool InputHoldsTerminatedText(PIRP irp)
{
    ULONG characters = InputLength(irp) / sizeof(WCHAR);
    auto* text = reinterpret_cast<const WCHAR*>(SystemBuffer(irp));
    for (ULONG i = 0; i < characters; ++i)
        if (text[i] == 0)
            return true;
    return false;
}

NTSTATUS CreateDynamicDeviceRequest(PDEVICE_OBJECT controlDevice, PIRP irp)
{
    if (!InputHoldsTerminatedText(irp))
        return RefuseRequest(irp);
    PDEVICE_OBJECT created;
    CreateDynamicTouchDevice(controlDevice->DriverObject, controlDevice,
                             reinterpret_cast<PCWSTR>(SystemBuffer(irp)), &created);
    return AnswerCreated(irp, created);
}

NTSTATUS RemovalResult(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    return status;
}

// ---- global settings ----------------------------------------------------------

NTSTATUS StoreGlobalValues(DeviceExtension* control, PIRP irp, ULONG* const* fields, ULONG count)
{
    {
        // Under the control device's Lock: the click assist reads these at
        // DISPATCH_LEVEL and sees all of a request's values or none.
        SpinLockGuard lock(&control->Lock);
        for (ULONG i = 0; i < count; ++i)
            *fields[i] = ReadValue(irp, i * sizeof(ULONG));
    }
    WriteGlobalSettings(VORN_SERVICE_KEY, control);
    return SucceedRequest(irp, 0);
}

// ---- the table ---------------------------------------------------------------------

using ControlHandler = NTSTATUS (*)(PDEVICE_OBJECT controlDevice, PIRP irp);

// Where a request is carried out. A request runs in the process of the
// program that sent it; what makes a device's links or starts its threads
// must run in the system process instead: links made in a user's context
// land in that logon session's own \DosDevices, invisible to everyone else
// and out of reach of a teardown on a system thread, and Windows 2000 starts
// system threads only from the system process.
enum class Context { Caller, SystemProcess };

struct RequestRow {
    ULONG Code;
    ULONG MinimumInput;
    ULONG MinimumOutput;
    TouchRequestHandler OnDevice; // the request names a touch device
    ControlHandler OnControl;     // the request concerns the lists or globals
    Context RunsIn = Context::Caller;
};

DeviceExtension* Control(PDEVICE_OBJECT controlDevice)
{
    return ExtensionOf(controlDevice);
}

NTSTATUS PortCount(PDEVICE_OBJECT c, PIRP irp)
{
    return CountRequest(Control(c)->PortList, irp);
}
NTSTATUS PortHandles(PDEVICE_OBJECT c, PIRP irp)
{
    return HandlesRequest(Control(c)->PortList, irp);
}
NTSTATUS DynamicCount(PDEVICE_OBJECT c, PIRP irp)
{
    return CountRequest(Control(c)->DynamicList, irp);
}
NTSTATUS DynamicHandles(PDEVICE_OBJECT c, PIRP irp)
{
    return HandlesRequest(Control(c)->DynamicList, irp);
}
NTSTATUS RemovePort(PDEVICE_OBJECT c, PIRP irp)
{
    return RemovalResult(irp, RemoveTouchPortDevice(c, ReadValue(irp, 0)));
}
NTSTATUS RemoveDynamic(PDEVICE_OBJECT c, PIRP irp)
{
    return RemovalResult(irp, RemoveDynamicTouchDevice(c, ReadValue(irp, 0)));
}
NTSTATUS SetMouseSettings(PDEVICE_OBJECT c, PIRP irp)
{
    DeviceExtension* x = Control(c);
    ULONG* const fields[] = {&x->MouseMode, &x->DoubleClickSpeed,
                             reinterpret_cast<ULONG*>(&x->DoubleClickSize)};
    return StoreGlobalValues(x, irp, fields, 3);
}
NTSTATUS GetMouseSettings(PDEVICE_OBJECT c, PIRP irp)
{
    DeviceExtension* x = Control(c);
    const ULONG values[] = {x->MouseMode, x->DoubleClickSpeed, ULONG(x->DoubleClickSize)};
    return AnswerValues(irp, values, 3);
}
NTSTATUS SetLanguage(PDEVICE_OBJECT c, PIRP irp)
{
    ULONG* const fields[] = {&Control(c)->Language};
    return StoreGlobalValues(Control(c), irp, fields, 1);
}
NTSTATUS GetLanguage(PDEVICE_OBJECT c, PIRP irp)
{
    return AnswerValues(irp, &Control(c)->Language, 1);
}
NTSTATUS GetFilterSettings(PDEVICE_OBJECT c, PIRP irp)
{
    DeviceExtension* x = Control(c);
    const ULONG values[] = {ULONG(x->A0),
                            ULONG(x->A1),
                            ULONG(x->A2),
                            ULONG(x->A3),
                            ULONG(x->Uppper),
                            ULONG(x->Low),
                            ULONG(x->FilterThreshold),
                            x->Filter};
    return AnswerValues(irp, values, 8);
}
NTSTATUS GetRotation(PDEVICE_OBJECT c, PIRP irp)
{
    return AnswerValues(irp, &Control(c)->Rotation, 1);
}
NTSTATUS SetRotation(PDEVICE_OBJECT c, PIRP irp)
{
    ULONG* const fields[] = {&Control(c)->Rotation};
    return StoreGlobalValues(Control(c), irp, fields, 1);
}

// 0x80000410 asks for no input, yet its handle is the first four bytes of
// the input: a caller that passed fewer has named no device and is refused.
const RequestRow RequestTable[] = {
    {IoctlClosePort, 4, 0, ClosePortRequest, nullptr},
    {IoctlOpenPort, 4, 0, OpenPortRequest, nullptr, Context::SystemProcess},
    {IoctlSetPortName, 12, 0, SetPortNameRequest, nullptr, Context::SystemProcess},
    {IoctlWriteParameters, sizeof(DeviceParameterBlock), 0, WriteParametersRequest, nullptr},
    {IoctlReadParameters, 4, sizeof(DeviceParameterBlock), ReadParametersRequest, nullptr},
    {IoctlPortDeviceCount, 0, 4, nullptr, PortCount},
    {IoctlPortDeviceHandles, 0, 0, nullptr, PortHandles},
    {IoctlCreatePortDevice, 0, 4, nullptr, CreatePortDeviceRequest, Context::SystemProcess},
    {IoctlRemovePortDevice, 4, 0, nullptr, RemovePort, Context::SystemProcess},
    {IoctlGetPortName, 4, 0, GetPortNameRequest, nullptr},
    {IoctlPortNameLength, 4, 4, PortNameLengthRequest, nullptr},
    {IoctlCreateDynamicDevice, 0, 4, nullptr, CreateDynamicDeviceRequest, Context::SystemProcess},
    {IoctlRemoveDynamicDevice, 4, 0, nullptr, RemoveDynamic, Context::SystemProcess},
    {IoctlDynamicDeviceCount, 0, 4, nullptr, DynamicCount},
    {IoctlDynamicDeviceHandles, 0, 0, nullptr, DynamicHandles},
    {IoctlSetSwapXY, 8, 0, SetSwapXYRequest, nullptr},
    {IoctlSetGridEnabled, 8, 0, SetGridEnabledRequest, nullptr},
    {IoctlSetNotifyMask, 4, 0, nullptr, SetNotifyMask},
    {IoctlGetNotifyMask, 0, 4, nullptr, GetNotifyMask},
    {IoctlWaitButtonEvent, 0, 0, nullptr, WaitForButtonEvent},
    {IoctlSetMouseSettings, 12, 0, nullptr, SetMouseSettings},
    {IoctlGetMouseSettings, 0, 12, nullptr, GetMouseSettings},
    {IoctlSetLanguage, 4, 0, nullptr, SetLanguage},
    {IoctlGetLanguage, 0, 4, nullptr, GetLanguage},
    {IoctlGetFilterSettings, 0, 32, nullptr, GetFilterSettings},
    {IoctlGetRotation, 0, 4, nullptr, GetRotation},
    {IoctlSetRotation, 4, 0, nullptr, SetRotation},
    {IoctlGetDeviceState, 4, 4, GetDeviceStateRequest, nullptr},
    {IoctlSetScreenRect, 20, 0, SetScreenRectRequest, nullptr},
    {IoctlGetScreenRect, 4, 16, GetScreenRectRequest, nullptr},
};

const RequestRow* FindRow(ULONG code)
{
    for (const RequestRow& row : RequestTable)
        if (row.Code == code)
            return &row;
    return nullptr;
}

// ListMutex held.
NTSTATUS CarryOut(PDEVICE_OBJECT controlDevice, PIRP irp, const RequestRow& row)
{
    if (row.OnDevice)
        return SelectTouchDevice(irp, row.MinimumInput, row.MinimumOutput, row.OnDevice);
    if (InputLength(irp) < row.MinimumInput || OutputLength(irp) < row.MinimumOutput)
        return RefuseRequest(irp);
    return row.OnControl(controlDevice, irp);
}

// ListMutex not held: takes it for the request.
NTSTATUS CarryOutUnderListMutex(PDEVICE_OBJECT controlDevice, PIRP irp, const RequestRow& row)
{
    DeviceExtension* control = ExtensionOf(controlDevice);
    MutexGuard hold(&control->ListMutex);
    if (control->ControlRemoved)
        return RefuseRequest(irp); // a handle that outlived the device
    return CarryOut(controlDevice, irp, row);
}

// No work item could be had: nothing is done. A creation answers as one
// that made no device; anything else is refused.
NTSTATUS WithoutSystemWorker(PIRP irp, const RequestRow& row)
{
    bool creation = row.Code == IoctlCreatePortDevice || row.Code == IoctlCreateDynamicDevice;
    if (!creation || OutputLength(irp) < row.MinimumOutput)
        return RefuseRequest(irp);
    return AnswerCreated(irp, nullptr);
}

struct SystemProcessWork {
    PIRP Irp;
    const RequestRow* Row;
    NTSTATUS Status;
    KEVENT Done;
};

// A system worker thread, PASSIVE_LEVEL, in the system process.
VOID NTAPI CarryOutOnSystemWorker(PDEVICE_OBJECT controlDevice, PVOID context)
{
    auto* work = static_cast<SystemProcessWork*>(context);
    work->Status = CarryOutUnderListMutex(controlDevice, work->Irp, *work->Row);
    KeSetEvent(&work->Done, IO_NO_INCREMENT, FALSE);
}

// Hands the request to a system worker thread and waits for it there: the
// request still completes before its dispatch routine returns. The caller
// holds no lock, so the worker can take ListMutex.
NTSTATUS CarryOutInSystemProcess(PDEVICE_OBJECT controlDevice, PIRP irp, const RequestRow& row)
{
    SystemProcessWork work;
    work.Irp = irp;
    work.Row = &row;
    work.Status = STATUS_UNSUCCESSFUL;
    KeInitializeEvent(&work.Done, NotificationEvent, FALSE);
    if (!RunOnSystemWorker(controlDevice, CarryOutOnSystemWorker, &work, &work.Done))
        return WithoutSystemWorker(irp, row);
    return work.Status;
}

} // namespace

// The 27 requests of the original set, the device state and the screen
// rectangle's two.
static_assert(sizeof RequestTable / sizeof RequestTable[0] == 30, "every control request");

NTSTATUS SelectTouchDevice(PIRP irp, ULONG minimumInput, ULONG minimumOutput,
                           TouchRequestHandler handler)
{
    if (InputLength(irp) < minimumInput || OutputLength(irp) < minimumOutput ||
        InputLength(irp) < sizeof(ULONG))
        return RefuseRequest(irp);
    DeviceExtension* control = ControlRecord();
    ULONG handle = ReadValue(irp, 0);
    ListNode* node = FindListNode(control->PortList, handle);
    if (!node)
        node = FindListNode(control->DynamicList, handle);
    if (!node)
        return RefuseRequest(irp);
    return handler(ExtensionOf(node->Device), irp);
}

// Returns the request's own status: a caller that sees only the dispatch
// result must not take a refused request for a success.
NTSTATUS NTAPI ControlDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        RefuseRequest(irp);
    } else if (ExtensionOf(device)->IsControl) {
        ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
        const RequestRow* row = FindRow(code);
        NTSTATUS status = STATUS_SUCCESS;
        // A code that does not exist is refused like any request the driver
        // cannot carry out, never reported as done.
        if (!row)
            RefuseRequest(irp);
        else if (row->RunsIn == Context::SystemProcess)
            status = CarryOutInSystemProcess(device, irp, *row);
        else
            status = CarryOutUnderListMutex(device, irp, *row);
        // The event wait stays pending; its handler completes it later.
        if (row && row->Code == IoctlWaitButtonEvent && status == STATUS_PENDING)
            return STATUS_PENDING;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
