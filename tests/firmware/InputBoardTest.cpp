// The input-board loader on the virtual clock: a board that prompts as the
// boot ROM and the RAM loader do, write completions delivered by the test.
#include <algorithm>
#include <numeric>

#include "FirmwareSupport.h"
#include "firmware/Crc16.h"
#include "firmware/RamLoader.h"

namespace quillet {
namespace {

using test::Bytes;

struct Chunk {
    std::uint32_t address;
    std::uint32_t length;
    Bytes data;
    std::uint16_t crc;
    std::vector<std::size_t> writeSizes;
    float progress;
};

struct BoardFixture : test::FirmwareFixture {
    std::vector<float> progressAtWrite;
    test::ScratchDir scratch;

    void SetUp() override {
        test::FirmwareFixture::SetUp();
        port.onWrite = [this](const Bytes&) { progressAtWrite.push_back(dlg.Progress()); };
    }

    // The button of input board 1 with `image` as its file, then the
    // board's banner: its loader takes over.
    void HandOver(const Bytes& image) {
        host.fileAnswers.push_back(scratch.Write("board.bin", image));
        dlg.OnInputBoardFirmware(1);
        ASSERT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardEntry);
        for (char c : std::string("UBD 01\r")) dlg.OnSerialRxChar(static_cast<std::uint8_t>(c), 1);
        ASSERT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardLoader);
        ASSERT_EQ(dlg.CurrentFlow().stage, kStageRamLoader);
    }
    // Boot ROM and RAM loader up to the first chunk prompt.
    void LoadRamLoader() {
        port.Receive({0xF1});
        port.Receive({'.'});
        for (int i = 0; i < 22; ++i) port.Receive({0xF1});
        port.Receive({0xF1});   // runs the stub
        port.Receive({0xEF});   // the RAM loader is running
        port.Receive({0xDF});
        ASSERT_EQ(port.writes.back(), (Bytes{0x05, 0x19, 0xFF, 0xFF, 0xE4}));
        ASSERT_EQ(dlg.CurrentFlow().stage, kStageWriting);
    }
    // One prompt, then write completions until one sends nothing: the
    // board has to prompt again (or the stream has ended).
    void PromptAndComplete() {
        port.Receive({0xF1});
        for (int guard = 0; guard < 100; ++guard) {
            const std::size_t before = port.writes.size();
            port.WriteDone();
            if (port.writes.size() == before) break;
        }
    }
    // Splits what went out after the 03 10 ED announcements into frames.
    std::vector<Chunk> Chunks(std::size_t fromWrite) const {
        std::vector<Chunk> out;
        std::size_t i = fromWrite;
        while (i < port.writes.size()) {
            if (port.writes[i] != Bytes{0x03, 0x10, 0xED}) {
                ++i;
                continue;
            }
            ++i;
            Bytes frame;
            Chunk c{};
            while (i < port.writes.size() && port.writes[i] != Bytes{0x03, 0x10, 0xED}) {
                frame.insert(frame.end(), port.writes[i].begin(), port.writes[i].end());
                c.writeSizes.push_back(port.writes[i].size());
                c.progress = progressAtWrite[i];
                ++i;
            }
            if (frame.size() < 12) continue;
            c.address = (std::uint32_t{frame[0]} << 24) | (std::uint32_t{frame[1]} << 16) | (std::uint32_t{frame[2]} << 8) | frame[3];
            c.length = (std::uint32_t{frame[4]} << 24) | (std::uint32_t{frame[5]} << 16) | (std::uint32_t{frame[6]} << 8) | frame[7];
            c.data.assign(frame.begin() + 8, frame.end() - 4);
            EXPECT_EQ(frame[frame.size() - 4], 0);
            EXPECT_EQ(frame[frame.size() - 3], 0);
            c.crc = static_cast<std::uint16_t>((frame[frame.size() - 2] << 8) | frame.back());
            out.push_back(std::move(c));
        }
        return out;
    }
};

