// Bootloader entry: the firmware buttons' checks, messages and text
// commands, the banner matcher, the outside sub-MCU tool and the analyzer
// data flash.
#include <sys/stat.h>

#include "FirmwareSupport.h"
#include "firmware/ExternalTool.h"
#include "support/DialogProbe.h"

namespace quillet {
namespace {

using test::Bytes;
using test::Text;

// The tool's command line: Windows starts the file itself, as WinExec does.
#ifdef _WIN32
constexpr const char* kToolCommand = ".\\FlyMcu\\FlyMcu.exe";
#else
constexpr const char* kToolCommand = "./FlyMcu/FlyMcu.exe";
#endif

const Bytes kIspEntry = {0x0D, 0x0A, 'I', 'S', 'P', ' ', '3', '2', ' ', '1', 0x0D, 0x0A};

struct EntryFixture : test::FirmwareFixture {
    void Banner(const std::string& line) {
        for (char c : line) dlg.OnSerialRxChar(static_cast<std::uint8_t>(c), 1);
    }
    // The generator's MCU button, its image in `scratch`: the entry command
    // is out and the instrument's banner awaited.
    void EnterMainMcu(const test::ScratchDir& scratch) {
        scratch.Write("data/GENERATOR_MCU.bin", test::Pattern(64));
        dlg.OnGeneratorMcu();
        ASSERT_EQ(dlg.CurrentFlow().kind, FlowKind::McuEntry);
    }
    // The sub-MCU button with the first MCU of the list.
    void EnterSubMcu() {
        host.comboSel[IDC_MCU_LIST] = 0;
        dlg.OnSubMcu();
        ASSERT_EQ(dlg.CurrentFlow().kind, FlowKind::SubMcuEntry);
    }
};

struct ClosedPortFixture : EntryFixture {
    void SetUp() override {
        EntryFixture::SetUp();
        dlg.OnPortButton();
        host.boxes.clear();
    }
};

TEST_F(ClosedPortFixture, EveryButtonAsksForThePortWithItsCaption) {
    const std::vector<std::pair<int, const char*>> buttons = {
        {IDC_GENERATOR_MCU, "ISP"}, {IDC_SUB_MCU, " ISP"}, {IDC_IN1, " ISP"},      {IDC_IN4, " ISP"},
        {IDC_ANALYZER_MCU, " ISP"}, {IDC_ANALYZER_DATA, "ISP"},
    };
    for (const auto& [id, caption] : buttons) {
        host.boxes.clear();
        dlg.OnCommand(id);
        ASSERT_EQ(host.boxes.size(), 1u) << id;
        EXPECT_EQ(host.boxes[0].text, "Please turn on the COM port first!") << id;
        EXPECT_EQ(host.boxes[0].caption, caption) << id;
    }
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(host.fileFilters.empty());
    // The data flash button takes the analyzer's address even so: once the
    // port is open, a stream that sets no address of its own (the aux
    // FPGA) is carried on by the analyzer's acknowledgement alone.
    test::ScratchDir scratch;
    dlg.OnPortButton();
    // Not aux.bin: AUX is a device name on Windows.
    host.fileAnswers.push_back(scratch.Write("side-fpga.bin", test::Pattern(100)));
    dlg.OnAuxFpga();
    ASSERT_EQ(port.writes.size(), 1u);
    ASSERT_EQ(dlg.CurrentFlow().kind, FlowKind::AuxFpgaStream);
    port.Receive(test::AckFrom(kGroupGenerator));
    EXPECT_TRUE(EventsOf(FlowEvent::BlockAcked).empty());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::AuxFpgaStream);
    port.Receive(test::AckFrom(kGroupAnalyzer));
    EXPECT_EQ(EventsOf(FlowEvent::BlockAcked).size(), 1u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
}

TEST_F(EntryFixture, DeviceKindIsChecked) {
    ASSERT_NO_FATAL_FAILURE(FindInstrument(kGroupAnalyzer));
    dlg.OnGeneratorMcu();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Please confirm the device is Signal Generator!");
    EXPECT_EQ(host.boxes[0].caption, " ISP");
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);

