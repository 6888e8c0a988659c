// Ctrl+C (SIGINT) and SIGTERM end a running flow cleanly: the port is closed
// as the operator would close it, and the command ends "interrupted" (exit
// code 130). A second signal ends the program at once.
#pragma once

namespace quillet::cli {

// Installs the handlers (the program does this once).
void CatchInterrupt();
// True once a signal came.
bool Interrupted();

} // namespace quillet::cli
