// The driver frame: driver entry, the mouse-port device the Plug and Play
// manager adds, and the dispatch routines every device of the driver shares.
#pragma once

#include "config/device_record.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

// ---- classentry.cpp -------------------------------------------------------------
DRIVER_DISPATCH CreateDispatch;
DRIVER_DISPATCH CloseDispatch;

// ---- access.cpp -------------------------------------------------------------------
// Whether the caller of a create may open the control device or a touch
// device: only Administrators and LocalSystem, or kernel mode. The status to
// complete a refused create with.
NTSTATUS CheckOpenAccess(PIRP irp);

// ---- pnp.cpp ----------------------------------------------------------------------
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH PnpDispatch;
DRIVER_DISPATCH PowerDispatch;
// Passes the request down with a copy of the current stack location and
// waits until the lower stack has completed it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP irp);
// Passes the request down, skipping the current stack location.
NTSTATUS Forward(DeviceExtension* device, PIRP irp);

// ---- ioctl.cpp --------------------------------------------------------------------
// Mouse-class requests on the mouse-port device, control requests elsewhere.
DRIVER_DISPATCH DeviceControlDispatch;
// Links every PortList device to the control device and starts its threads.
NTSTATUS RelinkPortDevices(PDEVICE_OBJECT controlDevice);
