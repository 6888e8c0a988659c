// The instrument's side without I/O: what it answers, when, and what it
// records and stores.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "sim/lib/Instrument.h"
#include "support/Portable.h"

using namespace quillet::sim;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::uint8_t Chk(const Bytes& b) {
    std::uint8_t s = 0;
    for (auto x : b) s = std::uint8_t(s + x);
    return std::uint8_t(-s);
}

Bytes SearchFrame(std::uint8_t group) {
    Bytes f{0xAA, group, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8};
    f.push_back(Chk(f));
    return f;
}

Bytes BlockFrame(std::uint8_t group, std::uint8_t sub, std::uint32_t num, std::uint8_t marker, const std::uint8_t* data) {
    Bytes f{0xAA, group, 0x00, 0x09, 0x01, 0x00, 0x00, 0x78, 0x78, sub, std::uint8_t(num), std::uint8_t(num >> 8), marker};
    f.insert(f.end(), data, data + 256);
    f.push_back(Chk(f));
    return f;
}

Bytes Ack(std::uint8_t group, std::uint8_t status) {
    Bytes a{0xAB, group, 0x00, 0x08, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x78, 0x78, status};
    a.push_back(Chk(a));
    return a;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Joined(const std::vector<Reply>& r) {
    Bytes all;
    for (const auto& x : r) all.insert(all.end(), x.bytes.begin(), x.bytes.end());
    return all;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class InstrumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = quillet::test::MakeScratchDir("sim");
        opt.outputDir = dir.string();
        opt.eraseTimeMs = 1000;
        opt.searchReplyDelayMs = 20;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::filesystem::path dir;
    Options opt;
};

// ------------------------------------------------------------------ search

TEST_F(InstrumentTest, SearchReplyForEveryKindAfterTheDelay) {
    Instrument gen(opt);
    auto r = gen.Feed(SearchFrame(0x00), 0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].delayMs, 20u);
    EXPECT_EQ(r[0].bytes, (Bytes{0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x00, 0x00, 0x54}));

    for (std::uint8_t g = 1; g < 8; ++g) {
        Options o = opt;
        o.kind = g;
        Instrument inst(o);
        auto rr = inst.Feed(SearchFrame(g), 0);
        ASSERT_EQ(rr.size(), 1u) << int(g);
        Bytes want{0xAB, g, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, g, 0x00};
        want.push_back(Chk(want));
        EXPECT_EQ(rr[0].bytes, want);
        // Another kind's search goes unanswered and is no violation.
        EXPECT_TRUE(inst.Feed(SearchFrame(std::uint8_t(g - 1)), 0).empty());
        EXPECT_EQ(inst.GetSummary().searchFrames, 2u);
        EXPECT_TRUE(inst.GetSummary().violations.empty());
    }
}

TEST_F(InstrumentTest, SilentBadChecksumAndSurroundingText) {
    opt.answerSearch = false;
    Instrument silent(opt);
    EXPECT_TRUE(silent.Feed(SearchFrame(0), 0).empty());

    opt.answerSearch = true;
    Instrument inst(opt);
    Bytes bad = SearchFrame(0);
    bad.back() ^= 1;
    EXPECT_TRUE(inst.Feed(bad, 0).empty());
    EXPECT_EQ(inst.GetSummary().violations.size(), 1u);
    // Console noise before a frame does not hide it.
    Bytes noisy = Text("junk\r\n12");
    auto good = SearchFrame(0);
    noisy.insert(noisy.end(), good.begin(), good.end());
    EXPECT_EQ(Joined(inst.Feed(noisy, 0)).size(), 12u);
}

TEST_F(InstrumentTest, SearchFrameBringsABootingInstrumentBack) {
    Instrument inst(opt);
    inst.Feed(Text("\r\nISP 32 1\r\n"), 0);
    ASSERT_EQ(inst.CurrentMode(), Mode::Bootloader);
    inst.Feed(Bytes{0x7F}, 0);
    auto r = Joined(inst.Feed(SearchFrame(0), 0));
    EXPECT_EQ(inst.CurrentMode(), Mode::Application);
    ASSERT_GE(r.size(), 12u);
    EXPECT_EQ(Bytes(r.end() - 12, r.end()), (Bytes{0xAB, 0, 0, 7, 0, 0, 0, 2, 0xF8, 0, 0, 0x54}));
    EXPECT_TRUE(inst.GetSummary().violations.empty());
}

