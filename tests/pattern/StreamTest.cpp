// The block stream on the virtual clock: first blocks, acknowledgements as
// real reply frames through the receive dispatcher, resends, the end of a
// stream and the FPGA buttons.
#include <numeric>

#include "PatternSupport.h"
#include "pattern/StreamState.h"
#include "protocol/Frame.h"

namespace quillet {
namespace {

using test::BlockNumberOf;
using test::MarkerOf;
using test::SumsToZero;

class StreamTest : public ::testing::Test, public test::DialogWithPort {
protected:
    std::filesystem::path dir = test::MakeScratchDir("stream");
    void TearDown() override { std::filesystem::remove_all(dir); }

    static std::vector<std::uint8_t> Source(std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + i / 256 + 1);
        return v;
    }
    // Starts an AUX FPGA stream of `source` through the file dialog.
    void StartAux(const std::vector<std::uint8_t>& source) {
        const auto file = dir / "fpga-aux.bin";
        test::WriteAll(file, source);
        host.fileAnswers.push_back(file.string());
        dlg.OnAuxFpga();
    }
    // The data of block frame `f`, checked for its fixed fields on the way.
    static std::vector<std::uint8_t> Data(const std::vector<std::uint8_t>& f, std::uint8_t sub) {
        EXPECT_EQ(f.size(), 270u);
        if (f.size() != 270) return {};
        const std::vector<std::uint8_t> head = {0xAA, 0x00, 0x00, 0x09, 0x01, 0x00, 0x00, 0x78, 0x78, sub};
        EXPECT_EQ(std::vector<std::uint8_t>(f.begin(), f.begin() + 10), head);
        EXPECT_TRUE(SumsToZero(f));
        return {f.begin() + 13, f.begin() + 269};
    }
    static std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t n) {
        std::vector<std::uint8_t> s(v.begin() + from, v.begin() + std::min(v.size(), from + n));
        s.resize(n, 0);
        return s;
    }
    std::vector<std::string> Messages() const {
        std::vector<std::string> m;
        for (const auto& b : host.boxes) m.push_back(b.text);
        return m;
    }
};

TEST_F(StreamTest, ThousandBytesEndWithAPaddedLastBlockAndTheSuccessNote) {
    Open();
    const auto src = Source(1000);
    StartAux(src);
    EXPECT_EQ(host.fileFilters.at(0), "bmp file(*.bin)|*.bin|all file(*.*)|*.*||");
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(Data(port.writes[0], 0x01), Slice(src, 0, 256));
    EXPECT_EQ(MarkerOf(port.writes[0]), 0x00);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), FormatProgress(255.0f / 1000.0f * 100.0f));
    for (unsigned k = 1; k <= 3; ++k) {
        Ack();
        ASSERT_EQ(port.writes.size(), k + 1);
        const auto& f = port.writes[k];
        EXPECT_EQ(BlockNumberOf(f), k);
        EXPECT_EQ(Data(f, 0x01), Slice(src, 256 * k, 256));
        EXPECT_EQ(MarkerOf(f), k == 3 ? 0x40 : 0x00);
    }
    EXPECT_EQ(dlg.Progress(), 100.0f);
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: Succeed to update \rFPGA firmware. Disconnect\r\n USB cable and re-power!");
    EXPECT_EQ(host.TimerPeriod(TIMER_CLOSE), 1000u);
    EXPECT_EQ(Count(FlowEvent::StreamFinished), 1);
    host.Advance(999);
    EXPECT_EQ(port.closeRequests, 0);
    host.Advance(1);
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_CLOSE));
}

TEST_F(StreamTest, FiveHundredTwelveBytesEndAtAFullBlockWithoutTheNote) {
    Open();
    const auto src = Source(512);
    StartAux(src);
    const std::string note = host.GetItemText(IDC_NOTE);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_CLOSE));
    Ack();
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(MarkerOf(port.writes[1]), 0x40);
    EXPECT_EQ(Data(port.writes[1], 0x01), Slice(src, 256, 256));
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "100");
    EXPECT_EQ(host.GetItemText(IDC_NOTE), note);
    EXPECT_TRUE(host.IsTimerArmed(TIMER_CLOSE));
}

TEST_F(StreamTest, OneBlockSourceIsMarkedLastByTheStartStep) {
    Open();
    StartAux(Source(256));
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(MarkerOf(port.writes[0]), 0x40);
    EXPECT_EQ(dlg.Progress(), 99.609375f);
    EXPECT_EQ(host.TimerPeriod(TIMER_CLOSE), 1000u);
    Ack(0);
    EXPECT_EQ(port.writes.size(), 1u);
    Ack(1);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], port.writes[0]);
}

