// The way into boot mode on its own, with no dialog: the commands that
// restart the MCUs and boards, and the banners that end the wait.
#include <gtest/gtest.h>

#include <string>

#include "engine/BootEntryFlow.h"
#include "engine/InputBoardFlow.h"
#include "support/RecordingLink.h"

namespace quillet {
namespace {

using Banner = BootEntryFlow::Banner;

std::string Text(const std::vector<std::uint8_t>& b) { return std::string(b.begin(), b.end()); }

// The banner the flow saw at the end of `line` (the last carriage return's).
Banner Receive(BootEntryFlow& flow, const std::string& line) {
    Banner seen = Banner::None;
    for (char c : line) seen = flow.OnByte(static_cast<std::uint8_t>(c));
    return seen;
}

TEST(BootEntryFlow, EachEntrySendsItsCommandAndWaitsWithTheAnswerWatch) {
    EntryState state;
    test::RecordingLink link;
    BootEntryFlow flow(link, state);
    EXPECT_FALSE(flow.Waiting());
    flow.EnterMainMcu();
    flow.EnterSubMcu(3);
    flow.EnterSubMcu(BootEntryFlow::kLastSubMcu);
    flow.EnterInputBoard(2);
    ASSERT_EQ(link.sent.size(), 6u);
    EXPECT_EQ(Text(link.sent[0]), "\r\nISP 32 1\r\n");
    EXPECT_EQ(Text(link.sent[1]), "\r\n");
    EXPECT_EQ(Text(link.sent[2]), "UBP 32 2  3\r\n");
    EXPECT_EQ(Text(link.sent[4]), "UBP 32 2 20\r\n");
    EXPECT_EQ(Text(link.sent[5]), "\r\nUBP 32 2 2\r\n");
    EXPECT_EQ(link.pauses, (std::vector<unsigned>{100, 100}));  // between the sub-MCU's two writes
    EXPECT_EQ(link.answers, 4);
    EXPECT_TRUE(flow.Waiting());
    EXPECT_EQ(flow.Board(), 2);
}

TEST(BootEntryFlow, BannersEndTheWaitOnlyAtTheirCarriageReturn) {
    EntryState state;
    test::RecordingLink link;
    BootEntryFlow flow(link, state);
    flow.EnterMainMcu();
    EXPECT_EQ(flow.Snapshot().kind, FlowKind::McuEntry);
    EXPECT_EQ(Receive(flow, "MCU ISP MODE..."), Banner::None);  // no carriage return yet
    EXPECT_EQ(Receive(flow, "\r"), Banner::IspMode);
    EXPECT_EQ(Receive(flow, "isp mode...\r"), Banner::None);
    EXPECT_EQ(Receive(flow, "UXD 0X\r"), Banner::Ubd00);  // taken loosely: 4 of 6
    EXPECT_EQ(Receive(flow, "ABC 12\r"), Banner::None);
    // A board's banner counts only while a board is being entered.
    EXPECT_EQ(Receive(flow, "UBD 03\r"), Banner::Ubd00);
    flow.Reset();
    EXPECT_FALSE(flow.Waiting());
    EXPECT_EQ(flow.Snapshot().kind, FlowKind::None);
    flow.EnterInputBoard(3);
    EXPECT_EQ(Receive(flow, " ISP MODE...\r"), Banner::None);
    EXPECT_EQ(Receive(flow, "UBD 03\r"), Banner::InputBoard);
    EXPECT_EQ(flow.Snapshot().what, "the update of input board 3");
    flow.HandedOver();  // the main-MCU entry only
    EXPECT_EQ(flow.Snapshot().kind, FlowKind::BoardEntry);
}

// The operator's words for a wait that had no answer, the time-out rounded
// to whole seconds; the input board's name the bytes it had taken.
TEST(BootEntryFlow, TimeOutWordsOfEachEntry) {
    EXPECT_EQ(BootEntryFlow::TimeoutText(FlowKind::McuEntry, 10000),
              "time-out: the instrument has not answered for 10 s (no boot-mode answer)");
    EXPECT_EQ(BootEntryFlow::TimeoutText(FlowKind::SubMcuEntry, 2499),
              "time-out: the instrument has not answered for 2 s (no boot-mode answer from the sub-MCU)");
    EXPECT_EQ(InputBoardFlow::TimeoutText(1500, 0, 70000),
              "time-out: the input board has not answered for 2 s (0 of 70000 bytes sent)");
}

} // namespace
} // namespace quillet
