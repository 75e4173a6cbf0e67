// Corners changed by each of their writers shape the very next report: the
// registry at driver entry, a parameter block written through the control
// device, and the controller's parameter memory, read at start and read
// again. Bytes come from the emulated controller on COM1, records reach the
// mouse class driver.
#include "control/control.h"
#include "pipeline/pipeline.h"
#include "sim/control_transport.h"

#include "tests/system_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

namespace {

using Position = std::pair<LONG, LONG>;

// Corner sets in the record's order: LL, LR, UR, UL.
struct Corners {
    LONG Values[8];
};
constexpr Corners Identity{{102, 102, 1945, 102, 1945, 1945, 102, 1945}};
constexpr Corners Worked{{180, 150, 1890, 130, 1910, 1880, 160, 1900}};
constexpr Corners ShiftedBy100{{202, 202, 2045, 202, 2045, 2045, 202, 2045}};

// Where a press at raw (1000, 500) lands: unmapped (the identity, or a
// degenerate set), through the worked example (reference 981, 480), and
// through the corners shifted by 100 (reference 900, 400).
constexpr ULONG RawX = 1000, RawY = 500;
const Position Unmapped{1000 * 32, 65536 - 500 * 32};
const Position ThroughWorked{981 * 32, 65536 - 480 * 32};
const Position ThroughShifted{900 * 32, 65536 - 400 * 32};

class CornerChangeTest : public SystemFixture {
protected:
    // COM1, configured, its controller answering `answers` parameter reads
    // (-1: every one).
    sim::SerialPort& AddController(long answers)
    {
        Configure(0, u"COM1");
        sim::SerialPort& port = system.AddPort("COM1");
        port.Controller.AnswersLeft = answers;
        return port;
    }

    void StartPlain()
    {
        Start();
        // No smoothing and no click assist: a record is the mapping alone.
        ControlRecord()->Filter = 0;
        ControlRecord()->MouseMode = MouseModeClickAssistOff;
    }

    ULONG DeviceHandle() { return HandleOfDevice(ControlRecord()->PortList->Device); }

    // Where the press of a tap at raw (1000, 500) lands.
    Position TapAtRaw()
    {
        sim::SerialPort& port = *system.FindPort("COM1");
        port.SendTouch(RawX, RawY, true);
        port.SendTouch(RawX, RawY, false);
        kernel.Settle();
        std::vector<MOUSE_INPUT_DATA> records = system.TakeRecords();
        EXPECT_EQ(records.size(), 2u);
        if (records.empty())
            return {-1, -1};
        EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
        return {records[0].LastX, records[0].LastY};
    }

    void WriteRegistryCorners(const Corners& c)
    {
        static const char16_t* const names[8] = {u"LLX", u"LLY", u"LRX", u"LRY",
                                                 u"URX", u"URY", u"ULX", u"ULY"};
        for (int k = 0; k < 8; ++k)
            kernel.RegistrySetDword(u"VORN2000\\Device0", names[k], ULONG(c.Values[k]));
    }

    // A whole parameter block, as the configuration utility writes one; the
    // grid offsets all 0.
    void WriteBlock(vorn::ControlClient& client, const Corners& calibration, const Corners& grid,
                    bool gridOn)
    {
        vorn::ParameterBlock block;
        block.Handle = DeviceHandle();
        int32_t* corners[8] = {&block.LLX, &block.LLY, &block.LRX, &block.LRY,
                               &block.URX, &block.URY, &block.ULX, &block.ULY};
        for (int k = 0; k < 8; ++k) {
            *corners[k] = calibration.Values[k];
            block.GridCorners[k] = grid.Values[k];
        }
        block.BaudRate = 9600;
        block.CalFlags = gridOn ? CalFlagGridOn : 0;
        ASSERT_EQ(client.WriteParameters(block), 0u);
    }

    // The controller's words name the corners LL, LR, UL, UR.
    static void StoreCornerWords(USHORT* words, const Corners& c)
    {
        const int recordIndex[8] = {0, 1, 2, 3, 6, 7, 4, 5};
        for (int k = 0; k < 8; ++k)
            words[k] = USHORT(c.Values[recordIndex[k]]);
    }

    // Corners in words 0..7 and 33..40, the grid switch in word 58, the
    // grid offsets (and everything else) 0.
    static void StoreMemory(sim::SerialPort& port, const Corners& calibration, const Corners& grid,
                            bool gridOn)
    {
        USHORT* memory = port.Controller.Memory;
        std::fill(memory, memory + ParameterWordCount, USHORT(0));
        StoreCornerWords(memory, calibration);
        StoreCornerWords(memory + 33, grid);
        memory[58] = gridOn ? CalFlagGridOn : 0;
    }

    // As after a port name change: the port closed and opened again reads
    // the whole parameter memory anew.
    void ReadMemoryAgain(vorn::ControlClient& client)
    {
        ASSERT_EQ(client.SetPortName(DeviceHandle(), "COM1"), 0u);
        ASSERT_EQ(client.ClosePort(DeviceHandle()), 0u);
        ASSERT_EQ(client.OpenPort(DeviceHandle()), 0u);
        Pass(50);
        ASSERT_EQ(FirstPortDevice()->ParametersLoaded, 1);
    }
};

TEST_F(CornerChangeTest, RegistryCornersShapeTheFirstReport)
{
    AddController(0); // its memory never replaces them
    WriteRegistryCorners(ShiftedBy100);
    StartPlain();
    EXPECT_EQ(TapAtRaw(), ThroughShifted);
}

TEST_F(CornerChangeTest, EachWrittenParameterBlockShapesTheNextReport)
{
    AddController(0);
    StartPlain();
    sim::HostedTransport configuration;
    vorn::ControlClient client(configuration);
    // No corners in the registry: both sets all 0, degenerate.
    EXPECT_EQ(TapAtRaw(), Unmapped);

    // Each block changes both sets: through either old set the press would
    // land elsewhere.
    WriteBlock(client, Worked, Identity, false);
    EXPECT_EQ(TapAtRaw(), ThroughWorked);
    WriteBlock(client, Identity, Worked, true);
    EXPECT_EQ(TapAtRaw(), ThroughWorked);
    WriteBlock(client, ShiftedBy100, Identity, true);
    EXPECT_EQ(TapAtRaw(), ThroughShifted);
}

TEST_F(CornerChangeTest, ControllerMemoryShapesTheNextReportEachTimeItIsRead)
{
    sim::SerialPort& port = AddController(-1);
    StoreMemory(port, ShiftedBy100, Identity, false);
    StartPlain();
    ASSERT_EQ(FirstPortDevice()->ParametersLoaded, 1);
    EXPECT_EQ(TapAtRaw(), ThroughShifted);

    sim::HostedTransport configuration;
    vorn::ControlClient client(configuration);
    StoreMemory(port, Identity, Worked, true);
    ReadMemoryAgain(client);
    EXPECT_EQ(TapAtRaw(), ThroughWorked);
    StoreMemory(port, Worked, Identity, false);
    ReadMemoryAgain(client);
    EXPECT_EQ(TapAtRaw(), ThroughWorked);
}

} // namespace
