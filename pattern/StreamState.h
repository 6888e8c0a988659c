// State of the acknowledged block stream that carries FPGA images, user
// patterns, panel data and the analyzer data flash to the instrument.
#pragma once

#include <cstdint>
#include <vector>

namespace quillet {

struct StreamState {
    std::vector<std::uint8_t> buffer;  // the bytes to send; replaced by every start step
    std::uint32_t size = 0;            // stream size in bytes
    std::uint32_t position = 0;        // index of the next stream byte to place into a block
    std::uint32_t blockNumber = 0;     // low 16 bits go into each block frame
    int kindFpga = 0;                  // stream kind flags, tested in this order
    int kindAux = 0;
    int kindPattern = 0;
    int kindPanel = 0;
    std::uint8_t block[260] = {};      // payload of the block frames sent with SendCommand
    int finished = 0;                  // set once the block carrying the last byte was sent
};

} // namespace quillet
