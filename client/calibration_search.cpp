// The integer search: from a smooth model of the panel to the values the
// driver applies. The model gives first values, which the search then
// improves by running the driver's own arithmetic over a dense set of screen
// points. The driver truncates, so the values aim half a reference unit
// high: a record then lies within half a step of its screen point.
#include "client/calibration_search.h"

#include <algorithm>
#include <cmath>

namespace vorn {
namespace calibration {
namespace {

// Where a screen point should land in reference units before the driver
// truncates: half a unit high, so the truncated record straddles it.
void DesiredReference(double sx, double sy, double* rx, double* ry)
{
    *rx = sx / 32.0 + 0.5;
    *ry = (Screen - sy) / 32.0 + 0.5;
}

void ScreenOfReference(double rx, double ry, double* sx, double* sy)
{
    *sx = 32.0 * (rx - 0.5);
    *sy = Screen - 32.0 * (ry - 0.5);
}

struct DensePoint {
    double Sx, Sy;
    int32_t RawX, RawY;
    int32_t RefX = 0, RefY = 0; // after the grid corner pass
};

double SquaredError(const DriverValues& values, const DensePoint& p)
{
    ScreenPoint s = DriverMap(values, p.RawX, p.RawY);
    double ex = s.X - p.Sx, ey = s.Y - p.Sy;
    return ex * ex + ey * ey;
}

double Penalty(double squared)
{
    return squared + squared * squared / (64.0 * 64.0);
}

class Search {
public:
    Search(std::vector<DensePoint> points, DriverValues* values)
        : points_(std::move(points)), values_(values)
    {
    }

    void Run()
    {
        for (int round = 0; round < 4; ++round) {
            bool moved =
                SearchCorners(values_->GridEnabled ? values_->GridCorners : values_->Corners,
                              values_->GridEnabled);
            if (values_->GridEnabled)
                moved = SearchOffsets() || moved;
            if (!moved)
                break;
        }
    }

    double Cost() const
    {
        double sum = 0;
        for (const DensePoint& p : points_)
            sum += Penalty(SquaredError(*values_, p));
        return sum;
    }

private:
    // A parallelogram keeps UL = LL + UR - LR as its other corners move.
    bool SearchCorners(int32_t* corners, bool parallelogram)
    {
        auto shift = [&](int k, int32_t by) {
            corners[k] += by;
            if (parallelogram)
                corners[6 + k % 2] += k == 2 || k == 3 ? -by : by;
        };
        bool movedAny = false;
        double best = Cost();
        for (int pass = 0; pass < 3; ++pass) {
            bool moved = false;
            for (int k = 0; k < (parallelogram ? 6 : 8); ++k)
                for (int32_t step : {8, 4, 2, 1})
                    for (int32_t direction : {1, -1}) {
                        while (true) {
                            shift(k, direction * step);
                            double cost = Cost();
                            if (cost < best) {
                                best = cost;
                                moved = true;
                            } else {
                                shift(k, -direction * step);
                                break;
                            }
                        }
                    }
            movedAny = movedAny || moved;
            if (!moved)
                break;
        }
        return movedAny;
    }

    // An offset moves only the points in the up to four cells around its
    // grid point, so each try is judged on those.
    bool SearchOffsets()
    {
        std::vector<size_t> byCell[4][4];
        for (size_t i = 0; i < points_.size(); ++i) {
            DensePoint& p = points_[i];
            p.RefX = p.RawX, p.RefY = p.RawY;
            stages::MapCorners(values_->GridCorners, &p.RefX, &p.RefY);
            byCell[stages::CellOf(p.RefX)][stages::CellOf(p.RefY)].push_back(i);
        }
        bool movedAny = false;
        for (int pass = 0; pass < 4; ++pass) {
            bool moved = false;
            for (int c = 0; c < 5; ++c)
                for (int r = 0; r < 5; ++r) {
                    std::vector<size_t> near;
                    for (int cc = c - 1; cc <= c; ++cc)
                        for (int rr = r - 1; rr <= r; ++rr)
                            if (cc >= 0 && cc < 4 && rr >= 0 && rr < 4)
                                near.insert(near.end(), byCell[cc][rr].begin(),
                                            byCell[cc][rr].end());
                    if (near.empty())
                        continue;
                    for (int32_t* grid : {values_->GridX, values_->GridY})
                        moved = Descend(&grid[5 * c + r], near) || moved;
                }
            movedAny = movedAny || moved;
            if (!moved)
                break;
        }
        return movedAny;
    }

    bool Descend(int32_t* offset, const std::vector<size_t>& near)
    {
        auto localCost = [&]() {
            double sum = 0;
            for (size_t i : near) {
                const DensePoint& p = points_[i];
                ScreenPoint s = stages::FinishFromGridPass(*values_, p.RefX, p.RefY);
                double ex = s.X - p.Sx, ey = s.Y - p.Sy;
                sum += Penalty(ex * ex + ey * ey);
            }
            return sum;
        };
        double best = localCost();
        bool moved = false;
        for (int32_t direction : {1, -1})
            while (true) {
                *offset += direction;
                double cost = localCost();
                if (cost < best) {
                    best = cost;
                    moved = true;
                } else {
                    *offset -= direction;
                    break;
                }
            }
        return moved;
    }

