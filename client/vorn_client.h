// The configuration utility's side of the control requests: each request's
// input encoded and its answer decoded, over a transport that delivers a
// buffered device control request to "\DosDevices\VORN" (the hosted I/O
// manager in tests and vornsim, DeviceIoControl on Windows).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

constexpr uint32_t StatusSuccess = 0;
constexpr uint32_t StatusUnsuccessful = 0xC0000001;
constexpr uint32_t StatusTimeout = 0x00000102;
constexpr uint32_t StatusCancelled = 0xC0000120;

struct Reply {
    uint32_t Status = StatusUnsuccessful;
    std::vector<uint8_t> Output; // the Information bytes of the answer
};

class Transport {
public:
    virtual ~Transport() = default;
    // Sends one METHOD_BUFFERED request with `outputLength` bytes of answer room.
    virtual Reply Call(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) = 0;
};

// A request's status and, when it succeeded, its decoded answer.
template <typename T> struct Answer {
    uint32_t Status = StatusUnsuccessful;
    T Value{};
    bool Ok() const { return Status == StatusSuccess; }
};

// The 300-byte calibration and settings record of one touch device.
struct ParameterBlock {
    uint32_t Handle = 0;
    int32_t LLX = 0, LLY = 0, LRX = 0, LRY = 0, URX = 0, URY = 0, ULX = 0, ULY = 0;
    uint32_t BaudRate = 0;
    uint32_t ModeStatus = 0; // read only
    uint32_t Mode = 0;
    uint32_t XDeviation = 0, YDeviation = 0;
    uint32_t SelDelay = 0, ClickDelay = 0;
    uint16_t CalFlags = 0, CalAux = 0;
    int32_t GridCorners[8] = {}; // GridLLX ... GridULY
    int32_t GridX[25] = {};
    int32_t GridY[25] = {};

    static constexpr uint32_t Size = 300;
    std::vector<uint8_t> Encode() const;
    static ParameterBlock Decode(const std::vector<uint8_t>& bytes);
};

// A device's rectangle of the virtual desktop, 0..65536 units; all zero: none.
struct ScreenRect {
    uint32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool IsSet() const { return (Left | Top | Right | Bottom) != 0; }
};

struct MouseSettings {
    uint32_t MouseMode = 0, DoubleClickSpeed = 0;
    int32_t DoubleClickSize = 0;
};

struct FilterSettings {
    int32_t A0 = 0, A1 = 0, A2 = 0, A3 = 0, Uppper = 0, Low = 0, FilterThreshold = 0;
    uint32_t Filter = 0;
};

class ControlClient {
public:
    explicit ControlClient(Transport& transport) : transport_(transport) {}

    uint32_t ClosePort(uint32_t handle);
    uint32_t OpenPort(uint32_t handle);
    uint32_t SetPortName(uint32_t handle, const std::string& name);
    uint32_t WriteParameters(const ParameterBlock& block);
    Answer<ParameterBlock> ReadParameters(uint32_t handle);
    Answer<uint32_t> PortDeviceCount();
    Answer<std::vector<uint32_t>> PortDeviceHandles();
    // The new device's handle; 0 when no device could be made.
    Answer<uint32_t> CreatePortDevice(const std::string& portName);
    uint32_t RemovePortDevice(uint32_t handle);
    Answer<std::string> PortName(uint32_t handle);
    Answer<uint32_t> PortNameLength(uint32_t handle);
    Answer<uint32_t> CreateDynamicDevice(const std::u16string& portPath);
    uint32_t RemoveDynamicDevice(uint32_t handle);
    Answer<uint32_t> DynamicDeviceCount();
    Answer<std::vector<uint32_t>> DynamicDeviceHandles();
    uint32_t SetSwapXY(uint32_t handle, bool swap);
    uint32_t SetGridEnabled(uint32_t handle, bool enabled);
    uint32_t SetNotifyMask(uint32_t mask);
    Answer<uint32_t> NotifyMask();
    // Returns once a selected button event happened (or the wait ended).
    uint32_t WaitForButtonEvent();
    uint32_t SetMouseSettings(const MouseSettings& settings);
    Answer<MouseSettings> GetMouseSettings();
    uint32_t SetLanguage(uint32_t language);
    Answer<uint32_t> Language();
    Answer<FilterSettings> GetFilterSettings();
    Answer<uint32_t> Rotation();
    uint32_t SetRotation(uint32_t rotation);
    // DeviceStateBits of the device (control/request_codes.h).
    Answer<uint32_t> DeviceState(uint32_t handle);
    // An all-zero rectangle clears it.
    uint32_t SetScreenRect(uint32_t handle, const ScreenRect& rect);
    Answer<ScreenRect> GetScreenRect(uint32_t handle);

private:
    Answer<uint32_t> AskValue(uint32_t code, const std::vector<uint8_t>& input);
    Answer<std::vector<uint32_t>> AskHandles(uint32_t countCode, uint32_t handlesCode);

    Transport& transport_;
};

} // namespace vorn
