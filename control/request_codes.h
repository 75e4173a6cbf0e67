// The control requests' codes, written as callers and debuggers show them.
// The driver and the configuration utility both include this header, so a
// search for a code finds the driver's row for it and the client's call.
//
// Every code is CTL_CODE(0x8000, function, METHOD_BUFFERED, FILE_ANY_ACCESS):
// 0x80000000 plus four times the function number. Plain 32-bit integers, so
// the header serves kernel and user mode alike.
#pragma once

constexpr unsigned int ControlRequestCode(unsigned int function)
{
    return 0x80000000u | (function << 2);
}

constexpr unsigned int IoctlClosePort = 0x80000400;            // 0x100
constexpr unsigned int IoctlOpenPort = 0x80000404;             // 0x101
constexpr unsigned int IoctlSetPortName = 0x80000408;          // 0x102
constexpr unsigned int IoctlWriteParameters = 0x8000040C;      // 0x103
constexpr unsigned int IoctlReadParameters = 0x80000410;       // 0x104
constexpr unsigned int IoctlPortDeviceCount = 0x80000414;      // 0x105
constexpr unsigned int IoctlPortDeviceHandles = 0x80000418;    // 0x106
constexpr unsigned int IoctlCreatePortDevice = 0x8000041C;     // 0x107
constexpr unsigned int IoctlRemovePortDevice = 0x80000420;     // 0x108
constexpr unsigned int IoctlGetPortName = 0x80000424;          // 0x109
constexpr unsigned int IoctlPortNameLength = 0x80000440;       // 0x110
constexpr unsigned int IoctlCreateDynamicDevice = 0x80000444;  // 0x111
constexpr unsigned int IoctlRemoveDynamicDevice = 0x80000448;  // 0x112
constexpr unsigned int IoctlDynamicDeviceCount = 0x8000044C;   // 0x113
constexpr unsigned int IoctlDynamicDeviceHandles = 0x80000450; // 0x114
constexpr unsigned int IoctlSetSwapXY = 0x80000454;            // 0x115
constexpr unsigned int IoctlSetGridEnabled = 0x80000458;       // 0x116
constexpr unsigned int IoctlSetNotifyMask = 0x8000045C;        // 0x117
constexpr unsigned int IoctlGetNotifyMask = 0x80000460;        // 0x118
constexpr unsigned int IoctlWaitButtonEvent = 0x80000464;      // 0x119
constexpr unsigned int IoctlSetMouseSettings = 0x80000480;     // 0x120
constexpr unsigned int IoctlGetMouseSettings = 0x80000484;     // 0x121
constexpr unsigned int IoctlSetLanguage = 0x80000488;          // 0x122
constexpr unsigned int IoctlGetLanguage = 0x8000048C;          // 0x123
constexpr unsigned int IoctlGetFilterSettings = 0x80000494;    // 0x125
constexpr unsigned int IoctlGetRotation = 0x80000498;          // 0x126
constexpr unsigned int IoctlSetRotation = 0x8000049C;          // 0x127
// Added for the configuration utility, outside the original range: what a
// device's port and flags are doing now (see DeviceStateBits).
constexpr unsigned int IoctlGetDeviceState = 0x800004C0; // 0x130
// A device's rectangle of the virtual desktop: handle, then L, T, R, B.
constexpr unsigned int IoctlSetScreenRect = 0x80000500; // 0x140
constexpr unsigned int IoctlGetScreenRect = 0x80000504; // 0x141

// The answer of IoctlGetDeviceState: one u32 of these bits.
enum DeviceStateBits : unsigned int {
    DeviceStatePortOpen = 1u << 0,         // bound to its port
    DeviceStateParametersLoaded = 1u << 1, // the controller's memory was read
    DeviceStateSwapXY = 1u << 2,
    DeviceStateGridEnabled = 1u << 3,
    DeviceStateCalibrationSaved = 1u << 4, // written through the driver, kept in the registry
    DeviceStatePortAbsent = 1u << 5,       // the port was not there at the last try to open it
    // No port name: the one stored for it is too long to use (it is kept).
    DeviceStatePortNameTooLong = 1u << 6,
};

static_assert(IoctlClosePort == ControlRequestCode(0x100), "request code");
static_assert(IoctlOpenPort == ControlRequestCode(0x101), "request code");
static_assert(IoctlSetPortName == ControlRequestCode(0x102), "request code");
static_assert(IoctlWriteParameters == ControlRequestCode(0x103), "request code");
static_assert(IoctlReadParameters == ControlRequestCode(0x104), "request code");
static_assert(IoctlPortDeviceCount == ControlRequestCode(0x105), "request code");
static_assert(IoctlPortDeviceHandles == ControlRequestCode(0x106), "request code");
static_assert(IoctlCreatePortDevice == ControlRequestCode(0x107), "request code");
static_assert(IoctlRemovePortDevice == ControlRequestCode(0x108), "request code");
static_assert(IoctlGetPortName == ControlRequestCode(0x109), "request code");
static_assert(IoctlPortNameLength == ControlRequestCode(0x110), "request code");
static_assert(IoctlCreateDynamicDevice == ControlRequestCode(0x111), "request code");
static_assert(IoctlRemoveDynamicDevice == ControlRequestCode(0x112), "request code");
static_assert(IoctlDynamicDeviceCount == ControlRequestCode(0x113), "request code");
static_assert(IoctlDynamicDeviceHandles == ControlRequestCode(0x114), "request code");
static_assert(IoctlSetSwapXY == ControlRequestCode(0x115), "request code");
static_assert(IoctlSetGridEnabled == ControlRequestCode(0x116), "request code");
static_assert(IoctlSetNotifyMask == ControlRequestCode(0x117), "request code");
static_assert(IoctlGetNotifyMask == ControlRequestCode(0x118), "request code");
static_assert(IoctlWaitButtonEvent == ControlRequestCode(0x119), "request code");
static_assert(IoctlSetMouseSettings == ControlRequestCode(0x120), "request code");
static_assert(IoctlGetMouseSettings == ControlRequestCode(0x121), "request code");
static_assert(IoctlSetLanguage == ControlRequestCode(0x122), "request code");
static_assert(IoctlGetLanguage == ControlRequestCode(0x123), "request code");
static_assert(IoctlGetFilterSettings == ControlRequestCode(0x125), "request code");
static_assert(IoctlGetRotation == ControlRequestCode(0x126), "request code");
static_assert(IoctlSetRotation == ControlRequestCode(0x127), "request code");
static_assert(IoctlGetDeviceState == ControlRequestCode(0x130), "request code");
static_assert(IoctlSetScreenRect == ControlRequestCode(0x140), "request code");
static_assert(IoctlGetScreenRect == ControlRequestCode(0x141), "request code");
