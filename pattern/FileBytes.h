// Reading a whole file (BMP, FPGA image) into memory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

// Reads every byte of `path` into `bytes`. False when the file cannot be
// opened; true otherwise, with `bytes` empty when nothing could be read (a
// directory, an empty file).
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes);

class IHost;

// The firmware buttons' file choice: the current directory, the .bin file
// dialog, then the whole file. Nothing when the operator cancels, when the
// file cannot be opened (after "Open file failed!") or when it is empty.
// `chosen` runs once a file has been chosen, before it is read.
std::optional<std::vector<std::uint8_t>> ChooseBinFile(IHost& host, const std::function<void()>& chosen);

} // namespace quillet
