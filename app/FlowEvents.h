// Events the dialog reports to whoever drives it (the command line uses
// them for its progress bar and exit codes, the tests to follow a flow).
// Reporting an event never changes what the dialog does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
    BootloaderDone,     // a = 1 when every part was acknowledged; text = the failure when not
    InputBoardLoaderStarted,  // the board's banner handed over to its loader
    InputBoardChunk,    // a = destination address, b = data length
    InputBoardDone,     // the last chunk has gone out
    ExternalToolStarted,// a = 1 when the outside tool could be started
    PortClosed,         // the port display went to closed
    PortLost,           // the device went away while monitored
};

struct FlowEventInfo {
    FlowEvent event;
    long long a = 0;
    long long b = 0;
    std::string text;
};

using FlowEventSink = std::function<void(const FlowEventInfo&)>;

} // namespace quillet
