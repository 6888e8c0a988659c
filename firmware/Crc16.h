// CRC-16 of the input boards' chunk frames: polynomial 0x1021, most
// significant bit first, initial value 0x1021, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

std::uint16_t ComputeCrc16(const std::uint8_t* bytes, std::size_t length);

} // namespace quillet
