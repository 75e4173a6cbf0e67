// The ByteRing drain and the controller's framing state machine.
//
// Wire format, controller to driver:
//
//   TouchReport, 5 bytes          CommandResponse, 2 + N bytes
//   +------+------+------+------+------+   +------+------+---------------+
//   | 1000 | X hi | X lo | Y hi | Y lo |   | 0x0A |  N   | N payload ... |
//   | sss T| 0..7F| 0..7F| 0..7F| 0..7F|   +------+------+---------------+
//   +------+------+------+------+------+   N above 16 counts as 16.
//   T = 1 while touched; X = hi*128+lo.    Parameter answer: 'C', index,
//                                          low byte, high byte.
//
// A byte 0x80..0x8F always opens a new report unless a response is open, so
// reports resynchronise on the next status byte; stray bytes while idle are
// dropped.
#include "config/diagnostics.h"
#include "pipeline/pipeline.h"

namespace {

constexpr UCHAR ResponseStartByte = 0x0A;
constexpr UCHAR ParameterCommandLetter = 0x43; // 'C'
constexpr UCHAR LastParameterIndex = ParameterWordCount - 1;
constexpr ULONG ReportLength = 5;
constexpr LONG LengthByteNext = -1;

bool IsReportStart(UCHAR byte)
{
    return (byte & 0xF0) == 0x80;
}

void OpenReport(DeviceExtension* device, UCHAR statusByte)
{
    device->ReportBytes[0] = statusByte;
    device->ReportIndex = 1;
    device->InReport = 1;
}

void OpenResponse(DeviceExtension* device)
{
    device->InResponse = 1;
    device->ResponseRemaining = LengthByteNext;
    device->ResponseLength = 0;
}

// A parameter answer: stores its word and, with the last word, applies the
// whole memory. Any other payload is ignored.
void HandleResponsePayload(DeviceExtension* device)
{
    if (device->ResponseLength < 2 || device->ResponseBuffer[0] != ParameterCommandLetter)
        return;
    UCHAR index = device->ResponseBuffer[1];
    // A truncated answer (two or three payload bytes) carries no word.
    if (index < ParameterWordCount && device->ResponseLength >= 4)
        device->ParameterMemory[index] =
            USHORT(device->ResponseBuffer[2] | device->ResponseBuffer[3] << 8);
    if (index == LastParameterIndex) {
        PrintDebugMessage(DebugMessage::ReadDone);
        device->ParametersLoaded = 1;
        // A calibration written through the driver is the user's: the
        // controller's memory replaces only one that never was.
        if (!device->Settings.CalibrationSaved) {
            ApplyCornerParameters(device);
            ApplyGridParameters(device);
        }
    }
    KeSetEvent(&device->ResponseEvent, IO_NO_INCREMENT, FALSE);
}

void CloseResponse(DeviceExtension* device)
{
    device->InResponse = 0;
    HandleResponsePayload(device);
}

void FeedResponseByte(DeviceExtension* device, UCHAR byte)
{
    if (device->ResponseRemaining == LengthByteNext) {
        device->ResponseRemaining = byte > ResponseBufferSize ? LONG(ResponseBufferSize) : byte;
        device->ResponseLength = 0;
        // A length of 0 is an empty payload: the response ends here.
        if (device->ResponseRemaining == 0)
            CloseResponse(device);
        return;
    }
    device->ResponseRemaining--;
    device->ResponseBuffer[device->ResponseLength++] = byte;
    if (device->ResponseRemaining == 0)
        CloseResponse(device);
}

void FeedReportByte(DeviceExtension* device, UCHAR byte)
{
    if (device->ReportIndex == 0)
        return;
    device->ReportBytes[device->ReportIndex++] = byte;
    if (device->ReportIndex == ReportLength) {
        ProcessTouchReport(device);
        device->ReportIndex = 0;
        device->InReport = 0;
    }
}

SHORT SignedLowByte(USHORT word)
{
    return SHORT(static_cast<signed char>(word & 0xFF));
}
SHORT SignedHighByte(USHORT word)
{
    return SHORT(static_cast<signed char>(word >> 8));
}

// The next ReportLength bytes of the ring from `head`, when they are a whole
// report: a status byte and four bytes that are not. Outside a response the
// framing would take exactly these five as one report, whatever it held
// before, so they can go to the report in one step instead of byte by byte.
bool PeekWholeReport(const DeviceExtension* device, ULONG head, ULONG count, UCHAR* report)
{
    if (count < ReportLength || device->InResponse)
        return false;
    const ULONG capacity = device->RingCapacity;
    for (ULONG i = 0; i < ReportLength; ++i) {
        report[i] = device->RingBuffer[head];
        head = AdvanceRingIndex(head, 1, capacity);
    }
    if (!IsReportStart(report[0]))
        return false;
    for (ULONG i = 1; i < ReportLength; ++i)
        if (IsReportStart(report[i]))
            return false;
    return true;
}

// What feeding a whole report byte by byte ends with.
void TakeWholeReport(DeviceExtension* device, const UCHAR* report)
{
    for (ULONG i = 0; i < ReportLength; ++i)
        device->ReportBytes[i] = report[i];
    ProcessTouchReport(device);
    device->ReportIndex = 0;
    device->InReport = 0;
}

// Feeds every byte in the ring to the framing, oldest first. The indices
// stay in locals until the end: nothing the framing calls touches the ring,
// and the device's Lock keeps the read completion out.
void DrainRing(DeviceExtension* device)
{
    PUCHAR ring = device->RingBuffer;
    const ULONG capacity = device->RingCapacity;
    ULONG head = device->RingHead;
    ULONG count = device->RingCount;
    while (count != 0) {
        UCHAR report[ReportLength];
        if (PeekWholeReport(device, head, count, report)) {
            TakeWholeReport(device, report);
            head = AdvanceRingIndex(head, ReportLength, capacity);
            count -= ReportLength;
            continue;
        }
        UCHAR byte = ring[head];
        head = AdvanceRingIndex(head, 1, capacity);
        --count;
        FeedFramingByte(device, byte);
    }
    device->RingHead = head;
    device->RingCount = 0;
}

} // namespace

