// The touch input pipeline: from bytes received on a serial port to records
// queued for the mouse class driver.
//
// Every per-report routine here runs inside a touch device's ParseDpc at
// DISPATCH_LEVEL, holding the control device's Lock and then the touch
// device's Lock; they take no lock of their own and allocate nothing.
#pragma once

#include "config/device_record.h"
#include "control/request_codes.h"

// Reference space of the calibration: the corners land on 102 and 1945.
constexpr LONG ReferenceLow = 102;
constexpr LONG ReferenceSpan = 1843;
constexpr LONG OutputShift = 5;
constexpr LONG OutputMaximum = 0x10000;

// An index into a ring of `capacity` slots moved on by `step`; index below
// capacity and step at most capacity. A compare instead of a division: the
// byte ring and the input queue move their indices for every byte and record.
inline ULONG AdvanceRingIndex(ULONG index, ULONG step, ULONG capacity)
{
    ULONG next = index + step;
    return next >= capacity ? next - capacity : next;
}

// ---- byte_ring.cpp, parser.cpp: bytes to reports and parameter words -------

// Called by the read completion with the device's Lock held: copies `count`
// bytes of ReadBuffer into the ring and queues the ParseDpc.
void AppendReceivedBytes(DeviceExtension* device, ULONG count);

// The ParseDpc routine; its context is the touch device's record.
KDEFERRED_ROUTINE ParseReceivedBytes;

// One byte through the framing state machine.
void FeedFramingByte(DeviceExtension* device, UCHAR byte);

void ApplyCornerParameters(DeviceExtension* device);
void ApplyGridParameters(DeviceExtension* device);

// ---- decode.cpp: report decoding and four-corner calibration ---------------

enum class CornerSetKind { Calibration, Grid };

void ProcessTouchReport(DeviceExtension* device);
void MapToScreenRect(DeviceExtension* device, PMOUSE_INPUT_DATA record);
void DecodeTouchReport(DeviceExtension* device, PMOUSE_INPUT_DATA record);
void MapThroughCorners(DeviceExtension* device, LONG* x, LONG* y, CornerSetKind set);
// Works out both corner sets' mappings from the corners now in Settings;
// the device's Lock held, as for the corners.
void RefreshCornerMaps(DeviceExtension* device);
// Delivers the button-up of a touch still in progress, at its last position:
// for a reader that ends while the pen is down. PASSIVE_LEVEL; takes the
// control device's Lock and the device's Lock.
void ReleaseHeldButton(DeviceExtension* device);

// ---- grid.cpp: 25-point grid correction -----------------------------------

void ApplyGridCorrection(DeviceExtension* device, LONG* x, LONG* y);
void InterpolateGridOffset(DeviceExtension* device, SHORT fx, SHORT fy, SHORT row, SHORT column,
                           LONG* x, LONG* y);

// ---- rotate_filter.cpp: rotation and the shared smoothing filter -----------

constexpr ULONG FilterHistory = 4;

struct SmoothingFilterState {
    LONG FilterPosition; // -1: no stroke in progress; else the next slot
    LONG HistoryX[FilterHistory];
    LONG HistoryY[FilterHistory];
    LONG WeightX[FilterHistory]; // by age: 0 oldest, 3 newest
    LONG WeightY[FilterHistory];
    // Sums kept wide so that no registry weight can overflow them.
    LONGLONG WeightSumX;
    LONGLONG WeightSumY;
};

constexpr SmoothingFilterState InitialSmoothingFilter = {-1, {}, {}, {}, {}, 0, 0};

// The one filter state of the driver, shared by every touch device.
extern SmoothingFilterState SmoothingFilter;

void RotateRecord(DeviceExtension* device, PMOUSE_INPUT_DATA record);
void SmoothRecord(DeviceExtension* device, PMOUSE_INPUT_DATA record);
// Ends the stroke in progress as a pen-up report would, without a sample:
// for a touch that ends without one. Control device's Lock held.
void EndSmoothingStroke();

// ---- click_assist.cpp: double-tap snapping ---------------------------------

void ClickAssist(DeviceExtension* device, PMOUSE_INPUT_DATA record);

// The ClickTimerDpc routine; its context is the touch device's record.
KDEFERRED_ROUTINE ClickTimerExpired;

// ---- notify.cpp: button-event notification and its three requests ---------

void NotifyButtonEvent(DeviceExtension* device, PMOUSE_INPUT_DATA record);

// Request handlers on the control device, called at PASSIVE_LEVEL. Each sets
// the request's status block and returns its status; the caller completes
// the request unless STATUS_PENDING comes back.
NTSTATUS SetNotifyMask(PDEVICE_OBJECT control, PIRP irp);
NTSTATUS GetNotifyMask(PDEVICE_OBJECT control, PIRP irp);
NTSTATUS WaitForButtonEvent(PDEVICE_OBJECT control, PIRP irp);

// Completes a waiting EventIrp with `status`, if there is one. For handle
// close and teardown; takes the control device's Lock.
void CompletePendingButtonEvent(DeviceExtension* control, NTSTATUS status);

// ---- input_queue.cpp: the link, the input queue and its delivery -----------

NTSTATUS LinkTouchDevice(PDEVICE_OBJECT touch, PDEVICE_OBJECT control);
InternalServiceRoutine InternalServiceCallback;

// The DeliveryDpc routine; its context is the control device's record.
KDEFERRED_ROUTINE DeliverQueuedRecords;
