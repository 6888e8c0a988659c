// The latency timer of FTDI USB serial adapters. The adapter holds bytes it
// has received until its buffer fills or the timer runs out, so each short
// acknowledgement of an upload waits up to that long before the PC sees it.
// At the driver's default of 16 ms a user-pattern upload takes far longer
// than at 1 ms.
//
// Linux: Quillet asks for low latency when it opens a port, which the FTDI
// driver turns into 1 ms; sysfs shows the timer (latency_timer beside the
// usb-serial device), and DescribePort reads it from there.
// Windows: nothing sets the timer but the operator. The FTDI driver keeps it
// in the registry beside the port's name, readable without administrator
// rights:
//   HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\<ids+serial>\<instance>\Device Parameters
//     PortName      "COM5"
//     LatencyTimer  DWORD, milliseconds
// The operator is told (by `ports`, the COM list's tooltip and the start of
// a flow) with LatencyAdvice's text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

// The timer at which an upload runs at the speed of the line.
inline constexpr unsigned kBestLatencyMs = 1;

// Read access to a part of HKEY_LOCAL_MACHINE: the system's registry on
// Windows, a test's own table anywhere.
class IRegistryView {
public:
    virtual ~IRegistryView() = default;
    // The names of the subkeys of `key` (a path below HKLM); none when the
    // key is not there.
    virtual std::vector<std::string> SubKeys(const std::string& key) const = 0;
    // A text value of `key`; nothing when it is missing or no text.
    virtual std::optional<std::string> Text(const std::string& key, const std::string& name) const = 0;
    // A DWORD value of `key`; nothing when it is missing or no DWORD.
    virtual std::optional<std::uint32_t> Number(const std::string& key, const std::string& name) const = 0;
};

// The system's registry (on other systems than Windows a view of nothing).
std::unique_ptr<IRegistryView> MakeSystemRegistryView();

// Where the FTDI driver lists its ports.
inline constexpr const char* kFtdiBusKey = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

// The latency timer of the FTDI adapter Windows calls `comName` ("COM5",
// "\\.\COM12", any case); nothing when no FTDI port has that name or its
// key holds no timer.
std::optional<unsigned> FtdiLatencyMs(const IRegistryView& registry, const std::string& comName);

// What the operator should know of an FTDI adapter at `comName` whose timer
// is `latencyMs`, and how to set it to 1 ms on Windows; empty when it is at
// 1 ms already.
std::string LatencyAdvice(const std::string& comName, unsigned latencyMs);

} // namespace quillet
