// The driver end to end as the system loads and drives it: driver entry,
// AddDevice and Plug and Play on a bus device, the mouse class driver above,
// serial ports and companion interfaces below.
#include "control/control.h"
#include "pipeline/pipeline.h"
#include "serial/serial.h"
#include "sim/control_transport.h"
#include "sim/system.h"

#include "tests/system_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class SystemTest : public SystemFixture {
protected:
    void Tap(const std::string& port, ULONG x, ULONG y)
    {
        system.FindPort(port)->SendTouch(x, y, true);
        system.FindPort(port)->SendTouch(x, y, false);
        kernel.Settle();
    }

    ULONG DynamicCount()
    {
        return CountListNodes(ControlRecord() ? ControlRecord()->DynamicList : nullptr);
    }
};

TEST_F(SystemTest, ConfiguredPortDeliversOnceTheClassDriverConnects)
{
    Configure(0, u"COM1");
    system.AddPort("COM1");
    system.Load();
    ASSERT_TRUE(ControlRecord());
    EXPECT_FALSE(system.Driver()->DriverUnload) << "the driver cannot be unloaded";
    EXPECT_FALSE(FirstPortDevice()->ReaderThread) << "driver entry starts no thread";
    system.AddDevice();
    system.Pnp(IRP_MN_START_DEVICE);
    EXPECT_FALSE(FirstPortDevice()->ReaderThread);
    ASSERT_EQ(system.ClassConnect(), STATUS_SUCCESS);
    Pass(50);
    DeviceExtension* device = FirstPortDevice();
    EXPECT_EQ(device->ServiceTarget, ControlDeviceObject);
    EXPECT_TRUE(device->ReaderThread);
    EXPECT_EQ(device->ParametersLoaded, 1);
    EXPECT_EQ(ControlRecord()->ClassEnabled, 1);

    Tap("COM1", 8000, 8000);
    auto records = system.TakeRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(records[1].ButtonFlags, MOUSE_LEFT_BUTTON_UP);

    EXPECT_EQ(system.ClassConnect(), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(system.ClassConnect(4), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(system.ClassRequest(IOCTL_INTERNAL_MOUSE_DISCONNECT), STATUS_NOT_IMPLEMENTED);
    Tap("COM1", 8000, 8000);
    EXPECT_EQ(system.TakeRecords().size(), 2u) << "delivery continues after a disconnect";
}

TEST_F(SystemTest, ConnectNeedsAWholeConnectData)
{
    system.Load();
    system.AddDevice();
    EXPECT_EQ(system.ClassConnect(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(system.ClassConnect(), STATUS_SUCCESS);
}

TEST_F(SystemTest, DisabledDeliveryQueuesAtMost128RecordsOldestFirst)
{
    StartWithPort();
    ControlRecord()->MouseMode = MouseModeClickAssistOff;
    EXPECT_EQ(system.ClassRequest(IOCTL_INTERNAL_MOUSE_DISABLE), STATUS_SUCCESS);
    for (ULONG i = 0; i < 70; ++i)
        Tap("COM1", 1000 + 100 * i, 8000); // 140 records
    EXPECT_TRUE(system.TakeRecords().empty());
    EXPECT_EQ(system.ClassRequest(IOCTL_INTERNAL_MOUSE_ENABLE), STATUS_SUCCESS);
    Tap("COM1", 15000, 15000);
    auto records = system.TakeRecords();
    // The 128 kept while disabled, then the new tap's release: its press met
    // a full queue and was dropped, the queue was delivered, then it was free.
    ASSERT_EQ(records.size(), 129u);
    EXPECT_EQ(records[127].ButtonFlags, MOUSE_LEFT_BUTTON_UP) << "the 64th tap ends the queue";
    EXPECT_EQ(records[128].ButtonFlags, MOUSE_LEFT_BUTTON_UP) << "the new press was dropped";
    records.pop_back();
    for (size_t i = 1; i < records.size(); ++i)
        EXPECT_LE(records[i - 1].LastX, records[i].LastX) << "oldest first";
}

TEST_F(SystemTest, AttributesAnswerAndRestartAReaderEndedByADisconnect)
{
    StartWithPort();
    EXPECT_EQ(system.ClassAttributes(11).Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(system.ClassAttributes(11).Information, 0u);

    system.FindPort("COM1")->FailNextRead(STATUS_DEVICE_NOT_CONNECTED);
    Pass(1100);
    EXPECT_FALSE(FirstPortDevice()->ReaderThread);
    sim::AttributesAnswer answer = system.ClassAttributes();
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 12u);
    EXPECT_EQ(answer.Attributes.MouseIdentifier, 0);
    EXPECT_EQ(answer.Attributes.NumberOfButtons, 2);
    EXPECT_EQ(answer.Attributes.SampleRate, 120);
    EXPECT_EQ(answer.Attributes.InputDataQueueLength, 6u);
    Pass(50);
    EXPECT_TRUE(FirstPortDevice()->ReaderThread);
    Tap("COM1", 8000, 8000);
    EXPECT_EQ(system.TakeRecords().size(), 2u);
}

// The class driver passes a program's attributes query down in that
// program's process: the reader it restarts still starts in the system
// process, where Windows 2000 allows it.
TEST_F(SystemTest, AProgramsAttributesQueryRestartsTheReaderFromTheSystemProcess)
{
    StartWithPort();
    system.FindPort("COM1")->FailNextRead(STATUS_DEVICE_NOT_CONNECTED);
    Pass(1100);
    ASSERT_FALSE(FirstPortDevice()->ReaderThread);
    {
        hosted::ProgramContext program(hosted::Account::StandardUser);
        EXPECT_EQ(system.ClassAttributes().Status, STATUS_SUCCESS);
    }
    Pass(50);
    EXPECT_TRUE(FirstPortDevice()->ReaderThread);
    Tap("COM1", 8000, 8000);
    EXPECT_EQ(system.TakeRecords().size(), 2u);
}

TEST_F(SystemTest, InterfacesBecomeDynamicDevicesAndGoWithTheirRemoval)
{
    system.AddInterface("\\??\\VORNTOUCH#1");
    system.AddInterface("\\??\\VORNTOUCH#2");
    system.Load();
    system.AddDevice();
    system.Pnp(IRP_MN_START_DEVICE);
    system.ClassConnect();
    Pass(50);
    ASSERT_EQ(DynamicCount(), 2u);
    for (ListNode* node = ControlRecord()->DynamicList; node; node = node->Next) {
        DeviceExtension* device = ExtensionOf(node->Device);
        EXPECT_EQ(device->Settings.ModeStatus & ModeStatusDynamic, ModeStatusDynamic);
        EXPECT_TRUE(device->ReaderThread);
        EXPECT_EQ(device->ParametersLoaded, 1);
    }
    Tap("\\??\\VORNTOUCH#2", 8000, 8000);
    EXPECT_EQ(system.TakeRecords().size(), 2u);

    system.RemoveInterface("\\??\\VORNTOUCH#1");
    EXPECT_EQ(DynamicCount(), 1u);
    // A second start registers again: a new interface is then reported twice.
    system.Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(DynamicCount(), 2u) << "the interface still present is reported again";
    system.AddInterface("\\??\\VORNTOUCH#3");
    EXPECT_EQ(DynamicCount(), 4u);
}

TEST_F(SystemTest, InterfaceWithoutAPortStillMakesAnIdleDevice)
{
    system.Load();
    system.AddDevice();
    system.Pnp(IRP_MN_START_DEVICE);
    hosted::AddDeviceInterface(CompanionInterfaceClass, u"\\??\\NOWHERE#1");
    ASSERT_EQ(DynamicCount(), 1u);
    EXPECT_FALSE(ExtensionOf(ControlRecord()->DynamicList->Device)->ReaderThread);
    hosted::RemoveDeviceInterface(CompanionInterfaceClass, u"\\??\\NOWHERE#1");
    EXPECT_EQ(DynamicCount(), 0u);
}

// The interface's removal may be reported before its port's stack goes.
TEST_F(SystemTest, InterfaceRemovedBeforeItsPort)
{
    sim::SerialPort& port = system.AddInterface("\\??\\VORNTOUCH#1");
    system.Load();
    system.AddDevice();
    system.Pnp(IRP_MN_START_DEVICE);
    system.ClassConnect();
    Pass(50);
    ASSERT_TRUE(ExtensionOf(ControlRecord()->DynamicList->Device)->ReaderThread);
    hosted::RemoveDeviceInterface(CompanionInterfaceClass, u"\\??\\VORNTOUCH#1");
    EXPECT_EQ(DynamicCount(), 0u);
    port.Remove();
    Pass(50);
    EXPECT_EQ(kernel.LiveThreads(), 1);
}

TEST_F(SystemTest, FirstOpenOfATouchDeviceClearsItsNotification)
{
    Configure(0, u"COM1");
    system.Load();
    DeviceExtension* device = FirstPortDevice();
    device->NotifyMask = 5;
    EXPECT_EQ(system.Open(device->Self), STATUS_SUCCESS);
    EXPECT_EQ(device->NotifyMask, 0u);
    device->NotifyMask = 5;
    EXPECT_EQ(system.Open(device->Self), STATUS_SUCCESS);
    EXPECT_EQ(device->NotifyMask, 5u) << "only the first open clears it";
    system.Close(device->Self);
    system.Close(device->Self);
    EXPECT_EQ(device->OpenCount, 0);
}

TEST_F(SystemTest, PlugAndPlayAnswersOfTheMousePort)
{
    system.Load();
    system.AddDevice();
    EXPECT_EQ(system.Pnp(IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_UNSUCCESSFUL);
    sim::PnpAnswer capabilities = system.Pnp(IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(capabilities.Status, STATUS_SUCCESS);
    EXPECT_FALSE(capabilities.SurpriseRemovalOk);
    EXPECT_EQ(system.Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE).Status, STATUS_SUCCESS);
    EXPECT_EQ(system.Pnp(IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_NOT_SUPPORTED)
        << "other requests go down unchanged";
    EXPECT_EQ(system.BusPnpLog(),
              (std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_STOP_DEVICE}));
    EXPECT_EQ(system.Power(), STATUS_SUCCESS);

    EXPECT_EQ(system.Open(system.MousePort()), STATUS_SUCCESS);
    EXPECT_EQ(system.Open(system.MousePort()), STATUS_SUCCESS);
    EXPECT_EQ(system.Close(system.MousePort()), STATUS_SUCCESS);
    EXPECT_EQ(system.BusCloses(), 0);
    EXPECT_EQ(system.Close(system.MousePort()), STATUS_SUCCESS);
    EXPECT_EQ(system.BusCloses(), 1);
    EXPECT_EQ(system.BusCreates(), 0);

    EXPECT_EQ(system.Read(ControlDeviceObject), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    ASSERT_TRUE(ControlDeviceObject) << "retired, kept for the next AddDevice";
    EXPECT_TRUE(ControlRecord()->ControlRemoved);
}

TEST_F(SystemTest, ControlDeviceOpensNeverCountAsFirstOrLast)
{
    system.Load();
    DeviceExtension* control = ControlRecord();
    control->NotifyMask = 7;
    EXPECT_EQ(system.Open(ControlDeviceObject), STATUS_SUCCESS);
    EXPECT_EQ(control->NotifyMask, 7u);
    EXPECT_EQ(system.Close(ControlDeviceObject), STATUS_SUCCESS);
    EXPECT_EQ(control->OpenCount, 1);
}

TEST_F(SystemTest, RemovalTearsDownRunningDevicesAndLeavesNothing)
{
    Configure(1, u"COM2");
    system.AddPort("COM2").Controller.AnswersLeft = 5; // its parameter thread keeps waiting
    system.AddInterface("\\??\\VORNTOUCH#1");
    StartWithPort();
    Tap("COM1", 8000, 8000);
    ASSERT_EQ(DynamicCount(), 1u);
    EXPECT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(ControlRecord()->PortList);
    EXPECT_FALSE(ControlRecord()->DynamicList);
    EXPECT_EQ(kernel.LiveThreads(), 1) << "every reader and parameter thread has ended";
}

TEST_F(SystemTest, WithoutAControlDeviceTheMousePortStillAnswers)
{
    UNICODE_STRING taken;
    RtlInitUnicodeString(&taken, u"\\Device\\VORN");
    PDEVICE_OBJECT blocker;
    ASSERT_EQ(IoCreateDevice(system.Driver(), 0, &taken, FILE_DEVICE_UNKNOWN, 0, FALSE, &blocker),
              STATUS_SUCCESS);
    EXPECT_EQ(system.Load(), STATUS_SUCCESS);
    EXPECT_FALSE(ControlDeviceObject);
    system.AddDevice();
    EXPECT_EQ(system.Pnp(IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(system.ClassConnect(), STATUS_SUCCESS);
    sim::AttributesAnswer answer = system.ClassAttributes();
    EXPECT_EQ(answer.Status, STATUS_SUCCESS);
    EXPECT_EQ(answer.Information, 12u);
    EXPECT_EQ(answer.Attributes.NumberOfButtons, 2) << "never stale bytes";
    EXPECT_EQ(system.ClassRequest(IOCTL_INTERNAL_MOUSE_ENABLE), STATUS_SUCCESS);
    system.Pnp(IRP_MN_REMOVE_DEVICE);
    IoDeleteDevice(blocker);
}

TEST_F(SystemTest, AddDeviceWithNothingBelowFailsCleanly)
{
    system.Load();
    EXPECT_EQ(system.Driver()->DriverExtension->AddDevice(system.Driver(), nullptr),
              STATUS_NO_SUCH_DEVICE);
}

TEST_F(SystemTest, ManyStartsAndARemovalLeaveNoRegistration)
{
    system.Load();
    system.AddDevice();
    for (int start = 0; start < 10; ++start)
        ASSERT_EQ(system.Pnp(IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(kernel.NotificationRegistrations(), 9u)
        << "the newest eight of the companion class are kept, and one for serial ports";
    EXPECT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(kernel.NotificationRegistrations(), 0u);
}

TEST_F(SystemTest, RemovalCancelsAWaitingEventRequest)
{
    system.Load();
    system.AddDevice();
    system.Pnp(IRP_MN_START_DEVICE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP wait = IoBuildDeviceIoControlRequest(IoctlWaitButtonEvent, ControlDeviceObject, nullptr, 0,
                                              nullptr, 0, FALSE, &done, &status);
    ASSERT_EQ(IoCallDriver(ControlDeviceObject, wait), STATUS_PENDING);
    EXPECT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);
    EXPECT_EQ(status.Information, 0u);
}

TEST_F(SystemTest, LoadedParametersAreNotReadAgainByConnectOrAttributes)
{
    sim::SerialPort& port = system.AddPort("COM1");
    system.Load();
    system.AddDevice();
    system.Pnp(IRP_MN_START_DEVICE);
    sim::HostedTransport configuration;
    vorn::ControlClient client(configuration);
    uint32_t handle = client.CreatePortDevice("COM1").Value;
    Pass(50);
    DeviceExtension* device = FirstPortDevice();
    ASSERT_EQ(device->ParametersLoaded, 1);
    // Closed and opened again: the parameter thread has ended, and the open
    // does not read the loaded memory again.
    EXPECT_EQ(client.ClosePort(handle), 0u);
    EXPECT_EQ(client.OpenPort(handle), 0u);
    Pass(50);
    ASSERT_FALSE(device->ParameterThread);
    port.Controller.Commands.clear();

    EXPECT_EQ(system.ClassConnect(), STATUS_SUCCESS);
    Pass(50);
    EXPECT_EQ(system.ClassAttributes().Status, STATUS_SUCCESS);
    Pass(50);
    EXPECT_TRUE(port.Controller.Commands.empty());
    EXPECT_FALSE(device->ParameterThread);
}

} // namespace
