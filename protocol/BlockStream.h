// The acknowledged block stream that carries FPGA images, user patterns,
// panel data and the analyzer data flash: request frames with code 0x7878
// whose 260-byte payload is
//
//   0  sub-command (the stream's kind)   1  block number low   2  block number high
//   3  marker                            4  256 data bytes
//
// each answered by a block acknowledgement
//
//   AB g m 08 00 c c FF FF 78 78 status checksum   (status 0: accepted, else send it again)
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/Frame.h"

namespace quillet {

// Sub-commands: what the stream carries.
inline constexpr std::uint8_t kBlockSubFpga = 0x00;
inline constexpr std::uint8_t kBlockSubAux = 0x01;     // the AUX FPGA
inline constexpr std::uint8_t kBlockSubPattern = 0x30; // '0', a user pattern
inline constexpr std::uint8_t kBlockSubPanel = 0x21;   // '!', panel data (also the analyzer data flash)

// Markers.
inline constexpr std::uint8_t kMarkerNone = 0x00;
inline constexpr std::uint8_t kMarkerLast = 0x40;        // the stream's last block
inline constexpr std::uint8_t kMarkerPanelFirst = 0x80;  // the first block of a panel image

inline constexpr int kBlockHeader = 4;  // sub-command, block number (2), marker
inline constexpr int kBlockData = 256;
inline constexpr int kBlockPayload = kBlockHeader + kBlockData;
inline constexpr std::size_t kBlockFrameBytes = kBlockPayload + kFrameOverhead;  // 270

// Offsets into a block frame.
inline constexpr std::size_t kBlockSubAt = 9;
inline constexpr std::size_t kBlockNumberAt = 10;
inline constexpr std::size_t kBlockMarkerAt = 12;
inline constexpr std::size_t kBlockDataAt = 13;

// The panel image of user pattern n starts at block 300 n + 11100 of the
// panel's data flash.
inline constexpr std::uint32_t kPanelBlocksPerSlot = 300;
inline constexpr std::uint32_t kPanelBlockBase = 11100;

// The block acknowledgement.
inline constexpr std::size_t kBlockAckBytes = 13;
inline constexpr std::uint8_t kBlockAckLength = 8;  // its length field
inline constexpr std::size_t kBlockAckStatusAt = 11;

// Builds the acknowledgement of device `group`/`machine` with `status`
// in `out` (13 bytes).
constexpr void BuildBlockAck(std::uint8_t* out, FrameAddress device, std::uint8_t status) {
    const std::uint8_t body[kBlockAckBytes - 1] = {
        kReplyHeader, device.group, device.machine, kBlockAckLength, 0x00, 0x00, 0x00,
        CodeLow(kCodeBlockAck), CodeHigh(kCodeBlockAck), CodeLow(kCodeBlock), CodeHigh(kCodeBlock), status};
    for (std::size_t i = 0; i < kBlockAckBytes - 1; ++i) out[i] = body[i];
    out[kBlockAckBytes - 1] = FrameChecksum(out, kBlockAckBytes - 1);
}

// Whether the 13 bytes at `a` are a block acknowledgement (from any device
// to any console) with a correct checksum.
constexpr bool IsBlockAck(const std::uint8_t* a) {
    return a[0] == kReplyHeader && a[3] == kBlockAckLength && a[4] == 0x00 &&
           a[7] == CodeLow(kCodeBlockAck) && a[8] == CodeHigh(kCodeBlockAck) &&
           a[9] == CodeLow(kCodeBlock) && a[10] == CodeHigh(kCodeBlock) && FrameSum(a, kBlockAckBytes) == 0;
}

} // namespace quillet
