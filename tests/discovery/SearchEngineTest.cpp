// The search through the engine on its own, on the virtual clock over a
// fake port: the parity each port of a scan opens at, and where received
// bytes go once the search has ended.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/DeviceKinds.h"
#include "engine/Engine.h"
#include "protocol/Frame.h"
#include "support/EngineRig.h"
#include "support/FindInstrument.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using SearchEngineTest = test::EngineRig;

bool Has(const std::vector<std::string>& steps, const std::string& step) {
    for (const auto& s : steps)
        if (s == step) return true;
    return false;
}

TEST_F(SearchEngineTest, OnlyTheGeneratorSearchResetsParity) {
    port.present = {1};
    engine.Link().Line().parity = 'E';
    ASSERT_TRUE(engine.StartSearch(kGroupAnalyzer));
    EXPECT_EQ(port.opens.back().parity, 'E');
    EXPECT_EQ(engine.Link().Line().parity, 'E');
    ASSERT_TRUE(engine.StartSearch(DeviceKindOfButton(IDC_SEARCH_MX88)->group));
    EXPECT_EQ(port.opens.back().parity, 'E');
    ASSERT_TRUE(engine.StartSearch(kGroupGenerator));
    EXPECT_EQ(port.opens.back().parity, 'N');
    EXPECT_EQ(engine.Link().Line().parity, 'N');
    // The later ports of a scan keep the parity too.
    engine.Link().Line().parity = 'E';
    port.present = {1, 2};
    ASSERT_TRUE(engine.StartSearch(kGroupAnalyzer));
    host.Advance(SearchFlow::kFirstPortWaitMs);
    EXPECT_EQ(port.opens.back().port, 2u);
    EXPECT_EQ(port.opens.back().parity, 'E');
    EXPECT_EQ(port.opens.back().baud, 115200u);
    EXPECT_EQ(port.opens.back().eventMask, 3u);
}

TEST_F(SearchEngineTest, BytesAfterTheSearchGoToTheFrameParser) {
    // Found: the next header starts a reply frame.
    port.present = {3};
    ASSERT_TRUE(engine.StartSearch(kGroupGenerator));
    Feed(test::SearchReply(kGroupGenerator));
    host.Advance(SearchFlow::kAfterReplyByteMs);
    ASSERT_TRUE(Has(view.steps, "search tick"));
    EXPECT_FALSE(engine.Running().Running());
    EXPECT_EQ(engine.Link().Com(), 3u);
    Feed(Bytes{kReplyHeader});
    EXPECT_EQ(engine.Link().ReceiveState(), 0);

    // Replies that are not the generator's: not found, and the parser is
    // left idle.
    const Bytes generator = test::SearchReply(kGroupGenerator);
    Bytes wrongLength = generator;
    wrongLength[3] = 0x08;
    Bytes wrongHigh = generator;
    wrongHigh[4] = 0x01;
    Bytes otherMachine = generator;
    otherMachine[10] = 0x01;
    Bytes wrongCode = generator;
    wrongCode[7] = 0x01;
    for (const Bytes& reply : {test::SearchReply(kGroupAnalyzer), wrongLength, wrongHigh, otherMachine, wrongCode}) {
        view.steps.clear();
        port.present = {1};
        ASSERT_TRUE(engine.StartSearch(kGroupGenerator));
        Feed(reply);
        host.Advance(SearchFlow::kFirstPortWaitMs);
        EXPECT_EQ(view.steps, std::vector<std::string>{"not found"});
        EXPECT_EQ(engine.Link().ReceiveState(), kRxIdle);
    }
}

} // namespace
} // namespace quillet
