#include "client/vorn_client.h"

#include "control/request_codes.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <type_traits>

namespace vorn {
namespace {

constexpr uint32_t MaxListedDevices = 65536;
constexpr uint32_t MaxPortNameCharacters = 32768;

void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    if (bytes.size() < offset + 4)
        bytes.resize(offset + 4);
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = uint8_t(value >> (8 * i));
}

void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value)
{
    if (bytes.size() < offset + 2)
        bytes.resize(offset + 2);
    bytes[offset] = uint8_t(value);
    bytes[offset + 1] = uint8_t(value >> 8);
}

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint32_t value = 0;
    for (int i = 0; i < 4 && offset + i < bytes.size(); ++i)
        value |= uint32_t(bytes[offset + i]) << (8 * i);
    return value;
}

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t offset)
{
    return uint16_t(Get32(bytes, offset) & 0xFFFF);
}

std::vector<uint8_t> Values(std::initializer_list<uint32_t> values)
{
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    for (uint32_t value : values) {
        Put32(bytes, offset, value);
        offset += 4;
    }
    return bytes;
}

// The block's fields at their offsets, signed or not, as 32-bit slots.
template <typename Block, typename Visit> void ForEachField(Block& b, Visit visit)
{
    visit(4, b.LLX);
    visit(8, b.LLY);
    visit(12, b.LRX);
    visit(16, b.LRY);
    visit(20, b.URX);
    visit(24, b.URY);
    visit(28, b.ULX);
    visit(32, b.ULY);
    visit(36, b.BaudRate);
    visit(40, b.ModeStatus);
    visit(44, b.Mode);
    visit(48, b.XDeviation);
    visit(52, b.YDeviation);
    visit(56, b.SelDelay);
    visit(60, b.ClickDelay);
    for (size_t i = 0; i < 8; ++i)
        visit(68 + 4 * i, b.GridCorners[i]);
    for (size_t i = 0; i < 25; ++i)
        visit(100 + 4 * i, b.GridX[i]);
    for (size_t i = 0; i < 25; ++i)
        visit(200 + 4 * i, b.GridY[i]);
}

} // namespace

std::vector<uint8_t> ParameterBlock::Encode() const
{
    std::vector<uint8_t> bytes(Size, 0);
    Put32(bytes, 0, Handle);
    ForEachField(*this, [&](size_t offset, auto value) { Put32(bytes, offset, uint32_t(value)); });
    Put16(bytes, 64, CalFlags);
    Put16(bytes, 66, CalAux);
    return bytes;
}

ParameterBlock ParameterBlock::Decode(const std::vector<uint8_t>& bytes)
{
    ParameterBlock block;
    block.Handle = Get32(bytes, 0);
    ForEachField(block, [&](size_t offset, auto& field) {
        field = static_cast<std::remove_reference_t<decltype(field)>>(Get32(bytes, offset));
    });
    block.CalFlags = Get16(bytes, 64);
    block.CalAux = Get16(bytes, 66);
    return block;
}

Answer<uint32_t> ControlClient::AskValue(uint32_t code, const std::vector<uint8_t>& input)
{
    Reply reply = transport_.Call(code, input, 4);
    Answer<uint32_t> answer;
    answer.Status = reply.Status;
    if (answer.Ok() && reply.Output.size() >= 4)
        answer.Value = Get32(reply.Output, 0);
    return answer;
}

Answer<std::vector<uint32_t>> ControlClient::AskHandles(uint32_t countCode, uint32_t handlesCode)
{
    Answer<std::vector<uint32_t>> answer;
    Answer<uint32_t> count = AskValue(countCode, {});
    answer.Status = count.Status;
    if (!count.Ok())
        return answer;
    // The answer room comes from the driver's count: bounded, so that a wrong
    // count cannot make the client ask for gigabytes.
    uint32_t room = std::min(count.Value, MaxListedDevices) * 4;
    Reply reply = transport_.Call(handlesCode, {}, room);
    answer.Status = reply.Status;
    for (size_t offset = 0; answer.Ok() && offset + 4 <= reply.Output.size(); offset += 4)
        answer.Value.push_back(Get32(reply.Output, offset));
    return answer;
}

