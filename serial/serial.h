// The serial link of a touch device: binding it to its port, the reader
// thread that keeps one read outstanding, and the parameter read thread that
// reads the controller's 64 parameter words.
//
// Every routine here runs at PASSIVE_LEVEL unless it says otherwise.
// Completions take the touch device's Lock; nothing else here takes a spin
// lock. Control requests and the port removal callback hold ListMutex.
#pragma once

#include "config/device_record.h"
#include "control/request_codes.h"

// ---- port.cpp: binding ----------------------------------------------------

NTSTATUS BindPort(PDEVICE_OBJECT device);
bool AllocateReadRequest(PDEVICE_OBJECT device);
bool AllocateWriteRequest(PDEVICE_OBJECT device);
void EnsurePortReady(PDEVICE_OBJECT device);
NTSTATUS OpenPort(PDEVICE_OBJECT device);
NTSTATUS ClosePort(PDEVICE_OBJECT device);
bool SendSerialRequest(ULONG code, PDEVICE_OBJECT port, PVOID input, ULONG inputLength,
                       PVOID output, ULONG outputLength, ULONG_PTR* information);
NTSTATUS RegisterPortRemovalNotification(PDEVICE_OBJECT device);
NTSTATUS UnregisterNotification(PDEVICE_OBJECT device);
DRIVER_NOTIFICATION_CALLBACK_ROUTINE PortRemovalCallback;

// Control requests 0x80000400 and 0x80000404 on a touch device's record; the
// caller holds ListMutex and completes the request.
NTSTATUS ClosePortRequest(DeviceExtension* device, PIRP irp);
NTSTATUS OpenPortRequest(DeviceExtension* device, PIRP irp);

// Stops both threads for good and releases everything the serial link
// holds: for the teardown of a touch device. Waits as long as it takes.
void ShutDownSerialLink(DeviceExtension* device);

// ---- reader.cpp: the reader thread ----------------------------------------

void StartReader(DeviceExtension* device);
KSTART_ROUTINE ReaderThreadMain;
IO_COMPLETION_ROUTINE ReadCompletion;

// ---- parameter_read.cpp: the parameter read thread -------------------------

void StartParameterRead(DeviceExtension* device);
KSTART_ROUTINE ParameterThreadMain;
IO_COMPLETION_ROUTINE WriteCompletion;

// ---- device_threads.cpp: system threads of a touch device ------------------

// Starts routine(device) as a system thread at priority 16; returns its
// referenced object, or null when no thread could be created.
PVOID CreateDeviceThread(PKSTART_ROUTINE routine, DeviceExtension* device);
// Runs routine(device, context) on a system worker thread, in the system
// process, and waits until the routine signals `done` (initialised by the
// caller). False, with nothing run, when no work item could be allocated.
bool RunOnSystemWorker(PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine, PVOID context,
                       PKEVENT done);
// Starts routine(device) and records it in both fields before letting it
// run: the thread waits for `started` before it looks at the record.
bool LaunchDeviceThread(PKSTART_ROUTINE routine, DeviceExtension* device, PVOID* threadObject,
                        PVOID* runningMarker, PKEVENT started);
void RaiseToReaderPriority();
[[noreturn]] void EndDeviceThread();
// The common start of both thread bodies: ends the thread at once for a
// record of another kind, waits until the starter recorded it, raises it
// to priority 16, and ends it when above PASSIVE_LEVEL or without its request.
void EnterDeviceThread(DeviceExtension* device, PKEVENT started, PIRP* request);
// Releases a thread's object once the thread has announced its end (its
// running marker is null), after waiting for it to be fully gone.
void ReleaseEndedThread(DeviceExtension* device, PVOID* threadObject, PVOID const* runningMarker);
// The running markers (ReaderThread, ParameterThread), read and written
// under the device's Lock.
bool ThreadRecorded(DeviceExtension* device, PVOID const* runningMarker);
void SetThreadMarker(DeviceExtension* device, PVOID* runningMarker, PVOID value);
// Stopping is read by the write completion under the device's Lock; every
// other reader and writer goes through the Lock as well.
void SetStopping(DeviceExtension* device, UCHAR stopping);
bool IsStopping(DeviceExtension* device);
// The parser sets ParametersLoaded under the device's Lock; read it so.
bool ParametersAreLoaded(DeviceExtension* device);
// True when the thread behind the object has ended (or there is none).
bool ThreadGone(PVOID threadObject);

// Shared helpers.
bool IsDisconnectStatus(NTSTATUS status);
void DelayMs(LONGLONG milliseconds);

// ---- interface.cpp: interfaces of the companion class ----------------------

// The companion interface class: devices that expose it behave as serial
// ports with a touch controller behind them.
constexpr GUID CompanionInterfaceClass = {
    0x6f1d2b7a, 0x3c44, 0x4e0b, {0x9a, 0x61, 0x2d, 0x7e, 0x55, 0x10, 0xc8, 0x3f}};

// Serial ports announce this class (GUID_DEVINTERFACE_COMPORT) when they
// arrive: a configured device waiting for its port then tries it again.
constexpr GUID ComPortInterfaceClass = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// Registers for arrivals of both classes; each start registers the
// companion class anew, serial ports once.
NTSTATUS RegisterInterfaceNotification(PDEVICE_OBJECT controlDevice);
DRIVER_NOTIFICATION_CALLBACK_ROUTINE PortArrivalCallback;
// Opens every configured device that waits for its port; ListMutex held.
void OpenAwaitedPorts(DeviceExtension* control);
// Whether `device` is in one of the control device's lists; ListMutex held.
// A notification's context is looked up so, never used before: the callback
// may come after the device's registration ended and the device is gone.
bool IsListedDevice(DeviceExtension* control, PDEVICE_OBJECT device);
void SetAwaitingPort(DeviceExtension* device, UCHAR awaiting);
DRIVER_NOTIFICATION_CALLBACK_ROUTINE InterfaceChangeCallback;
NTSTATUS InterfaceArrival(PDEVICE_OBJECT controlDevice, PCUNICODE_STRING linkName);
NTSTATUS InterfaceRemoval(PDEVICE_OBJECT controlDevice, PCUNICODE_STRING linkName);
// Ends every interface registration the control device holds.
void UnregisterInterfaceNotifications(DeviceExtension* control);
