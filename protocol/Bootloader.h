// The main MCU's serial bootloader (the STM32 USART bootloader) as the
// program, its trace and the simulator speak it: the sync byte, the two
// answers, the command opcodes and their names.
//
// A command goes out as its opcode and the opcode's complement; an address
// as four bytes, most significant first, and their XOR; a data packet as
// (count - 1), the bytes and the XOR of all of them.
#pragma once

#include <array>
#include <cstdint>

namespace quillet::boot {

inline constexpr std::uint8_t kSync = 0x7F;  // the baud-rate detection byte
inline constexpr std::uint8_t kAck = 0x79;
inline constexpr std::uint8_t kNack = 0x1F;

inline constexpr std::uint8_t kGet = 0x00;
inline constexpr std::uint8_t kGetVersion = 0x01;
inline constexpr std::uint8_t kGetId = 0x02;
inline constexpr std::uint8_t kReadMemory = 0x11;
inline constexpr std::uint8_t kGo = 0x21;
inline constexpr std::uint8_t kWriteMemory = 0x31;
inline constexpr std::uint8_t kErase = 0x43;
inline constexpr std::uint8_t kExtendedErase = 0x44;
inline constexpr std::uint8_t kWriteProtect = 0x63;
inline constexpr std::uint8_t kWriteUnprotect = 0x73;
inline constexpr std::uint8_t kReadoutProtect = 0x82;
inline constexpr std::uint8_t kReadoutUnprotect = 0x92;

// The page count of an Erase that empties the whole flash.
inline constexpr std::uint8_t kEraseAllPages = 0xFF;

// Where the main MCU's flash starts (the image is written from here), and
// the word of its device signature that holds the flash size in KiB.
inline constexpr std::uint32_t kFlashBase = 0x08000000;
inline constexpr std::uint32_t kFlashSizeAddress = 0x1FFFF7E0;

struct Command {
    std::uint8_t opcode;
    const char* name;
};

inline constexpr std::array<Command, 12> kCommands = {{
    {kGet, "Get"},
    {kGetVersion, "Get Version"},
    {kGetId, "Get ID"},
    {kReadMemory, "Read Memory"},
    {kGo, "Go"},
    {kWriteMemory, "Write Memory"},
    {kErase, "Erase"},
    {kExtendedErase, "Extended Erase"},
    {kWriteProtect, "Write Protect"},
    {kWriteUnprotect, "Write Unprotect"},
    {kReadoutProtect, "Readout Protect"},
    {kReadoutUnprotect, "Readout Unprotect"},
}};

// The name of a command opcode; null for a byte that is none.
constexpr const char* CommandName(std::uint8_t opcode) {
    for (const Command& c : kCommands)
        if (c.opcode == opcode) return c.name;
    return nullptr;
}

// The byte that follows a command opcode or a one-byte count.
constexpr std::uint8_t Complement(std::uint8_t b) { return static_cast<std::uint8_t>(~b); }

// A command as it goes out: the opcode and its complement.
constexpr std::array<std::uint8_t, 2> CommandBytes(std::uint8_t opcode) { return {opcode, Complement(opcode)}; }

} // namespace quillet::boot
