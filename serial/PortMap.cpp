// The port map (see PortMap.h). The system's map is worked out afresh on
// every call, so a device plugged in while the program runs is found by the
// next search.
#if defined(_MSC_VER) && !defined(_CRT_SECURE_NO_WARNINGS)
#define _CRT_SECURE_NO_WARNINGS  // getenv
#endif
#include "serial/PortMap.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "platform/Utf8.h"
#include "serial/AdapterLatency.h"
#include "serial/NetAddress.h"
#include "serial/NetSerialDevice.h"
#include "platform/WindowsHeaders.h"
#ifndef _WIN32
#include <sys/stat.h>
#endif
#ifdef _WIN32
#include <cctype>
#include <cstring>
#include <devguid.h>
#include <setupapi.h>
#endif

namespace quillet {

namespace {

namespace fs = std::filesystem;

// The devices NAME<digits> in /dev, numerically (ttyUSB2 before ttyUSB10).
std::vector<std::string> NumberedDevices(const std::vector<std::string>& names, const std::string& prefix,
                                         const std::string& devRoot) {
    std::vector<std::pair<unsigned long, std::string>> found;
    for (const std::string& name : names) {
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        found.emplace_back(std::stoul(digits), devRoot + "/" + name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

// The first line of a sysfs attribute, without its line end; empty when
// the file is not there.
std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

#ifndef _WIN32
// Digits only, a few of them: a sysfs number that fits an unsigned.
bool IsSmallNumber(const std::string& text) {
    constexpr std::size_t kMaxDigits = 6;
    return !text.empty() && text.size() <= kMaxDigits &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The last part of where a sysfs link leads ("ftdi_sio" for .../drivers/ftdi_sio).
std::string LinkName(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::canonical(link, ec);
    return ec ? std::string() : target.filename().string();
}
#endif

#ifndef _WIN32
// When the node `st` describes was made or last changed, to the nanosecond.
std::string ChangeTime(const struct stat& st) {
#ifdef __APPLE__
    const struct timespec& t = st.st_ctimespec;
#else
    const struct timespec& t = st.st_ctim;
#endif
    return std::to_string(static_cast<long long>(t.tv_sec)) + "." + std::to_string(static_cast<long long>(t.tv_nsec));
}
#endif

// How long `ports` and --watch wait for a network port's server to accept.
constexpr unsigned kNetProbeMs = 1000;

// A network port as `ports` shows it; `exists` when its server accepts a
// connection now. The connection is closed again at once, before a byte.
PortDescription DescribeNetPort(const std::string& url) {
    PortDescription d;
    d.device = url;
    const NetAddressParse parsed = ParseNetAddress(url);
    if (!parsed.address) {
        d.network = "malformed: " + parsed.error;
        return d;
    }
    const NetAddress& a = *parsed.address;
    const std::string kind = a.kind == NetAddress::Kind::Rfc2217 ? "RFC 2217 server " : "raw TCP server ";
    auto device = MakeNetSerialDevice(NetTimeouts{kNetProbeMs, kNetProbeMs});
    d.exists = device->Open(url) == ISerialDevice::OpenStatus::Opened;
    device->Close();
    std::string problem = device->Problem();
    if (problem.rfind(url + ": ", 0) == 0) problem.erase(0, url.size() + 2);
    const std::string tail = "; nothing was sent.";
    if (problem.size() > tail.size() && problem.compare(problem.size() - tail.size(), tail.size(), tail) == 0)
        problem.resize(problem.size() - tail.size());
    d.network = kind + a.host + " port " + std::to_string(a.port) + (d.exists ? ", accepting" : ", not reachable: " + problem);
    return d;
}

std::string WindowsName(unsigned com) {
    return com < 10 ? "COM" + std::to_string(com) : "\\\\.\\COM" + std::to_string(com);
}

#ifdef _WIN32
constexpr unsigned kLastWindowsCom = 255;

// The number of an item naming a COM port as Windows users write it
// ("COM7", "com12", "\\.\COM120"); 0 for any other item.
unsigned ComNumber(const std::string& item) {
    std::string name = item.rfind("\\\\.\\", 0) == 0 ? item.substr(4) : item;
    if (name.size() < 4 || name.size() > 6 || _strnicmp(name.c_str(), "COM", 3) != 0 || name[3] == '0') return 0;
    unsigned n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n <= kLastWindowsCom ? n : 0;
}

// On Windows an item naming a COM port stands for the system's port of that
// number wherever it stands in the list ("-p COM7" is COM7, not COM1); the
// other items keep their places.
std::vector<std::string> PlaceComNames(const std::vector<std::string>& items) {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (ComNumber(items[i]) != 0) continue;
        if (entries.size() <= i) entries.resize(i + 1);
        entries[i] = items[i];
    }
    for (const std::string& item : items)
        if (const unsigned n = ComNumber(item)) {
            if (entries.size() < n) entries.resize(n);
            entries[n - 1] = WindowsName(n);
        }
    return entries;
}
#endif

} // namespace

std::vector<std::string> PortMap::OrderDevices(const std::vector<std::string>& namesInDev,
                                               const std::string& devRoot) {
    std::vector<std::string> map;
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS", "ttyAMA", "rfcomm"}) {
        auto part = NumberedDevices(namesInDev, prefix, devRoot);
        map.insert(map.end(), part.begin(), part.end());
    }
    return map;
}

std::vector<std::string> SystemConsoles(const SystemPaths& paths) {
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    std::ifstream active(fs::path(paths.sys) / "class" / "tty" / "console" / "active");
    for (std::string name; active >> name;) add(name);
    // Each line of /proc/consoles starts with the console's name.
    std::ifstream listed(fs::path(paths.sys).parent_path() / "proc" / "consoles");
    for (std::string line; std::getline(listed, line);) add(line.substr(0, line.find_first_of(" \t")));
    return names;
}

std::vector<std::string> PortMap::DefaultDevices(const SystemPaths& paths) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(paths.dev, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
#ifdef __APPLE__
    // The call-out devices; their tty.* twins wait for carrier on open.
    std::vector<std::string> map;
    std::sort(names.begin(), names.end());
    for (const auto& name : names)
        if (name.rfind("cu.", 0) == 0) map.push_back(paths.dev + "/" + name);
    return map;
#else
    std::vector<std::string> map;
    const std::vector<std::string> consoles = SystemConsoles(paths);
    for (auto& device : OrderDevices(names, paths.dev)) {
        // The kernel keeps ttyS nodes for UARTs it looked for and did not
        // find; their "type" is 0 (unknown). Opening one succeeds, but
        // nothing is behind it.
        const std::string name = fs::path(device).filename().string();
        if (std::find(consoles.begin(), consoles.end(), name) != consoles.end()) continue;
        if (name.rfind("ttyS", 0) == 0 &&
            ReadAttribute(fs::path(paths.sys) / "class" / "tty" / name / "type") == "0")
            continue;
        map.push_back(std::move(device));
    }
    return map;
#endif
}

#ifdef _WIN32

namespace {

// A device registry property of a port as text ("" when it has none).
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    wchar_t buffer[512] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - sizeof(wchar_t), nullptr))
        return {};
    return Utf8FromWide(buffer);  // the first string of a list
}

// Four hex digits after `key` ("VID_") in a hardware id, or "".
std::string IdAfter(const std::string& hardwareId, const char* key) {
    const std::size_t at = hardwareId.find(key);
    if (at == std::string::npos || at + std::strlen(key) + 4 > hardwareId.size()) return {};
    std::string id = hardwareId.substr(at + std::strlen(key), 4);
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return id;
}

} // namespace