void FeedFramingByte(DeviceExtension* device, UCHAR byte)
{
    if (IsReportStart(byte) && !device->InResponse)
        OpenReport(device, byte); // an open report is abandoned
    else if (byte == ResponseStartByte && !device->InResponse && !device->InReport)
        OpenResponse(device);
    else if (device->InResponse)
        FeedResponseByte(device, byte);
    else
        FeedReportByte(device, byte);
}

// DISPATCH_LEVEL. Takes the control device's Lock, then the touch device's.
VOID NTAPI ParseReceivedBytes(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                              PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* device = static_cast<DeviceExtension*>(DeferredContext);
    if (!IsTouchDevice(device))
        return;
    DeviceExtension* control = ControlRecord();
    if (!control)
        return; // nothing could take the reports; the ring keeps the bytes

    SpinLockGuard controlLock(&control->Lock);
    SpinLockGuard deviceLock(&device->Lock);
    DrainRing(device);
}

// The words name corners as lower-left, lower-right, upper-left, upper-right.
void ApplyCornerParameters(DeviceExtension* device)
{
    PrintDebugMessage(DebugMessage::UpdateCornerCalibration);
    const USHORT* word = device->ParameterMemory;
    TouchSettings& s = device->Settings;
    s.LLX = word[0];
    s.LLY = word[1];
    s.LRX = word[2];
    s.LRY = word[3];
    s.ULX = word[4];
    s.ULY = word[5];
    s.URX = word[6];
    s.URY = word[7];
    InvalidateCornerMaps(device);
}

void ApplyGridParameters(DeviceExtension* device)
{
    PrintDebugMessage(DebugMessage::UpdateGridCalibration);
    const USHORT* word = device->ParameterMemory;
    TouchSettings& s = device->Settings;
    // Words 8..32 list the points row by row; the grid keeps them column by column.
    for (ULONG k = 0; k < GridPointCount; ++k) {
        ULONG row = k / 5, column = k % 5;
        USHORT w = word[8 + k];
        s.GridX[5 * column + row] = SignedLowByte(w);
        s.GridY[5 * column + row] = SignedHighByte(w);
    }
    s.GridLLX = word[33];
    s.GridLLY = word[34];
    s.GridLRX = word[35];
    s.GridLRY = word[36];
    s.GridULX = word[37];
    s.GridULY = word[38];
    s.GridURX = word[39];
    s.GridURY = word[40];
    InvalidateCornerMaps(device);
    USHORT flags = word[58];
    s.CalFlags = flags;
    device->GridEnabled = (flags & CalFlagGridOn) ? 1 : 0;
    device->SwapXY = (flags & CalFlagSwapXY) ? 1 : 0;
    s.CalAux = 0;
}
