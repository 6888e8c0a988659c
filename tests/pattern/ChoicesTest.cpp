// What the dialog shows beyond its template and what it remembers, on the
// virtual clock: the progress strip's line, the loaded file's name, the
// operator's choices kept in a settings store (and none kept without one),
// and a file dropped on the dialog.
#include <filesystem>

#include "PatternSupport.h"
#include "dialog/ProgressStrip.h"
#include "pattern/SamplePattern.h"
#include "platform/Settings.h"
#include "serial/AdapterLatency.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

FlowSnapshot Blocks(std::uint64_t done, std::uint64_t total) {
    FlowSnapshot f;
    f.kind = FlowKind::PatternStream;
    f.done = done;
    f.total = total;
    f.unit = "blocks";
    return f;
}

TEST(ProgressStrip, CountsThenRateThenTimeLeft) {
    ProgressStrip strip;
    EXPECT_TRUE(strip.Update(Blocks(0, 24300), 5000));
    EXPECT_EQ(strip.Text(), "0 of 24,300 blocks");
    // Under a second in, no rate yet.
    strip.Update(Blocks(30, 24300), 5900);
    EXPECT_EQ(strip.Text(), "30 of 24,300 blocks");
    // 1,234 blocks in 30 s: 41.13 a second, 23,066 left take 560.8 s.
    strip.Update(Blocks(1234, 24300), 35000);
    EXPECT_EQ(strip.Text(), "1,234 of 24,300 blocks \xC2\xB7 41.1 blocks/s \xC2\xB7 9 min 21 s left");
    // Nearly done: seconds alone; the same line again is no change.
    strip.Update(Blocks(24290, 24300), 595000);
    EXPECT_EQ(strip.Text(), "24,290 of 24,300 blocks \xC2\xB7 41.2 blocks/s \xC2\xB7 0 s left");
    strip.Update(Blocks(24300, 24300), 595200);
    EXPECT_EQ(strip.Text(), "24,300 of 24,300 blocks \xC2\xB7 41.2 blocks/s");
    EXPECT_FALSE(strip.Update(Blocks(24300, 24300), 595200));
    // The flow over: nothing to show; the next one counts from its own start.
    EXPECT_TRUE(strip.Update(FlowSnapshot{}, 600000));
    EXPECT_EQ(strip.Text(), "");
    strip.Update(Blocks(0, 450), 700000);
    strip.Update(Blocks(225, 450), 722500);
    EXPECT_EQ(strip.Text(), "225 of 450 blocks \xC2\xB7 10.0 blocks/s \xC2\xB7 23 s left");
}

TEST(ProgressStrip, WordsForLargeNumbersAndLongTimes) {
    EXPECT_EQ(GroupThousands(0), "0");
    EXPECT_EQ(GroupThousands(999), "999");
    EXPECT_EQ(GroupThousands(1000), "1,000");
    EXPECT_EQ(GroupThousands(1234567), "1,234,567");
    EXPECT_EQ(SpokenDuration(59), "59 s");
    EXPECT_EQ(SpokenDuration(60), "1 min 0 s");
    EXPECT_EQ(SpokenDuration(3899), "1 h 4 min");
    // Byte counts run fast: the rate without a decimal.
    ProgressStrip strip;
    FlowSnapshot f = Blocks(0, 2000000);
    f.unit = "bytes";
    strip.Update(f, 0);
    f.done = 115200;
    strip.Update(f, 10000);
    EXPECT_EQ(strip.Text(), "115,200 of 2,000,000 bytes \xC2\xB7 11,520 bytes/s \xC2\xB7 2 min 44 s left");
}

class ShownTest : public ::testing::Test, public test::DialogWithPort {};

