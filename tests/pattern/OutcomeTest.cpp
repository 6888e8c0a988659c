// Every flow ends with one outcome (FlowEnded) on the virtual clock: an
// instrument that stops acknowledging, an erase never confirmed, a
// boot-mode entry or an input board left without an answer each end timed
// out within the flow's time-out, with one box that says how far it came
// and what to do, the note let go and the port given up. Controls that
// would end or replace an upload ask first.
#include "PatternSupport.h"
#include "support/DialogProbe.h"

#include "engine/Outcome.h"

namespace quillet {
namespace test {
// A scratch folder of the test's own, removed at its end.
struct TempFolder {
    std::filesystem::path path;
    TempFolder() {
        static int serial = 0;
        path = std::filesystem::temp_directory_path() /
               ("quillet-outcome-" + std::to_string(ProcessId()) + "-" + std::to_string(++serial));
        std::filesystem::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};
} // namespace test

namespace {

class OutcomeTest : public ::testing::Test, public test::DialogWithPort {
protected:
    static constexpr unsigned kTimeoutMs = 4000;

    OutcomeTest() { dlg.SetFlowTimeout(kTimeoutMs); }

    std::vector<FlowEventInfo> Ended() const {
        std::vector<FlowEventInfo> out;
        for (const auto& e : events)
            if (e.event == FlowEvent::FlowEnded) out.push_back(e);
        return out;
    }
    // An FPGA stream of `blocks` full blocks from the data folder.
    void StartFpga(const test::TempFolder& folder, std::size_t blocks) {
        test::WriteAll(folder.path / "GENERATOR_FPGA.bin", std::vector<std::uint8_t>(blocks * 256, 0x5A));
        dlg.SetDataFolder(folder.path.string());
        Open();
        dlg.OnCommand(IDC_GENERATOR_FPGA);
    }
    // A pattern upload past its erase wait, `acks` blocks acknowledged.
    void StartPattern(int slot, int acks) {
        Open();
        SetPatternNo(slot);
        dlg.OnCommand(IDC_NAND_FLASH);
        ReceiveText("cnd 12\r\n");
        for (int i = 0; i < acks; ++i) Ack();
    }
};

TEST_F(OutcomeTest, StreamThatStopsAcknowledgingTimesOutWithOneBox) {
    StartPattern(2, 20);
    const std::size_t writes = port.writes.size();
    host.Advance(kTimeoutMs - 1);
    EXPECT_TRUE(Ended().empty());
    host.Advance(2);
    const auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::TimedOut);
    EXPECT_EQ(static_cast<FlowKind>(ended[0].b), FlowKind::PatternStream);
    EXPECT_NE(ended[0].text.find("block 19 (20 of 24300 blocks acknowledged)"), std::string::npos) << ended[0].text;
    EXPECT_EQ(ended[0].advice, "the slot holds a partial pattern: run the upload again");
    EXPECT_TRUE(ended[0].told);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].text.find("The slot holds a partial pattern"), std::string::npos);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), kNoteStopped);
    EXPECT_NE(host.GetItemText(IDC_STATUS).find("Timed out at"), std::string::npos);
    EXPECT_NE(host.GetItemText(IDC_STATUS).find("(slot 2)"), std::string::npos);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_FALSE(dlg.CurrentFlow().Running());
    EXPECT_EQ(port.writes.size(), writes);
    // Nothing more happens later: one outcome, one box.
    host.Advance(60000);
    EXPECT_EQ(Ended().size(), 1u);
    EXPECT_EQ(host.boxes.size(), 1u);
}

TEST_F(OutcomeTest, EachAcknowledgementRestartsTheTimeOut) {
    StartPattern(1, 1);
    for (int i = 0; i < 5; ++i) {
        host.Advance(kTimeoutMs - 500);
        Ack();
    }
    EXPECT_TRUE(Ended().empty());
    EXPECT_TRUE(dlg.CurrentFlow().Running());
}

TEST_F(OutcomeTest, LastBlockAcknowledgedIsDoneAndNothingTimesOut) {
    test::TempFolder folder;
    StartFpga(folder, 3);
    Ack();
    Ack();
    EXPECT_TRUE(Ended().empty());
    EXPECT_TRUE(dlg.CurrentFlow().Running());  // the last block is out, its acknowledgement not yet
    Ack();
    const auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::Done);
    EXPECT_EQ(static_cast<FlowKind>(ended[0].b), FlowKind::FpgaStream);
    EXPECT_TRUE(ended[0].advice.empty());
    host.Advance(60000);
    EXPECT_EQ(Ended().size(), 1u);
    EXPECT_TRUE(host.boxes.empty());
}

