// The receive dispatcher: routing order, the reply-frame parser with its
// length, address, checksum and console rules, and the opcode table.
//
// To see which opcode entry a frame reached, the tests put dialog members
// with a visible effect into the table: OnClose ends the dialog (host.ended)
// and OnPortButton opens or closes the recording port (one call each).
#include <gtest/gtest.h>

#include <vector>

#include "dialog/LoaderDlg.h"
#include "platform/VirtualHost.h"
#include "protocol/Frame.h"
#include "support/FakeSerialPort.h"
#include "support/DialogProbe.h"

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

struct ReceiveTest : ::testing::Test {
    VirtualHost host;
    test::FakeSerialPort port;
    CLoaderDlg dlg{host, &port};

    void SetUp() override { dlg.OnInitDialog(); }

    void Feed(const Bytes& bytes, std::intptr_t com = 1) {
        for (auto b : bytes) EXPECT_EQ(dlg.OnSerialRxChar(b, com), 0);
    }
    // Entry i ends the dialog when it is reached.
    void Watch(std::size_t i) { test::Probe(dlg).Opcodes()[i].handler = &CLoaderDlg::OnClose; }
    // Entry i toggles the port; Calls() counts how often that happened.
    void Count(std::size_t i) { test::Probe(dlg).Opcodes()[i].handler = &CLoaderDlg::OnPortButton; }
    std::size_t Calls() const { return port.opens.size() + static_cast<std::size_t>(port.closeRequests); }
};

// The codes as the instrument's reply table lists them, column by column.
TEST_F(ReceiveTest, OpcodeTableInOrderWithTheBlockAckLast) {
    const std::uint16_t columns[5][7] = {
        {0xB838, 0x8000, 0x8050, 0x8051, 0x9000, 0xA000, 0xA820},
        {0xA828, 0xA852, 0xA853, 0xB800, 0xB810, 0xF800, 0xF801},
        {0xF878, 0x8081, 0xB820, 0x8063, 0x8064, 0x8065, 0x8066},
        {0x8067, 0x8068, 0x8080, 0x8094, 0x8095, 0x8091, 0x8096},
        {0x8090, 0x8092, 0x809F, 0xF801, 0xF850, 0xF851, 0xFFFF}};
    for (std::size_t i = 0; i < 35; ++i) {
        EXPECT_EQ(test::Probe(dlg).Opcodes()[i].code, columns[i / 7][i % 7]) << "entry " << i;
        EXPECT_TRUE(test::Probe(dlg).Opcodes()[i].handler ==
                    (i == 34 ? test::DialogProbe::BlockAckHandler() : test::DialogProbe::EmptyHandler()))
            << "entry " << i;
    }
}

TEST_F(ReceiveTest, PortNumberOutsideOneToNinetyNineIsIgnored) {
    Watch(13);
    const Bytes f = Reply(0xF801, {0, 0});
    for (std::intptr_t com : {0, 100, -1}) {
        for (auto b : f) EXPECT_EQ(dlg.OnSerialRxChar(b, com), -1);
        EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    }
    EXPECT_FALSE(host.ended);
    Feed(f, 99);
    EXPECT_TRUE(host.ended);
}

TEST_F(ReceiveTest, WorkedReplyReachesTheFirstF801EntryWhateverTheConsole) {
    const Bytes f{0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0xF8, 0x00, 0x00, 0x55};
    ASSERT_EQ(f, Reply(0xF801, {0, 0}));
    Watch(13);
    Count(31);
    test::Probe(dlg).ConsoleGroup() = 0x12;  // a console that takes only its own frames
    test::Probe(dlg).ConsoleMachine() = 0x34;
    Feed(f);
    EXPECT_TRUE(host.ended);
    EXPECT_EQ(Calls(), 0u);
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
}

