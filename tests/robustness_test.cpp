// Arbitrary controller bytes must leave the parser consistent and every
// record within the output range, whatever calibration the bytes install.
#include "fixture.h"

#include <random>

namespace {

void ExpectParserConsistent(const DeviceExtension& d)
{
    EXPECT_FALSE(d.InReport && d.InResponse);
    EXPECT_EQ(d.ReportIndex == 0, !d.InReport);
    EXPECT_LT(d.ReportIndex, 5u);
    EXPECT_LE(d.ResponseLength, 16u);
    EXPECT_LE(d.ResponseRemaining, 16);
    EXPECT_GE(d.ResponseRemaining, -1);
    EXPECT_LE(d.RingCount, d.RingCapacity);
    EXPECT_LT(d.RingHead, d.RingCapacity);
    EXPECT_LT(d.RingTail, d.RingCapacity);
}

void ExpectInRange(const std::vector<MOUSE_INPUT_DATA>& records)
{
    for (const auto& r : records) {
        ASSERT_GE(r.LastX, 0);
        ASSERT_LE(r.LastX, 0x10000);
        ASSERT_GE(r.LastY, 0);
        ASSERT_LE(r.LastY, 0x10000);
        ASSERT_EQ(r.Flags, MOUSE_MOVE_ABSOLUTE);
    }
}

class RobustnessTest : public DriverTest {};

// Mostly noise, with enough status bytes, start bytes and "C" answers (with
// any index and word, 64 and above included) that every state is visited
// and the parameter memory is applied over and over.
std::vector<UCHAR> HostileStream(std::mt19937& random, size_t length)
{
    std::vector<UCHAR> bytes;
    std::uniform_int_distribution<int> any(0, 255), pick(0, 9);
    while (bytes.size() < length) {
        switch (pick(random)) {
        case 0:
        case 1:
            bytes.push_back(UCHAR(0x80 | any(random) % 16));
            break;
        case 2:
            bytes.insert(bytes.end(), {0x0A, UCHAR(any(random)), 0x43, UCHAR(any(random) % 80)});
            break;
        case 3:
            bytes.insert(bytes.end(),
                         {0x0A, 0x04, 0x43, 63, UCHAR(any(random)), UCHAR(any(random))});
            break;
        default:
            bytes.push_back(UCHAR(any(random)));
            break;
        }
    }
    return bytes;
}

TEST_F(RobustnessTest, RandomStreamsKeepParserAndRecordsSane)
{
    std::mt19937 random(20261208);
    PDEVICE_OBJECT touches[3] = {rig.AddTouchDevice(), rig.AddTouchDevice(), rig.AddTouchDevice()};
    Control().DoubleClickSpeed = 3;
    Control().DoubleClickSize = 400;
    size_t records = 0;
    for (int round = 0; round < 300; ++round) {
        PDEVICE_OBJECT touch = touches[round % 3];
        std::uniform_int_distribution<ULONG> perRead(1, 5);
        rig.Receive(touch, HostileStream(random, 400), perRead(random));
        ExpectParserConsistent(*ExtensionOf(touch));
        auto taken = rig.TakeRecords();
        records += taken.size();
        ExpectInRange(taken);
        if (round % 50 == 49)
            kernel.SleepMs(1000); // let click timers fire
    }
    EXPECT_GT(records, 1000u);
}

TEST_F(RobustnessTest, ExtremeSettingsKeepRecordsInRange)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<LONG> any(LongMin, LongMax);
    PDEVICE_OBJECT touch = rig.AddTouchDevice();
    DeviceExtension* device = ExtensionOf(touch);
    for (int round = 0; round < 200; ++round) {
        TouchSettings& s = device->Settings;
        LONG* corners[] = {&s.LLX,     &s.LLY,     &s.LRX,     &s.LRY,     &s.URX,     &s.URY,
                           &s.ULX,     &s.ULY,     &s.GridLLX, &s.GridLLY, &s.GridLRX, &s.GridLRY,
                           &s.GridURX, &s.GridURY, &s.GridULX, &s.GridULY};
        for (LONG* c : corners)
            *c = (round % 2) ? any(random) : any(random) % 4000;
        InvalidateCornerMaps(device);
        for (int i = 0; i < 25; ++i) {
            s.GridX[i] = any(random);
            s.GridY[i] = any(random);
        }
        Control().A0 = any(random) % 50;
        Control().A3 = any(random) % 50;
        Control().FilterThreshold = any(random);
        Control().Rotation = ULONG(round % 5);
        Control().DoubleClickSize = any(random);
        Control().DoubleClickSpeed = ULONG(any(random));
        std::uniform_int_distribution<ULONG> raw(0, 16383);
        for (int i = 0; i < 5; ++i)
            rig.Touch(touch, raw(random), raw(random), i < 4);
        ExpectInRange(rig.TakeRecords());
    }
}

} // namespace
