// What a flow object asks of the program that runs it: the line, a pause of
// the program's clock, the flow's answer watch and its events. The dialog
// gives each flow one; a flow never sees a control, a box or a timer id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/FlowEvents.h"

namespace quillet {

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
};

} // namespace quillet
