#include "cli/BmpCompare.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "pattern/BmpImport.h"
#include "platform/Utf8.h"

namespace quillet::cli {

namespace {

struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // top-down
};

std::uint32_t U32(const std::vector<std::uint8_t>& d, std::size_t o) {
    return d[o] | (d[o + 1] << 8) | (d[o + 2] << 16) | (static_cast<std::uint32_t>(d[o + 3]) << 24);
}

// A PNG as "Load Image" reads it: its raster, or the panel-sized preview.
std::optional<Bitmap> ReadPng(const std::string& path, const std::vector<std::uint8_t>& d,
                              std::string& problem) {
    auto images = std::make_unique<PatternImages>();
    const BmpOutcome out = DecodePatternBmp(d.data(), d.size(), *images);
    if (out.verdict != BmpVerdict::Pattern && out.verdict != BmpVerdict::Panel) {
        problem = path + ": " + (out.message ? out.message : "not an image");
        return std::nullopt;
    }
    Bitmap bmp;
    bmp.width = out.width;
    bmp.height = out.height;
    if (out.verdict == BmpVerdict::Pattern)
        bmp.rgb = std::move(images->raster);
    else
        bmp.rgb.assign(images->preview, images->preview + kPreviewBytes);
    return bmp;
}

std::optional<Bitmap> ReadImage(const std::string& path, std::string& problem) {
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) {
        problem = "cannot open " + path;
        return std::nullopt;
    }
    std::vector<std::uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (d.size() >= 4 && d[0] == 0x89 && d[1] == 'P' && d[2] == 'N' && d[3] == 'G') return ReadPng(path, d, problem);
    if (d.size() < 54 || d[0] != 'B' || d[1] != 'M') {
        problem = path + " is not a BMP file";
        return std::nullopt;
    }
    const std::uint32_t offset = U32(d, 10);
    const auto width = static_cast<std::int32_t>(U32(d, 18));
    const auto height = static_cast<std::int32_t>(U32(d, 22));
    const unsigned bpp = d[28] | (d[29] << 8);
    const std::uint32_t compression = U32(d, 30);
    if (width <= 0 || height == 0 || height == INT32_MIN || (bpp != 24 && bpp != 32) ||
        (compression != 0 && !(compression == 3 && bpp == 32))) {
        problem = path + " is not an uncompressed 24- or 32-bit BMP";
        return std::nullopt;
    }
    const bool topDown = height < 0;
    const int h = topDown ? -height : height;
    const std::size_t bytesPerPixel = bpp / 8;
    const std::size_t stride = (static_cast<std::size_t>(width) * bpp + 31) / 32 * 4;
    if (offset > d.size() || (d.size() - offset) / stride < static_cast<std::size_t>(h)) {
        problem = path + " ends before its pixels do";
        return std::nullopt;
    }
    Bitmap bmp;
    bmp.width = width;
    bmp.height = h;
    bmp.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(h) * 3);
    for (int r = 0; r < h; ++r) {
        const std::size_t srcRow = offset + stride * static_cast<std::size_t>(topDown ? r : h - 1 - r);
        for (int c = 0; c < width; ++c) {
            const std::uint8_t* s = &d[srcRow + static_cast<std::size_t>(c) * bytesPerPixel];
            std::uint8_t* o = &bmp.rgb[(static_cast<std::size_t>(r) * static_cast<std::size_t>(width) +
                                        static_cast<std::size_t>(c)) * 3];
            o[0] = s[2];
            o[1] = s[1];
            o[2] = s[0];
        }
    }
    return bmp;
}

} // namespace

BmpComparison CompareBmpPixels(const std::string& a, const std::string& b) {
    BmpComparison result;
    const auto x = ReadImage(a, result.problem);
    if (!x) return result;
    const auto y = ReadImage(b, result.problem);
    if (!y) return result;
    result.readable = true;
    result.sameSize = x->width == y->width && x->height == y->height;
    if (!result.sameSize) return result;
    for (std::size_t i = 0; i < x->rgb.size(); i += 3)
        if (x->rgb[i] != y->rgb[i] || x->rgb[i + 1] != y->rgb[i + 1] || x->rgb[i + 2] != y->rgb[i + 2])
            ++result.differing;
    return result;
}

} // namespace quillet::cli
