// Least squares over tensor polynomials: the smooth model of a panel
// (screen -> raw) fitted to the touches, its Jacobian and its inverse.
#pragma once

#include "client/calibration_arithmetic.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace vorn {
namespace calibration {

// Screen position as fractions of the screen, v counting up from the bottom
// like the reference space and the raw Y of an upright panel.
struct Uv {
    double U = 0, V = 0;
};

constexpr double Screen = 65536.0;

inline Uv UvOf(double sx, double sy)
{
    return {sx / Screen, (Screen - sy) / Screen};
}

// Solves the n x n system a x = b in place (x in b) by Gaussian elimination
// with partial pivoting; false when it is singular.
bool SolveLinear(std::vector<double>& a, std::vector<double>& b, int n);

// raw = sum c_ij a^i b^j with a = 2u - 1, b = 2v - 1: degree 1 is the
// bilinear patch through four corners; degree 2 and 3 also follow bowed and
// S-shaped edges. Affine leaves out the ab term.
class Surface {
public:
    enum class Kind { Affine, Tensor };

    Surface(Kind kind, int degree);

    size_t Terms() const { return terms_.size(); }

    // Least squares through the points; false when they do not determine it.
    bool Fit(const std::vector<Uv>& at, const std::vector<RawPoint>& raw);
    RawPoint At(Uv p) const;
    // d raw / d(u, v) as x_u, x_v, y_u, y_v.
    void Jacobian(Uv p, double* j) const;
    double Determinant(Uv p) const;
    // The screen position the model puts at `raw`, by Newton's method from
    // the screen's centre; false if it does not settle.
    bool Invert(RawPoint raw, Uv* out) const;

private:
    void Basis(Uv p, double* row, double* du, double* dv) const;

    std::vector<std::pair<int, int>> terms_;
    std::vector<double> cx_, cy_;
};

} // namespace calibration
} // namespace vorn
