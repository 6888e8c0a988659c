// Starting an outside program as WinExec does: from the current directory,
// without waiting for it.
#pragma once

#include <string>

namespace quillet {

// `commandLine`: the program and its arguments (UTF-8); `showCmd` how its
// window starts (Windows). False when it could not be started.
bool StartDetached(const std::string& commandLine, int showCmd);

} // namespace quillet
