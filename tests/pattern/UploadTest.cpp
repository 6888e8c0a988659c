// "SG NAND FLASH" and the panel data on the virtual clock: slot commands,
// the "cnd 12" wait and its limit, the first frames and whole streams.
#include "PatternSupport.h"
#include "support/DialogProbe.h"

namespace quillet {
namespace {

using test::BlockNumberOf;
using test::MarkerOf;
using test::SumsToZero;

class UploadTest : public ::testing::Test, public test::DialogWithPort {
protected:
    std::filesystem::path dir = test::MakeScratchDir("upload");
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Text(std::size_t write) const {
        const auto& w = port.writes.at(write);
        return std::string(w.begin(), w.end());
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> m;
        for (const auto& b : host.boxes) m.push_back(b.text);
        return m;
    }
    void StartNand(int slot) {
        SetPatternNo(slot);
        dlg.OnNandFlash();
    }
};

TEST_F(UploadTest, RangeAndPortAreCheckedFirst) {
    for (int n : {0, 5}) {
        SetPatternNo(n);
        dlg.OnNandFlash();
        dlg.OnPanelDataFlash();
    }
    SetPatternNo(2);
    dlg.OnNandFlash();
    dlg.OnPanelDataFlash();
    Find(kGroupAnalyzer);
    dlg.OnPanelDataFlash();
    const std::string range = "User pattern number should be 1~4 !";
    const std::string port1 = "Please turn on the COM port first by searching device!";
    EXPECT_EQ(Messages(), (std::vector<std::string>{range, range, range, range, port1, port1,
                                                    "Please confirm the device is Signal Generator!"}));
    EXPECT_EQ(host.boxes[0].caption, "ISP");
    EXPECT_EQ(host.boxes[4].caption, " ISP");
    EXPECT_EQ(host.boxes[6].caption, " ISP");
    EXPECT_TRUE(port.writes.empty());
    EXPECT_NE(dlg.CurrentFlow().kind, FlowKind::PatternErase);
}

TEST_F(UploadTest, SlotCommandsAreTwentyEightBytes) {
    Open();
    for (int slot = 1; slot <= 4; ++slot) {
        StartNand(slot);
        const std::string want = std::string("\r\nDBG 1\r\nfpw 7c 0") + char('5' + slot) + "\r\ncnd 12\r\n";
        EXPECT_EQ(Text(port.writes.size() - 1), want);
        EXPECT_EQ(want.size(), 28u);
    }
    EXPECT_EQ(Text(2), "\r\nDBG 1\r\nfpw 7c 08\r\ncnd 12\r\n");
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: While programming \r\n data flash ,please \r\n do not press any button!");
    EXPECT_EQ(host.GetItemText(IDC_STATUS), "Erasing.");
    EXPECT_EQ(host.TimerPeriod(TIMER_ERASE), 1000u);
}

TEST_F(UploadTest, WaitEndsOnlyAtALineFeedAfterLowerCaseCnd12) {
    Open();
    StartNand(1);
    ReceiveText("Erase block 0..\r\nCND 12\r\n");
    ReceiveText("done: cnd 12");
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::PatternErase);
    EXPECT_EQ(port.writes.size(), 1u);
    ReceiveText("\r");
    EXPECT_EQ(port.writes.size(), 1u);
    ReceiveText("\n");
    EXPECT_NE(dlg.CurrentFlow().kind, FlowKind::PatternErase);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_ERASE));
    EXPECT_EQ(host.GetItemText(IDC_STATUS), " ");
    EXPECT_TRUE(test::Probe(dlg).EchoText().empty());
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1].size(), 270u);
    EXPECT_EQ(Count(FlowEvent::EraseWaitEnded), 1);

    StartNand(2);  // a line without it, then one with it among other text
    ReceiveText("fpw 7c 07\n>> cnd 12 ok");
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::PatternErase);
    ReceiveText("\n");
    EXPECT_NE(dlg.CurrentFlow().kind, FlowKind::PatternErase);
    EXPECT_EQ(port.writes.size(), 4u);
}

