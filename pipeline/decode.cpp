// The per-report pipeline, report decoding and the four-corner calibration.
//
// The calibration splits the quadrilateral of four measured corners along
// its lower-left to upper-right diagonal and maps the triangle holding the
// point affinely onto the reference square 102..1945. Every division
// truncates toward zero, each on its own, in the order the steps give.
// Intermediates are 64 bits wide and checked: where the 32-bit steps would
// have overflowed, the wider values keep the point where it belongs, and a
// mapping that does not even fit 64 bits counts as degenerate. The steps
// that depend on the corners alone run once after the corners change (the
// device's CornerMap of each set); only the point's own steps run per report.
#include "pipeline/pipeline.h"

namespace {

// A 64-bit value that remembers whether any step producing it overflowed.
struct Checked {
    LONGLONG Value;
    bool Valid;

    constexpr Checked(LONGLONG value)
        : Value(value), Valid(true) {} // implicit: formulas read as written
    constexpr Checked(LONGLONG value, bool valid) : Value(value), Valid(valid) {}

    friend Checked operator+(Checked a, Checked b)
    {
        LONGLONG r;
        bool overflow = __builtin_add_overflow(a.Value, b.Value, &r);
        return Checked(r, a.Valid && b.Valid && !overflow);
    }
    friend Checked operator-(Checked a, Checked b)
    {
        LONGLONG r;
        bool overflow = __builtin_sub_overflow(a.Value, b.Value, &r);
        return Checked(r, a.Valid && b.Valid && !overflow);
    }
    friend Checked operator*(Checked a, Checked b)
    {
        LONGLONG r;
        bool overflow = __builtin_mul_overflow(a.Value, b.Value, &r);
        return Checked(r, a.Valid && b.Valid && !overflow);
    }
    // Truncating division; the caller makes sure the divisor is not 0.
    friend Checked operator/(Checked a, Checked b)
    {
        if (!a.Valid || !b.Valid || b.Value == 0 || (b.Value == -1 && a.Value == LongLongMin))
            return Checked(0, false);
        return Checked(a.Value / b.Value);
    }
};

CornerSet CornersOf(const DeviceExtension* device, CornerSetKind set)
{
    const TouchSettings& s = device->Settings;
    if (set == CornerSetKind::Calibration)
        return CornerSet{s.LLX, s.LLY, s.LRX, s.LRY, s.URX, s.URY, s.ULX, s.ULY};
    return CornerSet{s.GridLLX, s.GridLLY, s.GridLRX, s.GridLRY,
                     s.GridURX, s.GridURY, s.GridULX, s.GridULY};
}

// The signed cross product of the diagonal with the corner-to-point vector.
Checked CornerCross(Checked dx, Checked dy, Checked ux, Checked uy)
{
    return dy * ux - dx * uy;
}

// The triangle on the upper-left corner's side of the diagonal has its third
// corner at (102, 1945), the other at (1945, 102).
TriangleMap TriangleOf(const CornerSet& c, Checked dx, Checked dy, Checked cU, bool upperLeft)
{
    Checked vx = upperLeft ? Checked(c.ULX) - c.LLX : Checked(c.LRX) - c.LLX;
    Checked vy = upperLeft ? Checked(c.ULY) - c.LLY : Checked(c.LRY) - c.LLY;
    LONG a0 = upperLeft ? 0 : ReferenceSpan;
    LONG a1 = ReferenceSpan;
    LONG a2 = upperLeft ? ReferenceSpan : 0;
    LONG a3 = ReferenceSpan;
    Checked d4 = (vx * dy - dx * vy) / 4;
    Checked kx1 = (Checked(a0) * dy - Checked(a1) * vy) / 4;
    Checked kx2 = (Checked(a1) * vx - Checked(a0) * dx) / 4;
    Checked ky1 = (Checked(a2) * dy - Checked(a3) * vy) / 4;
    Checked ky2 = (Checked(a3) * vx - Checked(a2) * dx) / 4;
    TriangleMap t;
    t.D4 = d4.Value;
    t.Kx1 = kx1.Value;
    t.Kx2 = kx2.Value;
    t.Ky1 = ky1.Value;
    t.Ky2 = ky2.Value;
    bool valid = d4.Valid && cU.Valid && kx1.Valid && kx2.Valid && ky1.Valid && ky2.Valid;
    t.Maps = valid && d4.Value != 0;
    return t;
}

// A point's offsets from the origin are below 2^32 in magnitude. With the
// diagonal at most 2^30, each product of the side test stays below 2^62 and
// their difference below 2^63; with coefficients at most 2^29, each mapped
// sum stays below 2^62, and so do its quotient and the reference offset
// added to it. Nothing can overflow: the checked and plain steps agree.
constexpr LONGLONG NarrowDiagonal = LONGLONG(1) << 30;
constexpr LONGLONG NarrowCoefficient = LONGLONG(1) << 29;

bool WithinMagnitude(LONGLONG value, LONGLONG limit)
{
    return -limit <= value && value <= limit;
}

bool TriangleIsNarrow(const TriangleMap& t)
{
    return !t.Maps ||
           (WithinMagnitude(t.Kx1, NarrowCoefficient) &&
            WithinMagnitude(t.Kx2, NarrowCoefficient) &&
            WithinMagnitude(t.Ky1, NarrowCoefficient) && WithinMagnitude(t.Ky2, NarrowCoefficient));
}

CornerMap BuildCornerMap(const CornerSet& c)
{
    Checked dx = Checked(c.URX) - c.LLX;
    Checked dy = Checked(c.URY) - c.LLY;
    Checked cU = CornerCross(dx, dy, Checked(c.ULX) - c.LLX, Checked(c.ULY) - c.LLY);
    CornerMap map;
    map.OriginX = c.LLX;
    map.OriginY = c.LLY;
    map.Dx = dx.Value;
    map.Dy = dy.Value;
    map.UpperLeftCrossNegative = cU.Value < 0;
    map.UpperLeft = TriangleOf(c, dx, dy, cU, true);
    map.LowerRight = TriangleOf(c, dx, dy, cU, false);
    map.Narrow = WithinMagnitude(map.Dx, NarrowDiagonal) &&
                 WithinMagnitude(map.Dy, NarrowDiagonal) && TriangleIsNarrow(map.UpperLeft) &&
                 TriangleIsNarrow(map.LowerRight);
    return map;
}

// The device's Lock held, as for the corners the mappings come from.
const CornerMap& CurrentCornerMap(DeviceExtension* device, CornerSetKind set)
{
    if (!device->CornerMapsCurrent)
        RefreshCornerMaps(device);
    return set == CornerSetKind::Calibration ? device->CalibrationMap : device->GridMap;
}

// The point is in the upper-left triangle when its cross product has the
// upper-left corner's sign.
const TriangleMap& TriangleHolding(const CornerMap& map, LONGLONG cross)
{
    return (map.UpperLeftCrossNegative != 0) == (cross < 0) ? map.UpperLeft : map.LowerRight;
}

LONG SaturateToLong(LONGLONG value)
{
    if (value < LONGLONG(LongMin))
        return LongMin;
    if (value > LONGLONG(LongMax))
        return LongMax;
    return LONG(value);
}

LONG ScaleToOutput(LONG reference)
{
    LONGLONG scaled = LONGLONG(reference) * (1 << OutputShift);
    if (scaled < 0)
        return 0;
    if (scaled > OutputMaximum)
        return OutputMaximum;
    return LONG(scaled);
}

USHORT ButtonTransition(UCHAR wasDown, UCHAR isDown, bool rightButton)
{
    if (wasDown == isDown)
        return 0;
    if (rightButton)
        return isDown ? MOUSE_RIGHT_BUTTON_DOWN : MOUSE_RIGHT_BUTTON_UP;
    return isDown ? MOUSE_LEFT_BUTTON_DOWN : MOUSE_LEFT_BUTTON_UP;
}

} // namespace

