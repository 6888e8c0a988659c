// The engine on its own, on the virtual clock over a fake port: which flow
// a received byte reaches, the ticks of the engine's timers, the time-out of
// the instrument's answers and the commands it refuses, all seen through
// the steps it tells its view.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "discovery/DeviceKinds.h"
#include "engine/Engine.h"
#include "pattern/Images.h"
#include "platform/VirtualHost.h"
#include "protocol/Frame.h"
#include "support/EngineRig.h"
#include "support/FakeSerialPort.h"

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::BlockAck;
using test::kCloseTimer;
using test::kEraseTimer;
using test::kScanTimer;
using test::kTimeoutTimer;
using test::kTimers;
using EngineTest = test::EngineRig;

TEST_F(EngineTest, BytesReachTheOneFlowThatTakesThemNow) {
    // Nothing runs: the reply-frame parser takes the acknowledgement.
    Feed(BlockAck());
    EXPECT_EQ(view.steps, std::vector<std::string>{"ack: nothing"});
    // The erase wait takes every byte until the instrument's "cnd 12" line,
    // a whole reply frame included.
    view.steps.clear();
    engine.StreamData().slot = 2;
    engine.EraseWait().Begin(2);
    EXPECT_EQ(engine.Running().kind, FlowKind::PatternErase);
    Feed(BlockAck());
    Feed("fpw 7c 07\r\ncnd 12\r\n");
    EXPECT_EQ(view.steps, std::vector<std::string>{"erase confirmed"});
    EXPECT_FALSE(host.IsTimerArmed(kEraseTimer));
    // A boot-mode entry: bytes outside a frame go to its banner matcher,
    // a frame still to the parser; after the board's banner its loader
    // takes every byte.
    view.steps.clear();
    engine.Entry().EnterInputBoard(3);
    Feed(BlockAck());
    Feed("UBD 03\r");
    EXPECT_EQ(engine.Running().kind, FlowKind::BoardLoader);
    Feed(BlockAck());
    EXPECT_EQ(view.steps, (std::vector<std::string>{"ack: nothing", "banner: input board"}));
    engine.EndExchanges();
    // An entry ended before its banner: the banner finds no one, and its
    // time-out is gone with it.
    view.steps.clear();
    engine.Entry().EnterInputBoard(2);
    EXPECT_TRUE(host.IsTimerArmed(kTimeoutTimer));
    engine.EndExchanges();
    Feed("UBD 02\r");
    EXPECT_TRUE(view.steps.empty());
    EXPECT_FALSE(host.IsTimerArmed(kTimeoutTimer));
    EXPECT_FALSE(engine.Running().Running());
}

TEST_F(EngineTest, AcknowledgementsCarryTheStreamOnAndRestartItsTimeout) {
    engine.StreamData().buffer.assign(3 * kBlockData, 0x11);
    engine.StreamData().size = static_cast<std::uint32_t>(3 * kBlockData);
    ASSERT_TRUE(engine.Stream().Begin({kStreamFpga, 0, kMarkerNone, BlockStreamFlow::FirstFrame::Command}));
    EXPECT_EQ(port.writes.size(), 1u);
    // A frame too short to hold the status carries nothing on.
    Bytes shortAck = BlockAck();
    shortAck.resize(shortAck.size() - 2);
    shortAck[3] = 6;
    shortAck.push_back(FrameChecksum(shortAck.data(), shortAck.size()));
    Feed(shortAck);
    EXPECT_EQ(port.writes.size(), 1u);
    // Each answer gives the next one the whole time-out again.
    host.Advance(kFlowTimeoutMs - 100);
    Feed(BlockAck(1));
    host.Advance(kFlowTimeoutMs - 100);
    Feed(BlockAck());
    host.Advance(kFlowTimeoutMs - 100);
    Feed(BlockAck());
    Feed(BlockAck());
    EXPECT_EQ(view.steps, (std::vector<std::string>{"ack: resent", "ack: next", "ack: next", "ack: completed"}));
    EXPECT_EQ(port.writes.size(), 4u);
    EXPECT_FALSE(engine.Running().Running());
}

