// The main-MCU bootloader exchange on the virtual clock, against a small
// STM32 USART bootloader that answers every write at once.
#include "FirmwareSupport.h"

namespace quillet {
namespace {

using test::Bytes;
using test::MiniBootloader;

constexpr const char* kSucceeded = "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";

struct Written {
    Bytes bytes;
    std::uint64_t at;
    unsigned timeoutPeriod;    // timer 10 at the moment of the write (0 = not armed)
    std::uint64_t timeoutDue;
    float progress;
};

struct BootFixture : test::FirmwareFixture {
    MiniBootloader boot;
    test::ScratchDir scratch;
    std::size_t served = 0;
    std::vector<Written> log;

    void SetUp() override {
        test::FirmwareFixture::SetUp();
        port.onWrite = [this](const Bytes& w) {
            const bool armed = host.IsTimerArmed(TIMER_BOOT_TIMEOUT);
            log.push_back(Written{w, host.Now(), armed ? host.TimerPeriod(TIMER_BOOT_TIMEOUT) : 0u,
                                  armed ? host.TimerDue(TIMER_BOOT_TIMEOUT) : 0u, dlg.Progress()});
        };
    }

    // The device answers what reached it while the port was open.
    void Serve() {
        while (served < port.writes.size()) {
            const Bytes w = port.writes[served++];
            if (!port.open) continue;
            const Bytes reply = boot.Answer(w);
            if (!reply.empty()) port.Receive(reply);
        }
    }
    void Pump(std::uint64_t ms) {
        Serve();
        for (std::uint64_t i = 0; i < ms; ++i) {
            host.Advance(1);
            Serve();
        }
    }
    // The generator's update on the direct path (pattern 101), its exchange
    // run as `exchange` says: the checks, then what follows the banner:
    // the file loaded, the port closed and timer 8 armed.
    void Start(const Bytes& image, const McuBootloaderFlow::Settings& exchange = {}) {
        scratch.Write("data/GENERATOR_MCU.bin", image);
        const std::size_t before = port.writes.size();
        McuUpdate update;
        update.direct = true;
        update.exchange = exchange;
        dlg.UpdateMainMcu(update);
        ASSERT_EQ(port.writes.size(), before);
        ASSERT_TRUE(host.IsTimerArmed(TIMER_BOOT_SYNC));
        served = port.writes.size();
    }
    std::vector<Written> WritesOf(std::size_t length) const {
        std::vector<Written> out;
        for (const auto& w : log)
            if (w.bytes.size() == length) out.push_back(w);
        return out;
    }
    Bytes FlashImage(std::size_t n) const {
        Bytes out(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = boot.FlashAt(0x08000000 + static_cast<std::uint32_t>(i));
        return out;
    }
    static Bytes Padded(Bytes image) {
        image.resize((image.size() + 127) / 128 * 128, 0xFF);
        return image;
    }
};

TEST_F(BootFixture, ImageOf300BytesGoesOutAsThreePiecesWithFill) {
    const Bytes image = test::Pattern(300);
    Start(image);
    Pump(6000);
    EXPECT_TRUE(boot.errors.empty());

    const auto addresses = WritesOf(5);
    // 08 00 00 00 08 is also the Read Memory address; the write addresses follow it.
    ASSERT_EQ(addresses.size(), 5u);
    EXPECT_EQ(addresses[2].bytes, (Bytes{0x08, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(addresses[3].bytes, (Bytes{0x08, 0x00, 0x00, 0x80, 0x88}));
    EXPECT_EQ(addresses[4].bytes, (Bytes{0x08, 0x00, 0x01, 0x00, 0x09}));

    const auto data = WritesOf(130);
    ASSERT_EQ(data.size(), 3u);
    const Bytes& third = data[2].bytes;
    EXPECT_EQ(third[0], 0x7F);
    EXPECT_TRUE(std::equal(image.begin() + 256, image.end(), third.begin() + 1));
    EXPECT_EQ(std::count(third.begin() + 45, third.begin() + 129, 0xFF), 84);
    std::uint8_t x = 0;
    for (int i = 0; i < 129; ++i) x ^= third[i];
    EXPECT_EQ(third[129], x);
    EXPECT_EQ(FormatProgress(data[0].progress), "42.6667");
    EXPECT_EQ(FormatProgress(data[1].progress), "85.3333");
    // 100 % only once the bootloader has acknowledged the last piece.
    EXPECT_EQ(FormatProgress(data[2].progress), "85.3333");
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "100");

    EXPECT_EQ(FlashImage(384), Padded(image));
    EXPECT_EQ(host.GetItemText(IDC_NOTE), kSucceeded);
    EXPECT_TRUE(host.boxes.empty());
    ASSERT_EQ(EventsOf(FlowEvent::BootloaderDone).size(), 1u);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone)[0].a, 1);
    // The port closes 225 ms after the last address packet was armed on
    // timer 9 (it went out 15 ms later).
    EXPECT_EQ(TimeOf(FlowEvent::PortClosed), static_cast<long long>(addresses[4].at - 15 + 225));
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    // The even parity stays: a port chosen in the COM list opens with it.
    const std::size_t written = port.writes.size();
    ASSERT_TRUE(dlg.SelectPort(1));
    EXPECT_EQ(port.opens.back().parity, 'E');
    // Bytes go to the frame parser again and send nothing.
    port.Receive({0x79, 0x79});
    EXPECT_EQ(port.writes.size(), written);
}

TEST_F(BootFixture, ImageOf256BytesEndsWithTheSecondPieceFull) {
    const Bytes image = test::Pattern(256, 7);
    Start(image);
    Pump(6000);
    const auto data = WritesOf(130);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_TRUE(std::equal(image.begin() + 128, image.end(), data[1].bytes.begin() + 1));
    EXPECT_EQ(data[0].progress, 50.0f);
    EXPECT_EQ(data[1].progress, 50.0f);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "100");
    EXPECT_EQ(FlashImage(256), image);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), kSucceeded);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 1);
}

