// The whole system around the loaded driver, as the end-to-end tests start
// it: configured ports, driver entry, AddDevice, start and the class connect.
#pragma once

#include "sim/system.h"

#include <gtest/gtest.h>

#include <string>

class SystemFixture : public ::testing::Test {
protected:
    void Configure(int n, const std::u16string& port)
    {
        std::u16string key = u"VORN2000\\Device" + std::u16string(1, char16_t(u'0' + n));
        kernel.RegistrySetString(key, u"COMM", port);
        kernel.RegistrySetDword(key, u"BaudRate", 9600);
    }

    // Loaded, added, started and connected, with one configured port.
    void StartWithPort(const std::string& name = "COM1")
    {
        Configure(0, std::u16string(name.begin(), name.end()));
        system.AddPort(name);
        Start();
    }

    // Loaded, added, started and connected, with the ports already there.
    void Start()
    {
        ASSERT_EQ(system.Load(), STATUS_SUCCESS);
        ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(system.Pnp(IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
        ASSERT_EQ(system.ClassConnect(), STATUS_SUCCESS);
        Pass(50);
    }

    void Pass(LONGLONG ms)
    {
        kernel.SleepMs(ms);
        kernel.Settle();
    }

    DeviceExtension* FirstPortDevice() { return ExtensionOf(ControlRecord()->PortList->Device); }

    hosted::Kernel kernel;
    sim::System system{kernel};
};
