// The Win32 dialog at 100 % and at 150 % (144 dots per inch, set in the
// prefix's HKCU\Control Panel\Desktop LogPixels): the dialog is aware of
// the DPI per monitor, its controls (control_rects.exe reads them from
// the running dialog) scale with its client area, near 1.5 as its font
// does, and stay inside it; its --screenshot has the size of the scaled
// client area, with the preview drawn 1.5 times as large.
#include "WineSupport.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace quillet::test {
namespace {

constexpr unsigned kScaledDpi = 144;
constexpr double kScale = 1.5;
// Fonts do not scale exactly with the DPI: the dialog units follow the
// font's average character size.
constexpr double kScaleTolerance = 0.12;
// Rounding of dialog units to pixels, per edge.
constexpr double kPixelSlack = 3;
constexpr double kRelativeSlack = 0.04;

struct Control {
    int id = 0;
    std::string cls;
    double x = 0, y = 0, w = 0, h = 0;
    bool visible = false;
};

struct Layout {
    int dpi = 0;
    std::string awareness;
    double width = 0, height = 0;
    std::vector<Control> controls;
};

Layout ParseLayout(const std::string& out) {
    Layout l;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string word;
        in >> word;
        if (word == "dpi") in >> l.dpi;
        else if (word == "awareness") in >> l.awareness;
        else if (word == "client") in >> l.width >> l.height;
        else if (word == "control") {
            Control c;
            int visible = 0;
            in >> c.id >> c.cls >> c.x >> c.y >> c.w >> c.h >> visible;
            c.visible = visible != 0;
            l.controls.push_back(c);
        }
    }
    return l;
}

// A 24-bit .bmp: its size and the bounding box of the pixels whose 5 x 5
// neighbourhood is all black (the empty preview; text strokes and frame
// lines are thinner).
struct Picture {
    int width = 0, height = 0;
    int left = 0, top = 0, right = -1, bottom = -1;
};

Picture ReadPicture(const std::vector<std::uint8_t>& bmp) {
    Picture p;
    if (bmp.size() < 54 || bmp[0] != 'B') return p;
    const auto u32 = [&](std::size_t at) {
        return static_cast<int>(bmp[at] | bmp[at + 1] << 8 | bmp[at + 2] << 16 | bmp[at + 3] << 24);
    };
    p.width = u32(18);
    p.height = std::abs(u32(22));
    const bool bottomUp = u32(22) > 0;
    const int offset = u32(10), stride = (p.width * 3 + 3) & ~3;
    if (bmp[28] != 24 || bmp.size() < static_cast<std::size_t>(offset + stride * p.height)) return p;
    const auto black = [&](int x, int y) {
        const int row = bottomUp ? p.height - 1 - y : y;
        const std::uint8_t* px = bmp.data() + offset + row * stride + x * 3;
        return px[0] == 0 && px[1] == 0 && px[2] == 0;
    };
    p.left = p.width;
    p.top = p.height;
    constexpr int kReach = 2;
    for (int y = kReach; y < p.height - kReach; ++y)
        for (int x = kReach; x < p.width - kReach; ++x) {
            bool all = true;
            for (int dy = -kReach; all && dy <= kReach; ++dy)
                for (int dx = -kReach; all && dx <= kReach; ++dx) all = black(x + dx, y + dy);
            if (!all) continue;
            p.left = std::min(p.left, x);
            p.top = std::min(p.top, y);
            p.right = std::max(p.right, x);
            p.bottom = std::max(p.bottom, y);
        }
    return p;
}

