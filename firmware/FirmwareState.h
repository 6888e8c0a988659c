// State of the firmware flows: bootloader entry, the main-MCU bootloader
// exchange and the input-board loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

constexpr int kBannerRingSize = 16;
// The main-MCU image goes to the bootloader in pieces of this many bytes.
constexpr std::uint32_t kMcuPieceBytes = 128;

struct EntryState {
    int mcuEntry = 0;        // main-MCU entry under way
    int subMcuEntry = 0;     // sub-MCU entry under way
    int inputEntry = 0;      // input-board entry under way
    std::uint8_t ring[kBannerRingSize] = {};  // last characters seen by the banner matcher
    int ringIndex = 0;           // advanced before each store
    // The main-MCU entry has been handed over to the bootloader exchange
    // (the entry flag itself stays set after that).
    bool mcuHandedOver = false;
    int board = 0;               // the input board of the last entry, 1..4

    // Ends every entry under way; the banner ring is kept.
    void Reset() {
        mcuEntry = 0;
        subMcuEntry = 0;
        inputEntry = 0;
        mcuHandedOver = false;
    }
};

// States of the main-MCU bootloader exchange. 0..6 are the exchange the
// instrument's bootloader expects; the two after them wait for the last
// write's acknowledgement and, when the operator asked for it, read the
// flash back.
enum class BootState : int {
    Sync = 0,           // 0x7F until the first ACK or NACK
    Get = 1,            // 00 FF: two ACKs
    GetId = 2,          // 02 FD: two ACKs
    ReadFlash = 3,      // Read Memory, 4 bytes at the flash start
    ReadFlashSize = 4,  // Read Memory, 2 bytes of the device signature
    Erase = 5,          // global mass erase
    Write = 6,          // Write Memory, once per 128-byte piece
    AwaitLastAck = 7,   // the last piece is out; its ACK is awaited
    Verify = 8,         // the written flash is read back
};

// The main-MCU bootloader exchange (engine/McuBootloaderFlow).
struct BootloaderState {
    int active = 0;              // main-MCU-bootloader flag
    BootState state = BootState::Sync;
    int subStep = 0;
    int readingData = 0;         // states 3 and 4: the Read Memory data bytes are arriving
    std::uint32_t writeAddress = 0;
    // Transmit buffer of a write held back on the send timer: at most a
    // data packet (its length byte, a piece and their XOR).
    std::uint8_t tx[kMcuPieceBytes + 2] = {};
    std::uint32_t pendingLength = 0;
    float percent = 0;           // of the image sent; 100 once the last piece was acknowledged

    // What went wrong, for the operator: empty while every erase and write
    // part was acknowledged by the bootloader itself (the answer timer
    // standing in for a missing answer does not count) and the read-back,
    // if asked for, found the flash equal to the image.
    std::string failure;
    std::uint32_t failureAddress = 0;
    bool ackFromTimer = false;   // the byte being handled is the answer timer's stand-in
    bool eraseTaken = false;     // the bootloader itself acknowledged the erase command
    bool silenceArmed = false;   // the silence timer runs: a request is unanswered
    bool verdictPending = false; // the failure is told when the answer timer closes the port
    bool timedOut = false;       // the bootloader stopped answering
    // From the hand-over (image loaded, sync timer armed) until the
    // exchange has ended: the MCU's flash is being written.
    bool running = false;

    // Read-back after the last piece, when the operator asked for it.
    std::uint32_t verifyAddress = 0;     // start of the block being read
    std::uint32_t verifyEnd = 0;         // end of the written area
    std::uint32_t verifyCount = 0;       // bytes of the current block
    std::vector<std::uint8_t> readBack;  // data of the current block

    // Back to no exchange, at the start of the state table, no verdict
    // waiting. The verdict of an exchange that ended keeps its own fields.
    void Reset() {
        active = 0;
        state = BootState::Sync;
        subStep = 0;
        readingData = 0;
        running = false;
        silenceArmed = false;
        eraseTaken = false;
        verdictPending = false;
    }
};

// States of the input-board loader, by the byte each one waits for and the
// packet that byte brings.
enum class BoardState : int {
    Hello = 0,      // the boot ROM's first prompt: 04 20 00 DC
    Stub = 1,       // '.': the start-up stub at 0x0500
    RamLoader = 2,  // a prompt per piece of the RAM loader
    RunStub = 3,    // a prompt: run the stub
    Started = 4,    // 0xEF, the RAM loader runs: 09 1C ...
    SetUp = 5,      // 0xDF: 05 19 FF FF E4
    Stream = 6,     // a prompt before each chunk frame: 03 10 ED
};

struct InputBoardState {
    int active = 0;              // input-board-loader flag
    BoardState state = BoardState::Hello;
    int streaming = 0;           // input-board stream flag
    std::int64_t remaining = 0;  // bytes still to send
    std::int64_t total = 0;      // size of the RAM loader image during its download
    std::uint32_t destination = 0;
    std::uint8_t buffer[4108 + 16] = {};  // loader packets and chunk frames
    int piecePending = 0;        // the current chunk frame still has unsent bytes
    std::uint32_t frameLeft = 0; // frame bytes still to send
    std::uint32_t frameLength = 0;

    // Back to no loader: flags and state 0, no frame half sent.
    void Reset() {
        active = 0;
        state = BoardState::Hello;
        streaming = 0;
        piecePending = 0;
        frameLeft = 0;
    }
};

} // namespace quillet
