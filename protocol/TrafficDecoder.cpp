#include "protocol/TrafficDecoder.h"

#include <cstdio>
#include <cstring>

#include "protocol/BlockStream.h"
#include "protocol/Bootloader.h"
#include "protocol/Frame.h"

namespace quillet {

namespace {

constexpr std::size_t kBlocksShownFirst = 3;  // a stream's first blocks go out in full
constexpr std::size_t kLongestTextLine = 200; // longer received lines are cut
constexpr std::size_t kHexPerLine = 16;
constexpr std::size_t kAddressPacketBytes = 5;  // four address bytes and their XOR
constexpr std::size_t kDataPacketExtra = 3;     // a data packet is (count - 1) + 3 bytes

bool Printable(std::uint8_t b) { return b >= 0x20 && b < 0x7F; }

std::string Hex8(unsigned v) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%02x", v & 0xFF);
    return t;
}

std::string Hex32(std::uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%08x", v);
    return t;
}

// "\r\nDBG 1\r\n" as it would be typed in C.
std::string Quoted(const std::uint8_t* p, std::size_t n) {
    std::string s = "\"";
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = p[i];
        if (b == '\r') s += "\\r";
        else if (b == '\n') s += "\\n";
        else if (b == '\t') s += "\\t";
        else if (b == '"' || b == '\\') s += std::string("\\") + char(b);
        else if (Printable(b)) s += char(b);
        else {
            char t[8];
            std::snprintf(t, sizeof t, "\\x%02x", b);
            s += t;
        }
    }
    return s + "\"";
}

// A whole request frame: header, length, checksum.
bool IsRequestFrame(const std::uint8_t* p, std::size_t n) {
    if (n < kFrameOverhead || p[0] != kRequestHeader) return false;
    if (std::size_t(p[3] | (p[4] << 8)) + 5 != n) return false;
    return FrameSum(p, n) == 0;
}

std::uint16_t Code(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[7] | (p[8] << 8)); }

// A block acknowledgement ends `rx`; its status in `status`.
bool EndsWithAck(const std::vector<std::uint8_t>& rx, std::uint8_t& status) {
    if (rx.size() < kBlockAckBytes) return false;
    const std::uint8_t* a = rx.data() + rx.size() - kBlockAckBytes;
    if (!IsBlockAck(a)) return false;
    status = a[kBlockAckStatusAt];
    return true;
}

bool IsText(const std::uint8_t* p, std::size_t n) {
    if (n == 0) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (!Printable(p[i]) && p[i] != '\r' && p[i] != '\n' && p[i] != '\t') return false;
    return true;
}

// What a text command the program sends is for.
std::string TextLabel(const std::uint8_t* p, std::size_t n) {
    const std::string text(reinterpret_cast<const char*>(p), n);
    if (text.find("fpw ") != std::string::npos) return "slot command ";
    if (text.find("ISP ") != std::string::npos) return "boot-mode command ";
    if (text.find("UBP ") != std::string::npos) return "boot-mode command (sub-MCU or input board) ";
    return "";
}

const char* BootCommandName(std::uint8_t c) {
    const char* name = boot::CommandName(c);
    return name ? name : "command";
}

} // namespace

TrafficDecoder::TrafficDecoder(TrafficLines& lines, int level, std::function<std::string(std::uint8_t)> kindOfGroup)
    : m_lines(lines), m_level(level), m_kindOfGroup(std::move(kindOfGroup)) {}

std::string TrafficDecoder::HexLines(const char* dir, const std::uint8_t* p, std::size_t n, std::size_t indent) {
    static const char kDigits[] = "0123456789abcdef";
    char head[32];
    std::snprintf(head, sizeof head, "%s %4zu  ", dir, n);
    std::string out;
    out.reserve((n / kHexPerLine + 1) * (indent + 80));
    for (std::size_t off = 0; off < n || off == 0; off += kHexPerLine) {
        if (off == 0) out += head;
        else out.append(indent + std::strlen(head), ' ');
        std::string ascii = "|";
        for (std::size_t i = 0; i < kHexPerLine; ++i) {
            if (i == kHexPerLine / 2) out += ' ';
            if (off + i < n) {
                const std::uint8_t b = p[off + i];
                out += kDigits[b >> 4];
                out += kDigits[b & 15];
                out += ' ';
                ascii += Printable(b) ? char(b) : '.';
            } else {
                out += "   ";
            }
        }
        out += ascii + "|\n";
        if (n == 0) break;
    }
    return out;
}