// Windows: the device is there when the system knows the name; what it is
// comes from the Ports class of the device manager (SetupAPI): the friendly
// name shown there, the maker, the USB ids and the driver service.
PortDescription DescribePort(const std::string& device, const SystemPaths&) {
    if (IsNetUrl(device)) return DescribeNetPort(device);
    PortDescription d;
    d.device = device;
    const std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    // The FTDI driver keeps the timer of a port while its adapter is
    // unplugged too: it holds again when the adapter comes back.
    d.latencyTimerMs = FtdiLatencyMs(*MakeSystemRegistryView(), name);
    if (d.latencyTimerMs) d.advice = LatencyAdvice(name, *d.latencyTimerMs);
    wchar_t target[512];
    if (name.empty() || QueryDosDeviceW(WideFromUtf8(name).c_str(), target, 512) == 0) return d;
    d.exists = true;
    d.sysfsPath = Utf8FromWide(target);  // the kernel's device object, e.g. \Device\Serial0
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return d;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        wchar_t portName[64] = {};
        DWORD size = sizeof portName - sizeof(wchar_t);
        const bool named = RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(portName),
                                            &size) == ERROR_SUCCESS;
        RegCloseKey(key);
        if (!named || _wcsicmp(portName, WideFromUtf8(name).c_str()) != 0) continue;
        d.product = DeviceProperty(set, info, SPDRP_FRIENDLYNAME);
        d.manufacturer = DeviceProperty(set, info, SPDRP_MFG);
        d.driver = DeviceProperty(set, info, SPDRP_SERVICE);
        d.location = DeviceProperty(set, info, SPDRP_LOCATION_INFORMATION);
        const std::string hardwareId = DeviceProperty(set, info, SPDRP_HARDWAREID);
        d.vid = IdAfter(hardwareId, "VID_");
        d.pid = IdAfter(hardwareId, "PID_");
        d.subsystem = hardwareId.substr(0, hardwareId.find('\\'));
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return d;
}

