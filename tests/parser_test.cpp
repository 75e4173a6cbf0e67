// Controller bytes through the ByteRing and the framing state machine, as
// read completions deliver them.
#include "fixture.h"

#include <algorithm>
#include <random>
#include <tuple>

namespace {

class ParserTest : public DriverTest {
protected:
    ParserTest()
    {
        Control().Filter = 0;
        Control().MouseMode = 1; // click assist off: records as decoded
        touch = rig.AddTouchDevice();
        device = ExtensionOf(touch);
    }

    void Send(const std::vector<UCHAR>& bytes, ULONG perRead = 5)
    {
        rig.Receive(touch, bytes, perRead);
    }
    bool ResponseSignalled() { return KeReadStateEvent(&device->ResponseEvent) != 0; }

    PDEVICE_OBJECT touch;
    DeviceExtension* device;
};

TEST_F(ParserTest, ReportWholeOrSplitAcrossReadsGivesOneRecord)
{
    const std::vector<UCHAR> report = {0x81, 0x05, 0x10, 0x03, 0x7F}; // raw (656, 511)
    Send(report);
    Send({0x81, 0x05}, 2);
    Send({0x10, 0x03, 0x7F});
    EXPECT_EQ(PointsOf(rig.TakeRecords()),
              (std::vector<Point>{{656 * 32, 65536 - 511 * 32, MOUSE_LEFT_BUTTON_DOWN},
                                  {656 * 32, 65536 - 511 * 32, 0}}));
}

TEST_F(ParserTest, NewStatusByteAbandonsAnOpenReport)
{
    Send({0x81, 0x05, 0x81, 0x05, 0x10, 0x03, 0x7F});
    EXPECT_EQ(rig.TakeRecords().size(), 1u);
}

TEST_F(ParserTest, StartByteIsDataInsideAReportAndOpensAResponseAfterIt)
{
    Send({0x81, 0x0A, 0x0A, 0x0A, 0x0A}); // raw (1290, 1290)
    EXPECT_EQ(PointsOf(rig.TakeRecords()),
              (std::vector<Point>{{1290 * 32, 65536 - 1290 * 32, MOUSE_LEFT_BUTTON_DOWN}}));
    Send(sim::ParameterResponseBytes(7, 0x0BCD));
    EXPECT_EQ(device->ParameterMemory[7], 0x0BCD);
    EXPECT_TRUE(ResponseSignalled());
}

TEST_F(ParserTest, ParameterWordIsStoredAndSignalledButNotApplied)
{
    Send({0x0A, 0x04, 0x43, 0x05, 0x34, 0x12});
    EXPECT_EQ(device->ParameterMemory[5], 0x1234);
    EXPECT_TRUE(ResponseSignalled());
    EXPECT_FALSE(device->ParametersLoaded);
    EXPECT_EQ(device->Settings.ULY, 1945);
    EXPECT_TRUE(kernel.DebugMessages().empty());
}

TEST_F(ParserTest, LastWordAppliesTheWholeMemory)
{
    // The worked calibration: LL (180, 150), LR (1890, 130), UL (160, 1900),
    // UR (1910, 1880), in the words' own corner order; grid off.
    const USHORT corners[8] = {180, 150, 1890, 130, 160, 1900, 1910, 1880};
    for (UCHAR i = 0; i < 63; ++i)
        Send(sim::ParameterResponseBytes(i, i < 8 ? corners[i] : 0));
    EXPECT_FALSE(device->ParametersLoaded);
    KeClearEvent(&device->ResponseEvent);
    Send(sim::ParameterResponseBytes(63, 0));

    EXPECT_TRUE(device->ParametersLoaded);
    EXPECT_TRUE(ResponseSignalled());
    EXPECT_EQ(
        kernel.DebugMessages(),
        (std::vector<std::string>{" Read Done !\n", " Update 4 point Calibration Parameters !\n",
                                  " Update 25 point Calibration Parameters !\n"}));
    const TouchSettings& s = device->Settings;
    EXPECT_EQ((std::vector<LONG>{s.LLX, s.LLY, s.LRX, s.LRY, s.URX, s.URY, s.ULX, s.ULY}),
              (std::vector<LONG>{180, 150, 1890, 130, 1910, 1880, 160, 1900}));
    EXPECT_EQ(device->GridEnabled, 0);

    rig.Touch(touch, 1000, 500);
    EXPECT_EQ(PointsOf(rig.TakeRecords()),
              (std::vector<Point>{{31392, 50176, MOUSE_LEFT_BUTTON_DOWN}}));
}

TEST_F(ParserTest, GridWordsAreTransposedAndFlagsApplied)
{
    Send(sim::ParameterResponseBytes(8, 0xFF05));
    Send(sim::ParameterResponseBytes(9, 0x0003));
    Send(sim::ParameterResponseBytes(13, 0x0700));
    Send(sim::ParameterResponseBytes(33, 40000)); // corner words are unsigned
    Send(sim::ParameterResponseBytes(58, 0x0002));
    device->Settings.CalAux = 0x55;
    Send(sim::ParameterResponseBytes(63, 0));
    const TouchSettings& s = device->Settings;
    EXPECT_EQ(s.GridX[0], 5);
    EXPECT_EQ(s.GridY[0], -1);
    EXPECT_EQ(s.GridX[5], 3); // word 9: column 1, row 0
    EXPECT_EQ(s.GridY[1], 7); // word 13: column 0, row 1
    EXPECT_EQ(s.GridLLX, 40000);
    EXPECT_EQ(s.CalFlags, 2);
    EXPECT_EQ(s.CalAux, 0);
    EXPECT_EQ(device->GridEnabled, 0);
    EXPECT_EQ(device->SwapXY, 1);
}

TEST_F(ParserTest, OverlongResponseReadsSixteenBytesThenIdle)
{
    std::vector<UCHAR> bytes = {0x0A, 0x20, 0x43, 0x02, 0x11, 0x22};
    for (int i = 0; i < 12; ++i)
        bytes.push_back(0x85); // status bytes inside a response are payload
    bytes.push_back(0x7F);     // after the 16th payload byte: idle, discarded
    auto report = sim::TouchReportBytes(100, 100, true);
    bytes.insert(bytes.end(), report.begin(), report.end());
    Send(bytes);
    EXPECT_EQ(device->ParameterMemory[2], 0x2211);
    EXPECT_EQ(device->ResponseLength, 16u);
    EXPECT_EQ(rig.TakeRecords().size(), 1u);
}

TEST_F(ParserTest, ResponsesThatCarryNoWord)
{
    Send({0x0A, 0x04, 0x43, 0x40, 0x00, 0x00}); // index 64
    EXPECT_TRUE(ResponseSignalled());
    KeClearEvent(&device->ResponseEvent);

    Send({0x0A, 0x02, 0x52, 0x01}); // not a parameter answer
    EXPECT_FALSE(ResponseSignalled());

    // A truncated "C" answer stores nothing but still answers the command.
    device->ParameterMemory[1] = 0x0101;
    Send({0x0A, 0x02, 0x43, 0x01});
    EXPECT_TRUE(ResponseSignalled());
    EXPECT_EQ(device->ParameterMemory[1], 0x0101);
    KeClearEvent(&device->ResponseEvent);

    // A length of 0 is an empty payload; the next byte is parsed from idle.
    Send({0x0A, 0x00, 0x0A, 0x04, 0x43, 0x03, 0x78, 0x56});
    EXPECT_EQ(device->ParameterMemory[3], 0x5678);
    EXPECT_FALSE(device->InResponse);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(device->ParameterMemory[i], i == 1 ? 0x0101 : i == 3 ? 0x5678 : 0);
}

TEST_F(ParserTest, FullRingDropsTheSurplusAndAnEmptyAppendQueuesNothing)
{
    KIRQL old;
    KeAcquireSpinLock(&device->Lock, &old);
    for (int read = 0; read < 12; ++read) {
        RtlFillMemory(device->ReadBuffer, 5, 0x11);
        AppendReceivedBytes(device, 5);
    }
    EXPECT_EQ(device->RingCount, 60u);
    const UCHAR last[5] = {0x21, 0x22, 0x23, 0x24, 0x25};
    RtlCopyMemory(device->ReadBuffer, last, 5);
    AppendReceivedBytes(device, 5);
    EXPECT_EQ(device->RingCount, 64u);
    EXPECT_EQ(device->RingBuffer[63], 0x24); // the fifth byte was dropped

    EXPECT_TRUE(KeRemoveQueueDpc(&device->ParseDpc));
    AppendReceivedBytes(device, 5);
    EXPECT_EQ(kernel.QueuedDpcCount(), 0u);
    KeReleaseSpinLock(&device->Lock, old);
    EXPECT_EQ(device->RingCount, 64u); // nothing drained it
}

TEST_F(ParserTest, ParseDpcOfAnyOtherKindOfDeviceDoesNothing)
{
    ParseReceivedBytes(nullptr, &Control(), nullptr, nullptr);
    EXPECT_TRUE(rig.TakeRecords().empty());
}

TEST_F(ParserTest, ThreeByteParameterAnswerStoresNoWordYetAnswersTheCommand)
{
    // "C", the index and one byte of the word: too short to carry it.
    device->ParameterMemory[1] = 0x0101;
    Send({0x0A, 0x03, 0x43, 0x01, 0x22});
    EXPECT_TRUE(ResponseSignalled());
    EXPECT_EQ(device->ParameterMemory[1], 0x0101);
    EXPECT_FALSE(device->InResponse);
    EXPECT_EQ(device->ParametersLoaded, 0);
}

} // namespace

