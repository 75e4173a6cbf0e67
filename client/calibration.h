// The calibration engine: from touches at screen targets to the values the
// driver applies (the four corners and, with 25 points, the grid corner set
// and the 25 grid offsets). Plain C++, no kernel: vornctl runs it on Windows
// and inside vornsim.
//
// Units: screen points and records are in output units, 0..65536 on each
// axis, x from the left edge and y from the top edge, as records carry them.
// Raw positions are the controller's coordinates, 0..16383.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {
namespace calibration {

struct ScreenPoint {
    int32_t X = 0, Y = 0;
};

struct RawPoint {
    double X = 0, Y = 0;
};

// What the driver applies. Corners are in the order of the parameter block:
// LLX, LLY, LRX, LRY, URX, URY, ULX, ULY.
struct DriverValues {
    int32_t Corners[8] = {};
    bool GridEnabled = false;
    int32_t GridCorners[8] = {};
    int32_t GridX[25] = {}; // column by column: element 5 * column + row
    int32_t GridY[25] = {};
};

// The driver's own integer arithmetic from a raw position to a record's
// LastX, LastY (before rotation, filter and click assist): the grid pass
// when enabled, the corner mapping, scaling, clamping and the inversion of
// Y. Bit-identical to the driver; the hosted tests hold it to that.
ScreenPoint DriverMap(const DriverValues& values, int32_t rawX, int32_t rawY);

// The linear calibration in force while touches are collected: grid off,
// corners chosen so that every raw position 0..16383 lands inside
// 0..65536 unclamped. RawOf inverts it for a record's position (to the
// resolution the reference space allows).
DriverValues MeasuringValues();
RawPoint RawOf(ScreenPoint record);

// One calibration run: the targets in the order they are shown, the taps
// collected for each, and the result.
class Procedure {
public:
    // points: 4, 9 or 25.
    explicit Procedure(int points);

    int Points() const;
    const std::vector<ScreenPoint>& Targets() const;

    // The index of the target to touch next; Targets().size() when every
    // target has its tap.
    size_t Next() const;

    enum class Verdict {
        Accepted,  // the tap is kept; Next() moves on
        Misplaced, // too far from where the other taps predict it: ask again
        TooFew,    // not enough usable samples in the tap: ask again
    };
    // One tap at target Next(): the raw positions of the records seen while
    // the finger was down (RawOf of each record position).
    Verdict AddTap(const std::vector<RawPoint>& samples);

    // The combined raw position measured at each target: one entry per
    // target, valid where HasTap. A tap found wrong later is taken back, and
    // Next() then returns to its target.
    const std::vector<RawPoint>& Measured() const;
    bool HasTap(size_t target) const;

    // The values to write, or false and a one-line reason (targets touched
    // in the wrong order, a panel turned inside out, too few touches).
    bool Compute(DriverValues* values, std::string* why) const;

private:
    static bool Combine(const std::vector<RawPoint>& samples, RawPoint* combined);
    double Predict(size_t target, size_t skip, RawPoint* predicted, double* span) const;
    bool Plausible(size_t target, RawPoint tap) const;
    size_t Outlier() const;
    bool CheckLattice(std::string* why) const;

    int points_;
    std::vector<ScreenPoint> targets_;
    std::vector<int> columns_, rows_; // place of each target in the lattice, row 0 at the bottom
    std::vector<RawPoint> measured_;
    std::vector<bool> have_;
    std::vector<RawPoint> refused_; // the last refused tap at each target
    std::vector<bool> haveRefused_;
    std::vector<bool> insisted_; // touched twice at one spot: never taken back
};

// The error, in output units, at each target: the distance between the
// target and DriverMap(values, measured raw position); NaN for a target
// without a tap.
std::vector<double> ErrorsAtTargets(const Procedure& procedure, const DriverValues& values);

} // namespace calibration
} // namespace vorn
