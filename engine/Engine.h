// The engine: the link to one instrument and the flows that run over it,
// with no screen. At most one flow runs at a time. A received byte goes to
// the flow that takes bytes now (the reply-frame parser when none does),
// each tick of a timer to the flow that runs it, and a flow that waits for
// an answer longer than its time-out ends timed out. The program that shows
// the flows (the dialog) starts them through the typed calls below and
// follows their steps through its EngineView; it never routes a byte or a
// tick. The flow events, and the Done of every flow the instrument
// confirmed to its last unit, go from here to the front end's event sink.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "discovery/SearchState.h"
#include "engine/BlockStreamFlow.h"
#include "engine/BootEntryFlow.h"
#include "engine/EraseWaitFlow.h"
#include "engine/FlowEvents.h"
#include "engine/FlowLink.h"
#include "engine/FlowTimings.h"
#include "engine/InputBoardFlow.h"
#include "engine/InstrumentLink.h"
#include "engine/McuBootloaderFlow.h"
#include "engine/Outcome.h"
#include "engine/SearchFlow.h"
#include "firmware/FirmwareState.h"
#include "pattern/SharedFiles.h"
#include "pattern/StreamState.h"
#include "platform/Host.h"

namespace quillet {

namespace test {
class DialogProbe;
}

// A flow that did not end well, as the view shows it.
struct FlowEnd {
    OutcomeKind kind = OutcomeKind::Failed;
    FlowSnapshot was;     // the flow as it was when it ended (kind None: none ran)
    std::string message;  // what happened and how far it came
    std::string advice;   // what the instrument holds now and what to do next
    // The program is closing: the screen's texts follow, no box.
    bool closing = false;
};

// What the engine tells the program that shows its flows.
class EngineView {
public:
    virtual ~EngineView() = default;
    // A command frame did not go out (TooLong or NotReady): the operator is told.
    virtual void CommandRefused(InstrumentLink::Command why) = 0;
    // How far the flow came, as the percentage field shows it.
    virtual void FlowProgress(float percent) = 0;
    // A flow event has gone to the engine's event sink (Engine::Tell).
    virtual void EventTold() = 0;
    // The instrument acknowledged a block of the stream (or asked for it
    // again); the stream has gone on by `step`. After Completed the engine
    // tells the stream's Done.
    virtual void BlockAcked(const BlockStreamFlow::AckStep& step) = 0;
    // The steps of the flows the screen follows.
    virtual void EraseTicked(EraseWaitFlow::Tick tick) = 0;
    // The instrument confirmed the slot's erase; the pattern's first block
    // goes out next (FirstBlockSent).
    virtual void EraseConfirmed() = 0;
    // The first block of the pattern has gone out after the erase.
    virtual void FirstBlockSent(const BlockStreamFlow::Sent& sent) = 0;
    // A tick of the search; after Found the engine tells SearchFound and
    // the search's Done.
    virtual void SearchTicked(SearchFlow::Tick tick) = 0;
    virtual void BootStepped(McuBootloaderFlow::Step step) = 0;
    // A boot-mode banner was heard; after the input board's the board's
    // loader has taken over already. A sub-MCU's banner is not passed on:
    // the engine hands the sub-MCU over to the outside tool itself
    // (Engine::HandOverToSubMcuTool).
    virtual void BannerHeard(BootEntryFlow::Banner banner) = 0;
    // The outside sub-MCU tool could not be started: the view tells the
    // operator `problem`; true when the operator has read it there.
    virtual bool ToolNotStarted(const std::string& problem) = 0;
    // A flow ended short of its end (failed, timed out, stopped, device
    // gone): the flows have stopped. The view gives up the port where the
    // end asks for it and shows the end; true when the operator has read
    // the message and the advice there. The engine tells the outcome after.
    // Failed or timed out with `was.kind` McuBootloader is the bootloader's
    // own verdict, whose port close is the exchange's.
    virtual bool FlowEnded(const FlowEnd& end) = 0;
    // The search ended without the instrument: the view tells the operator;
    // the engine tells SearchFailed and the search's outcome after.
    virtual void SearchNotFound() = 0;
    // The device of the operator's port went away; the display goes to closed.
    virtual void PortWentAway() = 0;
    // A completed write took the input-board loader on by `step`; after
    // Finished the engine tells InputBoardDone and the update's Done.
    virtual void BoardStepped(InputBoardFlow::Step step) = 0;
    // The engine closed the port (a second after a stream's last write, or
    // at the end of the main-MCU exchange).
    virtual void PortClosed() = 0;
};

class Engine {
public:
    // The host timer each FlowTimer runs on, in FlowTimer's order.
    using TimerIds = std::array<unsigned, kFlowTimerCount>;

