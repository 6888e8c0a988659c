// "Load Image" on a 1920x1080 file: reading, checking and converting it
// into the raster, the preview and the panel image. Prints the median of
// 20 runs and of each conversion step.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "pattern/BmpImport.h"
#include "pattern/FileBytes.h"
#include "pattern/SamplePattern.h"

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
    return 0;
}
