// "Load Image" on a 1920x1080 file: reading, checking and converting it
// into the raster, the preview and the panel image. Prints the median of
// 20 runs and of each conversion step, and the same picture's check and
// conversion as a top-down BMP and (where the build reads PNG) as a PNG.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "pattern/BmpImport.h"
#include "pattern/FileBytes.h"
#include "pattern/SamplePattern.h"

#if QUILLET_HAVE_PNG
#include <png.h>
#endif

using namespace quillet;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F>
double MedianMs(int runs, F&& f) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        f();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// The BMP with its rows in the other order and a negative height.
std::vector<std::uint8_t> TopDown(const std::vector<std::uint8_t>& bmp) {
    constexpr std::size_t kOffset = 54, kStride = kRasterWidth * 3u, kHeightField = 22;
    std::vector<std::uint8_t> out(bmp);
    for (std::size_t r = 0; r < static_cast<std::size_t>(kRasterHeight); ++r)
        std::copy_n(bmp.begin() + static_cast<long>(kOffset + r * kStride), kStride,
                    out.begin() + static_cast<long>(kOffset + (kRasterHeight - 1 - r) * kStride));
    const std::int32_t height = -kRasterHeight;
    for (int i = 0; i < 4; ++i)
        out[kHeightField + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(height) >> (8 * i));
    return out;
}

#if QUILLET_HAVE_PNG
// The raster as a PNG, written by libpng.
std::vector<std::uint8_t> AsPng(const std::vector<std::uint8_t>& raster) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = kRasterWidth;
    image.height = kRasterHeight;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, raster.data(), 0, nullptr)) return {};
    std::vector<std::uint8_t> png(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, raster.data(), 0, nullptr)) return {};
    png.resize(size);
    return png;
}
#endif

} // namespace

int main() {
    const auto path = (std::filesystem::temp_directory_path() / "quillet-import-bench.bmp").string();
    if (!WriteSamplePatternBmp(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    constexpr int kRuns = 20;
    PatternImages images;
    images.raster.assign(kRasterBytes, 0);
    std::vector<std::uint8_t> file;
    bool ok = true;

    const double whole = MedianMs(kRuns, [&] {
        ReadFileBytes(path, file);
        ok = ok && DecodePatternBmp(file.data(), file.size(), images).verdict == BmpVerdict::Pattern;
    });
    const double read = MedianMs(kRuns, [&] { ReadFileBytes(path, file); });
    const double decode = MedianMs(kRuns, [&] { DecodePatternBmp(file.data(), file.size(), images); });
    const double raster = MedianMs(kRuns, [&] { ConvertRaster(file.data() + 54, images.raster.data()); });
    const double preview = MedianMs(kRuns, [&] { MakePreview(images.raster.data(), images.preview); });
    const double panel = MedianMs(kRuns, [&] { MakePanel(images.preview, images.panel); });
    std::filesystem::remove(path);
    const std::vector<std::uint8_t> topDown = TopDown(file);
    const double topDownDecode = MedianMs(kRuns, [&] { DecodePatternBmp(topDown.data(), topDown.size(), images); });
#if QUILLET_HAVE_PNG
    const std::vector<std::uint8_t> png = AsPng(images.raster);
    ok = ok && DecodePatternBmp(png.data(), png.size(), images).verdict == BmpVerdict::Pattern;
    const double pngDecode = MedianMs(kRuns, [&] { DecodePatternBmp(png.data(), png.size(), images); });
#endif

    if (!ok) {
        std::fprintf(stderr, "the sample pattern was not accepted\n");
        return 1;
    }
    std::printf("1920x1080 import, median of %d runs\n", kRuns);
    std::printf("  read + check + convert : %7.2f ms  (target under 25 ms: %s)\n", whole,
                whole < 25.0 ? "met" : "MISSED");
    std::printf("  read file (6.2 MB)     : %7.2f ms\n", read);
    std::printf("  check + convert        : %7.2f ms\n", decode);
    std::printf("    raster (flip, BGR)   : %7.2f ms\n", raster);
    std::printf("    preview filter       : %7.3f ms\n", preview);
    std::printf("    panel RGB565         : %7.3f ms\n", panel);
    std::printf("  top-down BMP, check + convert : %7.2f ms\n", topDownDecode);
#if QUILLET_HAVE_PNG
    std::printf("  PNG (%zu bytes), check + decode + convert : %7.2f ms\n", png.size(), pngDecode);
#else
    std::printf("  PNG: this build reads none\n");
#endif
    return 0;
}
