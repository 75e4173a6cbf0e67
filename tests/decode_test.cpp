// Report decoding and the four-corner calibration, through reports sent by
// the controller and records taken by the class driver.
#include "fixture.h"

namespace {

class DecodeTest : public DriverTest {
protected:
    DecodeTest()
    {
        Control().Filter = 0;
        Control().MouseMode = 1; // click assist off
        touch = rig.AddTouchDevice();
        device = ExtensionOf(touch);
    }

    // One report per point, each a fresh touch, so no smoothing or button
    // logic stands between the mapping and the record.
    std::vector<std::pair<LONG, LONG>> Map(const std::vector<std::pair<ULONG, ULONG>>& raws)
    {
        std::vector<std::pair<LONG, LONG>> out;
        for (auto [x, y] : raws) {
            rig.Touch(touch, x, y);
            rig.Touch(touch, x, y, false);
            auto records = rig.TakeRecords();
            out.emplace_back(records.at(0).LastX, records.at(0).LastY);
        }
        return out;
    }

    void SetCorners(CornerSet c)
    {
        TouchSettings& s = device->Settings;
        s.LLX = c.LLX, s.LLY = c.LLY, s.LRX = c.LRX, s.LRY = c.LRY;
        s.URX = c.URX, s.URY = c.URY, s.ULX = c.ULX, s.ULY = c.ULY;
        InvalidateCornerMaps(device); // as every writer of the corners does
    }

