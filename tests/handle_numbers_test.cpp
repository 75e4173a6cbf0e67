// vornsim shows address handles (32-bit Windows) as the numbers the driver
// gives the same devices where it numbers them, so scenarios read the same
// on both.
#include "platform/hosted/hosted.h"
#include "tools/vornsim/handle_numbers.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr ULONG TouchDeviceType = 0x8000;

DEVICE_OBJECT Device(ULONG type, bool exclusive)
{
    DEVICE_OBJECT device{};
    device.DeviceType = type;
    device.Flags = exclusive ? DO_EXCLUSIVE : 0;
    return device;
}

uint32_t HandleOf(DEVICE_OBJECT& device)
{
    return uint32_t(ULONG_PTR(&device));
}

TEST(HandleNumbers, TouchDevicesAreNumberedInTheOrderMadeAfreshForEachControlDevice)
{
    HandleNumbers numbers(true);
    DEVICE_OBJECT control = Device(TouchDeviceType, false);
    DEVICE_OBJECT first = Device(TouchDeviceType, true);
    DEVICE_OBJECT port = Device(FILE_DEVICE_SERIAL_MOUSE_PORT, false);
    DEVICE_OBJECT second = Device(TouchDeviceType, true);
    for (DEVICE_OBJECT* d : {&control, &first, &port, &second})
        numbers.DeviceCreated(d);
    EXPECT_EQ(numbers.Shown(HandleOf(first)), 1u);
    EXPECT_EQ(numbers.Shown(HandleOf(second)), 2u);
    EXPECT_EQ(numbers.Shown(0x1234u), 0x1234u); // names no device: as it is

    char line[64];
    std::snprintf(line, sizeof line, "port:1 handle=0x%08X kind=configured handle=0x1",
                  unsigned(HandleOf(second)));
    EXPECT_EQ(numbers.ShownInText(line), "port:1 handle=0x00000002 kind=configured handle=0x1");
    std::vector<uint8_t> answer;
    for (uint32_t h : {HandleOf(second), HandleOf(first)})
        for (int i = 0; i < 4; i++)
            answer.push_back(uint8_t(h >> (8 * i)));
    EXPECT_EQ(numbers.ShownInAnswer(answer), (std::vector<uint8_t>{2, 0, 0, 0, 1, 0, 0, 0}));
    // A handle a scenario writes names the device of that number.
    char address[16];
    std::snprintf(address, sizeof address, "0x%08X", unsigned(HandleOf(second)));
    EXPECT_EQ(numbers.AddressOfShown("0x00000002"), address);
    EXPECT_EQ(numbers.AddressOfShown("0x2"), address);
    EXPECT_EQ(numbers.AddressOfShown("0x00000009"), "0x00000009");
    EXPECT_EQ(numbers.AddressOfShown("COM2"), "COM2");

    // A new control device numbers from 1 again, as the driver's count lives
    // in the control device.
    DEVICE_OBJECT newControl = Device(TouchDeviceType, false);
    DEVICE_OBJECT third = Device(TouchDeviceType, true);
    numbers.DeviceCreated(&newControl);
    numbers.DeviceCreated(&third);
    EXPECT_EQ(numbers.Shown(HandleOf(third)), 1u);
}

TEST(HandleNumbers, NumberedHandlesAreShownAsTheyAre)
{
    HandleNumbers numbers(false);
    DEVICE_OBJECT touch = Device(TouchDeviceType, true);
    numbers.DeviceCreated(&touch);
    EXPECT_EQ(numbers.ShownInText("handle=0x00000003"), "handle=0x00000003");
    EXPECT_EQ(numbers.Shown(HandleOf(touch)), HandleOf(touch));
}

TEST(HandleNumbers, TheKernelTellsOfEachDeviceMade)
{
    hosted::Kernel kernel;
    std::vector<PDEVICE_OBJECT> made;
    kernel.SetDeviceCreatedSink([&](PDEVICE_OBJECT device) { made.push_back(device); });
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, TouchDeviceType, 0, TRUE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(made, std::vector<PDEVICE_OBJECT>{device});
    EXPECT_NE(device->Flags & DO_EXCLUSIVE, 0u);
    IoDeleteDevice(device);
}

} // namespace
