#include "tools/vornsim/handle_numbers.h"

#include <cstdio>

namespace {

// The driver's device type for its control device and its touch devices; a
// touch device alone is exclusive.
constexpr ULONG TouchDeviceType = 0x8000;

constexpr char HandleField[] = "handle=0x";
constexpr size_t HandleDigits = 8;

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

} // namespace

void HandleNumbers::DeviceCreated(PDEVICE_OBJECT device)
{
    if (!numbered_ || device->DeviceType != TouchDeviceType)
        return;
    std::lock_guard<std::mutex> guard(lock_);
    if (!(device->Flags & DO_EXCLUSIVE)) {
        last_ = 0;
        return;
    }
    // An address the pool gave out again is a new device.
    uint32_t address = uint32_t(ULONG_PTR(device));
    numbers_[address] = ++last_;
    addresses_[last_] = address;
}

uint32_t HandleNumbers::Shown(uint32_t handle) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = numbers_.find(handle);
    return it == numbers_.end() ? handle : it->second;
}

std::string HandleNumbers::ShownInText(const std::string& line) const
{
    if (!numbered_)
        return line;
    std::string shown = line;
    const size_t fieldLength = sizeof HandleField - 1;
    for (size_t at = shown.find(HandleField); at != std::string::npos;
         at = shown.find(HandleField, at + fieldLength)) {
        size_t digits = at + fieldLength;
        if (shown.size() < digits + HandleDigits)
            break;
        bool hex = true;
        for (size_t i = 0; i < HandleDigits; i++)
            hex = hex && IsHexDigit(shown[digits + i]);
        if (!hex)
            continue;
        uint32_t handle = uint32_t(std::stoul(shown.substr(digits, HandleDigits), nullptr, 16));
        char text[HandleDigits + 1];
        std::snprintf(text, sizeof text, "%08X", unsigned(Shown(handle)));
        shown.replace(digits, HandleDigits, text);
    }
    return shown;
}

std::string HandleNumbers::AddressOfShown(const std::string& text) const
{
    if (!numbered_ || text.size() < 3 || text.size() > 10 || text[0] != '0' ||
        (text[1] != 'x' && text[1] != 'X'))
        return text;
    for (size_t i = 2; i < text.size(); i++)
        if (!IsHexDigit(text[i]))
            return text;
    uint32_t number = uint32_t(std::stoul(text.substr(2), nullptr, 16));
    std::lock_guard<std::mutex> guard(lock_);
    auto it = addresses_.find(number);
    if (it == addresses_.end())
        return text;
    char address[11];
    std::snprintf(address, sizeof address, "0x%08X", unsigned(it->second));
    return address;
}

std::vector<uint8_t> HandleNumbers::ShownInAnswer(std::vector<uint8_t> bytes) const
{
    if (!numbered_)
        return bytes;
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        uint32_t handle = 0;
        for (int i = 0; i < 4; i++)
            handle |= uint32_t(bytes[at + i]) << (8 * i);
        uint32_t shown = Shown(handle);
        for (int i = 0; i < 4; i++)
            bytes[at + i] = uint8_t(shown >> (8 * i));
    }
    return bytes;
}
