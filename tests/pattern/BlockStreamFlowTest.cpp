// The block stream and the slot-erase wait on their own, with no dialog:
// driven by acknowledgement statuses, bytes and ticks through a recording
// link, as any front end would run them.
#include <gtest/gtest.h>

#include <vector>

#include "engine/BlockStreamFlow.h"
#include "engine/EraseWaitFlow.h"
#include "protocol/Frame.h"
#include "support/RecordingLink.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Flow = BlockStreamFlow;

StreamState StreamOf(std::size_t n) {
    StreamState st;
    for (std::size_t i = 0; i < n; ++i) st.buffer.push_back(static_cast<std::uint8_t>(i * 13 + i / 256));
    st.size = static_cast<std::uint32_t>(n);
    return st;
}

// The data of the blocks the flow sent as command frames, put back together.
Bytes Joined(const test::RecordingLink& link, std::size_t from = 0) {
    Bytes data;
    for (std::size_t i = from; i < link.commands.size(); ++i)
        data.insert(data.end(), link.commands[i].payload.begin() + kBlockHeader, link.commands[i].payload.end());
    return data;
}

// 1,000 bytes: four blocks numbered from the first, the last zero-padded and
// marked last; the stream is whole only at its fourth acknowledgement.
TEST(BlockStreamFlow, AStreamGoesOutBlockByBlockAndCompletesAtItsLastAcknowledgement) {
    StreamState st = StreamOf(1000);
    test::RecordingLink link;
    Flow flow(link, st);
    const auto first = flow.Begin({kStreamAux, 7, kMarkerNone, Flow::FirstFrame::Command});
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->full);
    EXPECT_EQ(first->position, 255u);  // the index of the first block's last byte
    EXPECT_TRUE(flow.Running());
    std::vector<Flow::Step> steps;
    for (int ack = 0; ack < 4; ++ack) steps.push_back(flow.OnAck(0).step);
    EXPECT_EQ(steps, (std::vector<Flow::Step>{Flow::Step::Next, Flow::Step::Next, Flow::Step::Next,
                                               Flow::Step::Completed}));
    EXPECT_FALSE(flow.Running());
    EXPECT_TRUE(flow.Complete());
    ASSERT_EQ(link.commands.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(link.commands[i].code, kCodeBlock);
        EXPECT_EQ(link.commands[i].payload[0], kBlockSubAux);
        EXPECT_EQ(link.commands[i].payload[1], 7 + i);
        EXPECT_EQ(link.commands[i].payload[3], i == 3 ? kMarkerLast : kMarkerNone);
    }
    Bytes want = st.buffer;
    want.resize(4 * kBlockData, 0);
    EXPECT_EQ(Joined(link), want);
    EXPECT_EQ(link.Count(FlowEvent::StreamFinished), 1);
    EXPECT_EQ(link.percents.back(), 100.0f);  // the partial last block
    EXPECT_EQ(flow.DoneText(), "the AUX FPGA image upload: 4 blocks acknowledged");
    // A late, stray acknowledgement carries nothing on and ends nothing again.
    EXPECT_EQ(flow.OnAck(0).step, Flow::Step::None);
    EXPECT_EQ(link.commands.size(), 4u);
}

// A refused block goes out again unchanged, the last one included; the
// resend is told as such and the stream goes on from there.
TEST(BlockStreamFlow, ARefusedBlockIsSentAgainUnchanged) {
    StreamState st = StreamOf(512);
    test::RecordingLink link;
    Flow flow(link, st);
    ASSERT_TRUE(flow.Begin({kStreamFpga, 0, kMarkerNone, Flow::FirstFrame::Command}));
    EXPECT_EQ(flow.OnAck(1).step, Flow::Step::Resent);
    EXPECT_EQ(link.commands[1].payload, link.commands[0].payload);
    EXPECT_EQ(link.events.back().text, "resend");
    EXPECT_EQ(flow.OnAck(0).step, Flow::Step::Next);
    const Flow::AckStep again = flow.OnAck(2);
    EXPECT_EQ(again.step, Flow::Step::Resent);
    EXPECT_TRUE(again.sent.Last());
    EXPECT_EQ(flow.OnAck(0).step, Flow::Step::Completed);
    ASSERT_EQ(link.commands.size(), 4u);
    EXPECT_EQ(link.commands[3].payload, link.commands[2].payload);
    EXPECT_EQ(Bytes(link.commands[2].payload.begin() + kBlockHeader, link.commands[2].payload.end()),
              Bytes(st.buffer.begin() + kBlockData, st.buffer.end()));
}

