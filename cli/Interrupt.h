// Ctrl+C (SIGINT), SIGTERM and SIGHUP end a running flow cleanly: the flow
// stops, the port is closed as the operator would close it (so its
// exclusive flag is given back), the command tells what was interrupted
// and how far it came, and it ends with 128 + the signal's number (130,
// 143, 129). A second signal ends the program at once.
//
// On Windows the console's events do the same: Ctrl+C and Ctrl+Break end
// with 130, closing the console window with 129 (a hang-up), logging off
// and shutting down with 143 (a termination). For the last three Windows
// ends the program a few seconds after the event whatever it does, so the
// event's handler holds the program for a bounded time while the flow
// stops and the program ends with its own exit code.
//
// The handlers only note which signal came, in one atomic flag; whoever
// runs an event loop looks at it between pieces of work. Nothing else in
// the program is process-wide, so every session (one or several in a
// process) stops the same way.
#pragma once

namespace quillet::cli {

// Installs the handlers (the program does this once). A signal the program
// was started to ignore (a background job's SIGINT) stays ignored.
void CatchInterrupt();
// The signal (on Windows also the console event) that came; 0 while none did.
int InterruptSignal();
inline bool Interrupted() { return InterruptSignal() != 0; }
// How the program ends after `signal`: 128 + its number, as shells count it
// (the console events as the signal they stand for).
int InterruptExitCode(int signal);
// "Ctrl+C", "SIGTERM", "SIGHUP"; on Windows also "Ctrl+Break", "closing the
// console window", "logging off", "shutting down Windows".
const char* InterruptName(int signal);

} // namespace quillet::cli
