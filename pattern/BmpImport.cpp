// BMP and PNG checks and the three conversions of "Load Image".
#include "pattern/BmpImport.h"

#include <cstring>
#include <vector>

#if QUILLET_HAVE_PNG
#include <png.h>
#endif

namespace quillet {

namespace {

constexpr std::size_t kRasterStride = kRasterWidth * 3u;    // 5,760
constexpr std::size_t kPreviewStride = kPreviewWidth * 3u;  // 720

// Header fields, little-endian, offsets from the start of the file.
constexpr std::size_t kOffPixelOffset = 10;
constexpr std::size_t kOffWidth = 18;
constexpr std::size_t kOffHeight = 22;
constexpr std::size_t kOffBitCount = 28;
constexpr std::size_t kOffCompression = 30;
constexpr std::size_t kHeaderNeeded = kOffCompression + 4;  // 34 bytes

// PNG: the signature, then the IHDR chunk (length, type, 13 bytes of data).
constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t kPngSignatureSize = sizeof kPngSignature;
constexpr std::size_t kPngOffChunkType = kPngSignatureSize + 4;
constexpr std::size_t kPngOffWidth = kPngOffChunkType + 4;
constexpr std::size_t kPngOffHeight = kPngOffWidth + 4;
constexpr std::size_t kPngOffBitDepth = kPngOffHeight + 4;
constexpr std::size_t kPngOffColourType = kPngOffBitDepth + 1;
constexpr std::size_t kPngHeaderNeeded = kPngOffColourType + 1;
constexpr int kPngMaxBitDepth = 8;
constexpr std::size_t kRgbaBytesPerPixel = 4;

std::uint32_t ReadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

#if QUILLET_HAVE_PNG
// PNG numbers are big-endian.
std::uint32_t ReadU32Be(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}
#endif

bool IsPng(const std::uint8_t* data, std::size_t size) {
    return size >= kPngSignatureSize && std::memcmp(data, kPngSignature, kPngSignatureSize) == 0;
}

BmpOutcome Reject(BmpOutcome out, BmpVerdict verdict, const char* message) {
    out.verdict = verdict;
    out.message = message;
    // A rejected file leaves no upload button enabled: whatever the images
    // hold now is not what the operator just chose.
    out.nandButton = ButtonChange::Disable;
    out.panelButton = ButtonChange::Disable;
    return out;
}

} // namespace

// Rows of blue, green, red (bottom-up unless `topDown`) become top-down rows
// of red, green, blue.
static void FlipToRgb(const std::uint8_t* pixels, std::uint8_t* out, int height, std::size_t stride,
                      bool topDown) {
    for (int r = 0; r < height; ++r) {
        const int from = topDown ? r : height - 1 - r;
        const std::uint8_t* src = pixels + static_cast<std::size_t>(from) * stride;
        std::uint8_t* dst = out + static_cast<std::size_t>(r) * stride;
        for (std::size_t c = 0; c < stride; c += 3) {
            dst[c] = src[c + 2];
            dst[c + 1] = src[c + 1];
            dst[c + 2] = src[c];
        }
    }
}

void ConvertRaster(const std::uint8_t* pixels, std::uint8_t* raster, bool topDown) {
    FlipToRgb(pixels, raster, kRasterHeight, kRasterStride, topDown);
}

// Each preview pixel is a weighted mean of nine raster pixels in a cross
// around (r + 3, x + 4), r = trunc(6.75 i), x = 8 j. The weights 0.5, 0.1
// and 0.05 are kept in twentieths (10, 2, 1; 22 in all) so the mean is exact:
// it is rounded to the nearest integer, halves upwards, and a uniform area
// keeps its value.
void MakePreview(const std::uint8_t* raster, std::uint8_t* preview) {
    for (int i = 0; i < kPreviewHeight; ++i) {
        const int r = i * 27 / 4;  // trunc(i x 6.75)
        const std::uint8_t* row1 = raster + static_cast<std::size_t>(r + 1) * kRasterStride;
        const std::uint8_t* row2 = row1 + kRasterStride;
        const std::uint8_t* row3 = row2 + kRasterStride;
        const std::uint8_t* row4 = row3 + kRasterStride;
        const std::uint8_t* row5 = row4 + kRasterStride;
        std::uint8_t* out = preview + static_cast<std::size_t>(i) * kPreviewStride;
        for (int j = 0; j < kPreviewWidth; ++j) {
            const std::size_t x = static_cast<std::size_t>(8 * j);
            for (std::size_t k = 0; k < 3; ++k) {
                const unsigned sum = 10u * row3[(x + 4) * 3 + k] +
                                     1u * row3[(x + 6) * 3 + k] + 2u * row3[(x + 5) * 3 + k] +
                                     1u * row3[(x + 2) * 3 + k] + 2u * row3[(x + 3) * 3 + k] +
                                     1u * row1[(x + 4) * 3 + k] + 2u * row2[(x + 4) * 3 + k] +
                                     1u * row5[(x + 4) * 3 + k] + 2u * row4[(x + 4) * 3 + k];
                const unsigned v = (sum + 11u) / 22u;
                out[static_cast<std::size_t>(j) * 3 + k] = static_cast<std::uint8_t>(v > 255u ? 255u : v);
            }
        }
    }
}

void MakePanel(const std::uint8_t* preview, std::uint8_t* panel) {
    for (std::size_t p = 0; p < static_cast<std::size_t>(kPreviewWidth) * kPreviewHeight; ++p) {
        const std::uint8_t red = preview[3 * p];
        const std::uint8_t green = preview[3 * p + 1];
        const std::uint8_t blue = preview[3 * p + 2];
        panel[2 * p] = static_cast<std::uint8_t>((red & 0xF8) | (green >> 5));
        panel[2 * p + 1] = static_cast<std::uint8_t>(((green & 0x1C) << 3) | (blue >> 3));
    }
}

void ConvertPanelFile(const std::uint8_t* pixels, std::uint8_t* preview, std::uint8_t* panel,
                      bool topDown) {
    FlipToRgb(pixels, preview, kPreviewHeight, kPreviewStride, topDown);
    MakePanel(preview, panel);
}

namespace {

// The verdict and buttons of an accepted 1920x1080 or 240x160 image.
BmpOutcome Accept(BmpOutcome out, bool pattern) {
    out.verdict = pattern ? BmpVerdict::Pattern : BmpVerdict::Panel;
    out.nandButton = pattern ? ButtonChange::Enable : ButtonChange::Disable;
    out.panelButton = ButtonChange::Enable;
    return out;
}

#if QUILLET_HAVE_PNG
// Top-down RGBA pixels of an accepted PNG -> the images, alpha left out.
void ConvertRgba(const std::vector<std::uint8_t>& rgba, bool pattern, PatternImages& images) {
    const std::size_t pixels = rgba.size() / kRgbaBytesPerPixel;
    std::uint8_t* rgb = images.preview;
    if (pattern) {
        if (images.raster.size() != kRasterBytes) images.raster.assign(kRasterBytes, 0);
        rgb = images.raster.data();
    }
    for (std::size_t p = 0; p < pixels; ++p)
        std::memcpy(rgb + 3 * p, rgba.data() + kRgbaBytesPerPixel * p, 3);
    if (pattern) MakePreview(images.raster.data(), images.preview);
    MakePanel(images.preview, images.panel);
}

// libpng's simplified reader: any PNG of up to 8 bits per channel as RGBA
// rows, top to bottom. False when libpng finds the file damaged.
bool ReadPngRgba(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& rgba,
                 bool& alpha) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size)) return false;
    alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format = PNG_FORMAT_RGBA;
    rgba.assign(PNG_IMAGE_SIZE(image), 0);
    // On failure libpng frees what it holds of the image.
    return png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr) != 0;
}
#endif

