#include "pattern/FileBytes.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/Resources.h"
#include "platform/Host.h"

namespace quillet {

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    // The length first, so a large image is read in one piece; then on
    // until the end in case the file grew or its length was not known.
    // Only a regular file has a length to trust: a directory opens here too
    // and its end position can be huge.
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec) && std::fseek(f, 0, SEEK_END) == 0) {
        const long length = std::ftell(f);
        std::fseek(f, 0, SEEK_SET);
        if (length > 0) {
            bytes.resize(static_cast<std::size_t>(length));
            bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
        }
    }
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, f);
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(f);
    return true;
}

std::optional<std::vector<std::uint8_t>> ChooseBinFile(IHost& host, const std::function<void()>& chosen) {
    host.SetCurrentDirectory(kCurrentDir);
    const std::optional<std::string> path = host.OpenFileDialog(kBinFileFilter, kCurrentDir);
    if (!path) return std::nullopt;
    if (chosen) chosen();
    std::vector<std::uint8_t> bytes;
    if (!ReadFileBytes(*path, bytes)) {
        host.MessageBox("Open file failed!", "");
        return std::nullopt;
    }
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

} // namespace quillet
