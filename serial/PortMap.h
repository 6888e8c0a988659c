// The port map: which device a COM number stands for.
//
// On POSIX, COM n is the n-th entry of the map. By default the map lists the
// serial devices present, in this order: /dev/ttyUSB*, /dev/ttyACM*,
// /dev/ttyS* (each numerically). The environment variable QUILLET_PORTS
// (comma-separated device paths; an empty item leaves that COM number
// absent) replaces it, and so does SetOverride (the command line's --ports).
// On Windows COM n is the device "COMn" ("\\.\COMn" from 10 on).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quillet {

class PortMap {
public:
    // Device path of COM `com`; empty when the map has no such port.
    static std::string DevicePath(unsigned com);
    // COM numbers that have a device in the map, with their devices, in
    // ascending order.
    static std::vector<std::pair<unsigned, std::string>> Present();
    // Replaces the map by a comma-separated list, as QUILLET_PORTS does.
    static void SetOverride(const std::string& commaSeparatedPaths);
    static void ClearOverride();
    // Parses a comma-separated list: entry i is COM i+1 ("" = absent).
    static std::vector<std::string> ParseList(const std::string& commaSeparatedPaths);
    // The default map from the names found in /dev: ttyUSB*, ttyACM*, ttyS*,
    // each numerically, as full paths. Other names are left out.
    static std::vector<std::string> OrderDevices(const std::vector<std::string>& namesInDev);
};

} // namespace quillet