BmpOutcome DecodePng(const std::uint8_t* data, std::size_t size, PatternImages& images) {
    BmpOutcome out;
    out.format = ImageFormat::Png;
#if !QUILLET_HAVE_PNG
    (void)data;
    (void)size;
    (void)images;
    return Reject(out, BmpVerdict::PngUnsupported, kMsgPngUnsupported);
#else
    if (size < kPngHeaderNeeded || std::memcmp(data + kPngOffChunkType, "IHDR", 4) != 0)
        return Reject(out, BmpVerdict::PngDamaged, kMsgPngDamaged);
    const std::uint32_t width = ReadU32Be(data + kPngOffWidth);
    const std::uint32_t height = ReadU32Be(data + kPngOffHeight);
    out.width = static_cast<std::int32_t>(width);
    out.height = static_cast<std::int32_t>(height);
    const int depth = data[kPngOffBitDepth];
    const bool pattern = width == kRasterWidth && height == kRasterHeight;
    const bool panelOnly = width == kPreviewWidth && height == kPreviewHeight;
    if (!pattern && !panelOnly) return Reject(out, BmpVerdict::WrongSize, kMsgPngWrongSize);
    if (depth > kPngMaxBitDepth) return Reject(out, BmpVerdict::PngDepth, kMsgPngDepth);
    std::vector<std::uint8_t> rgba;
    bool alpha = false;
    if (!ReadPngRgba(data, size, rgba, alpha)) return Reject(out, BmpVerdict::PngDamaged, kMsgPngDamaged);
    out.bitCount = alpha ? 32 : 24;
    if (alpha) out.note = kNotePngAlpha;
    ConvertRgba(rgba, pattern, images);
    return Accept(out, pattern);
#endif
}

} // namespace