    // Talks through `port` when there is one (the caller keeps it), else
    // through `own`.
    Engine(IHost& host, ISerialPort* port, std::unique_ptr<ISerialPort> own, const TimerIds& timers,
           EngineView& view);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    InstrumentLink& Link() { return m_link; }
    const InstrumentLink& Link() const { return m_link; }

    // ---- the flows and what they hold ----------------------------------------
    SearchFlow& Search() { return m_search; }
    EraseWaitFlow& EraseWait() { return m_erase; }
    BlockStreamFlow& Stream() { return m_stream; }
    const BlockStreamFlow& Stream() const { return m_stream; }
    InputBoardFlow& Board() { return m_board; }
    BootEntryFlow& Entry() { return m_entry; }
    McuBootloaderFlow& Bootloader() { return m_boot; }
    const McuBootloaderFlow& Bootloader() const { return m_boot; }
    StreamState& StreamData() { return m_streamData; }
    const StreamState& StreamData() const { return m_streamData; }
    EntryState& EntryData() { return m_entryData; }
    const EntryState& EntryData() const { return m_entryData; }

    // ---- typed calls: a flow started with the operator's values ---------------------
    // The search for the instrument of `group` (its group address): the
    // operator's port is closed and COM1..COM99 are tried. False when not
    // one port opened: the search has ended then, not found.
    bool StartSearch(std::uint8_t group);
    // The upload of the 1920x1080 `raster` to user-pattern slot `slot`
    // (1..4): the slot's erase first; its blocks once the instrument has
    // confirmed the erase (EngineView::EraseConfirmed, then FirstBlockSent).
    void StorePattern(int slot, SharedBytes raster);
    // The upload of the panel image `panel` (kPanelBytes) to panel slot
    // `slot`: a pending erase wait ends and the first block goes out.
    std::optional<BlockStreamFlow::Sent> StorePanel(int slot, const std::uint8_t* panel);
    // A firmware image to the instrument as a block stream of `kind`
    // (kStreamFpga, kStreamAux), its first block a command frame; the port
    // closes a second after the last block. Nothing for empty `bytes`.
    std::optional<BlockStreamFlow::Sent> WriteStream(int kind, SharedBytes bytes);
    // The analyzer data: its first block built with device address 00 00,
    // and timer 4 after it.
    std::optional<BlockStreamFlow::Sent> WriteAnalyzerData(SharedBytes bytes);
    // The bytes the next stream, input-board load or main-MCU exchange
    // sends: `bytes`, whole (StreamData()).
    void HoldStream(SharedBytes bytes);
    // Sends the first block of the stream held in StreamData(); with
    // `closeAfterFirst` the port closes a second after it when it is the
    // last (after any later block marked last it always does).
    std::optional<BlockStreamFlow::Sent> BeginStream(const BlockStreamFlow::Start& start, bool closeAfterFirst);

    // "COM3 (/dev/ttyUSB0)", or "COM3" where the device is named so.
    std::string PortName(unsigned port) const;

    // The firmware: the boot-mode entries (their banners awaited) and the
    // exchanges that follow them.
    // "ISP 32 1": the main MCU restarts in its bootloader.
    void EnterMainMcu() { m_entry.EnterMainMcu(); }
    // Sub-MCU `index` (the MCU list's entry 0..10) restarts in boot mode.
    void EnterSubMcu(int index) { m_entry.EnterSubMcu(index); }
    // Input board `board` (1..4) restarts in boot mode; its loader then
    // takes the firmware `bytes`.
    void UpdateInputBoard(int board, SharedBytes bytes);
    // The sub-MCU waits in boot mode: the outside tool is started and the
    // port given up so that the tool can open it. The entry ends Done, or
    // failed when the tool could not be started (EngineView::ToolNotStarted).
    void HandOverToSubMcuTool();
    // The main-MCU exchange with `image`: the port is given up (its device
    // closed, the display left as it is), the entry is handed over, and the
    // first sync tick opens the port again at even parity.
    void UpdateMainMcu(SharedBytes image);

    // ---- what runs --------------------------------------------------------------
    // The one flow under way, by the order in which they take the line.
    FlowSnapshot Running() const;
    // A command frame to the instrument; a refused one goes to the view.
    void SendCommand(std::uint16_t code, const std::uint8_t* payload, int count);
    // A received byte, to the flow that takes bytes now.
    void OnByte(std::uint8_t b);
    // A tick of the host's timer `id`: false when it is none of the engine's.
    bool OnTimer(unsigned id);
    // A write the port completed (the input-board loader goes on with them).
    void OnWriteDone();
    // Ends the search, the erase wait and the block stream: no further byte
    // goes out for them, their timers and the time-out stop, a late answer
    // finds nothing to carry on. The firmware exchanges end with
    // EndExchanges.
    void Stop();
    // Ends a main-MCU or input-board exchange left waiting for its peer and
    // a boot-mode entry, so later bytes reach the frame parser again. An
    // exchange under way is told as ended; a failure whose port close has
    // not come yet is shown and told now.
    void EndExchanges();
    // Ends every flow (Stop, EndExchanges); with `tellStopped` one that ran
    // is told as FlowStopped.
    void StopAll(bool tellStopped);
    // The operator (or a signal) stops what runs: everything stops, the
    // view shows it (EngineView::FlowEnded, also when nothing ran, so the
    // port is given up) and a flow that ran ends stopped. `closing`: the
    // program is closing.
    void StopFlow(bool closing = false);
    // The running flow ends `kind` (failed or timed out) with `message`.
    void EndFlow(OutcomeKind kind, const std::string& message);
    // The link lost the device of COM `port`: a flow on it ends device gone.
    void PortLost(unsigned port);

