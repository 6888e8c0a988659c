#include "pattern/FileBytes.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "protocol/Counts.h"
#include "pattern/BmpImport.h"
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

namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The file opened for reading without waiting (a FIFO with no writer would
// otherwise hold the open for good), and only when it is a regular file
// within the kind's size; null with the reason otherwise.
std::FILE* OpenRegularFile(const std::string& path, const FileKind& kind, std::uint64_t& size,
                           std::string& refusal) {
    refusal = InputFileRefusal(path);
    if (!refusal.empty()) return nullptr;
#ifdef _WIN32
    std::FILE* f = OpenFileUtf8(path, "rb");
    const int error = errno;
    struct _stat64 st {};
    if (f && _fstat64(_fileno(f), &st) != 0) {
        std::fclose(f);
        f = nullptr;
    }
    const bool regular = f && (st.st_mode & _S_IFMT) == _S_IFREG;
    const char* type = f && (st.st_mode & _S_IFMT) == _S_IFCHR ? "a device" : "no file";
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    struct stat st {};
    std::FILE* f = nullptr;
    if (fd >= 0 && ::fstat(fd, &st) == 0) f = ::fdopen(fd, "rb");
    if (fd >= 0 && !f) ::close(fd);
    const bool regular = f && S_ISREG(st.st_mode);
    const char* type = S_ISDIR(st.st_mode)    ? "a folder"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "no regular file";
#endif
    if (!f) {
        refusal = Quoted(path) + " cannot be opened: " + std::strerror(error) + ".";
        return nullptr;
    }
    if (!regular) {
        std::fclose(f);
        refusal = Quoted(path) + " is not a regular file (it is " + type + ").";
        return nullptr;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    if (size > kind.maxBytes) {
        std::fclose(f);
        refusal = Quoted(path) + " is " + WithThousands(size) + " bytes, more than " + kind.what + " can be (" +
                  WithThousands(kind.maxBytes) + " bytes: " + kind.why + ").";
        return nullptr;
    }
    return f;
}

} // namespace

std::string CheckInputFile(const std::string& path, const FileKind& kind) {
    std::uint64_t size = 0;
    std::string refusal;
    std::FILE* f = OpenRegularFile(path, kind, size, refusal);
    if (!f) return refusal;
    std::fclose(f);
    if (size == 0) return Quoted(path) + " is empty.";
    return {};
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes, std::string* refusal,
                   const FileKind& kind) {
    bytes.clear();
    std::string why;
    std::uint64_t size = 0;
    std::FILE* f = OpenRegularFile(path, kind, size, why);
    if (refusal) *refusal = why;
    if (!f) return false;
    // The length first, so an image is read in one piece; then on to the
    // end in case the file grew, but never past the kind's size.
    bytes.resize(static_cast<std::size_t>(size));
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, f);
        if (got == 0) break;
        if (bytes.size() + got > kind.maxBytes) {
            std::fclose(f);
            bytes.clear();
            if (refusal)
                *refusal = Quoted(path) + " grew beyond " + WithThousands(kind.maxBytes) + " bytes while it was read.";
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(f);
    return true;
}

} // namespace quillet
