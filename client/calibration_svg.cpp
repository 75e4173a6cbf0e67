#include "client/calibration_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace vorn {
namespace calibration {
namespace {

constexpr double Size = 1000;            // the picture's side in its own units
constexpr double Scale = Size / 65536.0; // output units to picture units
constexpr double LongestVector = 60;     // error vectors are drawn at most this long
constexpr double MostMagnified = 20;

std::string Number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string At(double x, double y)
{
    return Number(x * Scale) + "," + Number(y * Scale);
}

struct Vector {
    ScreenPoint From, To;
};

// Vectors from each target to where its touch lands under `values`.
std::vector<Vector> ErrorVectors(const Procedure& procedure, const DriverValues& values)
{
    std::vector<Vector> vectors;
    for (size_t i = 0; i < procedure.Targets().size(); ++i) {
        if (!procedure.HasTap(i))
            continue;
        RawPoint raw = procedure.Measured()[i];
        vectors.push_back({procedure.Targets()[i], DriverMap(values, int32_t(std::lround(raw.X)),
                                                             int32_t(std::lround(raw.Y)))});
    }
    return vectors;
}

// The same magnification for every vector of a group, so that the longest
// fits the picture.
double Magnification(const std::vector<Vector>& vectors)
{
    double longest = 0;
    for (const Vector& v : vectors)
        longest = std::max(longest, std::hypot(v.To.X - v.From.X, v.To.Y - v.From.Y) * Scale);
    return longest <= 0 ? MostMagnified : std::min(MostMagnified, LongestVector / longest);
}

std::string VectorGroup(const char* id, const char* colour, const std::vector<Vector>& vectors)
{
    double m = Magnification(vectors);
    std::string out = std::string("<g id=\"") + id + "\" stroke=\"" + colour +
                      "\" stroke-width=\"2\" data-magnification=\"" + Number(m) + "\">\n";
    for (const Vector& v : vectors) {
        double x = v.From.X + (v.To.X - v.From.X) * m, y = v.From.Y + (v.To.Y - v.From.Y) * m;
        out += "<line x1=\"" + Number(v.From.X * Scale) + "\" y1=\"" + Number(v.From.Y * Scale) +
               "\" x2=\"" + Number(x * Scale) + "\" y2=\"" + Number(y * Scale) + "\"/>\n";
    }
    return out + "</g>\n";
}

// The targets as a lattice: column and row of each, from their distinct
// coordinates.
std::map<std::pair<int, int>, size_t> Lattice(const Procedure& procedure, int* columns, int* rows)
{
    std::vector<int32_t> xs, ys;
    for (const ScreenPoint& t : procedure.Targets()) {
        xs.push_back(t.X);
        ys.push_back(t.Y);
    }
    for (auto* v : {&xs, &ys}) {
        std::sort(v->begin(), v->end());
        v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    *columns = int(xs.size());
    *rows = int(ys.size());
    std::map<std::pair<int, int>, size_t> cells;
    for (size_t i = 0; i < procedure.Targets().size(); ++i) {
        const ScreenPoint& t = procedure.Targets()[i];
        int c = int(std::lower_bound(xs.begin(), xs.end(), t.X) - xs.begin());
        int r = int(std::lower_bound(ys.begin(), ys.end(), t.Y) - ys.begin());
        cells[{c, r}] = i;
    }
    return cells;
}

// One lattice line through the measured touches, its segments divided so
// the curve of the correction shows.
std::string LatticeLine(const Procedure& procedure, const DriverValues& after,
                        const std::vector<size_t>& line)
{
    constexpr int Steps = 8;
    std::string points;
    for (size_t k = 0; k + 1 < line.size(); ++k) {
        RawPoint a = procedure.Measured()[line[k]], b = procedure.Measured()[line[k + 1]];
        for (int step = 0; step <= Steps; ++step) {
            if (step == Steps && k + 2 < line.size())
                break;
            double f = double(step) / Steps;
            ScreenPoint p = DriverMap(after, int32_t(std::lround(a.X + (b.X - a.X) * f)),
                                      int32_t(std::lround(a.Y + (b.Y - a.Y) * f)));
            points += At(p.X, p.Y) + " ";
        }
    }
    return "<polyline fill=\"none\" points=\"" + points + "\"/>\n";
}

std::string CorrectedGrid(const Procedure& procedure, const DriverValues& after)
{
    int columns = 0, rows = 0;
    auto cells = Lattice(procedure, &columns, &rows);
    std::string out = "<g id=\"corrected-grid\" stroke=\"#2a7\" stroke-width=\"1.5\">\n";
    auto complete = [&](const std::vector<size_t>& line) {
        for (size_t i : line)
            if (!procedure.HasTap(i))
                return false;
        return line.size() > 1;
    };
    for (int dir = 0; dir < 2; ++dir) {
        int outer = dir ? rows : columns, inner = dir ? columns : rows;
        for (int o = 0; o < outer; ++o) {
            std::vector<size_t> line;
            for (int n = 0; n < inner; ++n) {
                auto cell = cells.find(dir ? std::make_pair(n, o) : std::make_pair(o, n));
                if (cell != cells.end())
                    line.push_back(cell->second);
            }
            if (complete(line))
                out += LatticeLine(procedure, after, line);
        }
    }
    return out + "</g>\n";
}

} // namespace

std::string CalibrationSvg(const Procedure& procedure, const DriverValues& before,
                           const DriverValues& after)
{
    std::vector<Vector> errorsBefore = ErrorVectors(procedure, before);
    std::vector<Vector> errorsAfter = ErrorVectors(procedure, after);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"-40 -40 1080 1160\" "
                      "width=\"540\" height=\"580\">\n"
                      "<title>vorn calibration, " +
                      std::to_string(procedure.Points()) + " points</title>\n";
    out += "<rect id=\"screen\" x=\"0\" y=\"0\" width=\"1000\" height=\"1000\" fill=\"#fafafa\" "
           "stroke=\"#000\" stroke-width=\"2\"/>\n";
    out += CorrectedGrid(procedure, after);
    out += VectorGroup("errors-before", "#d33", errorsBefore);
    out += VectorGroup("errors-after", "#13c", errorsAfter);
    out += "<g id=\"targets\" fill=\"none\" stroke=\"#000\">\n";
    for (const ScreenPoint& t : procedure.Targets())
        out += "<circle cx=\"" + Number(t.X * Scale) + "\" cy=\"" + Number(t.Y * Scale) +
               "\" r=\"8\"/>\n";
    out += "</g>\n<g id=\"touches\" fill=\"#d33\">\n";
    for (const Vector& v : errorsBefore)
        out += "<circle cx=\"" + Number(v.To.X * Scale) + "\" cy=\"" + Number(v.To.Y * Scale) +
               "\" r=\"4\"/>\n";
    out += "</g>\n<g id=\"legend\" font-family=\"sans-serif\" font-size=\"26\">\n";
    out += "<text x=\"0\" y=\"1045\">circles: targets; red dots: touches under the old "
           "values</text>\n";
    out += "<text x=\"0\" y=\"1080\" fill=\"#d33\">red: error before, x" +
           Number(Magnification(errorsBefore)) + "</text>\n";
    out += "<text x=\"360\" y=\"1080\" fill=\"#13c\">blue: error after, x" +
           Number(Magnification(errorsAfter)) + "</text>\n";
    out += "<text x=\"0\" y=\"1115\" fill=\"#2a7\">green: the targets' lattice as the new values "
           "map it</text>\n";
    return out + "</g>\n</svg>\n";
}

} // namespace calibration
} // namespace vorn