    ASSERT_NO_FATAL_FAILURE(FindInstrument(kGroupGenerator));
    dlg.OnAnalyzerMcu();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Please confirm the device is Signal Analyzer!");
    EXPECT_EQ(host.boxes[0].caption, " ISP");
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
}

TEST_F(EntryFixture, GeneratorAndAnalyzerSendTheEntryCommand) {
    test::ScratchDir scratch;
    scratch.Write("data/GENERATOR_MCU.bin", test::Pattern(64));
    scratch.Write("data/ANALYZER_MCU.bin", test::Pattern(64));
    dlg.OnGeneratorMcu();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], kIspEntry);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::McuEntry);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: While updating \r\n firmware ,please \r\n do not press any button!");
    EXPECT_EQ(port.closeRequests, 0);

    ASSERT_NO_FATAL_FAILURE(FindInstrument(kGroupAnalyzer));
    dlg.OnAnalyzerMcu();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], kIspEntry);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::McuEntry);
    EXPECT_TRUE(host.boxes.empty());
}

// The image is checked before the instrument is asked into boot mode (it
// would be left waiting in its bootloader): a missing, empty or folder
// image sends nothing, also on the direct path, and says which and why.
TEST_F(EntryFixture, AnImageThatCannotBeUsedSendsNoEntryCommand) {
    test::ScratchDir scratch;
#ifdef _WIN32
    const std::string image = ".\\data\\GENERATOR_MCU.bin";
#else
    const std::string image = "./data/GENERATOR_MCU.bin";
#endif
    dlg.OnGeneratorMcu();
    scratch.Write("data/GENERATOR_MCU.bin", {});
    dlg.OnGeneratorMcu();
    host.texts[IDC_PATTERN_NO] = "101";
    dlg.OnGeneratorMcu();
    std::filesystem::remove(scratch.Path() / "data" / "GENERATOR_MCU.bin");
    std::filesystem::create_directories(scratch.Path() / "data" / "GENERATOR_MCU.bin");
    dlg.OnGeneratorMcu();
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(port.closeRequests, 0);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_BOOT_SYNC));
    ASSERT_EQ(host.boxes.size(), 4u);
    EXPECT_EQ(host.boxes[0].text.rfind("Can not find GENERATOR_MCU.bin !\n\"" + image + "\" cannot be opened: ", 0), 0u)
        << host.boxes[0].text;
    EXPECT_EQ(host.boxes[1].text, "Can not find GENERATOR_MCU.bin !\n\"" + image + "\" is empty.");
    EXPECT_EQ(host.boxes[2].text, host.boxes[1].text);
    EXPECT_EQ(host.boxes[3].text, "Can not find GENERATOR_MCU.bin !\n\"" + image + "\" is a folder, not a file.");
}

TEST_F(EntryFixture, PatternNumber101GoesStraightToTheBootloader) {
    test::ScratchDir scratch;
    scratch.Write("data/GENERATOR_MCU.bin", test::Pattern(64));
    ASSERT_NO_FATAL_FAILURE(FindInstrument(kGroupAnalyzer));  // forced back to the generator
    host.texts[IDC_PATTERN_NO] = "101";
    ASSERT_TRUE(dlg.UpdateData(true));
    // A field that does not read as a number stops after its box: the 101
    // read before must not take the instrument into its bootloader.
    host.texts[IDC_PATTERN_NO] = "x";
    dlg.OnGeneratorMcu();
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(port.closeRequests, 0);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    host.boxes.clear();
    host.texts[IDC_PATTERN_NO] = "101";
    dlg.OnGeneratorMcu();
    EXPECT_TRUE(port.writes.empty());
    // The generator's kind passed its check and its image was loaded.
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::McuBootloader);
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_EQ(host.TimerPeriod(TIMER_BOOT_SYNC), 300u);
    host.Advance(300);
    EXPECT_EQ(port.opens.back().parity, 'E');
    // The main-MCU entry counts as under way, as after the instrument's
    // banner: until the exchange takes the bytes a boot-mode line is still
    // heard ("UBD 00" asks for the entry command again).
    EXPECT_TRUE(port.writes.empty());
    Banner("UBD 00\r");
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], kIspEntry);
    host.Advance(300);
    EXPECT_EQ(port.writes.back(), (Bytes{0x7F}));
    EXPECT_EQ(EventsOf(FlowEvent::BootloaderStarted).size(), 1u);
    // The kind stays the generator's: the analyzer's button is refused.
    dlg.OnAnalyzerMcu();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Please confirm the device is Signal Analyzer!");
}

