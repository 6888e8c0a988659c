#include "pattern/FileBytes.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/Resources.h"
#include "platform/Host.h"
#include "platform/Utf8.h"

namespace quillet {

namespace {

// The last component of a path, whichever separator the operator used.
std::string LastComponent(const std::string& path) {
    const std::size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return i == a.size() && !b[i];
}

} // namespace

bool IsReservedDeviceName(const std::string& path) {
    // The device is reached whatever follows the first dot, and blanks
    // before it do not count.
    std::string base = LastComponent(path);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (const char* name : {"CON", "PRN", "AUX", "NUL"})
        if (EqualsIgnoringCase(base, name)) return true;
    if (base.size() == 4 && base[3] >= '1' && base[3] <= '9') {
        const std::string stem = base.substr(0, 3);
        if (EqualsIgnoringCase(stem, "COM") || EqualsIgnoringCase(stem, "LPT")) return true;
    }
    return false;
}

std::string InputFileRefusal(const std::string& path) {
#ifdef _WIN32
    if (IsReservedDeviceName(path))
        return "\"" + LastComponent(path) + "\" is the name of a Windows device, not of a file.";
#endif
    std::error_code ec;
    if (std::filesystem::is_directory(PathFromUtf8(path), ec)) return "\"" + path + "\" is a folder, not a file.";
    return {};
}

std::string WithRefusal(const std::string& text, const std::string& refusal) {
    return refusal.empty() ? text : text + "\n" + refusal;
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string* refusal) {
    bytes.clear();
    if (refusal) refusal->clear();
    const std::string why = InputFileRefusal(path);
    if (!why.empty()) {
        if (refusal) *refusal = why;
        return false;
    }
    std::FILE* f = OpenFileUtf8(path, "rb");
    if (!f) return false;
    // The length first, so a large image is read in one piece; then on
    // until the end in case the file grew or its length was not known.
    std::error_code ec;
    if (std::filesystem::is_regular_file(PathFromUtf8(path), ec) && std::fseek(f, 0, SEEK_END) == 0) {
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
    std::string refusal;
    if (!ReadFileBytes(*path, bytes, &refusal)) {
        host.MessageBox(WithRefusal("Open file failed!", refusal), "");
        return std::nullopt;
    }
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

} // namespace quillet