#else

PortDescription DescribePort(const std::string& device, const SystemPaths& paths) {
    if (IsNetUrl(device)) return DescribeNetPort(device);
    PortDescription d;
    d.device = device;
    std::error_code ec;
    if (device.empty() || !fs::exists(device, ec)) return d;
    d.exists = true;
    const fs::path real = fs::canonical(device, ec);
    if (ec) return d;

    // udev's stable name for it, if it made one.
    std::vector<fs::path> links;
    for (fs::directory_iterator it(fs::path(paths.dev) / "serial" / "by-id", ec), end;
         !ec && it != end; it.increment(ec)) {
        std::error_code same;
        if (fs::equivalent(it->path(), real, same) && !same) links.push_back(it->path());
    }
    std::sort(links.begin(), links.end());
    if (!links.empty()) d.byId = links.front().string();

    // The kernel's view: /sys/class/tty/NAME/device is the device behind
    // the tty (none for virtual ones: pseudo-terminals, rfcomm).
    const fs::path deviceLink = fs::path(paths.sys) / "class" / "tty" / real.filename() / "device";
    fs::path sysDevice = fs::canonical(deviceLink, ec);
    if (ec) return d;
    // Newer kernels put a port and a controller device of their serial core
    // between a UART's tty and its hardware; the hardware is above them.
    for (int up = 0; up < 2 && LinkName(sysDevice / "subsystem") == "serial-base"; ++up)
        sysDevice = sysDevice.parent_path();
    d.sysfsPath = sysDevice.string();
    d.subsystem = LinkName(sysDevice / "subsystem");
    d.driver = LinkName(sysDevice / "driver");
    // A USB serial converter's port hangs below its USB interface; a modem
    // (cdc_acm) is the interface itself. The USB device is the interface's parent.
    fs::path usbInterface;
    if (d.subsystem == "usb-serial")
        usbInterface = sysDevice.parent_path();
    else if (d.subsystem == "usb")
        usbInterface = sysDevice;
    if (!usbInterface.empty()) {
        const fs::path usbDevice = usbInterface.parent_path();
        d.vid = ReadAttribute(usbDevice / "idVendor");
        d.pid = ReadAttribute(usbDevice / "idProduct");
        d.manufacturer = ReadAttribute(usbDevice / "manufacturer");
        d.product = ReadAttribute(usbDevice / "product");
        d.serialNumber = ReadAttribute(usbDevice / "serial");
        d.interfaceName = ReadAttribute(usbInterface / "interface");
        d.location = usbInterface.filename().string();
    }
    // The FTDI driver shows its latency timer (milliseconds) beside the tty.
    const std::string latency = ReadAttribute(sysDevice / "latency_timer");
    if (IsSmallNumber(latency)) d.latencyTimerMs = static_cast<unsigned>(std::stoul(latency));
    return d;
}

#endif

std::string DeviceIdentity(const std::string& device) {
    if (device.empty()) return {};
    if (IsNetUrl(device)) return DescribeNetPort(device).exists ? device : std::string();
#ifdef _WIN32
    // "COM3" or "\\.\COM12": the system's name for what is behind it.
    std::string name = device;
    if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
    char target[512];
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) return name + ":" + target;
#endif
    std::error_code ec;
    const fs::path real = fs::canonical(device, ec);
    if (ec) return {};