TEST_F(EntryFixture, SubMcuNeedsASelectionAndSendsItsSelector) {
    host.comboSel[IDC_MCU_LIST] = -1;
    dlg.OnSubMcu();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Please select a MCU first!");
    EXPECT_EQ(host.boxes[0].caption, "ISP");
    EXPECT_TRUE(port.writes.empty());

    host.comboSel[IDC_MCU_LIST] = 0;
    dlg.OnSubMcu();
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[0], (Bytes{0x0D, 0x0A}));
    EXPECT_EQ(port.writes[1], Text("UBP 32 2  0\r\n"));
    EXPECT_EQ(port.writeTimes[1] - port.writeTimes[0], 100u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::SubMcuEntry);

    host.comboSel[IDC_MCU_LIST] = 9;
    dlg.OnSubMcu();
    EXPECT_EQ(port.writes.back(), Text("UBP 32 2  9\r\n"));
    host.comboSel[IDC_MCU_LIST] = 10;
    dlg.OnSubMcu();
    EXPECT_EQ(port.writes.back(), Text("UBP 32 2 20\r\n"));
}

TEST_F(EntryFixture, InputBoardButtonSendsItsBoardDigitAfterTheFile) {
    test::ScratchDir scratch;
    const auto path = scratch.Write("board.bin", test::Pattern(40));
    host.fileAnswers.push_back(path);
    dlg.OnCommand(IDC_IN3);
    ASSERT_EQ(host.fileFilters.size(), 1u);
    EXPECT_EQ(host.fileFilters[0], "bmp file(*.bin)|*.bin|all file(*.*)|*.*||");
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0], Text("\r\nUBP 32 2 3\r\n"));
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardEntry);
    EXPECT_EQ(dlg.CurrentFlow().slot, 3);
    // The board's loader takes the file's 40 bytes (InputBoardTest follows
    // them to the chunk frames).
    Banner("UBD 03\r");
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardLoader);
    EXPECT_EQ(dlg.CurrentFlow().total, 40u);
}

TEST_F(EntryFixture, InputBoardDialogCancelledOrBadFileSendsNothing) {
    test::ScratchDir scratch;
    const Bytes before = test::Probe(dlg).Stream().Bytes();
    host.fileAnswers.push_back(std::nullopt);  // cancel
    dlg.OnInputBoardFirmware(1);
    host.fileAnswers.push_back((scratch.Path() / "missing.bin").string());
    dlg.OnInputBoardFirmware(2);
    host.fileAnswers.push_back(scratch.Write("empty.bin", {}));
    dlg.OnInputBoardFirmware(3);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    // No old buffer is replaced by what was refused.
    EXPECT_EQ(test::Probe(dlg).Stream().Bytes(), before);
    // The file and the reason follow on a second line.
    ASSERT_EQ(host.boxes.size(), 2u);
    const std::string missing = (scratch.Path() / "missing.bin").string();
    EXPECT_EQ(host.boxes[0].text.rfind("Open file failed!\n\"" + missing + "\" cannot be opened: ", 0), 0u)
        << host.boxes[0].text;
    EXPECT_EQ(host.boxes[1].text, "Open file failed!\n\"" + (scratch.Path() / "empty.bin").string() + "\" is empty.");
}

// ---- banner matcher ------------------------------------------------------------

