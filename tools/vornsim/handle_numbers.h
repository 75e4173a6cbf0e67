// The device handles a scenario shows. Where addresses are wider than 32 bits
// the driver numbers its touch devices (1, 2, ... in the order it makes them,
// afresh for each control device); on 32-bit Windows a handle is the device
// object's address, which changes from run to run. So that a scenario reads
// the same on both, vornsim shows an address handle as the number the driver
// gives the same device where it numbers them.
#pragma once

#include "platform/kernel.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class HandleNumbers {
public:
    // numbered: whether handles are addresses to show as numbers; by default
    // where this build's driver hands out addresses.
    explicit HandleNumbers(bool numbered = sizeof(PVOID) == sizeof(ULONG)) : numbered_(numbered) {}

    // A device the driver made: a touch device takes the next number, a new
    // control device starts the count again.
    void DeviceCreated(PDEVICE_OBJECT device);
    // The handle as shown: its number, or as it is when it names no device.
    uint32_t Shown(uint32_t handle) const;
    // Each "handle=0xXXXXXXXX" of a line, shown.
    std::string ShownInText(const std::string& line) const;
    // Each 4-byte value of an answer that is a list of handles, shown.
    std::vector<uint8_t> ShownInAnswer(std::vector<uint8_t> bytes) const;
    // A handle a scenario writes (0x2): the address of the device of that
    // number, newest first; any other text as it is.
    std::string AddressOfShown(const std::string& text) const;

private:
    const bool numbered_;
    mutable std::mutex lock_;
    std::map<uint32_t, uint32_t> numbers_;   // address handle -> number
    std::map<uint32_t, uint32_t> addresses_; // number -> the newest device's address
    uint32_t last_ = 0;
};
