// The three images a "Load Image" produces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet {

constexpr int kRasterWidth = 1920;
constexpr int kRasterHeight = 1080;
constexpr std::size_t kRasterBytes = 1920u * 1080u * 3u;  // 6,220,800
constexpr int kPreviewWidth = 240;
constexpr int kPreviewHeight = 160;
constexpr std::size_t kPreviewBytes = 240u * 160u * 3u;   // 115,200
constexpr std::size_t kPanelBytes = 240u * 160u * 2u;     // 76,800

struct PatternImages {
    std::vector<std::uint8_t> raster;             // top-down RGB, 1920x1080
    std::uint8_t preview[kPreviewBytes] = {};     // top-down RGB, 240x160
    std::uint8_t panel[kPanelBytes] = {};         // RGB565, high byte first
};

} // namespace quillet
