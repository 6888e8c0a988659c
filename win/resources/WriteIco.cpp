// Writes the application icon (icon 128 of the program's icon art) as a
// Windows .ico file holding one 32-bit image per size given:
//   quillet_write_ico FILE.ico SIZE...
// Built for the build machine and run while cross-building, so the icon in
// the programs' resources is drawn from the same shapes as the dialogs'.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "dialog/IconArt.h"
#include "dialog/Resources.h"

namespace {

constexpr int kMinSize = 16;
constexpr int kMaxSize = 256;            // the largest an .ico entry can say
constexpr std::uint32_t kDibHeaderBytes = 40;
constexpr std::uint32_t kDirHeaderBytes = 6;
constexpr std::uint32_t kDirEntryBytes = 16;

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// One image as an .ico holds it: a DIB header of twice the height, the
// colour rows bottom-up (BGRA), then the 1-bit mask rows (1 = transparent),
// each mask row padded to 32 bits.
std::vector<std::uint8_t> IconImage(int size) {
    const std::vector<std::uint32_t> pixels = quillet::RenderIcon(quillet::IDR_MAINFRAME, size);
    const std::uint32_t maskRow = static_cast<std::uint32_t>((size + 31) / 32 * 4);
    const std::uint32_t colourBytes = static_cast<std::uint32_t>(size * size * 4);
    std::vector<std::uint8_t> out;
    Put32(out, kDibHeaderBytes);
    Put32(out, static_cast<std::uint32_t>(size));
    Put32(out, static_cast<std::uint32_t>(2 * size));
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, 0);   // BI_RGB
    Put32(out, colourBytes + maskRow * static_cast<std::uint32_t>(size));
    for (int i = 0; i < 4; ++i) Put32(out, 0);  // resolution, palette
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) Put32(out, pixels[static_cast<std::size_t>(y * size + x)]);
    for (int y = size - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(maskRow, 0);
        for (int x = 0; x < size; ++x)
            if ((pixels[static_cast<std::size_t>(y * size + x)] >> 24) == 0)
                row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: quillet_write_ico FILE.ico SIZE...\n", stderr);
        return 2;
    }
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < kMinSize || size > kMaxSize) {
            std::fprintf(stderr, "quillet_write_ico: bad size %s (%d to %d)\n", argv[i], kMinSize, kMaxSize);
            return 2;
        }
        sizes.push_back(size);
    }
    std::vector<std::vector<std::uint8_t>> images;
    for (int size : sizes) images.push_back(IconImage(size));

    std::vector<std::uint8_t> file;
    Put16(file, 0);  // reserved
    Put16(file, 1);  // an icon
    Put16(file, static_cast<unsigned>(sizes.size()));
    std::uint32_t offset = kDirHeaderBytes + kDirEntryBytes * static_cast<std::uint32_t>(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const auto side = static_cast<std::uint8_t>(sizes[i] == kMaxSize ? 0 : sizes[i]);  // 0 means 256
        file.push_back(side);
        file.push_back(side);
        file.push_back(0);  // no palette
        file.push_back(0);
        Put16(file, 1);
        Put16(file, 32);
        Put32(file, static_cast<std::uint32_t>(images[i].size()));
        Put32(file, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());

    std::ofstream out(argv[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!out) {
        std::fprintf(stderr, "quillet_write_ico: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
