// The search on its own, with no dialog: the ports it opens and the frame
// it sends to each, its waits, the reply it takes for the instrument's,
// and what it keeps of ports that could not be opened.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "engine/InstrumentLink.h"
#include "engine/SearchFlow.h"
#include "support/FakeSerialPort.h"
#include "support/RecordingLink.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Wait = std::pair<FlowTimer, unsigned>;

struct SearchFlowTest : ::testing::Test {
    SearchState state;
    test::RecordingLink link;
    test::FakeSerialPort port;
    InstrumentLink instrument{port};
    SearchFlow flow{link, instrument, state};

    // Feeds `bytes`; true when the device was found.
    bool Feed(const Bytes& bytes) {
        for (std::uint8_t b : bytes) flow.OnByte(b);
        return flow.Found();
    }
    std::vector<unsigned> Opened() const {
        std::vector<unsigned> ok;
        for (const auto& o : port.opens)
            if (o.ok) ok.push_back(o.port);
        return ok;
    }
};

const Bytes kAnalyzerSearch{0xAA, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x56};  // sums to zero
const Bytes kAnalyzerReply{0xAB, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x01, 0x00, 0xEE};

TEST_F(SearchFlowTest, EachPortThatOpensIsProbedAndTheScanGivesBackThePortOfBefore) {
    port.present = {3, 5};
    instrument.Device() = {0x01, 0x00};
    instrument.Com() = 7;
    instrument.Line().parity = 'E';
    ASSERT_TRUE(flow.Start());
    EXPECT_EQ(Opened(), std::vector<unsigned>{3});
    EXPECT_EQ(port.opens.size(), 3u);  // COM1 and COM2 cost no waiting
    EXPECT_EQ(port.opens[2].parity, 'E');
    EXPECT_EQ(link.sent, std::vector<Bytes>{kAnalyzerSearch});
    EXPECT_EQ(link.timersStarted, (std::vector<Wait>{{FlowTimer::SearchScan, SearchFlow::kFirstPortWaitMs}}));
    EXPECT_EQ(instrument.Com(), 3u);

    EXPECT_EQ(flow.OnTick(), SearchFlow::Tick::Probing);
    EXPECT_EQ(Opened(), (std::vector<unsigned>{3, 5}));
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(link.timersStarted.back(), (Wait{FlowTimer::SearchScan, SearchFlow::kLaterPortWaitMs}));

    EXPECT_EQ(flow.OnTick(), SearchFlow::Tick::NotFound);
    EXPECT_FALSE(flow.Running());
    EXPECT_EQ(instrument.Com(), 7u);
    EXPECT_EQ(link.timersStopped, std::vector<FlowTimer>{FlowTimer::SearchScan});
    // Its timer may tick on for another flow: nothing happens.
    EXPECT_EQ(flow.OnTick(), SearchFlow::Tick::Idle);
    EXPECT_EQ(port.opens.size(), 99u);
}

TEST_F(SearchFlowTest, NoPortOpensAtAll) {
    port.present.clear();
    instrument.Com() = 9;
    EXPECT_FALSE(flow.Start());
    EXPECT_FALSE(flow.Running());
    EXPECT_EQ(instrument.Com(), 1u);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(link.timersStarted.empty());
}

TEST_F(SearchFlowTest, OnlyTheDevicesReplyMatchesAndEachByteOfItMovesTheWait) {
    port.present = {2};
    instrument.Device() = {0x01, 0x00};
    ASSERT_TRUE(flow.Start());
    const Bytes generatorReply = {0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x00, 0x00, 0x51};
    EXPECT_FALSE(Feed(generatorReply));
    EXPECT_EQ(instrument.ReceiveState(), kRxIdle);
    // Noise, a header broken off by a wrong code, then the analyzer's reply:
    // the checksum is not looked at; every byte after a header moves the wait.
    const Bytes broken = {0x13, 0xAB, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03};
    EXPECT_FALSE(Feed(broken));
    const std::size_t before = link.timersStarted.size();
    EXPECT_TRUE(Feed(kAnalyzerReply));
    // The address .. the device address, not the header or the byte after.
    EXPECT_EQ(link.timersStarted.size() - before, 10u);
    EXPECT_EQ(link.timersStarted.back(), (Wait{FlowTimer::SearchScan, SearchFlow::kAfterReplyByteMs}));

    EXPECT_EQ(flow.OnTick(), SearchFlow::Tick::Found);
    EXPECT_EQ(instrument.Com(), 2u);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.closeRequests, 0);
    EXPECT_EQ(link.timersStopped, std::vector<FlowTimer>{FlowTimer::SearchScan});
}

TEST_F(SearchFlowTest, StopEndsTheScanWhereItIs) {
    port.present = {1, 2};
    ASSERT_TRUE(flow.Start());
    flow.Stop();
    EXPECT_FALSE(flow.Running());
    EXPECT_EQ(link.timersStopped, std::vector<FlowTimer>{FlowTimer::SearchScan});
    EXPECT_EQ(flow.OnTick(), SearchFlow::Tick::Idle);
    EXPECT_EQ(port.opens.size(), 1u);
    flow.Stop();  // nothing runs: no second stop of the timer
    EXPECT_EQ(link.timersStopped.size(), 1u);
}

TEST_F(SearchFlowTest, OneHintOfEachKindOfRefusalIsKeptForAScanThatFoundNothing) {
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
