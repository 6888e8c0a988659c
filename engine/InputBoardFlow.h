// The input-board loader as a flow of its own: after the board's banner its
// boot ROM takes the RAM loader in 250-byte packets, the started loader
// takes three set-up packets and then the firmware as CRC-16 chunk frames,
// each frame written in pieces of at most 512 bytes chained on write
// completions. Each byte the board sends and each completed write moves it
// on; what it sends goes through its FlowLink.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "engine/FlowEvents.h"
#include "engine/FlowLink.h"
#include "firmware/FirmwareState.h"
#include "pattern/StreamState.h"

namespace quillet {

namespace test {
class DialogProbe;
}

class InputBoardFlow {
public:
    // `firmware`: the stream that holds the board's image (its bytes and size).
    InputBoardFlow(FlowLink& link, const StreamState& firmware) : m_link(link), m_firmware(firmware) {}
    // While it runs: the update of input board `board`, its stage and the
    // bytes of the firmware sent.
    FlowSnapshot Snapshot(int board) const;
    // The message of a board that has not answered within `timeoutMs`,
    // in its boot-mode wait or its loader, after `done` of `total` bytes.
    static std::string TimeoutText(unsigned timeoutMs, std::uint64_t done, std::uint64_t total);

    // The board's banner was seen: the loader starts with the boot ROM's hello.
    void Begin();
    // Back to no loader (a stop, a new flow, the end).
    void Reset() { m_s.Reset(); }
    // The loader takes the line's bytes only while it runs.
    bool Active() const { return m_s.active == 1; }
    // A byte from the board: the next packet when it is the one awaited.
    void OnByte(std::uint8_t b);
    // What a completed write leads to.
    enum class Step { None, Piece, Chunk, Finished };
    // A completed write: the rest of a chunk frame (Piece), or the next
    // frame after the board's prompt (Chunk). Finished once the firmware's
    // last chunk has gone.
    Step OnWriteDone();

    // Progress: whether the firmware itself is going out, and its bytes sent.
    bool Streaming() const { return m_s.state == BoardState::Stream; }
    std::uint64_t BytesSent() const;
    float Percent() const;

private:
    friend class test::DialogProbe;
    void SendPacket(std::initializer_list<std::uint8_t> bytes);
    void SendRamLoaderPiece();
    Step SendNextChunk();
    void SendFramePiece();

    FlowLink& m_link;
    const StreamState& m_firmware;
    InputBoardState m_s;
};

} // namespace quillet
