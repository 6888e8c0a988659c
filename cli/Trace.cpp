#include "cli/Trace.h"

#include <cstring>

#include "cli/Output.h"
#include "discovery/DeviceKinds.h"
#include "protocol/Frame.h"

namespace quillet::cli {

namespace {

constexpr std::size_t kBlockFrameSize = 270;
constexpr std::size_t kAckSize = 13;
constexpr std::uint16_t kSearchCode = 0xF802;
constexpr std::uint16_t kBlockCode = 0x7878;
constexpr std::uint8_t kMarkerLast = 0x40;
constexpr std::size_t kBlocksShownFirst = 3;  // a stream's first blocks go out in full

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
    if (n < 10 || p[0] != kRequestHeader) return false;
    if (std::size_t(p[3] | (p[4] << 8)) + 5 != n) return false;
    return FrameSum(p, n) == 0;
}

std::uint16_t Code(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[7] | (p[8] << 8)); }

// A block acknowledgement ends `rx`: AB g m 08 00 c c FF FF 78 78 status sum.
bool EndsWithAck(const std::vector<std::uint8_t>& rx, std::uint8_t& status) {
    if (rx.size() < kAckSize) return false;
    const std::uint8_t* a = rx.data() + rx.size() - kAckSize;
    if (a[0] != kReplyHeader || a[3] != 0x08 || a[4] != 0x00 || a[7] != 0xFF || a[8] != 0xFF ||
        a[9] != 0x78 || a[10] != 0x78 || FrameSum(a, kAckSize) != 0)
        return false;
    status = a[11];
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
    switch (c) {
    case 0x00: return "Get";
    case 0x01: return "Get Version";
    case 0x02: return "Get ID";
    case 0x11: return "Read Memory";
    case 0x21: return "Go";
    case 0x31: return "Write Memory";
    case 0x43: return "Erase";
    case 0x44: return "Extended Erase";
    case 0x63: return "Write Protect";
    case 0x73: return "Write Unprotect";
    case 0x82: return "Readout Protect";
    case 0x92: return "Readout Unprotect";
    default: return "command";
    }
}

} // namespace

Trace::Trace(std::FILE* out, int level, std::function<std::uint64_t()> nowMs)
    : m_out(out), m_level(level), m_now(std::move(nowMs)) {}

Trace::~Trace() { Finish(); }

std::string Trace::Stamp() const {
    const std::uint64_t t = m_now ? m_now() : 0;
    char s[32];
    std::snprintf(s, sizeof s, "%5llu.%03llu", static_cast<unsigned long long>(t / 1000),
                  static_cast<unsigned long long>(t % 1000));
    return s;
}

std::string Trace::Com() const { return m_com ? "COM" + std::to_string(m_com) + "  " : std::string(); }

void Trace::Write(const std::string& text) {
    m_buffer += text;
    const std::uint64_t now = m_now ? m_now() : 0;
    if (m_buffer.size() >= 65536 || now >= m_lastWriteMs + 100) {
        if (beforeWrite) beforeWrite();
        WriteOut(m_out, m_buffer);
        m_buffer.clear();
        m_lastWriteMs = now;
    }
}

void Trace::Line(const std::string& text) {
    FlushUnmapped();
    Write(Stamp() + "  " + text + "\n");
}

