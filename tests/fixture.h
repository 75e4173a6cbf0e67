// Shared test fixture: a hosted kernel with the driver's control device and a
// class driver stand-in, torn down (and leak-checked) after each test.
#pragma once

#include "pipeline/pipeline.h"
#include "sim/harness.h"

#include <gtest/gtest.h>

#include <cstring>

class DriverTest : public ::testing::Test {
protected:
    DriverTest() { SmoothingFilter = InitialSmoothingFilter; }

    DeviceExtension& Control() { return rig.ControlExt(); }

    hosted::Kernel kernel;
    sim::PipelineRig rig{kernel};
};

// Records reduced to what the pipeline decides.
struct Point {
    LONG X, Y;
    USHORT Buttons;
    bool operator==(const Point& o) const { return X == o.X && Y == o.Y && Buttons == o.Buttons; }
};

inline std::ostream& operator<<(std::ostream& out, const Point& p)
{
    return out << "(" << p.X << ", " << p.Y << ", buttons " << p.Buttons << ")";
}

inline std::vector<Point> PointsOf(const std::vector<MOUSE_INPUT_DATA>& records)
{
    std::vector<Point> points;
    for (const auto& r : records)
        points.push_back(Point{r.LastX, r.LastY, r.ButtonFlags});
    return points;
}
