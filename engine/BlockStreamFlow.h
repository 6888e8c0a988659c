// The acknowledged block stream as a flow of its own: FPGA images, user
// patterns, panel images and the analyzer data go to the instrument in
// 256-byte blocks, each sent once the instrument has acknowledged the one
// before; a non-zero acknowledgement asks for the block again. Its bytes
// come from a StreamState (the image and how far it came); what it sends
// goes through its FlowLink.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/FlowEvents.h"
#include "engine/FlowLink.h"
#include "pattern/StreamState.h"

namespace quillet {

class BlockStreamFlow {
public:
    BlockStreamFlow(FlowLink& link, StreamState& stream) : m_link(link), m_st(stream) {}

    // How a stream's first block goes out: as a command frame to the found
    // device (FlowLink::SendCommand), or built here with device address
    // 00 00 and written as it is. The blocks after it are command frames.
    enum class FirstFrame { Command, HandBuilt };
    struct Start {
        int kind = kStreamFpga;  // kStream*
        std::uint32_t firstBlock = 0;
        std::uint8_t firstMarker = kMarkerNone;  // of a first block that is not the last
        FirstFrame frame = FirstFrame::Command;
    };
    // A new block that went out: its marker, whether the stream's bytes
    // filled it, and the stream position the percentage shows (told
    // through FlowLink::Progress; 100 after a partial block).
    struct Sent {
        std::uint8_t marker = kMarkerNone;
        bool full = false;
        std::uint32_t position = 0;
        bool Last() const { return marker == kMarkerLast; }
    };

    // A stream about to start after a wait of its own (the slot erase):
    // until its first block, a stray acknowledgement finds nothing to carry
    // on or send again.
    void Prepare(int slot);
    // Sends the first block of the stream's bytes; nothing for an empty
    // stream. A source shorter than one block goes out as one zero-padded
    // block marked last.
    std::optional<Sent> Begin(const Start& start);

    // What an acknowledgement led to.
    enum class Step {
        None,       // nothing to carry on (or a stray acknowledgement)
        Completed,  // the last block is acknowledged: the stream is whole
        Resent,     // the instrument asked for the block again; it went out
        Next,       // the next block went out (`sent`)
    };
    struct AckStep {
        Step step = Step::None;
        Sent sent;  // Next: the new block; Resent: the block sent again
    };
    // The status byte of a block acknowledgement.
    AckStep OnAck(std::uint8_t status);

    // No block goes out any more; a late acknowledgement finds nothing to
    // carry on, and a stream that had not been acknowledged whole is ended.
    void Stop();

    // Between its first block and its last acknowledgement, not stopped.
    bool Running() const { return m_st.sentAny && !m_st.ended && !Complete(); }
    // Every block has gone out and been acknowledged.
    bool Complete() const { return m_st.finished && m_st.acked >= BlocksSent(); }
    // Kind, words and counts (the percentage is the caller's).
    FlowSnapshot Snapshot() const;
    // The words of a stream whose acknowledgement did not come within `timeoutMs`.
    std::string TimeoutText(unsigned timeoutMs) const;
    // The words of a stream acknowledged whole.
    std::string DoneText() const;

private:
    std::uint32_t BlocksSent() const { return m_st.blockNumber - m_st.firstBlock; }
    // Where the stream's bytes end (its size, or fewer bytes held).
    std::size_t End() const;
    // Fills the next block and gives its marker (`marker` unless it is the last).
    std::uint8_t PlaceNextBlock(std::uint8_t marker);
    // What follows every new block: the events, the answer watch, the next number.
    Sent AfterSent(std::uint8_t marker, int placed, std::uint32_t position);

    FlowLink& m_link;
    StreamState& m_st;
    std::uint8_t m_frame[kBlockFrameBytes] = {};  // a hand-built first block
};

} // namespace quillet
