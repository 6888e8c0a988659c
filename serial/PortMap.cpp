// The port map (see PortMap.h). The map is worked out afresh on every call,
// so a device plugged in while the program runs is found by the next search.
#if defined(_MSC_VER) && !defined(_CRT_SECURE_NO_WARNINGS)
#define _CRT_SECURE_NO_WARNINGS  // getenv
#endif
#include "serial/PortMap.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dirent.h>
#endif

namespace quillet {

namespace {

std::mutex g_lock;
std::optional<std::vector<std::string>> g_override;

// The devices NAME<digits> in /dev, numerically (ttyUSB2 before ttyUSB10).
std::vector<std::string> NumberedDevices(const std::vector<std::string>& names, const std::string& prefix) {
    std::vector<std::pair<unsigned long, std::string>> found;
    for (const std::string& name : names) {
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        found.emplace_back(std::stoul(digits), "/dev/" + name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

#ifndef _WIN32
std::vector<std::string> SerialDevicesPresent() {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/dev")) {
        while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    return PortMap::OrderDevices(names);
}
#endif

std::string WindowsName(unsigned com) {
    return com < 10 ? "COM" + std::to_string(com) : "\\\\.\\COM" + std::to_string(com);
}

// The map as it stands: the override, else QUILLET_PORTS, else (POSIX) the
// devices present. Empty optional on Windows without either: COM n is COMn.
std::optional<std::vector<std::string>> CurrentMap() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_override) return g_override;
    }
    if (const char* env = std::getenv("QUILLET_PORTS")) return PortMap::ParseList(env);
#ifdef _WIN32
    return std::nullopt;
#else
    return SerialDevicesPresent();
#endif
}

} // namespace

std::vector<std::string> PortMap::OrderDevices(const std::vector<std::string>& namesInDev) {
    std::vector<std::string> map;
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        auto part = NumberedDevices(namesInDev, prefix);
        map.insert(map.end(), part.begin(), part.end());
    }
    return map;
}

std::vector<std::string> PortMap::ParseList(const std::string& commaSeparatedPaths) {
    std::vector<std::string> entries;
    if (commaSeparatedPaths.empty()) return entries;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = commaSeparatedPaths.find(',', start);
        std::string item = commaSeparatedPaths.substr(start, comma == std::string::npos ? std::string::npos
                                                                                         : comma - start);
        // Blanks around an item are not part of a device name.
        const auto first = item.find_first_not_of(" \t");
        const auto last = item.find_last_not_of(" \t");
        entries.push_back(first == std::string::npos ? std::string() : item.substr(first, last - first + 1));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return entries;
}

void PortMap::SetOverride(const std::string& commaSeparatedPaths) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_override = ParseList(commaSeparatedPaths);
}

void PortMap::ClearOverride() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_override.reset();
}

std::string PortMap::DevicePath(unsigned com) {
    if (com == 0) return {};
    const auto map = CurrentMap();
    if (!map) return WindowsName(com);
    return com <= map->size() ? (*map)[com - 1] : std::string();
}

std::vector<std::pair<unsigned, std::string>> PortMap::Present() {
    std::vector<std::pair<unsigned, std::string>> present;
    const auto map = CurrentMap();
    if (map) {
        for (std::size_t i = 0; i < map->size(); ++i)
            if (!(*map)[i].empty()) present.emplace_back(static_cast<unsigned>(i + 1), (*map)[i]);
        return present;
    }
#ifdef _WIN32
    // The COM devices the system knows of, COM1 to COM99 as the search tries them.
    char target[512];
    for (unsigned com = 1; com <= 99; ++com) {
        const std::string name = "COM" + std::to_string(com);
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) present.emplace_back(com, WindowsName(com));
    }
#endif
    return present;
}

} // namespace quillet
