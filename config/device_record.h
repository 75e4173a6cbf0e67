// The one record every device of the driver carries, whatever its kind, and
// the driver-wide pointer to the control device.
//
// Kinds: the mouse-port device (IsMousePort), the control device (IsControl)
// and touch devices (both flags clear), which serve one serial controller each.
#pragma once

#include "platform/ntutil.h"

constexpr ULONG DriverPoolTag = PoolTagFromText("Wdm ");
constexpr ULONG MousePortRemoveLockTag = PoolTagFromText("Phct");

constexpr ULONG InputQueueCapacity = 128;
constexpr ULONG ByteRingCapacity = 64;
constexpr ULONG ReadSize = 5;
constexpr ULONG ResponseBufferSize = 16;
constexpr ULONG ParameterWordCount = 64;
constexpr ULONG CommandSize = 4;
constexpr ULONG GridPointCount = 25;

// ModeStatus bit: the device came from an interface arrival or a control
// request and is never persisted.
constexpr ULONG ModeStatusDynamic = 0x2;

// CalFlags bits, as the controller's word 58 carries them.
constexpr USHORT CalFlagGridOn = 0x1;
constexpr USHORT CalFlagSwapXY = 0x2;

// MouseMode bits.
constexpr ULONG MouseModeClickAssistOff = 0x3;
constexpr ULONG MouseModeNotifyOnUp = 0x10000000;
constexpr ULONG MouseModeNotifyOnDown = 0x20000000;
constexpr ULONG MouseModeRightButton = 0x80000000;

constexpr LONGLONG DefaultClickDueTime = -10000000; // one second

struct DeviceExtension;

struct ListNode {
    ListNode* Prev;
    ListNode* Next;
    PDEVICE_OBJECT Device;
};

// The control device's InternalServiceCallback, as touch devices call it.
typedef VOID NTAPI InternalServiceRoutine(PDEVICE_OBJECT ControlDevice, PMOUSE_INPUT_DATA First,
                                          ULONG Count, PULONG Consumed);

// The mouse class driver's service callback, as CONNECT_DATA carries it.
typedef VOID NTAPI ClassServiceRoutine(PDEVICE_OBJECT ClassDevice, PMOUSE_INPUT_DATA Start,
                                       PMOUSE_INPUT_DATA End, PULONG Consumed);

// A set of four calibration corners, in the order the record keeps them.
struct CornerSet {
    LONG LLX, LLY, LRX, LRY, URX, URY, ULX, ULY;
};

// The per-device settings: one contiguous span that a device created from the
// registry receives whole (its registry image has the same layout).
struct TouchSettings {
    ULONG Interface;
    ULONG BaudRate;
    ULONG ModeStatus;
    LONG LLX, LLY, LRX, LRY, URX, URY, ULX, ULY;
    ULONG RxBufferSize;
    ULONG PointBufferSize;
    UNICODE_STRING PortNameSetting;
    ULONG Mode;
    ULONG XDeviation;
    ULONG YDeviation;
    ULONG SelDelay;
    ULONG ClickDelay;
    LONG CalOriginX, CalOriginY;
    USHORT CalFlags;
    USHORT CalAux;
    LONG GridLLX, GridLLY, GridLRX, GridLRY, GridURX, GridURY, GridULX, GridULY;
    LONG GridX[GridPointCount];
    LONG GridY[GridPointCount];
    // The part of the virtual desktop this device's records cover, in
    // 0..65536 units of the whole desktop; all zero: no rectangle.
    ULONG ScreenLeft, ScreenTop, ScreenRight, ScreenBottom;
    // 1 once the calibration (corners, grid, CalFlags) was written through
    // the driver: it is then kept in the registry and outranks the
    // controller's own memory at every connect.
    ULONG CalibrationSaved;
};

// One triangle of a corner set's mapping onto the reference square: its
// quartered determinant and coefficients. Maps is 0 when the triangle is
// degenerate or one of them did not fit 64 bits; the point then passes
// unchanged.
struct TriangleMap {
    LONGLONG D4, Kx1, Kx2, Ky1, Ky2;
    UCHAR Maps;
};

