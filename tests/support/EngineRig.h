// The engine on its own for the tests: a recording view that writes every
// step the engine tells as a line of text, the block acknowledgement as the
// instrument sends it, and a fixture with the engine on the virtual clock
// over a fake port whose link is open and ready.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Engine.h"
#include "platform/VirtualHost.h"
#include "protocol/Frame.h"
#include "support/FakeSerialPort.h"

namespace quillet::test {

using Bytes = std::vector<std::uint8_t>;

// Timer ids of no meaning beyond being the host's, in FlowTimer's order.
constexpr Engine::TimerIds kTimers = {21, 22, 23, 24, 25, 26, 27, 28};
constexpr unsigned kScanTimer = 25;
constexpr unsigned kEraseTimer = 26;
constexpr unsigned kTimeoutTimer = 27;
constexpr unsigned kCloseTimer = 28;

// Every step the engine tells, as a line of text in order.
struct RecordingView : EngineView {
    std::vector<std::string> steps;
    void CommandRefused(InstrumentLink::Command why) override {
        steps.push_back(why == InstrumentLink::Command::TooLong ? "refused: too long" : "refused: not ready");
    }
    void FlowProgress(float) override {}
    void EventTold() override { ++told; }
    int told = 0;
    void BlockAcked(const BlockStreamFlow::AckStep& step) override {
        static constexpr const char* kWords[] = {"ack: nothing", "ack: completed", "ack: resent", "ack: next"};
        steps.push_back(kWords[static_cast<int>(step.step)]);
    }
    void EraseTicked(EraseWaitFlow::Tick tick) override {
        steps.push_back(tick == EraseWaitFlow::Tick::TimedOut ? "erase timed out (view)" : "erase tick");
    }
    void EraseConfirmed() override { steps.push_back("erase confirmed"); }
    void FirstBlockSent(const BlockStreamFlow::Sent& sent) override {
        steps.push_back("first block up to " + std::to_string(sent.position));
    }
    void SearchTicked(SearchFlow::Tick) override { steps.push_back("search tick"); }
    void BootStepped(McuBootloaderFlow::Step) override {}
    void BannerHeard(BootEntryFlow::Banner banner) override {
        steps.push_back(banner == BootEntryFlow::Banner::InputBoard ? "banner: input board" : "banner: other");
    }
    bool FlowEnded(const FlowEnd& end) override {
        steps.push_back(std::string(OutcomeName(end.kind)) + ": " + end.message);
        ends.push_back(end);
        return showsEnds;
    }
    std::vector<FlowEnd> ends;
    bool showsEnds = false;
    bool ToolNotStarted(const std::string& problem) override {
        steps.push_back("tool not started: " + problem);
        return true;
    }
    void SearchNotFound() override { steps.push_back("not found"); }
    void PortWentAway() override { steps.push_back("port went away"); }
    void BoardStepped(InputBoardFlow::Step) override {}
    void PortClosed() override { steps.push_back("port closed"); }
};

// The acknowledgement of a block, as the instrument sends it: payload
// 78 78 and the status (00: taken).
inline Bytes BlockAck(std::uint8_t status = 0) {
    const std::uint16_t code = kReplyCodes[kBlockAckEntry];
    Bytes f{kReplyHeader, 0, 0, 8, 0, 0, 0};
    f.push_back(static_cast<std::uint8_t>(code & 0xFF));
    f.push_back(static_cast<std::uint8_t>(code >> 8));
    f.insert(f.end(), {0x78, 0x78, status});
    f.push_back(FrameChecksum(f.data(), f.size()));
    return f;
}

struct EngineRig : ::testing::Test {
    VirtualHost host;
    FakeSerialPort port;
    RecordingView view;
    Engine engine{host, &port, nullptr, kTimers, view};

    void SetUp() override {
        host.SetTimerCallback([this](unsigned id) { EXPECT_TRUE(engine.OnTimer(id)); });
        engine.Link().Open(1, 'N');
        engine.Link().SetReady(true);
    }
    void Feed(const Bytes& bytes) {
        for (auto b : bytes) engine.OnByte(b);
    }
    void Feed(const std::string& text) { Feed(Bytes(text.begin(), text.end())); }
};

} // namespace quillet::test
