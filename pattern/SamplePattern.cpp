#include "pattern/SamplePattern.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "pattern/Images.h"
#include "platform/Utf8.h"

namespace quillet {

namespace {

struct Rgb {
    std::uint8_t r, g, b;
};

void PutU16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Rgb PatternPixel(int x, int y) {
    constexpr int W = kRasterWidth;
    constexpr int H = kRasterHeight;
    const int cx = W / 2;
    const int cy = H / 2;

    // Border and crosshair on top of everything.
    if (x < 6 || y < 6 || x >= W - 6 || y >= H - 6) return {255, 128, 0};
    if ((x >= cx - 1 && x <= cx && y > cy - 120 && y < cy + 120) ||
        (y >= cy - 1 && y <= cy && x > cx - 120 && x < cx + 120))
        return {255, 255, 255};
    // Centre circle, 4 pixels wide.
    const long dx = x - cx;
    const long dy = y - cy;
    const long d2 = dx * dx + dy * dy;
    if (d2 >= 396L * 396L && d2 <= 400L * 400L) return {255, 255, 255};

    if (y < 720) {
        static constexpr Rgb kBars[8] = {{192, 192, 192}, {192, 192, 0}, {0, 192, 192}, {0, 192, 0},
                                         {192, 0, 192},   {192, 0, 0},   {0, 0, 192},   {16, 16, 16}};
        return kBars[x / (W / 8)];
    }
    if (y < 900) {
        const auto v = static_cast<std::uint8_t>(x * 256 / W);
        return {v, v, v};
    }
    // Checkerboard of 60-pixel squares, with coloured squares on one row.
    const bool dark = ((x / 60) + (y / 60)) % 2 == 0;
    if (y >= 960 && y < 1020 && !dark) {
        static constexpr Rgb kChips[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
        return kChips[(x / 120) % 4];
    }
    return dark ? Rgb{32, 32, 32} : Rgb{224, 224, 224};
}

} // namespace

bool WriteSamplePatternBmp(const std::string& path) {
    constexpr std::uint32_t kHeaderBytes = 54;
    constexpr std::uint32_t kStride = kRasterWidth * 3u;
    std::uint8_t header[kHeaderBytes] = {};
    header[0] = 'B';
    header[1] = 'M';
    PutU32(header + 2, kHeaderBytes + static_cast<std::uint32_t>(kRasterBytes));
    PutU32(header + 10, kHeaderBytes);
    PutU32(header + 14, 40);
    PutU32(header + 18, kRasterWidth);
    PutU32(header + 22, kRasterHeight);
    PutU16(header + 26, 1);
    PutU16(header + 28, 24);
    PutU32(header + 30, 0);
    PutU32(header + 34, static_cast<std::uint32_t>(kRasterBytes));
    PutU32(header + 38, 2835);  // 72 dpi
    PutU32(header + 42, 2835);

    std::vector<std::uint8_t> pixels(kRasterBytes);
    for (int y = 0; y < kRasterHeight; ++y) {
        std::uint8_t* row = pixels.data() + static_cast<std::size_t>(kRasterHeight - 1 - y) * kStride;
        for (int x = 0; x < kRasterWidth; ++x) {
            const Rgb c = PatternPixel(x, y);
            row[3 * x] = c.b;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.r;
        }
    }

    std::FILE* f = OpenFileUtf8(path, "wb");
    if (!f) return false;
    bool ok = std::fwrite(header, 1, kHeaderBytes, f) == kHeaderBytes &&
              std::fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

} // namespace quillet