TEST_F(StreamTest, SourceShorterThanABlockGoesOutPadded) {
    Open();
    const auto src = Source(100);
    StartAux(src);
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(Data(port.writes[0], 0x01), Slice(src, 0, 256));
    EXPECT_EQ(MarkerOf(port.writes[0]), 0x40);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "100");
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: Succeed to update \rFPGA firmware. Disconnect\r\n USB cable and re-power!");
    EXPECT_TRUE(host.IsTimerArmed(TIMER_CLOSE));
    Ack();
    EXPECT_EQ(port.writes.size(), 1u);
}

TEST_F(StreamTest, ResendRequestsRepeatTheBlockByteForByte) {
    Open();
    StartAux(Source(2000));
    for (int k = 0; k < 5; ++k) Ack();
    ASSERT_EQ(port.writes.size(), 6u);
    ASSERT_EQ(BlockNumberOf(port.writes[5]), 5u);
    const float progress = dlg.Progress();
    Ack(0x01);
    Ack(0x07);
    ASSERT_EQ(port.writes.size(), 8u);
    EXPECT_EQ(port.writes[6], port.writes[5]);
    EXPECT_EQ(port.writes[7], port.writes[5]);
    EXPECT_EQ(dlg.Progress(), progress);
    Ack();
    EXPECT_EQ(BlockNumberOf(port.writes.at(8)), 6u);
    int resends = 0;
    for (const auto& e : events) resends += e.event == FlowEvent::BlockSent && e.text == "resend" && e.a == 5;
    EXPECT_EQ(resends, 2);
}

TEST_F(StreamTest, LastBlockIsResentOnRequestAndLateAcksChangeNothing) {
    Open();
    StartAux(Source(512));
    Ack();
    ASSERT_EQ(port.writes.size(), 2u);
    host.Advance(600);
    Ack(1);  // the device wants the last block again
    ASSERT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(port.writes[2], port.writes[1]);
    host.Advance(600);  // the port stays open a second after the resend
    EXPECT_EQ(port.closeRequests, 0);
    const std::string progress = host.GetItemText(IDC_PROGRESS);
    Ack(0);
    Ack(0);
    EXPECT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), progress);
    EXPECT_EQ(Count(FlowEvent::BlockAcked), 4);
    EXPECT_EQ(Count(FlowEvent::StreamFinished), 1);
    host.Advance(400);
    EXPECT_EQ(port.closeRequests, 1);
}

TEST_F(StreamTest, OtherPayloadsAndStrayAcksAreIgnored) {
    Open();
    Ack(1);  // nothing has been sent: nothing to resend
    Ack(0);
    EXPECT_TRUE(port.writes.empty());
    StartAux(Source(1000));
    port.Receive(AckFrame(0, 0, 0x79));
    port.Receive(AckFrame(1, 0, 0x79));
    EXPECT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(Count(FlowEvent::BlockAcked), 2);
    Ack();
    EXPECT_EQ(port.writes.size(), 2u);
}

TEST_F(StreamTest, AckTooShortForItsPayloadIsIgnored) {
    Open();
    StartAux(Source(1000));
    Ack(1);  // leaves 78 78 01 at reply bytes 9..11
    ASSERT_EQ(port.writes.size(), 2u);
    // Code FF FF with length 7: bytes 9 and 10 are 78 78 but there is no
    // status byte; byte 11 (the checksum would be 12) is left from the
    // frame before. Console bytes 60 00 make the checksum 00.
    std::vector<std::uint8_t> f = {0xAB, 0x00, 0x00, 0x07, 0x00, 0x60, 0x00, 0xFF, 0xFF, 0x78, 0x78};
    f.push_back(FrameChecksum(f.data(), f.size()));
    ASSERT_EQ(f.back(), 0x00);
    port.Receive(f);
    EXPECT_EQ(port.writes.size(), 2u);
    // Length 8 with the status in place is taken.
    f = {0xAB, 0x00, 0x00, 0x08, 0x00, 0x60, 0x00, 0xFF, 0xFF, 0x78, 0x78, 0x00};
    f.push_back(FrameChecksum(f.data(), f.size()));
    port.Receive(f);
    ASSERT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(BlockNumberOf(port.writes[2]), 1u);
}

