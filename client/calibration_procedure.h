// The tap procedure of a calibration: the targets in the order they are
// shown, the touches collected for each, which touch is wrong when they
// disagree, and the values computed from them.
#pragma once

#include "client/calibration_arithmetic.h"

#include <string>
#include <vector>

namespace vorn {
namespace calibration {

class Procedure {
public:
    // points: 4, 9 or 25.
    explicit Procedure(int points);

    int Points() const;
    const std::vector<ScreenPoint>& Targets() const;

    // The index of the target to touch next; Targets().size() when every
    // target has its touch and the touches agree. A target that already
    // has a touch is asked again to check it (Checking()).
    size_t Next() const;
    // Next() asks a touched target again because its touch and the touch
    // at Disputed() disagree and nothing else tells which of them is wrong.
    bool Checking() const;
    size_t Disputed() const;

    enum class Verdict {
        Accepted,  // the touch is kept
        Confirmed, // touched again at the same spot: the touch stands
        Misplaced, // far from where the other touches put it: asked again
        TakenBack, // kept, and it shows that the touch at Other() was wrong
        SameSpot,  // where the touch at Other() landed: asked again
        TooFew,    // not enough steady samples: asked again
    };
    // One tap at target Next(): the raw positions of the records seen while
    // the finger was down (RawOf of each record position).
    Verdict AddTap(const std::vector<RawPoint>& samples);
    // The other target the last verdict speaks of.
    size_t Other() const;

    // The combined raw position measured at each target: one entry per
    // target, valid where HasTap.
    const std::vector<RawPoint>& Measured() const;
    bool HasTap(size_t target) const;

    // The values to write, or false and a one-line reason (targets touched
    // in the wrong order, a panel turned inside out, too few touches).
    bool Compute(DriverValues* values, std::string* why) const;

private:
    struct Dispute {
        size_t A, B;
    };

    static bool Combine(const std::vector<RawPoint>& samples, RawPoint* combined);
    std::vector<Dispute> Disputes() const;
    size_t Blame(const std::vector<Dispute>& disputes) const;
    size_t Suspect(const std::vector<Dispute>& disputes) const;
    void Judge();
    bool CheckLattice(std::string* why) const;

    int points_;
    std::vector<ScreenPoint> targets_;
    std::vector<int> columns_, rows_; // place of each target in the lattice, row 0 at the bottom
    std::vector<RawPoint> measured_;
    std::vector<bool> have_;
    std::vector<bool> confirmed_;   // touched twice at one spot: never blamed
    std::vector<RawPoint> refused_; // the last touch refused at each target
    std::vector<bool> haveRefused_;
    size_t check_;    // the target asked again to check it, or none
    size_t disputed_; // the touch it disagrees with
    size_t other_;
};

// The error, in output units, at each target: the distance between the
// target and DriverMap(values, measured raw position); NaN for a target
// without a tap.
std::vector<double> ErrorsAtTargets(const Procedure& procedure, const DriverValues& values);

} // namespace calibration
} // namespace vorn