// A front end that tells outcomes itself (the command line) learns which
// ones the dialog's own boxes have told already.
TEST_F(OutcomeTest, OutcomeSaysWhetherTheBoxesToldIt) {
    dlg.SetOutcomeBoxes(false);
    StartPattern(2, 5);
    host.Advance(kTimeoutMs + 1);
    auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::TimedOut);
    EXPECT_FALSE(ended[0].told);
    EXPECT_TRUE(host.boxes.empty());

    // A port that goes away has its box wherever the dialog runs.
    events.clear();
    StartPattern(1, 5);
    dlg.OnSerialLost(dlg.PortNumber());
    ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::DeviceGone);
    EXPECT_TRUE(ended[0].told);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].text.find("went away"), std::string::npos);
}

// Once the last block is acknowledged the instrument holds the whole image:
// the port going away after that changes nothing of the outcome.
TEST_F(OutcomeTest, LastBlockAcknowledgedStaysDoneWhenThePortGoesAway) {
    test::TempFolder folder;
    StartFpga(folder, 2);
    Ack();
    Ack();
    dlg.OnSerialLost(dlg.PortNumber());
    const auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::Done);
}

// A call the dialog refuses starts no flow and reports no outcome; its box
// says why, and the typed calls that can fail say so.
TEST_F(OutcomeTest, RefusedCallsStartNoFlow) {
    dlg.StorePattern(2);  // no port open
    EXPECT_FALSE(dlg.CurrentFlow().Running());
    EXPECT_TRUE(Ended().empty());
    EXPECT_EQ(host.boxes.size(), 1u);

    test::TempFolder folder;
    const auto damaged = folder.path / "damaged.bmp";
    test::WriteAll(damaged, std::vector<std::uint8_t>(5000, 0x42));
    EXPECT_FALSE(dlg.LoadImageFile(damaged.string()));
    EXPECT_FALSE(dlg.PatternReady());
    EXPECT_EQ(host.boxes.size(), 2u);
    EXPECT_FALSE(dlg.SelectPort(7));  // the test's port map has only COM1
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(OutcomeTest, LastBlockNeverAcknowledgedEndsWhenThePortCloses) {
    test::TempFolder folder;
    StartFpga(folder, 2);
    Ack();
    host.Advance(1000);  // timer 5 closes the port a second after the last block
    const auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::TimedOut);
    EXPECT_NE(ended[0].text.find("last block had gone out"), std::string::npos);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(OutcomeTest, EraseNeverConfirmedEndsTimedOutAfterItsOwnLimit) {
    Open();
    SetPatternNo(3);
    dlg.OnCommand(IDC_NAND_FLASH);
    host.Advance(50000);
    EXPECT_TRUE(Ended().empty());  // the program's own 51 s pause, not the flow time-out
    host.Advance(1000);
    const auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::TimedOut);
    EXPECT_EQ(static_cast<FlowKind>(ended[0].b), FlowKind::PatternErase);
    EXPECT_NE(ended[0].text.find("within 51 s"), std::string::npos) << ended[0].text;
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_ERASE));
    EXPECT_NE(host.GetItemText(IDC_STATUS).find("(slot 3)"), std::string::npos);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), kNoteStopped);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(OutcomeTest, BootModeEntryWithoutBannerAndSilentBoardTimeOut) {
    test::TempFolder folder;
    test::WriteAll(folder.path / "GENERATOR_MCU.bin", std::vector<std::uint8_t>(300, 1));
    dlg.SetDataFolder(folder.path.string());
    Open();
    dlg.OnCommand(IDC_GENERATOR_MCU);
    host.Advance(kTimeoutMs);
    auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<FlowKind>(ended[0].b), FlowKind::McuEntry);
    EXPECT_NE(ended[0].text.find("no boot-mode answer"), std::string::npos);
    EXPECT_NE(ended[0].advice.find("101"), std::string::npos);  // the dialog's way back in

    // An input board whose banner came, then nothing.
    events.clear();
    host.fileAnswers.push_back((folder.path / "GENERATOR_MCU.bin").string());
    Open();
    dlg.OnCommand(IDC_IN2);
    ReceiveText("UBD 02\r");
    host.Advance(kTimeoutMs);
    ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<FlowKind>(ended[0].b), FlowKind::BoardLoader);
    EXPECT_NE(ended[0].text.find("the input board has not answered"), std::string::npos);
    EXPECT_EQ(host.boxes.size(), 2u);
    EXPECT_FALSE(dlg.IsPortOpen());
}

