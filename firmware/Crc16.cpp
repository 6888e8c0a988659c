#include "firmware/Crc16.h"

#include <array>

namespace quillet {
namespace {

// Entry i is the CRC of the byte i shifted through the polynomial.
constexpr std::array<std::uint16_t, 256> MakeTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x1021);

} // namespace

std::uint16_t ComputeCrc16(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = 0x1021;
    for (std::size_t i = 0; i < length; ++i)
        crc = static_cast<std::uint16_t>(kTable[((crc >> 8) ^ bytes[i]) & 0xFF] ^ (crc << 8));
    return crc;
}

} // namespace quillet
