// One run on several instruments reads each file once: the dialogs that
// share a SharedFiles send from one copy, and a file changed on disk is
// read again.
#include <fstream>
#include <thread>

#include "PatternSupport.h"
#include "pattern/SamplePattern.h"
#include "pattern/SharedFiles.h"
#include "platform/Utf8.h"
#include "support/DialogProbe.h"

namespace quillet {
namespace {

struct SharedFilesTest : ::testing::Test {
    std::filesystem::path dir = test::MakeScratchDir("shared");
    std::string Path(const char* name) const { return Utf8FromPath(dir / name); }
    void Write(const char* name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    ~SharedFilesTest() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

TEST_F(SharedFilesTest, DialogsThatShareOneStoreSendOneRaster) {
    ASSERT_TRUE(WriteSamplePatternBmp(Path("sample.bmp")));
    auto files = std::make_shared<SharedFiles>();
    test::DialogWithPort a, b, alone;
    a.dlg.ShareFiles(files);
    b.dlg.ShareFiles(files);
    for (auto* d : {&a, &b, &alone}) {
        EXPECT_TRUE(d->dlg.LoadImageFile(Path("sample.bmp")));
        EXPECT_TRUE(d->dlg.PatternReady());
    }
    // Both hold the store's one raster (no view shows where a raster lies).
    std::string refusal;
    const SharedBytes raster = files->Image(Path("sample.bmp"), refusal)->raster;
    ASSERT_TRUE(raster);
    EXPECT_EQ(test::Probe(a.dlg).Raster(), raster);
    EXPECT_EQ(test::Probe(b.dlg).Raster(), raster);
    // A dialog of its own decodes its own copy of the same pixels, and
    // sends the same bytes.
    EXPECT_NE(test::Probe(alone.dlg).Raster(), raster);
    EXPECT_TRUE(test::SentRaster(alone) == *raster);
    EXPECT_TRUE(test::SentRaster(b) == *raster);
    EXPECT_TRUE(std::equal(b.dlg.PreviewPixels(), b.dlg.PreviewPixels() + kPreviewBytes, alone.dlg.PreviewPixels()));
}

TEST_F(SharedFilesTest, AFileIsReadOnceUntilItChangesAndARefusalIsNotKept) {
    SharedFiles files;
    std::string refusal;
    EXPECT_FALSE(files.File(Path("fw.bin"), kBlockImageFile, refusal));
    EXPECT_NE(refusal.find("fw.bin"), std::string::npos) << refusal;

    Write("fw.bin", "first");
    refusal.clear();
    const SharedBytes first = files.File(Path("fw.bin"), kBlockImageFile, refusal);
    ASSERT_TRUE(first) << refusal;
    EXPECT_EQ(files.File(Path("fw.bin"), kBlockImageFile, refusal), first);

    Write("fw.bin", "the second one");
    const SharedBytes second = files.File(Path("fw.bin"), kBlockImageFile, refusal);
    ASSERT_TRUE(second);
    EXPECT_EQ(std::string(second->begin(), second->end()), "the second one");
    EXPECT_EQ(std::string(first->begin(), first->end()), "first");  // still whole for whoever sends it

    Write("empty.bin", "");
    EXPECT_FALSE(files.File(Path("empty.bin"), kBlockImageFile, refusal));
    EXPECT_NE(refusal.find("empty"), std::string::npos) << refusal;
}

TEST_F(SharedFilesTest, AnImageRefusedByItsContentsKeepsItsVerdictForEveryone) {
    Write("text.bmp", "not an image at all");
    SharedFiles files;
    std::string refusal;
    const auto image = files.Image(Path("text.bmp"), refusal);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->outcome.verdict, BmpVerdict::NotBmp);
    EXPECT_FALSE(image->raster);
    test::DialogWithPort d;
    d.dlg.ShareFiles(std::make_shared<SharedFiles>());
    EXPECT_FALSE(d.dlg.LoadImageFile(Path("text.bmp")));
    ASSERT_EQ(d.host.boxes.size(), 1u);
    EXPECT_STREQ(d.host.boxes[0].text.c_str(), kMsgNotBmp);
}

// Many sessions ask at once: one decode, one raster for all of them.
TEST_F(SharedFilesTest, SessionsAskingTogetherGetOneDecode) {
    ASSERT_TRUE(WriteSamplePatternBmp(Path("sample.bmp")));
    SharedFiles files;
    constexpr int kSessions = 8;
    std::vector<std::shared_ptr<const DecodedImage>> got(kSessions);
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i)
        threads.emplace_back([&, i] {
            std::string refusal;
            got[i] = files.Image(Path("sample.bmp"), refusal);
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(got[0] && got[0]->raster);
    for (const auto& image : got) EXPECT_EQ(image, got[0]);
}

} // namespace
} // namespace quillet
