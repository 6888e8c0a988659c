// The few system calls the unit tests need, on POSIX and on Windows (where
// the unit tests run as .exe files under wine).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillet::test {

inline long ProcessId() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    ::setenv(name, value, 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");
#else
    ::unsetenv(name);
#endif
}

// Marks a file executable where the system has such a mark.
inline void MakeExecutable(const std::filesystem::path& p) {
#ifndef _WIN32
    ::chmod(p.c_str(), 0755);
#else
    (void)p;
#endif
}

// A new, empty folder in the temporary directory.
inline std::filesystem::path MakeScratchDir(const char* tag) {
    std::random_device seed;
    std::mt19937 rng(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto dir = std::filesystem::temp_directory_path() /
                         (std::string("quillet-") + tag + "-" + std::to_string(ProcessId()) + "-" +
                          std::to_string(rng() % 1000000));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) return dir;
    }
    return {};
}

} // namespace quillet::test
