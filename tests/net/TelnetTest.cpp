// The telnet layer of RFC 2217: 0xFF in the data both ways, commands and
// sub-negotiations split at any byte boundary, and servers that send
// garbage.
#include <gtest/gtest.h>

#include <random>

#include "serial/Telnet.h"

namespace quillet::telnet {
namespace {

std::vector<std::uint8_t> Cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Feeds `wire` in pieces of random length.
void FeedInPieces(Decoder& d, const std::vector<std::uint8_t>& wire, std::uint32_t seed,
                  std::vector<std::uint8_t>& data, std::vector<Event>& events) {
    std::mt19937 rng(seed);
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t n = std::min<std::size_t>(wire.size() - at, 1 + rng() % 7);
        d.Feed(wire.data() + at, n, data, events);
        at += n;
    }
}

TEST(Telnet, DataWithEveryByteValueSurvivesEscapingAndAnySplit) {
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 256; ++b) data.push_back(static_cast<std::uint8_t>(b));
    data.push_back(kIac);
    data.push_back(kIac);
    std::vector<std::uint8_t> wire;
    AppendEscaped(data.data(), data.size(), wire);
    EXPECT_EQ(wire.size(), data.size() + 3 + 2);
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        Decoder d;
        std::vector<std::uint8_t> out;
        std::vector<Event> events;
        FeedInPieces(d, wire, seed, out, events);
        EXPECT_EQ(out, data);
        EXPECT_TRUE(events.empty());
        EXPECT_FALSE(d.InCommand());
    }
}

TEST(Telnet, CommandsAndAnswersAreSplitFromTheDataInOrder) {
    const auto wire = Cat({{'a'}, Command(kWill, kOptEcho), {'b', kIac, kIac},
                           ComPortCommand(kSetParity + kServerOffset, {kParityEven}),
                           ComPortCommand(kSetBaudrate + kServerOffset, BaudBytes(0x0001C2FF)), {'c'}});
    Decoder d;
    std::vector<std::uint8_t> data;
    std::vector<Event> events;
    FeedInPieces(d, wire, 7, data, events);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{'a', 'b', kIac, 'c'}));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, Event::Kind::Option);
    EXPECT_EQ(events[0].command, kWill);
    EXPECT_EQ(events[0].option, kOptEcho);
    EXPECT_EQ(events[1].kind, Event::Kind::Subnegotiation);
    EXPECT_EQ(events[1].option, kOptComPort);
    EXPECT_EQ(events[1].payload, (std::vector<std::uint8_t>{kSetParity + kServerOffset, kParityEven}));
    // A speed with 0xFF in it comes escaped and goes back whole.
    EXPECT_EQ(events[2].payload, (std::vector<std::uint8_t>{kSetBaudrate + kServerOffset, 0x00, 0x01, 0xC2, 0xFF}));
    EXPECT_EQ(DescribeSetting(events[1].payload[0], {kParityEven}), "parity EVEN");
}

TEST(Telnet, ASubnegotiationThatNeverEndsIsToldOnceAndDoesNotSwallowTheLine) {
    std::vector<std::uint8_t> wire{kIac, kSb, kOptComPort};
    wire.insert(wire.end(), 10 * kMaxSubnegotiation, 'x');
    Decoder d;
    std::vector<std::uint8_t> data;
    std::vector<Event> events;
    d.Feed(wire.data(), wire.size(), data, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Event::Kind::Malformed);
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(d.InCommand());
    // IAC with anything but SE or IAC inside a sub-negotiation is garbage too.
    Decoder e;
    const std::vector<std::uint8_t> bad{kIac, kSb, kOptComPort, 1, kIac, 'q', 'z'};
    events.clear();
    e.Feed(bad.data(), bad.size(), data, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Event::Kind::Malformed);
    EXPECT_EQ(data, std::vector<std::uint8_t>{'z'});
}

} // namespace
} // namespace quillet::telnet
