// The driver where it meets NT: what it returns for requests it forwards,
// requests on handles that outlive a device, devices made after driver
// entry, ports that go away under a running reader or a pressed pen.
#include "control/control.h"
#include "pipeline/pipeline.h"
#include "serial/serial.h"
#include "sim/control_transport.h"
#include "sim/system.h"

#include "tests/system_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

namespace {

class BoundaryTest : public SystemFixture {};

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

// ---- devices made after driver entry ----------------------------------------

TEST_F(BoundaryTest, EveryTouchDeviceCanBeOpenedWhateverMadeIt)
{
    Configure(0, u"COM1");
    system.AddPort("COM1");
    system.AddPort("COM2");
    system.AddInterface("\\??\\VORNTOUCH#1");
    system.Load();
    system.AddDevice();
    system.Pnp(IRP_MN_START_DEVICE);
    sim::HostedTransport configuration;
    vorn::ControlClient client(configuration);
    ASSERT_NE(client.CreatePortDevice("COM2").Value, 0u);

    sim::HostedTransport madeAtEntry("\\DosDevices\\vornCom0");
    EXPECT_TRUE(madeAtEntry.IsOpen());
    sim::HostedTransport madeByRequest("\\DosDevices\\1");
    EXPECT_TRUE(madeByRequest.IsOpen());
    ASSERT_TRUE(ControlRecord()->DynamicList);
    EXPECT_EQ(ControlRecord()->DynamicList->Device->Flags & DO_DEVICE_INITIALIZING, 0u)
        << "a device made on an interface arrival is ready too";
}

// A program's requests run in its process and its user's logon session: what
// they make must still be visible to every session, removable by a teardown
// on a system thread, and its threads started where Windows 2000 allows.
TEST_F(BoundaryTest, DevicesMadeByAProgramsRequestsAreEveryonesAndGoWithTheirDevices)
{
    system.AddPort("COM2");
    system.AddPort("COM3");
    StartWithPort();
    sim::HostedTransport configuration("\\DosDevices\\VORN", hosted::Account::Administrator);
    vorn::ControlClient client(configuration);
    uint32_t made = client.CreatePortDevice("COM2").Value;
    ASSERT_NE(made, 0u);
    uint32_t dynamic = client.CreateDynamicDevice(u"\\DosDevices\\COM3").Value;
    ASSERT_NE(dynamic, 0u);
    ASSERT_EQ(client.ClosePort(made), 0u);
    ASSERT_EQ(client.OpenPort(made), 0u);
    kernel.Settle();
    for (const ListNode* node = ControlRecord()->PortList; node; node = node->Next)
        EXPECT_EQ(ExtensionOf(node->Device)->PortOpen, 1);
    EXPECT_EQ(ExtensionOf(ControlRecord()->DynamicList->Device)->PortOpen, 1);

    for (const std::u16string& link : kernel.SymbolicLinks())
        EXPECT_EQ(link.rfind(u"\\SESSIONS\\", 0), std::u16string::npos)
            << "no link in one logon session's own directory";
    hosted::Opener otherUser;
    otherUser.User = hosted::Account::StandardUser;
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(hosted::OpenHandleByName(u"\\??\\1", &file, otherUser), STATUS_ACCESS_DENIED)
        << "found, then refused by the device's own descriptor";

    EXPECT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    // The control device is only retired: its link stays for the next AddDevice.
    for (const std::u16string& link : kernel.SymbolicLinks())
        EXPECT_TRUE(link.rfind(u"\\DOSDEVICES\\COM", 0) == 0 || link == u"\\DOSDEVICES\\VORN")
            << "every link of a touch device gone: " << std::string(link.begin(), link.end());
}

// ---- a port that goes away while the pen is down ------------------------------

class PenDownTest : public BoundaryTest {
protected:
    // The pen goes down at raw (8000, 8000) and stays there.
    MOUSE_INPUT_DATA PressAndHold()
    {
        StartWithPort();
        system.TakeRecords();
        system.FindPort("COM1")->SendTouch(8000, 8000, true);
        kernel.Settle();
        std::vector<MOUSE_INPUT_DATA> records = system.TakeRecords();
        EXPECT_EQ(records.size(), 1u);
        EXPECT_EQ(records.at(0).ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
        return records.at(0);
    }

    void ExpectReleaseAt(const MOUSE_INPUT_DATA& down)
    {
        std::vector<MOUSE_INPUT_DATA> records = system.TakeRecords();
        ASSERT_EQ(records.size(), 1u) << "one release, nothing else";
        EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_UP);
        EXPECT_EQ(records[0].LastX, down.LastX);
        EXPECT_EQ(records[0].LastY, down.LastY);
        EXPECT_EQ(records[0].Flags, MOUSE_MOVE_ABSOLUTE);
    }
};

TEST_F(PenDownTest, PortRemovalReleasesTheButton)
{
    MOUSE_INPUT_DATA down = PressAndHold();
    system.FindPort("COM1")->Remove();
    Pass(10); // the reader lets its request settle first
    ExpectReleaseAt(down);
}

TEST_F(PenDownTest, ClosingThePortReleasesTheButton)
{
    MOUSE_INPUT_DATA down = PressAndHold();
    sim::HostedTransport configuration;
    vorn::ControlClient client(configuration);
    EXPECT_EQ(client.ClosePort(HandleOfDevice(ControlRecord()->PortList->Device)), 0u);
    kernel.Settle();
    ExpectReleaseAt(down);
}

TEST_F(PenDownTest, AReadEndingInADisconnectReleasesTheButton)
{
    MOUSE_INPUT_DATA down = PressAndHold();
    system.FindPort("COM1")->FailNextRead(STATUS_DEVICE_NOT_CONNECTED);
    Pass(10);
    ExpectReleaseAt(down);
    EXPECT_FALSE(FirstPortDevice()->ReaderThread);
}

TEST_F(PenDownTest, ALiftedPenIsNotReleasedTwice)
{
    PressAndHold();
    system.FindPort("COM1")->SendTouch(8000, 8000, false);
    kernel.Settle();
    EXPECT_EQ(system.TakeRecords().size(), 1u);
    system.FindPort("COM1")->Remove();
    Pass(10);
    EXPECT_TRUE(system.TakeRecords().empty());
}

TEST_F(PenDownTest, TheReleaseGoesToTheDevicesPartOfTheDesktopAsItsDownDid)
{
    StartWithPort();
    sim::HostedTransport configuration;
    vorn::ControlClient client(configuration);
    uint32_t handle = HandleOfDevice(ControlRecord()->PortList->Device);
    ASSERT_EQ(client.SetScreenRect(handle, {32768, 0, 65536, 65536}), 0u);
    system.TakeRecords();
    system.FindPort("COM1")->SendTouch(8000, 8000, true);
    kernel.Settle();
    std::vector<MOUSE_INPUT_DATA> down = system.TakeRecords();
    ASSERT_EQ(down.size(), 1u);
    ASSERT_EQ(down[0].Flags, MOUSE_MOVE_ABSOLUTE | MOUSE_VIRTUAL_DESKTOP);
    ASSERT_GE(down[0].LastX, 32768);

    system.FindPort("COM1")->Remove();
    Pass(10);
    std::vector<MOUSE_INPUT_DATA> up = system.TakeRecords();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].ButtonFlags, MOUSE_LEFT_BUTTON_UP);
    EXPECT_EQ(up[0].Flags, down[0].Flags);
    EXPECT_EQ(up[0].LastX, down[0].LastX);
    EXPECT_EQ(up[0].LastY, down[0].LastY);
}

