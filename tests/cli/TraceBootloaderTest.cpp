// The trace of a main-MCU update: the bootloader's commands by name, the
// Read Memory queries and the pieces of the image summarised in runs of
// consecutive addresses, on a clock of the test's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/Trace.h"

namespace quillet::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Address(std::uint32_t a) {
    Bytes b{std::uint8_t(a >> 24), std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)};
    b.push_back(std::uint8_t(b[0] ^ b[1] ^ b[2] ^ b[3]));
    return b;
}

Bytes Piece(std::size_t n) {
    Bytes b{std::uint8_t(n - 1)};
    std::uint8_t x = b[0];
    for (std::size_t i = 0; i < n; ++i) {
        b.push_back(std::uint8_t(i));
        x ^= std::uint8_t(i);
    }
    b.push_back(x);
    return b;
}

// The exchange the dialog has with the bootloader, then what `extra` sends.
std::string TraceOfUpdate(const std::vector<Bytes>& extra) {
    std::FILE* out = std::tmpfile();
    {
        Trace t(out, 1, [] { return std::uint64_t(0); });
        auto send = [&](const Bytes& b) { t.Sent(b.data(), b.size()); };
        t.Opened(1, "/dev/ttyUSB0", 115200, 8, 'E', 1, true);
        t.Event(FlowEventInfo{FlowEvent::BootloaderStarted, 0, 0, {}, {}});
        for (const Bytes& b : std::vector<Bytes>{
                 {0x7F}, {0x00, 0xFF}, {0x02, 0xFD},
                 {0x11, 0xEE}, Address(0x08000000), {0x03, 0xFC},
                 {0x11, 0xEE}, Address(0x1FFFF7E0), {0x01, 0xFE},
                 {0x43, 0xBC}, {0xFF, 0x00}})
            send(b);
        for (std::uint32_t a = 0x08000000; a < 0x08000180; a += 0x80) {
            send({0x31, 0xCE});
            send(Address(a));
            send(Piece(0x80));
        }
        for (const Bytes& b : extra) send(b);
        t.Event(FlowEventInfo{FlowEvent::BootloaderDone, 1, 0, {}, {}});
    }
    std::rewind(out);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) s.append(buf, n);
    std::fclose(out);
    return s;
}

TEST(TraceOfTheBootloader, CommandsByNameAndPiecesInRuns) {
    const std::string s = TraceOfUpdate({});
    const std::vector<std::string> lines = {
        "COM1  opened /dev/ttyUSB0 at 115200 8E1\n",
        "COM1  bootloader exchange starts\n",
        "COM1  bootloader sync (0x7f)\n",
        "COM1  bootloader: Get (0x00)\n",
        "COM1  bootloader: Get ID (0x02)\n",
        "COM1  bootloader: Read Memory 0x08000000..0x08000003, 1 piece\n",
        "COM1  bootloader: Read Memory 0x1ffff7e0..0x1ffff7e1, 1 piece\n",
        "COM1  bootloader: Erase (0x43)\n",
        "COM1  bootloader: erase all pages\n",
        "COM1  bootloader: Write Memory 0x08000000..0x0800017f, 3 pieces\n",
        "COM1  bootloader: every piece acknowledged\n",
    };
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = s.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "in order in\n" << s;
        at = found + line.size();
    }
}

TEST(TraceOfTheBootloader, OtherCommandsPageErasesAndStrayBytes) {
    const std::string s = TraceOfUpdate({{0x44, 0xBB}, {0x92, 0x6D}, {0x55, 0xAA}, {0x43, 0xBC}, {0x02, 0xFD},
                                         {0x01, 0x02, 0x03, 0x04}});
    // A command ends the run of pieces before it.
    EXPECT_LT(s.find("Write Memory 0x08000000..0x0800017f, 3 pieces"), s.find("Extended Erase (0x44)")) << s;
    EXPECT_NE(s.find("COM1  bootloader: Readout Unprotect (0x92)\n"), std::string::npos) << s;
    EXPECT_NE(s.find("COM1  bootloader: command (0x55)\n"), std::string::npos) << s;
    EXPECT_NE(s.find("COM1  bootloader: erase 3 pages\n"), std::string::npos) << s;
    EXPECT_NE(s.find("COM1  bootloader: 4 bytes\n"), std::string::npos) << s;
}

} // namespace
} // namespace quillet::cli
