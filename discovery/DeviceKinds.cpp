#include "discovery/DeviceKinds.h"

#include "app/Resources.h"

namespace quillet {

const std::array<DeviceKind, 8> kDeviceKinds = {{
    {kGroupGenerator, IDC_SEARCH_GENERATOR, "generator", "signal generator"},
    {kGroupAnalyzer, IDC_SEARCH_ANALYZER, "analyzer", "signal analyzer"},
    {0x02, IDC_SEARCH_MV42, "mv42", "4:2 multiviewer"},
    {0x03, IDC_SEARCH_MV48, "mv48", "4:8 multiviewer"},
    {0x04, IDC_SEARCH_DA28, "da28", "2:8 HDMI2.0 DA"},
    {0x05, IDC_SEARCH_KX4, "kx4", "matrix extender KX4"},
    {0x06, IDC_SEARCH_MV99, "mv99", "9:9 multiviewer"},
    {0x07, IDC_SEARCH_MX88, "mx88", "8:8 HDMI2.0 matrix"},
}};

const DeviceKind* FindDeviceKind(std::string_view name) {
    for (const DeviceKind& k : kDeviceKinds)
        if (name == k.name) return &k;
    return nullptr;
}

const DeviceKind* DeviceKindOfButton(int controlId) {
    for (const DeviceKind& k : kDeviceKinds)
        if (controlId == k.searchButton) return &k;
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