class WineScaling : public WineFixture {
protected:
    void SetUp() override {
        WineFixture::SetUp();
        if (IsSkipped()) return;
        if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) GTEST_SKIP() << "xvfb-run is missing";
        EndWine();
    }
    void TearDown() override {
        if (!IsSkipped()) SetDpi(0);
        EndWine();
        WineFixture::TearDown();
    }
    static void EndWine() {
        RunProgram("/usr/bin/env", {"WINEPREFIX=" + Wine().prefix, "wineserver", "-k"}, "", 30);
    }
    // The prefix's DPI for the next start of wine (0: wine's default, 96).
    void SetDpi(unsigned dpi) {
        const std::string key = "HKCU\\Control Panel\\Desktop";
        const RunResult r =
            dpi ? RunProgram(Wine().run, {Wine().prefix, "reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                                          std::to_string(dpi), "/f"},
                             dir.Path(), 120)
                : RunProgram(Wine().run, {Wine().prefix, "reg", "delete", key, "/v", "LogPixels", "/f"}, dir.Path(), 120);
        EXPECT_TRUE(r.code == 0 || !dpi) << Describe(r);
        EndWine();
    }
    // The dialog's layout and its screenshot `shot` at the prefix's DPI, on
    // a display of its own.
    Layout LayoutAndScreenshot(const std::string& shot) {
        const std::string wine = Wine().run + " " + Wine().prefix + " " + Wine().build;
        const RunResult r = RunProgram(
            "/usr/bin/xvfb-run",
            {"-a", "-s", "-screen 0 1280x1024x24", "bash", "-c",
             wine + "/tests/control_rects.exe && " + wine + "/win/quillet.exe --screenshot " + shot},
            dir.Path(), 240);
        EXPECT_EQ(r.code, 0) << Describe(r);
        return ParseLayout(r.out);
    }
};

TEST_F(WineScaling, At150PercentTheDialogScalesItsControlsAndItsPicture) {
    const Layout at100 = LayoutAndScreenshot("shot100.bmp");
    SetDpi(kScaledDpi);
    const Layout at150 = LayoutAndScreenshot("shot150.bmp");
    ASSERT_EQ(at100.dpi, 96);
    ASSERT_EQ(at150.dpi, static_cast<int>(kScaledDpi));
    EXPECT_EQ(at150.awareness, "per-monitor");
    ASSERT_GT(at100.width, 0);
    ASSERT_GT(at100.height, 0);
    ASSERT_EQ(at150.controls.size(), at100.controls.size());

    const double sx = at150.width / at100.width, sy = at150.height / at100.height;
    EXPECT_NEAR(sx, kScale, kScaleTolerance);
    EXPECT_NEAR(sy, kScale, kScaleTolerance);
    const auto near = [](double scaled, double base, double s) {
        return std::abs(scaled - base * s) <= kPixelSlack + kRelativeSlack * base * s;
    };
    int checked = 0;
    for (std::size_t i = 0; i < at100.controls.size(); ++i) {
        const Control& a = at100.controls[i];
        const Control& b = at150.controls[i];
        ASSERT_EQ(a.id, b.id) << i;
        if (!a.visible) continue;
        ++checked;
        const std::string name = "control " + std::to_string(a.id) + " " + a.cls + " #" + std::to_string(i);
        EXPECT_TRUE(near(b.x, a.x, sx) && near(b.w, a.w, sx)) << name << ": x " << a.x << " -> " << b.x << ", width "
                                                             << a.w << " -> " << b.w << " (scale " << sx << ")";
        EXPECT_TRUE(near(b.y, a.y, sy) && near(b.h, a.h, sy)) << name << ": y " << a.y << " -> " << b.y
                                                             << ", height " << a.h << " -> " << b.h << " (scale " << sy
                                                             << ")";
        // Nothing outside the client area.
        EXPECT_TRUE(b.x >= 0 && b.y >= 0 && b.x + b.w <= at150.width && b.y + b.h <= at150.height) << name;
    }
    EXPECT_GE(checked, 20);

    // The pictures: the client area, and the empty (black) preview scaled
    // as the controls are.
    const Picture p100 = ReadPicture(ReadFile(dir / "shot100.bmp"));
    const Picture p150 = ReadPicture(ReadFile(dir / "shot150.bmp"));
    EXPECT_EQ(p150.width, static_cast<int>(at150.width));
    EXPECT_GE(p150.height, static_cast<int>(at150.height));
    ASSERT_GT(p100.right, p100.left) << "no preview in the picture at 100 %";
    ASSERT_GT(p150.right, p150.left) << "no preview in the picture at 150 %";
    // The box lies 2 pixels inside the preview's edges.
    const double w100 = p100.right - p100.left + 5, w150 = p150.right - p150.left + 5;
    const double h100 = p100.bottom - p100.top + 5, h150 = p150.bottom - p150.top + 5;
    EXPECT_NEAR(w150 / w100, kScale, kScaleTolerance / 2) << w100 << " -> " << w150;
    EXPECT_NEAR(h150 / h100, kScale, kScaleTolerance / 2) << h100 << " -> " << h150;
}

} // namespace
} // namespace quillet::test