TEST_F(BootFixture, SyncAnsweredWithNackIsAccepted) {
    boot.syncReply = MiniBootloader::kNack;
    const Bytes image = test::Pattern(200, 3);
    Start(image);
    Pump(6000);
    EXPECT_EQ(FlashImage(256), Padded(image));
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 1);
}

TEST_F(BootFixture, TimingOfTheWholeExchange) {
    boot.syncsIgnored = 2;
    Start(test::Pattern(300));
    Pump(6000);

    ASSERT_EQ(port.opens.size(), 2u);  // the port button, then the reopen
    EXPECT_EQ(port.openTimes[1], 300u);
    EXPECT_EQ(port.opens[1].parity, 'E');
    EXPECT_EQ(port.opens[1].baud, 115200u);
    EXPECT_EQ(port.opens[1].dataBits, 8u);
    EXPECT_EQ(port.opens[1].stopBits, 1u);
    EXPECT_EQ(port.opens[1].bufferSize, 512u);
    EXPECT_EQ(port.monitorStarts, 2);

    // Sync every 300 ms from 600 ms until answered; then the fixed pauses.
    const std::vector<std::pair<Bytes, std::uint64_t>> expected = {
        {{0x7F}, 600},
        {{0x7F}, 900},
        {{0x7F}, 1200},
        {{0x00, 0xFF}, 1300},
        {{0x02, 0xFD}, 1350},
        {{0x11, 0xEE}, 1400},
        {{0x08, 0x00, 0x00, 0x00, 0x08}, 1450},
        {{0x03, 0xFC}, 1500},
        {{0x11, 0xEE}, 1550},
        {{0x1F, 0xFF, 0xF7, 0xE0, 0xF7}, 1600},
        {{0x01, 0xFE}, 1610},
        {{0x43, 0xBC}, 1620},
        {{0xFF, 0x00}, 1630},
        {{0x31, 0xCE}, 3630},
    };
    ASSERT_GE(log.size(), expected.size() + 4);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(log[i].bytes, expected[i].first) << "write " << i;
        EXPECT_EQ(log[i].at, expected[i].second) << "write " << i;
    }
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_SYNC));
    // Timer 10 behind each part: 200 ms for the erase codes, 3500 ms for
    // the first write command, 225 ms later on.
    EXPECT_EQ(log[12].timeoutPeriod, 200u);
    EXPECT_EQ(log[12].timeoutDue, 1820u);
    EXPECT_EQ(log[13].timeoutPeriod, 3500u);
    EXPECT_EQ(log[13].timeoutDue, 5130u);
    const std::size_t a = expected.size();
    EXPECT_EQ(log[a].bytes.size(), 5u);                 // address, 15 ms after the ACK
    EXPECT_EQ(log[a].at, 3645u);
    EXPECT_EQ(log[a].timeoutPeriod, 225u);
    EXPECT_EQ(log[a].timeoutDue, 3855u);
    EXPECT_EQ(log[a + 1].bytes.size(), 130u);           // data, 15 ms after the ACK
    EXPECT_EQ(log[a + 1].at, 3660u);
    EXPECT_EQ(log[a + 1].timeoutDue, 3870u);
    EXPECT_EQ(log[a + 2].bytes, (Bytes{0x31, 0xCE}));  // next command, 50 ms after the ACK
    EXPECT_EQ(log[a + 2].at, 3710u);
    EXPECT_EQ(log[a + 2].timeoutDue, 3885u);
}

