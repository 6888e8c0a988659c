// Delays that more than one flow uses.
#pragma once

namespace quillet {

// Timer 5: the port closes this long after the last write of a block stream
// or of the input-board stream.
inline constexpr unsigned kCloseDelayMs = 1000;
// The pause the close tick of timer 5 takes after closing the port.
inline constexpr unsigned kCloseSettleMs = 50;
// The dialog's bound on a main-MCU bootloader that sends nothing at all:
// well above its slowest answer (the mass erase, bridged after 3.5 s).
inline constexpr unsigned kBootSilenceMs = 5000;
// How long a flow may wait for the instrument's next answer (a block
// acknowledgement, a boot-mode banner, the input board's next request)
// before it ends timed out; every front end's default (--timeout).
inline constexpr unsigned kFlowTimeoutMs = 10000;

} // namespace quillet
