#include "dialog/IconArt.h"

#include <algorithm>
#include <cmath>

#include "dialog/Resources.h"

namespace quillet {

namespace {

struct Pt {
    double x, y;
};
struct Rgb {
    std::uint8_t r, g, b;
};

// One shape: a filled area (polygon or ellipse), a stroke along a polyline
// (round ends), or both. Coordinates on the 32 x 32 grid.
struct Shape {
    std::vector<Pt> outline;   // polygon (closed) or polyline (open)
    bool closed = true;
    bool ellipse = false;      // outline[0] centre, outline[1] radii
    bool fill = true;
    Rgb fillColour{};
    double penWidth = 0;       // 0: no stroke
    Rgb penColour{};
};

double SegmentDistance(Pt p, Pt a, Pt b) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double len2 = dx * dx + dy * dy;
    double t = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const double ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
    return std::sqrt(ex * ex + ey * ey);
}

bool InsidePolygon(const std::vector<Pt>& poly, Pt p) {
    bool in = false;
    for (std::size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
        const Pt a = poly[i], b = poly[j];
        if ((a.y > p.y) != (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x) in = !in;
    }
    return in;
}

bool InsideFill(const Shape& s, Pt p) {
    if (!s.fill) return false;
    if (s.ellipse) {
        const double dx = (p.x - s.outline[0].x) / s.outline[1].x, dy = (p.y - s.outline[0].y) / s.outline[1].y;
        return dx * dx + dy * dy <= 1.0;
    }
    return InsidePolygon(s.outline, p);
}

bool OnStroke(const Shape& s, Pt p) {
    if (s.penWidth <= 0 || s.ellipse) return false;
    const std::size_t n = s.outline.size();
    const std::size_t segments = s.closed ? n : n - 1;
    for (std::size_t i = 0; i < segments; ++i)
        if (SegmentDistance(p, s.outline[i], s.outline[(i + 1) % n]) <= s.penWidth / 2) return true;
    return false;
}

// Appends a cubic Bezier from `from` (not repeated) to `to`, flattened.
void Cubic(std::vector<Pt>& out, Pt from, Pt c1, Pt c2, Pt to) {
    constexpr int kSteps = 16;
    for (int i = 1; i <= kSteps; ++i) {
        const double t = double(i) / kSteps, u = 1 - t;
        out.push_back({u * u * u * from.x + 3 * u * u * t * c1.x + 3 * u * t * t * c2.x + t * t * t * to.x,
                       u * u * u * from.y + 3 * u * u * t * c1.y + 3 * u * t * t * c2.y + t * t * t * to.y});
    }
}

std::vector<Pt> RoundedRect(double x, double y, double w, double h, double r) {
    std::vector<Pt> out;
    const Pt centres[4] = {{x + w - r, y + r}, {x + w - r, y + h - r}, {x + r, y + h - r}, {x + r, y + r}};
    constexpr double kPi = 3.14159265358979323846;
    for (int corner = 0; corner < 4; ++corner)
        for (int i = 0; i <= 6; ++i) {
            const double a = kPi * (-0.5 + corner * 0.5 + i / 12.0);
            out.push_back({centres[corner].x + r * std::cos(a), centres[corner].y + r * std::sin(a)});
        }
    return out;
}

Shape Filled(std::vector<Pt> outline, Rgb fill, double pen = 0, Rgb penColour = {}) {
    Shape s;
    s.outline = std::move(outline);
    s.fillColour = fill;
    s.penWidth = pen;
    s.penColour = penColour;
    return s;
}

Shape Line(Pt a, Pt b, double width, Rgb colour) {
    Shape s;
    s.outline = {a, b};
    s.closed = false;
    s.fill = false;
    s.penWidth = width;
    s.penColour = colour;
    return s;
}

Shape Dot(Pt centre, double radius, Rgb colour) {
    Shape s;
    s.outline = {centre, {radius, radius}};
    s.ellipse = true;
    s.fillColour = colour;
    return s;
}

// A monitor showing colour bars, with a quill across its corner.
std::vector<Shape> Application() {
    const Rgb housing{60, 64, 76};
    std::vector<Shape> shapes;
    shapes.push_back(Filled(RoundedRect(2, 4, 28, 20, 2.5), housing, 1.2, {30, 30, 40}));
    static const Rgb bars[] = {{235, 235, 235}, {235, 235, 0}, {0, 235, 235}, {0, 235, 0},
                               {235, 0, 235},   {235, 0, 0},   {0, 0, 235}};
    const double left = 4.5, top = 6.5, w = 23.0 / 7, h = 15;
    for (int i = 0; i < 7; ++i) {
        const double x = left + i * w;
        shapes.push_back(Filled({{x, top}, {x + w + 0.3, top}, {x + w + 0.3, top + h}, {x, top + h}}, bars[i]));
    }
    shapes.push_back(Filled({{13, 24}, {19, 24}, {19, 27}, {13, 27}}, housing));
    shapes.push_back(Filled(RoundedRect(8, 27, 16, 2.5, 1), housing));
    const Rgb ink{90, 60, 20};
    std::vector<Pt> feather{{17, 30}};
    Cubic(feather, {17, 30}, {20, 20}, {25, 8}, {31, 1});
    Cubic(feather, {31, 1}, {30, 9}, {27, 18}, {17, 30});
    shapes.push_back(Filled(feather, {250, 244, 225}, 0.8, ink));
    shapes.push_back(Line({17, 30}, {28, 6}, 0.8, ink));
    return shapes;
}

// A nine-pin serial plug: live (green, with a spark) or idle (grey, with a
// red bar across).
std::vector<Shape> Port(bool open) {
    const Rgb shell = open ? Rgb{40, 150, 60} : Rgb{130, 130, 136};
    const Rgb edge = open ? Rgb{20, 90, 30} : Rgb{70, 70, 76};
    std::vector<Shape> shapes;
    shapes.push_back(Filled({{3, 9}, {29, 9}, {25, 23}, {7, 23}}, shell, 1.5, edge));
    for (int i = 0; i < 5; ++i) shapes.push_back(Dot({8.0 + i * 4, 13.5}, 1.3, {250, 250, 250}));
    for (int i = 0; i < 4; ++i) shapes.push_back(Dot({10.0 + i * 4, 18.5}, 1.3, {250, 250, 250}));
    shapes.push_back(Line({16, 23}, {16, 30}, 3, edge));
    if (open)
        shapes.push_back(Filled({{17, 0.5}, {12, 5}, {15.5, 5}, {13, 8.5}, {20, 3.5}, {16.5, 3.5}, {19, 0.5}},
                                {255, 210, 0}, 0.6, {160, 110, 0}));
    else
        shapes.push_back(Line({5, 28}, {27, 4}, 3, {210, 30, 30}));
    return shapes;
}

} // namespace

std::vector<std::uint32_t> RenderIcon(int iconId, int size) {
    std::vector<Shape> shapes;
    if (iconId == IDR_MAINFRAME)
        shapes = Application();
    else if (iconId == IDI_PORT_CLOSED || iconId == IDI_PORT_OPEN)
        shapes = Port(iconId == IDI_PORT_OPEN);
    if (shapes.empty() || size <= 0) return {};

    // 4 x 4 samples a pixel; each shape paints over the ones before it.
    constexpr int kGrid = 4;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    const double scale = 32.0 / size;
    for (int py = 0; py < size; ++py)
        for (int px = 0; px < size; ++px) {
            double r = 0, g = 0, b = 0, a = 0;  // premultiplied sums over the samples
            for (int sy = 0; sy < kGrid; ++sy)
                for (int sx = 0; sx < kGrid; ++sx) {
                    const Pt p{(px + (sx + 0.5) / kGrid) * scale, (py + (sy + 0.5) / kGrid) * scale};
                    const Rgb* colour = nullptr;
                    for (const Shape& s : shapes) {
                        if (OnStroke(s, p))
                            colour = &s.penColour;
                        else if (InsideFill(s, p))
                            colour = &s.fillColour;
                    }
                    if (!colour) continue;
                    r += colour->r;
                    g += colour->g;
                    b += colour->b;
                    a += 1;
                }
            std::uint32_t argb = 0;
            if (a > 0) {
                const auto channel = [a](double sum) { return static_cast<std::uint32_t>(std::lround(sum / a)); };
                const auto alpha = static_cast<std::uint32_t>(std::lround(a * 255.0 / (kGrid * kGrid)));
                argb = (alpha << 24) | (channel(r) << 16) | (channel(g) << 8) | channel(b);
            }
            pixels[static_cast<std::size_t>(py) * static_cast<std::size_t>(size) + static_cast<std::size_t>(px)] =
                argb;
        }
    return pixels;
}

} // namespace quillet
