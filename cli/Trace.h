// The command line's trace of a run, for an engineer reading what happened
// on the line:
//   level 1 (-v)    the steps, with time stamps: port opened and closed,
//                   search frames, found, text commands and lines, the erase,
//                   start and end of block streams, bootloader commands,
//                   input-board chunks;
//   level 2 (-vv)   also every byte, as hex with a printable-ASCII column,
//                   direction and COM number; a block stream is summarised
//                   ("blocks 3..24298: 270 bytes each, all acknowledged"),
//                   its first blocks, resent blocks and last block in full;
//   level 3 (-vvv)  every block in full too.
// Time stamps are seconds since the start of the run. Output is buffered
// and written out at least every 100 ms, so a full trace costs little.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/FlowEvents.h"
#include "serial/SerialPort.h"

namespace quillet::cli {

class Trace {
public:
    Trace(std::FILE* out, int level, std::function<std::uint64_t()> nowMs);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    int Level() const { return m_level; }
    // Called before text goes out (the progress bar clears its line).
    std::function<void()> beforeWrite;

    // ---- the serial link, as the command line's tap sees it ----------------
    // A port opened, or why not (a run of COM numbers without a device in
    // the map is told in one line). `lineInUse`: the settings the port
    // really has, when the port knows them (else those asked for are told).
    void Opened(unsigned com, const std::string& device, unsigned baud, unsigned dataBits,
                char parity, unsigned stopBits, bool ok, OpenRefusal refusal = OpenRefusal::None,
                const std::string& problem = {}, const std::string& lineInUse = {});
    void Sent(const std::uint8_t* bytes, std::size_t n);
    void Received(std::uint8_t b);
    // The link has delivered a burst of received bytes.
    void BurstEnd();
    void Closed();
    void Lost();

    // ---- the flows -----------------------------------------------------------
    void Event(const FlowEventInfo& e);
    // A step of the command line's own.
    void Note(const std::string& text);
    // Writes out what is buffered.
    void Flush();
    // Ends what is still open (received bytes, a block or bootloader
    // summary) and writes everything out.
    void Finish();

    // One dump line group: "TX  270  aa 00 ...  |..xx0...|" and its
    // continuation lines, 16 bytes a line (exposed for the format).
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

    std::string Stamp() const;
    void Line(const std::string& text);   // a time-stamped line
    void Step(const std::string& text) { Line(Com() + text); }
    std::string Com() const;
    void Dump(const char* dir, const std::uint8_t* bytes, std::size_t n);
    void Write(const std::string& text);
    void FlushReceived();
    void FlushUnmapped();
    void CloseRun();
    void DescribeSent(const std::uint8_t* bytes, std::size_t n);
    void DescribeReceivedText();
    void BootloaderSent(const std::uint8_t* bytes, std::size_t n);
    void CloseBootloaderRun();

    std::FILE* m_out;
    int m_level;
    std::function<std::uint64_t()> m_now;
    std::string m_buffer;
    std::uint64_t m_lastWriteMs = 0;

    unsigned m_com = 0;
    bool m_open = false;
    unsigned m_unmappedFrom = 0;          // first and last COM number of a run without a device
    unsigned m_unmappedTo = 0;
    std::vector<std::uint8_t> m_rx;       // received since the last write
    std::string m_rxLine;                 // text of a line being received
    bool m_lastSentInFull = true;         // the last write was dumped in full
    bool m_nextBlockInFull = false;
    std::size_t m_blocksInStream = 0;
    bool m_streaming = false;
    bool m_finished = false;              // the last block is out, its acknowledgement not yet in
    long long m_lastBlock = -1;
    std::uint8_t m_searchGroup = 0;
    BlockRun m_run;

    bool m_bootloader = false;
    std::uint8_t m_bootCommand = 0;       // last command sent to the bootloader
    bool m_bootAddressed = false;
    std::uint32_t m_bootAddress = 0;
    std::uint8_t m_bootRunCommand = 0;     // Write Memory or Read Memory: what the current run is
    std::size_t m_bootPieces = 0;          // pieces of the current write or read run
    std::uint32_t m_bootFirst = 0;
    std::uint32_t m_bootLast = 0;
};

} // namespace quillet::cli
