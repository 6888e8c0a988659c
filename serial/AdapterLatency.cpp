// The latency timer of FTDI adapters (see AdapterLatency.h).
#include "serial/AdapterLatency.h"

#include <cctype>
#include <cmath>

#ifdef _WIN32
#include "platform/WindowsHeaders.h"
#include "platform/Utf8.h"
#endif

namespace quillet {

namespace {

// One block of a user-pattern upload with its acknowledgement (270 bytes
// out, 13 back) at 115200 baud, 10 bits a byte: what the timer adds to.
constexpr double kBlockExchangeBytes = 283;
constexpr double kUploadBaud = 115200;
constexpr double kBitsPerByte = 10;
constexpr double kBlockExchangeMs = kBlockExchangeBytes * kBitsPerByte * 1000 / kUploadBaud;

// "COM12" for "\\.\com12", in capitals.
std::string PlainComName(const std::string& name) {
    std::string plain = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    for (char& c : plain) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return plain;
}

#ifdef _WIN32
// HKLM as the system has it, read-only.
class SystemRegistryView final : public IRegistryView {
public:
    std::vector<std::string> SubKeys(const std::string& key) const override {
        std::vector<std::string> names;
        HKEY handle = Open(key);
        if (!handle) return names;
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD size = sizeof name / sizeof name[0];
            if (RegEnumKeyExW(handle, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.push_back(Utf8FromWide(std::wstring(name, size)));
        }
        RegCloseKey(handle);
        return names;
    }
    std::optional<std::string> Text(const std::string& key, const std::string& name) const override {
        wchar_t text[256] = {};
        DWORD type = 0;
        DWORD size = sizeof text - sizeof(wchar_t);
        if (!Query(key, name, &type, reinterpret_cast<BYTE*>(text), &size) || type != REG_SZ) return std::nullopt;
        return Utf8FromWide(text);
    }
    std::optional<std::uint32_t> Number(const std::string& key, const std::string& name) const override {
        DWORD value = 0, type = 0;
        DWORD size = sizeof value;
        if (!Query(key, name, &type, reinterpret_cast<BYTE*>(&value), &size) || type != REG_DWORD) return std::nullopt;
        return value;
    }

private:
    static HKEY Open(const std::string& key) {
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WideFromUtf8(key).c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
            return nullptr;
        return handle;
    }
    static bool Query(const std::string& key, const std::string& name, DWORD* type, BYTE* data, DWORD* size) {
        HKEY handle = Open(key);
        if (!handle) return false;
        const bool ok =
            RegQueryValueExW(handle, WideFromUtf8(name).c_str(), nullptr, type, data, size) == ERROR_SUCCESS;
        RegCloseKey(handle);
        return ok;
    }
};
#else
class EmptyRegistryView final : public IRegistryView {
public:
    std::vector<std::string> SubKeys(const std::string&) const override { return {}; }
    std::optional<std::string> Text(const std::string&, const std::string&) const override { return std::nullopt; }
    std::optional<std::uint32_t> Number(const std::string&, const std::string&) const override { return std::nullopt; }
};
#endif

} // namespace

std::unique_ptr<IRegistryView> MakeSystemRegistryView() {
#ifdef _WIN32
    return std::make_unique<SystemRegistryView>();
#else
    return std::make_unique<EmptyRegistryView>();
#endif
}

std::optional<unsigned> FtdiLatencyMs(const IRegistryView& registry, const std::string& comName) {
    const std::string wanted = PlainComName(comName);
    const std::string bus = kFtdiBusKey;
    // One key per adapter (ids and serial number), one subkey per instance
    // Windows made of it; the parameters of each beside its port name.
    for (const std::string& device : registry.SubKeys(bus))
        for (const std::string& instance : registry.SubKeys(bus + "\\" + device)) {
            const std::string key = bus + "\\" + device + "\\" + instance + "\\Device Parameters";
            const auto portName = registry.Text(key, "PortName");
            if (!portName || PlainComName(*portName) != wanted) continue;
            const auto latency = registry.Number(key, "LatencyTimer");
            if (latency) return static_cast<unsigned>(*latency);
        }
    return std::nullopt;
}

std::string LatencyAdvice(const std::string& comName, unsigned latencyMs) {
    if (latencyMs <= kBestLatencyMs) return {};
    const std::string com = PlainComName(comName);
    const long longer = std::lround((latencyMs - kBestLatencyMs) * 100 / kBlockExchangeMs);
    return com + " is an FTDI adapter with a " + std::to_string(latencyMs) +
           " ms latency timer: uploads take up to " + std::to_string(longer) + " % longer than at " +
           std::to_string(kBestLatencyMs) + " ms. Set it to " + std::to_string(kBestLatencyMs) +
           " ms in Device Manager > Ports (COM & LPT) > the port (" + com +
           ") > Properties > Port Settings > Advanced > Latency Timer (msec).";
}

} // namespace quillet