    std::vector<DensePoint> points_;
    DriverValues* values_;
};

// Screen points the search weighs: a lattice over the screen from 1% to 99%.
constexpr int DenseLines = 33;

std::vector<DensePoint> DenseSet(const Surface& model)
{
    std::vector<DensePoint> points;
    for (int i = 0; i < DenseLines; ++i)
        for (int j = 0; j < DenseLines; ++j) {
            DensePoint p;
            p.Sx = Screen * (0.01 + 0.98 * i / (DenseLines - 1));
            p.Sy = Screen * (0.01 + 0.98 * j / (DenseLines - 1));
            RawPoint raw = model.At(UvOf(p.Sx, p.Sy));
            p.RawX = std::min(std::max(RoundRaw(raw.X), 0), RawMax);
            p.RawY = std::min(std::max(RoundRaw(raw.Y), 0), RawMax);
            points.push_back(p);
        }
    return points;
}

// The raw point that the floating-point form of a corner mapping sends to
// reference (rx, ry): the inverse of the triangle that holds it.
RawPoint CornerMapInverse(const int32_t* c, double rx, double ry)
{
    double p = (rx - ReferenceLow) / double(ReferenceSpan);
    double q = (ry - ReferenceLow) / double(ReferenceSpan);
    double llx = c[0], lly = c[1];
    if (q > p) { // upper-left triangle
        return {llx + p * (c[4] - llx) + (q - p) * (c[6] - llx),
                lly + p * (c[5] - lly) + (q - p) * (c[7] - lly)};
    }
    return {llx + (p - q) * (c[2] - llx) + q * (c[4] - llx),
            lly + (p - q) * (c[3] - lly) + q * (c[5] - lly)};
}

// The grid corner set as an exact parallelogram, the affine map that fits
// the model best: its two triangles then agree, and the grid offsets are left
// a smooth correction to follow instead of a fold along the diagonal.
void ModelParallelogram(const Surface& model, int32_t* corners)
{
    std::vector<Uv> at;
    std::vector<RawPoint> raw;
    for (int i = 0; i <= 8; ++i)
        for (int j = 0; j <= 8; ++j) {
            Uv p{0.05 + 0.9 * i / 8, 0.05 + 0.9 * j / 8};
            at.push_back(p);
            raw.push_back(model.At(p));
        }
    Surface affine(Surface::Kind::Affine, 1);
    if (!affine.Fit(at, raw))
        return;
    const double refs[3][2] = {{double(ReferenceLow), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceHigh)}};
    for (int k = 0; k < 3; ++k) {
        double sx, sy;
        ScreenOfReference(refs[k][0], refs[k][1], &sx, &sy);
        RawPoint r = affine.At(UvOf(sx, sy));
        corners[2 * k] = RoundRaw(r.X);
        corners[2 * k + 1] = RoundRaw(r.Y);
    }
    corners[6] = corners[0] + corners[4] - corners[2];
    corners[7] = corners[1] + corners[5] - corners[3];
}

// The corner set that sends where the model puts the screen's reference
// corners onto 102 and 1945.
void ModelCorners(const Surface& model, int32_t* corners)
{
    const double refs[4][2] = {{double(ReferenceLow), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceLow)},
                               {double(ReferenceHigh), double(ReferenceHigh)},
                               {double(ReferenceLow), double(ReferenceHigh)}};
    for (int k = 0; k < 4; ++k) {
        double sx, sy;
        ScreenOfReference(refs[k][0], refs[k][1], &sx, &sy);
        RawPoint raw = model.At(UvOf(sx, sy));
        corners[2 * k] = RoundRaw(raw.X);
        corners[2 * k + 1] = RoundRaw(raw.Y);
    }
}

// Grid offsets that take each grid point to where the model says its
// screen point wants it: the residual of the corner mapping there.
bool ModelOffsets(const Surface& model, DriverValues* values)
{
    for (int c = 0; c < 5; ++c)
        for (int r = 0; r < 5; ++r) {
            RawPoint raw = CornerMapInverse(values->GridCorners, GridLines[c], GridLines[r]);
            Uv at;
            if (!model.Invert(raw, &at))
                return false;
            double rx, ry;
            DesiredReference(Screen * at.U, Screen * (1 - at.V), &rx, &ry);
            double dx = GridLines[c] - rx, dy = GridLines[r] - ry;
            if (!(std::fabs(dx) < 1e6 && std::fabs(dy) < 1e6))
                return false;
            values->GridX[5 * c + r] = int32_t(std::lround(dx));
            values->GridY[5 * c + r] = int32_t(std::lround(dy));
        }
    return true;
}

} // namespace

std::vector<Uv> SearchedPoints()
{
    std::vector<Uv> points;
    for (int i = 0; i < DenseLines; ++i)
        for (int j = 0; j < DenseLines; ++j)
            points.push_back(UvOf(Screen * (0.01 + 0.98 * i / (DenseLines - 1)),
                                  Screen * (0.01 + 0.98 * j / (DenseLines - 1))));
    return points;
}

bool SearchValues(const Surface& model, bool grid, DriverValues* values)
{
    std::vector<DensePoint> dense = DenseSet(model);
    DriverValues result;
    if (!grid) {
        ModelCorners(model, result.Corners);
        result.GridEnabled = false;
    } else {
        std::copy(IdentityCorners, IdentityCorners + 8, result.Corners);
        result.GridEnabled = true;
        ModelParallelogram(model, result.GridCorners);
        if (!ModelOffsets(model, &result))
            return false;
    }
    Search search(dense, &result);
    search.Run();

    // A mapping that still misses by a tenth of the screen is no mapping.
    for (const DensePoint& p : dense)
        if (SquaredError(result, p) > (0.1 * Screen) * (0.1 * Screen))
            return false;
    *values = result;
    return true;
}

} // namespace calibration
} // namespace vorn
