// Rotation and the shared adaptive smoothing filter.
#include "fixture.h"

namespace {

class FilterTest : public DriverTest {
protected:
    FilterTest() : device(ExtensionOf(rig.AddTouchDevice())) {}

    // One report through the filter, as the pipeline hands it over.
    std::pair<LONG, LONG> Smooth(LONG x, LONG y, bool touching)
    {
        device->ReportBytes[0] = touching ? 0x81 : 0x80;
        MOUSE_INPUT_DATA record{};
        record.LastX = x;
        record.LastY = y;
        SmoothRecord(device, &record);
        return {record.LastX, record.LastY};
    }

    std::pair<LONG, LONG> Rotate(LONG x, LONG y)
    {
        MOUSE_INPUT_DATA record{};
        record.LastX = x;
        record.LastY = y;
        RotateRecord(device, &record);
        return {record.LastX, record.LastY};
    }

    DeviceExtension* device;
};

TEST_F(FilterTest, WorkedStrokeAdaptsTheNewestWeight)
{
    std::vector<LONG> outputs, weights;
    std::vector<int64_t> sums;
    for (LONG x : {1000, 1100, 2000, 2000, 2000, 2000}) {
        outputs.push_back(Smooth(x, 500, true).first);
        weights.push_back(SmoothingFilter.WeightX[3]);
        sums.push_back(SmoothingFilter.WeightSumX);
    }
    EXPECT_EQ(outputs, (std::vector<LONG>{1000, 1045, 1486, 1588, 1699, 1811}));
    EXPECT_EQ(weights, (std::vector<LONG>{11, 10, 11, 12, 13, 14}));
    EXPECT_EQ(sums, (std::vector<int64_t>{23, 22, 23, 24, 25, 26}));
    EXPECT_EQ(SmoothingFilter.WeightY[3], 6); // Y never moved: it only shrinks

    EXPECT_EQ(Smooth(2100, 500, false).first, 1921);
    EXPECT_EQ(SmoothingFilter.WeightX[3], 15);
    EXPECT_EQ(SmoothingFilter.WeightSumX, 27);
    EXPECT_EQ(SmoothingFilter.FilterPosition, -1);

    EXPECT_EQ(Smooth(3000, 500, true).first, 3000);
    EXPECT_EQ(SmoothingFilter.WeightX[3], 11);
}

TEST_F(FilterTest, ThresholdAndWeightBounds)
{
    // A movement exactly at the threshold counts as slow.
    Smooth(1000, 0, true);
    EXPECT_EQ(SmoothingFilter.WeightX[3], 11);
    Smooth(1256, 0, true); // previous output is 1000: difference 256
    EXPECT_EQ(SmoothingFilter.WeightX[3], 10);
    Smooth(0, 0, false);

    // A newest weight starting above Uppper can only fall; below Low only rise.
    Control().A3 = 40;
    Smooth(0, 0, true);
    for (LONG x = 1000; x < 20000; x += 1000)
        Smooth(x, 0, true);
    EXPECT_EQ(SmoothingFilter.WeightX[3], 39);
    Smooth(0, 0, false);
    Control().A3 = 0;
    Smooth(0, 0, true);
    EXPECT_EQ(SmoothingFilter.WeightX[3], 0);
    Smooth(0, 0, true);
    EXPECT_EQ(SmoothingFilter.WeightX[3], 0);
    EXPECT_EQ(SmoothingFilter.WeightY[3], 0);
}

TEST_F(FilterTest, FilterOffLeavesRecordAndStateUntouched)
{
    Smooth(1000, 1000, true);
    SmoothingFilterState before = SmoothingFilter;
    Control().Filter = 0;
    EXPECT_EQ(Smooth(5000, 7000, true), std::make_pair(5000, 7000));
    EXPECT_EQ(std::memcmp(&before, &SmoothingFilter, sizeof before), 0);
    Control().Filter = 1;
    EXPECT_EQ(SmoothingFilter.FilterPosition, 1); // continues from the frozen state
}

TEST_F(FilterTest, PenUpWithoutAStrokeTouchesNoState)
{
    SmoothingFilterState before = SmoothingFilter;
    EXPECT_EQ(Smooth(4000, 4100, false), std::make_pair(4000, 4100));
    EXPECT_EQ(Smooth(4000, 4100, false), std::make_pair(4000, 4100));
    EXPECT_EQ(std::memcmp(&before, &SmoothingFilter, sizeof before), 0);
}

TEST_F(FilterTest, WeightsThatCannotAverageLeaveCoordinatesInRange)
{
    Control().A0 = Control().A1 = Control().A2 = Control().A3 = 0;
    Control().Low = -5;
    EXPECT_EQ(Smooth(3000, 3000, true), std::make_pair(3000, 3000)); // sum would be -1
    EXPECT_EQ(Smooth(3500, 3500, true), std::make_pair(3500, 3500));
    Smooth(0, 0, false);
    Control().A0 = -4;
    Control().A3 = 20;
    Smooth(60000, 0, true);
    auto [x, y] = Smooth(65536, 65536, true);
    EXPECT_TRUE(x >= 0 && x <= 65536 && y >= 0 && y <= 65536);
    Control().A0 = Control().A1 = Control().A2 = Control().A3 = LongMax;
    Smooth(0, 0, false);
    auto [bx, by] = Smooth(65536, 0, true);
    EXPECT_EQ(bx, 65536);
    EXPECT_EQ(by, 0);
}

TEST_F(FilterTest, QuarterTurns)
{
    Control().Rotation = 1;
    EXPECT_EQ(Rotate(0, 0), std::make_pair(0x10000, 0));
    EXPECT_EQ(Rotate(0x10000, 0), std::make_pair(0x10000, 0x10000));
    Control().Rotation = 2;
    EXPECT_EQ(Rotate(0x4000, 0xC000), std::make_pair(0xC000, 0x4000));
    Control().Rotation = 3;
    EXPECT_EQ(Rotate(0, 0), std::make_pair(0, 0x10000));
    for (ULONG none : {0u, 4u, 0xFFFFFFFFu}) {
        Control().Rotation = none;
        EXPECT_EQ(Rotate(123, 456), std::make_pair(123, 456));
    }
}

TEST_F(FilterTest, TwoDevicesShareOneHistory)
{
    Control().MouseMode = 1;
    PDEVICE_OBJECT a = device->Self;
    PDEVICE_OBJECT b = rig.AddTouchDevice();
    rig.Touch(a, 1000, 1000);
    rig.Touch(b, 1000 + 40, 1000); // 32000 vs 33280 output units apart
    auto records = rig.TakeRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].LastX, 32000);
    // b's sample joins a's history: weights 4, 4, 4 on a's 32000 and, after
    // a movement of 1280, 12 on b's 33280.
    EXPECT_EQ(records[1].LastX, (4 * 32000 * 3 + 12 * 33280) / 24);
    EXPECT_EQ(records[1].UnitId, 1);
}

TEST_F(FilterTest, NewestWeightNeverRisesPastUppperInALongFastStroke)
{
    // Every report after the first moves 1000 > FilterThreshold (256): the
    // newest weight climbs by one a report and then holds at Uppper (36).
    std::vector<LONG> weights;
    for (LONG i = 0; i <= 60; ++i) {
        Smooth(i * 1000, i * 1000, true);
        weights.push_back(SmoothingFilter.WeightX[3]);
        EXPECT_LE(SmoothingFilter.WeightX[3], Control().Uppper) << "report " << i;
        EXPECT_LE(SmoothingFilter.WeightY[3], Control().Uppper) << "report " << i;
    }
    EXPECT_EQ(weights[0], Control().A3 - 1) << "a new stroke starts without movement";
    EXPECT_EQ(weights[1], Control().A3);
    EXPECT_EQ(weights.back(), 36);
    EXPECT_EQ(SmoothingFilter.WeightY[3], 36);
    EXPECT_EQ(SmoothingFilter.WeightSumX, Control().A0 + Control().A1 + Control().A2 + 36);
}

} // namespace
