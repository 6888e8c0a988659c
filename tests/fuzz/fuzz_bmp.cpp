// libFuzzer target: "Load Image" decoding of any bytes. The input is copied
// into a buffer of exactly its size so the address sanitizer sees any read
// past the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pattern/BmpImport.h"

using namespace quillet;

namespace {

PatternImages& Images() {
    static PatternImages* images = [] {
        auto* p = new PatternImages;
        p->raster.assign(kRasterBytes, 0);
        return p;
    }();
    return *images;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> copy(size ? new std::uint8_t[size] : nullptr);
    if (size) std::memcpy(copy.get(), data, size);
    PatternImages& images = Images();
    const BmpOutcome out = DecodePatternBmp(copy.get(), size, images);

    // Accepted BMP files are exactly the ones whose pixel array fits (PNG
    // images have a target of their own, fuzz_png).
    const bool accepted = out.verdict == BmpVerdict::Pattern || out.verdict == BmpVerdict::Panel;
    if (accepted && out.format == ImageFormat::Bmp) {
        const std::size_t need = out.verdict == BmpVerdict::Pattern ? kRasterBytes : kPreviewBytes;
        if (out.pixelOffset >= size || size - out.pixelOffset < need || out.bitCount != 24 || out.compression != 0)
            std::abort();
    }
    if ((out.message == nullptr) != (accepted || out.verdict == BmpVerdict::Empty)) std::abort();
    if (images.raster.size() != kRasterBytes) std::abort();
    return 0;
}
