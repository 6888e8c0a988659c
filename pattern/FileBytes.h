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

// What a flow reads, and the most it can use of it. A larger file is
// refused before it is read, so nothing absurd fills the memory or goes to
// the instrument.
struct FileKind {
    const char* what;        // "a pattern BMP", for the operator
    std::uint64_t maxBytes;
    const char* why;         // why no more can be used
};
// A 1920x1080 BMP: its pixels at up to 32 bits each (8,294,400 bytes; a
// file of another depth is read to be told what is wrong with it) and
// 1 MiB for headers, palette and colour profile.
inline constexpr FileKind kPatternBmpFile{"a pattern BMP", 1920u * 1080u * 4u + (1u << 20),
                                          "1920x1080 pixels and its headers"};
// The main MCU's image, written from 0x08000000: the largest STM32F1 has
// 1 MiB of flash.
inline constexpr FileKind kMcuImageFile{"a main-MCU image", 1u << 20, "the largest MCU flash"};
// FPGA images and the analyzer's data go out as numbered 256-byte blocks;
// the block number has 16 bits, so 65,536 blocks (16 MiB) at most.
inline constexpr FileKind kBlockImageFile{"an image sent in blocks", 65536u * 256u,
                                          "65,536 blocks of 256 bytes"};
// The input board's firmware goes to its 16 MiB flash from 0x00A00000.
inline constexpr FileKind kBoardImageFile{"an input-board image", 16u << 20, "the board's flash"};
// No limit beyond what the program can hold.
inline constexpr FileKind kAnyFile{"a file", 0xFFFFFFFFu, "a stream's 32-bit size"};

// Why `path` is not read at all, for the operator; empty when it may be
// opened. A folder, and on Windows a reserved device name, are refused
// before anything is opened.
std::string InputFileRefusal(const std::string& path);

// Why the file at `path` cannot be used by a flow that reads `kind`, for
// the operator (it names the file and the reason); empty when it can. It
// must be there, readable, a regular file, not empty and within the kind's
// size. Only the file's metadata is looked at: no byte of it is read (a
// FIFO or a device is never opened in a way that could wait).
std::string CheckInputFile(const std::string& path, const FileKind& kind);

// Reads every byte of `path` (UTF-8) into `bytes`. False when the file is
// refused or cannot be opened (`refusal`, if given, says why, naming the
// file and the system's reason): anything but a regular file, or one
// larger than `kind` allows, is refused before a byte is read, and a FIFO
// never makes it wait. True otherwise, with `bytes` empty when the file
// is empty.
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string* refusal = nullptr,
                   const FileKind& kind = kAnyFile);

// A box text: the failure `text`, then the refusal on a line of its own.
std::string WithRefusal(const std::string& text, const std::string& refusal);

} // namespace quillet
