// The controller's byte stream into the parser and the whole per-report path,
// under any calibration, grid, rotation, filter and click-assist values:
// every record stays within 0..0x10000, the parser's state stays consistent,
// and once the garbage ends a report still decodes into records.
#include "fuzz/fuzz_input.h"
#include "pipeline/pipeline.h"
#include "sim/harness.h"

namespace {

void ExpectParserConsistent(const DeviceExtension& d)
{
    FUZZ_CHECK(!(d.InReport && d.InResponse));
    FUZZ_CHECK((d.ReportIndex == 0) == !d.InReport);
    FUZZ_CHECK(d.ReportIndex < 5);
    FUZZ_CHECK(d.ResponseLength <= ResponseBufferSize);
    FUZZ_CHECK(d.ResponseRemaining >= -1 && d.ResponseRemaining <= LONG(ResponseBufferSize));
    FUZZ_CHECK(d.RingCount <= d.RingCapacity);
}

size_t ExpectInRange(const std::vector<MOUSE_INPUT_DATA>& records)
{
    for (const MOUSE_INPUT_DATA& r : records) {
        FUZZ_CHECK(r.LastX >= 0 && r.LastX <= 0x10000);
        FUZZ_CHECK(r.LastY >= 0 && r.LastY <= 0x10000);
        FUZZ_CHECK((r.Flags & ~MOUSE_VIRTUAL_DESKTOP) == MOUSE_MOVE_ABSOLUTE);
    }
    return records.size();
}

void TakeSettings(fuzz::Input& in, DeviceExtension& device, DeviceExtension& control)
{
    TouchSettings& s = device.Settings;
    LONG* values[] = {&s.LLX,     &s.LLY,     &s.LRX,     &s.LRY,     &s.URX,     &s.URY,
                      &s.ULX,     &s.ULY,     &s.GridLLX, &s.GridLLY, &s.GridLRX, &s.GridLRY,
                      &s.GridURX, &s.GridURY, &s.GridULX, &s.GridULY};
    for (LONG* v : values)
        *v = in.Take<LONG>();
    InvalidateCornerMaps(&device);
    for (ULONG i = 0; i < GridPointCount; ++i) {
        s.GridX[i] = in.Take<LONG>();
        s.GridY[i] = in.Take<LONG>();
    }
    device.GridEnabled = in.Flag();
    device.SwapXY = in.Flag();
    ULONG left = in.Take<ULONG>(), top = in.Take<ULONG>();
    ULONG right = in.Take<ULONG>(), bottom = in.Take<ULONG>();
    if (IsValidScreenRect(left, top, right, bottom)) {
        s.ScreenLeft = left;
        s.ScreenTop = top;
        s.ScreenRight = right;
        s.ScreenBottom = bottom;
    }
    control.A0 = in.Take<LONG>();
    control.A1 = in.Take<LONG>();
    control.A2 = in.Take<LONG>();
    control.A3 = in.Take<LONG>();
    control.FilterThreshold = in.Take<LONG>();
    control.Filter = in.Take<ULONG>();
    control.Rotation = in.Take<ULONG>();
    control.DoubleClickSize = in.Take<LONG>();
    control.DoubleClickSpeed = in.Take<ULONG>();
    control.MouseMode = in.Take<ULONG>();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::CrashOnVerifierFailure();
    fuzz::Input in(data, size);
    hosted::Kernel kernel;
    {
        sim::PipelineRig rig(kernel);
        PDEVICE_OBJECT touch = rig.AddTouchDevice();
        DeviceExtension& device = *ExtensionOf(touch);
        TakeSettings(in, device, rig.ControlExt());
        ULONG perRead = 1 + in.Pick(5);
        rig.Receive(touch, in.Rest(), perRead);
        ExpectParserConsistent(device);
        ExpectInRange(rig.TakeRecords());

        // Seventeen idle bytes close any response the garbage opened (a
        // length byte and at most 16 payload bytes); then a touch and a lift.
        std::vector<UCHAR> after(17, 0x00);
        std::vector<UCHAR> touchBytes = sim::TouchReportBytes(8000, 8000, true);
        std::vector<UCHAR> liftBytes = sim::TouchReportBytes(8000, 8000, false);
        after.insert(after.end(), touchBytes.begin(), touchBytes.end());
        after.insert(after.end(), liftBytes.begin(), liftBytes.end());
        rig.Receive(touch, after, perRead);
        kernel.SleepMs(2000); // the click timer lets a held record go
        ExpectParserConsistent(device);
        FUZZ_CHECK(!device.InReport && !device.InResponse);
        FUZZ_CHECK(ExpectInRange(rig.TakeRecords()) > 0);
    }
    return 0;
}