// ------------------------------------------------------------------ blocks

TEST_F(InstrumentTest, BlockAcknowledgementBytes) {
    std::uint8_t data[256] = {};
    Instrument gen(opt);
    auto r = gen.Feed(BlockFrame(0, 0x00, 0, 0x00, data), 0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].delayMs, 0u);
    EXPECT_EQ(r[0].bytes, (Bytes{0xAB, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x78, 0x78, 0x00, 0x5F}));

    // An analyzer takes the hand-built first block (address 00 00) and the
    // later ones (01 00) and answers with its own address.
    opt.kind = quillet::kGroupAnalyzer;
    Instrument ana(opt);
    EXPECT_EQ(Joined(ana.Feed(BlockFrame(0, 0x21, 0, 0x00, data), 0)), Ack(1, 0));
    EXPECT_EQ(Joined(ana.Feed(BlockFrame(1, 0x21, 1, 0x40, data), 0)), Ack(1, 0));
    // A block for a third kind is not for it.
    EXPECT_TRUE(ana.Feed(BlockFrame(2, 0x21, 2, 0x00, data), 0).empty());
    EXPECT_TRUE(ana.GetSummary().violations.empty());
    EXPECT_EQ(ReadFile((dir / "analyzer_data.bin").string()).size(), 512u);
}

TEST_F(InstrumentTest, ResendStopAndNoiseOptions) {
    std::uint8_t data[256] = {};
    opt.resendBlocks = {1, 3};
    opt.stopAfterBlocks = 4;
    opt.noiseBytes = 40;
    Instrument inst(opt);
    std::vector<std::uint8_t> statuses;
    auto send = [&](std::uint32_t n) {
        auto r = Joined(inst.Feed(BlockFrame(0, 0x01, n, 0x00, data), 0));
        if (r.empty()) return false;
        EXPECT_EQ(r.size(), 40u + 13u);
        for (std::size_t i = 0; i < 40; ++i) EXPECT_NE(r[i], 0xAB);
        EXPECT_EQ(Bytes(r.end() - 13, r.end()), Ack(0, r[r.size() - 2]));
        statuses.push_back(r[r.size() - 2]);
        return true;
    };
    // 0 ok, 1 asked again, 1 ok, 2 ok, 3 asked again, 3 ok, then silence.
    EXPECT_TRUE(send(0));
    EXPECT_TRUE(send(1));
    EXPECT_TRUE(send(1));
    EXPECT_TRUE(send(2));
    EXPECT_TRUE(send(3));
    EXPECT_TRUE(send(3));
    EXPECT_FALSE(send(4));
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0, 1, 0, 0, 1, 0}));
    const Summary s = inst.GetSummary();
    EXPECT_EQ(s.blocksAccepted, 4u);
    EXPECT_EQ(s.blocksResent, 2u);
    EXPECT_EQ(s.blocksReceived, 7u);
    EXPECT_TRUE(s.violations.empty()) << s.violations[0];
}

TEST_F(InstrumentTest, BlockViolations) {
    std::uint8_t data[256] = {};
    Instrument inst(opt);
    inst.Feed(BlockFrame(0, 0x00, 0, 0x00, data), 0);
    // Bad checksum: recorded and asked again.
    Bytes bad = BlockFrame(0, 0x00, 1, 0x00, data);
    bad[100] ^= 0x10;
    EXPECT_EQ(Joined(inst.Feed(bad, 0)), Ack(0, 1));
    EXPECT_EQ(Joined(inst.Feed(BlockFrame(0, 0x00, 1, 0x00, data), 0)), Ack(0, 0));
    inst.Feed(BlockFrame(0, 0x00, 3, 0x00, data), 0);  // 2 skipped
    inst.Feed(BlockFrame(0, 0x00, 3, 0x00, data), 0);  // repeated unasked
    inst.Feed(BlockFrame(0, 0x00, 4, 0x80, data), 0);  // no such marker here
    inst.Feed(BlockFrame(0, 0x77, 5, 0x00, data), 0);  // unknown sub-command
    const auto v = inst.GetSummary().violations;
    ASSERT_EQ(v.size(), 5u);
    EXPECT_NE(v[0].find("checksum"), std::string::npos);
    EXPECT_NE(v[1].find("out of order"), std::string::npos);
    EXPECT_NE(v[2].find("again without a resend request"), std::string::npos);
    EXPECT_NE(v[3].find("marker 0x80"), std::string::npos);
    EXPECT_NE(v[4].find("sub-command 0x77"), std::string::npos);
    // A frame whose length field is not 265 is refused without an answer.
    Bytes shortFrame{0xAA, 0, 0, 0x08, 0, 0, 0, 0x78, 0x78, 0x30, 0, 0};
    shortFrame.push_back(Chk(shortFrame));
    EXPECT_TRUE(inst.Feed(shortFrame, 0).empty());
    EXPECT_EQ(inst.GetSummary().violations.size(), 6u);
}

