// The outside sub-MCU flashing tool, ".\FlyMcu\FlyMcu.exe" beside the
// program. On Windows it is started by that command line; elsewhere the
// same file is run through wine when it is a Windows program, or directly
// when it is an executable of the system.
#pragma once

#include <string>

namespace quillet {

struct ToolLaunch {
    std::string commandLine;  // empty when the tool cannot be started
    std::string problem;      // why not, for the operator
};

// `baseDir` is the directory the relative path is taken from (the current
// directory when the program starts the tool); `pathList` the search path
// for wine (the PATH variable).
ToolLaunch ResolveSubMcuTool(const std::string& baseDir, const std::string& pathList);

} // namespace quillet
