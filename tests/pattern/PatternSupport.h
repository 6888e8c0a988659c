// Shared pieces of the pattern tests: a scratch directory, Pillow through
// Debian's Python, and a dialog with a recording port on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "platform/VirtualHost.h"
#include "support/FakeSerialPort.h"
#include "support/DialogProbe.h"
#include "support/Portable.h"

namespace quillet::test {


inline std::vector<std::uint8_t> ReadAll(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::filesystem::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool PillowAvailable() {
    const std::string cmd = std::string(QUILLET_PYTHON) + " -c \"import PIL.Image\" >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// Runs a Python script (written to `dir`) with Debian's interpreter.
inline bool RunPython(const std::filesystem::path& dir, const std::string& script) {
    const auto file = dir / "make.py";
    {
        std::ofstream f(file);
        f << script;
    }
    const std::string cmd = std::string(QUILLET_PYTHON) + " " + file.string();
    return std::system(cmd.c_str()) == 0;
}

// A dialog after start-up with COM1 present; the port is opened by Open().
struct DialogWithPort {
    VirtualHost host;
    FakeSerialPort port;
    CLoaderDlg dlg{host, &port};
    std::vector<FlowEventInfo> events;

    DialogWithPort() {
        dlg.OnInitDialog();
        dlg.SetEventSink([this](const FlowEventInfo& e) { events.push_back(e); });
    }
    void Open() { dlg.OnPortButton(); }
    void SetPatternNo(int n) { host.texts[IDC_PATTERN_NO] = std::to_string(n); }

    // A block acknowledgement as the instrument sends it: AB, the device
    // address, length 8, console 00 00, code FF FF, 78 78 status, checksum.
    static std::vector<std::uint8_t> AckFrame(std::uint8_t status, std::uint8_t group = 0,
                                              std::uint8_t second = 0x78) {
        std::vector<std::uint8_t> f = {0xAB, group, 0x00, 0x08, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x78, second, status};
        std::uint8_t sum = 0;
        for (auto b : f) sum = static_cast<std::uint8_t>(sum + b);
        f.push_back(static_cast<std::uint8_t>(0x100 - sum));
        return f;
    }
    void Ack(std::uint8_t status = 0) { port.Receive(AckFrame(status, test::Probe(dlg).DeviceGroup())); }
    void ReceiveText(const std::string& text) { port.Receive(std::vector<std::uint8_t>(text.begin(), text.end())); }

    int Count(FlowEvent e) const {
        int n = 0;
        for (const auto& x : events) n += x.event == e;
        return n;
    }
};

// Fields of a 270-byte block frame.
inline unsigned BlockNumberOf(const std::vector<std::uint8_t>& f) { return f[10] | f[11] << 8; }
inline std::uint8_t MarkerOf(const std::vector<std::uint8_t>& f) { return f[12]; }
inline bool SumsToZero(const std::vector<std::uint8_t>& f) {
    std::uint8_t s = 0;
    for (auto b : f) s = static_cast<std::uint8_t>(s + b);
    return s == 0;
}

} // namespace quillet::test