TEST_F(InstrumentTest, SlotCommandEraseTextThenUserPatternStored) {
    Instrument inst(opt);
    auto r = inst.Feed(Text("\r\nDBG 1\r\nfpw 7c 07\r\ncnd 12\r\n"), 100);
    ASSERT_GE(r.size(), 2u);
    for (std::size_t i = 0; i + 1 < r.size(); ++i) {
        const std::string t(r[i].bytes.begin(), r[i].bytes.end());
        EXPECT_EQ(t.find("cnd 12"), std::string::npos) << t;
        EXPECT_LT(r[i].delayMs, 1000u);
    }
    const std::string last(r.back().bytes.begin(), r.back().bytes.end());
    EXPECT_EQ(r.back().delayMs, 1000u);
    EXPECT_NE(last.find("cnd 12"), std::string::npos);
    EXPECT_EQ(last.substr(last.size() - 2), "\r\n");

    // A raster with a different value in every position of a pixel row.
    std::vector<std::uint8_t> raster(6220800);
    for (std::size_t i = 0; i < raster.size(); ++i) raster[i] = std::uint8_t(i * 7 + i / 5760);
    for (std::uint32_t n = 0; n < 24300; ++n) {
        auto a = inst.Feed(BlockFrame(0, 0x30, n, n == 24299 ? 0x40 : 0x00, &raster[n * 256]), 1100);
        ASSERT_EQ(a.size(), 1u);
        ASSERT_EQ(a[0].bytes[11], 0) << n;
    }
    EXPECT_TRUE(inst.GetSummary().violations.empty());
    const Bytes bmp = ReadFile((dir / "pattern_slot2.bmp").string());
    ASSERT_EQ(bmp.size(), 54u + 6220800u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[18] | (bmp[19] << 8), 1920);
    EXPECT_EQ(bmp[22] | (bmp[23] << 8), 1080);
    EXPECT_EQ(bmp[28], 24);
    // Bottom-up BGR in the file, top-down RGB on the line.
    for (std::size_t row : {0u, 1u, 539u, 1079u}) {
        for (std::size_t x : {0u, 1u, 1000u, 1919u}) {
            const std::size_t o = row * 5760 + x * 3;
            const std::size_t f = 54 + (1079 - row) * 5760 + x * 3;
            ASSERT_EQ(bmp[f + 2], raster[o]);
            ASSERT_EQ(bmp[f + 1], raster[o + 1]);
            ASSERT_EQ(bmp[f], raster[o + 2]);
        }
    }
    EXPECT_EQ(inst.GetSummary().blocksAccepted, 24300u);
}

TEST_F(InstrumentTest, PatternBeforeTheEraseEndsOrWithoutSlotIsAViolation) {
    std::uint8_t data[256] = {};
    Instrument inst(opt);
    inst.Feed(BlockFrame(0, 0x30, 0, 0x00, data), 0);
    inst.Feed(Text("\r\nDBG 1\r\nfpw 7c 06\r\ncnd 12\r\n"), 5000);
    inst.Feed(BlockFrame(0, 0x30, 0, 0x00, data), 5500);
    const auto v = inst.GetSummary().violations;
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NE(v[0].find("without a slot command"), std::string::npos);
    EXPECT_NE(v[1].find("still being erased"), std::string::npos);
}

