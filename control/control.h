// The control device, its two lists of touch devices, and the control
// requests through which the configuration utility reaches the driver.
//
// Everything here runs at PASSIVE_LEVEL. ListMutex guards both lists; the
// control dispatch holds it across every request, and the operations called
// inside a request take it again, recursively.
#pragma once

#include "config/device_record.h"
#include "control/request_codes.h"

// The calibration and settings of one touch device as requests 0x8000040C
// and 0x80000410 carry them.
#pragma pack(push, 1)
struct DeviceParameterBlock {
    ULONG Handle;
    LONG LLX, LLY, LRX, LRY, URX, URY, ULX, ULY;
    ULONG BaudRate;
    ULONG ModeStatus;
    ULONG Mode;
    ULONG XDeviation;
    ULONG YDeviation;
    ULONG SelDelay;
    ULONG ClickDelay;
    USHORT CalFlags;
    USHORT CalAux;
    LONG GridLLX, GridLLY, GridLRX, GridLRY, GridURX, GridURY, GridULX, GridULY;
    LONG GridX[GridPointCount];
    LONG GridY[GridPointCount];
};
#pragma pack(pop)

static_assert(sizeof(DeviceParameterBlock) == 300, "the block is 300 bytes on the wire");
static_assert(offsetof(DeviceParameterBlock, LLX) == 4, "block layout");
static_assert(offsetof(DeviceParameterBlock, BaudRate) == 36, "block layout");
static_assert(offsetof(DeviceParameterBlock, ModeStatus) == 40, "block layout");
static_assert(offsetof(DeviceParameterBlock, ClickDelay) == 60, "block layout");
static_assert(offsetof(DeviceParameterBlock, CalFlags) == 64, "block layout");
static_assert(offsetof(DeviceParameterBlock, CalAux) == 66, "block layout");
static_assert(offsetof(DeviceParameterBlock, GridLLX) == 68, "block layout");
static_assert(offsetof(DeviceParameterBlock, GridX) == 100, "block layout");
static_assert(offsetof(DeviceParameterBlock, GridY) == 200, "block layout");

// ---- control_device.cpp ------------------------------------------------------

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT* controlDevice);
void SaveDriverRegistryPath(PDEVICE_OBJECT controlDevice, PCUNICODE_STRING registryPath);
NTSTATUS CreateConfiguredTouchPortDevices(PDRIVER_OBJECT driver, PDEVICE_OBJECT controlDevice,
                                          PCUNICODE_STRING registryPath);
NTSTATUS DestroyTouchDevice(PDEVICE_OBJECT device);
NTSTATUS DestroyControlDevice(PDEVICE_OBJECT controlDevice);
// The removal of the mouse-port device retires the control device (its
// touch devices and registrations go, requests are refused); the next
// AddDevice revives it from the registry.
void RetireControlDevice(PDEVICE_OBJECT controlDevice);
void ReviveControlDevice(PDRIVER_OBJECT driver);
// Makes, lists and links a touch device on a named port; it is started
// (reader, then parameter read) by StartTouchPortDevice.
NTSTATUS CreateTouchPortDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT controlDevice,
                               const CHAR* portName, ULONG portNameLength, PDEVICE_OBJECT* created);
void StartTouchPortDevice(PDEVICE_OBJECT device);
NTSTATUS CreateDynamicTouchDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT controlDevice,
                                  PCWSTR portPath, PDEVICE_OBJECT* created);
void SetPortNameFromLink(PDEVICE_OBJECT device, PCUNICODE_STRING linkName);
// Gives a new dynamic device its handle, lists it, links it to the control
// device and starts its reader. A device that cannot be listed is destroyed
// (false): no request or removal could ever reach it.
bool ListAndStartDynamicDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device);
// Unlinks `node` from its list and destroys its device; ListMutex held.
void RemoveListedDevice(ListNode** head, ListNode* node);
NTSTATUS RemoveTouchPortDevice(PDEVICE_OBJECT controlDevice, ULONG handle);
NTSTATUS RemoveDynamicTouchDevice(PDEVICE_OBJECT controlDevice, ULONG handle);

// ANSI text in the system's code page to UTF-16, in a temporary paged buffer
// with room for a terminating zero. False (nothing allocated) when the text
// is too long for a counted string or there is no memory.
constexpr ULONG MaxAnsiNameLength = 32765;
bool ConvertAnsiName(const CHAR* text, ULONG length, PUNICODE_STRING converted);
void FreeConvertedName(PUNICODE_STRING converted);

// ---- device_lists.cpp --------------------------------------------------------

NTSTATUS InsertPortListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device);
NTSTATUS AppendPortListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device);
NTSTATUS InsertDynamicListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device);
NTSTATUS UnlinkDynamicListDevice(PDEVICE_OBJECT controlDevice, PDEVICE_OBJECT device);
// Unlinks and frees `node` of the list whose head is `*head`; ListMutex held.
void UnlinkNode(ListNode** head, ListNode* node);

// Gives a new touch device its handle (where handles are not addresses).
void AssignDeviceHandle(DeviceExtension* control, DeviceExtension* device);
// The 32-bit value by which the control requests name a touch device.
ULONG HandleOfDevice(PDEVICE_OBJECT device);
// The node of the list whose device has this handle, or null; ListMutex held.
ListNode* FindListNode(ListNode* head, ULONG handle);

// ---- requests.cpp ------------------------------------------------------------

DRIVER_DISPATCH ControlDispatch;

using TouchRequestHandler = NTSTATUS (*)(DeviceExtension* device, PIRP irp);
// Finds the touch device a request names and runs `handler` on it; a request
// too small or naming no listed device is refused. ListMutex held.
NTSTATUS SelectTouchDevice(PIRP irp, ULONG minimumInput, ULONG minimumOutput,
                           TouchRequestHandler handler);