TEST_F(EntryFixture, LooseUbd00ResendsTheEntryCommand) {
    test::ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(EnterMainMcu(scratch));
    ASSERT_EQ(port.writes.size(), 1u);
    const std::size_t sleeps = host.sleeps.size();
    Banner("boot UBD 77\r");  // four equal positions
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], kIspEntry);
    ASSERT_EQ(host.sleeps.size(), sleeps + 1);
    EXPECT_EQ(host.sleeps.back().second, 400u);
    Banner("UBX 9Y\r");  // three
    EXPECT_EQ(port.writes.size(), 3u);
    // "UBX 99" has U, B and the blank in place: three positions as well.
    Banner("UBX 99\r");
    EXPECT_EQ(port.writes.size(), 4u);
    Banner("UXX 99\r");  // two
    EXPECT_EQ(port.writes.size(), 4u);
    Banner("UBD 00");    // no carriage return yet
    EXPECT_EQ(port.writes.size(), 4u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::McuEntry);
}

TEST_F(EntryFixture, IspModeMustEndRightBeforeTheCarriageReturn) {
    ASSERT_NO_FATAL_FAILURE(EnterSubMcu());
    const std::size_t written = port.writes.size();
    Banner(" ISP MODE...X\r");
    EXPECT_EQ(port.writes.size(), written);
    EXPECT_TRUE(host.startedPrograms.empty());
    EXPECT_TRUE(dlg.IsPortOpen());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::SubMcuEntry);
}

TEST_F(EntryFixture, IspModeAfterAMainEntryStartsTheBootloader) {
    test::ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(EnterMainMcu(scratch));
    // Longer than the ring: only the last 16 characters count.
    Banner("0123456789abcdefghij ISP MODE...\r");
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_TRUE(host.IsTimerArmed(TIMER_BOOT_SYNC));
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::McuBootloader);
    EXPECT_TRUE(dlg.IsPortOpen());  // the display is left as it was
}

TEST_F(EntryFixture, IspModeAfterASubMcuEntryHandsThePortToTheTool) {
    test::ScratchDir scratch;
    scratch.Write("FlyMcu/FlyMcu.exe", Text("#!/bin/sh\nexit 0\n"));
    test::MakeExecutable(scratch.Path() / "FlyMcu/FlyMcu.exe");
    ASSERT_NO_FATAL_FAILURE(EnterSubMcu());
    // A main-MCU entry under way as well, which the buttons never leave
    // (each ends the other): the sub-MCU's entry takes the banner, and
    // both end.
    test::Probe(dlg).Entry().mcuEntry = 1;
    Banner("xx ISP MODE...\r");
    ASSERT_EQ(host.startedPrograms.size(), 1u);
    EXPECT_EQ(host.startedPrograms[0], kToolCommand);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
    EXPECT_EQ(EventsOf(FlowEvent::ExternalToolStarted).at(0).a, 1);
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(EntryFixture, ToolThatCannotBeStartedIsReported) {
    test::ScratchDir scratch;  // no FlyMcu folder here
#ifdef _WIN32
    // Windows looks for the file when it starts the program.
    host.startProgramResult = false;
#endif
    ASSERT_NO_FATAL_FAILURE(EnterSubMcu());
    Banner(" ISP MODE...\r");
#ifndef _WIN32
    EXPECT_TRUE(host.startedPrograms.empty());
#endif
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "ISP");
    EXPECT_NE(host.boxes[0].text.find("FlyMcu"), std::string::npos);
    EXPECT_EQ(EventsOf(FlowEvent::ExternalToolStarted).at(0).a, 0);
    // The port is given up all the same.
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);

    // Present, but the host cannot start it.
    scratch.Write("FlyMcu/FlyMcu.exe", Text("#!/bin/sh\n"));
    test::MakeExecutable(scratch.Path() / "FlyMcu/FlyMcu.exe");
    host.startProgramResult = false;
    dlg.OnPortButton();
    ASSERT_NO_FATAL_FAILURE(EnterSubMcu());
    Banner(" ISP MODE...\r");
    ASSERT_EQ(host.boxes.size(), 2u);
    EXPECT_EQ(host.boxes[1].caption, "ISP");
    EXPECT_EQ(EventsOf(FlowEvent::ExternalToolStarted).at(1).a, 0);
}