TEST_F(InstrumentTest, PanelDataSlotFourDecodedFromRgb565) {
    Instrument inst(opt);
    std::vector<std::uint8_t> panel(76800);
    for (std::size_t p = 0; p < 38400; ++p) {
        // (10, 20, 30) in RGB565 is 08 A4; a white stripe on the top row.
        panel[2 * p] = p < 240 ? 0xFF : 0x08;
        panel[2 * p + 1] = p < 240 ? 0xFF : 0xA4;
    }
    for (std::uint32_t k = 0; k < 300; ++k) {
        const std::uint8_t marker = k == 0 ? 0x80 : k == 299 ? 0x40 : 0x00;
        auto a = Joined(inst.Feed(BlockFrame(0, 0x21, 12300 + k, marker, &panel[k * 256]), 0));
        ASSERT_EQ(a, Ack(0, 0)) << k;
    }
    EXPECT_TRUE(inst.GetSummary().violations.empty());
    EXPECT_EQ(ReadFile((dir / "panel_slot4.bin").string()), panel);
    const Bytes bmp = ReadFile((dir / "panel_slot4.bmp").string());
    ASSERT_EQ(bmp.size(), 54u + 115200u);
    EXPECT_EQ(bmp[18], 240);
    EXPECT_EQ(bmp[22], 160);
    // File row 159 is the top row: white. Row 0 (bottom): 08 A4 widened.
    EXPECT_EQ(Bytes(bmp.begin() + 54 + 159 * 720, bmp.begin() + 54 + 159 * 720 + 3), (Bytes{255, 255, 255}));
    EXPECT_EQ(Bytes(bmp.begin() + 54, bmp.begin() + 57), (Bytes{33, 20, 8}));
}

TEST_F(InstrumentTest, PanelMarkersAndNumbersAreChecked) {
    std::uint8_t data[256] = {};
    Instrument inst(opt);
    inst.Feed(BlockFrame(0, 0x21, 11400, 0x00, data), 0);  // first block without 0x80
    inst.Feed(BlockFrame(0, 0x21, 11000, 0x00, data), 0);  // no slot has this number
    const auto v = inst.GetSummary().violations;
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NE(v[0].find("marker 0x00 (0x80 expected)"), std::string::npos);
    EXPECT_NE(v[1].find("outside the four slots"), std::string::npos);
}

TEST_F(InstrumentTest, FpgaImagesStoredRaw) {
    std::vector<std::uint8_t> img(768);
    std::iota(img.begin(), img.end(), 0);
    Instrument inst(opt);
    for (std::uint32_t k = 0; k < 3; ++k) inst.Feed(BlockFrame(0, 0x00, k, k == 2 ? 0x40 : 0, &img[k * 256]), 0);
    for (std::uint32_t k = 0; k < 2; ++k) inst.Feed(BlockFrame(0, 0x01, k, k == 1 ? 0x40 : 0, &img[k * 256]), 0);
    EXPECT_EQ(ReadFile((dir / "fpga.bin").string()), img);
    EXPECT_EQ(ReadFile((dir / "aux_fpga.bin").string()), Bytes(img.begin(), img.begin() + 512));
    EXPECT_TRUE(inst.GetSummary().violations.empty());
    EXPECT_EQ(inst.GetSummary().filesWritten.size(), 2u);
}

// ------------------------------------------------------------------ entry banners

