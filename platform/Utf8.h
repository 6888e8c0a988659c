// Text inside the program is UTF-8, file names included. On Windows the
// system takes names as wide characters: these helpers convert at that edge
// (the narrow C and filesystem calls would read the names in the local code
// page). On POSIX they pass the bytes through.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace quillet {

std::filesystem::path PathFromUtf8(const std::string& utf8);
std::string Utf8FromPath(const std::filesystem::path& path);
// fopen with a UTF-8 name.
std::FILE* OpenFileUtf8(const std::string& utf8, const char* mode);

#ifdef _WIN32
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
#endif

} // namespace quillet
