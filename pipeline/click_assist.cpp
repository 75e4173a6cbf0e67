// The click assist: after a first tap, the records that follow (the rest of
// that tap, its release and the landing of the second tap) snap onto the
// first tap's position while they stay within DoubleClickSize of it and
// arrive within the time and movement limits DoubleClickSpeed sets.
#include "pipeline/pipeline.h"

namespace {

constexpr ULONG MaximumDoubleClickSpeed = 10;
constexpr LONG ClickWindowStep = 3000000; // 0.3 s in 100 ns units
constexpr ULONG MovesPerSpeedStep = 3;

enum class RecordKind { Move, TapDown, TapUp, Other };

RecordKind KindOf(const MOUSE_INPUT_DATA& record)
{
    switch (record.Buttons) {
    case 0:
        return RecordKind::Move;
    case MOUSE_LEFT_BUTTON_DOWN:
        return RecordKind::TapDown;
    case MOUSE_LEFT_BUTTON_UP:
        return RecordKind::TapUp;
    default:
        return RecordKind::Other; // right-button records never take part
    }
}

bool WithinClickSize(const DeviceExtension* device, const MOUSE_INPUT_DATA& record, LONG size)
{
    LONGLONG dx = LONGLONG(record.LastX) - device->ClickRecord.LastX;
    LONGLONG dy = LONGLONG(record.LastY) - device->ClickRecord.LastY;
    return -LONGLONG(size) <= dx && dx <= size && -LONGLONG(size) <= dy && dy <= size;
}

void Snap(const DeviceExtension* device, PMOUSE_INPUT_DATA record)
{
    record->LastX = device->ClickRecord.LastX;
    record->LastY = device->ClickRecord.LastY;
}

void EndWait(DeviceExtension* device)
{
    device->ClickPending = 0;
    KeCancelTimer(&device->ClickTimer);
}

void HandleTapDown(DeviceExtension* device, PMOUSE_INPUT_DATA record, LONG size)
{
    if (device->ClickPending) {
        KeCancelTimer(&device->ClickTimer);
        if (WithinClickSize(device, *record, size)) {
            Snap(device, record);
            device->ClickPending = 0; // the double tap is complete
            return;
        }
    }
    device->ClickMoves = 0;
    device->ClickPending = 1;
    device->ClickRecord = *record;
}

// The first tap's release opens the time window for the second tap.
void HandleTapUp(DeviceExtension* device, DeviceExtension* control, PMOUSE_INPUT_DATA record)
{
    if (!device->ClickPending)
        return;
    if (!WithinClickSize(device, *record, control->DoubleClickSize)) {
        EndWait(device);
        return;
    }
    Snap(device, record);
    if (control->DoubleClickSpeed > MaximumDoubleClickSpeed)
        control->DoubleClickSpeed = MaximumDoubleClickSpeed;
    LONG window = -LONG(control->DoubleClickSpeed + 1) * ClickWindowStep;
    device->ClickDueTime = window;
    LARGE_INTEGER due;
    due.QuadPart = device->ClickDueTime;
    KeSetTimer(&device->ClickTimer, due, &device->ClickTimerDpc);
}

void HandleMove(DeviceExtension* device, const DeviceExtension* control, PMOUSE_INPUT_DATA record)
{
    device->ClickMoves++;
    if (!device->ClickPending)
        return;
    if (device->ClickMoves >= MovesPerSpeedStep * control->DoubleClickSpeed)
        EndWait(device);
    else if (WithinClickSize(device, *record, control->DoubleClickSize))
        Snap(device, record);
    else
        EndWait(device);
}

} // namespace

void ClickAssist(DeviceExtension* device, PMOUSE_INPUT_DATA record)
{
    DeviceExtension* control = ControlRecord();
    if ((control->MouseMode & MouseModeClickAssistOff) == 0) {
        switch (KindOf(*record)) {
        case RecordKind::TapDown:
            HandleTapDown(device, record, control->DoubleClickSize);
            break;
        case RecordKind::TapUp:
            HandleTapUp(device, control, record);
            break;
        case RecordKind::Move:
            HandleMove(device, control, record);
            break;
        case RecordKind::Other:
            break;
        }
    }
    device->LastRecord = *record;
}

// DISPATCH_LEVEL. Takes no lock: it only clears one byte of its device.
VOID NTAPI ClickTimerExpired(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                             PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    static_cast<DeviceExtension*>(DeferredContext)->ClickPending = 0;
}
