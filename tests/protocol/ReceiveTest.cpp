// The receive side: the instrument link's reply-frame parser with its
// length, address, checksum and console rules and its reply table; then
// which received bytes the dialog hands on, and which flow of the engine
// keeps them from the parser.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"
#include "engine/InstrumentLink.h"
#include "pattern/Images.h"
#include "platform/VirtualHost.h"
#include "protocol/Frame.h"
#include "support/EngineRig.h"
#include "support/FakeSerialPort.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A reply frame: AB, device address, length, console address, code, payload, checksum.
Bytes Reply(std::uint16_t code, const Bytes& payload = {}, std::uint8_t g = 0, std::uint8_t m = 0,
            std::uint8_t c5 = 0, std::uint8_t c6 = 0) {
    const unsigned length = static_cast<unsigned>(payload.size()) + 5;
    Bytes f{0xAB, g, m, static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8),
            c5, c6, static_cast<std::uint8_t>(code & 0xFF), static_cast<std::uint8_t>(code >> 8)};
    for (auto b : payload) f.push_back(b);
    f.push_back(FrameChecksum(f.data(), f.size()));
    return f;
}

// The link alone: every frame its checks let through is recorded with its
// reply-table entry and a copy of the frame.
struct ReceiveTest : ::testing::Test {
    test::FakeSerialPort port;
    InstrumentLink link{port};
    std::vector<std::size_t> entries;
    Bytes lastFrame;

    void SetUp() override {
        link.SetReplySink([this](std::size_t entry, const std::uint8_t* frame) {
            entries.push_back(entry);
            lastFrame.assign(frame, frame + FrameLength(frame) + 5);
        });
    }
    void Feed(const Bytes& bytes) {
        for (auto b : bytes) link.TakeReplyByte(b);
    }
    bool Reached(std::size_t entry) const { return !entries.empty() && entries.back() == entry; }
    std::size_t Calls() const { return entries.size(); }
};

// The codes as the instrument's reply table lists them, column by column.
TEST_F(ReceiveTest, ReplyTableInOrderWithTheBlockAckLast) {
    const std::uint16_t columns[5][7] = {
        {0xB838, 0x8000, 0x8050, 0x8051, 0x9000, 0xA000, 0xA820},
        {0xA828, 0xA852, 0xA853, 0xB800, 0xB810, 0xF800, 0xF801},
        {0xF878, 0x8081, 0xB820, 0x8063, 0x8064, 0x8065, 0x8066},
        {0x8067, 0x8068, 0x8080, 0x8094, 0x8095, 0x8091, 0x8096},
        {0x8090, 0x8092, 0x809F, 0xF801, 0xF850, 0xF851, 0xFFFF}};
    for (std::size_t i = 0; i < 35; ++i) EXPECT_EQ(kReplyCodes[i], columns[i / 7][i % 7]) << "entry " << i;
    EXPECT_EQ(kReplyCodes[kBlockAckEntry], kCodeBlockAck);
    // Each code reaches its first entry.
    for (std::size_t i = 0; i < kReplyCodes.size(); ++i) {
        Feed(Reply(kReplyCodes[i], {0x78, 0x78, 0x00}));
        ASSERT_EQ(Calls(), i + 1);
        EXPECT_EQ(entries.back(), kReplyCodes[i] == 0xF801 ? 13u : i);
    }
}

TEST_F(ReceiveTest, WorkedReplyReachesTheFirstF801EntryWhateverTheConsole) {
    const Bytes f{0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0xF8, 0x00, 0x00, 0x55};
    ASSERT_EQ(f, Reply(0xF801, {0, 0}));
    link.Console() = {0x12, 0x34};  // a console that takes only its own frames
    Feed(f);
    EXPECT_EQ(entries, std::vector<std::size_t>{13});
    EXPECT_EQ(lastFrame, f);
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
}

