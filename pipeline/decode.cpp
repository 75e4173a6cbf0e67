// The per-report pipeline, report decoding and the four-corner calibration.
//
// The calibration splits the quadrilateral of four measured corners along
// its lower-left to upper-right diagonal and maps the triangle holding the
// point affinely onto the reference square 102..1945. Every division
// truncates toward zero, each on its own, in the order the steps give.
// Intermediates are 64 bits wide and checked: where the 32-bit steps would
// have overflowed, the wider values keep the point where it belongs, and a
// mapping that does not even fit 64 bits counts as degenerate.
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

// The working values of one mapping: diagonal, edge vector of the chosen
// triangle, its reference offsets and the quartered coefficients.
struct TriangleMap {
    Checked Dx = 0, Dy = 0;
    Checked D4 = 0;
    Checked Kx1 = 0, Kx2 = 0, Ky1 = 0, Ky2 = 0;
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
Checked CornerCross(const CornerSet& c, Checked px, Checked py)
{
    Checked dx = Checked(c.URX) - c.LLX;
    Checked dy = Checked(c.URY) - c.LLY;
    return dy * (px - c.LLX) - dx * (py - c.LLY);
}

TriangleMap SelectTriangle(DeviceExtension* device, const CornerSet& c, LONG x, LONG y)
{
    device->Settings.CalOriginX = c.LLX;
    device->Settings.CalOriginY = c.LLY;
    TriangleMap map;
    map.Dx = Checked(c.URX) - c.LLX;
    map.Dy = Checked(c.URY) - c.LLY;
    Checked cU = CornerCross(c, c.ULX, c.ULY);
    Checked cP = CornerCross(c, x, y);

    Checked vx = 0, vy = 0;
    LONG a0, a1, a2, a3;
    if ((cU.Value < 0) == (cP.Value < 0)) {
        // Upper-left triangle: its third corner is (102, 1945).
        vx = Checked(c.ULX) - c.LLX;
        vy = Checked(c.ULY) - c.LLY;
        a0 = 0;
        a1 = ReferenceSpan;
        a2 = ReferenceSpan;
        a3 = ReferenceSpan;
    } else {
        // Lower-right triangle: its third corner is (1945, 102).
        vx = Checked(c.LRX) - c.LLX;
        vy = Checked(c.LRY) - c.LLY;
        a0 = ReferenceSpan;
        a1 = ReferenceSpan;
        a2 = 0;
        a3 = ReferenceSpan;
    }
    map.D4 = (vx * map.Dy - map.Dx * vy) / 4;
    map.Kx1 = (Checked(a0) * map.Dy - Checked(a1) * vy) / 4;
    map.Kx2 = (Checked(a1) * vx - Checked(a0) * map.Dx) / 4;
    map.Ky1 = (Checked(a2) * map.Dy - Checked(a3) * vy) / 4;
    map.Ky2 = (Checked(a3) * vx - Checked(a2) * map.Dx) / 4;
    map.D4.Valid = map.D4.Valid && cU.Valid && cP.Valid;
    return map;
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

// A degenerate triangle (quarter determinant 0) has no mapping: the point
// passes unchanged. That is what a device created from the registry needs,
// whose grid corner set stays all zero until the controller's memory is read.
void MapThroughCorners(DeviceExtension* device, LONG* x, LONG* y, CornerSetKind set)
{
    CornerSet corners = CornersOf(device, set);
    TriangleMap map = SelectTriangle(device, corners, *x, *y);
    if (!map.D4.Valid || map.D4.Value == 0)
        return;
    Checked ux = Checked(*x) - device->Settings.CalOriginX;
    Checked uy = Checked(*y) - device->Settings.CalOriginY;
    Checked mappedX = (map.Kx1 * ux + map.Kx2 * uy) / map.D4 + ReferenceLow;
    Checked mappedY = (map.Ky1 * ux + map.Ky2 * uy) / map.D4 + ReferenceLow;
    if (!mappedX.Valid || !mappedY.Valid)
        return;
    *x = SaturateToLong(mappedX.Value);
    *y = SaturateToLong(mappedY.Value);
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
    // No second tap can follow a touch the port took away.
    device->ClickPending = 0;
    KeCancelTimer(&device->ClickTimer);
    NotifyButtonEvent(device, &record);
    device->LastRecord = record;
    ULONG consumed = 0;
    device->ServiceRoutine(device->ServiceTarget, &record, 1, &consumed);
}
