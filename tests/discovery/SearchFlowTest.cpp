// The search on its own, with no dialog: the frame it sends to a port, the
// reply it takes for the instrument's, and what it keeps of ports that
// could not be opened.
#include <gtest/gtest.h>

#include <vector>

#include "engine/SearchFlow.h"
#include "support/RecordingLink.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Feeds `bytes`; true when the device was found, `underWay` counts the
// bytes that moved the scan's wait.
bool Feed(SearchFlow& flow, const Bytes& bytes, FrameAddress device, int& rx, int* underWay = nullptr) {
    for (std::uint8_t b : bytes) {
        const bool moved = flow.OnByte(b, rx, device);
        if (underWay) *underWay += moved;
    }
    return flow.Found();
}

TEST(SearchFlow, TheFrameGoesToEachProbedPortAndOnlyTheDevicesReplyMatches) {
    SearchState state;
    test::RecordingLink link;
    SearchFlow flow(link, state);
    const FrameAddress analyzer{0x01, 0x00};
    flow.Begin(analyzer, {0x00, 0x00}, 5);
    EXPECT_FALSE(flow.Running());
    flow.Probe();
    flow.Probe();
    ASSERT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(link.sent[0], (Bytes{0xAA, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x56}));  // sums to zero
    EXPECT_EQ(link.sent[1], link.sent[0]);
    EXPECT_TRUE(flow.Running());
    EXPECT_EQ(flow.SavedPort(), 5u);

    int rx = kRxIdle;
    const Bytes generatorReply = {0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x00, 0x00, 0x51};
    EXPECT_FALSE(Feed(flow, generatorReply, analyzer, rx));
    EXPECT_EQ(rx, kRxIdle);
    // Noise, a header broken off by a wrong code, then the analyzer's reply:
    // the checksum is not looked at; every byte after a header moves the wait.
    const Bytes broken = {0x13, 0xAB, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03};
    EXPECT_FALSE(Feed(flow, broken, analyzer, rx));
    int underWay = 0;
    const Bytes reply = {0xAB, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x01, 0x00, 0xEE};
    EXPECT_TRUE(Feed(flow, reply, analyzer, rx, &underWay));
    EXPECT_EQ(underWay, 10);  // the address .. the device address, not the header or the byte after
}

TEST(SearchFlow, OneHintOfEachKindOfRefusalIsKeptForAScanThatFoundNothing) {
    SearchState state;
    test::RecordingLink link;
    SearchFlow flow(link, state);
    flow.Begin({0x00, 0x00}, {0x00, 0x00}, 1);
    flow.NoteRefusal(OpenRefusal::Absent, "no such device");
    flow.NoteRefusal(OpenRefusal::Busy, "in use");
    EXPECT_EQ(flow.Hints(), "");
    flow.NoteRefusal(OpenRefusal::NotSerial, "/tmp/x is no serial port");
    flow.NoteRefusal(OpenRefusal::Denied, "join the group dialout");
    flow.NoteRefusal(OpenRefusal::Denied, "a second denied port");
    flow.NoteRefusal(OpenRefusal::Unusable, "could not be set up");
    EXPECT_EQ(flow.Hints(), "join the group dialout\n/tmp/x is no serial port");
    flow.Begin({0x00, 0x00}, {0x00, 0x00}, 1);  // a new search starts without them
    EXPECT_EQ(flow.Hints(), "");
}

} // namespace
} // namespace quillet