TEST_F(EngineTest, AnEntryWithoutAnswerEndsTimedOutAtTheTimeoutSet) {
    engine.SetTimeout(3000);
    engine.Entry().EnterMainMcu();
    EXPECT_EQ(engine.Running().kind, FlowKind::McuEntry);
    host.Advance(2900);
    EXPECT_TRUE(view.steps.empty());
    host.Advance(200);
    const std::string words = BootEntryFlow::TimeoutText(FlowKind::McuEntry, 3000);
    EXPECT_EQ(view.steps, std::vector<std::string>{"timed-out: " + words});
    // Told once: the time-out does not tick again.
    EXPECT_FALSE(host.IsTimerArmed(kTimeoutTimer));
    host.Advance(10000);
    EXPECT_EQ(view.steps.size(), 1u);
}

TEST_F(EngineTest, EraseWaitTicksEachSecondUntilItGivesUpOrIsStopped) {
    engine.EraseWait().Begin(1);
    host.Advance(3 * EraseWaitFlow::kTickMs + 10);
    EXPECT_EQ(view.steps, std::vector<std::string>(3, "erase tick"));
    // Stopped: no tick more, and no time-out either.
    engine.Stop();
    EXPECT_FALSE(engine.Running().Running());
    host.Advance(60 * EraseWaitFlow::kTickMs);
    EXPECT_EQ(view.steps.size(), 3u);

    // Never confirmed: the wait gives up after its fifty-first tick.
    view.steps.clear();
    engine.EraseWait().Begin(1);
    host.Advance(51 * EraseWaitFlow::kTickMs + 10);
    ASSERT_EQ(view.steps.size(), 51u);
    EXPECT_EQ(view.steps.back(), std::string("timed-out: ") + EraseWaitFlow::TimeoutText());
    EXPECT_EQ(view.steps[49], "erase tick");
}

TEST_F(EngineTest, StorePatternErasesTheSlotBeforeAnyBlock) {
    const auto raster = std::make_shared<const Bytes>(kRasterBytes, std::uint8_t{0x5A});
    engine.StorePattern(3, raster);
    ASSERT_EQ(port.writes.size(), 1u);
    const std::string command(port.writes[0].begin(), port.writes[0].end());
    EXPECT_NE(command.find("fpw 7c 08"), std::string::npos) << command;
    EXPECT_EQ(engine.Running().kind, FlowKind::PatternErase);
    EXPECT_EQ(engine.Running().slot, 3);
    // Confirmed: the pattern's first block goes out at once, from the raster.
    Feed("cnd 12\r\n");
    ASSERT_EQ(view.steps.size(), 2u);
    EXPECT_EQ(view.steps[0], "erase confirmed");
    EXPECT_EQ(view.steps[1].rfind("first block", 0), 0u);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_GE(std::count(port.writes[1].begin(), port.writes[1].end(), std::uint8_t{0x5A}), 256);
    EXPECT_EQ(engine.Running().kind, FlowKind::PatternStream);
    EXPECT_EQ(engine.StreamData().shared, raster);
}

TEST_F(EngineTest, StorePanelEndsAPendingEraseAndSendsItsFirstBlock) {
    engine.StorePattern(1, std::make_shared<const Bytes>(kRasterBytes, std::uint8_t{0}));
    const Bytes panel(kPanelBytes, 0x3C);
    const auto sent = engine.StorePanel(2, panel.data());
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->marker, kMarkerPanelFirst);
    EXPECT_FALSE(host.IsTimerArmed(kEraseTimer));
    EXPECT_EQ(engine.Running().kind, FlowKind::PanelStream);
    EXPECT_EQ(engine.Running().slot, 2);
    EXPECT_EQ(engine.StreamData().firstBlock, kPanelBlockBase + 2 * kPanelBlocksPerSlot);
    EXPECT_EQ(port.writes.size(), 2u);  // the slot command, then the first block
}