// The wait's limit ends the upload timed out (the outcome's box and
// status line are checked in OutcomeTest).
TEST_F(UploadTest, EraseAnimationAndTheFiftyOneTickLimit) {
    Open();
    StartNand(1);
    const char* frames[] = {"Erasing..", "Erasing...", "Erasing....", "Erasing."};
    for (int t = 0; t < 4; ++t) {
        host.Advance(1000);
        EXPECT_EQ(host.GetItemText(IDC_STATUS), frames[t]);
    }
    host.Advance(46000);  // 50 ticks (the count itself: UploadEngineTest)
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::PatternErase);
    EXPECT_EQ(host.GetItemText(IDC_STATUS), "Erasing...");
    EXPECT_TRUE(host.IsTimerArmed(TIMER_ERASE));
    host.Advance(1000);
    EXPECT_NE(dlg.CurrentFlow().kind, FlowKind::PatternErase);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_ERASE));
    EXPECT_EQ(Count(FlowEvent::EraseWaitEnded), 1);
    EXPECT_EQ(Count(FlowEvent::PortClosed), 1);
    EXPECT_EQ(events.back().event, FlowEvent::FlowEnded);
    EXPECT_EQ(static_cast<OutcomeKind>(events.back().a), OutcomeKind::TimedOut);
    ReceiveText("cnd 12\n");  // too late: goes to the frame parser, nothing starts
    Ack(0);
    Ack(1);  // nor does a stray acknowledgement
    EXPECT_EQ(port.writes.size(), 1u);
}

TEST_F(UploadTest, FirstPatternFrameOfAnAllZeroRaster) {
    Open();
    StartNand(1);
    ReceiveText("cnd 12\n");
    ASSERT_EQ(port.writes.size(), 2u);
    const auto& f = port.writes[1];
    std::vector<std::uint8_t> want = {0xAA, 0x00, 0x00, 0x09, 0x01, 0x00, 0x00, 0x78, 0x78, 0x30, 0x00, 0x00, 0x00};
    want.resize(269, 0);
    want.push_back(0x2C);
    EXPECT_EQ(f, want);
    EXPECT_EQ(dlg.Progress(), static_cast<float>(255.0 / 6220800.0 * 100.0));
}

TEST_F(UploadTest, WholePatternGoesOutInOrderAndEndsAtBlock24299) {
    std::vector<std::uint8_t> raster(kRasterBytes);
    for (std::size_t i = 0; i < kRasterBytes; ++i) raster[i] = static_cast<std::uint8_t>(i % 251);
    test::WriteRgbBmp(dir / "pattern.bmp", 1920, 1080, raster);
    ASSERT_TRUE(dlg.LoadImageFile((dir / "pattern.bmp").string()));
    Open();
    StartNand(4);
    ReceiveText("cnd 12\r\n");
    for (int k = 1; k < 24300; ++k) Ack();
    ASSERT_EQ(port.writes.size(), 24301u);
    std::vector<std::uint8_t> sent;
    sent.reserve(kRasterBytes);
    int bad = 0;
    for (std::size_t k = 1; k < port.writes.size(); ++k) {
        const auto& f = port.writes[k];
        bad += f.size() != 270 || f[9] != 0x30 || BlockNumberOf(f) != k - 1 || !SumsToZero(f) ||
               MarkerOf(f) != (k == 24300 ? 0x40 : 0x00);
        sent.insert(sent.end(), f.begin() + 13, f.begin() + 269);
    }
    EXPECT_EQ(bad, 0);
    EXPECT_TRUE(sent == raster);
    const auto& last = port.writes.back();
    EXPECT_EQ(last[10], 0xEB);
    EXPECT_EQ(last[11], 0x5E);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "100");
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: While programming \r\n data flash ,please \r\n do not press any button!");
    EXPECT_TRUE(host.IsTimerArmed(TIMER_CLOSE));
    EXPECT_EQ(host.GetItemText(IDC_STATUS), " ");
    Ack();  // the last block acknowledged: the upload is done
    EXPECT_EQ(port.writes.size(), 24301u);
    EXPECT_EQ(host.GetItemText(IDC_STATUS), "User pattern stored in slot 4.");
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: The upload is \r\n complete. You may \r\n press any button.");
}

