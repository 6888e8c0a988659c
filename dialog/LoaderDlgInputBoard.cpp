// The input-board loader: the board's boot ROM takes the RAM loader in
// 250-byte packets, the started loader takes three set-up packets and then
// the firmware as CRC-16 chunk frames, each frame written in pieces of at
// most 512 bytes chained on write completions.
#include <algorithm>

#include "engine/FlowTimings.h"
#include "dialog/LoaderDlg.h"
#include "firmware/Crc16.h"
#include "firmware/RamLoader.h"

namespace quillet {
namespace {

constexpr std::uint8_t kPrompt = 0xF1;        // the boot ROM and the RAM loader ask for the next packet
constexpr std::uint8_t kLoaderStarted = 0xEF;  // the RAM loader runs
constexpr std::uint8_t kLoaderReady = 0xDF;    // the RAM loader took its set-up
constexpr std::uint8_t kWriteMemoryCommand = 0x13;
constexpr std::size_t kPiecePacketExtra = 5;   // length, command, address (2), checksum
constexpr std::uint32_t kRamLoaderAddress = 0x0510;
constexpr std::uint32_t kFirmwareAddress = 0x00A00000;
constexpr std::int64_t kPieceMax = 250;
constexpr std::int64_t kChunkMax = 4096;
constexpr std::uint32_t kWriteMax = 512;
// After the first packet to the boot ROM, before the next byte is looked at.
constexpr unsigned kAfterFirstPacketMs = 100;

void PutBig32(std::uint8_t* out, std::uint32_t v) {
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
}

} // namespace

void CLoaderDlg::InputBoardLoaderStep(std::uint8_t b) {
    InputBoardState& s = m_board;
    // The byte each state waits for; any other byte leaves it unchanged.
    static constexpr std::uint8_t kAwaited[] = {kPrompt, '.', kPrompt, kPrompt, kLoaderStarted,
                                                kLoaderReady, kPrompt};
    const auto index = static_cast<std::size_t>(s.state);
    if (index >= sizeof kAwaited || b != kAwaited[index]) return;
    // The board answered: its next answer has a time-out of its own.
    ArmFlowWatch();
    auto write = [this](std::initializer_list<std::uint8_t> bytes) {
        m_port->QueueWrite(bytes.begin(), bytes.size());
    };
    switch (s.state) {
    case BoardState::Hello:
        write({0x04, 0x20, 0x00, 0xDC});
        m_host.Sleep(kAfterFirstPacketMs);
        s.state = BoardState::Stub;
        break;
    case BoardState::Stub:
        // Start-up stub at 0x0500: xor ax,ax; mov ss,ax; jmp far 0000:0510.
        write({0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA, 0x10, 0x05, 0x00, 0x00, 0x8A});
        s.remaining = s.total = static_cast<std::int64_t>(kRamLoaderImageSize);
        s.destination = kRamLoaderAddress;
        s.state = BoardState::RamLoader;
        break;
    case BoardState::RamLoader:
        SendRamLoaderPiece();
        if (s.remaining <= 0) s.state = BoardState::RunStub;
        break;
    case BoardState::RunStub:
        write({0x05, 0x1D, 0x05, 0x00, 0xD9});
        s.state = BoardState::Started;
        break;
    case BoardState::Started:
        write({0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC});
        s.state = BoardState::SetUp;
        break;
    case BoardState::SetUp:
        write({0x05, 0x19, 0xFF, 0xFF, 0xE4});
        s.remaining = m_stream.size;
        s.destination = kFirmwareAddress;
        s.state = BoardState::Stream;
        break;
    case BoardState::Stream:
        // Announces the next chunk frame; its write completion sends it
        // after a pause on the empty line.
        {
            static constexpr std::uint8_t kAnnounce[] = {0x03, 0x10, 0xED};
            m_port->QueueWriteToLine(kAnnounce, sizeof kAnnounce);
        }
        s.streaming = 1;
        break;
    }
}

// The next piece of the RAM loader image, at most 250 bytes, with command
// 0x13 at its board address and the packet checksum.
void CLoaderDlg::SendRamLoaderPiece() {
    InputBoardState& s = m_board;
    if (s.remaining <= 0) return;
    const auto n = static_cast<std::size_t>(std::min(s.remaining, kPieceMax));
    const std::size_t from = static_cast<std::size_t>(s.total - s.remaining);
    std::uint8_t* p = s.buffer;
    p[0] = static_cast<std::uint8_t>(n + kPiecePacketExtra);
    p[1] = kWriteMemoryCommand;
    p[2] = static_cast<std::uint8_t>(s.destination >> 8);
    p[3] = static_cast<std::uint8_t>(s.destination);
    std::copy(kRamLoaderImage + from, kRamLoaderImage + from + n, p + 4);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n + 4; ++i) sum = static_cast<std::uint8_t>(sum + p[i]);
    p[n + 4] = static_cast<std::uint8_t>(0x100 - sum);
    m_port->QueueWrite(p, n + kPiecePacketExtra);
    s.remaining -= static_cast<std::int64_t>(n);
    s.destination += static_cast<std::uint32_t>(n);
}