uint32_t ControlClient::ClosePort(uint32_t handle)
{
    return transport_.Call(IoctlClosePort, Values({handle}), 0).Status;
}

uint32_t ControlClient::OpenPort(uint32_t handle)
{
    return transport_.Call(IoctlOpenPort, Values({handle}), 0).Status;
}

uint32_t ControlClient::SetPortName(uint32_t handle, const std::string& name)
{
    std::vector<uint8_t> input = Values({handle, uint32_t(name.size() + 1)});
    input.insert(input.end(), name.begin(), name.end());
    input.push_back(0);
    return transport_.Call(IoctlSetPortName, input, 0).Status;
}

uint32_t ControlClient::WriteParameters(const ParameterBlock& block)
{
    return transport_.Call(IoctlWriteParameters, block.Encode(), 0).Status;
}

Answer<ParameterBlock> ControlClient::ReadParameters(uint32_t handle)
{
    Reply reply = transport_.Call(IoctlReadParameters, Values({handle}), ParameterBlock::Size);
    Answer<ParameterBlock> answer;
    answer.Status = reply.Status;
    if (answer.Ok())
        answer.Value = ParameterBlock::Decode(reply.Output);
    return answer;
}

Answer<uint32_t> ControlClient::PortDeviceCount()
{
    return AskValue(IoctlPortDeviceCount, {});
}

Answer<std::vector<uint32_t>> ControlClient::PortDeviceHandles()
{
    return AskHandles(IoctlPortDeviceCount, IoctlPortDeviceHandles);
}

Answer<uint32_t> ControlClient::CreatePortDevice(const std::string& portName)
{
    std::vector<uint8_t> input(portName.begin(), portName.end());
    input.push_back(0);
    return AskValue(IoctlCreatePortDevice, input);
}

uint32_t ControlClient::RemovePortDevice(uint32_t handle)
{
    return transport_.Call(IoctlRemovePortDevice, Values({handle}), 0).Status;
}

Answer<std::string> ControlClient::PortName(uint32_t handle)
{
    Answer<std::string> answer;
    Answer<uint32_t> length = PortNameLength(handle);
    answer.Status = length.Status;
    if (!length.Ok())
        return answer;
    // The answer room must exceed the characters plus 2; a name is a counted
    // string, so no answer is longer than its limit.
    uint32_t room = std::min(length.Value, MaxPortNameCharacters) + 1;
    Reply reply = transport_.Call(IoctlGetPortName, Values({handle}), room);
    answer.Status = reply.Status;
    if (answer.Ok())
        answer.Value.assign(reply.Output.begin(), reply.Output.end());
    return answer;
}

Answer<uint32_t> ControlClient::PortNameLength(uint32_t handle)
{
    return AskValue(IoctlPortNameLength, Values({handle}));
}

Answer<uint32_t> ControlClient::CreateDynamicDevice(const std::u16string& portPath)
{
    std::vector<uint8_t> input;
    for (char16_t c : portPath) {
        input.push_back(uint8_t(c));
        input.push_back(uint8_t(c >> 8));
    }
    input.push_back(0);
    input.push_back(0);
    return AskValue(IoctlCreateDynamicDevice, input);
}

uint32_t ControlClient::RemoveDynamicDevice(uint32_t handle)
{
    return transport_.Call(IoctlRemoveDynamicDevice, Values({handle}), 0).Status;
}

Answer<uint32_t> ControlClient::DynamicDeviceCount()
{
    return AskValue(IoctlDynamicDeviceCount, {});
}

Answer<std::vector<uint32_t>> ControlClient::DynamicDeviceHandles()
{
    return AskHandles(IoctlDynamicDeviceCount, IoctlDynamicDeviceHandles);
}

