// The port map: which device a COM number stands for.
//
// On POSIX, COM n is the n-th entry of the map. By default the map lists the
// serial devices present, in this order: /dev/ttyUSB*, /dev/ttyACM*,
// /dev/ttyS*, /dev/ttyAMA*, /dev/rfcomm* (each kind numerically, ttyUSB2
// before ttyUSB10); a ttyS node whose UART the kernel did not find (its
// sysfs "type" is 0) is left out, and so is the kernel's active console
// (SystemConsoles). On macOS the default map is /dev/cu.*
// in name order. The environment variable QUILLET_PORTS (comma-separated
// device paths; an empty item leaves that COM number absent) replaces it.
// On Windows COM n is the device "COMn" ("\\.\COMn" from 10 on).
//
// The search tries COM1 to COM99 (kLastCom), and so does every use of the
// map: entries past COM99 are left out as the map is read, and
// LeftOut() says how many there were, for the one warning about them.
//
// A map is a value: every serial link has its own (the command line's
// --ports gives one to its dialogs, each instrument of --all gets a map of
// its one port), so nothing about ports is shared between dialogs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillet {

// Where the system shows its devices. The defaults are the real ones; the
// tests point them at a tree of their own.
struct SystemPaths {
    std::string dev = "/dev";
    std::string sys = "/sys";
};

// What is known of the device behind a port (on Linux from sysfs, as the
// kernel exposes it, and from the /dev/serial/by-id links udev makes).
// Unknown fields are empty.
struct PortDescription {
    std::string device;        // as the map names it
    bool exists = false;       // the device node is there
    std::string byId;          // the /dev/serial/by-id link to it
    std::string vid, pid;      // USB vendor and product id, four hex digits
    std::string manufacturer;
    std::string product;
    std::string serialNumber;
    std::string driver;        // kernel driver (ftdi_sio, cdc_acm, serial8250, ...)
    std::string interfaceName; // USB interface name ("interface" is a macro of the Windows headers)
    std::string location;      // USB location: bus-port path and interface
    std::string subsystem;     // usb-serial, usb, pnp, platform, amba, ...
    std::string sysfsPath;     // the device's directory in sysfs
    std::string network;       // a network port: its kind, host and state ("RFC 2217 server 10.0.0.7 port 7001, accepting")
    std::optional<unsigned> latencyTimerMs;  // an FTDI adapter's latency timer (see AdapterLatency.h)
    // What the operator should change about the device for fast uploads
    // (Windows: an FTDI latency timer above 1 ms); empty when nothing.
    std::string advice;

    // One line of what is known: "FT232R USB UART (FTDI), USB 0403:6001,
    // serial A50285BI, driver ftdi_sio, by-id usb-FTDI_..."; empty when
    // nothing is; "absent" when the device does not exist.
    std::string Summary() const;
};

// The names in /dev of the kernel's consoles ("ttyS0"): those named in
// /sys/class/tty/console/active and in /proc/consoles (the /proc beside
// `paths.sys`). The default map leaves them out, so no search frame goes to
// the system console; an explicit map still reaches them.
std::vector<std::string> SystemConsoles(const SystemPaths& paths = {});

// Describes `device` (a device path, or a /dev/serial/by-id link). A network
// port (rfc2217://, socket://) is there when its server accepts a connection
// (tried with a short limit; nothing is sent).
PortDescription DescribePort(const std::string& device, const SystemPaths& paths = {});

// What tells the device now behind `device` from one plugged in there
// later (the node it leads to, its numbers, when the node was made);
// empty when nothing is there.
// A network port's identity is its URL while its server accepts connections.
std::string DeviceIdentity(const std::string& device);

// The last COM number the search tries; map entries past it are left out.
inline constexpr unsigned kLastCom = 99;

class PortMap {
public:
    // The system's map: QUILLET_PORTS when it is set, otherwise the devices
    // present (on Windows COMn). Worked out afresh on every call, so a
    // device plugged in while the program runs is found by the next search.
    PortMap() = default;
    // An explicit map: entry i is COM i+1 ("" = absent).
    // Entries past COM99 are left out (LeftOut() counts them).
    explicit PortMap(std::vector<std::string> entries);
    // An explicit map from a comma-separated list, as QUILLET_PORTS gives it.
    static PortMap FromList(const std::string& commaSeparatedPaths) { return PortMap(ParseList(commaSeparatedPaths)); }

    // Device path of COM `com`; empty when the map has no such port.
    std::string DevicePath(unsigned com) const;
    // COM numbers that have a device in the map, with their devices, in
    // ascending order (an explicit map may name devices that do not exist).
    std::vector<std::pair<unsigned, std::string>> Present() const;
    // The map with COM `com` alone, as this map names it now, every other
    // number absent: a search through it tries that one port.
    PortMap Only(unsigned com) const;
    // How many entries naming a device stood past COM99 and were left out.
    std::size_t LeftOut() const;
    // True when the entries were given (not the system's).
    bool IsExplicit() const { return m_entries.has_value(); }

    // Parses a comma-separated list: entry i is COM i+1 ("" = absent).
    static std::vector<std::string> ParseList(const std::string& commaSeparatedPaths);
    // The default map from the names found in /dev: ttyUSB*, ttyACM*, ttyS*,
    // ttyAMA*, rfcomm*, each numerically, as full paths under `devRoot`.
    // Other names are left out.
    static std::vector<std::string> OrderDevices(const std::vector<std::string>& namesInDev,
                                                 const std::string& devRoot = "/dev");
    // The default map of this system: the devices of OrderDevices (on macOS
    // /dev/cu.*) less the ttyS nodes without a UART behind them and the
    // system's consoles.
    static std::vector<std::string> DefaultDevices(const SystemPaths& paths = {});

private:
    // The entries as they stand; nothing on Windows without QUILLET_PORTS
    // (COM n is COMn).
    std::optional<std::vector<std::string>> Entries() const;

    std::optional<std::vector<std::string>> m_entries;
    std::size_t m_leftOut = 0;  // of the explicit entries
};

} // namespace quillet
