// Pixel comparison of two images, for the demo's check of what the
// instrument stored: uncompressed BMP files (24 or 32 bits per pixel,
// bottom-up or top-down) of any size, and PNG images the program can load
// (1920x1080 or 240x160, where the build reads PNG).
#pragma once

#include <optional>
#include <string>

namespace quillet::cli {

struct BmpComparison {
    bool readable = false;     // both files are images this reader understands
    bool sameSize = false;
    long long differing = 0;   // pixels whose colour differs
    std::string problem;       // why a file could not be read
};

BmpComparison CompareBmpPixels(const std::string& a, const std::string& b);

} // namespace quillet::cli
