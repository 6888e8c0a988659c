// Events the flows report to whoever drives them (the command line uses
// them for its progress bar and exit codes, the dialogs for their boxes,
// the tests to follow a flow). Reporting an event never changes what a
// flow does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/Counts.h"

namespace quillet {

enum class FlowEvent {
    SearchFound,        // a = port number
    SearchFailed,       // a = 1 when ports opened but none answered, 0 when none opened
    BlockSent,          // a = block number, b = marker; text "resend" when sent again
    BlockAcked,         // a = status byte of an accepted block acknowledgement
    StreamFinished,     // the block carrying the last byte has been sent
    EraseWaitStarted,
    EraseWaitEnded,     // a = 1 when "cnd 12" arrived, 0 when the wait was abandoned
    BootloaderStarted,  // main-MCU exchange started (sync byte sent)
    BootloaderErasing,  // the bootloader acknowledged the erase command; the erase codes go out
    BootloaderDone,     // a = 1 when every part was acknowledged, 0 when not, 2 when the
                        // bootloader stopped answering (--fast); text = the failure
    InputBoardLoaderStarted,  // the board's banner handed over to its loader
    InputBoardChunk,    // a = destination address, b = data length
    InputBoardDone,     // the last chunk has gone out
    ExternalToolStarted,// a = 1 when the outside tool could be started
    PortClosed,         // the port display went to closed
    PortLost,           // the device went away while monitored; text = what the operator was told
    FlowStopped,        // a running flow was stopped (operator, interruption); text = what it was
    FlowEnded,          // the one outcome of a flow: a = OutcomeKind, b = FlowKind, text = the
                        // message; advice = what to do next (empty when done)
};

// What the dialog is doing with the instrument at a moment.
enum class FlowKind {
    None,
    Search,
    PatternErase,    // the slot command is out; the erase is awaited
    PatternStream,
    PanelStream,
    FpgaStream,
    AuxFpgaStream,
    AnalyzerData,
    McuEntry,        // the boot-mode command is out; the banner is awaited
    McuBootloader,   // from the hand-over to the verdict
    SubMcuEntry,
    BoardEntry,
    BoardLoader,
};

// The stage words of a snapshot, one definition for the flows and the
// front ends that name a stage before its flow has started.
inline constexpr const char* kStageSearching = "searching";
inline constexpr const char* kStageErasing = "erasing";
inline constexpr const char* kStageSyncing = "syncing";
inline constexpr const char* kStageWriting = "writing";
inline constexpr const char* kStageVerifying = "verifying";
inline constexpr const char* kStageBootMode = "waiting for boot mode";
inline constexpr const char* kStageRamLoader = "loading the RAM loader";

struct FlowSnapshot {
    FlowKind kind = FlowKind::None;
    std::string what;        // "the user-pattern upload to slot 2"
    std::string progress;    // "after 5,000 of 24,300 blocks", "while the slot was being erased"
    std::uint64_t done = 0;  // units done (blocks acknowledged, pieces, bytes) ...
    std::uint64_t total = 0; // ... of this many; 0 when not counted
    std::string unit;        // "blocks", "pieces", "bytes"
    // What it does now: "searching", "erasing", "syncing", "writing",
    // "verifying", "waiting for boot mode", "loading the RAM loader".
    std::string stage;
    float percent = 0;       // the percentage field
    int slot = 0;            // user-pattern or panel slot, input board
    // The instrument is being written (a stream, the erase wait, the
    // bootloader exchange, the input-board load): stopping now leaves it
    // half written.
    bool writing = false;

    bool Running() const { return kind != FlowKind::None; }
    // Counted progress: done of total `unit`, and the words for it
    // ("after 5,000 of 24,300 blocks").
    void Count(std::uint64_t unitsDone, std::uint64_t unitsTotal, const char* unitName) {
        done = unitsDone;
        total = unitsTotal;
        unit = unitName;
        progress = "after " + WithThousands(done) + " of " + WithThousands(total) + " " + unit;
    }
};

// A flow's time-out as its messages give it: "10 s" (rounded to seconds).
inline std::string SecondsText(unsigned ms) { return std::to_string((ms + 500) / 1000) + " s"; }

// How a flow ended. Every flow that started ends with exactly one.
enum class OutcomeKind {
    Done,        // the instrument confirmed the last unit
    Failed,      // the instrument refused, or a check failed
    TimedOut,    // the instrument stopped answering within the flow's time-out
    Stopped,     // the operator (or a signal) stopped it
    DeviceGone,  // the port went away under it
};

struct FlowEventInfo {
    FlowEvent event;
    long long a = 0;
    long long b = 0;
    std::string text;
    std::string advice;  // FlowEnded: what to do next
    // FlowEnded: the operator has read the message (and the advice, where
    // there is one) in the dialog's own boxes already; a front end that
    // tells outcomes itself need not say them again.
    bool told = false;
};

using FlowEventSink = std::function<void(const FlowEventInfo&)>;

} // namespace quillet