// The panel stream, acknowledged every 100 ms: the strip follows it and the
// host's strip control shows the same line; it empties when the flow ends.
TEST_F(ShownTest, StripFollowsAStreamOnTheClock) {
    Open();
    SetPatternNo(2);
    dlg.OnPanelDataFlash();
    const FlowSnapshot start = dlg.CurrentFlow();
    ASSERT_GT(start.total, 20u);
    EXPECT_EQ(dlg.StripText(), "0 of " + GroupThousands(start.total) + " blocks");
    for (int i = 0; i < 20; ++i) {
        host.Advance(100);
        Ack();
    }
    const FlowSnapshot mid = dlg.CurrentFlow();
    ASSERT_EQ(mid.done, 20u);
    const std::uint64_t left = (mid.total - 20 + 5) / 10;  // ten a second, rounded
    EXPECT_EQ(dlg.StripText(), "20 of " + GroupThousands(mid.total) + " blocks \xC2\xB7 10.0 blocks/s \xC2\xB7 " +
                                   SpokenDuration(left) + " left");
    EXPECT_EQ(host.texts[IDC_PROGRESS_STRIP], dlg.StripText());
    while (dlg.CurrentFlow().Running() && port.writes.size() < 2 * mid.total) {
        host.Advance(100);
        Ack();
    }
    host.Advance(2000);
    EXPECT_FALSE(dlg.CurrentFlow().Running());
    EXPECT_EQ(dlg.StripText(), "");
    EXPECT_EQ(host.texts[IDC_PROGRESS_STRIP], "");
}

// An FTDI adapter whose latency timer is above 1 ms: its advice is asked
// once as a flow starts writing and shows below the strip's line until the
// flow ends; a flow that does not write, or a timer at 1 ms, adds nothing.
TEST(ProgressStrip, TheAdviceForThePortShowsWhileAFlowWrites) {
    unsigned latencyMs = 16;
    int asked = 0;
    ProgressStrip strip;
    strip.SetAdviceSource([&] {
        ++asked;
        return LatencyAdvice("COM4", latencyMs);
    });
    const std::string advice = LatencyAdvice("COM4", 16);
    ASSERT_FALSE(advice.empty());
    FlowSnapshot reading = Blocks(0, 100);
    reading.kind = FlowKind::AnalyzerData;
    strip.Update(reading, 0);
    EXPECT_EQ(strip.Text(), "0 of 100 blocks");
    strip.Update(FlowSnapshot{}, 100);

    // The erase wait counts nothing; the stream after it is the same flow.
    FlowSnapshot erase;
    erase.kind = FlowKind::PatternErase;
    erase.writing = true;
    EXPECT_TRUE(strip.Update(erase, 1000));
    EXPECT_EQ(strip.Text(), advice);
    FlowSnapshot stream = Blocks(0, 24300);
    stream.writing = true;
    strip.Update(stream, 2000);
    EXPECT_EQ(strip.Text(), "0 of 24,300 blocks\n" + advice);
    stream.done = 100;
    strip.Update(stream, 4000);
    EXPECT_EQ(strip.Text().substr(0, strip.Text().find('\n')),
              "100 of 24,300 blocks \xC2\xB7 50.0 blocks/s \xC2\xB7 8 min 4 s left");
    EXPECT_EQ(asked, 1);
    strip.Update(FlowSnapshot{}, 5000);
    EXPECT_EQ(strip.Text(), "");

    latencyMs = 1;
    strip.Update(stream, 6000);
    EXPECT_EQ(strip.Text(), "100 of 24,300 blocks");
    EXPECT_EQ(asked, 2);
}

// The dialog hands the source to its strip: the host's strip control gets
// the advice with the line of a panel stream.
TEST_F(ShownTest, TheDialogsStripTellsThePortsAdviceDuringAStream) {
    dlg.SetPortAdviceSource([] { return LatencyAdvice("COM1", 16); });
    Open();
    EXPECT_EQ(host.texts[IDC_PROGRESS_STRIP], "");
    SetPatternNo(2);
    dlg.OnPanelDataFlash();
    ASSERT_TRUE(dlg.CurrentFlow().writing);
    EXPECT_EQ(host.texts[IDC_PROGRESS_STRIP],
              "0 of " + GroupThousands(dlg.CurrentFlow().total) + " blocks\n" + LatencyAdvice("COM1", 16));
    dlg.StopRunningFlow(false);
    EXPECT_EQ(host.texts[IDC_PROGRESS_STRIP], "");
}