// Out of the per-report routine: it runs once after the corners change.
void RefreshCornerMaps(DeviceExtension* device)
{
    device->CalibrationMap = BuildCornerMap(CornersOf(device, CornerSetKind::Calibration));
    device->GridMap = BuildCornerMap(CornersOf(device, CornerSetKind::Grid));
    device->CornerMapsCurrent = 1;
}

namespace {

// The point's own steps with every intermediate checked.
void MapChecked(const CornerMap& map, LONG* x, LONG* y)
{
    Checked ux = Checked(*x) - map.OriginX;
    Checked uy = Checked(*y) - map.OriginY;
    Checked cross = CornerCross(map.Dx, map.Dy, ux, uy);
    const TriangleMap& t = TriangleHolding(map, cross.Value);
    if (!t.Maps || !cross.Valid)
        return;
    Checked mappedX = (Checked(t.Kx1) * ux + Checked(t.Kx2) * uy) / t.D4 + ReferenceLow;
    Checked mappedY = (Checked(t.Ky1) * ux + Checked(t.Ky2) * uy) / t.D4 + ReferenceLow;
    if (!mappedX.Valid || !mappedY.Valid)
        return;
    *x = SaturateToLong(mappedX.Value);
    *y = SaturateToLong(mappedY.Value);
}

// The same steps for a narrow map, where none can overflow.
void MapNarrow(const CornerMap& map, LONG* x, LONG* y)
{
    LONGLONG ux = LONGLONG(*x) - map.OriginX;
    LONGLONG uy = LONGLONG(*y) - map.OriginY;
    const TriangleMap& t = TriangleHolding(map, map.Dy * ux - map.Dx * uy);
    if (!t.Maps)
        return;
    *x = SaturateToLong((t.Kx1 * ux + t.Kx2 * uy) / t.D4 + ReferenceLow);
    *y = SaturateToLong((t.Ky1 * ux + t.Ky2 * uy) / t.D4 + ReferenceLow);
}

} // namespace

