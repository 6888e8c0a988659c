// What a flow object asks of the program that runs it: the line, a pause of
// the program's clock, the flow's answer watch, its events and its timers.
// The dialog gives each flow one; a flow never sees a control, a box or a
// timer id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/FlowEvents.h"

namespace quillet {

// The timers a flow runs through its link (StartTimer); the program that
// runs the flow gives each one a timer of its own and hands the ticks back
// to the flow. The dialog's are timers 8 to 11, the search's timer 4, the
// erase wait's timer 3, the port's close timer 5 and the time-out's timer 12.
enum class FlowTimer : unsigned {
    BootSync,     // main-MCU bootloader: the sync byte's repeat (the port's reopen first)
    BootSend,     // main-MCU bootloader: a write held back for its delay
    BootAnswer,   // main-MCU bootloader: the limit of an answer, or the stand-in ACK
    BootSilence,  // main-MCU bootloader: the bootloader has sent nothing for too long
    SearchScan,   // device search: the wait on the port just probed
    EraseTick,    // erase wait: its one-second count
    Timeout,      // the engine's: the running flow's answer has not come in time
    Close,        // the engine's: the port closes a while after a stream's last write
};
inline constexpr unsigned kFlowTimerCount = 8;

class FlowLink {
public:
    virtual ~FlowLink() = default;
    // Queues bytes for the line; a completed write comes back to the flow.
    virtual void Send(const std::uint8_t* bytes, std::size_t length) = 0;
    // As Send, but the write completes only once the bytes have left the
    // line: for a pause the instrument needs after them.
    virtual void SendToLine(const std::uint8_t* bytes, std::size_t length) = 0;
    // A command frame to the instrument found by the search (its address,
    // the console's, `code` and the payload); with no port open the
    // operator is told so and nothing goes out.
    virtual void SendCommand(std::uint16_t code, const std::uint8_t* payload, int count) = 0;
    // Waits before the next step (the instrument needs the pause).
    virtual void Pause(unsigned ms) = 0;
    // The peer answered: its next answer has the flow's whole time-out.
    virtual void Answered() = 0;
    // How far the flow came, as the percentage field shows it.
    virtual void Progress(float percent) = 0;
    virtual void Tell(FlowEvent event, long long a = 0, long long b = 0, const std::string& text = {}) = 0;
    // A timer of the flow ticks every `ms` from now until it is stopped
    // (starting a running one starts it anew); each tick goes to the flow.
    virtual void StartTimer(FlowTimer timer, unsigned ms) = 0;
    virtual void StopTimer(FlowTimer timer) = 0;
};

} // namespace quillet