TEST_F(BoardFixture, RamLoaderGoesOutInTwentyTwoPieces) {
    ASSERT_EQ(kRamLoaderImageSize, 5446u);
    HandOver(test::Pattern(100));
    port.Receive({0xF1});
    EXPECT_EQ(host.sleeps.back().second, 100u);
    port.Receive({'.'});
    ASSERT_EQ(port.writes.back(),
              (Bytes{0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA, 0x10, 0x05, 0x00, 0x00, 0x8A}));
    const std::size_t first = port.writes.size();
    for (int i = 0; i < 22; ++i) port.Receive({0xF1});
    ASSERT_EQ(port.writes.size(), first + 22);
    EXPECT_EQ(dlg.CurrentFlow().stage, kStageRamLoader);

    Bytes loader;
    for (int i = 0; i < 22; ++i) {
        const Bytes& p = port.writes[first + i];
        const std::uint32_t address = 0x0510 + 250u * static_cast<std::uint32_t>(i);
        ASSERT_EQ(p[0], p.size());
        EXPECT_EQ(p[1], 0x13);
        EXPECT_EQ(p[2], address >> 8);
        EXPECT_EQ(p[3], address & 0xFF);
        EXPECT_EQ(std::accumulate(p.begin(), p.end(), 0u) % 256, 0u) << "piece " << i;
        loader.insert(loader.end(), p.begin() + 4, p.end() - 1);
    }
    const Bytes& last = port.writes[first + 21];
    EXPECT_EQ(last[0], 0xC9);
    EXPECT_EQ(last[2], 0x19);
    EXPECT_EQ(last[3], 0x92);
    EXPECT_EQ(loader, Bytes(kRamLoaderImage, kRamLoaderImage + 5446));

    port.Receive({0xF1});
    EXPECT_EQ(port.writes.back(), (Bytes{0x05, 0x1D, 0x05, 0x00, 0xD9}));
    port.Receive({0xEF});
    EXPECT_EQ(port.writes.back(), (Bytes{0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC}));
    port.Receive({0xDF});
    EXPECT_EQ(port.writes.back(), (Bytes{0x05, 0x19, 0xFF, 0xFF, 0xE4}));
}

TEST_F(BoardFixture, StatesIgnoreTheWrongByte) {
    HandOver(test::Pattern(100));
    const std::size_t w = port.writes.size();
    port.Receive({'.', 0xEF, 0xDF, 0x79});  // state 0 waits for 0xF1
    EXPECT_EQ(port.writes.size(), w);
    port.Receive({0xF1});                   // still state 0: its answer
    ASSERT_EQ(port.writes.size(), w + 1);
    EXPECT_EQ(port.writes.back(), (Bytes{0x04, 0x20, 0x00, 0xDC}));
    port.Receive({0xF1, 0xEF});             // state 1 waits for '.'
    EXPECT_EQ(port.writes.size(), w + 1);
    port.Receive({'.'});                    // still state 1: the stub
    ASSERT_EQ(port.writes.size(), w + 2);
    EXPECT_EQ(port.writes.back()[1], 0x13);
    EXPECT_EQ(port.writes.back().size(), 14u);
    port.Receive({'.', 0xEF});              // state 2 waits for 0xF1
    EXPECT_EQ(port.writes.size(), w + 2);
    port.Receive({0xF1});                   // still state 2: the first piece of the RAM loader
    ASSERT_EQ(port.writes.size(), w + 3);
    EXPECT_EQ(port.writes.back().size(), 255u);
    EXPECT_EQ(port.writes.back()[2], 0x05);
    EXPECT_EQ(port.writes.back()[3], 0x10);
}