TEST_F(BootFixture, SilentBootloaderIsBridgedByTimerTenButNotCalledASuccess) {
    boot.silentWriteCommand = true;  // the first 31 CE gets no answer
    const Bytes image = test::Pattern(128);
    Start(image);
    Pump(8000);
    // The write command went out at 1030 (no sync skipped); 3500 ms after
    // the erase ACK timer 10 stands in and the address follows 15 ms later.
    const auto addresses = WritesOf(5);  // two Read Memory addresses, one write address
    ASSERT_EQ(addresses.size(), 3u);
    EXPECT_EQ(addresses[2].at, 1030u + 3500u + 15u);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, " ISP");
    EXPECT_NE(host.boxes[0].text.find("0x08000000"), std::string::npos);
    EXPECT_NE(host.GetItemText(IDC_NOTE), kSucceeded);
    const auto done = EventsOf(FlowEvent::BootloaderDone);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].a, 0);
    EXPECT_EQ(done[0].b, 0x08000000);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(BootFixture, NackDuringWritingContinuesAndEndsWithTheFailure) {
    const Bytes image = test::Pattern(300, 5);
    // The traffic of a run where every part is acknowledged.
    Start(image);
    Pump(6000);
    const std::vector<Bytes> clean(port.writes.begin() + 0, port.writes.end());
    ASSERT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 1);

    VirtualHost host2;
    test::TimedPort port2{host2};
    CLoaderDlg dlg2{host2, &port2};
    dlg2.OnInitDialog();
    std::vector<FlowEventInfo> ev2;
    std::vector<std::uint64_t> closeTimes;
    dlg2.SetEventSink([&](const FlowEventInfo& e) {
        ev2.push_back(e);
        if (e.event == FlowEvent::PortClosed) closeTimes.push_back(host2.Now());
    });
    dlg2.OnPortButton();
    MiniBootloader refusing;
    refusing.nackData = {0x08000080};
    std::size_t served2 = port2.writes.size();
    auto serve = [&] {
        while (served2 < port2.writes.size()) {
            const Bytes w = port2.writes[served2++];
            if (!port2.open) continue;
            const Bytes r = refusing.Answer(w);
            if (!r.empty()) port2.Receive(r);
        }
    };
    dlg2.StartMcuBootloader();
    served2 = port2.writes.size();
    std::vector<std::uint64_t> dataTimes;
    std::vector<std::uint64_t> commandTimes;  // the write commands after the erase
    port2.onWrite = [&](const Bytes& w) {
        if (w.size() == 130) dataTimes.push_back(host2.Now());
        if (w == Bytes{0x31, 0xCE}) commandTimes.push_back(host2.Now());
    };
    for (int i = 0; i < 6000; ++i) {
        host2.Advance(1);
        serve();
    }
    // The same bytes went out; after the refused piece the exchange went on
    // 225 ms after that piece's address was acknowledged.
    EXPECT_EQ(std::vector<Bytes>(port2.writes.begin() + 0, port2.writes.end()), clean);
    ASSERT_EQ(dataTimes.size(), 3u);
    ASSERT_EQ(commandTimes.size(), 3u);
    // An acknowledged piece is followed by the next write command 50 ms
    // later; the refused one only when timer 10 (225 ms from the address
    // ACK, 15 ms before the data went out) stands in, 50 ms after that.
    EXPECT_EQ(commandTimes[1], dataTimes[0] + 50);
    EXPECT_EQ(commandTimes[2], dataTimes[1] - 15 + 225 + 50);
    ASSERT_EQ(host2.boxes.size(), 1u);
    EXPECT_EQ(host2.boxes[0].caption, " ISP");
    EXPECT_NE(host2.boxes[0].text.find("0x08000080"), std::string::npos);
    EXPECT_EQ(host2.GetItemText(IDC_NOTE).find("Note: Succeed"), std::string::npos);
    int done = 0;
    for (const auto& e : ev2) {
        if (e.event != FlowEvent::BootloaderDone) continue;
        ++done;
        EXPECT_EQ(e.a, 0);
        EXPECT_EQ(e.b, 0x08000080);
        EXPECT_FALSE(e.text.empty());
    }
    EXPECT_EQ(done, 1);
    EXPECT_EQ(closeTimes.size(), 1u);
    EXPECT_FALSE(dlg2.IsPortOpen());
}

