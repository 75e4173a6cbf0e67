// The control device and its lists, driven the way the configuration utility
// drives them: buffered device control requests through the hosted I/O
// manager to \DosDevices\VORN, with the registry read and written behind.
#include "fixture.h"

#include "config/registry.h"
#include "control/control.h"
#include "serial/serial.h"
#include "sim/control_transport.h"

#include <algorithm>

namespace {

using vorn::Reply;

constexpr uint32_t Unsuccessful = vorn::StatusUnsuccessful;

std::u16string Key(const std::u16string& subkey)
{
    return u"VORN2000\\" + subkey;
}

std::string Narrow(const UNICODE_STRING& s)
{
    std::string out;
    for (USHORT i = 0; s.Buffer && i < s.Length / sizeof(WCHAR); ++i)
        out.push_back(char(s.Buffer[i]));
    return out;
}

std::vector<uint8_t> Le(std::initializer_list<uint32_t> values)
{
    std::vector<uint8_t> bytes;
    for (uint32_t v : values)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
    return bytes;
}

uint32_t ValueAt(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(bytes.at(offset + i)) << (8 * i);
    return v;
}

class ControlTest : public DriverTest {
protected:
    ControlTest() : transport(), client(transport) {}

    void ConfigureDevice(int n, const std::u16string& port)
    {
        std::u16string key = Key(u"Device" + std::u16string(1, char16_t(u'0' + n)));
        kernel.RegistrySetString(key, u"COMM", port);
        kernel.RegistrySetDword(key, u"BaudRate", 19200);
    }

    Reply Raw(uint32_t code, const std::vector<uint8_t>& input, uint32_t output)
    {
        return transport.Call(code, input, output);
    }

    std::vector<PDEVICE_OBJECT> Listed(ListNode* head)
    {
        std::vector<PDEVICE_OBJECT> devices;
        for (; head; head = head->Next)
            devices.push_back(head->Device);
        return devices;
    }

    DeviceExtension* DeviceOf(uint32_t handle)
    {
        ListNode* node = FindListNode(Control().PortList, handle);
        if (!node)
            node = FindListNode(Control().DynamicList, handle);
        return node ? ExtensionOf(node->Device) : nullptr;
    }

    uint32_t CreatePort(const std::string& name)
    {
        auto created = client.CreatePortDevice(name);
        EXPECT_TRUE(created.Ok());
        return created.Value;
    }

    uint32_t CreateDynamic(const std::u16string& path)
    {
        auto created = client.CreateDynamicDevice(path);
        EXPECT_TRUE(created.Ok());
        return created.Value;
    }