TEST_F(EngineTest, FirmwareStreamClosesThePortASecondAfterItsLastBlock) {
    const auto image = std::make_shared<const Bytes>(2 * kBlockData - 10, std::uint8_t{0x42});
    ASSERT_TRUE(engine.WriteStream(kStreamFpga, image));
    EXPECT_EQ(engine.StreamData().size, image->size());
    EXPECT_FALSE(host.IsTimerArmed(kCloseTimer));
    Feed(BlockAck());
    EXPECT_TRUE(host.IsTimerArmed(kCloseTimer));
    // The instrument asks for the last block again: its second starts anew.
    host.Advance(kCloseDelayMs - 100);
    Feed(BlockAck(1));
    host.Advance(kCloseDelayMs - 100);
    Feed(BlockAck());
    EXPECT_TRUE(engine.Link().Ready());
    host.Advance(200);
    EXPECT_EQ(view.steps, (std::vector<std::string>{"ack: next", "ack: resent", "ack: completed", "port closed"}));
    EXPECT_FALSE(engine.Link().Ready());
    EXPECT_FALSE(host.IsTimerArmed(kCloseTimer));
    EXPECT_EQ(port.writes.size(), 3u);
}

TEST_F(EngineTest, LastBlockUnacknowledgedAtTheCloseEndsTimedOut) {
    ASSERT_TRUE(engine.WriteStream(kStreamAux, std::make_shared<const Bytes>(kBlockData, std::uint8_t{1})));
    EXPECT_TRUE(host.IsTimerArmed(kCloseTimer));
    host.Advance(kCloseDelayMs + 10);
    ASSERT_EQ(view.steps.size(), 1u);
    EXPECT_EQ(view.steps[0].rfind("timed-out: time-out: the last block had gone out", 0), 0u) << view.steps[0];
    EXPECT_FALSE(host.IsTimerArmed(kCloseTimer));
    // Stopped before its second: the port stays as it is.
    view.steps.clear();
    ASSERT_TRUE(engine.WriteStream(kStreamFpga, std::make_shared<const Bytes>(10, std::uint8_t{1})));
    engine.Stop();
    host.Advance(2 * kCloseDelayMs);
    EXPECT_TRUE(view.steps.empty());
    EXPECT_TRUE(engine.Link().Ready());
}

TEST_F(EngineTest, AnalyzerDataArmsTimerFourNotTheClose) {
    ASSERT_TRUE(engine.WriteAnalyzerData(std::make_shared<const Bytes>(100, std::uint8_t{7})));
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0].size(), kBlockFrameBytes);
    EXPECT_TRUE(host.IsTimerArmed(kScanTimer));
    EXPECT_FALSE(host.IsTimerArmed(kCloseTimer));
    EXPECT_EQ(engine.Running().kind, FlowKind::AnalyzerData);
    // An empty file sends nothing.
    EXPECT_FALSE(engine.WriteStream(kStreamFpga, std::make_shared<const Bytes>()));
    EXPECT_EQ(port.writes.size(), 1u);
}

TEST_F(EngineTest, StartSearchClosesTheOperatorsPortAndScans) {
    engine.Link().Line().parity = 'E';
    EXPECT_TRUE(engine.StartSearch(kGroupGenerator));
    EXPECT_FALSE(engine.Link().Ready());
    EXPECT_EQ(engine.Link().Device().group, kGroupGenerator);
    EXPECT_EQ(engine.Link().Line().parity, 'N');
    EXPECT_EQ(engine.Running().kind, FlowKind::Search);
    engine.Stop();
    // Another kind keeps the parity; with no port to open the search ends at once.
    engine.Link().Line().parity = 'E';
    port.present.clear();
    EXPECT_FALSE(engine.StartSearch(kGroupAnalyzer));
    EXPECT_EQ(engine.Link().Line().parity, 'E');
    EXPECT_FALSE(engine.Running().Running());
}