bool PngSupported() {
#if QUILLET_HAVE_PNG
    return true;
#else
    return false;
#endif
}

BmpOutcome DecodePatternBmp(const std::uint8_t* data, std::size_t size, PatternImages& images) {
    BmpOutcome out;
    if (size == 0 || data == nullptr) return out;  // nothing read: no message
    if (IsPng(data, size)) return DecodePng(data, size, images);

    if (size < 2 || data[0] != 'B' || data[1] != 'M') {
        out.verdict = BmpVerdict::NotBmp;
        out.message = kMsgNotBmp;
        return out;  // buttons and images unchanged
    }
    out.format = ImageFormat::Bmp;
    if (size < kHeaderNeeded) return Reject(out, BmpVerdict::HeaderCut, kMsgHeaderCut);

    out.pixelOffset = ReadU32(data + kOffPixelOffset);
    out.width = static_cast<std::int32_t>(ReadU32(data + kOffWidth));
    out.height = static_cast<std::int32_t>(ReadU32(data + kOffHeight));
    out.bitCount = static_cast<std::int8_t>(data[kOffBitCount]);
    out.compression = ReadU32(data + kOffCompression);
    // A negative height: the rows are stored top-down.
    out.topDown = out.height == -kRasterHeight || out.height == -kPreviewHeight;
    const std::int32_t rows = out.topDown ? -out.height : out.height;

    const bool pattern = out.width == kRasterWidth && rows == kRasterHeight;
    const bool panelOnly = out.width == kPreviewWidth && rows == kPreviewHeight;
    if (!pattern && !panelOnly) return Reject(out, BmpVerdict::WrongSize, kMsgWrongSize);
    if (out.bitCount != 24) return Reject(out, BmpVerdict::Not24Bit, kMsgNot24Bit);
    if (out.compression != 0) return Reject(out, BmpVerdict::Compressed, kMsgCompressed);
    if (out.pixelOffset >= size) return Reject(out, BmpVerdict::BadOffset, kMsgBadOffset);

    const std::size_t pixelBytes = pattern ? kRasterBytes : kPreviewBytes;
    if (size - out.pixelOffset < pixelBytes) return Reject(out, BmpVerdict::PixelsCut, kMsgPixelsCut);

    const std::uint8_t* pixels = data + out.pixelOffset;
    if (pattern) {
        if (images.raster.size() != kRasterBytes) images.raster.assign(kRasterBytes, 0);
        ConvertRaster(pixels, images.raster.data(), out.topDown);
        MakePreview(images.raster.data(), images.preview);
        MakePanel(images.preview, images.panel);
    } else {
        ConvertPanelFile(pixels, images.preview, images.panel, out.topDown);
    }
    return Accept(out, pattern);
}

} // namespace quillet