namespace {

// Fills the ring with up to `perDrain` bytes in reads of at most 5 before
// the ParseDpc runs once over all of them.
void ReceiveBatched(PDEVICE_OBJECT touch, const std::vector<UCHAR>& bytes, size_t perDrain)
{
    DeviceExtension* device = ExtensionOf(touch);
    for (size_t batch = 0; batch < bytes.size(); batch += perDrain) {
        size_t end = std::min(bytes.size(), batch + perDrain);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (size_t at = batch; at < end; at += ReadSize) {
            ULONG count = ULONG(std::min<size_t>(ReadSize, end - at));
            KeAcquireSpinLockAtDpcLevel(&device->Lock);
            RtlCopyMemory(device->ReadBuffer, bytes.data() + at, count);
            AppendReceivedBytes(device, count);
            KeReleaseSpinLockFromDpcLevel(&device->Lock);
        }
        KeLowerIrql(old); // one ParseDpc for the whole batch
    }
}

// Reports, reports cut short by a new status byte, stray bytes, status bytes
// as data, parameter answers and other responses, in random order.
std::vector<UCHAR> MixedStream(std::mt19937& random)
{
    std::vector<UCHAR> stream;
    for (int piece = 0; piece < 400; ++piece) {
        switch (random() % 6) {
        case 0:
        case 1: {
            auto report = sim::TouchReportBytes(random() % 16384, random() % 16384, random() % 4);
            stream.insert(stream.end(), report.begin(), report.end());
            break;
        }
        case 2: { // a report cut short
            auto report = sim::TouchReportBytes(random() % 16384, random() % 16384, true);
            stream.insert(stream.end(), report.begin(), report.begin() + 1 + random() % 4);
            break;
        }
        case 3:
            stream.push_back(UCHAR(random()));
            break;
        case 4: {
            auto answer = sim::ParameterResponseBytes(UCHAR(random() % 64), USHORT(random()));
            stream.insert(stream.end(), answer.begin(), answer.end());
            break;
        }
        default:
            stream.push_back(0x0A);
            stream.push_back(UCHAR(random() % 20));
            for (int i = random() % 6; i > 0; --i)
                stream.push_back(UCHAR(0x80 | random() % 16));
            break;
        }
    }
    return stream;
}

} // namespace

