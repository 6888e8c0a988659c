// The instrument's side of the serial line, without any I/O: received bytes
// go in one at a time, the bytes to send come out with the delay after which
// they are due. One dispatcher serves the three faces the instrument shows:
//
//  - the running application: request frames (search, block frames) and the
//    console's text commands (slot selection, boot-mode entry);
//  - the main MCU's (or a sub-MCU's) STM32 USART system bootloader;
//  - an input board's boot ROM and, once downloaded, its RAM loader.
//
// Everything the program sends is checked; each departure from what the
// program must send is recorded as a violation. What arrives is stored in
// Options::outputDir: user patterns and panel data as BMP files, FPGA images
// and analyzer data as raw files, MCU flash and input-board firmware images.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/lib/Options.h"

namespace quillet::sim {

// Bytes to send `delayMs` after the byte that caused them arrived.
struct Reply {
    unsigned delayMs = 0;
    std::vector<std::uint8_t> bytes;
};

enum class Mode { Application, Bootloader, InputBoard };

// CRC-16 of the input-board chunk frames: polynomial 0x1021, not reflected,
// initial value 0x1021, no final XOR. Computed bit by bit here, on purpose
// not the way the program computes it.
std::uint16_t ChunkCrc16(const std::uint8_t* data, std::size_t length);

class Instrument {
public:
    explicit Instrument(Options options);

    // One received byte at time `nowMs` (any monotonic millisecond clock).
    // `lineError` marks a byte the serial line flagged with a parity or
    // framing error (only a real port at 8E1 can tell).
    std::vector<Reply> Feed(std::uint8_t byte, std::uint64_t nowMs, bool lineError = false);
    // Several bytes arriving at the same time; the replies in order.
    std::vector<Reply> Feed(const std::vector<std::uint8_t>& bytes, std::uint64_t nowMs);

    Mode CurrentMode() const { return m_mode; }
    // A fault of the line the server saw (not a byte of the protocol).
    void NoteLineProblem(std::string text) { Violation(std::move(text)); }
    // The bytes received, or their last Options::trafficKept when that is bounded.
    const std::vector<std::uint8_t>& Received() const { return m_received; }
    std::uint64_t BytesReceived() const { return m_sum.bytesReceived; }
    Summary GetSummary() const;
    std::string SummaryText() const;
    std::string WriteSummaryFile();

    // Flash contents of the main MCU from 0x08000000 up to the highest
    // byte written (empty when nothing was written).
    std::vector<std::uint8_t> McuFlash() const;

private:
    // ---- application ----
    void AppByte(std::uint8_t b, std::uint64_t now, std::vector<Reply>& out);
    void HandleFrame(std::uint64_t now, std::vector<Reply>& out);
    void HandleBlock(const std::vector<std::uint8_t>& f, std::uint64_t now, std::vector<Reply>& out);
    void HandleLine(const std::string& line, std::uint64_t now, std::vector<Reply>& out);
    void SendAck(std::uint8_t status, std::vector<Reply>& out);
    void FinishStream();

    // ---- STM32 bootloader ----
    void EnterBootloader(int target);
    void BootByte(std::uint8_t b, bool lineError, std::vector<Reply>& out);
    void BootCommand(std::uint8_t cmd, std::vector<Reply>& out);
    bool ReadableRange(std::uint32_t addr, std::size_t n) const;
    std::uint8_t ReadByte(std::uint32_t addr) const;
    void StoreFlash();

    // ---- input board ----
    void EnterInputBoard(int board);
    void BoardByte(std::uint8_t b, std::vector<Reply>& out);
    void BoardPacket(std::vector<Reply>& out);
    void BoardChunk(std::vector<Reply>& out);

    // ---- common ----
    void Violation(std::string text);
    void NoteBoundary();
    bool SearchFrameEndsHere() const;
    std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& data);
    void Log(const std::string& text) const;

    Options m_opt;
    std::uint8_t m_group;
    Mode m_mode = Mode::Application;
    std::vector<std::uint8_t> m_received;      // the kept tail of the bytes received
    void KeepTail();
    Summary m_sum;
    std::uint64_t m_violationsTotal = 0;
    std::vector<std::uint64_t> m_violationAt;  // received-byte index of each listed violation
    std::deque<std::uint64_t> m_boundaries;    // byte indices that arrived between packets
    std::uint32_t m_rng;

    // application: frame and text line assembly
    std::vector<std::uint8_t> m_frame;
    bool m_inFrame = false;
    std::string m_line;
    bool m_swallowLf = false;
    int m_fpwSlot = 0;        // slot named by the last "fpw 7c 0N" line
    int m_patternSlot = 0;    // slot selected by the last "cnd 12"
    std::uint64_t m_eraseEnd = 0;

    // application: the block stream in progress
    struct Stream {
        bool active = false;
        bool finished = false;
        std::uint8_t sub = 0;
        int slot = 0;               // user pattern / panel slot
        bool analyzerData = false;
        std::uint32_t base = 0;     // block number of the first block
        std::uint32_t count = 0;    // fixed block count, 0 for open-ended streams
        std::uint32_t expected = 0; // block number that should come next
        std::vector<std::uint8_t> data;
        std::vector<bool> have;
    } m_stream;
    std::set<std::uint32_t> m_resendAsked;

    // bootloader
    enum class Bl { WaitSync, Cmd, Cmpl, Collect };
    Bl m_bl = Bl::WaitSync;
    std::uint8_t m_blCmd = 0;
    bool m_blCmdWasSync = false;
    int m_blPhase = 0;                 // step inside the command being collected
    std::vector<std::uint8_t> m_blBuf;
    std::size_t m_blNeed = 0;
    std::uint32_t m_blAddr = 0;
    int m_blTarget = -1;               // -1 main MCU, 0..10 sub-MCU index
    struct Flash {
        std::vector<std::uint8_t> bytes;
        std::size_t top = 0;           // one past the highest byte written
    };
    std::map<int, Flash> m_flash;
    std::uint32_t m_writeCommands = 0;  // Write Memory data packets seen so far

    // input board
    int m_board = 0;
    int m_boardPhase = 0;
    std::vector<std::uint8_t> m_pkt;
    std::size_t m_pktNeed = 0;
    bool m_inChunk = false;
    std::uint32_t m_loaderNext = 0;
    std::uint32_t m_loaderBytes = 0;
    int m_loaderPieces = 0;
    std::uint32_t m_chunkNext = 0;
    std::vector<std::uint8_t> m_boardImage;
};

} // namespace quillet::sim
