#include "discovery/DeviceKinds.h"

namespace quillet {

const std::array<DeviceKind, 8> kDeviceKinds = {{
    {kGroupGenerator, "generator", "signal generator"},
    {kGroupAnalyzer, "analyzer", "signal analyzer"},
    {0x02, "mv42", "4:2 multiviewer"},
    {0x03, "mv48", "4:8 multiviewer"},
    {0x04, "da28", "2:8 HDMI2.0 DA"},
    {0x05, "kx4", "matrix extender KX4"},
    {0x06, "mv99", "9:9 multiviewer"},
    {0x07, "mx88", "8:8 HDMI2.0 matrix"},
}};

const DeviceKind* FindDeviceKind(std::string_view name) {
    for (const DeviceKind& k : kDeviceKinds)
        if (name == k.name) return &k;
    return nullptr;
}

const DeviceKind& DeviceKindOfGroup(std::uint8_t group) {
    for (const DeviceKind& k : kDeviceKinds)
        if (group == k.group) return k;
    return kDeviceKinds[0];
}

std::string DeviceKindNames(std::string_view separator) {
    std::string names;
    for (const DeviceKind& k : kDeviceKinds) {
        if (!names.empty()) names += separator;
        names += k.name;
    }
    return names;
}

} // namespace quillet