// However the bytes are cut into reads and drains, the same records come
// out and the framing ends in the same state: whole reports taken from the
// ring in one step behave exactly as byte by byte.
TEST_F(ParserTest, TheSameStreamGivesTheSameRecordsHoweverItArrives)
{
    std::mt19937 random(5);
    for (int round = 0; round < 10; ++round) {
        std::vector<UCHAR> stream = MixedStream(random);
        PDEVICE_OBJECT oneByOne = rig.AddTouchDevice();
        PDEVICE_OBJECT batched = rig.AddTouchDevice();
        rig.Receive(oneByOne, stream, 1);
        std::vector<MOUSE_INPUT_DATA> expected = rig.TakeRecords();
        ReceiveBatched(batched, stream, ByteRingCapacity);
        std::vector<MOUSE_INPUT_DATA> actual = rig.TakeRecords();
        ASSERT_EQ(PointsOf(actual), PointsOf(expected)) << "round " << round;
        const DeviceExtension& a = *ExtensionOf(oneByOne);
        const DeviceExtension& b = *ExtensionOf(batched);
        EXPECT_EQ(std::vector<USHORT>(a.ParameterMemory, a.ParameterMemory + ParameterWordCount),
                  std::vector<USHORT>(b.ParameterMemory, b.ParameterMemory + ParameterWordCount));
        EXPECT_EQ(std::make_tuple(a.InReport, a.ReportIndex, a.InResponse),
                  std::make_tuple(b.InReport, b.ReportIndex, b.InResponse));
    }
}
