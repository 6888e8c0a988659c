// The input boards' RAM loader, built into the program from
// firmware/ram_loader.bin (or the file named by QUILLET_RAM_LOADER) by
// EmbedRamLoader.cmake. It is sent to the board unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

extern const std::uint8_t kRamLoaderImage[5446];
extern const std::size_t kRamLoaderImageSize;

} // namespace quillet
