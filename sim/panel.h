// How a touch panel maps screen points to the controller's raw coordinates:
// a bilinear patch through the four corners, bowed edges, and jitter. The
// emulated controller uses it for taps; calibration tests and benchmarks
// use it to make and measure panels.
#pragma once

#include <cstdint>
#include <random>

namespace sim {

struct Panel {
    // Raw coordinates at the screen's corners, in the order LLX, LLY, LRX,
    // LRY, URX, URY, ULX, ULY (LL bottom-left, UR top-right).
    int32_t Corners[8] = {};
    int32_t BowX = 0, BowY = 0;
    int32_t Jitter = 0; // each coordinate gets a uniform -Jitter..Jitter
};

struct RawTouch {
    int32_t X = 0, Y = 0;
};

// The raw position of screen point (sx, sy) in output units (0..65536, from
// the left and top edges): rounded to the nearest integer, jittered from
// `random` when the panel has jitter, clamped to 0..16383.
RawTouch PanelRaw(const Panel& panel, int32_t sx, int32_t sy, std::mt19937& random);

// The same without jitter and before rounding: where the panel puts it.
void PanelExact(const Panel& panel, double sx, double sy, double* x, double* y);

} // namespace sim