TEST_F(EntryFixture, KeyboardChainHandsOverToTheTool) {
    test::ScratchDir scratch;
    scratch.Write("FlyMcu/FlyMcu.exe", Text("#!/bin/sh\n"));
    test::MakeExecutable(scratch.Path() / "FlyMcu/FlyMcu.exe");
    ASSERT_NO_FATAL_FAILURE(EnterMainMcu(scratch));
    host.texts[IDC_KEYBOARD_CHAIN] = "1099";
    Banner("UBD 00\r");
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text,
              "Next step is to update SUB MCU firmware! Be sure to load the firmware which is for  KEY BOARD");
    EXPECT_EQ(host.boxes[0].caption, "ISP");
    EXPECT_EQ(host.startedPrograms.size(), 1u);
    // The chain code is used up.
    EXPECT_EQ(host.GetItemText(IDC_KEYBOARD_CHAIN), "0");
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::None);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(port.writes.size(), 1u);  // the entry command alone: no second one
}

TEST_F(EntryFixture, BoardBannerStartsTheLoader) {
    test::ScratchDir scratch;
    host.fileAnswers.push_back(scratch.Write("board.bin", test::Pattern(40)));
    dlg.OnInputBoardFirmware(3);
    ASSERT_EQ(port.writes.size(), 1u);
    Banner("UBD 05\r");   // not a board
    Banner("UBD 00\r");   // not tried while a board entry is under way
    EXPECT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardEntry);
    EXPECT_TRUE(EventsOf(FlowEvent::InputBoardLoaderStarted).empty());
    Banner("UBD 03\r");
    EXPECT_EQ(EventsOf(FlowEvent::InputBoardLoaderStarted).size(), 1u);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], (Bytes{0x03, 0x09, 0xF4}));
    EXPECT_EQ(host.sleeps.back().second, 500u);
    EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::BoardLoader);
    EXPECT_EQ(dlg.CurrentFlow().slot, 3);
    // From now on received bytes go to the loader.
    port.Receive({0xF1});
    EXPECT_EQ(port.writes.back(), (Bytes{0x04, 0x20, 0x00, 0xDC}));
}

TEST_F(EntryFixture, BannerBytesArriveThroughTheFrameParser) {
    test::ScratchDir scratch;
    scratch.Write("data/GENERATOR_MCU.bin", test::Pattern(64));
    dlg.OnGeneratorMcu();
    port.Receive(Text("UBD 77\r"));
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], kIspEntry);
}

// ---- outside tool ---------------------------------------------------------------

#ifdef _WIN32
TEST(SubMcuToolTest, HowTheToolIsStarted) {
    EXPECT_EQ(ResolveSubMcuTool("", "").commandLine, kToolCommand);
}
#else
TEST(SubMcuToolTest, HowTheToolIsStarted) {
    test::ScratchDir scratch;
    const std::string base = scratch.Path().string();
    const std::string bin = (scratch.Path() / "bin").string();
    std::filesystem::create_directories(bin);

    ToolLaunch t = ResolveSubMcuTool(base, bin);
    EXPECT_TRUE(t.commandLine.empty());
    EXPECT_FALSE(t.problem.empty());

    scratch.Write("FlyMcu/FlyMcu.exe", Text("MZ\x90"));
    t = ResolveSubMcuTool(base, bin);  // a Windows program, no wine
    EXPECT_TRUE(t.commandLine.empty());
    EXPECT_NE(t.problem.find("wine"), std::string::npos);

    scratch.Write("bin/wine", Text("#!/bin/sh\n"));
    test::MakeExecutable(scratch.Path() / "bin/wine");
    t = ResolveSubMcuTool(base, "/nonexistent:" + bin);
    EXPECT_EQ(t.commandLine, "wine ./FlyMcu/FlyMcu.exe");

    scratch.Write("FlyMcu/FlyMcu.exe", Text("plain text"));
    t = ResolveSubMcuTool(base, bin);  // neither a Windows program nor executable
    EXPECT_TRUE(t.commandLine.empty());
    EXPECT_FALSE(t.problem.empty());

    test::MakeExecutable(scratch.Path() / "FlyMcu/FlyMcu.exe");
    t = ResolveSubMcuTool(base, "");
    EXPECT_EQ(t.commandLine, "./FlyMcu/FlyMcu.exe");
}
#endif