    PDEVICE_OBJECT touch;
    DeviceExtension* device;
};

using Pairs = std::vector<std::pair<LONG, LONG>>;

TEST_F(DecodeTest, DefaultCornersAreTheIdentityScaledAndInverted)
{
    EXPECT_EQ(Map({{102, 102},
                   {1945, 1945},
                   {0, 0},
                   {2047, 2047},
                   {2600, 2600},
                   {1500, 300},
                   {300, 1500}}),
              (Pairs{{3264, 62272},
                     {62240, 3296},
                     {0, 65536},
                     {65504, 32},
                     {65536, 0},
                     {48000, 65536 - 9600},
                     {9600, 65536 - 48000}}));
    device->SwapXY = 1;
    EXPECT_EQ(Map({{102, 102}, {1945, 1945}, {0, 0}, {2047, 2047}}),
              (Pairs{{62272, 3264}, {3296, 62240}, {65536, 0}, {32, 65504}}));
}

TEST_F(DecodeTest, WorkedCalibrationExample)
{
    SetCorners({180, 150, 1890, 130, 1910, 1880, 160, 1900});
    device->GridEnabled = 0;
    // (1000, 500): lower-right triangle, reference (981, 480). (500, 1000):
    // upper-left triangle, (449, 1001). LR itself lands one short: (1944, 102).
    EXPECT_EQ(
        Map({{1000, 500}, {500, 1000}, {1890, 130}}),
        (Pairs{{31392, 50176}, {449 * 32, 65536 - 1001 * 32}, {1944 * 32, 65536 - 102 * 32}}));
}

TEST_F(DecodeTest, MappedValuesBelowZeroClampBeforeTheInversion)
{
    SetCorners({200, 200, 2043, 200, 2043, 2043, 200, 2043});
    EXPECT_EQ(Map({{93, 93}}), (Pairs{{0, 65536}})); // mapped (-5, -5)
}

TEST_F(DecodeTest, DegenerateCornerSetPassesThePointUnchanged)
{
    // As a device created from the registry starts: grid on, grid corners all 0.
    TouchSettings& s = device->Settings;
    s.GridLLX = s.GridLLY = s.GridLRX = s.GridLRY = 0;
    s.GridURX = s.GridURY = s.GridULX = s.GridULY = 0;
    InvalidateCornerMaps(device);
    ASSERT_EQ(device->GridEnabled, 1);
    EXPECT_EQ(Map({{1000, 500}}), (Pairs{{32000, 65536 - 16000}}));
    SetCorners({0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Map({{1000, 500}}), (Pairs{{32000, 65536 - 16000}}));
}

TEST_F(DecodeTest, RawValuesPastThirtyTwoBitsStayOnTheirSide)
{
    // In 32 bits raw (2700, 2700) would wrap to the opposite corner.
    EXPECT_EQ(Map({{2700, 2700}, {16383, 16383}, {16383, 0}}),
              (Pairs{{65536, 0}, {65536, 0}, {65536, 65536}}));
    SetCorners({LongMin, LongMin, LongMax, LongMin, LongMax, LongMax, LongMin, LongMax});
    for (auto [x, y] : Map({{0, 0}, {16383, 16383}, {8000, 100}})) {
        EXPECT_GE(x, 0);
        EXPECT_LE(x, 65536);
        EXPECT_GE(y, 0);
        EXPECT_LE(y, 65536);
    }
}

TEST_F(DecodeTest, TouchStateGivesLeftButtonTransitions)
{
    for (bool touching : {true, true, true, false, false})
        rig.Touch(touch, 500, 500, touching);
    std::vector<USHORT> buttons;
    for (const auto& r : rig.TakeRecords()) {
        buttons.push_back(r.ButtonFlags);
        EXPECT_EQ(r.Flags, MOUSE_MOVE_ABSOLUTE);
        EXPECT_EQ(r.ButtonData, 0);
        EXPECT_EQ(r.RawButtons, 0u);
        EXPECT_EQ(r.ExtraInformation, 0u);
    }
    EXPECT_EQ(buttons, (std::vector<USHORT>{1, 0, 0, 2, 0}));
}

TEST_F(DecodeTest, RightButtonModeLastsOneTouch)
{
    Control().MouseMode |= MouseModeRightButton;
    rig.Touch(touch, 500, 500, true);
    rig.Touch(touch, 500, 500, false);
    EXPECT_EQ(Control().MouseMode & MouseModeRightButton, 0u);
    EXPECT_EQ(Control().MouseMode, 1u); // the other bits stay
    rig.Touch(touch, 500, 500, true);
    // Armed while touching: the release is a right-button up.
    Control().MouseMode |= MouseModeRightButton;
    rig.Touch(touch, 500, 500, false);
    std::vector<USHORT> buttons;
    for (const auto& r : rig.TakeRecords())
        buttons.push_back(r.ButtonFlags);
    EXPECT_EQ(buttons, (std::vector<USHORT>{4, 8, 1, 8}));
}

TEST_F(DecodeTest, UnlinkedDeviceProducesNothingAndChangesNothing)
{
    PDEVICE_OBJECT unlinked = rig.AddTouchDevice(false);
    DeviceExtension* d = ExtensionOf(unlinked);
    d->UnitIndex = 7;
    Control().MouseMode |= MouseModeRightButton;
    rig.Touch(unlinked, 500, 500, true);
    rig.Touch(unlinked, 500, 500, false);
    EXPECT_TRUE(rig.TakeRecords().empty());
    EXPECT_EQ(d->PenDown, 0);
    EXPECT_NE(Control().MouseMode & MouseModeRightButton, 0u);

    LinkTouchDevice(unlinked, rig.Control());
    Control().MouseMode = 1;
    rig.Touch(unlinked, 500, 500, true);
    auto records = rig.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(records[0].UnitId, 7);
}

TEST_F(DecodeTest, PointOnTheDiagonalBelongsToTheLowerRightTriangle)
{
    // cU = -2160000 < 0 and cP = 0: the signs differ, so the point takes the
    // lower-right triangle (D4 = 618750) and lands on reference (1584, 1584).
    // The upper-left triangle (D4 = -540000) would give (1585, 1585).
    SetCorners({200, 300, 1800, 250, 1700, 1800, 210, 1750});
    EXPECT_EQ(Map({{1407, 1507}}), (Pairs{{1584 * 32, 65536 - 1584 * 32}}));
}

TEST_F(DecodeTest, CalOriginKeepsTheLowerLeftCornerOfTheLastSetMapped)
{
    TouchSettings& s = device->Settings;
    s.GridLLX = 110, s.GridLLY = 95, s.GridLRX = 1950, s.GridLRY = 105;
    s.GridURX = 1940, s.GridURY = 1960, s.GridULX = 98, s.GridULY = 1950;
    InvalidateCornerMaps(device);
    ASSERT_EQ(device->GridEnabled, 1);
    // The grid set maps first, then the calibration set, degenerate or not.
    SetCorners({7, 9, 0, 0, 0, 0, 0, 0});
    Map({{1000, 500}});
    EXPECT_EQ(s.CalOriginX, 7);
    EXPECT_EQ(s.CalOriginY, 9);
    device->GridEnabled = 0;
    SetCorners({180, 150, 1890, 130, 1910, 1880, 160, 1900});
    Map({{1000, 500}});
    EXPECT_EQ(s.CalOriginX, 180);
    EXPECT_EQ(s.CalOriginY, 150);
}

} // namespace
