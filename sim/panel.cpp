#include "sim/panel.h"

#include <cmath>

namespace sim {
namespace {

constexpr int32_t RawMax = 16383;

int32_t Clamped(int64_t value)
{
    return value < 0 ? 0 : value > RawMax ? RawMax : int32_t(value);
}

// A uniform integer in -j..j; plain modulo keeps runs repeatable on any
// standard library.
int32_t JitterOf(int32_t j, std::mt19937& random)
{
    if (j <= 0)
        return 0;
    return int32_t(random() % uint32_t(2 * j + 1)) - j;
}

} // namespace

void PanelExact(const Panel& panel, double sx, double sy, double* x, double* y)
{
    const int32_t* c = panel.Corners;
    double u = sx / 65536.0, v = (65536.0 - sy) / 65536.0;
    double ll = (1 - u) * (1 - v), lr = u * (1 - v), ur = u * v, ul = (1 - u) * v;
    *x = ll * c[0] + lr * c[2] + ur * c[4] + ul * c[6] + panel.BowX * 4 * v * (1 - v) * (2 * u - 1);
    *y = ll * c[1] + lr * c[3] + ur * c[5] + ul * c[7] + panel.BowY * 4 * u * (1 - u) * (2 * v - 1);
}

RawTouch PanelRaw(const Panel& panel, int32_t sx, int32_t sy, std::mt19937& random)
{
    double x, y;
    PanelExact(panel, sx, sy, &x, &y);
    int64_t rx = std::llround(x), ry = std::llround(y);
    rx += JitterOf(panel.Jitter, random);
    ry += JitterOf(panel.Jitter, random);
    return {Clamped(rx), Clamped(ry)};
}

} // namespace sim