TEST_F(InstrumentTest, EntryBanners) {
    opt.bannerDelayMs = 30;
    {
        Instrument inst(opt);
        auto r = inst.Feed(Text("\r\nISP 32 1\r\n"), 0);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].delayMs, 30u);
        EXPECT_EQ(r[0].bytes, Text("\r\n ISP MODE...\r"));
        EXPECT_EQ(inst.CurrentMode(), Mode::Bootloader);
    }
    for (const char* sel : {" 0", " 9", "20"}) {
        Instrument inst(opt);
        EXPECT_TRUE(inst.Feed(Text("\r\n"), 0).empty());
        auto r = inst.Feed(Text(std::string("UBP 32 2 ") + sel + "\r\n"), 100);
        EXPECT_EQ(Joined(r), Text("\r\n ISP MODE...\r")) << sel;
        EXPECT_EQ(inst.CurrentMode(), Mode::Bootloader);
    }
    for (char n = '1'; n <= '4'; ++n) {
        Instrument inst(opt);
        auto r = inst.Feed(Text(std::string("\r\nUBP 32 2 ") + n + "\r\n"), 0);
        EXPECT_EQ(Joined(r), Text(std::string("\r\nUBD 0") + n + "\r"));
        EXPECT_EQ(inst.CurrentMode(), Mode::InputBoard);
    }
    Instrument none(opt);
    EXPECT_TRUE(none.Feed(Text("\r\nUBP 32 2 5\r\nUBP 32 2 x1\r\n"), 0).empty());
    EXPECT_EQ(none.CurrentMode(), Mode::Application);
    EXPECT_EQ(none.GetSummary().violations.size(), 2u);
}

// ------------------------------------------------------------------ STM32 bootloader

class BootloaderTest : public InstrumentTest {
protected:
    Bytes Do(Instrument& inst, const Bytes& b) { return Joined(inst.Feed(b, 0)); }
    static Bytes Addr(std::uint32_t a) {
        Bytes b{std::uint8_t(a >> 24), std::uint8_t(a >> 16), std::uint8_t(a >> 8), std::uint8_t(a)};
        b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
        return b;
    }
    static Bytes DataPacket(const Bytes& d) {
        Bytes p{std::uint8_t(d.size() - 1)};
        p.insert(p.end(), d.begin(), d.end());
        std::uint8_t x = 0;
        for (auto v : p) x ^= v;
        p.push_back(x);
        return p;
    }
};

