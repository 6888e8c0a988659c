// "Load Image" with BMP and PNG files written by Pillow: the raster,
// preview and panel images, the buttons and every message.
#include <map>

#include "PatternSupport.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif
#include "pattern/BmpImport.h"

namespace quillet {
namespace {

using test::DialogWithPort;
using test::SentPanel;
using test::SentRaster;

// Pillow writes every file; the raw RGB next to some is what Pillow itself
// decodes from that BMP.
constexpr const char* kMakeFiles = R"PY(
import random, struct, sys, os
from PIL import Image
d = os.path.dirname(os.path.abspath(__file__))
p = lambda n: os.path.join(d, n)
def solid(name, size, colour, mode="RGB"):
    Image.new(mode, size, colour).save(p(name), "BMP")
solid("solid.bmp", (1920, 1080), (10, 20, 30))
solid("white.bmp", (1920, 1080), (255, 255, 255))
for v in (10, 127, 128, 200, 255):
    solid("grey%d.bmp" % v, (1920, 1080), (v, v, v))
rnd = random.Random(4)
img = Image.frombytes("RGB", (1920, 1080), rnd.randbytes(1920 * 1080 * 3))
img.save(p("random.bmp"), "BMP")
open(p("random.rgb"), "wb").write(Image.open(p("random.bmp")).convert("RGB").tobytes())
small = Image.frombytes("RGB", (240, 160), rnd.randbytes(240 * 160 * 3))
small.save(p("panel.bmp"), "BMP")
open(p("panel.rgb"), "wb").write(Image.open(p("panel.bmp")).convert("RGB").tobytes())
solid("rgba.bmp", (1920, 1080), (1, 2, 3, 4), "RGBA")
solid("short.bmp", (1920, 1079), (1, 2, 3))
solid("p8.bmp", (240, 160), 3, "P")
solid("small.bmp", (100, 50), (1, 2, 3))
Image.new("RGB", (8, 8)).save(p("picture.gif"), "GIF")
Image.new("RGB", (8, 8)).save(p("picture.png"), "PNG")
data = bytearray(open(p("solid.bmp"), "rb").read())
def patched(name, off, fmt, value):
    b = bytearray(data); struct.pack_into(fmt, b, off, value); open(p(name), "wb").write(b)
patched("rle.bmp", 30, "<I", 1)
patched("offset.bmp", 10, "<I", len(data) + 10)
open(p("cut.bmp"), "wb").write(data[:len(data) - 1])
open(p("header.bmp"), "wb").write(data[:20])
open(p("empty.bmp"), "wb").write(b"")

# One picture in every form: BMP bottom-up (Pillow's) and top-down (the
# same rows in the other order, a negative height), PNG of each colour type.
def topdown(src, dst):
    b = bytearray(open(p(src), "rb").read())
    off, = struct.unpack_from("<I", b, 10)
    w, h = struct.unpack_from("<ii", b, 18)
    stride = (w * 3 + 3) & ~3
    rows = [bytes(b[off + i * stride:off + (i + 1) * stride]) for i in range(h)]
    struct.pack_into("<i", b, 22, -h)
    b[off:off + h * stride] = b"".join(reversed(rows))
    open(p(dst), "wb").write(b)
for name, size in (("form-big", (1920, 1080)), ("form-small", (240, 160))):
    pic = Image.frombytes("RGB", size, rnd.randbytes(size[0] * size[1] * 3))
    pic.save(p(name + ".bmp"), "BMP")
    topdown(name + ".bmp", name + "-topdown.bmp")
    pic.save(p(name + ".png"), "PNG")
    rgba = pic.copy()
    rgba.putalpha(Image.frombytes("L", size, rnd.randbytes(size[0] * size[1])))
    rgba.save(p(name + "-rgba.png"), "PNG")
    grey = pic.convert("L")
    grey.save(p(name + "-grey.png"), "PNG")
    grey.convert("RGB").save(p(name + "-grey.bmp"), "BMP")
    pal = pic.quantize(64)
    pal.save(p(name + "-palette.png"), "PNG")
    pal.save(p(name + "-palette-trns.png"), "PNG", transparency=0)
    pal.convert("RGB").save(p(name + "-palette.bmp"), "BMP")
    pic.convert("LA").save(p(name + "-grey-alpha.png"), "PNG")
    pic.convert("LA").convert("RGB").save(p(name + "-grey-alpha.bmp"), "BMP")
Image.new("I;16", (1920, 1080), 300).save(p("deep.png"), "PNG")
png = open(p("form-big.png"), "rb").read()
open(p("cut.png"), "wb").write(png[:len(png) // 2])
open(p("header.png"), "wb").write(png[:20])
bad = bytearray(png); bad[len(bad) // 2] ^= 0x55
open(p("crc.png"), "wb").write(bad)
)PY";

class ImportTest : public ::testing::Test {
protected:
    static inline std::filesystem::path dir;
    static inline bool ready = false;

    static void SetUpTestSuite() {
        if (!test::PillowAvailable()) return;
        dir = test::MakeScratchDir("import");
        ready = !dir.empty() && test::RunPython(dir, kMakeFiles);
    }
    static void TearDownTestSuite() {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    void SetUp() override {
        if (!ready) GTEST_SKIP() << "Debian's python3 with Pillow is needed to write the BMP files";
    }

    DialogWithPort d;

    void Load(const std::string& name) {
        d.host.fileAnswers.push_back((dir / name).string());
        d.dlg.OnLoadImage();
    }
    bool Enabled(int id) { return d.host.IsItemEnabled(id); }
    std::vector<std::string> Messages() const {
        std::vector<std::string> m;
        for (const auto& b : d.host.boxes) m.push_back(b.text);
        return m;
    }
    std::vector<std::uint8_t> Preview() const {
        return {d.dlg.PreviewPixels(), d.dlg.PreviewPixels() + kPreviewBytes};
    }
    std::vector<std::uint8_t> Panel() { return SentPanel(d); }
    std::vector<std::uint8_t> Raster() { return SentRaster(d); }
};

bool AllPixels(const std::uint8_t* p, std::size_t bytes, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    for (std::size_t i = 0; i < bytes; i += 3)
        if (p[i] != a || p[i + 1] != b || p[i + 2] != c) return false;
    return true;
}

TEST_F(ImportTest, RasterIsWhatPillowDecodes) {
    Load("random.bmp");
    EXPECT_TRUE(d.host.boxes.empty());
    EXPECT_TRUE(Enabled(IDC_NAND_FLASH));
    EXPECT_TRUE(Enabled(IDC_PANEL_DATA));
    const auto rgb = test::ReadAll(dir / "random.rgb");
    ASSERT_EQ(rgb.size(), kRasterBytes);
    EXPECT_TRUE(Raster() == rgb);
    EXPECT_GE(d.host.previewRedraws, 1);
    ASSERT_FALSE(d.host.fileFilters.empty());
    EXPECT_EQ(d.host.fileFilters[0], "bmp or png file(*.bmp;*.png)|*.bmp;*.png|bmp file(*.bmp)|*.bmp|all file(*.*)|*.*||");
    ASSERT_FALSE(d.host.directories.empty());
    EXPECT_EQ(d.host.directories[0], "./");
}

TEST_F(ImportTest, SolidColoursKeepTheirValueInPreviewAndPanel) {
    Load("solid.bmp");
    const auto raster = Raster();
    ASSERT_EQ(raster.size(), kRasterBytes);
    EXPECT_TRUE(AllPixels(raster.data(), kRasterBytes, 10, 20, 30));
    EXPECT_TRUE(AllPixels(d.dlg.PreviewPixels(), kPreviewBytes, 10, 20, 30));
    // (10, 20, 30) in RGB565: 00001 000101 00011.
    const auto panel = Panel();
    ASSERT_EQ(panel.size(), kPanelBytes);
    for (std::size_t i = 0; i < kPanelBytes; i += 2) {
        ASSERT_EQ(panel[i], 0x08) << i;
        ASSERT_EQ(panel[i + 1], 0xA3) << i;
    }
    Load("white.bmp");
    EXPECT_TRUE(AllPixels(d.dlg.PreviewPixels(), kPreviewBytes, 255, 255, 255));
    EXPECT_EQ(Panel(), std::vector<std::uint8_t>(kPanelBytes, 0xFF));
    for (int v : {10, 127, 128, 200, 255}) {
        Load("grey" + std::to_string(v) + ".bmp");
        EXPECT_TRUE(AllPixels(d.dlg.PreviewPixels(), kPreviewBytes, v, v, v)) << v;
    }
}

TEST_F(ImportTest, PanelSizedFileIsCopiedAndEnablesOnlyThePanelButton) {
    Load("solid.bmp");
    const auto raster = Raster();
    Load("panel.bmp");
    EXPECT_TRUE(d.host.boxes.empty());
    EXPECT_FALSE(Enabled(IDC_NAND_FLASH));
    EXPECT_TRUE(Enabled(IDC_PANEL_DATA));
    const auto rgb = test::ReadAll(dir / "panel.rgb");
    EXPECT_EQ(Preview(), rgb);
    const auto panel = Panel();
    ASSERT_EQ(panel.size(), kPanelBytes);
    for (std::size_t p = 0; p < 240 * 160; p += 997) {
        const int r = rgb[3 * p], g = rgb[3 * p + 1], b = rgb[3 * p + 2];
        EXPECT_EQ(panel[2 * p], (r & 0xF8) | (g >> 5));
        EXPECT_EQ(panel[2 * p + 1], ((g & 0x1C) << 3) | (b >> 3));
    }
    EXPECT_TRUE(Raster() == raster);  // the raster keeps the last pattern
}

// ---- one picture in every form ------------------------------------------------

// What "Load Image" made of a file: the three images and the buttons.
struct Loaded {
    std::vector<std::uint8_t> raster, preview, panel;
    bool nand = false, panelButton = false;
    std::vector<std::string> messages;
    bool operator==(const Loaded&) const = default;
};

class FormsTest : public ImportTest {
protected:
    Loaded LoadInFreshDialog(const std::string& name) {
        DialogWithPort fresh;
        fresh.host.fileAnswers.push_back((dir / name).string());
        fresh.dlg.OnLoadImage();
        Loaded l;
        l.nand = fresh.host.IsItemEnabled(IDC_NAND_FLASH);
        l.panelButton = fresh.host.IsItemEnabled(IDC_PANEL_DATA);
        for (const auto& b : fresh.host.boxes) l.messages.push_back(b.text);
        l.preview.assign(fresh.dlg.PreviewPixels(), fresh.dlg.PreviewPixels() + kPreviewBytes);
        // The raster and the panel image as the instrument would get them.
        l.raster = SentRaster(fresh);
        l.panel = SentPanel(fresh);
        return l;
    }
    // The file's outcome as the decoder tells it (the note is not a box).
    BmpOutcome Decode(const std::string& name) {
        const auto bytes = test::ReadAll(dir / name);
        PatternImages images;
        return DecodePatternBmp(bytes.data(), bytes.size(), images);
    }
};

// The same pixels give the same images (and so the same bytes on the wire)
// whether they come bottom-up or top-down in a BMP or in a PNG of any
// colour type; alpha is left out with a note.
TEST_F(FormsTest, EveryFormOfOnePictureGivesTheSameImages) {
    for (const std::string size : {"form-big", "form-small"}) {
        SCOPED_TRACE(size);
        const Loaded bmp = LoadInFreshDialog(size + ".bmp");
        EXPECT_TRUE(bmp.messages.empty());
        EXPECT_EQ(bmp.nand, size == "form-big");
        EXPECT_TRUE(bmp.panelButton);
        EXPECT_TRUE(Decode(size + "-topdown.bmp").topDown);
        EXPECT_TRUE(LoadInFreshDialog(size + "-topdown.bmp") == bmp);
        if (!PngSupported()) {
            EXPECT_EQ(LoadInFreshDialog(size + ".png").messages, std::vector<std::string>{kMsgPngUnsupported});
            continue;
        }
        EXPECT_TRUE(LoadInFreshDialog(size + ".png") == bmp);
        EXPECT_TRUE(LoadInFreshDialog(size + "-rgba.png") == bmp);
        EXPECT_EQ(Decode(size + ".png").note, nullptr);
        EXPECT_STREQ(Decode(size + "-rgba.png").note, kNotePngAlpha);
        EXPECT_EQ(Decode(size + "-rgba.png").format, ImageFormat::Png);
        // Grey, grey with alpha and palette images against the BMP Pillow
        // makes of their colours.
        for (const std::string form : {"-grey", "-grey-alpha", "-palette"}) {
            SCOPED_TRACE(form);
            const Loaded reference = LoadInFreshDialog(size + form + ".bmp");
            EXPECT_TRUE(LoadInFreshDialog(size + form + ".png") == reference);
            EXPECT_FALSE(reference == bmp);
        }
        EXPECT_TRUE(LoadInFreshDialog(size + "-palette-trns.png") == LoadInFreshDialog(size + "-palette.bmp"));
        EXPECT_STREQ(Decode(size + "-palette-trns.png").note, kNotePngAlpha);
        EXPECT_STREQ(Decode(size + "-grey-alpha.png").note, kNotePngAlpha);
    }
}

struct Rejection {
    const char* file;
    const char* message;
};

TEST_F(ImportTest, RejectedFilesDisableBothButtonsAndKeepTheImages) {
    const Rejection cases[] = {
        {"rgba.bmp", "It is not 24bit true color BMP file!"},
        {"p8.bmp", "It is not 24bit true color BMP file!"},
        {"short.bmp", "It should be 1920x1080 image size bitmap file!"},
        {"small.bmp", "It should be 1920x1080 image size bitmap file!"},
        {"rle.bmp", kMsgCompressed},
        {"offset.bmp", kMsgBadOffset},
        {"cut.bmp", kMsgPixelsCut},
        {"header.bmp", kMsgHeaderCut},
        {"picture.png", kMsgPngWrongSize},
        {"deep.png", kMsgPngDepth},
        {"cut.png", kMsgPngDamaged},
        {"header.png", kMsgPngDamaged},
        {"crc.png", kMsgPngDamaged},
    };
    Load("solid.bmp");
    const auto raster = Raster();
    const auto preview = Preview();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        d.host.boxes.clear();
        d.host.EnableItem(IDC_NAND_FLASH, true);
        d.host.EnableItem(IDC_PANEL_DATA, true);
        const int redraws = d.host.previewRedraws;
        Load(c.file);
        const bool png = std::string(c.file).ends_with(".png");
        ASSERT_EQ(Messages(), std::vector<std::string>{png && !PngSupported() ? kMsgPngUnsupported : c.message});
        EXPECT_EQ(d.host.boxes[0].caption, IHost::AppTitle());  // the default caption
        EXPECT_FALSE(Enabled(IDC_NAND_FLASH));
        EXPECT_FALSE(Enabled(IDC_PANEL_DATA));
        EXPECT_TRUE(Raster() == raster);
        EXPECT_EQ(Preview(), preview);
        EXPECT_EQ(d.host.previewRedraws, redraws + 1);
    }
}

TEST_F(ImportTest, FilesRejectedBeforeTheHeaderDisableUploadsAndCancelKeepsThem) {
    Load("panel.bmp");  // 1181 off, 1144 on
    const auto preview = Preview();
    d.dlg.OnLoadImage();  // cancelled: no answer queued
    EXPECT_TRUE(Enabled(IDC_PANEL_DATA));
    // Whatever the chosen file's fault, the earlier image can no longer be
    // uploaded by mistake; the images themselves stay as they were.
    for (const char* rejected : {"picture.gif", "empty.bmp", "missing.bmp"}) {
        SCOPED_TRACE(rejected);
        Load("panel.bmp");
        ASSERT_TRUE(Enabled(IDC_PANEL_DATA));
        Load(rejected);
        EXPECT_FALSE(Enabled(IDC_NAND_FLASH));
        EXPECT_FALSE(Enabled(IDC_PANEL_DATA));
        EXPECT_EQ(Preview(), preview);
    }
    // The file and the reason follow "Open file failed!" on a line of their own.
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "It is not BMP file!");
    EXPECT_EQ(messages[1], "Open file failed!\n\"" + (dir / "empty.bmp").string() + "\" is empty.");
    EXPECT_EQ(messages[2].rfind("Open file failed!\n\"" + (dir / "missing.bmp").string() + "\" cannot be opened: ", 0), 0u)
        << messages[2];
    EXPECT_EQ(d.host.previewRedraws, 8);  // drawn after every outcome
}

#ifndef _WIN32
// What is no regular file, or far larger than any 1920x1080 BMP, is refused
// before a byte of it is read: /dev/zero would fill the memory, a FIFO
// without a writer would wait for good.
TEST_F(ImportTest, DevicesFifosAndHugeFilesAreRefusedBeforeTheyAreRead) {
    const auto fifo = dir / "pattern.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto huge = dir / "huge.bmp";
    std::filesystem::copy_file(dir / "solid.bmp", huge);
    std::filesystem::resize_file(huge, 200u << 20);  // sparse: takes no room on the disk
    d.host.boxes.clear();
    for (const std::string& path : {std::string("/dev/zero"), fifo.string(), huge.string()}) {
        d.host.fileAnswers.push_back(path);
        d.dlg.OnLoadImage();
    }
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "Open file failed!\n\"/dev/zero\" is not a regular file (it is a character device).",
                              "Open file failed!\n\"" + fifo.string() + "\" is not a regular file (it is a FIFO).",
                              "Open file failed!\n\"" + huge.string() +
                                  "\" is 209,715,200 bytes, more than a pattern BMP can be (9,342,976 bytes: "
                                  "1920x1080 pixels and its headers)."}));
    EXPECT_FALSE(Enabled(IDC_NAND_FLASH));
    std::filesystem::remove(fifo);
    std::filesystem::remove(huge);
}
#endif

