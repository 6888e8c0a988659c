// Reading a whole file (BMP, FPGA image) into memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

// Reads every byte of `path` into `bytes`. False when the file cannot be
// opened; true otherwise, with `bytes` empty when nothing could be read (a
// directory, an empty file).
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes);

} // namespace quillet
