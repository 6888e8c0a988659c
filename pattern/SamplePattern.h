// A 1920x1080 test pattern for trying the user-pattern upload without an
// image of one's own.
#pragma once

#include <string>

namespace quillet {

// Writes a 1920x1080 24-bit bottom-up BMP: eight colour bars, a grey ramp, a
// checkerboard strip, a border, a centre circle and a crosshair. False when
// the file could not be written.
bool WriteSamplePatternBmp(const std::string& path);

} // namespace quillet
