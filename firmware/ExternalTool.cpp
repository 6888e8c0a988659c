#include "firmware/ExternalTool.h"

#include <cstdio>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillet {

#ifdef _WIN32

ToolLaunch ResolveSubMcuTool(const std::string&, const std::string&) {
    return ToolLaunch{".\\FlyMcu\\FlyMcu.exe", {}};
}

#else

namespace {

constexpr const char* kToolPath = "./FlyMcu/FlyMcu.exe";

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutableFile(const std::string& path) {
    return IsRegularFile(path) && ::access(path.c_str(), X_OK) == 0;
}

// A Windows program starts with the DOS header's "MZ".
bool IsWindowsProgram(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char head[2] = {};
    const std::size_t got = std::fread(head, 1, 2, f);
    std::fclose(f);
    return got == 2 && head[0] == 'M' && head[1] == 'Z';
}

bool FoundOnPath(const std::string& name, const std::string& pathList) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = pathList.find(':', start);
        const std::string dir =
            pathList.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // An empty entry stands for the current directory.
        const std::string candidate = dir.empty() ? name : dir + "/" + name;
        if (IsExecutableFile(candidate)) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

} // namespace

ToolLaunch ResolveSubMcuTool(const std::string& baseDir, const std::string& pathList) {
    const std::string file = baseDir + "/FlyMcu/FlyMcu.exe";
    if (!IsRegularFile(file))
        return {{}, "The sub-MCU tool FlyMcu\\FlyMcu.exe was not found beside the program; "
                    "it could not be started."};
    if (IsWindowsProgram(file)) {
        if (!FoundOnPath("wine", pathList))
            return {{}, "The sub-MCU tool FlyMcu\\FlyMcu.exe is a Windows program and wine is "
                        "not installed; it could not be started."};
        return {std::string("wine ") + kToolPath, {}};
    }
    if (IsExecutableFile(file)) return {kToolPath, {}};
    return {{}, "The sub-MCU tool FlyMcu\\FlyMcu.exe is neither a Windows program nor "
                "executable here; it could not be started."};
}

#endif

} // namespace quillet
