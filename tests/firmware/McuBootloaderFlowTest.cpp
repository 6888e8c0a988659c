// The main-MCU bootloader exchange on its own, with no dialog: its timers
// and pauses on a virtual clock, each write answered by the small
// bootloader of FirmwareSupport once the handler that wrote it has
// returned, as any front end would run it.
#include "FirmwareSupport.h"
#include "engine/McuBootloaderFlow.h"

namespace quillet {
namespace {

using Step = McuBootloaderFlow::Step;
using Phase = McuBootloaderFlow::Phase;
using test::Bytes;
using test::MiniBootloader;

constexpr std::uint32_t kFlash = 0x08000000;

struct Sent {
    Bytes bytes;
    std::uint64_t at;
    Phase phase;  // the flow's phase when it wrote
};

struct Shown {
    Step step;
    std::uint64_t at;
    float percent;
};

struct ClockLink : FlowLink {
    VirtualHost host;
    MiniBootloader device;
    bool deviceListens = true;
    McuBootloaderFlow* flow = nullptr;
    std::vector<Sent> sent;
    std::vector<Shown> shown;  // every step other than None, in order
    std::vector<FlowEvent> events;

    ClockLink() {
        host.SetTimerCallback([this](unsigned id) { Show(flow->OnTimer(static_cast<FlowTimer>(id))); });
    }
    void Show(Step step) {
        if (step != Step::None) shown.push_back({step, host.Now(), flow->Percent()});
    }
    void Send(const std::uint8_t* bytes, std::size_t length) override {
        sent.push_back({Bytes(bytes, bytes + length), host.Now(), flow->CurrentPhase()});
        if (!deviceListens) return;
        const Bytes reply = device.Answer(sent.back().bytes);
        if (reply.empty()) return;
        host.Post([this, reply] {
            for (std::uint8_t b : reply) Show(flow->OnByte(b));
        });
    }
    void SendToLine(const std::uint8_t*, std::size_t) override { ADD_FAILURE() << "no write waits for the line"; }
    void SendCommand(std::uint16_t, const std::uint8_t*, int) override { ADD_FAILURE() << "no command frames"; }
    void Pause(unsigned ms) override { host.Sleep(ms); }
    void Answered() override { ADD_FAILURE() << "the exchange has time-outs of its own"; }
    // The percentage comes with the steps (Percent).
    void Progress(float) override { ADD_FAILURE() << "the percentage is the driver's to show"; }
    void Tell(FlowEvent event, long long, long long, const std::string&) override { events.push_back(event); }
    void StartTimer(FlowTimer timer, unsigned ms) override { host.SetTimer(static_cast<unsigned>(timer), ms); }
    void StopTimer(FlowTimer timer) override { host.KillTimer(static_cast<unsigned>(timer)); }

    bool Armed(FlowTimer timer) const { return host.IsTimerArmed(static_cast<unsigned>(timer)); }
    std::vector<Sent> Of(std::size_t length) const {
        std::vector<Sent> out;
        for (const Sent& s : sent)
            if (s.bytes.size() == length) out.push_back(s);
        return out;
    }
    std::vector<Step> Steps() const {
        std::vector<Step> out;
        for (const Shown& s : shown) out.push_back(s.step);
        return out;
    }
    const Sent* First(const Bytes& bytes) const {
        for (const Sent& s : sent)
            if (s.bytes == bytes) return &s;
        return nullptr;
    }
};

// A flow over an image of `size` bytes, with the settings a test gives.
struct Exchange {
    ClockLink link;
    StreamState image;
    McuBootloaderFlow flow{link, image};

