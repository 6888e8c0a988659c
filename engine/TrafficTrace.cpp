#include "engine/TrafficTrace.h"

#include "discovery/DeviceKinds.h"

namespace quillet {

namespace {

constexpr std::size_t kWriteAtBytes = 65536;  // held text written out at this size
constexpr std::uint64_t kWriteEveryMs = 100;  // or this long after the last write
constexpr std::uint64_t kMsPerSecond = 1000;

std::string Hex32(std::uint32_t v) {
    char t[16];
    std::snprintf(t, sizeof t, "0x%08x", v);
    return t;
}

} // namespace

// A stream that failed once (a full disk, a reader gone) is written no
// more: the trace never stops a flow, and its owner notes the failure.
void TrafficTrace::WriteBuffer() {
    if (std::ferror(m_out)) return;
    std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_out);
    std::fflush(m_out);
}

TrafficTrace::TrafficTrace(std::FILE* out, int level, std::function<std::uint64_t()> nowMs)
    : m_out(out), m_now(std::move(nowMs)),
      m_decoder(*this, level, [](std::uint8_t group) { return std::string(DeviceKindOfGroup(group).description); }) {}

TrafficTrace::~TrafficTrace() { Finish(); }

std::string TrafficTrace::Stamp() const {
    const std::uint64_t t = m_now ? m_now() : 0;
    char s[32];
    std::snprintf(s, sizeof s, "%5llu.%03llu", static_cast<unsigned long long>(t / kMsPerSecond),
                  static_cast<unsigned long long>(t % kMsPerSecond));
    return s;
}

std::string TrafficTrace::Com() const { return m_com ? "COM" + std::to_string(m_com) + "  " : std::string(); }

void TrafficTrace::Write(const std::string& text) {
    m_buffer += text;
    const std::uint64_t now = m_now ? m_now() : 0;
    if (m_buffer.size() >= kWriteAtBytes || now >= m_lastWriteMs + kWriteEveryMs) {
        if (beforeWrite) beforeWrite();
        WriteBuffer();
        m_buffer.clear();
        m_lastWriteMs = now;
    }
}

void TrafficTrace::Line(const std::string& text) {
    FlushUnmapped();
    Write(Stamp() + "  " + text + "\n");
}

void TrafficTrace::Dump(const char* dir, const std::uint8_t* p, std::size_t n) {
    const std::string head = Stamp() + "  " + Com();
    Write(head + HexLines(dir, p, n, head.size()));
}

// ---- the link ----------------------------------------------------------------------

void TrafficTrace::Opened(unsigned com, const std::string& device, unsigned baud, unsigned dataBits,
                          char parity, unsigned stopBits, bool ok, OpenRefusal refusal,
                          const std::string& problem, const std::string& lineInUse) {
    m_decoder.FlushReceived();
    m_decoder.CloseRun();
    // COM numbers the map has no device for are told in one line.
    if (!ok && device.empty()) {
        if (!m_unmappedFrom) m_unmappedFrom = com;
        m_unmappedTo = com;
        m_open = false;
        return;
    }
    m_com = com;
    m_decoder.NewConnection();
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

void TrafficTrace::FlushUnmapped() {
    if (!m_unmappedFrom) return;
    const unsigned from = m_unmappedFrom;
    m_unmappedFrom = 0;
    Write(Stamp() + "  COM" + std::to_string(from) +
          (m_unmappedTo > from ? " to COM" + std::to_string(m_unmappedTo) : std::string()) +
          ": no device in the port map\n");
}

void TrafficTrace::Closed() {
    m_decoder.FlushReceived();
    m_decoder.CloseRun();
    if (m_open) Step("closed");
    m_open = false;
}

void TrafficTrace::Lost() {
    m_decoder.FlushReceived();
    m_decoder.CloseRun();
    Step("the device went away");
}

// ---- the flows ------------------------------------------------------------------------

void TrafficTrace::BlockEvent(const FlowEventInfo& e) {
    switch (e.event) {
    case FlowEvent::BlockSent:
        if (e.text == "resend") {
            Step("block " + std::to_string(e.a) + " sent again");
        } else if (!m_decoder.Streaming()) {
            m_decoder.SetStreaming(true);
            Step("block stream starts with block " + std::to_string(e.a));
        }
        m_lastBlock = e.a;
        break;
    case FlowEvent::BlockAcked:
        if (e.a != 0) {
            Step("the instrument asks for block " + std::to_string(m_lastBlock) + " again (status " +
                 std::to_string(e.a) + ")");
        } else if (m_finished) {
            m_decoder.FlushReceived();
            Step("last block " + std::to_string(m_lastBlock) + " acknowledged: the stream is complete");
            m_finished = false;
        }
        break;
    case FlowEvent::StreamFinished:
        Step("last block " + std::to_string(m_lastBlock) + " sent");
        m_decoder.SetStreaming(false);
        m_finished = true;
        break;
    default: break;
    }
}

void TrafficTrace::BootloaderEvent(const FlowEventInfo& e) {
    m_decoder.FlushReceived();
    if (e.event == FlowEvent::BootloaderStarted) {
        m_decoder.SetBootloader(true);
        Step("bootloader exchange starts");
        return;
    }
    m_decoder.CloseBootloaderRun();
    m_decoder.SetBootloader(false);
    Step(e.a == 1 ? "bootloader: every piece acknowledged" : "bootloader: failed: " + e.text);
}

void TrafficTrace::Event(const FlowEventInfo& e) {
    switch (e.event) {
    case FlowEvent::SearchFound:
        m_decoder.FlushReceived();
        Line(std::string("found the ") + DeviceKindOfGroup(m_decoder.SearchGroup()).description + " on COM" +
             std::to_string(e.a));
        break;
    case FlowEvent::SearchFailed:
        m_decoder.FlushReceived();
        Line(e.a ? "no instrument of the kind answered" : "no port could be opened");
        break;
    case FlowEvent::BlockSent:
    case FlowEvent::BlockAcked:
    case FlowEvent::StreamFinished: BlockEvent(e); break;
    case FlowEvent::EraseWaitStarted:
        m_decoder.FlushReceived();
        Step("waiting for the erase (until a line \"cnd 12\" comes)");
        break;
    case FlowEvent::EraseWaitEnded: Step(e.a ? "erase done" : "erase wait given up"); break;
    case FlowEvent::BootloaderStarted:
    case FlowEvent::BootloaderDone: BootloaderEvent(e); break;
    case FlowEvent::InputBoardChunk:
        Step("input board: chunk of " + std::to_string(e.b) + " bytes for " + Hex32(static_cast<std::uint32_t>(e.a)));
        break;
    case FlowEvent::InputBoardDone: Step("input board: last chunk sent"); break;
    case FlowEvent::ExternalToolStarted:
        Line(e.a ? "outside tool started" : "the outside tool could not be started");
        break;
    default: break;
    }
}

void TrafficTrace::Note(const std::string& text) {
    m_decoder.FlushReceived();
    Line(text);
}

void TrafficTrace::Finish() {
    FlushUnmapped();
    m_decoder.FlushReceived();
    m_decoder.CloseRun();
    m_decoder.CloseBootloaderRun();
    Flush();
}

void TrafficTrace::Flush() {
    if (m_buffer.empty()) return;
    if (beforeWrite) beforeWrite();
    WriteBuffer();
    m_buffer.clear();
    m_lastWriteMs = m_now ? m_now() : 0;
}

} // namespace quillet