// The smoothing filter is shared by every device: a stroke a port took away
// must not be averaged into the next touch anywhere.
TEST_F(PenDownTest, AStrokeAPortTookAwayEndsInTheSharedFilter)
{
    Configure(0, u"COM1");
    Configure(1, u"COM2");
    system.AddPort("COM1");
    system.AddPort("COM2");
    Start();
    system.TakeRecords();
    sim::SerialPort& taken = *system.FindPort("COM1");
    for (int i = 0; i < 3; ++i)
        taken.SendTouch(300, 300, true);
    kernel.Settle();
    taken.Remove();
    Pass(10);
    system.TakeRecords();

    system.FindPort("COM2")->SendTouch(1700, 1700, true);
    kernel.Settle();
    std::vector<MOUSE_INPUT_DATA> records = system.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(records[0].LastX, 54400) << "1700 x 32, not averaged with 300";
    EXPECT_EQ(records[0].LastY, 11136) << "65536 - 1700 x 32";
}

TEST_F(PenDownTest, TheReleaseOfARightButtonTouchEndsTheRightButtonMode)
{
    StartWithPort();
    ControlRecord()->MouseMode |= MouseModeRightButton;
    system.TakeRecords();
    system.FindPort("COM1")->SendTouch(8000, 8000, true);
    kernel.Settle();
    std::vector<MOUSE_INPUT_DATA> down = system.TakeRecords();
    ASSERT_EQ(down.size(), 1u);
    ASSERT_EQ(down[0].ButtonFlags, MOUSE_RIGHT_BUTTON_DOWN);

    system.FindPort("COM1")->Remove();
    Pass(10);
    std::vector<MOUSE_INPUT_DATA> up = system.TakeRecords();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].ButtonFlags, MOUSE_RIGHT_BUTTON_UP);
    EXPECT_EQ(ControlRecord()->MouseMode & MouseModeRightButton, 0u)
        << "the right-button mode lasts for one touch, however it ends";
}