    sim::HostedTransport transport;
    vorn::ControlClient client;
};

TEST_F(ControlTest, ControlDeviceIsCreatedOnceUnderItsNames)
{
    ASSERT_TRUE(transport.IsOpen()); // \DosDevices\VORN resolves
    PDEVICE_OBJECT again = nullptr;
    EXPECT_EQ(CreateControlDevice(rig.Driver(), &again), STATUS_SUCCESS);
    EXPECT_EQ(again, rig.Control());
    EXPECT_EQ(rig.Control()->DeviceType, 0x8000u);
    EXPECT_TRUE(rig.Control()->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(rig.Control()->Flags & DO_DEVICE_INITIALIZING);
}

TEST_F(ControlTest, ConfiguredDevicesGetEntryNamesAndRequestsContinueTheNumbering)
{
    ConfigureDevice(0, u"COM1");
    ConfigureDevice(1, u"COM2");
    ASSERT_EQ(rig.LoadConfiguredDevices(), STATUS_SUCCESS);

    // The list keeps the keys' order, Device0 at the head, as the renumbering
    // that wrote them had it: a restart changes no position.
    auto listed = Listed(Control().PortList);
    ASSERT_EQ(listed.size(), 2u);
    DeviceExtension* first = ExtensionOf(listed[0]);
    DeviceExtension* second = ExtensionOf(listed[1]);
    EXPECT_EQ(Narrow(first->DeviceName), "\\Device\\vornPort0");
    EXPECT_EQ(Narrow(first->LinkName), "\\DosDevices\\vornCom0");
    EXPECT_EQ(Narrow(first->RegistrySubkey), "VORN2000\\Device0");
    EXPECT_EQ(Narrow(first->PortPath), "\\DosDevices\\COM1");
    EXPECT_EQ(Narrow(first->PortName), "COM1");
    EXPECT_EQ(first->Settings.BaudRate, 19200u);
    EXPECT_EQ(Narrow(second->DeviceName), "\\Device\\vornPort1");
    EXPECT_EQ(Narrow(second->RegistrySubkey), "VORN2000\\Device1");
    EXPECT_EQ(first->UnitIndex, 0);
    EXPECT_EQ(second->UnitIndex, 1);
    EXPECT_FALSE(first->ServiceTarget) << "not linked before the class driver connects";
    EXPECT_FALSE(first->ReaderThread);
    EXPECT_TRUE(listed[0]->Flags & DO_BUFFERED_IO);

    kernel.TakeRegistryWrites();
    uint32_t handle = CreatePort("COM3");
    ASSERT_NE(handle, 0u);
    DeviceExtension* made = DeviceOf(handle);
    EXPECT_EQ(Narrow(made->DeviceName), "\\Device\\2");
    EXPECT_EQ(Narrow(made->LinkName), "\\DosDevices\\2");
    EXPECT_EQ(made->DeviceNumber, 2u);
    // Renumbered from the head: the new device first, then the others in
    // their order.
    EXPECT_EQ(Listed(Control().PortList).front(), made->Self);
    EXPECT_EQ(made->UnitIndex, 0);
    EXPECT_EQ(Narrow(made->RegistrySubkey), "VORN2000\\Device0");
    EXPECT_EQ(first->UnitIndex, 1);
    EXPECT_EQ(Narrow(first->RegistrySubkey), "VORN2000\\Device1");
    EXPECT_EQ(second->UnitIndex, 2);
    hosted::Kernel::RegistryValue comm;
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device1"), u"COMM", &comm));
    EXPECT_EQ(comm.Text, u"COM1");
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device2"), u"COMM", &comm));
    EXPECT_EQ(comm.Text, u"COM2");
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device0"), u"COMM", &comm));
    EXPECT_EQ(comm.Text, u"COM3");

    // The link reaches the new device.
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\2");
    PFILE_OBJECT file;
    PDEVICE_OBJECT found;
    ASSERT_EQ(IoGetDeviceObjectPointer(&link, FILE_ALL_ACCESS, &file, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, made->Self);
    ObDereferenceObject(file);
}

TEST_F(ControlTest, CreationWithoutDeviceObjectAnswersZeroAndKeepsTheNumber)
{
    ConfigureDevice(0, u"COM1");
    rig.LoadConfiguredDevices(); // takes number 0
    // A device already named \Device\1 makes the next creation fail.
    UNICODE_STRING taken;
    RtlInitUnicodeString(&taken, u"\\Device\\1");
    PDEVICE_OBJECT blocker;
    ASSERT_EQ(IoCreateDevice(rig.Driver(), 0, &taken, FILE_DEVICE_UNKNOWN, 0, FALSE, &blocker),
              STATUS_SUCCESS);

    kernel.TakeRegistryWrites();
    Reply reply = Raw(IoctlCreatePortDevice, {'C', 'O', 'M', '5', 0}, 4);
    EXPECT_EQ(reply.Status, 0u);
    ASSERT_EQ(reply.Output.size(), 4u);
    EXPECT_EQ(ValueAt(reply.Output, 0), 0u);
    EXPECT_EQ(Control().DeviceNumber, 1u);
    EXPECT_EQ(client.PortDeviceCount().Value, 1u);
    EXPECT_FALSE(kernel.TakeRegistryWrites().empty()) << "PortList is renumbered all the same";

    IoDeleteDevice(blocker);
    uint32_t handle = CreatePort("COM5");
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(Narrow(DeviceOf(handle)->DeviceName), "\\Device\\1");
}

TEST_F(ControlTest, RemovingDevicesDeletesTheirKeysAndRenumbersTheRest)
{
    uint32_t a = CreatePort("COM1");
    uint32_t b = CreatePort("COM2");
    uint32_t c = CreatePort("COM3");
    // Head first: c, b, a.
    EXPECT_EQ(client.PortDeviceHandles().Value, (std::vector<uint32_t>{c, b, a}));
    ASSERT_TRUE(kernel.RegistryKeyExists(Key(u"Device2")));

    EXPECT_EQ(client.RemovePortDevice(b), 0u);
    EXPECT_EQ(client.PortDeviceHandles().Value, (std::vector<uint32_t>{c, a}));
    EXPECT_FALSE(kernel.RegistryKeyExists(Key(u"Device2")));
    hosted::Kernel::RegistryValue comm;
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device1"), u"COMM", &comm));
    EXPECT_EQ(comm.Text, u"COM1");
    EXPECT_EQ(client.RemovePortDevice(b), Unsuccessful) << "a removed handle names nothing";

    EXPECT_EQ(client.RemovePortDevice(c), 0u);
    kernel.TakeRegistryWrites();
    EXPECT_EQ(client.RemovePortDevice(a), 0u);
    EXPECT_FALSE(Control().PortList);
    EXPECT_FALSE(kernel.RegistryKeyExists(Key(u"Device0")));
    EXPECT_TRUE(kernel.TakeRegistryWrites().empty()) << "removing the last device writes no key";
}

// Keys of numbers with two digits are deleted too, whatever the length of
// the driver's registry path.
TEST_F(ControlTest, RemovalDeletesKeysOfEveryNumber)
{
    std::vector<uint32_t> handles;
    for (int i = 0; i < 11; ++i)
        handles.push_back(CreatePort("COM" + std::to_string(i)));
    ASSERT_TRUE(kernel.RegistryKeyExists(Key(u"Device10")));
    EXPECT_EQ(client.RemovePortDevice(handles[5]), 0u);
    EXPECT_FALSE(kernel.RegistryKeyExists(Key(u"Device10")));
    hosted::Kernel::RegistryValue comm;
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device9"), u"COMM", &comm));
    EXPECT_EQ(comm.Text, u"COM0");
}

TEST_F(ControlTest, HandlesAreNeverReusedAndEachRemovalSearchesItsOwnList)
{
    uint32_t dynamic = CreateDynamic(u"\\DosDevices\\COM7");
    uint32_t port = CreatePort("COM8");
    ASSERT_NE(dynamic, 0u);
    ASSERT_NE(port, 0u);
    EXPECT_NE(dynamic, port);
    EXPECT_EQ(client.RemovePortDevice(dynamic), Unsuccessful);
    EXPECT_EQ(client.RemoveDynamicDevice(port), Unsuccessful);
    EXPECT_EQ(client.DynamicDeviceCount().Value, 1u);

    EXPECT_EQ(client.RemoveDynamicDevice(dynamic), 0u);
    uint32_t next = CreateDynamic(u"\\DosDevices\\COM7");
    EXPECT_NE(next, dynamic);
    EXPECT_EQ(client.PortNameLength(dynamic).Status, Unsuccessful);
    EXPECT_EQ(client.DynamicDeviceHandles().Value, std::vector<uint32_t>{next});

    // Neither the control device nor another device kind is ever found.
    EXPECT_EQ(client.PortNameLength(0).Status, Unsuccessful);
    PDEVICE_OBJECT mousePort;
    IoCreateDevice(rig.Driver(), sizeof(DeviceExtension), nullptr, FILE_DEVICE_SERIAL_MOUSE_PORT, 0,
                   FALSE, &mousePort);
    InitializeMousePortRecord(mousePort);
    EXPECT_EQ(DestroyTouchDevice(mousePort), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DestroyTouchDevice(rig.Control()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DestroyControlDevice(mousePort), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.PortNameLength(HandleOfDevice(mousePort)).Status, Unsuccessful);
    IoDeleteDevice(mousePort);
}

TEST_F(ControlTest, PortNamesThroughTheRequests)
{
    uint32_t com3 = CreatePort("COM3");
    EXPECT_EQ(Narrow(DeviceOf(com3)->PortPath), "\\DosDevices\\COM3");
    EXPECT_EQ(Narrow(DeviceOf(com3)->PortName), "COM3");
    // Without its zero the last character is taken for it.
    Reply cut = Raw(IoctlCreatePortDevice, {'C', 'O', 'M', '3'}, 4);
    EXPECT_EQ(Narrow(DeviceOf(ValueAt(cut.Output, 0))->PortName), "COM");

    ASSERT_EQ(client.SetPortName(com3, "COM1"), 0u);
    EXPECT_EQ(client.PortNameLength(com3).Value, 6u);
    EXPECT_EQ(Raw(IoctlGetPortName, Le({com3}), 6).Status, Unsuccessful);
    Reply name = Raw(IoctlGetPortName, Le({com3}), 7);
    EXPECT_EQ(name.Status, 0u);
    EXPECT_EQ(name.Output, (std::vector<uint8_t>{'C', 'O', 'M', '1'}));
    EXPECT_EQ(client.PortName(com3).Value, "COM1");
    EXPECT_EQ(Narrow(DeviceOf(com3)->PortPath), "\\DosDevices\\COM1");

    DeviceOf(com3)->ParametersLoaded = 1;
    EXPECT_EQ(client.SetPortName(com3, "COM2"), 0u);
    EXPECT_EQ(DeviceOf(com3)->ParametersLoaded, 0);
    hosted::Kernel::RegistryValue comm;
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device1"), u"COMM", &comm));
    EXPECT_EQ(comm.Text, u"COM2");

    uint32_t dynamic = CreateDynamic(u"\\DosDevices\\COM4");
    EXPECT_EQ(client.SetPortName(dynamic, "COM5"), Unsuccessful);
    EXPECT_EQ(Narrow(DeviceOf(dynamic)->PortPath), "\\DosDevices\\COM4");
}

TEST_F(ControlTest, DynamicPortPathFitsUpTo128Characters)
{
    std::u16string path(128, u'x');
    EXPECT_EQ(Narrow(DeviceOf(CreateDynamic(path))->PortPath), std::string(128, 'x'));
    EXPECT_EQ(DeviceOf(CreateDynamic(path + u"x"))->PortPath.Length, 0);
    EXPECT_EQ(DeviceOf(CreateDynamic(path))->Settings.ModeStatus & ModeStatusDynamic,
              ModeStatusDynamic);
}

TEST_F(ControlTest, PortNameFromAnInterfaceLinkDropsItsPrefix)
{
    PDEVICE_OBJECT touch = rig.AddTouchDevice(false);
    WCHAR text[] = u"\\??\\COM12";
    UNICODE_STRING link{18, 20, text};
    SetPortNameFromLink(touch, &link);
    // The text ends at the link's length: its terminating zero, within the
    // capacity, does not become part of the name.
    EXPECT_EQ(ExtensionOf(touch)->PortName.Length, 10);
    EXPECT_EQ(Narrow(ExtensionOf(touch)->PortName), "COM12");
    ExFreePool(ExtensionOf(touch)->PortName.Buffer);

    UNICODE_STRING tiny{8, 8, text};
    SetPortNameFromLink(touch, &tiny);
    EXPECT_EQ(ExtensionOf(touch)->PortName.Length, 0);
}

TEST_F(ControlTest, ParameterBlockRoundTripsAndCalFlagsSetTheSwitches)
{
    uint32_t port = CreatePort("COM1");
    vorn::ParameterBlock block;
    block.Handle = port;
    block.LLX = -5;
    block.ULY = 16000;
    block.BaudRate = 38400;
    block.ModeStatus = 0x77; // ignored
    block.Mode = 3;
    block.ClickDelay = 12;
    block.CalFlags = 2;
    block.CalAux = 9;
    block.GridCorners[7] = 123;
    block.GridX[24] = -7;
    block.GridY[0] = 8;
    ASSERT_EQ(client.WriteParameters(block), 0u);
    DeviceExtension* device = DeviceOf(port);
    EXPECT_EQ(device->SwapXY, 1);
    EXPECT_EQ(device->GridEnabled, 0);
    EXPECT_EQ(device->Settings.GridULY, 123);
    EXPECT_EQ(device->Settings.ModeStatus, 0u);
    hosted::Kernel::RegistryValue baud;
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device0"), u"BaudRate", &baud));
    EXPECT_EQ(baud.Dword, 38400u);

    EXPECT_EQ(Raw(IoctlReadParameters, Le({port}), 299).Status, Unsuccessful);
    Reply read = Raw(IoctlReadParameters, Le({port}), 300);
    ASSERT_EQ(read.Output.size(), 300u);
    EXPECT_EQ(ValueAt(read.Output, 0), port) << "bytes 0 to 3 keep the handle";
    vorn::ParameterBlock back = vorn::ParameterBlock::Decode(read.Output);
    block.ModeStatus = 0;
    EXPECT_EQ(back.Encode(), block.Encode());

    // On a dynamic device the values apply but nothing is written.
    uint32_t dynamic = CreateDynamic(u"\\DosDevices\\COM9");
    kernel.TakeRegistryWrites();
    block.Handle = dynamic;
    block.CalFlags = 1;
    ASSERT_EQ(client.WriteParameters(block), 0u);
    EXPECT_EQ(DeviceOf(dynamic)->GridEnabled, 1);
    EXPECT_EQ(DeviceOf(dynamic)->SwapXY, 0);
    EXPECT_TRUE(kernel.TakeRegistryWrites().empty());
    EXPECT_EQ(client.ReadParameters(dynamic).Value.ModeStatus & ModeStatusDynamic,
              ModeStatusDynamic);
}

TEST_F(ControlTest, GlobalSettingsAreStoredAnsweredAndWrittenTogether)
{
    ASSERT_EQ(client.SetMouseSettings({0x20000001, 500, -4}), 0u);
    ASSERT_EQ(client.SetLanguage(7), 0u);
    ASSERT_EQ(client.SetRotation(2), 0u);
    auto mouse = client.GetMouseSettings();
    EXPECT_EQ(mouse.Value.MouseMode, 0x20000001u);
    EXPECT_EQ(mouse.Value.DoubleClickSpeed, 500u);
    EXPECT_EQ(mouse.Value.DoubleClickSize, -4);
    EXPECT_EQ(client.Language().Value, 7u);
    EXPECT_EQ(client.Rotation().Value, 2u);
    auto writes = kernel.TakeRegistryWrites();
    ASSERT_EQ(writes.size(), 15u) << "five global values per setter";
    for (const auto& [key, name] : writes)
        EXPECT_EQ(key, u"VORN2000");
    hosted::Kernel::RegistryValue size;
    ASSERT_TRUE(kernel.RegistryGet(u"VORN2000", u"DoubleClickSize", &size));
    EXPECT_EQ(size.Dword, 0xFFFFFFFCu);

    Control().A2 = 11;
    Control().Filter = 3;
    auto filter = client.GetFilterSettings();
    EXPECT_EQ(filter.Value.A2, 11);
    EXPECT_EQ(filter.Value.Filter, 3u);
    EXPECT_EQ(Raw(IoctlGetMouseSettings, {}, 4).Status, Unsuccessful);
}

struct SizeCase {
    uint32_t Code;
    uint32_t Input, Output;
    bool NamesDevice;
};

// Every request at its minimum sizes succeeds and one byte below fails with
// no data, and the dispatch routine reports the request's own status.
TEST_F(ControlTest, EveryRequestAtAndBelowItsMinimumSizes)
{
    sim::SerialPort& port = rig.AddSerialPort("COM1");
    (void)port;
    uint32_t device = CreatePort("COM1");
    uint32_t spare = CreatePort("COM2");
    uint32_t dynamic = CreateDynamic(u"\\DosDevices\\COM3");
    const SizeCase cases[] = {
        {IoctlClosePort, 4, 0, true},
        {IoctlOpenPort, 4, 0, true},
        {IoctlSetPortName, 12, 0, true},
        {IoctlWriteParameters, 300, 0, true},
        {IoctlReadParameters, 4, 300, true},
        {IoctlPortDeviceCount, 0, 4, false},
        {IoctlPortDeviceHandles, 0, 8, false},
        {IoctlCreatePortDevice, 5, 4, false},
        {IoctlGetPortName, 4, 7, true},
        {IoctlPortNameLength, 4, 4, true},
        {IoctlCreateDynamicDevice, 10, 4, false},
        {IoctlDynamicDeviceCount, 0, 4, false},
        {IoctlDynamicDeviceHandles, 0, 8, false},
        {IoctlSetSwapXY, 8, 0, true},
        {IoctlSetGridEnabled, 8, 0, true},
        {IoctlSetNotifyMask, 4, 0, false},
        {IoctlGetNotifyMask, 0, 4, false},
        {IoctlSetMouseSettings, 12, 0, false},
        {IoctlGetMouseSettings, 0, 12, false},
        {IoctlSetLanguage, 4, 0, false},
        {IoctlGetLanguage, 0, 4, false},
        {IoctlGetFilterSettings, 0, 32, false},
        {IoctlGetRotation, 0, 4, false},
        {IoctlSetRotation, 4, 0, false},
        {IoctlGetDeviceState, 4, 4, true},
        {IoctlRemoveDynamicDevice, 4, 0, false},
        {IoctlRemovePortDevice, 4, 0, false},
        {IoctlSetScreenRect, 20, 0, true},
        {IoctlGetScreenRect, 4, 16, true},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.Code);
        std::vector<uint8_t> input(c.Input, 0);
        if (c.NamesDevice)
            input = Le({device});
        if (c.Code == IoctlSetPortName)
            input = {0, 0, 0, 0, 4, 0, 0, 0, 'C', 'O', 'M', 0};
        if (c.Code == IoctlSetPortName)
            std::copy_n(Le({device}).begin(), 4, input.begin());
        if (c.Code == IoctlCreatePortDevice)
            input = {'C', 'O', 'M', '4', 0};
        if (c.Code == IoctlCreateDynamicDevice)
            input = {'C', 0, 'O', 0, 'M', 0, '6', 0, 0, 0};
        if (c.Code == IoctlRemoveDynamicDevice)
            input = Le({dynamic});
        if (c.Code == IoctlRemovePortDevice)
            input = Le({spare});
        if (c.Code == IoctlSetNotifyMask || c.Code == IoctlSetLanguage ||
            c.Code == IoctlSetRotation || c.Code == IoctlSetMouseSettings)
            input.assign(c.Input, 0);
        input.resize(std::max<size_t>(input.size(), c.Input), 0);
        if (c.Code == IoctlGetPortName) {
            ASSERT_EQ(client.SetPortName(device, "COM1"), 0u);
        }

        if (c.Input > 0 && c.Code != IoctlCreatePortDevice && c.Code != IoctlCreateDynamicDevice) {
            std::vector<uint8_t> shorter(input.begin(), input.begin() + (c.Input - 1));
            Reply refused = Raw(c.Code, shorter, c.Output);
            EXPECT_EQ(refused.Status, Unsuccessful);
            EXPECT_TRUE(refused.Output.empty());
            EXPECT_EQ(uint32_t(transport.LastDispatchStatus()), Unsuccessful);
        }
        if (c.Output > 0) {
            Reply refused = Raw(c.Code, input, c.Output - 1);
            EXPECT_EQ(refused.Status, Unsuccessful);
            EXPECT_TRUE(refused.Output.empty());
        }
        Reply accepted = Raw(c.Code, input, c.Output);
        EXPECT_EQ(accepted.Status, 0u);
        EXPECT_EQ(uint32_t(transport.LastDispatchStatus()), 0u);
    }
    // A code that does not exist is refused with no data, never reported as done.
    for (uint32_t code : {0x80000428u, 0x8000043Cu, 0x80000490u, 0x800004FCu, 0x80000508u}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        Reply unlisted = Raw(code, Le({device}), 16);
        EXPECT_EQ(unlisted.Status, Unsuccessful);
        EXPECT_TRUE(unlisted.Output.empty());
        EXPECT_EQ(uint32_t(transport.LastDispatchStatus()), Unsuccessful);
    }
}

// Creations, removals and opens are carried out by a system worker; without
// the work item that takes them there nothing is done, in the program's
// process least of all.
TEST_F(ControlTest, WithoutAWorkItemNothingIsDoneInTheProgramsProcess)
{
    uint32_t kept = CreatePort("COM1");
    kernel.FailNthCall(hosted::FaultKind::Alloc, 1);
    auto created = client.CreatePortDevice("COM2");
    EXPECT_TRUE(created.Ok()) << "answered as a creation that made no device";
    EXPECT_EQ(created.Value, 0u);
    kernel.FailNthCall(hosted::FaultKind::Alloc, 1);
    EXPECT_EQ(client.CreateDynamicDevice(u"\\DosDevices\\COM3").Value, 0u);
    kernel.FailNthCall(hosted::FaultKind::Alloc, 1);
    EXPECT_EQ(Raw(IoctlRemovePortDevice, Le({kept}), 0).Status, Unsuccessful);
    EXPECT_EQ(Listed(Control().PortList).size(), 1u);
    EXPECT_EQ(Control().DynamicList, nullptr);
    EXPECT_NE(DeviceOf(kept), nullptr) << "the refused removal left the device whole";
}

TEST_F(ControlTest, ListAnswersHoldOneHandlePerDevice)
{
    EXPECT_EQ(Raw(IoctlPortDeviceHandles, {}, 0).Status, 0u) << "an empty list needs no room";
    CreatePort("COM1");
    CreatePort("COM2");
    CreatePort("COM3");
    Reply tooSmall = Raw(IoctlPortDeviceHandles, {}, 8);
    EXPECT_EQ(tooSmall.Status, Unsuccessful);
    EXPECT_TRUE(tooSmall.Output.empty());
    EXPECT_EQ(Raw(IoctlPortDeviceHandles, {}, 12).Output.size(), 12u);
    EXPECT_EQ(client.PortDeviceCount().Value, 3u);
}

// Inputs whose lengths claim more than the caller passed are refused, never
// read past; the hosted system buffer is exactly as large as the caller's.
TEST_F(ControlTest, InputsThatOverstateTheirLengthAreRefused)
{
    uint32_t device = CreatePort("COM1");
    EXPECT_EQ(Raw(IoctlReadParameters, {1, 2}, 300).Status, Unsuccessful);
    EXPECT_EQ(Raw(IoctlCreatePortDevice, {}, 4).Status, Unsuccessful);
    EXPECT_EQ(Raw(IoctlCreateDynamicDevice, {'C', 0, 'O', 0}, 4).Status, Unsuccessful);
    EXPECT_EQ(Raw(IoctlCreateDynamicDevice, {'C', 0, 'O'}, 4).Status, Unsuccessful);
    EXPECT_EQ(client.DynamicDeviceCount().Value, 0u);

    auto setName = [&](uint32_t length, std::vector<uint8_t> name) {
        std::vector<uint8_t> input = Le({device, length});
        input.insert(input.end(), name.begin(), name.end());
        return Raw(IoctlSetPortName, input, 0).Status;
    };
    EXPECT_EQ(setName(0, {'C', 'O', 'M', 0}), Unsuccessful);
    EXPECT_EQ(setName(5, {'C', 'O', 'M', '1'}), Unsuccessful);
    EXPECT_EQ(setName(0x10004, {'C', 'O', 'M', 0}), 0u) << "only the low 16 bits count";
    EXPECT_EQ(Narrow(DeviceOf(device)->PortName), "COM");
}

TEST_F(ControlTest, RequestsToATouchDeviceSucceedWithNoData)
{
    uint32_t handle = CreatePort("COM1");
    sim::HostedTransport direct("\\DosDevices\\0");
    ASSERT_TRUE(direct.IsOpen());
    vorn::ControlClient toTouch(direct);
    EXPECT_EQ(toTouch.RemovePortDevice(handle), 0u);
    auto count = toTouch.PortDeviceCount();
    EXPECT_EQ(count.Status, 0u);
    EXPECT_EQ(count.Value, 0u);
    EXPECT_EQ(client.PortDeviceCount().Value, 1u) << "nothing changed";

    transport.SetInternal(true);
    EXPECT_EQ(client.PortDeviceCount().Value, 1u) << "internal requests are served alike";
}

// A device made by request on a live port is linked and started; removing it
// while both threads run, or destroying the control device under dynamic
// devices, leaves nothing behind for the leak checks.
TEST_F(ControlTest, DevicesAreTornDownWhileTheirThreadsRun)
{
    sim::SerialPort& com1 = rig.AddSerialPort("COM1");
    sim::SerialPort& com2 = rig.AddSerialPort("COM2");
    com1.Controller.AnswersLeft = 3; // the parameter thread keeps waiting
    uint32_t port = CreatePort("COM1");
    DeviceExtension* device = DeviceOf(port);
    kernel.Settle();
    EXPECT_TRUE(device->ReaderThread);
    EXPECT_TRUE(device->ParameterThread);
    com1.SendTouch(4000, 4000, true);
    kernel.Settle();
    EXPECT_FALSE(rig.TakeRecords().empty());

    uint32_t dynamic = CreateDynamic(u"\\DosDevices\\COM2");
    kernel.Settle();
    EXPECT_TRUE(DeviceOf(dynamic)->ReaderThread);
    EXPECT_FALSE(DeviceOf(dynamic)->ParameterThread);

    EXPECT_EQ(client.RemovePortDevice(port), 0u);
    com2.SendTouch(100, 100, true);
    kernel.Settle();
    EXPECT_FALSE(rig.TakeRecords().empty());
    // The rig's teardown destroys the control device with the dynamic device
    // still reading.
}

// The event wait stays pending through the dispatch, with ListMutex free
// for the requests that follow, and a selected touch completes it.
TEST_F(ControlTest, EventWaitPendsThroughTheDispatch)
{
    ASSERT_EQ(client.SetMouseSettings({MouseModeNotifyOnDown, 0, 0}), 0u);
    PDEVICE_OBJECT touch = rig.AddTouchDevice();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(IoctlWaitButtonEvent, rig.Control(), nullptr, 0,
                                             nullptr, 0, FALSE, &done, &status);
    EXPECT_EQ(IoCallDriver(rig.Control(), irp), STATUS_PENDING);
    EXPECT_EQ(client.PortDeviceCount().Status, 0u);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    rig.Touch(touch, 5000, 5000, true);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
}

// Every allocation of a creation may fail: the request then answers handle 0
// or a listed device, and nothing is leaked either way.
TEST_F(ControlTest, CreationsSurviveAnyFailedAllocation)
{
    for (ULONGLONG n = 1; n <= 12; ++n) {
        SCOPED_TRACE(n);
        kernel.FailNthAllocation(n);
        auto dynamic = client.CreateDynamicDevice(u"\\DosDevices\\COM4");
        kernel.ClearAllocationFaults();
        if (dynamic.Ok() && dynamic.Value != 0) {
            EXPECT_TRUE(DeviceOf(dynamic.Value));
            EXPECT_EQ(client.RemoveDynamicDevice(dynamic.Value), 0u);
        }
        kernel.FailNthAllocation(n);
        auto port = client.CreatePortDevice("COM5");
        kernel.ClearAllocationFaults();
        if (port.Ok() && port.Value != 0) {
            EXPECT_TRUE(DeviceOf(port.Value));
            EXPECT_EQ(client.RemovePortDevice(port.Value), 0u);
        }
        EXPECT_EQ(client.DynamicDeviceCount().Value, 0u);
        EXPECT_EQ(client.PortDeviceCount().Value, 0u);
    }
}

TEST_F(ControlTest, SwapAndGridRequestsTurnTheirFlagOnAndOff)
{
    uint32_t handle = CreatePort("COM1");
    uint32_t other = CreatePort("COM2");
    DeviceExtension* device = DeviceOf(handle);
    const UCHAR otherSwap = DeviceOf(other)->SwapXY, otherGrid = DeviceOf(other)->GridEnabled;
    EXPECT_EQ(client.SetSwapXY(handle, false), 0u);
    EXPECT_EQ(client.SetGridEnabled(handle, false), 0u);
    EXPECT_EQ(device->SwapXY, 0);
    EXPECT_EQ(device->GridEnabled, 0);
    // The flag is the value at offset 4; the handle at offset 0 names the device.
    EXPECT_EQ(client.SetSwapXY(handle, true), 0u);
    EXPECT_EQ(device->SwapXY, 1);
    EXPECT_EQ(client.SetGridEnabled(handle, true), 0u);
    EXPECT_EQ(device->GridEnabled, 1);
    EXPECT_EQ(DeviceOf(other)->SwapXY, otherSwap) << "only the named device";
    EXPECT_EQ(DeviceOf(other)->GridEnabled, otherGrid);
    EXPECT_EQ(client.SetSwapXY(handle, false), 0u);
    EXPECT_EQ(device->SwapXY, 0);
    EXPECT_EQ(client.SetGridEnabled(handle, false), 0u);
    EXPECT_EQ(device->GridEnabled, 0);
    // Any nonzero value turns the flag on.
    EXPECT_EQ(Raw(IoctlSetSwapXY, Le({handle, 0x100}), 0).Status, 0u);
    EXPECT_EQ(device->SwapXY, 1);
    EXPECT_EQ(Raw(IoctlSetGridEnabled, Le({handle, 0x100}), 0).Status, 0u);
    EXPECT_EQ(device->GridEnabled, 1);
}

TEST_F(ControlTest, PortNamesAreWrittenWithTheirZero)
{
    CreatePort("COM12");
    hosted::Kernel::RegistryValue value;
    ASSERT_TRUE(kernel.RegistryGet(Key(u"Device0"), u"COMM", &value));
    EXPECT_EQ(value.Bytes, (std::vector<UCHAR>{'C', 0, 'O', 0, 'M', 0, '1', 0, '2', 0, 0, 0}));
}

} // namespace
