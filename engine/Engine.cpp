#include "engine/Engine.h"

#include <cstdlib>

#include "discovery/DeviceKinds.h"
#include "firmware/ExternalTool.h"
#include "pattern/Images.h"
#include "protocol/Frame.h"

namespace quillet {
namespace {

// Timer 4 after the analyzer data's first block.
constexpr unsigned kAnalyzerDataTimerMs = 7000;
constexpr const char* kLastAckMissing = "time-out: the last block had gone out, its acknowledgement had not come";

} // namespace

Engine::Engine(IHost& host, ISerialPort* port, std::unique_ptr<ISerialPort> own, const TimerIds& timers,
               EngineView& view)
    : m_host(host), m_view(view), m_timers(timers), m_link(port, std::move(own)) {
    m_link.SetReplySink([this](std::size_t entry, const std::uint8_t* frame) { OnReply(entry, frame); });
}

// The erase wait, the search, the stream, the input board and the
// bootloader take the line in this order; the boot-mode entry's snapshot is
// empty when none is waiting.
FlowSnapshot Engine::Running() const {
    if (m_search.Running())
        return SearchFlow::Snapshot(DeviceKindOfGroup(m_link.Device().group).description, m_link.Com());
    if (m_erase.Waiting()) return EraseWaitFlow::Snapshot(m_streamData.slot);
    // A stream runs until its last block is acknowledged, or it ended.
    if (m_stream.Running()) return m_stream.Snapshot();
    if (m_board.Active()) return m_board.Snapshot(m_entryData.board);
    if (m_boot.Running()) return m_boot.Snapshot();
    return m_entry.Snapshot();
}

bool Engine::StartSearch(std::uint8_t group) {
    m_link.Device() = {group, 0x00};
    m_link.Close();
    // Only the signal generator's search goes back to no parity; the others
    // keep what the main-MCU bootloader may have set.
    if (group == kGroupGenerator) m_link.Line().parity = 'N';
    if (m_search.Start()) return true;
    // Not one port opened: the port number starts again at COM1.
    SearchNotFound(0);
    return false;
}

void Engine::StorePattern(int slot, SharedBytes raster) {
    m_streamData.size = static_cast<std::uint32_t>(kRasterBytes);
    m_streamData.buffer.clear();
    m_streamData.shared = std::move(raster);
    // Until the first block goes out, a stray acknowledgement of an earlier
    // stream has nothing to carry on or send again.
    m_stream.Prepare(slot);
    m_erase.Begin(slot);
}

std::optional<BlockStreamFlow::Sent> Engine::StorePanel(int slot, const std::uint8_t* panel) {
    m_streamData.buffer.assign(panel, panel + kPanelBytes);
    m_streamData.shared.reset();
    m_streamData.size = static_cast<std::uint32_t>(kPanelBytes);
    // A pending "cnd 12" wait ends here.
    m_erase.Stop();
    const std::uint32_t first = kPanelBlocksPerSlot * static_cast<std::uint32_t>(slot) + kPanelBlockBase;
    m_streamData.slot = slot;
    return BeginStream({kStreamPanel, first, kMarkerPanelFirst, BlockStreamFlow::FirstFrame::HandBuilt}, true);
}

void Engine::HoldStream(SharedBytes bytes) {
    m_streamData.size = bytes ? static_cast<std::uint32_t>(bytes->size()) : 0;
    m_streamData.buffer.clear();
    m_streamData.shared = std::move(bytes);
}

std::optional<BlockStreamFlow::Sent> Engine::WriteStream(int kind, SharedBytes bytes) {
    HoldStream(std::move(bytes));
    return BeginStream({kind, 0, kMarkerNone, BlockStreamFlow::FirstFrame::Command}, true);
}

std::optional<BlockStreamFlow::Sent> Engine::WriteAnalyzerData(SharedBytes bytes) {
    HoldStream(std::move(bytes));
    // A file of at most 256 bytes is all in the first block, marked last
    // (a shorter one padded with zero bytes); no timer 5 follows it here.
    auto sent = BeginStream({kStreamPanel, 0, kMarkerNone, BlockStreamFlow::FirstFrame::HandBuilt}, false);
    m_wire.StartTimer(FlowTimer::SearchScan, kAnalyzerDataTimerMs);
    return sent;
}

void Engine::UpdateInputBoard(int board, SharedBytes bytes) {
    HoldStream(std::move(bytes));
    m_entry.EnterInputBoard(board);
}

void Engine::UpdateMainMcu(SharedBytes image) {
    // The bootloader exchange has time-outs of its own (timers 10 and 11).
    DisarmTimeout();
    // The monitor thread closes the device; the port display stays as it is.
    m_link.Port().RequestClose();
    HoldStream(std::move(image));
    m_bootReopen = true;
    m_entry.HandedOver();
    m_boot.Begin();
}

std::optional<BlockStreamFlow::Sent> Engine::BeginStream(const BlockStreamFlow::Start& start, bool closeAfterFirst) {
    const std::optional<BlockStreamFlow::Sent> sent = m_stream.Begin(start);
    if (sent && sent->Last() && closeAfterFirst) ArmClose();
    return sent;
}

void Engine::ArmClose() {
    m_wire.StartTimer(FlowTimer::Close, kCloseDelayMs);
    m_streamData.closeArmed = 1;
}

std::string Engine::PortName(unsigned port) const {
    const std::string com = "COM" + std::to_string(port);
    const std::string device = m_link.Port().DeviceName(port);
    if (device.empty() || device == com || device == "\\\\.\\" + com) return com;
    return com + " (" + device + ")";
}

void Engine::SendCommand(std::uint16_t code, const std::uint8_t* payload, int count) {
    const InstrumentLink::Command sent = m_link.SendCommand(code, payload, count);
    if (sent == InstrumentLink::Command::TooLong || sent == InstrumentLink::Command::NotReady)
        m_view.CommandRefused(sent);
}

void Engine::OnByte(std::uint8_t b) {
    if (m_erase.Waiting()) {
        if (m_erase.OnByte(b)) EraseConfirmed();
    } else if (m_search.Running()) {
        m_search.OnByte(b);
    } else if (m_board.Active()) {
        m_board.OnByte(b);
    } else if (m_boot.Active()) {
        BootStep(m_boot.OnByte(b));
    } else {
        ParseReplyByte(b);
    }
}

void Engine::ParseReplyByte(std::uint8_t b) {
    if (m_link.TakeReplyByte(b) || !m_entry.Waiting()) return;
    const BootEntryFlow::Banner banner = m_entry.OnByte(b);
    if (banner == BootEntryFlow::Banner::None) return;
    // The board's banner hands over to its loader, which takes the bytes
    // from here on.
    if (banner == BootEntryFlow::Banner::InputBoard) {
        m_board.Begin();
        m_entry.Reset();
    }
    // A sub-MCU in boot mode goes to the outside tool.
    if (banner == BootEntryFlow::Banner::IspMode && m_entryData.subMcuEntry == 1) {
        HandOverToSubMcuTool();
        return;
    }
    m_view.BannerHeard(banner);
}

void Engine::HandOverToSubMcuTool() {
    DisarmTimeout();
    const char* pathVar = std::getenv("PATH");
    const ToolLaunch tool = ResolveSubMcuTool(m_host.CurrentDirectory(), pathVar ? pathVar : "");
    bool started = false;
    std::string problem = tool.problem;
    if (!tool.commandLine.empty()) {
        started = m_host.StartProgram(tool.commandLine, SW_SHOW);
        if (!started) problem = "The sub-MCU tool (" + tool.commandLine + ") could not be started.";
    }
    const bool told = !started && m_view.ToolNotStarted(problem);
    Tell(FlowEvent::ExternalToolStarted, started ? 1 : 0, 0, started ? tool.commandLine : problem);
    if (started)
        TellDone(FlowKind::SubMcuEntry, "the sub-MCU is in boot mode; the port is given up to the outside tool");
    else
        TellOutcome(OutcomeKind::Failed, FlowKind::SubMcuEntry, "the outside sub-MCU tool could not be started",
                    AdviceOf(FlowKind::SubMcuEntry), told);
    m_entryData.Reset();
    m_link.Close();
    m_view.PortClosed();
}

// The reply table's one entry with a consumer: the block acknowledgement.
// Every other known code is taken and dropped.
void Engine::OnReply(std::size_t entry, const std::uint8_t* frame) {
    if (entry != kBlockAckEntry) return;
    // Reply frame: AB, device address, length, console address, FF FF, then
    // the payload 78 78 status and the checksum. A frame too short for that
    // payload would leave the status to its checksum or to an earlier frame.
    if (FrameLength(frame) < 8) return;
    if (frame[9] != 0x78 || frame[10] != 0x78) return;
    const BlockStreamFlow::AckStep step = m_stream.OnAck(frame[11]);
    // The port stays open for a second after the last write, also when the
    // instrument asked for the last block again.
    const bool resentLast = step.step == BlockStreamFlow::Step::Resent && m_streamData.closeArmed && m_link.Ready();
    if (step.sent.Last() && (step.step == BlockStreamFlow::Step::Next || resentLast)) ArmClose();
    m_view.BlockAcked(step);
    if (step.step == BlockStreamFlow::Step::Completed)
        TellDone(m_stream.Snapshot().kind, m_stream.DoneText());
}

void Engine::OnWriteDone() {
    const InputBoardFlow::Step step = m_board.OnWriteDone();
    if (step == InputBoardFlow::Step::Finished) m_wire.StartTimer(FlowTimer::Close, kCloseDelayMs);
    m_view.BoardStepped(step);
    if (step != InputBoardFlow::Step::Finished) return;
    Tell(FlowEvent::InputBoardDone);
    TellDone(FlowKind::BoardLoader, "the update of input board " + std::to_string(m_entryData.board) + ": " +
                                        WithThousands(m_streamData.size) + " bytes sent");
}

bool Engine::OnTimer(unsigned id) {
    for (unsigned i = 0; i < kFlowTimerCount; ++i) {
        if (m_timers[i] != id) continue;
        OnFlowTimer(static_cast<FlowTimer>(i));
        return true;
    }
    return false;
}

void Engine::OnFlowTimer(FlowTimer timer) {
    switch (timer) {
    case FlowTimer::SearchScan: SearchTick(); return;
    case FlowTimer::EraseTick: EraseTick(); return;
    case FlowTimer::Timeout: TimeoutTick(); return;
    case FlowTimer::Close: CloseTick(); return;
    case FlowTimer::BootSync:
    case FlowTimer::BootSend:
    case FlowTimer::BootAnswer:
    case FlowTimer::BootSilence: BootTick(timer); return;
    }
}

void Engine::BootTick(FlowTimer timer) {
    // The port was closed for the exchange: the first sync tick reopens it
    // at even parity. Testing the parity alone would leave the port closed
    // when an earlier update had already set 'E', and the sync bytes would
    // go nowhere for good. A failed reopen is not tried again.
    if (timer == FlowTimer::BootSync && !m_boot.Active() && (m_link.Line().parity == 'N' || m_bootReopen)) {
        m_bootReopen = false;
        m_link.Line().parity = 'E';
        m_link.Open(m_link.Com(), 'E');
        return;
    }
    BootStep(m_boot.OnTimer(timer));
}

void Engine::SearchTick() {
    const SearchFlow::Tick tick = m_search.OnTick();
    if (tick == SearchFlow::Tick::NotFound) {
        SearchNotFound(1);
        return;
    }
    m_view.SearchTicked(tick);
    if (tick != SearchFlow::Tick::Found) return;
    const unsigned com = m_link.Com();
    Tell(FlowEvent::SearchFound, com);
    TellDone(FlowKind::Search,
             std::string("found the ") + DeviceKindOfGroup(m_link.Device().group).description + " on " + PortName(com));
}

void Engine::SearchNotFound(int portsOpened) {
    m_view.SearchNotFound();
    Tell(FlowEvent::SearchFailed, portsOpened);
    // The view's boxes have told the operator; the hints are the advice.
    TellOutcome(OutcomeKind::Failed, FlowKind::Search, SearchFlow::NotFoundText(), m_search.Hints(), true);
}

void Engine::BootStep(McuBootloaderFlow::Step step) {
    // The exchange has ended and gives the port up (timer 10's close).
    if (step == McuBootloaderFlow::Step::Failed || step == McuBootloaderFlow::Step::Closed) {
        m_link.Close();
        m_view.PortClosed();
    }
    m_view.BootStepped(step);
    if (step == McuBootloaderFlow::Step::Failed) {
        BootFailed();
        return;
    }
    if (step != McuBootloaderFlow::Step::Done && step != McuBootloaderFlow::Step::Verified) return;
    Tell(FlowEvent::BootloaderDone, 1);
    TellDone(FlowKind::McuBootloader, "the main-MCU update: every piece acknowledged");
}

void Engine::BootFailed() {
    const FlowSnapshot was = m_boot.Snapshot();
    m_boot.VerdictTold();
    const bool timedOut = m_boot.TimedOut();
    const OutcomeKind kind = timedOut ? OutcomeKind::TimedOut : OutcomeKind::Failed;
    const FlowEnd end{kind, was, m_boot.Failure(), AdviceOf(FlowKind::McuBootloader)};
    const bool told = m_view.FlowEnded(end);
    Tell(FlowEvent::BootloaderDone, timedOut ? 2 : 0, m_boot.FailureAddress(), end.message);
    TellOutcome(kind, FlowKind::McuBootloader, end.message, end.advice, told);
}

void Engine::EraseConfirmed() {
    m_view.EraseConfirmed();
    const auto sent = BeginStream({kStreamPattern, 0, kMarkerNone, BlockStreamFlow::FirstFrame::HandBuilt}, true);
    if (sent) m_view.FirstBlockSent(*sent);
}

void Engine::EraseTick() {
    const EraseWaitFlow::Tick tick = m_erase.OnTick();
    if (tick == EraseWaitFlow::Tick::TimedOut) {
        // The instrument never confirmed the erase: the upload ends here,
        // before any block went out.
        EndFlow(OutcomeKind::TimedOut, EraseWaitFlow::TimeoutText());
        return;
    }
    m_view.EraseTicked(tick);
}

// The port closes a second after the last block; an acknowledgement of it
// that has not come by then will not.
void Engine::CloseTick() {
    if (Running().Running() && m_streamData.sentAny && !m_stream.Complete()) {
        EndFlow(OutcomeKind::TimedOut, kLastAckMissing);
    } else {
        m_link.Close();
        m_view.PortClosed();
    }
    m_host.Sleep(kCloseSettleMs);
    m_wire.StopTimer(FlowTimer::Close);
}

void Engine::Stop() {
    DisarmTimeout();
    m_search.Stop();
    m_erase.Stop();
    m_stream.Stop();
    m_wire.StopTimer(FlowTimer::Close);
}

void Engine::EndExchanges() {
    if (m_boot.Active())
        Tell(FlowEvent::BootloaderDone, 0, 0, "The bootloader exchange was ended before it finished.");
    // A failed exchange whose port close (timer 10) is overtaken still
    // tells the operator.
    else if (m_boot.VerdictPending())
        BootFailed();
    m_boot.Reset();
    m_board.Reset();
    m_entryData.Reset();
    DisarmTimeout();
}

void Engine::StopAll(bool tellStopped) {
    const FlowSnapshot was = Running();
    Stop();
    EndExchanges();
    if (was.Running() && tellStopped) Tell(FlowEvent::FlowStopped, static_cast<long long>(was.kind), 0, was.what);
}

void Engine::StopFlow(bool closing) {
    const FlowSnapshot was = Running();
    StopAll(true);
    const FlowEnd end{OutcomeKind::Stopped, was, was.what + " stopped " + was.progress, AdviceOf(was.kind), closing};
    const bool told = m_view.FlowEnded(end);
    if (was.Running()) TellOutcome(OutcomeKind::Stopped, was.kind, end.message, end.advice, told);
}

void Engine::EndFlow(OutcomeKind kind, const std::string& message) {
    const FlowSnapshot was = Running();
    StopAll(false);
    const FlowEnd end{kind, was, message, AdviceOf(was.kind)};
    const bool told = m_view.FlowEnded(end);
    TellOutcome(kind, was.kind, end.message, end.advice, told);
}

void Engine::PortLost(unsigned port) {
    if (port != m_link.Com()) return;
    const FlowSnapshot was = Running();
    m_view.PortWentAway();
    // A port that goes away under the search is passed by like any other.
    if (was.kind == FlowKind::Search) {
        Tell(FlowEvent::PortLost, port);
        return;
    }
    const FlowEnd end{OutcomeKind::DeviceGone, was, LostText(PortName(port), was), AdviceOf(was.kind)};
    StopAll(false);
    m_view.FlowEnded(end);
    Tell(FlowEvent::PortLost, port, 0, end.message);
    // The view has told which port went away and what to do.
    if (was.Running()) TellOutcome(OutcomeKind::DeviceGone, was.kind, end.message, end.advice, true);
}

// ---- what the flows tell ---------------------------------------------------------------

void Engine::Tell(FlowEvent e, long long a, long long b, std::string text) const {
    if (m_events) m_events(FlowEventInfo{e, a, b, std::move(text), {}});
    m_view.EventTold();
}

void Engine::TellOutcome(OutcomeKind kind, FlowKind flow, std::string message, std::string advice,
                         bool told) const {
    if (!m_events) return;
    FlowEventInfo e{FlowEvent::FlowEnded, static_cast<long long>(kind), static_cast<long long>(flow),
                    std::move(message), std::move(advice)};
    e.told = told;
    m_events(e);
    m_view.EventTold();
}

void Engine::TellDone(FlowKind flow, const std::string& message) {
    DisarmTimeout();
    TellOutcome(OutcomeKind::Done, flow, message);
}

std::string Engine::AdviceOf(FlowKind flow) const {
    const bool analyzer = m_link.Device().group == kGroupAnalyzer;
    return FlowAdvice(flow, m_adviceWords ? m_adviceWords(analyzer) : DialogAdviceTerms(analyzer));
}

// ---- the time-out -----------------------------------------------------------------

void Engine::ArmTimeout() { m_wire.StartTimer(FlowTimer::Timeout, m_timeoutMs); }

void Engine::DisarmTimeout() { m_wire.StopTimer(FlowTimer::Timeout); }

// The search, the erase wait and the bootloader have limits of their own;
// every other flow that waits for the instrument ends here.
void Engine::TimeoutTick() {
    DisarmTimeout();
    const FlowSnapshot f = Running();
    switch (f.kind) {
    case FlowKind::PatternStream:
    case FlowKind::PanelStream:
    case FlowKind::FpgaStream:
    case FlowKind::AuxFpgaStream:
    case FlowKind::AnalyzerData: EndFlow(OutcomeKind::TimedOut, m_stream.TimeoutText(m_timeoutMs)); return;
    case FlowKind::McuEntry:
    case FlowKind::SubMcuEntry: EndFlow(OutcomeKind::TimedOut, BootEntryFlow::TimeoutText(f.kind, m_timeoutMs)); return;
    case FlowKind::BoardEntry:
    case FlowKind::BoardLoader:
        EndFlow(OutcomeKind::TimedOut, InputBoardFlow::TimeoutText(m_timeoutMs, f.done, m_streamData.size));
        return;
    default: return;
    }
}

// ---- the flows' wire ------------------------------------------------------------------

void Engine::Wire::Send(const std::uint8_t* bytes, std::size_t length) { m_e.m_link.Port().QueueWrite(bytes, length); }

void Engine::Wire::SendToLine(const std::uint8_t* bytes, std::size_t length) {
    m_e.m_link.Port().QueueWriteToLine(bytes, length);
}

void Engine::Wire::SendCommand(std::uint16_t code, const std::uint8_t* payload, int count) {
    m_e.SendCommand(code, payload, count);
}

void Engine::Wire::Pause(unsigned ms) { m_e.m_host.Sleep(ms); }

void Engine::Wire::Answered() { m_e.ArmTimeout(); }

void Engine::Wire::Progress(float percent) { m_e.m_view.FlowProgress(percent); }

void Engine::Wire::Tell(FlowEvent event, long long a, long long b, const std::string& text) {
    m_e.Tell(event, a, b, text);
}

void Engine::Wire::StartTimer(FlowTimer timer, unsigned ms) {
    m_e.m_host.SetTimer(m_e.m_timers[static_cast<unsigned>(timer)], ms);
}

void Engine::Wire::StopTimer(FlowTimer timer) { m_e.m_host.KillTimer(m_e.m_timers[static_cast<unsigned>(timer)]); }

} // namespace quillet