// ---- a port-name change followed at once by a close and an open ----------------

TEST_F(BoundaryTest, ReopeningAfterAPortNameChangeReadsTheParametersAgain)
{
    StartWithPort();
    DeviceExtension* device = FirstPortDevice();
    ASSERT_EQ(device->ParametersLoaded, 1);
    sim::SerialPort& port = *system.FindPort("COM1");
    port.Controller.Commands.clear();
    sim::HostedTransport configuration;
    vorn::ControlClient client(configuration);
    ULONG handle = HandleOfDevice(device->Self);
    ASSERT_EQ(client.SetPortName(handle, "COM1"), 0u);
    EXPECT_EQ(device->ParametersLoaded, 0);
    ASSERT_EQ(client.ClosePort(handle), 0u);
    ASSERT_EQ(client.OpenPort(handle), 0u); // at once: the old thread is still in its drain sleep
    Pass(50);
    EXPECT_EQ(port.Controller.Commands.size(), 64u * 4) << "all 64 words read again";
    EXPECT_EQ(device->ParametersLoaded, 1);
}

// ---- a handle on the control device kept across the mouse port's removal ---

std::vector<uint8_t> Le32(ULONG value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

TEST_F(BoundaryTest, RequestsOnAHandleKeptAcrossRemovalFailCleanly)
{
    StartWithPort();
    sim::HostedTransport configuration; // the utility's \\.\VORN, still open
    ASSERT_TRUE(configuration.IsOpen());
    ULONG touch = HandleOfDevice(ControlRecord()->PortList->Device);
    std::vector<uint8_t> block = Le32(touch);
    block.resize(sizeof(DeviceParameterBlock));

    EXPECT_EQ(system.Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    ASSERT_TRUE(ControlRecord()->ControlRemoved);

    const struct {
        ULONG Code;
        std::vector<uint8_t> Input;
        uint32_t Output;
    } requests[] = {
        {IoctlReadParameters, block, sizeof(DeviceParameterBlock)},
        {IoctlWriteParameters, block, 0},
        {IoctlOpenPort, Le32(touch), 0},
        {IoctlPortDeviceCount, {}, 4},
        {IoctlGetMouseSettings, {}, 20},
        {IoctlCreatePortDevice, {'C', 'O', 'M', '1', 0}, 4},
        {IoctlCreateDynamicDevice, {'\\', 0, 'x', 0, 0, 0}, 4},
        {IoctlWaitButtonEvent, {}, 0},
    };
    for (const auto& request : requests) {
        vorn::Reply reply = configuration.Call(request.Code, request.Input, request.Output);
        EXPECT_EQ(reply.Status, uint32_t(STATUS_UNSUCCESSFUL)) << std::hex << request.Code;
        EXPECT_TRUE(reply.Output.empty()) << std::hex << request.Code;
        EXPECT_EQ(configuration.LastDispatchStatus(), STATUS_UNSUCCESSFUL)
            << std::hex << request.Code << ": refused at once, never left pending";
    }
    EXPECT_EQ(kernel.LiveThreads(), 1) << "no request started a thread";
}

} // namespace

// ---- a stored port name too long to use -------------------------------------

#include "tests/scenario_run.h"

namespace {

// The query takes an overlong COMM as read and leaves the name empty (as
// Windows does); the device comes up without a port, says why, and every
// write of the settings puts the user's text back as it was.
TEST(OverlongPortName, TheDeviceHasNoPortSaysWhyAndTheStoredNameSurvivesRenumbering)
{
    const std::string overlong(32, 'X');
    ScenarioRun run = RunLines("reg set VORN2000\\Device0 COMM sz COM1\n"
                               "reg set VORN2000\\Device1 COMM sz " +
                               overlong +
                               "\n"
                               "reg set VORN2000\\Device2 COMM sz COM3\n"
                               "load\npnp add\npnp start\n"
                               "ctl list\n"
                               "ctl add COM5\n"
                               "ctl remove port:0\n" // the newest
                               "reg dump VORN2000\n"
                               // The device made from Device1 is the second made.
                               "ctl set-port 0x00000002 COM4\n"
                               "reg dump VORN2000\n");
    ASSERT_EQ(run.Exit, 0) << run.Errors;
    std::vector<std::string> listed = LinesStartingWith(run.Output, "port:1 handle=");
    ASSERT_EQ(listed.size(), 1u) << run.Output;
    EXPECT_NE(listed[0].find(" port=- open=no (its port name in the registry is longer than 31 "
                             "characters)"),
              std::string::npos)
        << listed[0];
    std::multiset<std::string> names;
    for (const std::string& line : LinesStartingWith(run.Output, "reg VORN2000\\Device"))
        if (line.find(" COMM sz ") != std::string::npos)
            names.insert(line.substr(line.find(" COMM sz ") + 9));
    EXPECT_EQ(names, (std::multiset<std::string>{"COM1", "COM1", "COM3", "COM3", "COM4", overlong}))
        << "kept through the renumbering of an add and a removal, replaced by a port the user sets";
}

} // namespace

namespace {

std::string Hex(const std::string& text)
{
    std::string hex;
    char byte[3];
    for (unsigned char c : text) {
        std::snprintf(byte, sizeof byte, "%02x", c);
        hex += byte;
    }
    return hex;
}

std::string LittleEndian(uint32_t value)
{
    std::string bytes;
    for (int i = 0; i < 4; ++i)
        bytes += char(value >> (8 * i) & 0xFF);
    return bytes;
}

// 31 characters is the longest name the registry keeps: a device made or
// renamed with it works, also after a restart from the registry it left; a
// 32-character name is refused by the utility and by the driver, since the
// next load could not read it back.
TEST(PortNameLength, ThirtyOneCharactersWorkAcrossARestartAndThirtyTwoAreRefused)
{
    const std::string name31 = "COM4567890123456789012345678901";
    const std::string name32 = name31 + "2";
    ASSERT_EQ(name31.size(), 31u);
    ScenarioRun first =
        RunLines("port add " + name31 + "\nport add COM1\n" +
                 "load\npnp add\npnp start\nclass connect\nclass enable\n"
                 "ctl add COM1\n"
                 "ctl set-port port:0 " +
                 name31 + "\nctl add " + name31 +
                 "\n"
                 "settle\nctl list\n"
                 "ioctl 0x8000041C in=" +
                 Hex(name32) + "00 out=4\n" + "ioctl 0x80000408 in={port:0}" +
                 Hex(LittleEndian(33)) + Hex(name32) + "00\n" + "reg dump VORN2000\n");
    ASSERT_EQ(first.Exit, 0) << first.Errors;
    std::vector<std::string> made = LinesStartingWith(first.Output, "port:");
    ASSERT_EQ(made.size(), 3u) << first.Output;
    EXPECT_EQ(made[0], "port:0 port=" + name31 + " (used from the next open)");
    EXPECT_EQ(made[1], "port:0 handle=0x00000002 kind=configured port=" + name31 + " open=yes");
    EXPECT_EQ(made[2].substr(0, made[2].find(" open=")),
              "port:1 handle=0x00000001 kind=configured port=" + name31);
    EXPECT_EQ(LinesStartingWith(first.Output, "ioctl "),
              (std::vector<std::string>{"ioctl 0x8000041C status=0xC0000001 info=0 out=",
                                        "ioctl 0x80000408 status=0xC0000001 info=0 out="}));

    // A restart: the registry the first run left, and the port there.
    std::string restart = "port add " + name31 + "\n";
    for (const std::string& line : LinesStartingWith(first.Output, "reg "))
        restart += "reg set" + line.substr(3) + "\n";
    restart += "load\npnp add\npnp start\nclass connect\nclass enable\nsettle\nctl list\n";
    ScenarioRun second = RunLines(restart);
    ASSERT_EQ(second.Exit, 0) << second.Errors;
    std::vector<std::string> listed = LinesStartingWith(second.Output, "port:");
    ASSERT_EQ(listed.size(), 2u) << second.Output;
    for (const std::string& line : listed)
        EXPECT_NE(line.find(" port=" + name31 + " open="), std::string::npos) << line;
    EXPECT_EQ(LinesStartingWith(second.Output, "port:0 ")[0].substr(
                  LinesStartingWith(second.Output, "port:0 ")[0].find(" open=")),
              " open=yes")
        << "its port opened when the class driver connected";

    ScenarioRun refused = RunLines("load\npnp add\npnp start\nctl add " + name32 + "\n");
    EXPECT_EQ(refused.Exit, 2);
    EXPECT_NE(refused.Errors.find("port name too long: at most 31 characters"), std::string::npos)
        << refused.Errors;
}

} // namespace