std::string Trace::HexLines(const char* dir, const std::uint8_t* p, std::size_t n, std::size_t indent) {
    static const char kDigits[] = "0123456789abcdef";
    char head[32];
    std::snprintf(head, sizeof head, "%s %4zu  ", dir, n);
    std::string out;
    out.reserve((n / 16 + 1) * (indent + 80));
    for (std::size_t off = 0; off < n || off == 0; off += 16) {
        if (off == 0) out += head;
        else out.append(indent + std::strlen(head), ' ');
        std::string ascii = "|";
        for (std::size_t i = 0; i < 16; ++i) {
            if (i == 8) out += ' ';
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

void Trace::Dump(const char* dir, const std::uint8_t* p, std::size_t n) {
    const std::string head = Stamp() + "  " + Com();
    Write(head + HexLines(dir, p, n, head.size()));
}

// ---- the link ----------------------------------------------------------------------

void Trace::Opened(unsigned com, const std::string& device, unsigned baud, unsigned dataBits,
                   char parity, unsigned stopBits, bool ok, OpenRefusal refusal,
                   const std::string& problem, const std::string& lineInUse) {
    FlushReceived();
    CloseRun();
    // COM numbers the map has no device for are told in one line.
    if (!ok && device.empty()) {
        if (!m_unmappedFrom) m_unmappedFrom = com;
        m_unmappedTo = com;
        m_open = false;
        return;
    }
    m_com = com;
    m_rx.clear();
    m_rxLine.clear();
    m_lastSentInFull = true;
    m_open = ok;
    if (ok) {
        Step("opened " + device + " at " +
             (lineInUse.empty() ? std::to_string(baud) + " " + std::to_string(dataBits) + parity + std::to_string(stopBits)
                                : lineInUse));
        return;
    }
    // What the port said about it, or in a word why.
    std::string why = problem;
    if (why.empty()) {
        switch (refusal) {
        case OpenRefusal::Absent: why = "no such device"; break;
        case OpenRefusal::Busy: why = "busy (another program has it)"; break;
        case OpenRefusal::Denied: why = "permission denied"; break;
        case OpenRefusal::NotSerial: why = "not a serial port, left untouched"; break;
        case OpenRefusal::Unusable: why = "could not be set up, closed again"; break;
        case OpenRefusal::None: break;
        }
    }
    Step(device + " could not be opened" + (why.empty() ? std::string() : ": " + why));
}

void Trace::FlushUnmapped() {
    if (!m_unmappedFrom) return;
    const unsigned from = m_unmappedFrom;
    m_unmappedFrom = 0;
    Write(Stamp() + "  COM" + std::to_string(from) +
          (m_unmappedTo > from ? " to COM" + std::to_string(m_unmappedTo) : std::string()) +
          ": no device in the port map\n");
}

void Trace::Sent(const std::uint8_t* p, std::size_t n) {
    // What came since the last write answers it.
    const bool block = !m_bootloader && n == kBlockFrameSize && IsRequestFrame(p, n) && Code(p) == kBlockCode;
    if (m_level >= 2 && !m_lastSentInFull) {
        std::uint8_t status = 0;
        if (EndsWithAck(m_rx, status) && status == 0 && block) {
            ++m_run.acked;
            m_run.stray += m_rx.size() - kAckSize;
            m_rx.clear();
        } else {
            if (EndsWithAck(m_rx, status) && status == 0) ++m_run.acked;
            else if (EndsWithAck(m_rx, status)) m_nextBlockInFull = true;  // asked for again
            CloseRun();
        }
    }
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
    if (block && m_level == 2) {
        const long long number = p[10] | (p[11] << 8);
        const bool inFull = m_blocksInStream < kBlocksShownFirst || (p[12] & kMarkerLast) || m_nextBlockInFull;
        ++m_blocksInStream;
        m_nextBlockInFull = false;
        if (!inFull) {
            if (!m_run.open) {
                m_run = BlockRun{};
                m_run.open = true;
                m_run.first = number;
                m_run.frameSize = n;
            }
            m_run.last = number;
            ++m_run.frames;
            m_lastSentInFull = false;
            return;
        }
        CloseRun();
    }
    Dump("TX", p, n);
    m_lastSentInFull = true;
}

void Trace::Received(std::uint8_t b) {
    m_rx.push_back(b);
    if (m_bootloader) return;
    // Text lines (banners, "cnd 12") are steps of their own.
    if (b == '\r' || b == '\n') {
        DescribeReceivedText();
    } else if (Printable(b) || b == '\t') {
        if (m_rxLine.size() < 200) m_rxLine += char(b);
    } else {
        m_rxLine.clear();
    }
}

void Trace::DescribeReceivedText() {
    if (m_rxLine.size() >= 2 && m_level >= 1) {
        FlushReceived();
        Step("received " + Quoted(reinterpret_cast<const std::uint8_t*>(m_rxLine.data()), m_rxLine.size()));
    }
    m_rxLine.clear();
}

void Trace::BurstEnd() {
    // Bytes that answer a summarised block wait for the next write.
    if (m_lastSentInFull) FlushReceived();
}

void Trace::FlushReceived() {
    if (m_rx.empty()) return;
    if (m_level >= 2 && !m_lastSentInFull) {
        // The answer to a summarised block: counted when it is one.
        std::uint8_t status = 0;
        if (EndsWithAck(m_rx, status) && status == 0) {
            ++m_run.acked;
            m_run.stray += m_rx.size() - kAckSize;
            m_rx.clear();
            return;
        }
        CloseRun();
    }
    if (m_level >= 2) Dump("RX", m_rx.data(), m_rx.size());
    m_rx.clear();
    m_lastSentInFull = true;
}

void Trace::CloseRun() {
    if (!m_run.open) return;
    m_run.open = false;
    std::string text = "blocks " + std::to_string(m_run.first) + ".." + std::to_string(m_run.last) +
                       ": " + std::to_string(m_run.frameSize) + " bytes each, ";
    if (m_run.acked >= m_run.frames)
        text += "all acknowledged";
    else
        text += std::to_string(m_run.acked) + " of " + std::to_string(m_run.frames) + " acknowledged";
    if (m_run.stray) text += ", " + std::to_string(m_run.stray) + " other bytes received between them";
    Step(text);
    m_lastSentInFull = true;
}

void Trace::Closed() {
    FlushReceived();
    CloseRun();
    if (m_open) Step("closed");
    m_open = false;
}

void Trace::Lost() {
    FlushReceived();
    CloseRun();
    Step("the device went away");
}

void Trace::DescribeSent(const std::uint8_t* p, std::size_t n) {
    if (IsRequestFrame(p, n)) {
        const std::uint16_t code = Code(p);
        if (code == kSearchCode && n == 10) {
            m_searchGroup = p[1];
            Step(std::string("search frame for the ") + DeviceKindOfGroup(p[1]).description);
        } else if (code != kBlockCode) {
            char t[64];
            std::snprintf(t, sizeof t, "frame with code 0x%04x, %zu bytes", code, n);
            Step(t);
        }
    } else if (n == 1 && p[0] == 0x7F) {
        Step("bootloader sync (0x7f)");
    } else if (IsText(p, n)) {
        Step("sent " + TextLabel(p, n) + Quoted(p, n));
    } else {
        Step("sent " + std::to_string(n) + " bytes");
    }
}

// The STM32 bootloader's side of the exchange: sync, commands (the byte
// and its complement), addresses (four bytes and their XOR), data packets
// (count - 1, the bytes, their XOR). Writes or reads of consecutive
// addresses are summarised in one line.
void Trace::BootloaderSent(const std::uint8_t* p, std::size_t n) {
    if (n == 1 && p[0] == 0x7F) {
        Step("bootloader sync (0x7f)");
        return;
    }
    if (n == 2 && p[1] == static_cast<std::uint8_t>(~p[0])) {
        if (m_bootCommand == 0x43) {
            Step(p[0] == 0xFF ? "bootloader: erase all pages" : "bootloader: erase " + std::to_string(p[0] + 1) + " pages");
            m_bootCommand = 0;
            return;
        }
        if (m_bootCommand == 0x11 && m_bootAddressed) {
            // The count of a Read Memory.
            if (m_bootPieces == 0 || m_bootRunCommand != 0x11 || m_bootAddress != m_bootLast + 1) {
                CloseBootloaderRun();
                m_bootRunCommand = 0x11;
                m_bootFirst = m_bootAddress;
            }
            ++m_bootPieces;
            m_bootLast = m_bootAddress + p[0];
            m_bootCommand = 0;
            return;
        }
        m_bootCommand = p[0];
        m_bootAddressed = false;
        if (p[0] == 0x31 || p[0] == 0x11) return;  // summarised with their pieces
        CloseBootloaderRun();
        Step(std::string("bootloader: ") + BootCommandName(p[0]) + " (" + Hex8(p[0]) + ")");
        return;
    }
    if (n == 5 && (p[0] ^ p[1] ^ p[2] ^ p[3]) == p[4]) {
        m_bootAddress = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                        (std::uint32_t(p[2]) << 8) | p[3];
        m_bootAddressed = true;
        return;
    }
    if (n >= 3 && n == std::size_t(p[0]) + 3 && m_bootCommand == 0x31 && m_bootAddressed) {
        if (m_bootPieces == 0 || m_bootRunCommand != 0x31 || m_bootAddress != m_bootLast + 1) {
            CloseBootloaderRun();
            m_bootRunCommand = 0x31;
            m_bootFirst = m_bootAddress;
        }
        ++m_bootPieces;
        m_bootLast = m_bootAddress + p[0];
        m_bootAddressed = false;
        return;
    }
    Step("bootloader: " + std::to_string(n) + " bytes");
}

void Trace::CloseBootloaderRun() {
    if (m_bootPieces == 0) return;
    Step(std::string("bootloader: ") + BootCommandName(m_bootRunCommand) + " " + Hex32(m_bootFirst) +
         ".." + Hex32(m_bootLast) + ", " + std::to_string(m_bootPieces) +
         (m_bootPieces == 1 ? " piece" : " pieces"));
    m_bootPieces = 0;
}

// ---- the flows ------------------------------------------------------------------------

void Trace::Event(const FlowEventInfo& e) {
    switch (e.event) {
    case FlowEvent::SearchFound:
        FlushReceived();
        Line(std::string("found the ") + DeviceKindOfGroup(m_searchGroup).description + " on COM" +
             std::to_string(e.a));
        break;
    case FlowEvent::SearchFailed:
        FlushReceived();
        Line(e.a ? "no instrument of the kind answered" : "no port could be opened");
        break;
    case FlowEvent::BlockSent:
        if (e.text == "resend") {
            Step("block " + std::to_string(e.a) + " sent again");
        } else if (!m_streaming) {
            m_streaming = true;
            Step("block stream starts with block " + std::to_string(e.a));
        }
        m_lastBlock = e.a;
        break;
    case FlowEvent::BlockAcked:
        if (e.a != 0) {
            Step("the instrument asks for block " + std::to_string(m_lastBlock) + " again (status " +
                 std::to_string(e.a) + ")");
        } else if (m_finished) {
            FlushReceived();
            Step("last block " + std::to_string(m_lastBlock) + " acknowledged: the stream is complete");
            m_finished = false;
        }
        break;
    case FlowEvent::StreamFinished:
        Step("last block " + std::to_string(m_lastBlock) + " sent");
        m_streaming = false;
        m_finished = true;
        break;
    case FlowEvent::EraseWaitStarted:
        FlushReceived();
        Step("waiting for the erase (until a line \"cnd 12\" comes)");
        break;
    case FlowEvent::EraseWaitEnded:
        Step(e.a ? "erase done" : "erase wait given up");
        break;
    case FlowEvent::BootloaderStarted:
        FlushReceived();
        m_bootloader = true;
        Step("bootloader exchange starts");
        break;
    case FlowEvent::BootloaderDone:
        FlushReceived();
        CloseBootloaderRun();
        m_bootloader = false;
        Step(e.a == 1 ? "bootloader: every piece acknowledged" : "bootloader: failed: " + e.text);
        break;
    case FlowEvent::InputBoardChunk:
        Step("input board: chunk of " + std::to_string(e.b) + " bytes for " +
             Hex32(static_cast<std::uint32_t>(e.a)));
        break;
    case FlowEvent::InputBoardDone: Step("input board: last chunk sent"); break;
    case FlowEvent::ExternalToolStarted:
        Line(e.a ? "outside tool started" : "the outside tool could not be started");
        break;
    default: break;
    }
}

void Trace::Note(const std::string& text) {
    FlushReceived();
    Line(text);
}

void Trace::Finish() {
    FlushUnmapped();
    FlushReceived();
    CloseRun();
    CloseBootloaderRun();
    Flush();
}

void Trace::Flush() {
    if (m_buffer.empty()) return;
    if (beforeWrite) beforeWrite();
    WriteOut(m_out, m_buffer);
    m_buffer.clear();
    m_lastWriteMs = m_now ? m_now() : 0;
}

} // namespace quillet::cli