#ifndef _WIN32
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0) return {};
    // The node's change time tells a node made anew under the same name
    // and number (a USB device re-plugged, a pseudo-terminal's number
    // given out again) from the one that was there.
    return real.string() + ":" + std::to_string(static_cast<unsigned long long>(st.st_rdev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino)) + ":" + ChangeTime(st);
#else
    return real.string();
#endif
}

std::string PortDescription::Summary() const {
    if (!network.empty()) return network;
    if (!exists) return "absent";
    std::vector<std::string> parts;
    if (!product.empty() && !manufacturer.empty())
        parts.push_back(product + " (" + manufacturer + ")");
    else if (!product.empty() || !manufacturer.empty())
        parts.push_back(product + manufacturer);
    if (!vid.empty() || !pid.empty()) parts.push_back("USB " + vid + ":" + pid);
    if (!serialNumber.empty()) parts.push_back("serial " + serialNumber);
    if (!driver.empty()) parts.push_back("driver " + driver);
    if (!byId.empty()) parts.push_back("by-id " + fs::path(byId).filename().string());
    std::string text;
    for (const auto& p : parts) text += (text.empty() ? "" : ", ") + p;
    return text;
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
#ifdef _WIN32
    return PlaceComNames(entries);
#else
    return entries;
#endif
}

namespace {

// The entries naming a device past COM99, which `CutToRange` leaves out.
std::size_t PastRange(const std::vector<std::string>& entries) {
    if (entries.size() <= kLastCom) return 0;
    return static_cast<std::size_t>(
        std::count_if(entries.begin() + kLastCom, entries.end(), [](const std::string& e) { return !e.empty(); }));
}

std::vector<std::string> CutToRange(std::vector<std::string> entries) {
    if (entries.size() > kLastCom) entries.resize(kLastCom);
    return entries;
}

// The entries as read from QUILLET_PORTS or the system, before the cut.
std::optional<std::vector<std::string>> SystemEntries() {
    if (const char* env = std::getenv("QUILLET_PORTS")) return PortMap::ParseList(env);
#ifdef _WIN32
    return std::nullopt;
#else
    return PortMap::DefaultDevices();
#endif
}

} // namespace

PortMap::PortMap(std::vector<std::string> entries)
    : m_entries(CutToRange(entries)), m_leftOut(PastRange(entries)) {}

std::size_t PortMap::LeftOut() const {
    if (m_entries) return m_leftOut;
    const auto entries = SystemEntries();
    return entries ? PastRange(*entries) : 0;
}

// The explicit entries, else QUILLET_PORTS, else (POSIX) the devices
// present; never past COM99.
std::optional<std::vector<std::string>> PortMap::Entries() const {
    if (m_entries) return m_entries;
    auto entries = SystemEntries();
    if (entries) *entries = CutToRange(std::move(*entries));
    return entries;
}

std::string PortMap::DevicePath(unsigned com) const {
    if (com == 0) return {};
    const auto map = Entries();
    if (!map) return WindowsName(com);
    return com <= map->size() ? (*map)[com - 1] : std::string();
}

PortMap PortMap::Only(unsigned com) const {
    std::vector<std::string> entries(com);
    if (com > 0) entries[com - 1] = DevicePath(com);
    return PortMap(std::move(entries));
}

std::vector<std::pair<unsigned, std::string>> PortMap::Present() const {
    std::vector<std::pair<unsigned, std::string>> present;
    const auto map = Entries();
    if (map) {
        for (std::size_t i = 0; i < map->size(); ++i)
            if (!(*map)[i].empty()) present.emplace_back(static_cast<unsigned>(i + 1), (*map)[i]);
        return present;
    }
#ifdef _WIN32
    // The COM devices the system knows of, COM1 to COM99 as the search tries them.
    char target[512];
    for (unsigned com = 1; com <= kLastCom; ++com) {
        const std::string name = "COM" + std::to_string(com);
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) present.emplace_back(com, WindowsName(com));
    }
#endif
    return present;
}

} // namespace quillet