// After a stop no block goes out, a late acknowledgement completes nothing,
// and the words say how far it came (block 11100 + 2 x 300 onwards).
TEST(BlockStreamFlow, AStoppedStreamSendsNothingMoreAndNeverCompletes) {
    StreamState st = StreamOf(300 * kBlockData);
    st.slot = 2;
    test::RecordingLink link;
    Flow flow(link, st);
    ASSERT_TRUE(flow.Begin({kStreamPanel, kPanelBlockBase + 2 * kPanelBlocksPerSlot, kMarkerPanelFirst,
                            Flow::FirstFrame::Command}));
    for (int i = 0; i < 4; ++i) flow.OnAck(0);
    const FlowSnapshot running = flow.Snapshot();
    EXPECT_EQ(running.kind, FlowKind::PanelStream);
    EXPECT_EQ(running.slot, 2);
    EXPECT_EQ(running.done, 4u);
    EXPECT_EQ(running.total, 300u);
    EXPECT_EQ(running.what, "the panel-image upload to slot 2");
    flow.Stop();
    EXPECT_FALSE(flow.Running());
    const std::size_t sent = link.commands.size();
    // The late acknowledgement of the block under way is counted, and ends nothing.
    EXPECT_EQ(flow.OnAck(0).step, Flow::Step::None);
    EXPECT_EQ(link.commands.size(), sent);
    EXPECT_FALSE(flow.Running());
    EXPECT_EQ(flow.TimeoutText(10000),
              "time-out: the instrument has not acknowledged a block for 10 s; the last acknowledged block is "
              "block 11704 (5 of 300 blocks acknowledged)");
}

// The hand-built first block: device address 00 00, checksum; a source of
// less than a block is that block, padded and marked last. Nothing for an
// empty source, and until the first block a stray acknowledgement finds
// nothing to send.
TEST(BlockStreamFlow, HandBuiltFirstBlocksShortSourcesAndEmptyOnes) {
    StreamState st = StreamOf(40);
    test::RecordingLink link;
    Flow flow(link, st);
    flow.Prepare(3);
    EXPECT_EQ(flow.OnAck(1).step, Flow::Step::None);
    EXPECT_TRUE(link.commands.empty());
    const auto sent = flow.Begin({kStreamPattern, 0, kMarkerNone, Flow::FirstFrame::HandBuilt});
    ASSERT_TRUE(sent);
    EXPECT_TRUE(sent->Last());
    EXPECT_FALSE(sent->full);
    ASSERT_EQ(link.sent.size(), 1u);
    const Bytes& frame = link.sent[0];
    ASSERT_EQ(frame.size(), kBlockFrameBytes);
    EXPECT_EQ(frame[1], 0x00);
    EXPECT_EQ(frame[2], 0x00);
    EXPECT_EQ(frame[kBlockMarkerAt], kMarkerLast);
    std::uint8_t sum = 0;
    for (std::uint8_t b : frame) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(flow.Snapshot().what, "the user-pattern upload to slot 3");

    StreamState empty;
    test::RecordingLink quiet;
    Flow none(quiet, empty);
    EXPECT_FALSE(none.Begin({kStreamFpga, 0, kMarkerNone, Flow::FirstFrame::Command}));
    EXPECT_TRUE(quiet.events.empty());
    EXPECT_FALSE(none.Running());
}

// The erase wait: the slot command, the confirmation only at a line feed
// after "cnd 12" (case matters), and the fifty-first tick's time-out.
TEST(EraseWaitFlow, ConfirmationAtTheLineFeedAndTheTickLimit) {
    test::RecordingLink link;
    EraseWaitFlow wait(link);
    wait.Begin(4);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(std::string(link.sent[0].begin(), link.sent[0].end()), "\r\nDBG 1\r\nfpw 7c 09\r\ncnd 12\r\n");
    bool confirmed = false;
    for (char c : std::string("CND 12\r\nok cnd 12")) confirmed |= wait.OnByte(static_cast<std::uint8_t>(c));
    EXPECT_FALSE(confirmed);
    EXPECT_TRUE(wait.OnByte('\n'));
    EXPECT_FALSE(wait.Waiting());
    EXPECT_EQ(wait.OnTick(), EraseWaitFlow::Tick::Idle);

    wait.Begin(1);
    int counted = 0;
    EraseWaitFlow::Tick tick;
    while ((tick = wait.OnTick()) == EraseWaitFlow::Tick::Waiting) ++counted;
    EXPECT_EQ(tick, EraseWaitFlow::Tick::TimedOut);
    EXPECT_EQ(counted, 50);
    wait.Stop();
    wait.Stop();  // told once
    EXPECT_EQ(link.Count(FlowEvent::EraseWaitEnded), 2);  // the confirmation, then the stop
    EXPECT_EQ(EraseWaitFlow::TimeoutText(),
              "time-out: the instrument did not confirm the erase of the slot within 51 s (no \"cnd 12\" line); "
              "nothing was sent");
}

} // namespace
} // namespace quillet