TEST_F(BoardFixture, FileOf10000BytesGoesOutAsThreeChunks) {
    const Bytes image = test::Pattern(10000, 4);
    HandOver(image);
    LoadRamLoader();
    const std::size_t from = port.writes.size();
    PromptAndComplete();
    PromptAndComplete();
    PromptAndComplete();
    // The last chunk was longer than 500 bytes: the loader waits for a prompt.
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardLoader);
    EXPECT_TRUE(EventsOf(FlowEvent::InputBoardDone).empty());
    PromptAndComplete();                // its prompt's completion ends the stream

    const auto chunks = Chunks(from);
    ASSERT_EQ(chunks.size(), 3u);
    const std::uint32_t addresses[3] = {0x00A00000, 0x00A01000, 0x00A02000};
    const std::uint32_t lengths[3] = {4096, 4096, 1808};
    const char* progress[3] = {"40.96", "81.92", "100"};
    Bytes joined;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(chunks[i].address, addresses[i]);
        EXPECT_EQ(chunks[i].length, lengths[i]);
        ASSERT_EQ(chunks[i].data.size(), lengths[i]);
        EXPECT_EQ(chunks[i].crc, ComputeCrc16(chunks[i].data.data(), chunks[i].data.size()));
        EXPECT_EQ(FormatProgress(chunks[i].progress), progress[i]);
        joined.insert(joined.end(), chunks[i].data.begin(), chunks[i].data.end());
    }
    EXPECT_EQ(joined, image);
    EXPECT_EQ(chunks[0].writeSizes, (std::vector<std::size_t>{512, 512, 512, 512, 512, 512, 512, 512, 12}));
    EXPECT_EQ(chunks[2].writeSizes, (std::vector<std::size_t>{512, 512, 512, 284}));
    // The pause before each frame starts on an empty line: the
    // announcements (one per frame and the last, whose completion ends the
    // load), and nothing else of the whole load, complete only once they
    // have left it.
    std::vector<std::size_t> announcements;
    for (std::size_t i = 0; i < port.writes.size(); ++i)
        if (port.writes[i] == Bytes{0x03, 0x10, 0xED}) announcements.push_back(i);
    EXPECT_EQ(announcements.size(), 4u);
    EXPECT_EQ(port.toLine, announcements);
    // The load's own writes all bring their completion: the stream is chained on it.
    EXPECT_TRUE(std::all_of(port.untold.begin(), port.untold.end(), [&](std::size_t i) { return i < from; }));

    // Neither the loader nor the board's entry runs any more: a prompt or
    // a completion sends nothing.
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    const std::size_t sent = port.writes.size();
    port.Receive({0xF1});
    port.WriteDone();
    EXPECT_EQ(port.writes.size(), sent);
    EXPECT_EQ(host.TimerPeriod(TIMER_CLOSE), 1000u);
    EXPECT_EQ(EventsOf(FlowEvent::InputBoardChunk).size(), 3u);
    EXPECT_EQ(EventsOf(FlowEvent::InputBoardChunk)[2].a, 0x00A02000);
    EXPECT_EQ(EventsOf(FlowEvent::InputBoardChunk)[2].b, 1808);
    EXPECT_EQ(EventsOf(FlowEvent::InputBoardDone).size(), 1u);
    host.Advance(1000);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(BoardFixture, PiecesOfAFrameFollowWriteCompletions) {
    HandOver(test::Pattern(5000));
    LoadRamLoader();
    port.Receive({0xF1});
    const std::size_t w = port.writes.size();
    EXPECT_EQ(port.writes.back(), (Bytes{0x03, 0x10, 0xED}));
    port.WriteDone();  // the announcement went out: the first piece follows
    EXPECT_EQ(port.writes.size(), w + 1);
    EXPECT_EQ(port.writes.back().size(), 512u);
    // A pause of 1 ms before each new frame, none between its pieces.
    EXPECT_EQ(host.sleeps.back().second, 1u);
    const std::size_t sleeps = host.sleeps.size();
    for (int i = 0; i < 8; ++i) port.WriteDone();
    EXPECT_EQ(port.writes.size(), w + 9);
    EXPECT_EQ(port.writes.back().size(), 12u);
    EXPECT_EQ(host.sleeps.size(), sleeps);
    // Now the board must prompt: a completion sends nothing.
    port.WriteDone();
    EXPECT_EQ(port.writes.size(), w + 9);
}

TEST_F(BoardFixture, FileOf100BytesEndsWithoutAnotherPrompt) {
    const Bytes image = test::Pattern(100, 8);
    HandOver(image);
    LoadRamLoader();
    const std::size_t from = port.writes.size();
    port.Receive({0xF1});
    port.WriteDone();
    ASSERT_EQ(port.writes.size(), from + 2);
    EXPECT_EQ(port.writes.back().size(), 112u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardLoader);
    port.WriteDone();  // ends the stream without waiting for 0xF1
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_EQ(EventsOf(FlowEvent::InputBoardDone).size(), 1u);
    EXPECT_EQ(port.writes.size(), from + 2);
    const auto chunks = Chunks(from);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].data, image);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "100");
    host.Advance(999);
    EXPECT_TRUE(dlg.IsPortOpen());
    host.Advance(1);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(BoardFixture, PortButtonCloseEndsAStalledLoader) {
    HandOver(test::Pattern(100));
    port.Receive({0xF1, '.'});
    ASSERT_EQ(port.writes.back().size(), 14u);  // the stub: the RAM loader's pieces are next
    dlg.OnPortButton();  // the board went silent; the operator closes the port
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    dlg.OnPortButton();
    const std::size_t w = port.writes.size();
    port.Receive({0xF1, 0xF1});
    EXPECT_EQ(port.writes.size(), w);
}

TEST_F(BoardFixture, AnyNewFlowEndsAStalledStream) {
    HandOver(test::Pattern(5000));
    LoadRamLoader();
    port.Receive({0xF1});
    port.WriteDone();
    // The first piece of a 4108-byte frame: its rest waits for completions.
    ASSERT_EQ(port.writes.back().size(), 512u);
    scratch.Write("data/GENERATOR_MCU.bin", test::Pattern(64));
    dlg.OnGeneratorMcu();  // a new flow
    ASSERT_TRUE(host.boxes.empty());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::McuEntry);
    const std::size_t w = port.writes.size();
    port.WriteDone();
    EXPECT_EQ(port.writes.size(), w);
}

} // namespace
} // namespace quillet
