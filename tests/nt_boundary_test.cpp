// The driver where it meets NT: what it returns for requests it forwards,
// requests on handles that outlive a device, devices made after driver
// entry, ports that go away under a running reader or a pressed pen.
#include "control/control.h"
#include "serial/serial.h"
#include "sim/control_transport.h"
#include "sim/system.h"

#include <gtest/gtest.h>

namespace {

class BoundaryTest : public ::testing::Test {
protected:
    void Configure(int n, const std::u16string& port)
    {
        std::u16string key = u"VORN2000\\Device" + std::u16string(1, char16_t(u'0' + n));
        kernel.RegistrySetString(key, u"COMM", port);
        kernel.RegistrySetDword(key, u"BaudRate", 9600);
    }

    // Loaded, added, started and connected, with COM1 configured.
    void StartWithPort()
    {
        Configure(0, u"COM1");
        system.AddPort("COM1");
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

// ---- statuses of forwarded requests ----------------------------------------

TEST_F(BoundaryTest, AFailedStartReturnsTheStatusItCompletedWith)
{
    system.Load();
    system.AddDevice();
    system.FailNextStart(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(system.Pnp(IRP_MN_START_DEVICE).Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(system.LastDispatchStatus(), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(BoundaryTest, APowerRequestTheBusLeavesPendingIsReportedPending)
{
    system.Load();
    system.AddDevice();
    system.DelayNextPower(10);
    LONGLONG before = kernel.Now();
    EXPECT_EQ(system.Power(), STATUS_SUCCESS);
    EXPECT_EQ(system.LastDispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(kernel.Now() - before, 10 * hosted::TicksPerMs);
    EXPECT_EQ(system.Power(), STATUS_SUCCESS);
    EXPECT_EQ(system.LastDispatchStatus(), STATUS_SUCCESS);
}

} // namespace