TEST_F(ReceiveTest, AnyChangedByteWithTheOldChecksumIsDropped) {
    const Bytes good = Reply(0xF801, {0, 0});
    for (std::size_t i = 0; i < test::Probe(dlg).Opcodes().size(); ++i) Count(i);
    for (std::size_t at = 5; at < 11; ++at) {
        Bytes bad = good;
        bad[at] ^= 0x01;
        Feed(bad);
        EXPECT_EQ(test::Probe(dlg).RxState(), -1) << at;
    }
    EXPECT_EQ(Calls(), 0u);
    Feed(good);
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, WrongDeviceAddressDropsAtThatByte) {
    for (std::size_t i = 0; i < test::Probe(dlg).Opcodes().size(); ++i) Count(i);
    test::Probe(dlg).DeviceGroup() = 0x01;
    Feed({0xAB, 0x00});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    Feed({0xAB, 0x01, 0x01});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    Feed(Reply(0xF801, {}, 0x00, 0x00));
    EXPECT_EQ(Calls(), 0u);
    Feed(Reply(0xF801, {}, 0x01, 0x00));
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, LengthHighByteAboveOneAbandonsAndRestartsFromIdle) {
    Watch(13);
    Feed({0xAB, 0x00, 0x00, 0x05, 0x02});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    // The very next bytes are a new frame.
    Feed(Reply(0xF801));
    EXPECT_TRUE(host.ended);
}

TEST_F(ReceiveTest, LengthFiveHundredIsCollectedAndFiveHundredOneIsNot) {
    Watch(13);
    Bytes payload(495);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    Bytes big = Reply(0xF801, payload);
    ASSERT_EQ(big.size(), 505u);
    ASSERT_EQ(big[3], 0xF4);
    ASSERT_EQ(big[4], 0x01);
    // With a bad checksum it goes all the way and is then dropped.
    big.back() ^= 0xFF;
    Feed(Bytes(big.begin(), big.end() - 1));
    EXPECT_EQ(test::Probe(dlg).RxState(), 503);
    Feed({big.back()});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    EXPECT_FALSE(host.ended);
    big.back() ^= 0xFF;
    Feed(big);
    EXPECT_TRUE(host.ended);
    EXPECT_EQ(test::Probe(dlg).ReplyBuffer()[504], big[504]);

    host.ended = false;
    Feed({0xAB, 0x00, 0x00, 0xF5, 0x01});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    Feed(Reply(0xF801));
    EXPECT_TRUE(host.ended);
}

TEST_F(ReceiveTest, LengthsBelowFiveAreAbandonedBeforeAnyCodeIsRead) {
    Watch(13);
    // Leave a complete F801 frame in the reply buffer first.
    Feed(Reply(0xF801, {0, 0}));
    ASSERT_TRUE(host.ended);
    host.ended = false;
    for (std::uint8_t len = 0; len < 5; ++len) {
        Feed({0xAB, 0x00, 0x00, len, 0x00});
        EXPECT_EQ(test::Probe(dlg).RxState(), -1) << int(len);
        // Bytes that would otherwise have finished the short frame with the
        // stale code of the earlier frame.
        Feed({0x00, 0x00, 0x01, 0xF8});
        EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    }
    EXPECT_FALSE(host.ended);
}

TEST_F(ReceiveTest, CodeFromBytesNineAndTenWhenSixAndSevenAreFF) {
    Watch(13);
    test::Probe(dlg).ConsoleGroup() = 0x12;
    test::Probe(dlg).ConsoleMachine() = 0x34;
    const Bytes f = Reply(0xFFFF, {0x01, 0xF8}, 0, 0, 0x00, 0xFF);
    ASSERT_EQ(f[6], 0xFF);
    ASSERT_EQ(f[7], 0xFF);
    Feed(f);
    EXPECT_TRUE(host.ended);  // 0xF801 passes whatever the console address
}

TEST_F(ReceiveTest, ShiftedCodeMustLieInsideTheFrame) {
    Watch(13);
    Feed(Reply(0xFFFF, {0x01, 0xF8}, 0, 0, 0x00, 0xFF));  // leaves F8 at index 10
    ASSERT_TRUE(host.ended);
    host.ended = false;
    // Length 5 with bytes 6 and 7 FF: byte 9 is the checksum (here 01) and
    // byte 10 would be what the earlier frame left.
    const Bytes shortFrame{0xAB, 0x00, 0x00, 0x05, 0x00, 0x00, 0xFF, 0xFF, 0x51, 0x01};
    ASSERT_EQ(FrameChecksum(shortFrame.data(), 9), 0x01);
    Feed(shortFrame);
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    EXPECT_FALSE(host.ended);
}