// What a corner set's mapping takes from the corners alone, worked out once
// after they change instead of for every report.
struct CornerMap {
    LONG OriginX, OriginY;        // the lower-left corner
    LONGLONG Dx, Dy;              // the diagonal, lower-left to upper-right
    UCHAR UpperLeftCrossNegative; // the upper-left corner's side of the diagonal
    // 1 when the diagonal and the coefficients are small enough that no
    // step of any 32-bit point can overflow 64 bits: a report then needs no
    // overflow checks. Real panels' corners always are.
    UCHAR Narrow;
    TriangleMap UpperLeft, LowerRight;
};

constexpr ULONG ScreenUnits = 0x10000;

// A rectangle the pipeline can map into: L < R <= 65536 and T < B <= 65536.
inline bool IsValidScreenRect(ULONG left, ULONG top, ULONG right, ULONG bottom)
{
    return left < right && right <= ScreenUnits && top < bottom && bottom <= ScreenUnits;
}

inline bool HasScreenRect(const TouchSettings& s)
{
    return s.ScreenRight != 0;
}

struct DeviceExtension {
    // Identity and stack links
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT PortDevice;
    PFILE_OBJECT PortFileObject;
    UCHAR IsMousePort;
    UCHAR IsControl;
    LONG OpenCount;
    UCHAR PortOpen;
    UCHAR ClassEnabled;
    KSPIN_LOCK Lock;
    KMUTEX ListMutex;
    ListNode* PortList;
    IO_REMOVE_LOCK RemoveLock;
    MOUSE_ATTRIBUTES MouseAttributes;

    // Service links
    PDEVICE_OBJECT ClassDevice;
    ClassServiceRoutine* ClassService;
    PDEVICE_OBJECT ServiceTarget;
    InternalServiceRoutine* ServiceRoutine;
    USHORT UnitIndex;

    // Input queue (control device)
    PMOUSE_INPUT_DATA QueueBuffer;
    ULONG QueueHead;
    ULONG QueueTail;
    ULONG QueueCount;
    ULONG QueueCapacity;

    // Serial input (touch devices)
    PIRP ReadIrp;
    UCHAR ReportBytes[5];
    ULONG ReportIndex;
    UCHAR ReadBuffer[ReadSize];
    PUCHAR RingBuffer;
    ULONG RingHead;
    ULONG RingTail;
    ULONG RingCount;
    ULONG RingCapacity;
    PVOID ReaderThread;
    KEVENT StopEvent;
    KEVENT ReadDoneEvent;

    TouchSettings Settings;
    // Derived from the two corner sets of Settings and guarded like them;
    // whoever writes the corners clears CornerMapsCurrent.
    CornerMap CalibrationMap;
    CornerMap GridMap;
    UCHAR CornerMapsCurrent;

    // Deferred procedures
    KDPC DeliveryDpc;
    KDPC ParseDpc;
    ULONG DeviceNumber;

    // Names and paths
    UNICODE_STRING DeviceName;
    UNICODE_STRING LinkName;
    UNICODE_STRING RegistrySubkey;
    UNICODE_STRING PortPath;
    UNICODE_STRING PortName;
    // A configured device whose stored COMM is too long to use has no port
    // name; the stored text is kept whole so that writing the device's
    // settings back never replaces it.
    UNICODE_STRING StoredPortName;
    UNICODE_STRING DriverRegistryPath;

    // Touch state
    UCHAR PenDown;
    MOUSE_INPUT_DATA LastRecord;
    ListNode* DynamicList;
    PVOID NotificationEntry;
    UCHAR InReport;
    UCHAR InResponse;
    LONG ResponseRemaining;
    ULONG ResponseLength;
    UCHAR ResponseBuffer[ResponseBufferSize];
    UCHAR ParametersLoaded;
    PIRP WriteIrp;
    USHORT ParameterMemory[ParameterWordCount];
    UCHAR CommandBuffer[CommandSize];
    UCHAR Stopping;
    PVOID ParameterThread;
    KEVENT ResponseEvent;
    UCHAR SwapXY;
    UCHAR GridEnabled;