TEST_F(ReceiveTest, AnyChangedByteWithTheOldChecksumIsDropped) {
    const Bytes good = Reply(0xF801, {0, 0});
    for (std::size_t at = 5; at < 11; ++at) {
        Bytes bad = good;
        bad[at] ^= 0x01;
        Feed(bad);
        EXPECT_EQ(link.ReceiveState(), kRxIdle) << at;
    }
    EXPECT_EQ(Calls(), 0u);
    Feed(good);
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, WrongDeviceAddressDropsAtThatByte) {
    link.Device() = {0x01, 0x00};
    Feed({0xAB, 0x00});
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    Feed({0xAB, 0x01, 0x01});
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    Feed(Reply(0xF801, {}, 0x00, 0x00));
    EXPECT_EQ(Calls(), 0u);
    Feed(Reply(0xF801, {}, 0x01, 0x00));
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, BytesOutsideAFrameAreLeftToTheCaller) {
    // Idle: a header starts a frame, anything else is not the parser's.
    EXPECT_FALSE(link.TakeReplyByte('U'));
    EXPECT_FALSE(link.TakeReplyByte(0xAA));
    EXPECT_TRUE(link.TakeReplyByte(0xAB));
    // Inside a frame every byte is taken, a header too.
    EXPECT_TRUE(link.TakeReplyByte(0x00));
    EXPECT_TRUE(link.TakeReplyByte(0xAB));  // wrong machine address: dropped, but taken
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
}

TEST_F(ReceiveTest, LengthHighByteAboveOneAbandonsAndRestartsFromIdle) {
    Feed({0xAB, 0x00, 0x00, 0x05, 0x02});
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    // The very next bytes are a new frame.
    Feed(Reply(0xF801));
    EXPECT_TRUE(Reached(13));
}

TEST_F(ReceiveTest, LengthFiveHundredIsCollectedAndFiveHundredOneIsNot) {
    Bytes payload(495);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    Bytes big = Reply(0xF801, payload);
    ASSERT_EQ(big.size(), 505u);
    ASSERT_EQ(big[3], 0xF4);
    ASSERT_EQ(big[4], 0x01);
    // With a bad checksum it goes all the way and is then dropped.
    big.back() ^= 0xFF;
    Feed(Bytes(big.begin(), big.end() - 1));
    EXPECT_EQ(link.ReceiveState(), 503);
    Feed({big.back()});
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    EXPECT_EQ(Calls(), 0u);
    big.back() ^= 0xFF;
    Feed(big);
    EXPECT_TRUE(Reached(13));
    EXPECT_EQ(lastFrame, big);

    Feed({0xAB, 0x00, 0x00, 0xF5, 0x01});
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    Feed(Reply(0xF801));
    EXPECT_EQ(Calls(), 2u);
}

TEST_F(ReceiveTest, LengthsBelowFiveAreAbandonedBeforeAnyCodeIsRead) {
    // Leave a complete F801 frame in the reply buffer first.
    Feed(Reply(0xF801, {0, 0}));
    ASSERT_EQ(Calls(), 1u);
    for (std::uint8_t len = 0; len < 5; ++len) {
        Feed({0xAB, 0x00, 0x00, len, 0x00});
        EXPECT_EQ(link.ReceiveState(), kRxIdle) << int(len);
        // Bytes that would otherwise have finished the short frame with the
        // stale code of the earlier frame.
        Feed({0x00, 0x00, 0x01, 0xF8});
        EXPECT_EQ(link.ReceiveState(), kRxIdle);
    }
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, CodeFromBytesNineAndTenWhenSixAndSevenAreFF) {
    link.Console() = {0x12, 0x34};
    const Bytes f = Reply(0xFFFF, {0x01, 0xF8}, 0, 0, 0x00, 0xFF);
    ASSERT_EQ(f[6], 0xFF);
    ASSERT_EQ(f[7], 0xFF);
    Feed(f);
    EXPECT_TRUE(Reached(13));  // 0xF801 passes whatever the console address
}