TEST_F(BootFixture, LastPieceNeverAcknowledgedFailsWhenThePortCloses) {
    const Bytes image = test::Pattern(130);
    boot.silentData = {0x08000080};
    Start(image);
    Pump(6000);
    const auto addresses = WritesOf(5);
    ASSERT_EQ(addresses.size(), 4u);
    EXPECT_EQ(TimeOf(FlowEvent::PortClosed), static_cast<long long>(addresses[3].at - 15 + 225));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].text.find("0x08000080"), std::string::npos);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 0);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
}

TEST_F(BootFixture, FailureIsToldEvenWhenThePortIsClosedFirst) {
    boot.nackData = {0x08000000};
    Start(test::Pattern(128));
    // Until the refused last piece has ended the exchange; its failure
    // waits for timer 10 to close the port.
    ASSERT_EQ(dlg.CurrentFlow().kind, FlowKind::McuBootloader);
    for (int i = 0; i < 6000 && dlg.CurrentFlow().Running(); ++i) Pump(1);
    ASSERT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    ASSERT_EQ(WritesOf(130).size(), 1u);
    ASSERT_TRUE(host.IsTimerArmed(TIMER_BOOT_TIMEOUT));
    ASSERT_TRUE(host.boxes.empty());
    ASSERT_TRUE(EventsOf(FlowEvent::BootloaderDone).empty());
    dlg.OnPortButton();  // before timer 10 closes the port
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].text.find("0x08000000"), std::string::npos);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 0);
    host.Advance(1000);
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).size(), 1u);
}

TEST_F(BootFixture, ReadMemoryDataBytesOf0x79AreCountedAsData) {
    boot.readOverride[0x08000000] = {0x79, 0x79, 0x79, 0x79};
    boot.readOverride[0x1FFFF7E0] = {0x79, 0x79};
    const Bytes image = test::Pattern(128, 9);
    Start(image);
    Pump(6000);
    EXPECT_TRUE(boot.errors.empty());
    EXPECT_EQ(FlashImage(128), image);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 1);
    // Exactly one read of each kind went out.
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const Written& w) { return w.bytes == Bytes{0x03, 0xFC}; }), 1);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const Written& w) { return w.bytes == Bytes{0x01, 0xFE}; }), 1);
}

