// A simulator that runs for days: what the instrument keeps of the traffic
// is a bounded tail, while it goes on answering, counting and storing every
// upload; by default (the tests that compare the traffic) it keeps it all.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <vector>

#include "sim/lib/Instrument.h"
#include "support/Portable.h"

using namespace quillet::sim;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t kPanelBlocks = 300;
constexpr std::uint32_t kSlotFourFirstBlock = 12300;
constexpr std::size_t kBlockData = 256;
constexpr std::size_t kTail = 4096;

std::uint8_t Chk(const Bytes& b) {
    std::uint8_t s = 0;
    for (auto x : b) s = std::uint8_t(s + x);
    return std::uint8_t(-s);
}

Bytes PanelBlock(std::uint32_t num, std::uint8_t marker, const std::uint8_t* data) {
    const std::uint8_t header[] = {0xAA, 0x00, 0x00, 0x09, 0x01, 0x00, 0x00, 0x78, 0x78, 0x21,
                                   std::uint8_t(num), std::uint8_t(num >> 8), marker};
    Bytes f(sizeof header + kBlockData);
    std::copy(std::begin(header), std::end(header), f.begin());
    std::copy(data, data + kBlockData, f.begin() + sizeof header);
    f.push_back(Chk(f));
    return f;
}

// One panel upload to slot 4 of `panel` (300 blocks); the bytes fed.
std::size_t UploadPanel(Instrument& inst, const Bytes& panel, std::uint64_t nowMs) {
    std::size_t fed = 0;
    for (std::uint32_t k = 0; k < kPanelBlocks; ++k) {
        const std::uint8_t marker = k == 0 ? 0x80 : k == kPanelBlocks - 1 ? 0x40 : 0x00;
        const Bytes frame = PanelBlock(kSlotFourFirstBlock + k, marker, &panel[k * kBlockData]);
        EXPECT_FALSE(inst.Feed(frame, nowMs).empty()) << "block " << k << " not acknowledged";
        fed += frame.size();
    }
    return fed;
}

Bytes PanelOf(unsigned seed) {
    Bytes panel(kPanelBlocks * kBlockData);
    for (std::size_t i = 0; i < panel.size(); ++i) panel[i] = std::uint8_t(i * 7 + seed * 31);
    return panel;
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(SimTrafficTail, HundredUploadsKeepABoundedTailAndEveryImage) {
    const auto dir = quillet::test::MakeScratchDir("sim-tail");
    Options opt;
    opt.outputDir = dir.string();
    opt.trafficKept = kTail;
    Instrument inst(opt);
    std::uint64_t fed = 0;
    Bytes lastFrame;
    for (unsigned upload = 0; upload < 100; ++upload) {
        const Bytes panel = PanelOf(upload);
        fed += UploadPanel(inst, panel, upload * 1000);
        ASSERT_LE(inst.Received().size(), 2 * kTail) << "after upload " << upload;
        EXPECT_EQ(ReadFile(dir / "panel_slot4.bin"), panel) << upload;
        lastFrame = PanelBlock(kSlotFourFirstBlock + kPanelBlocks - 1, 0x40, &panel[(kPanelBlocks - 1) * kBlockData]);
    }
    const Summary s = inst.GetSummary();
    EXPECT_EQ(s.bytesReceived, fed);
    EXPECT_EQ(s.blocksAccepted, 100u * kPanelBlocks);
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    // The tail is the last bytes received, in order.
    const Bytes& tail = inst.Received();
    ASSERT_GE(tail.size(), kTail);
    EXPECT_TRUE(std::equal(lastFrame.begin(), lastFrame.end(), tail.end() - std::ptrdiff_t(lastFrame.size())));
    std::filesystem::remove_all(dir);
}

TEST(SimTrafficTail, SearchFramesAreFoundAcrossTheCutAndEverythingIsKeptByDefault) {
    const auto dir = quillet::test::MakeScratchDir("sim-tail-search");
    Options opt;
    opt.outputDir = dir.string();
    opt.searchReplyDelayMs = 0;
    opt.trafficKept = 1;  // raised to the smallest tail that holds a frame
    Options all = opt;
    all.trafficKept = kKeepAllTraffic;
    Instrument tail(opt), whole(all);
    Bytes frame{0xAA, quillet::kGroupGenerator, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8};
    frame.push_back(Chk(frame));
    // Some frames arrive after a stray byte, so the cut falls anywhere in one.
    Bytes fedBytes;
    for (int i = 0; i < 500; ++i) {
        Bytes bytes = i % 3 == 0 ? Bytes{0x00} : Bytes{};
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        EXPECT_FALSE(tail.Feed(bytes, i).empty()) << i;
        whole.Feed(bytes, i);
        fedBytes.insert(fedBytes.end(), bytes.begin(), bytes.end());
        ASSERT_LE(tail.Received().size(), 2 * kMinTrafficKept);
    }
    EXPECT_EQ(tail.GetSummary().searchFrames, 500u);
    EXPECT_EQ(tail.GetSummary().bytesReceived, fedBytes.size());
    EXPECT_EQ(whole.Received(), fedBytes);
    std::filesystem::remove_all(dir);
}

} // namespace
