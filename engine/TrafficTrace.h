// The trace of a run, for an engineer reading what happened on the line
// (quillet-cli -v, quillet -v and --log FILE):
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
// What the bytes say is protocol/TrafficDecoder's; here are the port, the
// flows' steps, the time stamps and the writing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "engine/FlowEvents.h"
#include "protocol/TrafficDecoder.h"
#include "serial/TrafficPort.h"

namespace quillet {

class TrafficTrace final : public TrafficTap, private TrafficLines {
public:
    TrafficTrace(std::FILE* out, int level, std::function<std::uint64_t()> nowMs);
    ~TrafficTrace();
    TrafficTrace(const TrafficTrace&) = delete;
    TrafficTrace& operator=(const TrafficTrace&) = delete;

    int Level() const { return m_decoder.Level(); }
    // Called before text goes out (the command line's progress bar clears
    // its line).
    std::function<void()> beforeWrite;

    // ---- the serial link, as the tap sees it --------------------------------
    // A run of COM numbers without a device in the map is told in one line.
    void Opened(unsigned com, const std::string& device, unsigned baud, unsigned dataBits,
                char parity, unsigned stopBits, bool ok, OpenRefusal refusal = OpenRefusal::None,
                const std::string& problem = {}, const std::string& lineInUse = {}) override;
    void Sent(const std::uint8_t* bytes, std::size_t n) override { m_decoder.Sent(bytes, n); }
    void Received(std::uint8_t b) override { m_decoder.Received(b); }
    void BurstEnd() override { m_decoder.BurstEnd(); }
    void Closed() override;
    void Lost() override;

    // ---- the flows -----------------------------------------------------------
    void Event(const FlowEventInfo& e);
    // A step of the front end's own.
    void Note(const std::string& text);
    // Writes out what is buffered.
    void Flush() override;
    // Ends what is still open (received bytes, a block or bootloader
    // summary) and writes everything out.
    void Finish();

    // One dump line group (see TrafficDecoder::HexLines).
    static std::string HexLines(const char* dir, const std::uint8_t* bytes, std::size_t n,
                                std::size_t indent) {
        return TrafficDecoder::HexLines(dir, bytes, n, indent);
    }

private:
    void WriteBuffer();
    // TrafficLines
    void Step(const std::string& text) override { Line(Com() + text); }
    void Dump(const char* dir, const std::uint8_t* bytes, std::size_t n) override;

    std::string Stamp() const;
    void Line(const std::string& text);   // a time-stamped line
    std::string Com() const;
    void Write(const std::string& text);
    void FlushUnmapped();
    void BlockEvent(const FlowEventInfo& e);
    void BootloaderEvent(const FlowEventInfo& e);

    std::FILE* m_out;
    std::function<std::uint64_t()> m_now;
    TrafficDecoder m_decoder;
    std::string m_buffer;
    std::uint64_t m_lastWriteMs = 0;

    unsigned m_com = 0;
    bool m_open = false;
    unsigned m_unmappedFrom = 0;          // first and last COM number of a run without a device
    unsigned m_unmappedTo = 0;
    bool m_finished = false;              // the last block is out, its acknowledgement not yet in
    long long m_lastBlock = -1;
};

} // namespace quillet