// The stream sends the imported raster itself, not a copy of it; an image
// loaded while it runs goes to the next upload and leaves this one alone.
TEST_F(UploadTest, PatternStreamSharesTheRasterAndKeepsItAcrossAnImport) {
    std::vector<std::uint8_t> first(kRasterBytes), second(kRasterBytes);
    for (std::size_t i = 0; i < kRasterBytes; ++i) {
        first[i] = static_cast<std::uint8_t>(i % 253);
        second[i] = static_cast<std::uint8_t>(i % 241 + 7);
    }
    test::WriteRgbBmp(dir / "first.bmp", 1920, 1080, first);
    test::WriteRgbBmp(dir / "second.bmp", 1920, 1080, second);
    // The raster the import leaves is the store's decoded one.
    auto files = std::make_shared<SharedFiles>();
    dlg.ShareFiles(files);
    ASSERT_TRUE(dlg.LoadImageFile((dir / "first.bmp").string()));
    std::string refusal;
    const std::uint8_t* imported = files->Image((dir / "first.bmp").string(), refusal)->raster->data();
    Open();
    StartNand(2);
    EXPECT_EQ(test::Probe(dlg).Stream().Bytes().data(), imported);
    ReceiveText("cnd 12\r\n");
    for (int k = 1; k < 100; ++k) Ack();
    ASSERT_TRUE(dlg.LoadImageFile((dir / "second.bmp").string()));
    for (int k = 100; k < 24300; ++k) Ack();
    ASSERT_EQ(port.writes.size(), 24301u);
    std::vector<std::uint8_t> sent;
    sent.reserve(kRasterBytes);
    for (std::size_t k = 1; k < port.writes.size(); ++k)
        sent.insert(sent.end(), port.writes[k].begin() + 13, port.writes[k].begin() + 269);
    EXPECT_TRUE(sent == first);
    Ack();
    host.Advance(5000);  // the port closes a second after the last block
    if (!dlg.IsPortOpen()) Open();
    StartNand(3);
    ReceiveText("cnd 12\r\n");
    ASSERT_EQ(port.writes.size(), 24303u);
    const auto& f = port.writes.back();
    EXPECT_TRUE(std::equal(f.begin() + 13, f.begin() + 269, second.begin()));
}

TEST_F(UploadTest, FirstPanelFrameOfSlotOne) {
    Open();
    SetPatternNo(1);
    dlg.OnPanelDataFlash();
    ASSERT_EQ(port.writes.size(), 1u);
    std::vector<std::uint8_t> want = {0xAA, 0x00, 0x00, 0x09, 0x01, 0x00, 0x00, 0x78, 0x78, 0x21, 0x88, 0x2C, 0x80};
    want.resize(269, 0);
    want.push_back(0x07);
    EXPECT_EQ(port.writes[0], want);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: While programming data flash, please \r\n do not press any button!");
    EXPECT_EQ(dlg.Progress(), static_cast<float>(255.0 / 76800.0 * 100.0));
    Ack(1);  // the hand-built first block can be asked for again
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], want);
}

TEST_F(UploadTest, PanelSlotFourRunsFrom12300To12599) {
    std::vector<std::uint8_t> rgb(240 * 160 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 13 + i / 720 + 5);
    test::WriteRgbBmp(dir / "panel.bmp", 240, 160, rgb);
    ASSERT_TRUE(dlg.LoadImageFile((dir / "panel.bmp").string()));
    Open();
    SetPatternNo(4);
    dlg.OnPanelDataFlash();
    for (int k = 1; k < 300; ++k) Ack();
    ASSERT_EQ(port.writes.size(), 300u);
    EXPECT_EQ(port.writes[0][10], 0x0C);
    EXPECT_EQ(port.writes[0][11], 0x30);
    std::vector<std::uint8_t> sent;
    for (std::size_t k = 0; k < 300; ++k) {
        const auto& f = port.writes[k];
        ASSERT_EQ(BlockNumberOf(f), 12300u + k);
        ASSERT_EQ(f[9], 0x21);
        ASSERT_EQ(MarkerOf(f), k == 0 ? 0x80 : k == 299 ? 0x40 : 0x00);
        sent.insert(sent.end(), f.begin() + 13, f.begin() + 269);
    }
    EXPECT_EQ(sent, test::PanelOf(rgb));
    EXPECT_TRUE(host.IsTimerArmed(TIMER_CLOSE));
}

TEST_F(UploadTest, PanelButtonDuringTheEraseWaitStreamsThePanel) {
    Open();
    StartNand(1);
    SetPatternNo(2);
    dlg.OnPanelDataFlash();
    EXPECT_NE(dlg.CurrentFlow().kind, FlowKind::PatternErase);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(BlockNumberOf(port.writes[1]), 11700u);
    host.Advance(1000);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_ERASE));
    Ack();  // the acknowledgement reaches the stream, not the echo text
    ASSERT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(BlockNumberOf(port.writes[2]), 11701u);
}

