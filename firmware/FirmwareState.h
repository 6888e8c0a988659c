// State of the firmware flows: bootloader entry, the main-MCU bootloader
// exchange and the input-board loader.
#pragma once

#include <cstdint>

namespace quillet {

struct EntryState {
    int mcuEntry = 0;        // main-MCU entry under way
    int subMcuEntry = 0;     // sub-MCU entry under way
    int inputEntry = 0;      // input-board entry under way
    std::uint8_t ring[16] = {};  // last characters seen by the banner matcher
    int ringIndex = 0;           // advanced before each store
};

struct BootloaderState {
    int active = 0;              // main-MCU-bootloader flag
    int state = 0;               // 0..6
    int subStep = 0;
    std::uint32_t writeAddress = 0;
    std::uint8_t tx[270] = {};   // transmit buffer (also the hand-built first block frames)
    std::uint32_t pendingLength = 0;
};

struct InputBoardState {
    int active = 0;              // input-board-loader flag
    int state = 0;               // 0..6
    int streaming = 0;           // input-board stream flag
    std::int64_t remaining = 0;  // bytes still to send
    std::int64_t total = 0;      // size of the RAM loader image during its download
    std::uint32_t destination = 0;
    std::uint8_t buffer[4108 + 16] = {};  // loader packets and chunk frames
    int piecePending = 0;        // the current chunk frame still has unsent bytes
    std::uint32_t frameLeft = 0; // frame bytes still to send
    std::uint32_t frameLength = 0;
};

} // namespace quillet
