// Pixel comparison of two uncompressed BMP files (24 or 32 bits per pixel,
// bottom-up or top-down), for the demo's check of what the instrument stored.
#pragma once

#include <optional>
#include <string>

namespace quillet::cli {

struct BmpComparison {
    bool readable = false;     // both files are BMPs this reader understands
    bool sameSize = false;
    long long differing = 0;   // pixels whose colour differs
    std::string problem;       // why a file could not be read
};

BmpComparison CompareBmpPixels(const std::string& a, const std::string& b);

} // namespace quillet::cli
