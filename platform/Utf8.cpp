#include "platform/Utf8.h"

#include "platform/WindowsHeaders.h"

namespace quillet {

#ifdef _WIN32

std::wstring WideFromUtf8(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                            nullptr);
    return utf8;
}

std::filesystem::path PathFromUtf8(const std::string& utf8) { return std::filesystem::path(WideFromUtf8(utf8)); }

std::string Utf8FromPath(const std::filesystem::path& path) { return Utf8FromWide(path.wstring()); }

std::FILE* OpenFileUtf8(const std::string& utf8, const char* mode) {
    return _wfopen(WideFromUtf8(utf8).c_str(), WideFromUtf8(mode).c_str());
}

#else

std::filesystem::path PathFromUtf8(const std::string& utf8) { return std::filesystem::path(utf8); }

std::string Utf8FromPath(const std::filesystem::path& path) { return path.string(); }

std::FILE* OpenFileUtf8(const std::string& utf8, const char* mode) { return std::fopen(utf8.c_str(), mode); }

#endif

} // namespace quillet
