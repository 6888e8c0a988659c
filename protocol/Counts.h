// Counts as the operator reads them.
#pragma once

#include <cstdint>
#include <string>

namespace quillet {

// Whole blocks or pieces that `bytes` fill, the last one partly.
inline std::uint64_t CeilDiv(std::uint64_t bytes, std::uint64_t unit) { return (bytes + unit - 1) / unit; }

// "24,300".
inline std::string WithThousands(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

} // namespace quillet
