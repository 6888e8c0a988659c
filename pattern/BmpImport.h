// "Load Image" as a pure function: the bytes of a BMP file in, the verdict
// out (which message the operator sees, what happens to the two upload
// buttons) and, when the file is accepted, the converted images.
//
// Accepted files are uncompressed, 24 bits per pixel, bottom-up, either
// 1920x1080 (the user pattern: raster, preview and panel image) or 240x160
// (the panel image alone: preview and panel image, the raster untouched).
// Nothing is read outside the bytes given, and the images are written only
// when the whole file has been accepted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/Images.h"

namespace quillet {

enum class BmpVerdict {
    Empty,          // nothing was read: no message, nothing changes
    NotBmp,         // no 'B' 'M' signature
    HeaderCut,      // the file ends inside the header
    WrongSize,      // neither 1920x1080 nor 240x160 (a top-down file included)
    Not24Bit,       // right size, another bit count
    Compressed,     // right size and bit count, but not stored uncompressed
    BadOffset,      // the pixel array offset points outside the file
    PixelsCut,      // the pixel array ends before its last row
    Pattern,        // 1920x1080 accepted: raster, preview and panel image written
    Panel,          // 240x160 accepted: preview and panel image written
};

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

// What a button does after an import.
enum class ButtonChange { Keep, Enable, Disable };

struct BmpOutcome {
    BmpVerdict verdict = BmpVerdict::Empty;
    const char* message = nullptr;  // nullptr: no message box
    ButtonChange nandButton = ButtonChange::Keep;   // 1181 "SG NAND FLASH"
    ButtonChange panelButton = ButtonChange::Keep;  // 1144 panel data
    // Header fields as read (0 when the file ends before them).
    std::uint32_t pixelOffset = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bitCount = 0;  // low byte of the bit-count field, signed
    std::uint32_t compression = 0;
};

// Checks the file and, when it is accepted, converts it into `images`
// (whose raster is made 1920x1080 if it is not). `data` may be null when
// `size` is 0.
BmpOutcome DecodePatternBmp(const std::uint8_t* data, std::size_t size, PatternImages& images);

// The conversion steps, for the decoder and for measuring.
// Bottom-up BGR rows of a 1920x1080 file -> top-down RGB raster.
void ConvertRaster(const std::uint8_t* pixels, std::uint8_t* raster);
// 1920x1080 raster -> 240x160 preview (the nine-sample cross filter).
void MakePreview(const std::uint8_t* raster, std::uint8_t* preview);
// 240x160 preview -> RGB565 panel image, high byte first.
void MakePanel(const std::uint8_t* preview, std::uint8_t* panel);
// Bottom-up BGR rows of a 240x160 file -> preview and panel image.
void ConvertPanelFile(const std::uint8_t* pixels, std::uint8_t* preview, std::uint8_t* panel);

} // namespace quillet