uint32_t ControlClient::SetSwapXY(uint32_t handle, bool swap)
{
    return transport_.Call(IoctlSetSwapXY, Values({handle, swap ? 1u : 0u}), 0).Status;
}

uint32_t ControlClient::SetGridEnabled(uint32_t handle, bool enabled)
{
    return transport_.Call(IoctlSetGridEnabled, Values({handle, enabled ? 1u : 0u}), 0).Status;
}

uint32_t ControlClient::SetNotifyMask(uint32_t mask)
{
    return transport_.Call(IoctlSetNotifyMask, Values({mask}), 0).Status;
}

Answer<uint32_t> ControlClient::NotifyMask()
{
    return AskValue(IoctlGetNotifyMask, {});
}

uint32_t ControlClient::WaitForButtonEvent()
{
    return transport_.Call(IoctlWaitButtonEvent, {}, 0).Status;
}

uint32_t ControlClient::SetMouseSettings(const MouseSettings& s)
{
    return transport_
        .Call(IoctlSetMouseSettings,
              Values({s.MouseMode, s.DoubleClickSpeed, uint32_t(s.DoubleClickSize)}), 0)
        .Status;
}

Answer<MouseSettings> ControlClient::GetMouseSettings()
{
    Reply reply = transport_.Call(IoctlGetMouseSettings, {}, 12);
    Answer<MouseSettings> answer;
    answer.Status = reply.Status;
    if (answer.Ok()) {
        answer.Value.MouseMode = Get32(reply.Output, 0);
        answer.Value.DoubleClickSpeed = Get32(reply.Output, 4);
        answer.Value.DoubleClickSize = int32_t(Get32(reply.Output, 8));
    }
    return answer;
}

uint32_t ControlClient::SetLanguage(uint32_t language)
{
    return transport_.Call(IoctlSetLanguage, Values({language}), 0).Status;
}

Answer<uint32_t> ControlClient::Language()
{
    return AskValue(IoctlGetLanguage, {});
}

Answer<FilterSettings> ControlClient::GetFilterSettings()
{
    Reply reply = transport_.Call(IoctlGetFilterSettings, {}, 32);
    Answer<FilterSettings> answer;
    answer.Status = reply.Status;
    if (answer.Ok()) {
        FilterSettings& f = answer.Value;
        int32_t* fields[] = {&f.A0, &f.A1, &f.A2, &f.A3, &f.Uppper, &f.Low, &f.FilterThreshold};
        for (size_t i = 0; i < 7; ++i)
            *fields[i] = int32_t(Get32(reply.Output, 4 * i));
        f.Filter = Get32(reply.Output, 28);
    }
    return answer;
}

Answer<uint32_t> ControlClient::Rotation()
{
    return AskValue(IoctlGetRotation, {});
}

Answer<uint32_t> ControlClient::DeviceState(uint32_t handle)
{
    return AskValue(IoctlGetDeviceState, Values({handle}));
}

uint32_t ControlClient::SetScreenRect(uint32_t handle, const ScreenRect& r)
{
    return transport_
        .Call(IoctlSetScreenRect, Values({handle, r.Left, r.Top, r.Right, r.Bottom}), 0)
        .Status;
}

Answer<ScreenRect> ControlClient::GetScreenRect(uint32_t handle)
{
    Reply reply = transport_.Call(IoctlGetScreenRect, Values({handle}), 16);
    Answer<ScreenRect> answer;
    answer.Status = reply.Status;
    if (answer.Ok())
        answer.Value = {Get32(reply.Output, 0), Get32(reply.Output, 4), Get32(reply.Output, 8),
                        Get32(reply.Output, 12)};
    return answer;
}

uint32_t ControlClient::SetRotation(uint32_t rotation)
{
    return transport_.Call(IoctlSetRotation, Values({rotation}), 0).Status;
}

} // namespace vorn