    explicit Exchange(std::size_t size, unsigned seed = 1) {
        image.buffer = test::Pattern(size, seed);
        image.size = static_cast<std::uint32_t>(size);
        link.flow = &flow;
    }
    void Run(std::uint64_t ms) {
        for (std::uint64_t i = 0; i < ms; ++i) link.host.Advance(1);
    }
    Bytes Flash(std::size_t n) const {
        Bytes out(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = link.device.FlashAt(kFlash + static_cast<std::uint32_t>(i));
        return out;
    }
    Bytes Padded() const {
        Bytes out = image.buffer;
        out.resize((out.size() + kMcuPieceBytes - 1) / kMcuPieceBytes * kMcuPieceBytes, 0xFF);
        return out;
    }
};

TEST(McuBootloaderFlow, OnItsOwnPacingASmallImageIsWrittenAndEndsDoneOnce) {
    Exchange x(300);
    x.flow.Begin();
    EXPECT_TRUE(x.flow.Running());
    EXPECT_FALSE(x.flow.Active());
    EXPECT_EQ(x.link.host.TimerPeriod(static_cast<unsigned>(FlowTimer::BootSync)), 300u);
    x.Run(6000);

    EXPECT_TRUE(x.link.device.errors.empty());
    EXPECT_EQ(x.Flash(384), x.Padded());
    EXPECT_EQ(x.flow.PieceCount(), 3u);
    EXPECT_EQ(x.flow.PiecesSent(), 3u);
    // Two pieces move the percentage, the last only once acknowledged; the
    // port closes when the answer timer armed at the last address runs out.
    EXPECT_EQ(x.link.Steps(), (std::vector<Step>{Step::Erase, Step::Erase, Step::Progress, Step::Progress,
                                                 Step::LastPieceSent, Step::Done, Step::Closed}));
    EXPECT_EQ(x.link.shown[2].percent, 128.0f / 300.0f * 100.0f);
    EXPECT_EQ(x.link.shown[4].percent, 256.0f / 300.0f * 100.0f);
    EXPECT_EQ(x.link.shown[5].percent, 100.0f);
    const auto addresses = x.link.Of(5);
    ASSERT_EQ(addresses.size(), 5u);  // two Read Memory queries, three pieces
    EXPECT_EQ(x.link.shown[6].at, addresses[4].at - 15 + 225);
    EXPECT_EQ(x.link.events, (std::vector<FlowEvent>{FlowEvent::BootloaderStarted, FlowEvent::BootloaderErasing}));
    EXPECT_TRUE(x.flow.Failure().empty());
    EXPECT_FALSE(x.flow.Running());
    EXPECT_FALSE(x.flow.Active());
    for (FlowTimer t : {FlowTimer::BootSync, FlowTimer::BootSend, FlowTimer::BootAnswer, FlowTimer::BootSilence})
        EXPECT_FALSE(x.link.Armed(t));

    // The pacing: Get 100 ms after the sync's answer, the erase codes 10 ms
    // after the erase's ACK, the first write command 2 s after theirs; each
    // piece's address and data 15 ms after an ACK, the next command 50 ms.
    const Sent* get = x.link.First({0x00, 0xFF});
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->at, 400u);
    const Sent* codes = x.link.First({0xFF, 0x00});
    const Sent* write = x.link.First({0x31, 0xCE});
    ASSERT_TRUE(codes && write);
    EXPECT_EQ(x.link.First({0x43, 0xBC})->at + 10, codes->at);
    EXPECT_EQ(codes->at + 2000, write->at);
    const auto data = x.link.Of(130);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(addresses[2].at, write->at + 15);
    EXPECT_EQ(data[0].at, addresses[2].at + 15);
    EXPECT_EQ(addresses[3].at, data[0].at + 50 + 15);
    // Where the operator is told it stood.
    EXPECT_EQ(get->phase, Phase::BeforeErase);
    EXPECT_EQ(codes->phase, Phase::Erasing);
    EXPECT_EQ(data[1].phase, Phase::Writing);
    EXPECT_EQ(data[2].phase, Phase::LastPiece);
}

TEST(McuBootloaderFlow, PacedByItsAnswersTheSameBytesGoAtOnceAndARefusedPieceFails) {
    Exchange timed(300, 4);
    timed.flow.Begin();
    timed.Run(6000);
    ASSERT_EQ(timed.link.Steps().back(), Step::Closed);

    Exchange paced(300, 4);
    paced.flow.Options().pacedByAnswers = true;
    paced.flow.Begin();
    paced.Run(6000);
    std::vector<Bytes> a, b;
    for (const Sent& s : timed.link.sent) a.push_back(s.bytes);
    for (const Sent& s : paced.link.sent) b.push_back(s.bytes);
    EXPECT_EQ(b, a);
    // The first sync tick starts it; nothing waits after that.
    EXPECT_EQ(paced.link.sent.back().at, 50u);
    EXPECT_EQ(paced.link.Steps().back(), Step::Closed);
    EXPECT_LE(paced.link.shown.back().at, 52u);
    EXPECT_EQ(paced.Flash(384), paced.Padded());

    Exchange refused(300, 4);
    refused.flow.Options().pacedByAnswers = true;
    refused.link.device.nackData = {kFlash + 128};
    refused.flow.Begin();
    refused.Run(3000);
    const auto steps = refused.link.Steps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), Step::Failed), 1);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), Step::Done), 0);
    EXPECT_EQ(steps.back(), Step::Failed);
    // Nothing after the refused data packet.
    EXPECT_EQ(refused.link.sent.back().bytes.size(), 130u);
    EXPECT_EQ(refused.flow.FailureAddress(), kFlash + 128);
    EXPECT_NE(refused.flow.Failure().find("did not acknowledge the write at 0x08000080"), std::string::npos);
    EXPECT_FALSE(refused.flow.TimedOut());
    // Running until the driver has told the failure.
    EXPECT_TRUE(refused.flow.Running());
    refused.flow.VerdictTold();
    EXPECT_FALSE(refused.flow.Running());
}