TEST_F(BootFixture, ReadBackAfterWritingConfirmsTheFlash) {
    McuBootloaderFlow::Settings readBack;
    readBack.verifyAfterWrite = true;
    const Bytes image = test::Pattern(300, 11);
    Start(image, readBack);
    Pump(8000);
    EXPECT_TRUE(boot.errors.empty());
    // Two reads: 256 bytes at 0x08000000, 128 at 0x08000100.
    std::vector<Bytes> counts;
    for (std::size_t i = 0; i + 1 < log.size(); ++i)
        if (log[i].bytes.size() == 5 && log[i + 1].bytes.size() == 2 && log[i].at > 3000) counts.push_back(log[i + 1].bytes);
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0], (Bytes{0xFF, 0x00}));
    EXPECT_EQ(counts[1], (Bytes{0x7F, 0x80}));
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 1);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), kSucceeded);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(BootFixture, ReadBackFindsAWrongByte) {
    McuBootloaderFlow::Settings readBack;
    readBack.verifyAfterWrite = true;
    boot.corruptAt = {0x08000105};
    Start(test::Pattern(300, 11), readBack);
    Pump(8000);
    const auto done = EventsOf(FlowEvent::BootloaderDone);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].a, 0);
    EXPECT_EQ(done[0].b, 0x08000105);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].text.find("0x08000105"), std::string::npos);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(BootFixture, WithoutReadBackTheTrafficHasNoReadAfterTheWrites) {
    Start(test::Pattern(300, 11));
    Pump(8000);
    const auto it = std::find_if(log.begin(), log.end(), [](const Written& w) { return w.bytes == Bytes{0x43, 0xBC}; });
    ASSERT_NE(it, log.end());
    EXPECT_EQ(std::count_if(it, log.end(), [](const Written& w) { return w.bytes == Bytes{0x11, 0xEE}; }), 0);
}

TEST_F(BootFixture, FailedReopenStillStartsTheExchangeOnTheNextTick) {
    Start(test::Pattern(128));
    port.present.clear();
    host.Advance(300);
    EXPECT_EQ(port.opens.back().parity, 'E');
    EXPECT_FALSE(port.opens.back().ok);
    EXPECT_EQ(port.monitorStarts, 1);  // only the port button's
    host.Advance(300);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderStarted).size(), 1u);
    EXPECT_EQ(port.writes.back(), (Bytes{0x7F}));
    host.Advance(300);
    EXPECT_EQ(port.writes.back(), (Bytes{0x7F}));
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderStarted).size(), 1u);
}

TEST_F(BootFixture, SecondUpdateAfterEvenParityStillReopensThePort) {
    // An earlier update leaves even parity; the COM list keeps it.
    Start(test::Pattern(128, 2));
    Pump(6000);
    ASSERT_EQ(EventsOf(FlowEvent::BootloaderDone).size(), 1u);
    ASSERT_TRUE(dlg.SelectPort(1));
    ASSERT_EQ(port.opens.back().parity, 'E');
    events.clear();
    Start(test::Pattern(128));
    const std::size_t opens = port.opens.size();
    const std::size_t written = port.writes.size();
    host.Advance(300);
    ASSERT_EQ(port.opens.size(), opens + 1);
    EXPECT_EQ(port.opens.back().parity, 'E');
    EXPECT_TRUE(port.open);
    // That tick only reopened the port: the sync byte follows on the next.
    EXPECT_EQ(port.writes.size(), written);
    EXPECT_TRUE(EventsOf(FlowEvent::BootloaderStarted).empty());
    Pump(3000);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 1);
    EXPECT_EQ(FlashImage(128), test::Pattern(128));
    EXPECT_EQ(host.GetItemText(IDC_NOTE), kSucceeded);
}

