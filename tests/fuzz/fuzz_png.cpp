// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: "Load Image" decoding of PNG images. The first byte of
// the input chooses how the rest becomes a file:
//   0  as it is, behind the PNG signature (damaged headers and chunks);
//   1  a 240x160 IHDR of the colour type and bit depth of the next two
//      bytes, then the rest as IDAT chunks of their own sizes with right
//      CRCs (rows that are not valid compressed data);
//   2  the same IHDR, then the rest compressed with zlib in one IDAT chunk
//      (filters and row data of any value, images too short or too long).
// Every file is copied into a buffer of exactly its size so the address
// sanitizer sees any read past it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <zlib.h>

#include "pattern/BmpImport.h"

using namespace quillet;

namespace {

constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::size_t kMaxChunk = 4096;

PatternImages& Images() {
    static PatternImages* images = [] {
        auto* p = new PatternImages;
        p->raster.assign(kRasterBytes, 0);
        return p;
    }();
    return *images;
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Chunk(std::vector<std::uint8_t>& out, const char* type, const std::uint8_t* data, std::size_t n) {
    PutU32(out, static_cast<std::uint32_t>(n));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (n) out.insert(out.end(), data, data + n);
    PutU32(out, static_cast<std::uint32_t>(
                    crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

std::vector<std::uint8_t> Header(std::uint8_t colourType, std::uint8_t depth) {
    std::vector<std::uint8_t> file(std::begin(kSignature), std::end(kSignature));
    std::vector<std::uint8_t> ihdr;
    PutU32(ihdr, kPreviewWidth);
    PutU32(ihdr, kPreviewHeight);
    ihdr.insert(ihdr.end(), {depth, colourType, 0, 0, 0});
    Chunk(file, "IHDR", ihdr.data(), ihdr.size());
    return file;
}

std::vector<std::uint8_t> MakeFile(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t mode = size ? data[0] % 3 : 0;
    if (mode == 0 || size < 3) {
        std::vector<std::uint8_t> file(std::begin(kSignature), std::end(kSignature));
        if (size > 1) file.insert(file.end(), data + 1, data + size);
        return file;
    }
    std::vector<std::uint8_t> file = Header(data[1] % 8, data[2] % 17);
    const std::uint8_t* rest = data + 3;
    std::size_t left = size - 3;
    if (mode == 1) {
        while (left > 0) {
            const std::size_t n = std::min<std::size_t>(left, 1 + rest[0] % kMaxChunk);
            Chunk(file, "IDAT", rest, n);
            rest += n;
            left -= n;
        }
    } else {
        std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(left)));
        uLongf packedSize = static_cast<uLongf>(packed.size());
        if (compress2(packed.data(), &packedSize, rest, static_cast<uLong>(left), 1) != Z_OK) std::abort();
        Chunk(file, "IDAT", packed.data(), packedSize);
    }
    Chunk(file, "IEND", nullptr, 0);
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> file = MakeFile(data, size);
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[file.size()]);
    std::memcpy(copy.get(), file.data(), file.size());
    PatternImages& images = Images();
    const BmpOutcome out = DecodePatternBmp(copy.get(), file.size(), images);

    if (out.format != ImageFormat::Png) std::abort();
    const bool accepted = out.verdict == BmpVerdict::Pattern || out.verdict == BmpVerdict::Panel;
    // Accepted only at a size the instrument takes; refused with a message.
    if (accepted && !((out.width == kRasterWidth && out.height == kRasterHeight) ||
                      (out.width == kPreviewWidth && out.height == kPreviewHeight)))
        std::abort();
    if ((out.message == nullptr) != accepted) std::abort();
    if (accepted && !PngSupported()) std::abort();
    if (images.raster.size() != kRasterBytes) std::abort();
    return 0;
}