// Closing the dialog (close box or Escape both reach OnClose) and a search
// button while the instrument is written: the question, then No leaves the
// upload running to its end, Yes stops it with the port closed.
TEST_F(UploadTest, CloseAndSearchDuringAnUploadAskFirst) {
    const std::string noteStopped = "Note: The transfer stopped \r\n before its end. Please \r\n start it again.";
    const auto question = [&](std::size_t i) { return host.questions.at(i).text; };
    Open();
    SetPatternNo(2);
    dlg.OnPanelDataFlash();
    for (int k = 0; k < 100; ++k) Ack();
    const std::string shown = host.GetItemText(IDC_PROGRESS);
    ASSERT_EQ(shown, "33.6667");

    // No, twice: nothing changes, no search frame goes out.
    const std::size_t written = port.writes.size();
    dlg.OnClose();
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    ASSERT_EQ(host.questions.size(), 2u);
    EXPECT_EQ(question(0), "An upload to the instrument is running (33.6667 %). Stop it?");
    EXPECT_EQ(question(1), question(0));
    EXPECT_EQ(host.questions[0].caption, "Quillet");
    EXPECT_FALSE(host.ended);
    EXPECT_TRUE(port.open);
    EXPECT_EQ(port.writes.size(), written);
    EXPECT_EQ(port.closeRequests, 0);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), shown);
    // ... and the upload goes on to its end: 300 blocks, all acknowledged.
    for (int k = 100; k < 300; ++k) Ack();
    ASSERT_EQ(port.writes.size(), 300u);
    EXPECT_EQ(MarkerOf(port.writes.back()), 0x40);
    ASSERT_EQ(events.back().event, FlowEvent::FlowEnded);
    EXPECT_EQ(static_cast<OutcomeKind>(events.back().a), OutcomeKind::Done);
    EXPECT_EQ(events.back().text, "the panel-image upload to slot 2: 300 blocks acknowledged");
    EXPECT_EQ(host.GetItemText(IDC_STATUS), "Panel image stored in slot 2.");

    // Done: closing asks nothing.
    dlg.OnClose();
    EXPECT_EQ(host.questions.size(), 2u);
    EXPECT_TRUE(host.ended);
    host.ended = false;

    // Yes during the erase wait (a new upload starts from 0 %) stops it, and
    // the dialog closes.
    StartNand(3);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "0");
    host.yesNoAnswers = {true};
    dlg.OnClose();
    EXPECT_EQ(question(2), "An upload to the instrument is running (0 %). Stop it?");
    EXPECT_TRUE(host.ended);
    EXPECT_FALSE(port.open);
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
    EXPECT_EQ(host.GetItemText(IDC_NOTE), noteStopped);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_ERASE));
    EXPECT_EQ(Count(FlowEvent::FlowStopped), 1);

    // Yes to a search button in the middle of a pattern stream: the stream
    // stops, the port closes, then the search runs.
    Open();
    StartNand(1);
    ReceiveText("cnd 12\n");
    for (int k = 0; k < 10; ++k) Ack();
    const std::size_t before = port.writes.size();
    const int closes = port.closeRequests;
    host.yesNoAnswers = {true};
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    EXPECT_EQ(question(3), "An upload to the instrument is running (" + FormatProgress(dlg.Progress()) +
                               " %). Stop it?");
    EXPECT_GT(port.closeRequests, closes);
    EXPECT_EQ(Count(FlowEvent::FlowStopped), 2);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), noteStopped);
    ASSERT_EQ(port.writes.size(), before + 1);  // the search frame
    EXPECT_EQ(port.writes.back().size(), 10u);
    EXPECT_EQ(host.GetItemText(IDC_SEARCH_STATUS), "Please wait.....");
    // A late acknowledgement neither carries the stream on nor calls it stored.
    Ack();
    EXPECT_EQ(port.writes.size(), before + 1);
    EXPECT_EQ(host.GetItemText(IDC_STATUS).rfind("Stopped at ", 0), 0u);
}

// A slot field that does not read as a number: one box, nothing sent, even
// though the slot read before (2) is still in the member.
TEST_F(UploadTest, SlotFieldThatIsNoNumberSendsNothing) {
    Open();
    SetPatternNo(2);
    ASSERT_TRUE(dlg.UpdateData(true));
    for (const char* text : {"x", ""}) {
        for (int button : {IDC_NAND_FLASH, IDC_PANEL_DATA}) {
            host.boxes.clear();
            host.texts[IDC_PATTERN_NO] = text;
            dlg.OnCommand(button);
            ASSERT_EQ(Messages(), std::vector<std::string>{"Please enter an integer."}) << text << " " << button;
            EXPECT_TRUE(port.writes.empty());
            EXPECT_NE(dlg.CurrentFlow().kind, FlowKind::PatternErase);
        }
    }
}

} // namespace
} // namespace quillet
