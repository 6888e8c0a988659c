// "Load Image" as a pure function: the bytes of an image file in, the
// verdict out (which message the operator sees, what happens to the two
// upload buttons) and, when the file is accepted, the converted images.
//
// Accepted BMP files are uncompressed, 24 bits per pixel, bottom-up or
// top-down (a negative height); accepted PNG images have up to 8 bits per
// channel (RGB, RGBA, grey, grey with alpha or a palette), their alpha
// ignored. Either is 1920x1080 (the user pattern: raster, preview and
// panel image) or 240x160 (the panel image alone: preview and panel image,
// the raster untouched). The same pixels give the same images whichever
// form they came in. Nothing is read outside the bytes given, and the
// images are written only when the whole file has been accepted.
//
// PNG images are read with libpng where the program was built with it
// (QUILLET_HAVE_PNG); otherwise a PNG is refused with a message that says so.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/Images.h"

namespace quillet {

enum class BmpVerdict {
    Empty,          // nothing was read: no message, nothing changes
    NotBmp,         // no 'B' 'M' signature
    HeaderCut,      // the file ends inside the header
    WrongSize,      // neither 1920x1080 nor 240x160
    Not24Bit,       // right size, another bit count
    Compressed,     // right size and bit count, but not stored uncompressed
    BadOffset,      // the pixel array offset points outside the file
    PixelsCut,      // the pixel array ends before its last row
    PngUnsupported, // a PNG, and this build reads none
    PngDepth,       // a PNG of 16 bits per channel
    PngDamaged,     // a PNG whose header or image data cannot be read
    Pattern,        // 1920x1080 accepted: raster, preview and panel image written
    Panel,          // 240x160 accepted: preview and panel image written
};

// What the file turned out to be.
enum class ImageFormat { Unknown, Bmp, Png };

// True when this build reads PNG images.
bool PngSupported();

// Texts shown to the operator (default caption).
inline constexpr const char* kMsgOpenFailed = "Open file failed!";
inline constexpr const char* kMsgNotBmp = "It is not BMP file!";
inline constexpr const char* kMsgNot24Bit = "It is not 24bit true color BMP file!";
inline constexpr const char* kMsgWrongSize = "It should be 1920x1080 image size bitmap file!";
inline constexpr const char* kMsgHeaderCut = "The BMP file is damaged: it ends inside its header!";
inline constexpr const char* kMsgCompressed =
    "It is a compressed BMP file! Only uncompressed bitmaps can be loaded.";
inline constexpr const char* kMsgBadOffset =
    "The BMP file is damaged: its pixel data lies outside the file!";
inline constexpr const char* kMsgPixelsCut = "The BMP file is damaged: its pixel data ends early!";
inline constexpr const char* kMsgPngWrongSize =
    "The PNG image should be 1920x1080 (or 240x160 for the panel image alone)!";
inline constexpr const char* kMsgPngDepth =
    "It is a PNG image of 16 bits per channel! Save it with 8 bits per channel.";
inline constexpr const char* kMsgPngDamaged = "The PNG file is damaged: its image cannot be read!";
inline constexpr const char* kMsgPngUnsupported =
    "This build cannot read PNG images (it was built without libpng)! Save the image as a "
    "24-bit BMP file.";
// Told beside an accepted image, not as a failure.
inline constexpr const char* kNotePngAlpha =
    "The PNG image has transparency: it is ignored, the colours are stored as they are.";

// What a button does after an import.
enum class ButtonChange { Keep, Enable, Disable };

struct BmpOutcome {
    BmpVerdict verdict = BmpVerdict::Empty;
    const char* message = nullptr;  // nullptr: no message box
    const char* note = nullptr;     // about an accepted image (kNotePngAlpha); nullptr: none
    ImageFormat format = ImageFormat::Unknown;
    ButtonChange nandButton = ButtonChange::Keep;   // 1181 "SG NAND FLASH"
    ButtonChange panelButton = ButtonChange::Keep;  // 1144 panel data
    // Header fields as read (0 when the file ends before them).
    std::uint32_t pixelOffset = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bitCount = 0;  // BMP: low byte of the bit-count field, signed; PNG: 24, or 32 with alpha
    std::uint32_t compression = 0;
    bool topDown = false;  // a BMP whose first row is the top one
};

// Checks the file (a BMP, or a PNG by its signature) and, when it is
// accepted, converts it into `images` (whose raster is made 1920x1080 if it
// is not). `data` may be null when `size` is 0.
BmpOutcome DecodePatternBmp(const std::uint8_t* data, std::size_t size, PatternImages& images);

// The conversion steps, for the decoder and for measuring.
// BGR rows of a 1920x1080 file (bottom-up, or top-down) -> top-down RGB raster.
void ConvertRaster(const std::uint8_t* pixels, std::uint8_t* raster, bool topDown = false);
// 1920x1080 raster -> 240x160 preview (the nine-sample cross filter).
void MakePreview(const std::uint8_t* raster, std::uint8_t* preview);
// 240x160 preview -> RGB565 panel image, high byte first.
void MakePanel(const std::uint8_t* preview, std::uint8_t* panel);
// BGR rows of a 240x160 file (bottom-up, or top-down) -> preview and panel image.
void ConvertPanelFile(const std::uint8_t* pixels, std::uint8_t* preview, std::uint8_t* panel,
                      bool topDown = false);

} // namespace quillet
