// Shared pieces of the pattern tests: a scratch directory, Pillow through
// Debian's Python, BMP files written here, a dialog with a recording port
// on the virtual clock, and what its uploads send of the images.
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
#include "support/FindInstrument.h"
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

// A 24-bit BMP of `width` x `height` pixels from `rgb` (top-down rows of
// R, G, B), bottom-up as a paint program writes it; rows of a multiple of
// four bytes only.
inline void WriteRgbBmp(const std::filesystem::path& p, int width, int height, const std::vector<std::uint8_t>& rgb) {
    const std::uint32_t row = static_cast<std::uint32_t>(width) * 3u;
    const std::uint32_t pixels = row * static_cast<std::uint32_t>(height);
    std::vector<std::uint8_t> f;
    const auto put = [&f](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) f.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    f.push_back('B');
    f.push_back('M');
    put(54 + pixels, 4);
    put(0, 4);
    put(54, 4);
    put(40, 4);
    put(static_cast<std::uint32_t>(width), 4);
    put(static_cast<std::uint32_t>(height), 4);
    put(1, 2);
    put(24, 2);
    put(0, 4);
    put(pixels, 4);
    put(2835, 4);
    put(2835, 4);
    put(0, 4);
    put(0, 4);
    for (int y = height - 1; y >= 0; --y)
        for (std::uint32_t x = 0; x < row; x += 3) {
            const std::size_t at = static_cast<std::size_t>(y) * row + x;
            f.insert(f.end(), {rgb[at + 2], rgb[at + 1], rgb[at]});
        }
    WriteAll(p, f);
}

// The panel image (RGB565, high byte first) of 240x160 `rgb` pixels.
inline std::vector<std::uint8_t> PanelOf(const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> panel;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
        const int r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
        panel.push_back(static_cast<std::uint8_t>((r & 0xF8) | (g >> 5)));
        panel.push_back(static_cast<std::uint8_t>(((g & 0x1C) << 3) | (b >> 3)));
    }
    return panel;
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
    // The port opened by a search that found the instrument of `kind` on
    // COM1: the dialog now talks to that group address. What the search
    // wrote and told is forgotten.
    void Find(std::uint8_t kind) {
        FindInstrument(dlg, host, port, kind);
        group = kind;
        port.writes.clear();
        events.clear();
    }
    std::uint8_t group = kGroupGenerator;  // the instrument's, for its acknowledgements
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
    void Ack(std::uint8_t status = 0) { port.Receive(AckFrame(status, group)); }
    void ReceiveText(const std::string& text) { port.Receive(std::vector<std::uint8_t>(text.begin(), text.end())); }

    int Count(FlowEvent e) const {
        int n = 0;
        for (const auto& x : events) n += x.event == e;
        return n;
    }
};

// The data of the block frames from write `from` on, as the instrument gets it.
inline std::vector<std::uint8_t> BlockData(const DialogWithPort& w, std::size_t from) {
    std::vector<std::uint8_t> data;
    for (std::size_t k = from; k < w.port.writes.size(); ++k)
        data.insert(data.end(), w.port.writes[k].begin() + 13, w.port.writes[k].begin() + 269);
    return data;
}

// The raster the dialog holds, as a user-pattern upload to slot 1 sends it
// (every block acknowledged).
inline std::vector<std::uint8_t> SentRaster(DialogWithPort& w) {
    if (!w.dlg.IsPortOpen()) w.Open();
    const std::size_t from = w.port.writes.size() + 1;  // after the slot command
    w.dlg.StorePattern(1);
    w.ReceiveText("cnd 12\r\n");
    for (std::uint32_t k = 0; k < kRasterBytes / kBlockData && w.dlg.CurrentFlow().kind == FlowKind::PatternStream; ++k) w.Ack();
    return BlockData(w, from);
}

// The panel image the dialog holds, as a panel upload to slot 1 sends it.
inline std::vector<std::uint8_t> SentPanel(DialogWithPort& w) {
    if (!w.dlg.IsPortOpen()) w.Open();
    const std::size_t from = w.port.writes.size();
    w.dlg.StorePanel(1);
    for (std::uint32_t k = 0; k < kPanelBlocksPerSlot && w.dlg.CurrentFlow().kind == FlowKind::PanelStream; ++k) w.Ack();
    return BlockData(w, from);
}

// Fields of a 270-byte block frame.
inline unsigned BlockNumberOf(const std::vector<std::uint8_t>& f) { return f[10] | f[11] << 8; }
inline std::uint8_t MarkerOf(const std::vector<std::uint8_t>& f) { return f[12]; }
inline bool SumsToZero(const std::vector<std::uint8_t>& f) {
    std::uint8_t s = 0;
    for (auto b : f) s = static_cast<std::uint8_t>(s + b);
    return s == 0;
}

} // namespace quillet::test
