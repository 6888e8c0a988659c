// The command line's trace on a clock of its own: the hex and text columns,
// the steps, and block streams summarised at -vv but not at -vvv.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/Trace.h"
#include "protocol/Frame.h"

namespace quillet::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BlockFrame(int number, std::uint8_t marker) {
    std::uint8_t payload[260] = {'0', std::uint8_t(number), std::uint8_t(number >> 8), marker};
    std::uint8_t frame[270];
    BuildRequestFrame(frame, {}, {}, 0x7878, payload, 260);
    return Bytes(frame, frame + 270);
}

FlowEventInfo Ev(FlowEvent e, long long a = 0, long long b = 0, std::string text = {}) {
    return FlowEventInfo{e, a, b, std::move(text), {}};
}

Bytes Ack(std::uint8_t status) {
    Bytes a{0xAB, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x78, 0x78, status};
    a.push_back(FrameChecksum(a.data(), a.size()));
    return a;
}

// Runs a search and a stream of `blocks` blocks (block `nak` asked for once
// again) through a trace of `level` and returns what it wrote.
std::string TraceOf(int level, int blocks, int nak = -1) {
    std::FILE* out = std::tmpfile();
    std::uint64_t now = 0;
    {
        Trace t(out, level, [&] { return now; });
        auto receive = [&](const Bytes& b) {
            for (auto x : b) t.Received(x);
            t.BurstEnd();
        };
        t.Opened(3, "/dev/ttyUSB0", 115200, 8, 'N', 1, true);
        const Bytes search{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x57};
        t.Sent(search.data(), search.size());
        now = 25;
        receive({0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x00, 0x00, 0x54});
        now = 225;
        t.Event(Ev(FlowEvent::SearchFound, 3));
        const std::string text = "\r\nDBG 1\r\nfpw 7c 06\r\n";
        t.Sent(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        receive({'c', 'n', 'd', ' ', '1', '2', '\r', '\n'});
        for (int n = 0; n < blocks; ++n) {
            const bool last = n == blocks - 1;
            const Bytes f = BlockFrame(n, last ? 0x40 : 0x00);
            for (int again = 0; again < (n == nak ? 2 : 1); ++again) {
                t.Sent(f.data(), f.size());
                t.Event(Ev(FlowEvent::BlockSent, n, last ? 0x40 : 0, again ? "resend" : ""));
                if (last && !again) t.Event(Ev(FlowEvent::StreamFinished));
                now += 25;
                receive(Ack(n == nak && !again ? 1 : 0));
                t.Event(Ev(FlowEvent::BlockAcked, n == nak && !again ? 1 : 0));
            }
        }
        now = 1234567;
        t.Closed();
    }
    std::rewind(out);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) s.append(buf, n);
    std::fclose(out);
    return s;
}

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(Trace, BytesGoOutAsHexWithTheirTextAndTheStepsWithTimeStamps) {
    const std::string s = TraceOf(2, 3);
    EXPECT_TRUE(Has(s, "    0.000  COM3  opened /dev/ttyUSB0 at 115200 8N1\n")) << s;
    EXPECT_TRUE(Has(s, "    0.000  COM3  search frame for the signal generator\n")) << s;
    EXPECT_TRUE(Has(s, "    0.000  COM3  TX   10  aa 00 00 05 00 00 00 02  f8 57"
                       "                   |.........W|\n")) << s;
    EXPECT_TRUE(Has(s, "    0.025  COM3  RX   12  ab 00 00 07 00 00 00 02  f8 00 00 54"
                       "             |...........T|\n")) << s;
    EXPECT_TRUE(Has(s, "    0.225  found the signal generator on COM3\n")) << s;
    EXPECT_TRUE(Has(s, "COM3  sent slot command \"\\r\\nDBG 1\\r\\nfpw 7c 06\\r\\n\"\n")) << s;
    EXPECT_TRUE(Has(s, "COM3  received \"cnd 12\"\n")) << s;
    // A frame of 270 bytes: 17 lines of 16, continuation lines under the first.
    const std::string first = "COM3  TX  270  aa 00 00 09 01 00 00 78  78 30 00 00 00 00 00 00 |.......xx0......|\n";
    ASSERT_TRUE(Has(s, first)) << s;
    EXPECT_TRUE(Has(s, first + std::string(26, ' ') + "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00 |"))
        << s;
    EXPECT_TRUE(Has(s, " 1234.567  COM3  closed\n")) << s;
}

TEST(Trace, BlockStreamsAreSummarisedAtLevelTwoOnly) {
    const std::string two = TraceOf(2, 40, 20);
    // Blocks 0..2 in full, 3..19 summarised, the request to send 20 again
    // and the block itself in full, then 21..38, and the last in full.
    EXPECT_TRUE(Has(two, "COM3  blocks 3..20: 270 bytes each, 17 of 18 acknowledged\n")) << two;
    EXPECT_TRUE(Has(two, "COM3  the instrument asks for block 20 again (status 1)\n")) << two;
    EXPECT_TRUE(Has(two, "COM3  block 20 sent again\n")) << two;
    EXPECT_TRUE(Has(two, "COM3  blocks 21..38: 270 bytes each, all acknowledged\n")) << two;
    EXPECT_TRUE(Has(two, "78 30 27 00 40")) << "the last block (39 = 0x27) in full";
    EXPECT_FALSE(Has(two, "78 30 05 00 00")) << "block 5 is in the summary";

    const std::string three = TraceOf(3, 40);
    EXPECT_FALSE(Has(three, "blocks 3..")) << three.substr(0, 2000);
    EXPECT_TRUE(Has(three, "78 30 05 00 00"));

    // Level 1: the steps only.
    const std::string one = TraceOf(1, 40);
    EXPECT_TRUE(Has(one, "COM3  block stream starts with block 0\n")) << one;
    EXPECT_TRUE(Has(one, "COM3  last block 39 acknowledged: the stream is complete\n")) << one;
    EXPECT_FALSE(Has(one, " TX ")) << one;
}

} // namespace
} // namespace quillet::cli
