// Delays that more than one flow uses.
#pragma once

namespace quillet {

// Timer 5: the port closes this long after the last write of a block stream
// or of the input-board stream.
inline constexpr unsigned kCloseDelayMs = 1000;
// The pause the close tick of timer 5 takes after closing the port.
inline constexpr unsigned kCloseSettleMs = 50;

} // namespace quillet
