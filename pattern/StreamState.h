// State of the acknowledged block stream that carries FPGA images, user
// patterns, panel data and the analyzer data flash to the instrument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/BlockStream.h"

namespace quillet {

// Stream kinds; the sub-command of each (protocol/BlockStream.h) is in
// BlockSubCommand.
constexpr int kStreamFpga = 0;
constexpr int kStreamAux = 1;
constexpr int kStreamPattern = 2;
constexpr int kStreamPanel = 3;  // also the analyzer data flash

struct StreamState {
    std::vector<std::uint8_t> buffer;  // the bytes to send; replaced by every start step
    // A user pattern is not copied: the stream shares the dialog's raster
    // and sends it instead of `buffer` while this is set.
    std::shared_ptr<const std::vector<std::uint8_t>> shared;
    const std::vector<std::uint8_t>& Bytes() const { return shared ? *shared : buffer; }
    std::uint32_t size = 0;            // stream size in bytes
    std::uint32_t position = 0;        // stream bytes placed into blocks so far
    std::uint32_t blockNumber = 0;     // number of the next block; low 16 bits go into each frame
    int kindFpga = 0;                  // stream kind flags, tested in this order
    int kindAux = 0;
    int kindPattern = 0;
    int kindPanel = 0;
    std::uint8_t block[kBlockPayload] = {};  // payload of the block last sent
    int finished = 0;                  // set once the block carrying the last byte was sent
    int sentAny = 0;                   // a block of this stream has gone out (a resend has something to send)
    int closeArmed = 0;                // timer 5 was armed after the last block
    int ended = 0;                     // stopped, timed out or gone before its last acknowledgement
    // What the operator is told of the stream (nothing here changes what
    // is sent): its first block number, its slot, and the accepted
    // acknowledgements of its blocks so far.
    std::uint32_t firstBlock = 0;
    int slot = 0;
    std::uint32_t acked = 0;
};

// Sets the kind flags (the given one 1, the others 0).
void SetStreamKind(StreamState& st, int kind);
// Sub-command of the stream kind flags, the first set flag wins.
std::uint8_t BlockSubCommand(const StreamState& st);
// Places the next stream bytes into the data area of st.block, zero-padding
// a block the data does not fill, and moves st.position past them. Returns
// the number of stream bytes placed (0 when nothing is left). Never reads
// past st.size or the end of st.Bytes().
int FillNextBlock(StreamState& st);
// Puts the sub-command, block number and marker into st.block.
void SetBlockHeader(StreamState& st, std::uint8_t subCommand, std::uint32_t number, std::uint8_t marker);
// Builds the 270-byte block frame of `payload` for device address
// (group, machine) with console address 00 00 and its checksum.
void BuildBlockFrame(const std::uint8_t* payload, std::uint8_t group, std::uint8_t machine,
                     std::uint8_t* frame);

} // namespace quillet