TEST(McuBootloaderFlow, OnItsOwnPacingAMissingAnswerIsBridgedButTheExchangeFails) {
    Exchange x(200, 6);
    x.link.device.silentWriteCommand = true;  // the first 31 CE gets no answer
    x.flow.Begin();
    x.Run(9000);
    // The answer timer (3.5 s after the first write command was queued)
    // stood in for the ACK; every piece went out and was written.
    const Sent* write = x.link.First({0x31, 0xCE});
    ASSERT_NE(write, nullptr);
    const auto addresses = x.link.Of(5);
    ASSERT_EQ(addresses.size(), 4u);
    EXPECT_EQ(addresses[2].at, write->at - 2000 + 3500 + 15);
    EXPECT_EQ(x.Flash(256), x.Padded());
    const auto steps = x.link.Steps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), Step::Done), 0);
    EXPECT_EQ(steps.back(), Step::Failed);
    EXPECT_EQ(x.flow.FailureAddress(), kFlash);
    EXPECT_NE(x.flow.Failure().find("did not acknowledge the write at 0x08000000"), std::string::npos);
    EXPECT_FALSE(x.flow.TimedOut());
    EXPECT_NE(x.flow.Percent(), 100.0f);

    // A NACK of a write is bridged the same way and ends the same.
    Exchange nack(200, 6);
    nack.link.device.nackData = {kFlash};
    nack.flow.Begin();
    nack.Run(9000);
    EXPECT_EQ(nack.link.Of(130).size(), 2u);
    EXPECT_EQ(nack.link.Steps().back(), Step::Failed);
    EXPECT_EQ(nack.flow.FailureAddress(), kFlash);
}

TEST(McuBootloaderFlow, TheLastPiecesAddressBridgedStillEndsTheExchange) {
    // The answer timer stands in for the ACK of the last piece's address;
    // the bootloader then acknowledges the data packet. The exchange ends
    // failed at that piece and the port is given up, with or without the
    // read-back, instead of waiting for a close that no timer brings.
    for (const bool verify : {false, true}) {
        Exchange x(256, 7);
        x.flow.Options().verifyAfterWrite = verify;
        x.link.device.silentAddress = {kFlash + 128};
        x.flow.Begin();
        x.Run(9000);
        EXPECT_EQ(x.link.Of(130).size(), 2u) << verify;
        const auto steps = x.link.Steps();
        ASSERT_FALSE(steps.empty()) << verify;
        EXPECT_EQ(steps.back(), Step::Failed) << verify;
        EXPECT_EQ(x.flow.FailureAddress(), kFlash + 128) << verify;
        EXPECT_NE(x.flow.Failure().find("did not acknowledge the write at 0x08000080"), std::string::npos) << verify;
        EXPECT_FALSE(x.link.Armed(FlowTimer::BootAnswer)) << verify;
        EXPECT_FALSE(x.link.Armed(FlowTimer::BootSilence)) << verify;
    }
}

