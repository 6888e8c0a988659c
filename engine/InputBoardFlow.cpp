#include "engine/InputBoardFlow.h"

#include <algorithm>
#include <initializer_list>

#include "firmware/Crc16.h"
#include "firmware/RamLoader.h"

namespace quillet {
namespace {

constexpr std::uint8_t kBoardHello[3] = {0x03, 0x09, 0xF4};  // the boot ROM's first packet
constexpr unsigned kBoardHelloDelayMs = 500;  // from the board's banner to its first packet
constexpr unsigned kChunkFrameGapMs = 1;      // before each new chunk frame, none between its pieces
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

void InputBoardFlow::Begin() {
    m_s.active = 1;
    m_s.state = BoardState::Hello;
    m_link.Answered();
    m_link.Tell(FlowEvent::InputBoardLoaderStarted);
    m_link.Pause(kBoardHelloDelayMs);
    m_link.Send(kBoardHello, sizeof kBoardHello);
}

void InputBoardFlow::SendPacket(std::initializer_list<std::uint8_t> bytes) {
    m_link.Send(bytes.begin(), bytes.size());
}

void InputBoardFlow::OnByte(std::uint8_t b) {
    InputBoardState& s = m_s;
    // The byte each state waits for; any other byte leaves it unchanged.
    static constexpr std::uint8_t kAwaited[] = {kPrompt, '.', kPrompt, kPrompt, kLoaderStarted,
                                                kLoaderReady, kPrompt};
    const auto index = static_cast<std::size_t>(s.state);
    if (index >= sizeof kAwaited || b != kAwaited[index]) return;
    // The board answered: its next answer has a time-out of its own.
    m_link.Answered();
    switch (s.state) {
    case BoardState::Hello:
        SendPacket({0x04, 0x20, 0x00, 0xDC});
        m_link.Pause(kAfterFirstPacketMs);
        s.state = BoardState::Stub;
        break;
    case BoardState::Stub:
        // Start-up stub at 0x0500: xor ax,ax; mov ss,ax; jmp far 0000:0510.
        SendPacket({0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA, 0x10, 0x05, 0x00, 0x00, 0x8A});
        s.remaining = s.total = static_cast<std::int64_t>(kRamLoaderImageSize);
        s.destination = kRamLoaderAddress;
        s.state = BoardState::RamLoader;
        break;
    case BoardState::RamLoader:
        SendRamLoaderPiece();
        if (s.remaining <= 0) s.state = BoardState::RunStub;
        break;
    case BoardState::RunStub:
        SendPacket({0x05, 0x1D, 0x05, 0x00, 0xD9});
        s.state = BoardState::Started;
        break;
    case BoardState::Started:
        SendPacket({0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC});
        s.state = BoardState::SetUp;
        break;
    case BoardState::SetUp:
        SendPacket({0x05, 0x19, 0xFF, 0xFF, 0xE4});
        s.remaining = m_firmware.size;
        s.destination = kFirmwareAddress;
        s.state = BoardState::Stream;
        break;
    case BoardState::Stream: {
        // Announces the next chunk frame; its write completion sends it
        // after a pause on the empty line.
        static constexpr std::uint8_t kAnnounce[] = {0x03, 0x10, 0xED};
        m_link.SendToLine(kAnnounce, sizeof kAnnounce);
        s.streaming = 1;
        break;
    }
    }
}

// The next piece of the RAM loader image, at most 250 bytes, with command
// 0x13 at its board address and the packet checksum.
void InputBoardFlow::SendRamLoaderPiece() {
    InputBoardState& s = m_s;
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
    m_link.Send(p, n + kPiecePacketExtra);
    s.remaining -= static_cast<std::int64_t>(n);
    s.destination += static_cast<std::uint32_t>(n);
}

InputBoardFlow::Step InputBoardFlow::OnWriteDone() {
    if (!m_s.streaming) return Step::None;
    if (m_s.piecePending) {
        SendFramePiece();
        return Step::Piece;
    }
    m_link.Pause(kChunkFrameGapMs);
    return SendNextChunk();
}

// The rest of the chunk frame under way, 512 bytes at most; after its last
// piece the next chunk waits for the board's next prompt.
void InputBoardFlow::SendFramePiece() {
    InputBoardState& s = m_s;
    const std::uint32_t k = s.frameLeft;
    const std::uint8_t* from = s.buffer + (s.frameLength - s.frameLeft);
    if (k <= kWriteMax) {
        s.piecePending = 0;
        s.streaming = 0;
        m_link.Send(from, k);
        s.frameLeft = 0;
    } else {
        m_link.Send(from, kWriteMax);
        s.frameLeft -= kWriteMax;
    }
}

// The next chunk frame: address, length, up to 4096 bytes of the firmware
// (zeros past its end), two zero bytes and the CRC-16, big-endian.
InputBoardFlow::Step InputBoardFlow::SendNextChunk() {
    InputBoardState& s = m_s;
    if (s.remaining < 1) {
        s.Reset();
        return Step::Finished;
    }
    const std::uint32_t size = m_firmware.size;
    const auto n = static_cast<std::uint32_t>(std::min(s.remaining, kChunkMax));
    const std::uint32_t from = size - static_cast<std::uint32_t>(s.remaining);
    std::uint8_t* f = s.buffer;
    PutBig32(f, s.destination);
    PutBig32(f + 4, n);
    const std::vector<std::uint8_t>& bytes = m_firmware.Bytes();
    const std::uint32_t available =
        from < bytes.size() ? std::min<std::uint32_t>(n, static_cast<std::uint32_t>(bytes.size()) - from) : 0;
    std::copy(bytes.begin() + from, bytes.begin() + from + available, f + 8);
    std::fill(f + 8 + available, f + 8 + n, 0);
    const std::uint16_t crc = ComputeCrc16(f + 8, n);
    f[8 + n] = 0;
    f[9 + n] = 0;
    f[10 + n] = static_cast<std::uint8_t>(crc >> 8);
    f[11 + n] = static_cast<std::uint8_t>(crc);
    m_link.Tell(FlowEvent::InputBoardChunk, s.destination, n);
    s.remaining -= n;
    s.destination += n;

    s.frameLength = n + 12;
    const std::uint32_t first = std::min(s.frameLength, kWriteMax);
    s.piecePending = s.frameLength > kWriteMax ? 1 : 0;
    m_link.Send(f, first);
    s.frameLeft = s.frameLength - first;
    return Step::Chunk;
}

std::uint64_t InputBoardFlow::BytesSent() const {
    return m_firmware.size - static_cast<std::uint64_t>(std::max<std::int64_t>(m_s.remaining, 0));
}

float InputBoardFlow::Percent() const {
    const std::uint32_t size = m_firmware.size;
    return static_cast<float>(size - static_cast<std::uint32_t>(m_s.remaining)) / static_cast<float>(size) * 100.0f;
}

FlowSnapshot InputBoardFlow::Snapshot(int board) const {
    FlowSnapshot f;
    f.kind = FlowKind::BoardLoader;
    f.slot = board;
    f.what = "the update of input board " + std::to_string(board);
    f.writing = true;
    if (Streaming()) {
        f.Count(BytesSent(), m_firmware.size, "bytes");
        f.stage = kStageWriting;
    } else {
        f.unit = "bytes";
        f.total = m_firmware.size;
        f.progress = "while its RAM loader was being loaded";
        f.stage = kStageRamLoader;
    }
    return f;
}

std::string InputBoardFlow::TimeoutText(unsigned timeoutMs, std::uint64_t done, std::uint64_t total) {
    return "time-out: the input board has not answered for " + SecondsText(timeoutMs) + " (" + std::to_string(done) +
           " of " + std::to_string(total) + " bytes sent)";
}

} // namespace quillet