TEST_F(OutcomeTest, McuImageGoneByTheBootModeBannerEndsTheUpdateFailed) {
    // The image was there when the button was pressed and is gone when the
    // instrument answers from boot mode: one box names the file and what
    // to do, the update ends failed and the port is given up, instead of
    // waiting for ever with nothing to write.
    test::TempFolder folder;
    const auto image = folder.path / "GENERATOR_MCU.bin";
    test::WriteAll(image, std::vector<std::uint8_t>(300, 1));
    dlg.SetDataFolder(folder.path.string());
    Open();
    dlg.OnCommand(IDC_GENERATOR_MCU);
    std::filesystem::remove(image);
    ReceiveText(" ISP MODE...\r");
    const auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::Failed);
    EXPECT_EQ(static_cast<FlowKind>(ended[0].b), FlowKind::McuEntry);
    EXPECT_EQ(ended[0].text.rfind("Can not find GENERATOR_MCU.bin !", 0), 0u) << ended[0].text;
    EXPECT_NE(ended[0].advice.find("101"), std::string::npos);  // the way back into the bootloader
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text.rfind("Can not find GENERATOR_MCU.bin !", 0), 0u) << host.boxes[0].text;
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_FALSE(dlg.CurrentFlow().Running());
    // Nothing is left to time out later.
    host.Advance(2 * kTimeoutMs);
    EXPECT_EQ(Ended().size(), 1u);
}

TEST_F(OutcomeTest, ControlsDuringAnUploadAskFirst) {
    StartPattern(2, 3);
    const std::size_t writes = port.writes.size();
    // No to each: the upload goes on, the port stays open, nothing replaced.
    for (int id : {IDC_LOAD_IMAGE, IDC_NAND_FLASH, IDC_PANEL_DATA, IDC_PORT_BUTTON, IDC_COM_LIST})
        dlg.OnCommand(id);
    EXPECT_EQ(host.questions.size(), 5u);
    EXPECT_TRUE(host.fileFilters.empty());  // Load Image showed no file dialog
    EXPECT_TRUE(dlg.IsPortOpen());
    EXPECT_EQ(port.writes.size(), writes);
    EXPECT_EQ(host.comboSel[IDC_COM_LIST], 0);  // the list shows the upload's port again
    Ack();
    EXPECT_EQ(port.writes.size(), writes + 1);

    // Yes to "Close Port": a clean stop, the port closed and not reopened.
    host.yesNoAnswers.push_back(true);
    dlg.OnCommand(IDC_PORT_BUTTON);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_FALSE(port.open);
    const auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(static_cast<OutcomeKind>(ended[0].a), OutcomeKind::Stopped);
    EXPECT_NE(host.GetItemText(IDC_STATUS).find("Stopped at"), std::string::npos);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].text.find("partial pattern"), std::string::npos);
}

TEST(OutcomeTable, EveryFlowThatWritesHasAdviceAndTheFrontEndsOwnWords) {
    const AdviceTerms cli{"run quillet-cli mcu generator --direct to write it again"};
    for (FlowKind k : {FlowKind::Search, FlowKind::PatternErase, FlowKind::PatternStream, FlowKind::PanelStream,
                       FlowKind::FpgaStream, FlowKind::AuxFpgaStream, FlowKind::AnalyzerData, FlowKind::McuEntry,
                       FlowKind::McuBootloader, FlowKind::SubMcuEntry, FlowKind::BoardEntry,
                       FlowKind::BoardLoader})
        EXPECT_FALSE(FlowAdvice(k, cli).empty()) << static_cast<int>(k);
    EXPECT_TRUE(FlowAdvice(FlowKind::None, cli).empty());
    EXPECT_EQ(FlowAdvice(FlowKind::McuBootloader, cli),
              "the MCU is left in its bootloader with a partial image: run quillet-cli mcu generator --direct to "
              "write it again");
    EXPECT_EQ(OutcomeText("time-out: x", "run it again"), "Time-out: x\nRun it again.");
}

} // namespace
} // namespace quillet