TEST_F(StreamTest, BlockNumbersAboveTwoFiveFiveUseTheHighByte) {
    Find(kGroupAnalyzer);  // blocks after the first carry the searched address
    StartAux(Source(301 * 256));
    for (int k = 0; k < 300; ++k) Ack();
    ASSERT_EQ(port.writes.size(), 301u);
    const auto& f = port.writes[300];
    EXPECT_EQ(f[1], 0x01);
    EXPECT_TRUE(SumsToZero(f));
    EXPECT_EQ(f[10], 0x2C);
    EXPECT_EQ(f[11], 0x01);
    EXPECT_EQ(MarkerOf(f), 0x40);
}

TEST_F(StreamTest, AuxWithThePortClosedLetsTheSenderSaySo) {
    StartAux(Source(600));
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(Messages(), std::vector<std::string>{"Com port is not on yet."});
    host.boxes.clear();
    dlg.OnAuxFpga();  // cancelled
    EXPECT_TRUE(host.boxes.empty());
    host.fileAnswers.push_back((dir / "none.bin").string());
    dlg.OnAuxFpga();
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].rfind("Open file failed!\n\"" + (dir / "none.bin").string() + "\" cannot be opened: ", 0), 0u)
        << Messages()[0];
    // A folder chosen instead of a file is refused before it is opened, with
    // the same words on every platform; nothing is sent.
    host.boxes.clear();
    host.fileAnswers.push_back(dir.string());
    dlg.OnAuxFpga();
    EXPECT_EQ(Messages(),
              std::vector<std::string>{"Open file failed!\n\"" + dir.string() + "\" is a folder, not a file."});
    EXPECT_TRUE(port.writes.empty());
}

// ---- the fixed-name FPGA buttons ------------------------------------------------

class FpgaButtons : public StreamTest {
protected:
    std::filesystem::path was = std::filesystem::current_path();
    void SetUp() override { std::filesystem::current_path(dir); }
    void TearDown() override {
        std::filesystem::current_path(was);
        StreamTest::TearDown();
    }
};

TEST_F(FpgaButtons, ChecksComeInOrderAndTheMissingFileIsNamed) {
    dlg.OnGeneratorFpga();
    dlg.OnAnalyzerFpga();
    Open();
    dlg.OnAnalyzerFpga();  // the last search found a generator
    dlg.OnGeneratorFpga();
    Find(kGroupAnalyzer);
    dlg.OnGeneratorFpga();
    dlg.OnAnalyzerFpga();
    // The loader's words, then the file and the reason on a line of their own.
    std::vector<std::string> firstLines;
    for (const auto& m : Messages()) firstLines.push_back(m.substr(0, m.find('\n')));
    EXPECT_EQ(firstLines, (std::vector<std::string>{
                              "Please turn on the COM port first!", "Please turn on the COM port first!",
                              "Please confirm the device is Signal Analyzer!", "Can not find GENERATOR_FPGA.bin !",
                              "Please confirm the device is Signal Generator!", "Can not find ANALYZER_FPGA.bin !"}));
    EXPECT_NE(Messages()[3].find("GENERATOR_FPGA.bin\" cannot be opened: "), std::string::npos) << Messages()[3];
    EXPECT_EQ(host.boxes[0].caption, "ISP");
    EXPECT_EQ(host.boxes[2].caption, " ISP");
    EXPECT_EQ(host.boxes[3].caption, IHost::AppTitle());
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(FpgaButtons, GeneratorImageStreamsWithSubCommandZero) {
    std::filesystem::create_directory(dir / "data");
    const auto src = Source(700);
    test::WriteAll(dir / "data" / "GENERATOR_FPGA.bin", src);
    test::WriteAll(dir / "data" / "ANALYZER_FPGA.bin", {});
    Open();
    dlg.OnGeneratorFpga();
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: While updating \r\n firmware ,please \r\n do not press any button!");
    Ack();
    Ack();
    ASSERT_EQ(port.writes.size(), 3u);
    for (unsigned k = 0; k < 3; ++k) EXPECT_EQ(Data(port.writes[k], 0x00), Slice(src, 256 * k, 256));
    EXPECT_EQ(MarkerOf(port.writes[2]), 0x40);
    Ack();
    Find(kGroupAnalyzer);
    dlg.OnAnalyzerFpga();  // an empty file: nothing sent, and said so
    EXPECT_TRUE(port.writes.empty());
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].text.find("ANALYZER_FPGA.bin\" is empty."), std::string::npos) << host.boxes[0].text;
}

} // namespace
} // namespace quillet