TEST_F(EngineTest, FlowEventsAndTheOneOutcomeGoToTheSinkWithTheirAdvice) {
    // Without a sink an outcome goes nowhere, and the view hears nothing of it.
    engine.TellOutcome(OutcomeKind::Failed, FlowKind::PatternStream, "lost");
    EXPECT_EQ(view.told, 0);
    std::vector<FlowEventInfo> events;
    engine.SetEventSink([&](const FlowEventInfo& e) { events.push_back(e); });
    ASSERT_TRUE(engine.WriteStream(kStreamFpga, std::make_shared<const Bytes>(10, std::uint8_t{1})));
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].event, FlowEvent::BlockSent);
    EXPECT_EQ(events.back().event, FlowEvent::StreamFinished);
    EXPECT_EQ(view.told, static_cast<int>(events.size()));

    // The advice follows the instrument's kind, or the words the front end set.
    const std::string generator = engine.AdviceOf(FlowKind::McuBootloader);
    engine.Link().Device().group = kGroupAnalyzer;
    EXPECT_NE(engine.AdviceOf(FlowKind::McuBootloader), generator);
    engine.SetAdviceTerms([](bool analyzer) {
        return AdviceTerms{analyzer ? "re-power it and update again" : "update again with --direct"};
    });
    EXPECT_NE(engine.AdviceOf(FlowKind::McuBootloader).find("re-power it"), std::string::npos);
    engine.Link().Device().group = kGroupGenerator;
    EXPECT_NE(engine.AdviceOf(FlowKind::McuBootloader).find("--direct"), std::string::npos);
    engine.TellOutcome(OutcomeKind::TimedOut, FlowKind::FpgaStream, "no answer", "re-power", true);
    const FlowEventInfo& end = events.back();
    EXPECT_EQ(end.event, FlowEvent::FlowEnded);
    EXPECT_EQ(end.a, static_cast<long long>(OutcomeKind::TimedOut));
    EXPECT_EQ(end.b, static_cast<long long>(FlowKind::FpgaStream));
    EXPECT_EQ(end.text, "no answer");
    EXPECT_EQ(end.advice, "re-power");
    EXPECT_TRUE(end.told);
}

TEST_F(EngineTest, TheEngineTellsTheEndsOfAStreamASearchAndTheToolHandOver) {
    std::vector<FlowEventInfo> events;
    engine.SetEventSink([&](const FlowEventInfo& e) { events.push_back(e); });
    const auto doneOf = [&](FlowKind kind) -> std::optional<FlowEventInfo> {
        for (const auto& e : events)
            if (e.event == FlowEvent::FlowEnded && e.b == static_cast<long long>(kind)) return e;
        return std::nullopt;
    };
    // The last block acknowledged: Done, its time-out gone.
    ASSERT_TRUE(engine.WriteStream(kStreamFpga, std::make_shared<const Bytes>(kBlockData + 1, std::uint8_t{3})));
    Feed(BlockAck());
    EXPECT_FALSE(doneOf(FlowKind::FpgaStream));  // one block still unacknowledged
    Feed(BlockAck());
    ASSERT_TRUE(doneOf(FlowKind::FpgaStream));
    const FlowEventInfo stream = *doneOf(FlowKind::FpgaStream);
    EXPECT_EQ(stream.a, static_cast<long long>(OutcomeKind::Done));
    EXPECT_EQ(stream.text, "the FPGA image upload: 2 blocks acknowledged");
    EXPECT_FALSE(host.IsTimerArmed(kTimeoutTimer));

    // The instrument's reply to the search on COM1: found at the next tick.
    events.clear();
    ASSERT_TRUE(engine.StartSearch(kGroupGenerator));
    Feed(Bytes{kReplyHeader, kGroupGenerator, 0, kSearchReplyLength, 0, 0, 0, CodeLow(kCodeSearch),
               CodeHigh(kCodeSearch), kGroupGenerator, 0});
    EXPECT_FALSE(doneOf(FlowKind::Search));
    host.Advance(1000);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].event, FlowEvent::SearchFound);
    ASSERT_TRUE(doneOf(FlowKind::Search));
    const FlowEventInfo found = *doneOf(FlowKind::Search);
    EXPECT_EQ(found.a, static_cast<long long>(OutcomeKind::Done));
    EXPECT_EQ(found.text.rfind("found the ", 0), 0u) << found.text;
    EXPECT_NE(found.text.find(" on COM1"), std::string::npos) << found.text;
    EXPECT_FALSE(engine.Running().Running());

    // A sub-MCU in boot mode goes to the outside tool, not to the view's
    // banner; a tool that cannot be started ends the entry failed, told by
    // the view, and the port is given up all the same.
    events.clear();
    host.startProgramResult = false;  // and no FlyMcu folder beside the tests
    engine.EnterSubMcu(3);
    EXPECT_TRUE(host.IsTimerArmed(kTimeoutTimer));
    view.steps.clear();
    Feed(" ISP MODE...\r");
    ASSERT_EQ(view.steps.size(), 2u);
    EXPECT_EQ(view.steps[0].rfind("tool not started: The sub-MCU tool", 0), 0u) << view.steps[0];
    EXPECT_EQ(view.steps[1], "port closed");
    ASSERT_TRUE(doneOf(FlowKind::SubMcuEntry));
    const FlowEventInfo tool = *doneOf(FlowKind::SubMcuEntry);
    EXPECT_EQ(tool.a, static_cast<long long>(OutcomeKind::Failed));
    EXPECT_EQ(tool.text, "the outside sub-MCU tool could not be started");
    EXPECT_TRUE(tool.told);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(host.IsTimerArmed(kTimeoutTimer));
    EXPECT_FALSE(engine.Running().Running());
}

