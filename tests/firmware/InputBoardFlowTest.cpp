// The input-board loader on its own, with no dialog: driven by the board's
// bytes and the write completions through a recording link, as any front
// end would run it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/InputBoardFlow.h"
#include "support/RecordingLink.h"
#include "firmware/Crc16.h"
#include "firmware/RamLoader.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::RecordingLink;

std::uint32_t Big32(const Bytes& b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// 10,000 bytes: two full chunks and a short one, each frame sent in pieces
// of at most 512 bytes; the frames put back together are the firmware.
TEST(InputBoardFlow, AWholeFirmwareGoesOutInCheckedChunkFramesAndEndsOnce) {
    StreamState firmware;
    for (int i = 0; i < 10000; ++i) firmware.buffer.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    firmware.size = static_cast<std::uint32_t>(firmware.buffer.size());
    RecordingLink link;
    InputBoardFlow flow(link, firmware);
    EXPECT_FALSE(flow.Active());
    flow.Begin();
    ASSERT_TRUE(flow.Active());
    EXPECT_EQ(link.sent.back(), (Bytes{0x03, 0x09, 0xF4}));
    EXPECT_EQ(link.EventKinds(), std::vector<FlowEvent>{FlowEvent::InputBoardLoaderStarted});

    flow.OnByte(0x55);  // not awaited: nothing moves
    EXPECT_EQ(link.sent.size(), 1u);
    const FlowSnapshot loading = flow.Snapshot(3);
    EXPECT_EQ(loading.what, "the update of input board 3");
    EXPECT_EQ(loading.stage, kStageRamLoader);
    EXPECT_EQ(loading.progress, "while its RAM loader was being loaded");
    EXPECT_EQ(loading.total, 10000u);
    EXPECT_TRUE(loading.writing);
    flow.OnByte(0xF1);
    flow.OnByte('.');
    const std::size_t beforeLoader = link.sent.size();
    while (!flow.Streaming() && link.sent.size() < 100) {
        flow.OnByte(0xF1);
        flow.OnByte(0xEF);
        flow.OnByte(0xDF);
    }
    ASSERT_TRUE(flow.Streaming());
    std::size_t loaderBytes = 0;
    for (std::size_t i = beforeLoader; i < link.sent.size(); ++i)
        if (link.sent[i].size() > 5 && link.sent[i][1] == 0x13) loaderBytes += link.sent[i].size() - 5;
    EXPECT_EQ(loaderBytes, kRamLoaderImageSize);

    Bytes received;
    int finished = 0;
    for (int prompt = 0; prompt < 10 && !finished; ++prompt) {
        flow.OnByte(0xF1);
        ASSERT_EQ(link.sent.back(), (Bytes{0x03, 0x10, 0xED}));
        Bytes frame;
        for (int guard = 0; guard < 20; ++guard) {
            const std::size_t before = link.sent.size();
            const auto step = flow.OnWriteDone();
            if (step == InputBoardFlow::Step::Finished) ++finished;
            if (step == InputBoardFlow::Step::None || step == InputBoardFlow::Step::Finished) break;
            for (std::size_t i = before; i < link.sent.size(); ++i) {
                EXPECT_LE(link.sent[i].size(), 512u);
                frame.insert(frame.end(), link.sent[i].begin(), link.sent[i].end());
            }
        }
        if (frame.empty()) continue;
        ASSERT_GE(frame.size(), 12u);
        const std::uint32_t length = Big32(frame, 4);
        ASSERT_EQ(frame.size(), length + 12u);
        EXPECT_EQ(Big32(frame, 0), 0x00A00000u + received.size());
        const std::uint16_t crc = ComputeCrc16(frame.data() + 8, length);
        EXPECT_EQ(frame[length + 10], crc >> 8);
        EXPECT_EQ(frame[length + 11], crc & 0xFF);
        received.insert(received.end(), frame.begin() + 8, frame.begin() + 8 + length);
        EXPECT_FLOAT_EQ(flow.Percent(), 100.0f * static_cast<float>(received.size()) / 10000.0f);
        const FlowSnapshot writing = flow.Snapshot(3);
        EXPECT_EQ(writing.stage, kStageWriting);
        EXPECT_EQ(writing.done, flow.BytesSent());
        EXPECT_EQ(writing.progress, "after " + WithThousands(writing.done) + " of 10,000 bytes");
    }
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(received == firmware.buffer);
    EXPECT_FALSE(flow.Active());
    EXPECT_EQ(link.Count(FlowEvent::InputBoardChunk), 3);
    // Each awaited byte restarted the watch; nothing else did.
    EXPECT_GT(link.answers, 3);
}

} // namespace
} // namespace quillet
