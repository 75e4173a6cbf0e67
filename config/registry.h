// The registry schema: global values under the service key "VORN2000", one
// subkey "Device" followed by a number per configured touch device.
//
// Everything here runs at PASSIVE_LEVEL. RenumberPortDevices and
// DeleteDeviceKeys walk the PortList: their callers hold ListMutex.
#pragma once

#include "config/device_record.h"

#define VORN_SERVICE_KEY VORN_WIDE("VORN2000")

// The registry image of one touch device. It has the very layout of the
// record's settings span, so that it can be copied over the span whole.
using ConfiguredDeviceBlock = TouchSettings;

struct ConfiguredDeviceNode {
    ConfiguredDeviceNode* Prev; // always null
    ConfiguredDeviceNode* Next;
    ConfiguredDeviceBlock* Block;
    // A COMM too long for the block's port name (which stays empty), kept
    // whole; moves to the device made from the block.
    UNICODE_STRING StoredPortName;
};

constexpr USHORT PortNameSettingCapacity = 64;
// The longest port name the registry keeps for a configured device: a longer
// one could not be read back at the next load.
constexpr ULONG MaxPortNameCharacters = PortNameSettingCapacity / sizeof(WCHAR) - 1;

NTSTATUS ReadGlobalSettings(PCWSTR servicePath, DeviceExtension* control);
NTSTATUS ReadConfiguredDevice(PCUNICODE_STRING registryPath, ConfiguredDeviceBlock* block, ULONG n);
ConfiguredDeviceNode* EnumerateConfiguredDevices(PCUNICODE_STRING registryPath);
void FreeConfiguredDevices(ConfiguredDeviceNode* list);
NTSTATUS WriteGlobalSettings(PCWSTR servicePath, DeviceExtension* control);
void WriteDeviceSettings(DeviceExtension* device);
// Removes the screen rectangle's values from the device's key.
void DeleteScreenRectValues(DeviceExtension* device);
void RenumberPortDevices(DeviceExtension* control);
void DeleteDeviceKeys(DeviceExtension* control);

// Whole appends of a decimal number or a text; false (string unchanged) when
// it does not fit.
bool AppendNumber(PUNICODE_STRING string, ULONG value);
bool AppendText(PUNICODE_STRING string, PCWSTR text);
// Empties a string and zero-fills its whole buffer.
void ClearString(PUNICODE_STRING string);
