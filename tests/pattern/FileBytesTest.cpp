// The one way the program reads the operator's files: names Windows keeps
// for devices and folders are refused before anything is opened, and names
// beyond ASCII are opened as they are.
#include "PatternSupport.h"
#include "pattern/BmpImport.h"
#include "pattern/FileBytes.h"
#include "pattern/SamplePattern.h"
#include "platform/Utf8.h"

namespace quillet {
namespace {

TEST(FileBytes, ReservedDeviceNames) {
    for (const char* name : {"CON", "prn", "Aux", "nul", "COM1", "com9", "LPT1", "lpt9", "aux.bin",
                             "AUX.tar.gz", "nul .bmp", "C:\\images\\con.bmp", "dir/lpt3.bin", "COM5."})
        EXPECT_TRUE(IsReservedDeviceName(name)) << name;
    for (const char* name : {"aux-image.bin", "auxiliary.bin", "COM0", "COM10", "LPT", "con/image.bmp",
                             "xnul.bin", "", "C:\\aux\\image.bmp", "COM1x.bin"})
        EXPECT_FALSE(IsReservedDeviceName(name)) << name;
}

TEST(FileBytes, FoldersAndDeviceNamesAreRefusedNamesBeyondAsciiAreRead) {
    const auto dir = test::MakeScratchDir("files");
    ASSERT_FALSE(dir.empty());
    std::vector<std::uint8_t> bytes{1};
    std::string refusal;
    EXPECT_FALSE(ReadFileBytes(Utf8FromPath(dir), bytes, &refusal));
    EXPECT_EQ(refusal, "\"" + Utf8FromPath(dir) + "\" is a folder, not a file.");
    EXPECT_TRUE(bytes.empty());

    // "Prüfbild €" in Greek and Cyrillic as well: UTF-8 inside the program.
    const std::string name = Utf8FromPath(dir) + "/Pr\xC3\xBC" "fbild-\xE2\x82\xAC-\xCE\xB5\xD0\xB6.bmp";
    ASSERT_TRUE(WriteSamplePatternBmp(name));
    EXPECT_TRUE(std::filesystem::exists(PathFromUtf8(name)));
    EXPECT_TRUE(ReadFileBytes(name, bytes, &refusal));
    EXPECT_TRUE(refusal.empty());
    EXPECT_EQ(bytes.size(), 54u + kRasterBytes);

    // "Load Image" with that name loads it; with a device name it says why not.
    test::DialogWithPort d;
    d.host.fileAnswers.push_back(name);
    d.dlg.OnLoadImage();
    EXPECT_TRUE(d.host.boxes.empty());
    EXPECT_TRUE(d.host.IsItemEnabled(IDC_NAND_FLASH));
#ifdef _WIN32
    // Opening it would reach the AUX device (and wait for it for good).
    d.host.fileAnswers.push_back(Utf8FromPath(dir) + "\\aux.bmp");
    d.dlg.OnLoadImage();
    ASSERT_EQ(d.host.boxes.size(), 1u);
    EXPECT_EQ(d.host.boxes[0].text,
              "Open file failed!\n\"aux.bmp\" is the name of a Windows device, not of a file.");
    EXPECT_FALSE(d.host.IsItemEnabled(IDC_NAND_FLASH));
#endif
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

} // namespace
} // namespace quillet