void TrafficDecoder::NewConnection() {
    m_rx.clear();
    m_rxLine.clear();
    m_lastSentInFull = true;
}

// What came since the last write answers it. Returns whether that was the
// acknowledgement of a summarised block that the next block carries on.
bool TrafficDecoder::CountAnswerOfSummarised(bool nextIsBlock) {
    std::uint8_t status = 0;
    const bool ack = EndsWithAck(m_rx, status);
    if (ack && status == 0 && nextIsBlock) {
        ++m_run.acked;
        m_run.stray += m_rx.size() - kBlockAckBytes;
        m_rx.clear();
        return true;
    }
    if (ack && status == 0) ++m_run.acked;
    else if (ack) m_nextBlockInFull = true;  // asked for again
    CloseRun();
    return false;
}

// At level 2 a block between a stream's first ones and its last (or one
// asked for again) goes into the summary instead of out in full.
bool TrafficDecoder::SummariseBlock(const std::uint8_t* p, std::size_t n) {
    const long long number = p[kBlockNumberAt] | (p[kBlockNumberAt + 1] << 8);
    const bool inFull =
        m_blocksInStream < kBlocksShownFirst || (p[kBlockMarkerAt] & kMarkerLast) || m_nextBlockInFull;
    ++m_blocksInStream;
    m_nextBlockInFull = false;
    if (inFull) {
        CloseRun();
        return false;
    }
    if (!m_run.open) {
        m_run = BlockRun{};
        m_run.open = true;
        m_run.first = number;
        m_run.frameSize = n;
    }
    m_run.last = number;
    ++m_run.frames;
    m_lastSentInFull = false;
    return true;
}

void TrafficDecoder::Sent(const std::uint8_t* p, std::size_t n) {
    const bool block = !m_bootloader && n == kBlockFrameBytes && IsRequestFrame(p, n) && Code(p) == kCodeBlock;
    if (m_level >= 2 && !m_lastSentInFull) CountAnswerOfSummarised(block);
    FlushReceived();
    m_rxLine.clear();
    if (m_bootloader) {
        BootloaderSent(p, n);
    } else if (!block) {
        CloseRun();
        DescribeSent(p, n);
    }
    if (m_level < 2) return;
    if (block && !m_streaming) m_blocksInStream = 0;  // a new stream's first block
    if (block && m_level == 2 && SummariseBlock(p, n)) return;
    m_lines.Dump("TX", p, n);
    m_lastSentInFull = true;
}

void TrafficDecoder::Received(std::uint8_t b) {
    m_rx.push_back(b);
    if (m_bootloader) return;
    // Text lines (banners, "cnd 12") are steps of their own.
    if (b == '\r' || b == '\n') {
        DescribeReceivedText();
    } else if (Printable(b) || b == '\t') {
        if (m_rxLine.size() < kLongestTextLine) m_rxLine += char(b);
    } else {
        m_rxLine.clear();
    }
}

void TrafficDecoder::DescribeReceivedText() {
    if (m_rxLine.size() >= 2 && m_level >= 1) {
        FlushReceived();
        m_lines.Step("received " + Quoted(reinterpret_cast<const std::uint8_t*>(m_rxLine.data()), m_rxLine.size()));
    }
    m_rxLine.clear();
}

void TrafficDecoder::BurstEnd() {
    // Bytes that answer a summarised block wait for the next write.
    if (m_lastSentInFull) FlushReceived();
}

void TrafficDecoder::FlushReceived() {
    if (m_rx.empty()) return;
    if (m_level >= 2 && !m_lastSentInFull) {
        // The answer to a summarised block: counted when it is one.
        std::uint8_t status = 0;
        if (EndsWithAck(m_rx, status) && status == 0) {
            ++m_run.acked;
            m_run.stray += m_rx.size() - kBlockAckBytes;
            m_rx.clear();
            return;
        }
        CloseRun();
    }
    if (m_level >= 2) m_lines.Dump("RX", m_rx.data(), m_rx.size());
    m_rx.clear();
    m_lastSentInFull = true;
}

void TrafficDecoder::CloseRun() {
    if (!m_run.open) return;
    m_run.open = false;
    std::string text = "blocks " + std::to_string(m_run.first) + ".." + std::to_string(m_run.last) +
                       ": " + std::to_string(m_run.frameSize) + " bytes each, ";
    if (m_run.acked >= m_run.frames)
        text += "all acknowledged";
    else
        text += std::to_string(m_run.acked) + " of " + std::to_string(m_run.frames) + " acknowledged";
    if (m_run.stray) text += ", " + std::to_string(m_run.stray) + " other bytes received between them";
    m_lines.Step(text);
    m_lastSentInFull = true;
}

