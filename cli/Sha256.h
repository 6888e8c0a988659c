// SHA-256 (FIPS 180-4) of the files the command line sends, so that a
// production log can tell which image went to the instrument.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quillet::cli {

class Sha256 {
public:
    Sha256();
    void Update(const std::uint8_t* data, std::size_t length);
    // The digest as 64 lower-case hex digits; the object is spent after it.
    std::string HexDigest();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0;  // bytes so far
};

// The SHA-256 of the file `path` (UTF-8); empty when it cannot be read.
std::string FileSha256(const std::string& path);

} // namespace quillet::cli