TEST_F(ReceiveTest, ShiftedCodeMustLieInsideTheFrame) {
    Feed(Reply(0xFFFF, {0x01, 0xF8}, 0, 0, 0x00, 0xFF));  // leaves F8 at index 10
    ASSERT_EQ(Calls(), 1u);
    // Length 5 with bytes 6 and 7 FF: byte 9 is the checksum (here 01) and
    // byte 10 would be what the earlier frame left.
    const Bytes shortFrame{0xAB, 0x00, 0x00, 0x05, 0x00, 0x00, 0xFF, 0xFF, 0x51, 0x01};
    ASSERT_EQ(FrameChecksum(shortFrame.data(), 9), 0x01);
    Feed(shortFrame);
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, UnknownCodeIsDroppedSilently) {
    Feed(Reply(0x7878, {1, 2, 3}));
    Feed(Reply(0xF802, {0, 0}));
    EXPECT_EQ(Calls(), 0u);
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
}

TEST_F(ReceiveTest, ConsoleFilterOnTheLink) {
    link.Console() = {0x00, 0x07};
    Feed(Reply(0xB838, {}, 0, 0, 0x00, 0x00));
    Feed(Reply(0xB838, {}, 0, 0, 0x07, 0x00));
    EXPECT_EQ(Calls(), 0u);
    Feed(Reply(0xB838, {}, 0, 0, 0x00, 0x07));
    EXPECT_EQ(entries, std::vector<std::size_t>{0});
    link.Console() = {0x05, 0xFF};  // group other than 00/FF with machine FF: open
    Feed(Reply(0xB838, {}, 0, 0, 0x99, 0x98));
    EXPECT_EQ(Calls(), 2u);
}

TEST_F(ReceiveTest, HeaderInsideAFrameIsDataAndAStalledFrameSwallowsTheNext) {
    // A frame of length 7 stops after its code.
    Feed({0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0xF8});
    EXPECT_EQ(link.ReceiveState(), 8);
    // The next frame's first three bytes complete it (bad sum, dropped) ...
    const Bytes next = Reply(0xF801, {0, 0});
    Feed(next);
    EXPECT_EQ(Calls(), 0u);
    // ... and a later frame arrives whole.
    Feed(next);
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, StateLeftByTheSearchNeverWritesPastTheBuffer) {
    // The matcher stopped at state 9; the last length this parser saw was
    // abandoned as too short.
    Feed({0xAB, 0x00, 0x00, 0x02, 0x00});
    link.ReceiveState() = 9;
    Feed({0x00});
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    // The same after an over-long length.
    Feed({0xAB, 0x00, 0x00, 0xFF, 0x01});
    link.ReceiveState() = 600;
    Feed({0x00});
    EXPECT_EQ(link.ReceiveState(), kRxIdle);
    Feed(Reply(0xF801));
    EXPECT_TRUE(Reached(13));
}

TEST_F(ReceiveTest, CommandFramesOnlyWhileReady) {
    const std::uint8_t p[] = {1, 2, 3};
    link.Device() = {0x01, 0x00};
    // Built, but not sent while the port is not on.
    EXPECT_EQ(link.SendCommand(0x7878, p, 3), InstrumentLink::Command::NotReady);
    EXPECT_EQ(link.CommandFrame()[0], kRequestHeader);
    EXPECT_EQ(link.CommandFrame()[1], 0x01);
    EXPECT_EQ(link.CommandFrame()[3], 0x08);
    EXPECT_TRUE(port.writes.empty());
    link.SetReady(true);
    EXPECT_EQ(link.SendCommand(0x7878, p, 3), InstrumentLink::Command::Sent);
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], Bytes(link.CommandFrame(), link.CommandFrame() + 13));
    // Refused before anything is built.
    Bytes tooMuch(kMaxPayload + 1, 0x11);
    EXPECT_EQ(link.SendCommand(0x7878, tooMuch.data(), kMaxPayload + 1), InstrumentLink::Command::TooLong);
    EXPECT_EQ(link.SendCommand(0x7878, nullptr, -1), InstrumentLink::Command::Dropped);
    EXPECT_EQ(link.CommandFrame()[3], 0x08);
    EXPECT_EQ(port.writes.size(), 1u);
    link.Close();
    EXPECT_FALSE(link.Ready());
    EXPECT_EQ(port.closeRequests, 1);
}