TEST_F(ShownTest, LoadedFileNameIsShownOnlyForAUsableImage) {
    const fs::path dir = test::MakeScratchDir("shown-name");
    const fs::path bmp = dir / "sample pattern.bmp";
    ASSERT_TRUE(WriteSamplePatternBmp(bmp.string()));
    test::WriteAll(dir / "notes.txt", {'h', 'i'});
    EXPECT_EQ(dlg.LoadedFileName(), "");
    EXPECT_TRUE(dlg.LoadImageFile(bmp.string()));
    EXPECT_EQ(dlg.LoadedFileName(), "sample pattern.bmp");
    EXPECT_EQ(host.texts[IDC_LOADED_FILE], "sample pattern.bmp");
    dlg.LoadImageFile((dir / "notes.txt").string());
    EXPECT_EQ(dlg.LoadedFileName(), "");
    EXPECT_EQ(host.texts[IDC_LOADED_FILE], "");
    // "Load Image" offers BMP and PNG together first.
    host.fileAnswers.push_back(bmp.string());
    dlg.OnCommand(IDC_LOAD_IMAGE);
    EXPECT_EQ(dlg.LoadedFileName(), "sample pattern.bmp");
    ASSERT_EQ(host.fileFilters.size(), 1u);
    EXPECT_EQ(host.fileFilters[0].rfind("bmp or png file(*.bmp;*.png)|*.bmp;*.png|bmp file(*.bmp)|*.bmp|", 0), 0u);
    fs::remove_all(dir);
}

// A drop goes the way of "Load Image": while an upload runs the operator is
// asked first, and No leaves the upload and the image alone.
TEST_F(ShownTest, DroppedFileLoadsAndAsksDuringAnUpload) {
    const fs::path dir = test::MakeScratchDir("shown-drop");
    const fs::path bmp = dir / "dropped.bmp";
    ASSERT_TRUE(WriteSamplePatternBmp(bmp.string()));
    Open();
    SetPatternNo(1);
    dlg.OnPanelDataFlash();
    ASSERT_TRUE(dlg.CurrentFlow().writing);
    EXPECT_FALSE(dlg.DropImageFile(bmp.string()));
    EXPECT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(dlg.LoadedFileName(), "");
    EXPECT_TRUE(dlg.CurrentFlow().Running());
    host.yesNoAnswers.push_back(true);
    EXPECT_TRUE(dlg.DropImageFile(bmp.string()));
    EXPECT_EQ(host.questions.size(), 2u);
    EXPECT_FALSE(dlg.CurrentFlow().Running());
    EXPECT_EQ(dlg.LoadedFileName(), "dropped.bmp");
    fs::remove_all(dir);
}

// A dialog with its own store, started on it.
struct RememberingDialog {
    MemorySettings settings;
    VirtualHost host;
    test::FakeSerialPort port;
    CLoaderDlg dlg{host, &port};
    explicit RememberingDialog(std::map<std::string, std::string> stored) {
        settings.values = std::move(stored);
        port.present = {1, 3};
        dlg.SetSettings(&settings);
        dlg.OnInitDialog();
    }
};

TEST(Remembering, ChoicesComeBackWithoutTouchingTheInstrument) {
    const auto analyzer = DeviceKindOfGroup(kGroupAnalyzer).name;
    RememberingDialog d({{"port", "3"}, {"slot", "2"}, {"folder", "/images/"}, {"kind", analyzer}});
    EXPECT_EQ(d.host.comboSel[IDC_COM_LIST], 2);
    EXPECT_EQ(d.host.texts[IDC_PATTERN_NO], "2");
    EXPECT_EQ(d.dlg.RememberedSearchButton(), IDC_SEARCH_ANALYZER);
    EXPECT_TRUE(d.port.opens.empty());
    EXPECT_TRUE(d.port.writes.empty());
    EXPECT_FALSE(d.host.IsTimerArmed(TIMER_SCAN));
    d.dlg.OnCommand(IDC_LOAD_IMAGE);
    ASSERT_EQ(d.host.fileDirs.size(), 1u);
    EXPECT_EQ(d.host.fileDirs[0], "/images/");
    // The port button opens the remembered port.
    d.dlg.OnPortButton();
    ASSERT_EQ(d.port.opens.size(), 1u);
    EXPECT_EQ(d.port.opens[0].port, 3u);
}