// ---- the preview filter on its own -------------------------------------------

struct PreviewFilter : ::testing::Test {
    std::vector<std::uint8_t> raster = std::vector<std::uint8_t>(kRasterBytes, 0);
    std::uint8_t preview[kPreviewBytes] = {};
    void Set(int row, int col, std::uint8_t v) { raster[(row * 1920 + col) * 3 + 1] = v; }
    int Green(int i, int j) {
        MakePreview(raster.data(), preview);
        return preview[(i * 240 + j) * 3 + 1];
    }
};

// Which raster pixels move preview pixel (i, j), and by how much alone.
std::map<std::pair<int, int>, int> Influence(PreviewFilter& f, int i, int j, int rows0, int cols0) {
    std::map<std::pair<int, int>, int> seen;
    for (int r = rows0; r < rows0 + 10; ++r)
        for (int c = cols0; c < cols0 + 10; ++c) {
            if (r >= 1080 || c >= 1920) continue;
            f.Set(r, c, 255);
            const int v = f.Green(i, j);
            f.Set(r, c, 0);
            if (v) seen[{r, c}] = v;
        }
    return seen;
}

TEST_F(PreviewFilter, TopLeftAndBottomRightCells) {
    // One sample of 255 alone: 10/22 -> 116, 2/22 -> 23, 1/22 -> 12.
    const std::map<std::pair<int, int>, int> topLeft = {
        {{3, 4}, 116}, {{3, 6}, 12}, {{3, 5}, 23}, {{3, 2}, 12}, {{3, 3}, 23},
        {{1, 4}, 12},  {{2, 4}, 23}, {{5, 4}, 12}, {{4, 4}, 23}};
    EXPECT_EQ(Influence(*this, 0, 0, 0, 0), topLeft);
    std::map<std::pair<int, int>, int> bottomRight;
    for (const auto& [pos, v] : topLeft) bottomRight[{pos.first + 1073, pos.second + 1912}] = v;
    EXPECT_EQ(Influence(*this, 159, 239, 1071, 1910), bottomRight);
}

TEST_F(PreviewFilter, HalvesRoundUpAndNothingWrapsAround) {
    Set(3, 4, 1);
    EXPECT_EQ(Green(0, 0), 0);  // 10/22
    Set(3, 6, 1);
    EXPECT_EQ(Green(0, 0), 1);  // 11/22
    for (int c = 0; c < 16; ++c)
        for (int r = 0; r < 8; ++r) Set(r, c, 255);
    Set(3, 4, 0);  // 12 x 255 / 22 = 139.1
    EXPECT_EQ(Green(0, 0), 139);
    Set(3, 4, 128);  // (12 x 255 + 10 x 128) / 22 = 197.3
    EXPECT_EQ(Green(0, 0), 197);
}

} // namespace
} // namespace quillet