// ---- where received bytes go -------------------------------------------------

// The dialog hands on only the bytes of COM1..COM99; the engine gives each
// to the one flow that takes bytes now (EngineTest).
struct RoutingTest : ::testing::Test {
    VirtualHost host;
    test::FakeSerialPort port;
    CLoaderDlg dlg{host, &port};

    void SetUp() override {
        dlg.OnInitDialog();
        dlg.OnPortButton();
        ASSERT_TRUE(dlg.IsPortOpen());
    }
};

TEST_F(RoutingTest, PortNumberOutsideOneToNinetyNineIsIgnored) {
    // A panel upload waits for the acknowledgement of its first block.
    dlg.StorePanel(1);
    ASSERT_EQ(port.writes.size(), 1u);
    const Bytes ack = test::BlockAck();
    for (std::intptr_t com : {0, 100, -1})
        for (auto b : ack) EXPECT_EQ(dlg.OnSerialRxChar(b, com), -1);
    // Not taken, and no frame left half read: the next whole one carries
    // the upload on.
    EXPECT_EQ(port.writes.size(), 1u);
    for (auto b : ack) EXPECT_EQ(dlg.OnSerialRxChar(b, 99), 0);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1][10], 0x89);  // the panel's next block, 11401
}

using EngineRoutingTest = test::EngineRig;

TEST_F(EngineRoutingTest, EachFlowThatTakesBytesKeepsThemFromTheParser) {
    // The search's matcher shadows the parser even for valid replies.
    ASSERT_TRUE(engine.StartSearch(kGroupGenerator));
    Feed(test::BlockAck());
    Feed(Reply(0xF801, {0, 0}));
    EXPECT_TRUE(view.steps.empty());
    EXPECT_EQ(engine.Link().ReceiveState(), kRxIdle);  // the matcher broke off at byte 7 (01, not 02)
    // The erase wait comes before the search: the header byte reaches neither.
    engine.StorePattern(1, std::make_shared<const Bytes>(kRasterBytes, std::uint8_t{0}));
    ASSERT_TRUE(engine.EraseWait().Waiting());
    ASSERT_EQ(engine.Running().kind, FlowKind::Search);
    Feed(Bytes{kReplyHeader});
    EXPECT_EQ(engine.Link().ReceiveState(), kRxIdle);
    engine.Stop();
    // The input board's loader, once its banner was heard.
    engine.Link().Open(1, 'N');
    engine.Entry().EnterInputBoard(3);
    Feed(std::string("UBD 03\r"));
    ASSERT_EQ(engine.Running().kind, FlowKind::BoardLoader);
    view.steps.clear();
    Feed(Bytes{kReplyHeader});
    EXPECT_EQ(engine.Link().ReceiveState(), kRxIdle);
    Feed(test::BlockAck());
    EXPECT_TRUE(view.steps.empty());
    engine.EndExchanges();
    // The main-MCU exchange once its first sync byte is out.
    engine.Link().Close();
    engine.UpdateMainMcu(std::make_shared<const Bytes>(1024, std::uint8_t{0xEE}));
    host.Advance(1000);
    ASSERT_TRUE(engine.Bootloader().Active());
    Feed(Bytes{kReplyHeader});
    EXPECT_EQ(engine.Link().ReceiveState(), kRxIdle);
    engine.EndExchanges();
    // Nothing takes bytes: the parser has the acknowledgement.
    view.steps.clear();
    Feed(test::BlockAck());
    EXPECT_EQ(view.steps, std::vector<std::string>{"ack: nothing"});
}

} // namespace
} // namespace quillet
