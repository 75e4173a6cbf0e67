// The 25-point grid correction: cell search, fractions and bilinear offsets.
#include "fixture.h"

namespace {

class GridTest : public DriverTest {
protected:
    GridTest() : device(ExtensionOf(rig.AddTouchDevice())) {}

    std::pair<LONG, LONG> Correct(LONG x, LONG y)
    {
        ApplyGridCorrection(device, &x, &y);
        return {x, y};
    }

    DeviceExtension* device;
};

TEST_F(GridTest, ZeroOffsetsChangeNothingAndUniformOffsetsShiftEverything)
{
    for (auto [x, y] : {std::pair<LONG, LONG>{102, 102}, {600, 1100}, {-40, 3000}, {1945, 1945}})
        EXPECT_EQ(Correct(x, y), std::make_pair(x, y));
    for (int i = 0; i < 25; ++i) {
        device->Settings.GridX[i] = 10;
        device->Settings.GridY[i] = -5;
    }
    for (auto [x, y] : {std::pair<LONG, LONG>{102, 102}, {600, 1100}, {-40, 3000}, {1945, 1945}})
        EXPECT_EQ(Correct(x, y), std::make_pair(x - 10, y + 5));
}

TEST_F(GridTest, WorkedExampleAroundOneGridPoint)
{
    device->Settings.GridX[7] = 20; // column 1, row 2: reference (511, 1023)
    device->Settings.GridY[7] = -12;
    EXPECT_EQ(Correct(600, 1100), std::make_pair(586, 1109));
    EXPECT_EQ(Correct(767, 767), std::make_pair(762, 770));
    EXPECT_EQ(Correct(511, 1023), std::make_pair(492, 1034)); // only the cross term
    EXPECT_EQ(Correct(102, 102), std::make_pair(102, 102));
}

TEST_F(GridTest, CellsAndFractionsIncludingExtrapolation)
{
    // Offsets that grow by 1024 per column (X) and per row (Y) make the
    // correction read back as cell * 1024 + fraction.
    for (int c = 0; c < 5; ++c)
        for (int r = 0; r < 5; ++r) {
            device->Settings.GridX[5 * c + r] = 1024 * c;
            device->Settings.GridY[5 * c + r] = 1024 * r;
        }
    auto offsetAt = [&](LONG v) { return v - Correct(v, v).first; };
    EXPECT_EQ(offsetAt(511), 0 * 1024 + 1022);
    EXPECT_EQ(offsetAt(512), 1 * 1024 + 2);
    EXPECT_EQ(offsetAt(1945), 3 * 1024 + 1025);
    EXPECT_EQ(offsetAt(2000), 3 * 1024 + 1162);
    EXPECT_EQ(offsetAt(50), 0 * 1024 - 130);
    EXPECT_EQ(offsetAt(14642), 3 * 1024 + 32767); // the last fraction that fits 16 bits
    // Past it the fraction is held rather than wrapped to a negative value.
    EXPECT_EQ(offsetAt(14643), 3 * 1024 + 32767);
    EXPECT_EQ(offsetAt(-13005), -32767);
    EXPECT_EQ(offsetAt(-20000), -32768);
    LONG x = 600, y = 2000;
    ApplyGridCorrection(device, &x, &y);
    EXPECT_EQ(600 - x, 1024 + 178);
    EXPECT_EQ(2000 - y, 3 * 1024 + 1162); // rows never reach a row 4
}

TEST_F(GridTest, ExtremeOffsetsSaturateInsteadOfOverflowing)
{
    for (int i = 0; i < 25; ++i) {
        device->Settings.GridX[i] = (i % 2) ? LongMax : LongMin;
        device->Settings.GridY[i] = (i % 3) ? LongMin : LongMax;
    }
    for (LONG v : {LongMin, -20000, 102, 1000, 14643, LongMax}) {
        LONG x = v, y = v;
        ApplyGridCorrection(device, &x, &y); // UBSan would flag any overflow
        EXPECT_TRUE(x >= LongMin && x <= LongMax);
    }
}

TEST_F(GridTest, GridPassRunsBeforeTheMainMappingInTheRecords)
{
    Control().Filter = 0;
    Control().MouseMode = 1;
    PDEVICE_OBJECT touch = device->Self;
    device->Settings.GridX[7] = 20;
    device->Settings.GridY[7] = -12;
    rig.Touch(touch, 600, 1100);
    auto records = rig.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].LastX, 586 * 32);
    EXPECT_EQ(records[0].LastY, 65536 - 1109 * 32);
    device->GridEnabled = 0;
    rig.Touch(touch, 600, 1100);
    EXPECT_EQ(rig.TakeRecords()[0].LastX, 600 * 32);
}

} // namespace
