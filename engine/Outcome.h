// The one table of what a flow's end means for the operator: for each kind
// of flow, what the instrument holds when it did not end well and what to
// do next. Every front end (the dialogs' boxes, the command line's
// messages and JSON) takes its advice from here.
#pragma once

#include <string>

#include "engine/FlowEvents.h"

namespace quillet {

// How a front end names the way back into an interrupted main-MCU update:
// the dialog's user pattern number 101 and MCU button, or the command
// line's `mcu --direct`. Empty: the dialog's words.
struct AdviceTerms {
    std::string mcuAgain;  // "run quillet-cli mcu generator --direct to write it again"
};

// The words of the dialogs for the instrument kind (generator or analyzer).
AdviceTerms DialogAdviceTerms(bool analyzer);

// What the instrument holds after `flow` ended short of its end, and what to
// do next; empty for FlowKind::None.
std::string FlowAdvice(FlowKind flow, const AdviceTerms& terms);

// The name of an outcome as the JSON report and the traces spell it:
// "done", "failed", "timed-out", "stopped", "device-gone".
const char* OutcomeName(OutcomeKind kind);

// What the operator is told when the device of `portName` went away
// during `was` (or outside a flow): which port, how far the flow came and
// how to carry on.
std::string LostText(const std::string& portName, const FlowSnapshot& was);

// The text of a box or message: the message, then the advice on a line of
// its own.
std::string OutcomeText(const std::string& message, const std::string& advice);

} // namespace quillet