TEST_F(ReceiveTest, UnknownCodeIsDroppedSilently) {
    for (std::size_t i = 0; i < test::Probe(dlg).Opcodes().size(); ++i) Count(i);
    Feed(Reply(0x7878, {1, 2, 3}));
    Feed(Reply(0xF802, {0, 0}));
    EXPECT_EQ(Calls(), 0u);
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(ReceiveTest, BlockAcknowledgementUsesTheLastEntry) {
    Watch(34);
    Feed(Reply(0xFFFF, {0x78, 0x78, 0x00}));
    EXPECT_TRUE(host.ended);
}

TEST_F(ReceiveTest, ConsoleFilterOnTheDialog) {
    Count(0);  // 0xB838
    test::Probe(dlg).ConsoleGroup() = 0x00;
    test::Probe(dlg).ConsoleMachine() = 0x07;
    Feed(Reply(0xB838, {}, 0, 0, 0x00, 0x00));
    Feed(Reply(0xB838, {}, 0, 0, 0x07, 0x00));
    EXPECT_EQ(Calls(), 0u);
    Feed(Reply(0xB838, {}, 0, 0, 0x00, 0x07));
    EXPECT_EQ(Calls(), 1u);
    test::Probe(dlg).ConsoleGroup() = 0x05;  // group other than 00/FF with machine FF: open
    test::Probe(dlg).ConsoleMachine() = 0xFF;
    Feed(Reply(0xB838, {}, 0, 0, 0x99, 0x98));
    EXPECT_EQ(Calls(), 2u);
}

TEST_F(ReceiveTest, HeaderInsideAFrameIsDataAndAStalledFrameSwallowsTheNext) {
    for (std::size_t i = 0; i < test::Probe(dlg).Opcodes().size(); ++i) Count(i);
    // A frame of length 7 stops after its code.
    Feed({0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0xF8});
    EXPECT_EQ(test::Probe(dlg).RxState(), 8);
    // The next frame's first three bytes complete it (bad sum, dropped) ...
    const Bytes next = Reply(0xF801, {0, 0});
    Feed(next);
    EXPECT_EQ(Calls(), 0u);
    // ... and a later frame arrives whole.
    Feed(next);
    EXPECT_EQ(Calls(), 1u);
}

TEST_F(ReceiveTest, RoutingOrderOfTheActivityFlags) {
    Watch(13);
    const Bytes f = Reply(0xF801, {0, 0});
    // The search matcher shadows the parser even for valid replies.
    test::Probe(dlg).Search().inProgress = 1;
    Feed(f);
    EXPECT_FALSE(host.ended);
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);  // the matcher broke off at byte 7 (01, not 02)
    // The erase wait comes before the search: the header byte reaches neither.
    test::Probe(dlg).EraseWait() = 1;
    Feed({0xAB});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    test::Probe(dlg).EraseWait() = 0;
    test::Probe(dlg).Search().inProgress = 0;
    // The loaders take bytes only while their flag is exactly 1.
    test::Probe(dlg).Board().active = 1;
    Feed({0xAB});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    test::Probe(dlg).Board().active = 0;
    test::Probe(dlg).BootFlow().OnTimer(FlowTimer::BootSync);  // the exchange starts
    ASSERT_TRUE(test::Probe(dlg).BootFlow().Active());
    Feed({0xAB});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    test::Probe(dlg).BootFlow().Reset();
    test::Probe(dlg).Search().inProgress = 2;
    Feed(f);
    EXPECT_TRUE(host.ended);
}

TEST_F(ReceiveTest, StateLeftByTheSearchNeverWritesPastTheBuffer) {
    Watch(13);
    // The matcher stopped at state 9; the last length this parser saw was
    // abandoned as too short.
    Feed({0xAB, 0x00, 0x00, 0x02, 0x00});
    test::Probe(dlg).RxState() = 9;
    Feed({0x00});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    // The same after an over-long length.
    Feed({0xAB, 0x00, 0x00, 0xFF, 0x01});
    test::Probe(dlg).RxState() = 600;
    Feed({0x00});
    EXPECT_EQ(test::Probe(dlg).RxState(), -1);
    Feed(Reply(0xF801));
    EXPECT_TRUE(host.ended);
}

} // namespace
} // namespace quillet