TEST_F(EngineTest, FlowsThatEndShortAreShownThenToldOnceWithTheirAdvice) {
    std::vector<FlowEventInfo> events;
    engine.SetEventSink([&](const FlowEventInfo& e) { events.push_back(e); });
    const auto outcomes = [&] {
        std::vector<FlowEventInfo> out;
        for (const auto& e : events)
            if (e.event == FlowEvent::FlowEnded) out.push_back(e);
        return out;
    };
    const auto stream = [&] {
        ASSERT_TRUE(engine.WriteStream(kStreamFpga, std::make_shared<const Bytes>(3 * kBlockData, std::uint8_t{7})));
        Feed(BlockAck());
        view.steps.clear();
        events.clear();
    };

    // A time-out: the flows stop first, the view shows the end, and what it
    // says decides whether the front end still has to tell it.
    stream();
    view.showsEnds = true;
    host.Advance(kFlowTimeoutMs + 10);
    ASSERT_EQ(view.ends.size(), 1u);
    EXPECT_EQ(view.ends[0].kind, OutcomeKind::TimedOut);
    EXPECT_EQ(view.ends[0].was.kind, FlowKind::FpgaStream);
    EXPECT_EQ(view.ends[0].advice, engine.AdviceOf(FlowKind::FpgaStream));
    ASSERT_EQ(outcomes().size(), 1u);
    EXPECT_EQ(outcomes()[0].a, static_cast<long long>(OutcomeKind::TimedOut));
    EXPECT_EQ(outcomes()[0].text, view.ends[0].message);
    EXPECT_TRUE(outcomes()[0].told);
    EXPECT_FALSE(engine.Running().Running());

    // A stop: FlowStopped, then the one outcome, told by the front end.
    stream();
    view.showsEnds = false;
    engine.StopFlow();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, FlowEvent::FlowStopped);
    EXPECT_EQ(events[1].a, static_cast<long long>(OutcomeKind::Stopped));
    EXPECT_EQ(events[1].text, "the FPGA image upload stopped after 1 of 3 blocks");
    EXPECT_FALSE(events[1].told);
    host.Advance(2 * kFlowTimeoutMs);
    EXPECT_EQ(outcomes().size(), 1u);
    // With nothing running the view still gives the port up; no outcome.
    events.clear();
    engine.StopFlow(true);
    EXPECT_EQ(view.ends.back().was.kind, FlowKind::None);
    EXPECT_TRUE(view.ends.back().closing);
    EXPECT_TRUE(events.empty());

    // The device gone: another port's loss changes nothing; the operator's
    // port ends the stream, named with how far it came.
    stream();
    engine.PortLost(5);
    EXPECT_TRUE(view.steps.empty());
    engine.PortLost(1);
    EXPECT_EQ(view.steps.front(), "port went away");
    ASSERT_EQ(outcomes().size(), 1u);
    EXPECT_EQ(outcomes()[0].a, static_cast<long long>(OutcomeKind::DeviceGone));
    EXPECT_EQ(outcomes()[0].text.rfind("COM1 went away during the FPGA image upload after 1 of 3 blocks", 0), 0u)
        << outcomes()[0].text;
    EXPECT_TRUE(outcomes()[0].told);
    EXPECT_EQ(events[events.size() - 2].event, FlowEvent::PortLost);

    // Under the search a lost port is passed by: no outcome.
    events.clear();
    ASSERT_TRUE(engine.StartSearch(kGroupGenerator));
    engine.PortLost(engine.Link().Com());
    EXPECT_TRUE(outcomes().empty());
    EXPECT_EQ(engine.Running().kind, FlowKind::Search);
    engine.Stop();
    // A search with no port to open ends not found at once, its hints as advice.
    events.clear();
    view.steps.clear();
    port.present.clear();
    EXPECT_FALSE(engine.StartSearch(kGroupGenerator));
    EXPECT_EQ(view.steps, std::vector<std::string>{"not found"});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, FlowEvent::SearchFailed);
    EXPECT_EQ(events[0].a, 0);
    EXPECT_EQ(events[1].a, static_cast<long long>(OutcomeKind::Failed));
    EXPECT_EQ(events[1].text, SearchFlow::NotFoundText());
}

