// Request frames: the builder, the checksum, SendCommand with its two
// messages, the reply-code position and the console-address filter.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "platform/VirtualHost.h"
#include "protocol/Frame.h"
#include "support/FakeSerialPort.h"
#include "support/FindInstrument.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Build(FrameAddress dev, FrameAddress con, std::uint16_t code, const Bytes& payload) {
    Bytes out(payload.size() + kFrameOverhead);
    const auto n = BuildRequestFrame(out.data(), dev, con, code, payload.data(),
                                     static_cast<int>(payload.size()));
    EXPECT_EQ(n, out.size());
    return out;
}

std::uint8_t Sum(const Bytes& b) {
    return static_cast<std::uint8_t>(std::accumulate(b.begin(), b.end(), 0u));
}

TEST(FrameBuilder, SearchFramesOfEveryDeviceKind) {
    EXPECT_EQ(Build({0, 0}, {0, 0}, kCodeSearch, {}),
              (Bytes{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x57}));
    EXPECT_EQ(Build({1, 0}, {0, 0}, kCodeSearch, {}),
              (Bytes{0xAA, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x56}));
    for (std::uint8_t g = 0; g < 8; ++g) {
        const Bytes f = Build({g, 0}, {0, 0}, kCodeSearch, {});
        EXPECT_EQ(f.back(), 0x57 - g) << int(g);
        EXPECT_EQ(Sum(f), 0);
    }
}

TEST(FrameBuilder, BlockFrameHeaderAndAddressesInPlace) {
    Bytes payload(260);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Bytes f = Build({0, 0}, {0, 0}, kCodeBlock, payload);
    ASSERT_EQ(f.size(), 270u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 9),
              (Bytes{0xAA, 0x00, 0x00, 0x09, 0x01, 0x00, 0x00, 0x78, 0x78}));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), f.begin() + 9));
    EXPECT_EQ(Sum(f), 0);

    const Bytes g = Build({0x12, 0x34}, {0x56, 0x78}, 0xBEEF, {0x01});
    EXPECT_EQ(g, (Bytes{0xAA, 0x12, 0x34, 0x06, 0x00, 0x56, 0x78, 0xEF, 0xBE, 0x01,
                        static_cast<std::uint8_t>(0x100 - ((0xAA + 0x12 + 0x34 + 0x06 + 0x56 + 0x78 +
                                                            0xEF + 0xBE + 0x01) & 0xFF))}));
}

TEST(ConsoleFilter, AddressesThatTakeEverythingAndThoseThatTakeTheirOwn) {
    const std::uint8_t samples[][2] = {{0x00, 0x00}, {0x12, 0x34}, {0xFF, 0xFF}, {0x12, 0x00}, {0x00, 0x34}};
    // Open addresses: 00 00, FF FF, G (not 00/FF) with M 00 or FF.
    for (FrameAddress open : {FrameAddress{0x00, 0x00}, FrameAddress{0xFF, 0xFF},
                              FrameAddress{0x12, 0x00}, FrameAddress{0x12, 0xFF},
                              FrameAddress{0x01, 0x00}, FrameAddress{0xFE, 0xFF}})
        for (auto& s : samples)
            EXPECT_TRUE(ConsoleAccepts(open, s[0], s[1])) << int(open.group) << " " << int(open.machine);
    // Restricted addresses take only frames carrying exactly their address.
    for (FrameAddress own : {FrameAddress{0x00, 0x01}, FrameAddress{0x00, 0xFF},
                             FrameAddress{0xFF, 0x00}, FrameAddress{0xFF, 0x12},
                             FrameAddress{0x12, 0x34}}) {
        EXPECT_TRUE(ConsoleAccepts(own, own.group, own.machine));
        EXPECT_FALSE(ConsoleAccepts(own, own.group, static_cast<std::uint8_t>(own.machine ^ 1)));
        EXPECT_FALSE(ConsoleAccepts(own, static_cast<std::uint8_t>(own.group ^ 1), own.machine));
        EXPECT_FALSE(ConsoleAccepts(own, 0x00, 0x00));
    }
}

// ---- SendCommand on the dialog ---------------------------------------------

struct SendCommandTest : ::testing::Test {
    VirtualHost host;
    test::FakeSerialPort port;
    CLoaderDlg dlg{host, &port};
    void SetUp() override {
        dlg.OnInitDialog();
        dlg.OnPortButton();
        ASSERT_TRUE(dlg.IsPortOpen());
    }
};

TEST_F(SendCommandTest, PayloadSizesZeroAndLargest) {
    // The analyzer found: its frames carry its group address.
    test::FindInstrument(dlg, host, port, kGroupAnalyzer);
    port.writes.clear();
    port.untold.clear();
    dlg.SendCommand(0xF802, 0, nullptr);
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], (Bytes{0xAA, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x56}));

    Bytes payload(290);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(255 - i);
    dlg.SendCommand(0x7878, 290, payload.data());
    ASSERT_EQ(port.writes.size(), 2u);
    const Bytes& f = port.writes[1];
    ASSERT_EQ(f.size(), 300u);
    EXPECT_EQ(f[3], 0x27);
    EXPECT_EQ(f[4], 0x01);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), f.begin() + 9));
    EXPECT_EQ(Sum(f), 0);
    // A command frame is answered by a reply: its write's completion is not
    // asked for.
    EXPECT_EQ(port.untold, (std::vector<std::size_t>{0, 1}));
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SendCommandTest, TooLongPayloadIsRefusedWithoutTraffic) {
    Bytes payload(291, 0x11);
    dlg.SendCommand(0x7878, 291, payload.data());
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Too much parameter.");
    EXPECT_EQ(host.boxes[0].caption, "ISP PC CONSOLE");
    EXPECT_TRUE(port.writes.empty());
    // A negative count never reads the payload and sends nothing.
    dlg.SendCommand(0x7878, -1, nullptr);
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(SendCommandTest, ClosedPortSaysSoEveryTime) {
    dlg.OnPortButton();  // closes
    ASSERT_FALSE(dlg.IsPortOpen());
    const std::uint8_t p[] = {1, 2, 3};
    dlg.SendCommand(0x7878, 3, p);
    dlg.SendCommand(0x7878, 0, nullptr);
    ASSERT_EQ(host.boxes.size(), 2u);
    for (const auto& box : host.boxes) {
        EXPECT_EQ(box.text, "Com port is not on yet.");
        EXPECT_EQ(box.caption, "ISP PC CONSOLE");
    }
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(SendCommandTest, ChecksumZeroFrameIsSentAsBuilt) {
    // 0xAA + 0x05 + 0x51 = 0x100: the checksum is 0x00, not 0x100.
    dlg.SendCommand(0x0051, 0, nullptr);
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], (Bytes{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x51, 0x00, 0x00}));
}

} // namespace
} // namespace quillet