// A degenerate triangle (quarter determinant 0) has no mapping: the point
// passes unchanged. That is what a device created from the registry needs,
// whose grid corner set stays all zero until the controller's memory is read.
// Either way CalOriginX/Y record the set's lower-left corner.
void MapThroughCorners(DeviceExtension* device, LONG* x, LONG* y, CornerSetKind set)
{
    const CornerMap& map = CurrentCornerMap(device, set);
    device->Settings.CalOriginX = map.OriginX;
    device->Settings.CalOriginY = map.OriginY;
    if (map.Narrow)
        MapNarrow(map, x, y);
    else
        MapChecked(map, x, y);
}

void DecodeTouchReport(DeviceExtension* device, PMOUSE_INPUT_DATA record)
{
    DeviceExtension* control = ControlRecord();
    UCHAR wasDown = device->PenDown;
    record->Flags = MOUSE_MOVE_ABSOLUTE;
    record->UnitId = device->UnitIndex;
    UCHAR touching = device->ReportBytes[0] & 1;

    LONG x = LONG(device->ReportBytes[1]) * 128 + device->ReportBytes[2];
    LONG y = LONG(device->ReportBytes[3]) * 128 + device->ReportBytes[4];
    if (device->GridEnabled) {
        MapThroughCorners(device, &x, &y, CornerSetKind::Grid);
        ApplyGridCorrection(device, &x, &y);
    }
    MapThroughCorners(device, &x, &y, CornerSetKind::Calibration);

    x = ScaleToOutput(x);
    y = OutputMaximum - ScaleToOutput(y);
    if (device->SwapXY) {
        record->LastX = y;
        record->LastY = x;
    } else {
        record->LastX = x;
        record->LastY = y;
    }

    device->PenDown = touching;
    bool rightButton = (control->MouseMode & MouseModeRightButton) != 0;
    record->Buttons = ButtonTransition(wasDown, device->PenDown, rightButton);
    // The right-button mode lasts for one touch.
    if (!touching)
        control->MouseMode &= ~MouseModeRightButton;
}

// DISPATCH_LEVEL, control device's Lock and the touch device's Lock held.
// The last stage: a device given a rectangle of the virtual desktop has its
// record scaled into it, with wide intermediates and truncation.
void MapToScreenRect(DeviceExtension* device, PMOUSE_INPUT_DATA record)
{
    const TouchSettings& s = device->Settings;
    if (!HasScreenRect(s))
        return;
    record->Flags = MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP;
    record->LastX = LONG(s.ScreenLeft + LONGLONG(record->LastX) * (s.ScreenRight - s.ScreenLeft) /
                                            LONGLONG(ScreenUnits));
    record->LastY = LONG(s.ScreenTop + LONGLONG(record->LastY) * (s.ScreenBottom - s.ScreenTop) /
                                           LONGLONG(ScreenUnits));
}

void ProcessTouchReport(DeviceExtension* device)
{
    if (!device->ServiceTarget || !device->ServiceRoutine)
        return;
    MOUSE_INPUT_DATA record;
    RtlZeroMemory(&record, sizeof record);
    DecodeTouchReport(device, &record);
    RotateRecord(device, &record);
    SmoothRecord(device, &record);
    ClickAssist(device, &record);
    NotifyButtonEvent(device, &record);
    MapToScreenRect(device, &record);
    ULONG consumed = 0;
    device->ServiceRoutine(device->ServiceTarget, &record, 1, &consumed);
}

// PASSIVE_LEVEL; takes the control device's Lock, then the device's Lock.
// A port that goes away with the pen down would leave the button held in the
// system until the next touch: the release goes out where the pen last was.
void ReleaseHeldButton(DeviceExtension* device)
{
    DeviceExtension* control = ControlRecord();
    if (!control)
        return;
    SpinLockGuard controlLock(&control->Lock);
    SpinLockGuard deviceLock(&device->Lock);
    if (!device->PenDown || !device->ServiceTarget || !device->ServiceRoutine)
        return;
    MOUSE_INPUT_DATA record;
    RtlZeroMemory(&record, sizeof record);
    record.Flags = MOUSE_MOVE_ABSOLUTE;
    record.UnitId = device->UnitIndex;
    record.LastX = device->LastRecord.LastX;
    record.LastY = device->LastRecord.LastY;
    bool rightButton = (control->MouseMode & MouseModeRightButton) != 0;
    record.Buttons = ButtonTransition(1, 0, rightButton);
    device->PenDown = 0;
    control->MouseMode &= ~MouseModeRightButton;
    // The stroke ends here, in the shared filter as for a lifted pen, or the
    // next touch of any device would be averaged with it.
    EndSmoothingStroke();
    // No second tap can follow a touch the port took away.
    device->ClickPending = 0;
    KeCancelTimer(&device->ClickTimer);
    device->LastRecord = record;
    // The same final stages as every record: its button down went to the
    // device's part of the desktop, so must its release.
    NotifyButtonEvent(device, &record);
    MapToScreenRect(device, &record);
    ULONG consumed = 0;
    device->ServiceRoutine(device->ServiceTarget, &record, 1, &consumed);
}
