#include "client/calibration_least_squares.h"

#include <algorithm>
#include <cmath>

namespace vorn {
namespace calibration {

bool SolveLinear(std::vector<double>& a, std::vector<double>& b, int n)
{
    double scale = 0;
    for (double v : a)
        scale = std::max(scale, std::fabs(v));
    if (scale == 0)
        return false;
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col]))
                pivot = r;
        if (std::fabs(a[pivot * n + col]) < 1e-11 * scale)
            return false;
        if (pivot != col) {
            for (int k = 0; k < n; ++k)
                std::swap(a[col * n + k], a[pivot * n + k]);
            std::swap(b[col], b[pivot]);
        }
        for (int r = col + 1; r < n; ++r) {
            double f = a[r * n + col] / a[col * n + col];
            for (int k = col; k < n; ++k)
                a[r * n + k] -= f * a[col * n + k];
            b[r] -= f * b[col];
        }
    }
    for (int col = n - 1; col >= 0; --col) {
        double s = b[col];
        for (int k = col + 1; k < n; ++k)
            s -= a[col * n + k] * b[k];
        b[col] = s / a[col * n + col];
    }
    return true;
}

Surface::Surface(Kind kind, int degree)
{
    if (kind == Kind::Affine) {
        terms_ = {{0, 0}, {1, 0}, {0, 1}};
    } else {
        for (int i = 0; i <= degree; ++i)
            for (int j = 0; j <= degree; ++j)
                terms_.push_back({i, j});
    }
}

bool Surface::Fit(const std::vector<Uv>& at, const std::vector<RawPoint>& raw)
{
    const int n = int(terms_.size());
    if (at.size() < terms_.size())
        return false;
    std::vector<double> ata(n * n, 0.0), atx(n, 0.0), aty(n, 0.0), row(n);
    for (size_t k = 0; k < at.size(); ++k) {
        Basis(at[k], row.data(), nullptr, nullptr);
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j)
                ata[i * n + j] += row[i] * row[j];
            atx[i] += row[i] * raw[k].X;
            aty[i] += row[i] * raw[k].Y;
        }
    }
    std::vector<double> copy = ata;
    if (!SolveLinear(ata, atx, n) || !SolveLinear(copy, aty, n))
        return false;
    cx_ = atx;
    cy_ = aty;
    return true;
}

RawPoint Surface::At(Uv p) const
{
    double row[16];
    Basis(p, row, nullptr, nullptr);
    RawPoint r;
    for (size_t i = 0; i < terms_.size(); ++i) {
        r.X += cx_[i] * row[i];
        r.Y += cy_[i] * row[i];
    }
    return r;
}

void Surface::Jacobian(Uv p, double* j) const
{
    double row[16], du[16], dv[16];
    Basis(p, row, du, dv);
    j[0] = j[1] = j[2] = j[3] = 0;
    for (size_t i = 0; i < terms_.size(); ++i) {
        j[0] += cx_[i] * du[i];
        j[1] += cx_[i] * dv[i];
        j[2] += cy_[i] * du[i];
        j[3] += cy_[i] * dv[i];
    }
}

double Surface::Determinant(Uv p) const
{
    double j[4];
    Jacobian(p, j);
    return j[0] * j[3] - j[1] * j[2];
}

bool Surface::Invert(RawPoint raw, Uv* out) const
{
    Uv p{0.5, 0.5};
    for (int iteration = 0; iteration < 50; ++iteration) {
        RawPoint r = At(p);
        double ex = raw.X - r.X, ey = raw.Y - r.Y;
        if (std::fabs(ex) < 1e-7 && std::fabs(ey) < 1e-7) {
            *out = p;
            return true;
        }
        double j[4];
        Jacobian(p, j);
        double det = j[0] * j[3] - j[1] * j[2];
        if (det == 0)
            return false;
        double du = (j[3] * ex - j[1] * ey) / det;
        double dv = (j[0] * ey - j[2] * ex) / det;
        // Damped far away, so a bowed model cannot throw it off the screen.
        double step = std::hypot(du, dv);
        if (step > 0.25) {
            du *= 0.25 / step;
            dv *= 0.25 / step;
        }
        p.U += du;
        p.V += dv;
    }
    RawPoint r = At(p);
    if (std::hypot(raw.X - r.X, raw.Y - r.Y) < 1e-3) {
        *out = p;
        return true;
    }
    return false;
}

void Surface::Basis(Uv p, double* row, double* du, double* dv) const
{
    double a = 2 * p.U - 1, b = 2 * p.V - 1;
    double pa[5] = {1, a, a * a, a * a * a, a * a * a * a};
    double pb[5] = {1, b, b * b, b * b * b, b * b * b * b};
    for (size_t k = 0; k < terms_.size(); ++k) {
        int i = terms_[k].first, j = terms_[k].second;
        row[k] = pa[i] * pb[j];
        if (du)
            du[k] = i ? 2.0 * i * pa[i - 1] * pb[j] : 0.0;
        if (dv)
            dv[k] = j ? 2.0 * j * pa[i] * pb[j - 1] : 0.0;
    }
}

} // namespace calibration
} // namespace vorn