TEST(Remembering, UnusableValuesAreLeftAside) {
    RememberingDialog d({{"port", "0"}, {"slot", "9"}, {"folder", ""}, {"kind", "toaster"}});
    EXPECT_EQ(d.host.comboSel[IDC_COM_LIST], 0);
    EXPECT_EQ(d.host.texts[IDC_PATTERN_NO], "0");
    EXPECT_EQ(d.dlg.RememberedSearchButton(), 0);
    d.dlg.OnCommand(IDC_LOAD_IMAGE);
    EXPECT_EQ(d.host.fileDirs.at(0), "./");
    RememberingDialog e(std::map<std::string, std::string>{{"port", "3x"}});
    EXPECT_EQ(e.host.comboSel[IDC_COM_LIST], 0);
}

TEST(Remembering, OperatorsChoicesAreWrittenAsMade) {
    const fs::path dir = test::MakeScratchDir("remember-write");
    const fs::path bmp = dir / "p.bmp";
    ASSERT_TRUE(WriteSamplePatternBmp(bmp.string()));
    RememberingDialog d({});
    EXPECT_TRUE(d.settings.values.empty());
    d.host.comboSel[IDC_COM_LIST] = 2;
    d.dlg.OnCommand(IDC_COM_LIST);  // COM3 opens
    EXPECT_EQ(d.settings.values["port"], "3");
    d.host.fileAnswers.push_back(bmp.string());
    d.dlg.OnCommand(IDC_LOAD_IMAGE);
    const std::string folder = d.settings.values["folder"];
    EXPECT_EQ(fs::path(folder + "p.bmp"), bmp);
    d.host.texts[IDC_PATTERN_NO] = "4";
    d.dlg.OnNandFlash();
    EXPECT_EQ(d.settings.values["slot"], "4");
    d.dlg.StopRunningFlow(false);
    d.dlg.OnCommand(IDC_SEARCH_GENERATOR);
    EXPECT_EQ(d.settings.values["kind"], DeviceKindOfGroup(kGroupGenerator).name);
    // A port that does not open, a refused slot: nothing new is kept.
    d.host.comboSel[IDC_COM_LIST] = 6;
    d.dlg.OnCommand(IDC_COM_LIST);
    d.host.texts[IDC_PATTERN_NO] = "7";
    d.dlg.OnNandFlash();
    EXPECT_EQ(d.settings.values["port"], "3");
    EXPECT_EQ(d.settings.values["slot"], "4");
    fs::remove_all(dir);
}

// Without a store (the command line's dialog) nothing is read or kept: the
// file dialog opens where it always did.
TEST(Remembering, ADialogWithoutAStoreKeepsNothing) {
    const fs::path dir = test::MakeScratchDir("remember-none");
    const fs::path bmp = dir / "p.bmp";
    ASSERT_TRUE(WriteSamplePatternBmp(bmp.string()));
    test::DialogWithPort d;
    d.Open();
    d.host.fileAnswers.push_back(bmp.string());
    d.dlg.OnCommand(IDC_LOAD_IMAGE);
    d.dlg.OnCommand(IDC_LOAD_IMAGE);
    EXPECT_EQ(d.host.fileDirs, (std::vector<std::string>{"./", "./"}));
    EXPECT_EQ(d.dlg.RememberedSearchButton(), 0);
    fs::remove_all(dir);
}

} // namespace
} // namespace quillet
