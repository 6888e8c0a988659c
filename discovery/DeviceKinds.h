// The instrument kinds the program can search for: one row per kind, read by
// the dialog (which maps its search buttons to them), the command line's
// --kind and its help, and the simulator's --kind. The kind is the group address of the device
// address; the search frame of a kind follows from it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet {

// Group addresses the flows tell apart.
inline constexpr std::uint8_t kGroupGenerator = 0x00;
inline constexpr std::uint8_t kGroupAnalyzer = 0x01;

struct DeviceKind {
    std::uint8_t group;       // group address (device-kind code)
    const char* name;         // command-line name
    const char* description;  // what the operator is told
};

// In the order of the group addresses, 0x00 to 0x07.
extern const std::array<DeviceKind, 8> kDeviceKinds;

const DeviceKind* FindDeviceKind(std::string_view name);
// The kind with this group address; the signal generator for an unknown one.
const DeviceKind& DeviceKindOfGroup(std::uint8_t group);
// The command-line names joined by `separator`.
std::string DeviceKindNames(std::string_view separator = ", ");

} // namespace quillet