TEST_F(BootFixture, MissingImageLeavesThePortClosedWithoutTimer) {
    ASSERT_NO_FATAL_FAILURE(FindInstrument(kGroupAnalyzer));
    dlg.StartMcuBootloader();
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_SYNC));
    ASSERT_EQ(host.boxes.size(), 1u);
    // The file asked for is named, and why it cannot be read.
    EXPECT_EQ(host.boxes[0].text.rfind("Can not find ANALYZER_MCU.bin !\n\"", 0), 0u) << host.boxes[0].text;
    EXPECT_NE(host.boxes[0].text.find("ANALYZER_MCU.bin\" cannot be opened: "), std::string::npos) << host.boxes[0].text;
}

TEST_F(BootFixture, AnalyzerImageIsTakenForGroupOne) {
    scratch.Write("data/ANALYZER_MCU.bin", test::Pattern(10));
    ASSERT_NO_FATAL_FAILURE(FindInstrument(kGroupAnalyzer));
    dlg.StartMcuBootloader();
    EXPECT_TRUE(host.IsTimerArmed(TIMER_BOOT_SYNC));
    EXPECT_EQ(dlg.StatusText(), "Please wait...");
    EXPECT_EQ(dlg.CurrentFlow().total, 1u);  // pieces
    // Its ten bytes are what the flash receives.
    served = port.writes.size();
    Pump(6000);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 1);
    EXPECT_EQ(WritesOf(130).size(), 1u);
    EXPECT_EQ(FlashImage(128), Padded(test::Pattern(10)));
}

TEST_F(BootFixture, PortButtonCloseEndsAStalledExchange) {
    Start(test::Pattern(128));
    for (int i = 0; i < 1000 && EventsOf(FlowEvent::BootloaderStarted).empty(); ++i) host.Advance(1);
    ASSERT_EQ(port.writes.back(), (Bytes{0x7F}));
    // The device answers the sync byte, then falls silent in the middle of
    // the queries.
    port.Receive({0x79});
    ASSERT_EQ(port.writes.back(), (Bytes{0x00, 0xFF}));
    dlg.OnPortButton();
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_SYNC));
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_SEND));
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_TIMEOUT));
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 0);
    // Reopened, later bytes reach the frame parser and send nothing.
    dlg.OnPortButton();
    EXPECT_EQ(port.opens.back().parity, 'N');
    const std::size_t w = port.writes.size();
    port.Receive({0x79, 0x79, 0x79});
    EXPECT_EQ(port.writes.size(), w);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
}

TEST_F(BootFixture, NewSearchEndsAnExchangeInTheErase) {
    Start(test::Pattern(128));
    // Until the erase codes are armed on timer 9, timer 10 behind them.
    for (int i = 0; i < 3000 && !host.IsTimerArmed(TIMER_BOOT_SEND); ++i) Pump(1);
    ASSERT_EQ(dlg.CurrentFlow().stage, kStageErasing);
    ASSERT_TRUE(host.IsTimerArmed(TIMER_BOOT_TIMEOUT));
    host.yesNoAnswers = {true};  // the operator stops the update for the search
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    EXPECT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::Search);
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderDone).at(0).a, 0);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_SEND));
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_TIMEOUT));
}

} // namespace
} // namespace quillet

namespace quillet {
namespace {

// mcu --fast: a dialog of its own on the virtual clock, the bootloader
// answering as `configure` makes it.
struct FastRun {
    VirtualHost host;
    test::TimedPort port{host};
    CLoaderDlg dlg{host, &port};
    MiniBootloader boot;
    std::vector<FlowEventInfo> events;
    std::uint64_t closedAt = 0;