TEST_F(BootloaderTest, TheProgramsExchangeWritesTheImage) {
    opt.startInBootloader = true;
    Instrument inst(opt);
    EXPECT_TRUE(Do(inst, {0x00, 0x12}).empty());  // lost before the sync byte
    EXPECT_EQ(Do(inst, {0x7F}), Bytes{0x79});
    EXPECT_EQ(Do(inst, {0x7F}), Bytes{0x79});  // a repeated sync byte is acknowledged
    EXPECT_EQ(Do(inst, {0x00, 0xFF}), (Bytes{0x79, 0x07, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x79}));
    EXPECT_EQ(Do(inst, {0x02, 0xFD}), (Bytes{0x79, 0x01, 0x04, 0x10, 0x79}));
    EXPECT_EQ(Do(inst, {0x11, 0xEE}), Bytes{0x79});
    EXPECT_EQ(Do(inst, {0x08, 0x00, 0x00, 0x00, 0x08}), Bytes{0x79});
    EXPECT_EQ(Do(inst, {0x03, 0xFC}), (Bytes{0x79, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Do(inst, {0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE0, 0xF7, 0x01, 0xFE}), (Bytes{0x79, 0x79, 0x79, 0x80, 0x00}));
    EXPECT_EQ(Do(inst, {0x43, 0xBC}), Bytes{0x79});
    EXPECT_EQ(Do(inst, {0xFF, 0x00}), Bytes{0x79});

    // A 300-byte image in three 128-byte pieces, the last filled with 0xFF.
    Bytes image(300);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = std::uint8_t(i * 13 + 1);
    Bytes padded = image;
    padded.resize(384, 0xFF);
    for (std::uint32_t piece = 0; piece < 3; ++piece) {
        EXPECT_EQ(Do(inst, {0x31, 0xCE}), Bytes{0x79});
        EXPECT_EQ(Do(inst, Addr(0x08000000 + 128 * piece)), Bytes{0x79});
        EXPECT_EQ(Do(inst, DataPacket(Bytes(padded.begin() + 128 * piece, padded.begin() + 128 * (piece + 1)))), Bytes{0x79});
    }
    EXPECT_EQ(Addr(0x08000080), (Bytes{0x08, 0x00, 0x00, 0x80, 0x88}));
    EXPECT_EQ(inst.McuFlash(), padded);
    EXPECT_EQ(ReadFile((dir / "mcu_flash.bin").string()), padded);
    EXPECT_TRUE(inst.GetSummary().violations.empty());
    EXPECT_EQ(inst.GetSummary().bootloaderCommands, 8u);  // Get, Get ID, 2 reads, erase, 3 writes
}

TEST_F(BootloaderTest, ReadBackAndPageErase) {
    opt.startInBootloader = true;
    Instrument inst(opt);
    Do(inst, {0x7F});
    Bytes d(256);
    std::iota(d.begin(), d.end(), 0);
    Do(inst, {0x31, 0xCE});
    Do(inst, Addr(0x08000400));
    EXPECT_EQ(Do(inst, DataPacket(d)), Bytes{0x79});
    Do(inst, {0x11, 0xEE});
    Do(inst, Addr(0x08000400));
    Bytes r = Do(inst, {0xFF, 0x00});
    ASSERT_EQ(r.size(), 257u);
    EXPECT_EQ(Bytes(r.begin() + 1, r.end()), d);
    // Page list form: erase page 1 (0x08000400), checksum 00 ^ 01.
    EXPECT_EQ(Do(inst, {0x43, 0xBC, 0x00, 0x01, 0x01}), (Bytes{0x79, 0x79}));
    Do(inst, {0x11, 0xEE});
    Do(inst, Addr(0x08000400));
    r = Do(inst, {0x00, 0xFF});
    EXPECT_EQ(r, (Bytes{0x79, 0xFF}));
    EXPECT_TRUE(inst.GetSummary().violations.empty());
    // The flash file keeps the written extent (now erased).
    EXPECT_EQ(inst.McuFlash(), Bytes(0x500, 0xFF));
}

TEST_F(BootloaderTest, NackOnEveryChecksumError) {
    opt.startInBootloader = true;
    Instrument inst(opt);
    Do(inst, {0x7F});
    EXPECT_EQ(Do(inst, {0x00, 0xFE}), Bytes{0x1F});  // complement wrong
    EXPECT_EQ(Do(inst, {0x31, 0xCE}), Bytes{0x79});
    EXPECT_EQ(Do(inst, {0x08, 0x00, 0x00, 0x00, 0x09}), Bytes{0x1F});  // address XOR wrong
    EXPECT_EQ(Do(inst, {0x31, 0xCE}), Bytes{0x79});
    EXPECT_EQ(Do(inst, Addr(0x08000000)), Bytes{0x79});
    Bytes p = DataPacket(Bytes(128, 0x55));
    p.back() ^= 0x01;
    EXPECT_EQ(Do(inst, p), Bytes{0x1F});  // data XOR wrong: nothing written
    EXPECT_TRUE(inst.McuFlash().empty());
    EXPECT_EQ(Do(inst, {0x43, 0xBC, 0xFF, 0x01}), (Bytes{0x79, 0x1F}));
    EXPECT_EQ(Do(inst, {0x11, 0xEE, 0x30, 0x00, 0x00, 0x00, 0x30}), (Bytes{0x79, 0x1F}));  // unmapped
    EXPECT_EQ(Do(inst, {0x44, 0xBB}), Bytes{0x1F});  // extended erase is not offered
    // Writing over flash that was not erased fails like the real part.
    Do(inst, {0x31, 0xCE});
    Do(inst, Addr(0x08000000));
    EXPECT_EQ(Do(inst, DataPacket(Bytes(4, 0x00))), Bytes{0x79});
    Do(inst, {0x31, 0xCE});
    Do(inst, Addr(0x08000000));
    EXPECT_EQ(Do(inst, DataPacket(Bytes(4, 0x11))), Bytes{0x1F});
    EXPECT_EQ(inst.GetSummary().violations.size(), 7u);
    // Still in step: the next command works.
    EXPECT_EQ(Do(inst, {0x02, 0xFD}), (Bytes{0x79, 0x01, 0x04, 0x10, 0x79}));
}

TEST_F(BootloaderTest, ParityErrorOnAFlaggedSyncByte) {
    opt.startInBootloader = true;
    Instrument inst(opt);
    EXPECT_EQ(Joined(inst.Feed(0x7F, 0, true)), Bytes{0x79});
    ASSERT_EQ(inst.GetSummary().violations.size(), 1u);
    EXPECT_NE(inst.GetSummary().violations[0].find("sync byte 0x7F"), std::string::npos);
    EXPECT_NE(inst.GetSummary().violations[0].find("not 8E1"), std::string::npos);
}

// ------------------------------------------------------------------ input board

class InputBoardTest : public InstrumentTest {
protected:
    static Bytes Packet(Bytes body) {
        body.insert(body.begin(), std::uint8_t(body.size() + 2));
        body.push_back(Chk(body));
        return body;
    }
    static Bytes Chunk(std::uint32_t addr, const std::uint8_t* d, std::uint32_t n, bool breakCrc = false) {
        Bytes f;
        for (int s = 24; s >= 0; s -= 8) f.push_back(std::uint8_t(addr >> s));
        for (int s = 24; s >= 0; s -= 8) f.push_back(std::uint8_t(n >> s));
        f.insert(f.end(), d, d + n);
        std::uint16_t crc = ChunkCrc16(d, n) ^ (breakCrc ? 1 : 0);
        f.insert(f.end(), {0, 0, std::uint8_t(crc >> 8), std::uint8_t(crc)});
        return f;
    }
    // Takes the board from its banner to the first chunk prompt.
    void Boot(Instrument& inst) {
        inst.Feed(Text("\r\nUBP 32 2 2\r\n"), 0);
        ASSERT_EQ(Joined(inst.Feed(Bytes{0x03, 0x09, 0xF4}, 0)), Bytes{0xF1});
        ASSERT_EQ(Joined(inst.Feed(Bytes{0x04, 0x20, 0x00, 0xDC}, 0)), Bytes{'.'});
        ASSERT_EQ(Joined(inst.Feed(Bytes{0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA, 0x10, 0x05, 0x00, 0x00, 0x8A}, 0)),
                  Bytes{0xF1});
        std::uint32_t addr = 0x0510, left = 5446;
        while (left) {
            const std::uint32_t n = std::min<std::uint32_t>(250, left);
            Bytes body{0x13, std::uint8_t(addr >> 8), std::uint8_t(addr)};
            for (std::uint32_t i = 0; i < n; ++i) body.push_back(std::uint8_t(addr + i));
            Bytes p = Packet(body);
            if (left == 196) {
                EXPECT_EQ(p[0], 0xC9);
                EXPECT_EQ(addr, 0x1992u);
            }
            ASSERT_EQ(Joined(inst.Feed(p, 0)), Bytes{0xF1});
            addr += n;
            left -= n;
        }
        ASSERT_EQ(Joined(inst.Feed(Bytes{0x05, 0x1D, 0x05, 0x00, 0xD9}, 0)), Bytes{0xEF});
        ASSERT_EQ(Joined(inst.Feed(Bytes{0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC}, 0)), Bytes{0xDF});
        ASSERT_EQ(Joined(inst.Feed(Bytes{0x05, 0x19, 0xFF, 0xFF, 0xE4}, 0)), Bytes{0xF1});
    }
};

TEST_F(InputBoardTest, TenThousandByteFirmwareStored) {
    Instrument inst(opt);
    Boot(inst);
    Bytes fw(10000);
    for (std::size_t i = 0; i < fw.size(); ++i) fw[i] = std::uint8_t(i ^ (i >> 8));
    std::uint32_t off = 0;
    for (std::uint32_t n : {4096u, 4096u, 1808u}) {
        EXPECT_TRUE(inst.Feed(Bytes{0x03, 0x10, 0xED}, 0).empty());
        EXPECT_EQ(Joined(inst.Feed(Chunk(0x00A00000 + off, &fw[off], n), 0)), Bytes{0xF1});
        off += n;
    }
    EXPECT_EQ(ReadFile((dir / "input_board2.bin").string()), fw);
    EXPECT_EQ(inst.GetSummary().chunkFrames, 3u);
    EXPECT_TRUE(inst.GetSummary().violations.empty()) << inst.GetSummary().violations[0];
}

TEST_F(InputBoardTest, BadCrcAddressAndPacketsAreRecorded) {
    Instrument inst(opt);
    Boot(inst);
    Bytes d(100, 0x5A);
    inst.Feed(Bytes{0x03, 0x10, 0xED}, 0);
    EXPECT_TRUE(inst.Feed(Chunk(0x00A00000, d.data(), 100, true), 0).empty());  // no prompt after a bad CRC
    inst.Feed(Bytes{0x03, 0x10, 0xED}, 0);
    EXPECT_EQ(Joined(inst.Feed(Chunk(0x00A00010, d.data(), 100), 0)), Bytes{0xF1});
    EXPECT_TRUE(inst.Feed(Bytes{0x03, 0x10, 0xEE}, 0).empty());  // packet checksum wrong
    EXPECT_TRUE(inst.Feed(Bytes{0x04, 0x20, 0x00, 0xDC}, 0).empty());  // not in this step
    const auto v = inst.GetSummary().violations;
    ASSERT_EQ(v.size(), 4u);
    EXPECT_NE(v[0].find("CRC"), std::string::npos);
    EXPECT_NE(v[1].find("0x00A00000 expected"), std::string::npos);
    EXPECT_NE(v[2].find("checksum"), std::string::npos);
    EXPECT_NE(v[3].find("unexpected packet"), std::string::npos);
}

TEST_F(InputBoardTest, RamLoaderPiecesAreChecked) {
    Instrument inst(opt);
    inst.Feed(Text("\r\nUBP 32 2 1\r\n"), 0);
    EXPECT_TRUE(inst.Feed(Bytes{0x04, 0x20, 0x00, 0xDC}, 0).empty());  // '.' only after 03 09 F4
    inst.Feed(Bytes{0x03, 0x09, 0xF4}, 0);
    inst.Feed(Bytes{0x04, 0x20, 0x00, 0xDC}, 0);
    inst.Feed(Bytes{0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA, 0x10, 0x05, 0x00, 0x00, 0x8A}, 0);
    Bytes body{0x13, 0x06, 0x00};  // starts at 0x0600, not 0x0510
    body.resize(3 + 250, 0);
    EXPECT_EQ(Joined(inst.Feed(Packet(body), 0)), Bytes{0xF1});
    EXPECT_EQ(Joined(inst.Feed(Bytes{0x05, 0x1D, 0x05, 0x00, 0xD9}, 0)), Bytes{0xEF});
    const auto v = inst.GetSummary().violations;
    ASSERT_EQ(v.size(), 3u);
    EXPECT_NE(v[1].find("at 0x0600 (0x0510 expected)"), std::string::npos);
    EXPECT_NE(v[2].find("1 pieces of 250 bytes"), std::string::npos);
}

TEST_F(InputBoardTest, SearchAfterTheLastChunkFindsTheApplication) {
    // A last chunk over 500 bytes leaves the program sending one more
    // 03 10 ED; the next flow starts with a search.
    Instrument inst(opt);
    Boot(inst);
    Bytes d(600, 0x33);
    inst.Feed(Bytes{0x03, 0x10, 0xED}, 0);
    inst.Feed(Chunk(0x00A00000, d.data(), 600), 0);
    inst.Feed(Bytes{0x03, 0x10, 0xED}, 0);
    const Bytes r = Joined(inst.Feed(Bytes{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x57}, 0));
    EXPECT_EQ(r, (Bytes{0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x00, 0x00, 0x54}));
    EXPECT_EQ(inst.CurrentMode(), Mode::Application);
    EXPECT_TRUE(inst.GetSummary().violations.empty());
}

TEST(ChunkCrc, CheckValuesAndOutsideImplementation) {
    EXPECT_EQ(ChunkCrc16(nullptr, 0), 0x1021);
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(ChunkCrc16(abc, 3), 0xEB62);

    // Debian's crcmod with the same parameters over a fixed pseudo-random buffer.
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t((i * 2654435761u) >> 13);
    const std::string cmd = std::string(QUILLET_PYTHON) +
                            " -c \"import crcmod;f=crcmod.mkCrcFun(0x11021,initCrc=0x1021,rev=False,xorOut=0);"
                            "print(f(bytes(((i*2654435761)>>13)&255 for i in range(1000))))\" 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    unsigned value = 0;
    const int got = std::fscanf(p, "%u", &value);
    pclose(p);
    if (got != 1) GTEST_SKIP() << "python3-crcmod is not installed";
    EXPECT_EQ(ChunkCrc16(data.data(), data.size()), value);
}

} // namespace
