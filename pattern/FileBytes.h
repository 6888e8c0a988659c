// Reading a whole file (BMP, FPGA image, firmware) into memory: the one way
// the program reads the operator's files.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

// True when the last component of `path` is a name Windows keeps for a
// device (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any case, with or
// without an extension): opening it reaches the device, not a file.
bool IsReservedDeviceName(const std::string& path);

// Why `path` is not read at all, for the operator; empty when it may be
// opened. A folder, and on Windows a reserved device name, are refused
// before anything is opened.
std::string InputFileRefusal(const std::string& path);

// Reads every byte of `path` (UTF-8) into `bytes`. False when the file is
// refused (`refusal`, if given, says why) or cannot be opened; true
// otherwise, with `bytes` empty when nothing could be read (an empty file).
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string* refusal = nullptr);

// A box text: the failure `text`, then the refusal on a line of its own.
std::string WithRefusal(const std::string& text, const std::string& refusal);

class IHost;

// The firmware buttons' file choice: the current directory, the .bin file
// dialog, then the whole file. Nothing when the operator cancels, when the
// file cannot be opened (after "Open file failed!") or when it is empty.
// `chosen` runs once a file has been chosen, before it is read.
std::optional<std::vector<std::uint8_t>> ChooseBinFile(IHost& host, const std::function<void()>& chosen);

} // namespace quillet