    FastRun(bool fast, const Bytes& image, test::ScratchDir& scratch) {
        dlg.OnInitDialog();
        dlg.SetEventSink([this](const FlowEventInfo& e) {
            events.push_back(e);
            if (e.event == FlowEvent::PortClosed && !closedAt) closedAt = host.Now();
        });
        dlg.OnPortButton();
        scratch.Write("data/GENERATOR_MCU.bin", image);
        McuUpdate update;
        update.direct = true;
        update.exchange.pacedByAnswers = fast;
        update.exchange.stepTimeoutMs = 1000;
        dlg.UpdateMainMcu(update);
    }
    void Pump(std::uint64_t ms) {
        std::size_t served = port.writes.size();
        for (std::uint64_t i = 0; i < ms; ++i) {
            host.Advance(1);
            while (served < port.writes.size()) {
                const Bytes w = port.writes[served++];
                if (!port.open) continue;
                const Bytes r = boot.Answer(w);
                if (!r.empty()) port.Receive(r);
            }
        }
    }
    const FlowEventInfo* Done() const {
        for (const auto& e : events)
            if (e.event == FlowEvent::BootloaderDone) return &e;
        return nullptr;
    }
};

TEST(BootFast, TheSameBytesAtOnceAndANackOrASilenceEndsItNamingThePiece) {
    test::ScratchDir scratch;
    const Bytes image = test::Pattern(300, 9);
    FastRun normal(false, image, scratch);
    normal.Pump(6000);
    ASSERT_NE(normal.Done(), nullptr);
    ASSERT_EQ(normal.Done()->a, 1);

    FastRun fast(true, image, scratch);
    fast.Pump(6000);
    ASSERT_NE(fast.Done(), nullptr);
    EXPECT_EQ(fast.Done()->a, 1);
    EXPECT_EQ(fast.port.writes, normal.port.writes);
    // Two sync ticks (reopen, first sync byte); every later write at once.
    EXPECT_EQ(fast.port.writeTimes.back(), 100u);
    EXPECT_LE(fast.closedAt, 102u);
    EXPECT_GT(normal.closedAt, 3000u);
    EXPECT_TRUE(fast.host.boxes.empty());

    // A refused piece ends it at once: nothing after the refused data.
    FastRun refused(true, image, scratch);
    refused.boot.nackData = {0x08000080};
    refused.Pump(3000);
    ASSERT_NE(refused.Done(), nullptr);
    EXPECT_EQ(refused.Done()->a, 0);
    EXPECT_EQ(refused.Done()->b, 0x08000080);
    EXPECT_EQ(refused.port.writes.back().size(), 130u);
    ASSERT_EQ(refused.host.boxes.size(), 1u);
    EXPECT_NE(refused.host.boxes[0].text.find("0x08000080"), std::string::npos);
    EXPECT_LE(refused.closedAt, refused.port.writeTimes.back() + 2);

    // A piece left unanswered: the step time-out (1000 ms) ends it.
    FastRun silent(true, image, scratch);
    silent.boot.silentData = {0x08000080};
    silent.Pump(3000);
    ASSERT_NE(silent.Done(), nullptr);
    EXPECT_EQ(silent.Done()->a, 2);
    EXPECT_EQ(silent.Done()->b, 0x08000080);
    EXPECT_EQ(silent.closedAt, silent.port.writeTimes.back() + 1000);
    ASSERT_EQ(silent.host.boxes.size(), 1u);
    EXPECT_NE(silent.host.boxes[0].text.find("0x08000080"), std::string::npos);
    EXPECT_NE(silent.host.GetItemText(IDC_NOTE).find("Failed"), std::string::npos);

    // No answer at all: the sync's step time-out.
    FastRun mute(true, image, scratch);
    mute.boot.syncsIgnored = 1000000;
    mute.Pump(3000);
    ASSERT_NE(mute.Done(), nullptr);
    EXPECT_EQ(mute.Done()->a, 2);
    EXPECT_EQ(mute.Done()->b, 0x08000000);
    EXPECT_EQ(mute.port.writes.size(), 20u);  // sync bytes every 50 ms from 100 ms to 1050 ms
}

} // namespace
} // namespace quillet