TEST(McuBootloaderFlow, TimeOutsEndItWithTheStepTheyStoppedAt) {
    // Paced by its answers: a piece left unanswered ends it after the step
    // time-out.
    Exchange step(300, 8);
    step.flow.Options().pacedByAnswers = true;
    step.flow.Options().stepTimeoutMs = 1000;
    step.link.device.silentData = {kFlash + 128};
    step.flow.Begin();
    step.Run(4000);
    ASSERT_EQ(step.link.Steps().back(), Step::Failed);
    EXPECT_EQ(step.link.shown.back().at, step.link.sent.back().at + 1000);
    EXPECT_EQ(step.link.sent.back().bytes.size(), 130u);
    EXPECT_TRUE(step.flow.TimedOut());
    EXPECT_EQ(step.flow.FailureAddress(), kFlash + 128);

    // On its own pacing a bootloader that never answers is given up after
    // the silence limit, counted from the first sync byte.
    Exchange mute(128);
    mute.link.deviceListens = false;
    mute.flow.Options().silenceLimitMs = 2500;
    mute.flow.Begin();
    mute.Run(6000);
    ASSERT_EQ(mute.link.Steps(), std::vector<Step>{Step::Failed});
    EXPECT_EQ(mute.link.shown[0].at, 300u + 2500u);
    EXPECT_EQ(mute.flow.Failure().rfind("The MCU bootloader has sent nothing for 2.5 s. ", 0), 0u);
    EXPECT_NE(mute.flow.Failure().find("before the flash erase"), std::string::npos);
    EXPECT_TRUE(mute.flow.TimedOut());
    EXPECT_FALSE(mute.link.Armed(FlowTimer::BootSync));
    EXPECT_EQ(mute.link.sent.back().at, 300u + 2400u);  // the last sync byte before the limit

    // With no limit the sync bytes go on.
    Exchange patient(128);
    patient.link.deviceListens = false;
    patient.flow.Options().silenceLimitMs = 0;
    patient.flow.Begin();
    patient.Run(9000);
    EXPECT_TRUE(patient.link.shown.empty());
    EXPECT_EQ(patient.link.sent.size(), 30u);

    // The last piece never acknowledged: the answer timer ends it, the
    // bootloader was talking until then.
    Exchange last(130);
    last.link.device.silentData = {kFlash + 128};
    last.flow.Begin();
    last.Run(6000);
    ASSERT_EQ(last.link.Steps().back(), Step::Failed);
    EXPECT_FALSE(last.flow.TimedOut());
    EXPECT_EQ(last.flow.FailureAddress(), kFlash + 128);
    EXPECT_EQ(last.link.shown.back().at, last.link.Of(5).back().at - 15 + 225);
}

TEST(McuBootloaderFlow, StatesIgnoreStrayBytesAndCountReadData) {
    Exchange x(128);
    x.link.deviceListens = false;
    x.flow.Begin();
    x.Run(300);
    ASSERT_TRUE(x.flow.Active());
    ASSERT_EQ(x.link.sent.back().bytes, Bytes{0x7F});
    x.flow.OnByte(0x42);  // neither ACK nor NACK: still syncing
    EXPECT_EQ(x.flow.State(), BootState::Sync);
    x.flow.OnByte(0x79);
    ASSERT_EQ(x.flow.State(), BootState::Get);
    EXPECT_FALSE(x.link.Armed(FlowTimer::BootSync));
    const std::size_t w0 = x.link.sent.size();
    x.flow.OnByte(0x1F);  // a NACK is ignored in Get
    x.flow.OnByte(0x79);
    x.flow.OnByte(0x42);
    EXPECT_EQ(x.link.sent.size(), w0);
    x.flow.OnByte(0x79);
    EXPECT_EQ(x.flow.State(), BootState::GetId);
    EXPECT_EQ(x.link.sent.back().bytes, (Bytes{0x02, 0xFD}));
    x.flow.OnByte(0x79);
    x.flow.OnByte(0x79);
    ASSERT_EQ(x.flow.State(), BootState::ReadFlash);
    // After the command's, the address's and the count's ACK: four data
    // bytes of any value, ACKs included.
    for (int i = 0; i < 3; ++i) x.flow.OnByte(0x79);
    EXPECT_EQ(x.link.sent.back().bytes, (Bytes{0x03, 0xFC}));
    const std::size_t w1 = x.link.sent.size();
    for (int i = 0; i < 3; ++i) x.flow.OnByte(0x79);
    EXPECT_EQ(x.link.sent.size(), w1);
    x.flow.OnByte(0x00);
    EXPECT_EQ(x.flow.State(), BootState::ReadFlashSize);
    EXPECT_EQ(x.link.sent.back().bytes, (Bytes{0x11, 0xEE}));
    // The device signature's two bytes, then the erase command.
    for (int i = 0; i < 3; ++i) x.flow.OnByte(0x79);
    x.flow.OnByte(0x79);
    EXPECT_EQ(x.flow.State(), BootState::ReadFlashSize);
    x.flow.OnByte(0x04);
    EXPECT_EQ(x.link.sent.back().bytes, (Bytes{0x43, 0xBC}));
    EXPECT_EQ(x.flow.CurrentPhase(), Phase::EraseAsked);
    EXPECT_EQ(x.flow.Snapshot().stage, kStageSyncing);  // until the bootloader takes the erase
    EXPECT_EQ(x.flow.OnByte(0x1F), Step::Erase);  // refused: recorded, the exchange goes on
    EXPECT_EQ(x.flow.CurrentPhase(), Phase::EraseAsked);
    EXPECT_EQ(x.flow.OnByte(0x79), Step::Erase);
    EXPECT_EQ(x.flow.CurrentPhase(), Phase::Erasing);
    const FlowSnapshot erasing = x.flow.Snapshot();
    EXPECT_EQ(erasing.stage, kStageErasing);
    EXPECT_EQ(erasing.progress, "while the flash was being erased");
    EXPECT_EQ(erasing.unit, "pieces");
    EXPECT_EQ(erasing.done, 0u);
    EXPECT_EQ(x.link.events.back(), FlowEvent::BootloaderErasing);
    EXPECT_TRUE(x.link.Armed(FlowTimer::BootSend));  // the erase codes, 10 ms on
    EXPECT_EQ(x.flow.FailureAddress(), kFlash);
}