void TrafficDecoder::DescribeSent(const std::uint8_t* p, std::size_t n) {
    if (IsRequestFrame(p, n)) {
        const std::uint16_t code = Code(p);
        if (code == kCodeSearch && n == kFrameOverhead) {
            m_searchGroup = p[1];
            m_lines.Step("search frame for the " + m_kindOfGroup(p[1]));
        } else if (code != kCodeBlock) {
            char t[64];
            std::snprintf(t, sizeof t, "frame with code 0x%04x, %zu bytes", code, n);
            m_lines.Step(t);
        }
    } else if (n == 1 && p[0] == boot::kSync) {
        m_lines.Step("bootloader sync (0x7f)");
    } else if (IsText(p, n)) {
        m_lines.Step("sent " + TextLabel(p, n) + Quoted(p, n));
    } else {
        m_lines.Step("sent " + std::to_string(n) + " bytes");
    }
}

// The bootloader's side of the exchange: sync, commands (the byte and its
// complement), addresses (four bytes and their XOR), data packets (count
// - 1, the bytes, their XOR). Writes or reads of consecutive addresses are
// summarised in one line.
void TrafficDecoder::BootloaderSent(const std::uint8_t* p, std::size_t n) {
    if (n == 1 && p[0] == boot::kSync) {
        m_lines.Step("bootloader sync (0x7f)");
        return;
    }
    if (n == 2 && p[1] == boot::Complement(p[0])) {
        BootloaderCommand(p[0]);
        return;
    }
    if (n == kAddressPacketBytes && (p[0] ^ p[1] ^ p[2] ^ p[3]) == p[4]) {
        m_bootAddress = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                        (std::uint32_t(p[2]) << 8) | p[3];
        m_bootAddressed = true;
        return;
    }
    if (n >= kDataPacketExtra && n == std::size_t(p[0]) + kDataPacketExtra &&
        m_bootCommand == boot::kWriteMemory && m_bootAddressed) {
        AddBootloaderPiece(boot::kWriteMemory, p[0]);
        m_bootAddressed = false;
        return;
    }
    m_lines.Step("bootloader: " + std::to_string(n) + " bytes");
}

// A byte and its complement: a command, or the page count of an Erase, or
// the count of a Read Memory.
void TrafficDecoder::BootloaderCommand(std::uint8_t b) {
    if (m_bootCommand == boot::kErase) {
        m_lines.Step(b == boot::kEraseAllPages ? "bootloader: erase all pages"
                                               : "bootloader: erase " + std::to_string(b + 1) + " pages");
        m_bootCommand = 0;
        return;
    }
    if (m_bootCommand == boot::kReadMemory && m_bootAddressed) {
        AddBootloaderPiece(boot::kReadMemory, b);
        m_bootCommand = 0;
        return;
    }
    m_bootCommand = b;
    m_bootAddressed = false;
    if (b == boot::kWriteMemory || b == boot::kReadMemory) return;  // summarised with their pieces
    CloseBootloaderRun();
    m_lines.Step(std::string("bootloader: ") + BootCommandName(b) + " (" + Hex8(b) + ")");
}

// A piece of a write or read at the address last sent, `lastOffset` its
// size - 1; consecutive pieces of the same command make one run.
void TrafficDecoder::AddBootloaderPiece(std::uint8_t command, std::uint8_t lastOffset) {
    if (m_bootPieces == 0 || m_bootRunCommand != command || m_bootAddress != m_bootLast + 1) {
        CloseBootloaderRun();
        m_bootRunCommand = command;
        m_bootFirst = m_bootAddress;
    }
    ++m_bootPieces;
    m_bootLast = m_bootAddress + lastOffset;
}

void TrafficDecoder::CloseBootloaderRun() {
    if (m_bootPieces == 0) return;
    m_lines.Step(std::string("bootloader: ") + BootCommandName(m_bootRunCommand) + " " + Hex32(m_bootFirst) +
                 ".." + Hex32(m_bootLast) + ", " + std::to_string(m_bootPieces) +
                 (m_bootPieces == 1 ? " piece" : " pieces"));
    m_bootPieces = 0;
}

} // namespace quillet