    // ---- what the flows tell --------------------------------------------------------
    // Where the flow events go (the front end's); nowhere when empty.
    void SetEventSink(FlowEventSink sink) { m_events = std::move(sink); }
    // An event to the sink, then EngineView::EventTold.
    void Tell(FlowEvent e, long long a = 0, long long b = 0, std::string text = {}) const;
    // The one FlowEnded of a flow (nothing without a sink). `told`: the
    // front end has shown the message and the advice already.
    void TellOutcome(OutcomeKind kind, FlowKind flow, std::string message, std::string advice = {},
                     bool told = false) const;
    // A flow the instrument confirmed to its last unit: its time-out ends,
    // then its Done outcome.
    void TellDone(FlowKind flow, const std::string& message);
    // The words the advice uses for the way back into an interrupted
    // main-MCU update, by the instrument's kind (the dialogs' own when not set).
    using AdviceWords = std::function<AdviceTerms(bool analyzer)>;
    void SetAdviceTerms(AdviceWords words) { m_adviceWords = std::move(words); }
    // What the instrument holds after `flow` ended short, and what to do.
    std::string AdviceOf(FlowKind flow) const;

    // ---- the time-out of the instrument's answers ---------------------------------
    void SetTimeout(unsigned ms) { m_timeoutMs = ms; }
    unsigned Timeout() const { return m_timeoutMs; }
    // The running flow's next answer has the whole time-out from now.
    void ArmTimeout();
    // The flow has a limit of its own from here on, or has ended.
    void DisarmTimeout();

private:
    friend class test::DialogProbe;

    // The flows' way to the line, the host's clock and timers and the view.
    class Wire : public FlowLink {
    public:
        explicit Wire(Engine& engine) : m_e(engine) {}
        void Send(const std::uint8_t* bytes, std::size_t length) override;
        void SendToLine(const std::uint8_t* bytes, std::size_t length) override;
        void SendCommand(std::uint16_t code, const std::uint8_t* payload, int count) override;
        void Pause(unsigned ms) override;
        void Answered() override;
        void Progress(float percent) override;
        void Tell(FlowEvent event, long long a, long long b, const std::string& text) override;
        void StartTimer(FlowTimer timer, unsigned ms) override;
        void StopTimer(FlowTimer timer) override;

    private:
        Engine& m_e;
    };

    // A reply frame that passed the link's checks, by its reply-table entry.
    void OnReply(std::size_t entry, const std::uint8_t* frame);
    void OnFlowTimer(FlowTimer timer);
    void BootTick(FlowTimer timer);
    void EraseTick();
    // "cnd 12": the pattern's blocks follow the erase.
    void EraseConfirmed();
    void SearchTick();
    // A step of the main-MCU exchange to the view; after its last the
    // engine tells BootloaderDone and the update's Done.
    void BootStep(McuBootloaderFlow::Step step);
    // The bootloader's failure to the view, then BootloaderDone and the
    // exchange's outcome.
    void BootFailed();
    // The search found nothing (`portsOpened`: 1 when a port opened).
    void SearchNotFound(int portsOpened);
    void TimeoutTick();
    void CloseTick();
    // Timer 5 from now, marked as armed after a stream's last block.
    void ArmClose();
    // A byte outside the other flows: the reply-frame parser, and outside a
    // frame the banner of a firmware entry under way.
    void ParseReplyByte(std::uint8_t b);

    IHost& m_host;
    EngineView& m_view;
    TimerIds m_timers;
    unsigned m_timeoutMs = kFlowTimeoutMs;
    FlowEventSink m_events;
    AdviceWords m_adviceWords;
    bool m_bootReopen = false;

    InstrumentLink m_link;
    SearchState m_searchData;
    StreamState m_streamData;
    EntryState m_entryData;
    Wire m_wire{*this};
    InputBoardFlow m_board{m_wire, m_streamData};
    BlockStreamFlow m_stream{m_wire, m_streamData};
    EraseWaitFlow m_erase{m_wire};
    SearchFlow m_search{m_wire, m_link, m_searchData};
    BootEntryFlow m_entry{m_wire, m_entryData};
    McuBootloaderFlow m_boot{m_wire, m_streamData};
};

} // namespace quillet