// ---- analyzer data flash ----------------------------------------------------------

struct DataFlashFixture : EntryFixture {
    test::ScratchDir scratch;
    void Choose(std::size_t n) { host.fileAnswers.push_back(scratch.Write("data.bin", test::Pattern(n, 3))); }
    static std::uint8_t Sum(const Bytes& f) {
        std::uint8_t s = 0;
        for (auto b : f) s = static_cast<std::uint8_t>(s + b);
        return s;
    }
};

TEST_F(DataFlashFixture, FirstBlockIsBuiltByHand) {
    Choose(257);
    dlg.OnAnalyzerDataFlash();
    ASSERT_EQ(port.writes.size(), 1u);
    const Bytes& f = port.writes[0];
    ASSERT_EQ(f.size(), 270u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 13),
              (Bytes{0xAA, 0x00, 0x00, 0x09, 0x01, 0x00, 0x00, 0x78, 0x78, 0x21, 0x00, 0x00, 0x00}));
    const Bytes data = test::Pattern(257, 3);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 256, f.begin() + 13));
    EXPECT_EQ(Sum(f), 0);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), FormatProgress(255.0f / 257.0f * 100.0f));
    EXPECT_EQ(host.TimerPeriod(TIMER_SCAN), 7000u);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_CLOSE));
    ASSERT_EQ(EventsOf(FlowEvent::BlockSent).size(), 1u);
    EXPECT_EQ(EventsOf(FlowEvent::BlockSent)[0].a, 0);

    // The analyzer's acknowledgement carries it on, another device's does
    // not: block 1 holds the file from byte 256 on.
    port.Receive(test::AckFrom(kGroupGenerator));
    EXPECT_EQ(port.writes.size(), 1u);
    port.Receive(test::AckFrom(kGroupAnalyzer));
    ASSERT_EQ(port.writes.size(), 2u);
    const Bytes& second = port.writes[1];
    ASSERT_EQ(second.size(), 270u);
    EXPECT_EQ(second[13], data[256]);
    EXPECT_EQ(std::count(second.begin() + 14, second.begin() + 269, 0), 255);
    EXPECT_EQ(Sum(second), 0);
    ASSERT_EQ(EventsOf(FlowEvent::BlockSent).size(), 2u);
    EXPECT_EQ(EventsOf(FlowEvent::BlockSent)[1].a, 1);
}

TEST_F(DataFlashFixture, FileOf256BytesIsOneLastBlockWithoutClose) {
    Choose(256);
    dlg.OnAnalyzerDataFlash();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0][12], 0x40);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_CLOSE));
    EXPECT_EQ(EventsOf(FlowEvent::StreamFinished).size(), 1u);
}

TEST_F(DataFlashFixture, ShortFileIsOnePaddedLastBlock) {
    Choose(100);
    dlg.OnAnalyzerDataFlash();
    ASSERT_EQ(port.writes.size(), 1u);
    const Bytes& f = port.writes[0];
    EXPECT_EQ(f[12], 0x40);
    const Bytes data = test::Pattern(100, 3);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), f.begin() + 13));
    EXPECT_EQ(std::count(f.begin() + 113, f.begin() + 269, 0), 156);
    EXPECT_EQ(Sum(f), 0);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "100");
}

TEST_F(DataFlashFixture, CancelSendsNothing) {
    dlg.OnAnalyzerDataFlash();
    EXPECT_TRUE(port.writes.empty());
    EXPECT_FALSE(host.IsTimerArmed(TIMER_SCAN));
}

} // namespace
} // namespace quillet