TEST_F(EngineTest, FirmwareCallsHoldTheImageAndReopenAtEvenParityForTheBootloader) {
    const auto board = std::make_shared<const Bytes>(300, std::uint8_t{9});
    engine.UpdateInputBoard(3, board);
    EXPECT_EQ(engine.Running().kind, FlowKind::BoardEntry);
    EXPECT_EQ(engine.Running().slot, 3);
    EXPECT_EQ(engine.StreamData().size, 300u);
    Feed("UBD 03\r");
    EXPECT_EQ(view.steps, std::vector<std::string>{"banner: input board"});
    engine.EndExchanges();

    // The main-MCU exchange: the caller closed the port; the first sync
    // tick opens it again at even parity before any sync byte.
    engine.Link().Close();
    const std::size_t opens = port.opens.size();
    const std::size_t writes = port.writes.size();
    engine.UpdateMainMcu(std::make_shared<const Bytes>(1024, std::uint8_t{0xEE}));
    EXPECT_EQ(engine.Running().kind, FlowKind::McuBootloader);
    host.Advance(1000);
    ASSERT_GT(port.opens.size(), opens);
    EXPECT_EQ(port.opens[opens].parity, 'E');
    EXPECT_EQ(engine.Link().Line().parity, 'E');
    ASSERT_GT(port.writes.size(), writes);
    EXPECT_EQ(port.writes[writes], Bytes{0x7F});  // the bootloader's sync byte
}

TEST_F(EngineTest, RefusedCommandsAndForeignTimers) {
    const std::uint8_t payload[kMaxPayload + 1] = {};
    engine.SendCommand(0x0101, payload, kMaxPayload + 1);
    engine.Link().SetReady(false);
    engine.SendCommand(0x0101, payload, 2);
    EXPECT_EQ(view.steps, (std::vector<std::string>{"refused: too long", "refused: not ready"}));
    EXPECT_TRUE(port.writes.empty());
    engine.Link().SetReady(true);
    engine.SendCommand(0x0101, payload, 2);
    EXPECT_EQ(port.writes.size(), 1u);
    // A timer the engine did not give out is the caller's.
    EXPECT_FALSE(engine.OnTimer(5));
}

} // namespace
} // namespace quillet
