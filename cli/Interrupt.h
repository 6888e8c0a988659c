// Ctrl+C (SIGINT), SIGTERM and SIGHUP end a running flow cleanly: the flow
// stops, the port is closed as the operator would close it (so its
// exclusive flag is given back), the command tells what was interrupted
// and how far it came, and it ends with 128 + the signal's number (130,
// 143, 129). A second signal ends the program at once.
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
// The signal that came; 0 while none did.
int InterruptSignal();
inline bool Interrupted() { return InterruptSignal() != 0; }
// How the program ends after `signal`: 128 + its number, as shells count it.
int InterruptExitCode(int signal);
// "Ctrl+C", "SIGTERM", "SIGHUP".
const char* InterruptName(int signal);

} // namespace quillet::cli
