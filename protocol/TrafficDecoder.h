// What the bytes on a serial link to the instrument say, as lines an
// engineer reads: request frames (the search frame, other codes), text
// commands and the text lines that answer them, block streams and their
// acknowledgements, the main MCU's bootloader exchange.
//
//   level 1   the steps only;
//   level 2   also every byte as hex lines, with a block stream summarised
//             ("blocks 3..24298: 270 bytes each, all acknowledged") and its
//             first blocks, resent blocks and last block in full;
//   level 3   every block in full too.
//
// The decoder knows nothing of time stamps, port numbers or where the text
// goes: its lines go to a TrafficLines of the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillet {

class TrafficLines {
public:
    // One step, e.g. "search frame for the signal generator".
    virtual void Step(const std::string& text) = 0;
    // Bytes in full: `dir` is "TX" or "RX" (see TrafficDecoder::HexLines).
    virtual void Dump(const char* dir, const std::uint8_t* bytes, std::size_t n) = 0;

protected:
    ~TrafficLines() = default;
};

class TrafficDecoder {
public:
    // `kindOfGroup` names the instrument a search frame looks for by its
    // group address ("signal generator").
    TrafficDecoder(TrafficLines& lines, int level, std::function<std::string(std::uint8_t)> kindOfGroup);

    int Level() const { return m_level; }

    // A port was opened: what was received on an earlier one is over.
    void NewConnection();
    void Sent(const std::uint8_t* bytes, std::size_t n);
    void Received(std::uint8_t b);
    // The link has delivered a burst of received bytes.
    void BurstEnd();
    // Tells what was received and not told yet.
    void FlushReceived();
    // Ends a block summary and a bootloader run still open.
    void CloseRun();
    void CloseBootloaderRun();

    // What the flows tell: a block stream is under way (its first block
    // starts a new count of blocks shown in full); the bootloader has the
    // line (its bytes are commands, addresses and data packets).
    bool Streaming() const { return m_streaming; }
    void SetStreaming(bool on) { m_streaming = on; }
    void SetBootloader(bool on) { m_bootloader = on; }
    // The group address of the last search frame sent.
    std::uint8_t SearchGroup() const { return m_searchGroup; }

    // One dump line group: "TX  270  aa 00 ...  |..xx0...|" and its
    // continuation lines, 16 bytes a line, indented by `indent` columns.
    static std::string HexLines(const char* dir, const std::uint8_t* bytes, std::size_t n,
                                std::size_t indent);

private:
    struct BlockRun {
        bool open = false;
        long long first = 0;
        long long last = 0;
        std::size_t frames = 0;
        std::size_t acked = 0;
        std::size_t frameSize = 0;
        std::size_t stray = 0;  // received bytes that were no acknowledgement
    };

    bool CountAnswerOfSummarised(bool nextIsBlock);
    bool SummariseBlock(const std::uint8_t* bytes, std::size_t n);
    void DescribeSent(const std::uint8_t* bytes, std::size_t n);
    void DescribeReceivedText();
    void BootloaderSent(const std::uint8_t* bytes, std::size_t n);
    void BootloaderCommand(std::uint8_t opcode);
    void AddBootloaderPiece(std::uint8_t command, std::uint8_t lastOffset);

    TrafficLines& m_lines;
    int m_level;
    std::function<std::string(std::uint8_t)> m_kindOfGroup;

    std::vector<std::uint8_t> m_rx;       // received since the last write
    std::string m_rxLine;                 // text of a line being received
    bool m_lastSentInFull = true;         // the last write was dumped in full
    bool m_nextBlockInFull = false;
    std::size_t m_blocksInStream = 0;
    bool m_streaming = false;
    std::uint8_t m_searchGroup = 0;
    BlockRun m_run;

    bool m_bootloader = false;
    std::uint8_t m_bootCommand = 0;       // last command sent to the bootloader
    bool m_bootAddressed = false;
    std::uint32_t m_bootAddress = 0;
    std::uint8_t m_bootRunCommand = 0;    // Write Memory or Read Memory: what the current run is
    std::size_t m_bootPieces = 0;         // pieces of the current write or read run
    std::uint32_t m_bootFirst = 0;
    std::uint32_t m_bootLast = 0;
};

} // namespace quillet