    // Click assist
    UCHAR ClickPending;
    MOUSE_INPUT_DATA ClickRecord;
    KTIMER ClickTimer;
    LONGLONG ClickDueTime;
    KDPC ClickTimerDpc;
    ULONG ClickMoves;

    // Global settings (control device)
    PIRP EventIrp;
    ULONG NotifyMask;
    ULONG MouseMode;
    ULONG DoubleClickSpeed;
    LONG DoubleClickSize;
    ULONG Language;
    LONG A0, A1, A2, A3;
    LONG Uppper;
    LONG Low;
    LONG FilterThreshold;
    ULONG Filter;
    ULONG Rotation;

    // Serial link bookkeeping (touch devices), all under the device's Lock
    // except the thread objects. The referenced thread objects outlive the
    // ReaderThread/ParameterThread markers, which the threads clear before
    // they are quite done, so whoever releases a thread can wait for its end.
    PVOID ReaderThreadObject;
    PVOID ParameterThreadObject;
    KEVENT ReaderStarted;        // lets a new reader run once it is recorded
    KEVENT ParameterReadStarted; // the same for the parameter read thread
    UCHAR ReadInFlight;          // ReadIrp is with the port
    UCHAR ReaderCancelling;      // the reader is cancelling ReadIrp: only it may free it
    UCHAR ReadReleaseDeferred;   // the completion left the freeing to the reader
    UCHAR WriteInFlight;         // WriteIrp is with the port
    UCHAR ParameterDraining;     // the parameter thread sends no more commands
    KEVENT WriteIdleEvent;       // signalled whenever WriteIrp is not with the port
    // The port is wanted but not there: it was absent at the last try to
    // open it, or it went away under the reader. Such a configured device
    // opens by itself when a serial port arrives. Under the device's Lock.
    UCHAR AwaitingPort;

    // Device handles where addresses are wider than 32 bits: a touch device's
    // own handle, and on the control device the next one to give out.
    ULONG DeviceHandle;
    ULONG NextDeviceHandle;

    // Interface registrations of the control device older than
    // NotificationEntry: each start registers anew, and every registration
    // must end before the control device goes.
    PVOID EarlierNotificationEntries[7];
    // The control device's registration for serial port arrivals.
    PVOID PortArrivalEntry;

    // Set on the control device, under ListMutex, while no mouse-port device
    // serves it: from a removal until the next AddDevice brings the configured
    // devices back. Requests, and notifications that arrive late, then find
    // it removed and do nothing.
    UCHAR ControlRemoved;
};

// The control device, or null before it exists and after it is destroyed.
extern PDEVICE_OBJECT ControlDeviceObject;

inline DeviceExtension* ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<DeviceExtension*>(device->DeviceExtension);
}

inline DeviceExtension* ControlRecord()
{
    return ControlDeviceObject ? ExtensionOf(ControlDeviceObject) : nullptr;
}

inline ULONG CountListNodes(const ListNode* head)
{
    ULONG count = 0;
    for (; head; head = head->Next)
        ++count;
    return count;
}

// Every writer of the corners calls this while it still holds whatever
// guards its write; the next report works the mappings out afresh.
inline void InvalidateCornerMaps(DeviceExtension* device)
{
    device->CornerMapsCurrent = 0;
}

inline bool IsTouchDevice(const DeviceExtension* device)
{
    return !device->IsMousePort && !device->IsControl;
}

// Initialisers for a freshly created, zero-filled record.
void InitializeMousePortRecord(PDEVICE_OBJECT device);
void InitializeControlRecord(PDEVICE_OBJECT device);
// Fails when the byte ring cannot be allocated; such a device must never be
// started, and its ring capacity stays 0 so nothing is ever stored in it.
NTSTATUS InitializeTouchRecord(PDEVICE_OBJECT device);

// The per-device settings every new touch device starts with.
void SetDefaultTouchSettings(TouchSettings* settings);

// Frees the pool storage the initialisers allocated.
void FreeTouchRecordStorage(DeviceExtension* device);
void FreeControlRecordStorage(DeviceExtension* device);