TEST(McuBootloaderFlow, ReadBackConfirmsTheFlashOrNamesTheFirstWrongByte) {
    Exchange good(300, 11);
    good.flow.Options().verifyAfterWrite = true;
    good.flow.Begin();
    good.Run(8000);
    const auto steps = good.link.Steps();
    EXPECT_EQ(std::count(steps.begin(), steps.end(), Step::Verified), 1);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), Step::Done), 0);
    EXPECT_EQ(steps.back(), Step::Closed);
    EXPECT_EQ(good.flow.Percent(), 100.0f);
    // Two reads after the pieces: 256 bytes, then the 128 left.
    std::vector<Bytes> counts;
    for (const Sent& s : good.link.sent)
        if (s.phase == Phase::Verifying && s.bytes.size() == 2 && s.bytes != Bytes{0x11, 0xEE}) counts.push_back(s.bytes);
    EXPECT_EQ(counts, (std::vector<Bytes>{{0xFF, 0x00}, {0x7F, 0x80}}));

    Exchange bad(300, 11);
    bad.flow.Options().verifyAfterWrite = true;
    bad.link.device.corruptAt = {kFlash + 0x105};
    bad.flow.Begin();
    bad.Run(8000);
    EXPECT_EQ(bad.link.Steps().back(), Step::Failed);
    EXPECT_EQ(bad.flow.FailureAddress(), kFlash + 0x105);
    EXPECT_NE(bad.flow.Failure().find("differs from the firmware file at 0x08000105"), std::string::npos);
}

TEST(McuBootloaderFlow, ResetStopsItsTimersAndKeepsTheVerdict) {
    Exchange x(128);
    x.link.device.nackData = {kFlash};
    x.flow.Options().pacedByAnswers = true;
    x.flow.Begin();
    // Until the refused piece has ended the exchange, before its port close.
    for (int i = 0; i < 1000 && !x.flow.VerdictPending(); ++i) x.Run(1);
    ASSERT_TRUE(x.flow.VerdictPending());
    ASSERT_TRUE(x.link.Armed(FlowTimer::BootAnswer));
    x.flow.Reset();
    for (FlowTimer t : {FlowTimer::BootSync, FlowTimer::BootSend, FlowTimer::BootAnswer, FlowTimer::BootSilence})
        EXPECT_FALSE(x.link.Armed(t));
    EXPECT_FALSE(x.flow.Active());
    EXPECT_FALSE(x.flow.Running());
    EXPECT_FALSE(x.flow.VerdictPending());
    EXPECT_EQ(x.flow.State(), BootState::Sync);
    EXPECT_EQ(x.flow.FailureAddress(), kFlash);
    EXPECT_FALSE(x.flow.Failure().empty());
}

} // namespace
} // namespace quillet