void CLoaderDlg::StreamNextChunk() {
    InputBoardState& s = m_board;
    if (s.piecePending == 1) {
        const std::uint32_t k = s.frameLeft;
        const std::uint8_t* from = s.buffer + (s.frameLength - s.frameLeft);
        if (k <= kWriteMax) {
            // The next chunk waits for the board's next prompt.
            s.piecePending = 0;
            s.streaming = 0;
            m_port->QueueWrite(from, k);
            s.frameLeft = 0;
        } else {
            m_port->QueueWrite(from, kWriteMax);
            s.frameLeft -= kWriteMax;
        }
        return;
    }
    if (s.remaining < 1) {
        s.Reset();
        m_host.SetTimer(TIMER_CLOSE, kCloseDelayMs);
        Report(FlowEvent::InputBoardDone);
        ReportFlowDone(FlowKind::BoardLoader, "the update of input board " + std::to_string(m_entry.board) +
                                                  ": " + WithThousands(m_stream.size) + " bytes sent");
        return;
    }

    const std::uint32_t size = m_stream.size;
    const auto n = static_cast<std::uint32_t>(std::min(s.remaining, kChunkMax));
    const std::uint32_t from = size - static_cast<std::uint32_t>(s.remaining);
    std::uint8_t* f = s.buffer;
    PutBig32(f, s.destination);
    PutBig32(f + 4, n);
    const std::vector<std::uint8_t>& bytes = m_stream.Bytes();
    const std::uint32_t available =
        from < bytes.size() ? std::min<std::uint32_t>(n, static_cast<std::uint32_t>(bytes.size()) - from) : 0;
    std::copy(bytes.begin() + from, bytes.begin() + from + available, f + 8);
    std::fill(f + 8 + available, f + 8 + n, 0);
    const std::uint16_t crc = ComputeCrc16(f + 8, n);
    f[8 + n] = 0;
    f[9 + n] = 0;
    f[10 + n] = static_cast<std::uint8_t>(crc >> 8);
    f[11 + n] = static_cast<std::uint8_t>(crc);
    Report(FlowEvent::InputBoardChunk, s.destination, n);
    s.remaining -= n;
    s.destination += n;

    s.frameLength = n + 12;
    const std::uint32_t first = std::min(s.frameLength, kWriteMax);
    s.piecePending = s.frameLength > kWriteMax ? 1 : 0;
    m_port->QueueWrite(f, first);
    s.frameLeft = s.frameLength - first;

    m_fProgress = static_cast<float>(size - static_cast<std::uint32_t>(s.remaining)) / static_cast<float>(size) * 100.0f;
    UpdateData(false);
}

} // namespace quillet
