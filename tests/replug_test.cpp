// A user's week with the hardware: ports that are not there yet, go away and
// come back, a mouse-port device removed and added again, and notifications
// that arrive after their registration ended.
#include "client/vorn_client.h"
#include "control/control.h"
#include "serial/serial.h"
#include "sim/control_transport.h"
#include "sim/system.h"

#include "tests/system_fixture.h"

#include <gtest/gtest.h>

namespace {

class ReplugTest : public SystemFixture {
protected:
    size_t Tap(const std::string& port, ULONG x, ULONG y)
    {
        system.FindPort(port)->SendTouch(x, y, true);
        system.FindPort(port)->SendTouch(x, y, false);
        Pass(20);
        return system.TakeRecords().size();
    }

    ULONG StateOf(DeviceExtension* device)
    {
        ULONG state = 0;
        if (device->PortDevice && device->PortOpen)
            state |= DeviceStatePortOpen;
        if (device->AwaitingPort)
            state |= DeviceStatePortAbsent;
        return state;
    }
};

// "Drivers for serial ports register instances of this device interface class
// to notify the operating system and applications of the presence of COM
// ports" (GUID_DEVINTERFACE_COMPORT, Windows 2000 and later): the emulated
// ports announce it on `port add` and withdraw it on removal.
TEST_F(ReplugTest, AConfiguredPortOpensWhenItArrivesAndAgainWhenItComesBack)
{
    Configure(0, u"COM1");
    Start(); // no COM1 yet
    DeviceExtension* device = FirstPortDevice();
    EXPECT_EQ(StateOf(device), ULONG(DeviceStatePortAbsent)) << "the device waits for its port";

    system.AddPort("COM1"); // a USB serial adapter plugged in
    Pass(50);
    EXPECT_EQ(StateOf(device), ULONG(DeviceStatePortOpen));
    EXPECT_EQ(Tap("COM1", 8000, 8000), 2u) << "touches work without any command";

    system.RemovePort("COM1");
    Pass(50);
    EXPECT_EQ(StateOf(device), ULONG(DeviceStatePortAbsent)) << "unplugged: not open, awaited";
    system.AddPort("COM1");
    Pass(50);
    EXPECT_EQ(StateOf(device), ULONG(DeviceStatePortOpen));
    EXPECT_EQ(Tap("COM1", 9000, 9000), 2u);
}

TEST_F(ReplugTest, AnotherPortArrivingOpensNothingElse)
{
    Configure(0, u"COM1");
    Start();
    system.AddPort("COM7");
    Pass(50);
    DeviceExtension* device = FirstPortDevice();
    EXPECT_EQ(StateOf(device), ULONG(DeviceStatePortAbsent));
    EXPECT_TRUE(system.FindPort("COM7")->TakeLog().empty()) << "COM7 was never opened";
}

TEST_F(ReplugTest, AClosedPortStaysClosedWhenPortsArrive)
{
    StartWithPort("COM1");
    DeviceExtension* device = FirstPortDevice();
    ASSERT_EQ(StateOf(device), ULONG(DeviceStatePortOpen));
    {
        MutexGuard hold(&ControlRecord()->ListMutex);
        ClosePort(device->Self); // vornctl close
    }
    ASSERT_EQ(StateOf(device), 0u);
    Pass(50);
    ASSERT_EQ(StateOf(device), 0u);
    system.AddPort("COM2");
    Pass(50);
    EXPECT_EQ(StateOf(device), 0u) << "a port the user closed is not reopened behind their back";
}

// A removal and a new AddDevice without a restart (a failed start, a
// re-enumeration): the control device, its configured devices and their
// settings come back, and touches give records again.
TEST_F(ReplugTest, ANewMousePortDeviceBringsTheConfiguredDevicesBack)
{
    kernel.RegistrySetDword(u"VORN2000", u"Rotation", 2);
    StartWithPort("COM1");
    ASSERT_EQ(Tap("COM1", 8000, 8000), 2u);
    ASSERT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(ControlRecord()->PortList);

    ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(system.Pnp(IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    ASSERT_EQ(system.ClassConnect(), STATUS_SUCCESS);
    Pass(50);
    ASSERT_TRUE(ControlRecord()->PortList);
    EXPECT_FALSE(ControlRecord()->ControlRemoved);
    EXPECT_EQ(ControlRecord()->Rotation, 2u);
    EXPECT_EQ(Tap("COM1", 8000, 8000), 2u);
    sim::HostedTransport configuration; // \\.\VORN answers again
    EXPECT_TRUE(configuration.IsOpen());
}

// A device made by request opens its port, and with it starts reading the
// controller's memory, only once its settings are in the registry: a read
// finishing first would put the controller's corners there instead of the
// ones the device was made with. The port's open shows what was done by then,
// whatever the schedule.
TEST_F(ReplugTest, ARequestMadeDeviceOpensItsPortOnlyAfterItsSettingsAreWritten)
{
    StartWithPort("COM1");
    sim::SerialPort& port = system.AddPort("COM2");
    std::u16string keyAtOpen;
    port.OnOpen = [&] {
        hosted::Kernel::RegistryValue comm;
        if (kernel.RegistryGet(u"VORN2000\\Device0", u"COMM", &comm))
            keyAtOpen = comm.Text;
    };
    sim::HostedTransport configuration("\\DosDevices\\VORN", hosted::Account::Administrator);
    vorn::ControlClient client(configuration);
    ASSERT_NE(client.CreatePortDevice("COM2").Value, 0u);
    Pass(50);
    EXPECT_EQ(port.Opens(), 1);
    EXPECT_EQ(keyAtOpen, u"COM2") << "the new device's key (Device0) was written before its port opened";
    port.OnOpen = nullptr;
}

// IoUnregisterPlugPlayNotification may return while a call is still on its
// way (its documentation: "the callback routine might be called after
// IoUnregisterPlugPlayNotification returns"); such a call must touch no
// freed memory and change nothing.
TEST_F(ReplugTest, NotificationsAfterTheirRegistrationEndedDoNothing)
{
    kernel.DeliverLateNotifications(true);
    StartWithPort("COM1");
    system.AddInterface("\\??\\VORNTOUCH#1");
    Pass(50);
    ASSERT_TRUE(ControlRecord()->DynamicList);
    PDEVICE_OBJECT dynamic = ControlRecord()->DynamicList->Device;
    ASSERT_EQ(RemoveDynamicTouchDevice(ControlDeviceObject, HandleOfDevice(dynamic)),
              STATUS_SUCCESS);
    // Its port removal registration is called once more, for a device gone.
    system.FindPort("\\??\\VORNTOUCH#1")->Remove();
    Pass(50);

    // The control device's registrations, called after the removal ended them.
    ASSERT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    system.AddInterface("\\??\\VORNTOUCH#2");
    system.AddPort("COM9");
    Pass(50);
    EXPECT_FALSE(ControlRecord()->DynamicList) << "a retired control device makes no device";
    EXPECT_FALSE(ControlRecord()->PortList);
    kernel.DeliverLateNotifications(false);
}

} // namespace
