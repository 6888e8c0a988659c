#include "engine/SearchFlow.h"

#include "protocol/Frame.h"

namespace quillet {
namespace {

constexpr const char* kNoDevice =
    "Can not find available device for this console(from com1 to com99)\r Or COM port is used by "
    "other application!";

} // namespace

void SearchFlow::Begin(FrameAddress device, FrameAddress console, unsigned currentPort) {
    BuildRequestFrame(m_s.frame, device, console, kCodeSearch, nullptr, 0);
    m_s.deviceFound = 0;
    m_s.savedPort = currentPort;
    m_s.deniedProblem.clear();
    m_s.otherProblem.clear();
}

void SearchFlow::Probe() {
    m_link.Send(m_s.frame, sizeof m_s.frame);
    m_s.inProgress = 1;
}

bool SearchFlow::Start() {
    Begin(m_instrument.Device(), m_instrument.Console(), m_instrument.Com());
    if (ProbeFrom(1)) {
        m_link.StartTimer(FlowTimer::SearchScan, kFirstPortWaitMs);
        return true;
    }
    Stop();
    m_instrument.Com() = 1;
    return false;
}

bool SearchFlow::ProbeFrom(unsigned first) {
    unsigned& com = m_instrument.Com();
    for (com = first; com <= kLastPort; ++com) {
        if (!m_instrument.Open(com, m_instrument.Line().parity)) {
            NoteRefusal(m_instrument.Port().LastOpenRefusal(), m_instrument.Port().OpenProblem());
            continue;
        }
        Probe();
        return true;
    }
    return false;
}

SearchFlow::Tick SearchFlow::OnTick() {
    // Other flows of the dialog arm the same timer; their ticks do nothing here.
    if (!Running()) return Tick::Idle;
    if (Found()) {
        Stop();
        return Tick::Found;
    }
    // No reply on this port: on to the next one that opens.
    m_instrument.Port().RequestClose();
    if (ProbeFrom(m_instrument.Com() + 1)) {
        m_link.StartTimer(FlowTimer::SearchScan, kLaterPortWaitMs);
        return Tick::Probing;
    }
    // Ports opened, none answered: back to the port of before the search.
    Stop();
    m_instrument.Com() = m_s.savedPort;
    return Tick::NotFound;
}

void SearchFlow::OnByte(std::uint8_t b) {
    // Every byte after a reply's header moves the next tick to 200 ms later.
    if (MatchReply(b, m_instrument.ReceiveState(), m_instrument.Device(), m_s))
        m_link.StartTimer(FlowTimer::SearchScan, kAfterReplyByteMs);
}

void SearchFlow::Stop() {
    if (!Running()) return;
    m_s.inProgress = 0;
    m_link.StopTimer(FlowTimer::SearchScan);
}

bool SearchFlow::MatchReply(std::uint8_t b, int& rxState, FrameAddress device, SearchState& s) {
    const bool underWay = rxState != kRxIdle;
    if (b == kReplyHeader && rxState == kRxIdle) {
        rxState = 0;
        return underWay;
    }
    // A byte that breaks the match returns to idle and is not looked at
    // again as a header.
    int next = kRxIdle;
    switch (rxState) {
    case 0: next = b == device.group ? 1 : kRxIdle; break;
    case 1: next = b == device.machine ? 2 : kRxIdle; break;
    case 2: next = b == kSearchReplyLength ? 3 : kRxIdle; break;
    case 3: next = b == 0x00 ? 4 : kRxIdle; break;
    case 4: next = 5; break;  // console address, not examined
    case 5: next = 6; break;
    case 6: next = b == CodeLow(kCodeSearch) ? 7 : kRxIdle; break;
    case 7: next = b == CodeHigh(kCodeSearch) ? 8 : kRxIdle; break;
    case 8: next = b == device.group ? 9 : kRxIdle; break;
    case 9:
        if (b == device.machine) s.deviceFound = 1;
        next = kRxIdle;
        break;
    default:  // idle, or a state the frame parser left behind
        next = kRxIdle;
        break;
    }
    rxState = next;
    return underWay;
}

void SearchFlow::NoteRefusal(OpenRefusal why, const std::string& problem) {
    std::string& slot = why == OpenRefusal::Denied ? m_s.deniedProblem : m_s.otherProblem;
    if (slot.empty() && (why == OpenRefusal::Denied || why == OpenRefusal::NotSerial ||
                         why == OpenRefusal::Unusable))
        slot = problem;
}

std::string SearchFlow::Hints() const {
    std::string hints = m_s.deniedProblem;
    if (!m_s.otherProblem.empty()) hints += (hints.empty() ? "" : "\n") + m_s.otherProblem;
    return hints;
}

const char* SearchFlow::NotFoundText() { return kNoDevice; }

FlowSnapshot SearchFlow::Snapshot(const char* kindDescription, unsigned port) {
    FlowSnapshot f;
    f.kind = FlowKind::Search;
    f.stage = kStageSearching;
    f.what = std::string("the search for the ") + kindDescription;
    f.progress = "at COM" + std::to_string(port);
    return f;
}

} // namespace quillet
