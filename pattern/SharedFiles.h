// The operator's files as the flows use them: a file read whole, an image
// read and decoded. A run on several instruments shares one SharedFiles, so
// every instrument sends the same bytes from one copy in memory: each file
// is read (and an image decoded) once, and again only when it changes on
// disk (its size or modification time).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pattern/BmpImport.h"
#include "pattern/FileBytes.h"

namespace quillet {

using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// An image file after "Load Image"'s checks: the verdict and, when it was
// accepted, the preview and panel image; the 1920x1080 raster only for a
// user pattern (null otherwise).
struct DecodedImage {
    BmpOutcome outcome;
    SharedBytes raster;
    PatternImages images;  // preview and panel; its raster is left empty
};

// Reads `path` whole, as ReadFileBytes does; an empty file is refused too.
// Null when the file cannot be used, with `refusal` saying why.
SharedBytes ReadSharedFile(const std::string& path, const FileKind& kind, std::string& refusal);
// Reads and decodes the image at `path`; null, with `refusal`, when the file
// cannot be read (a file that is read but not accepted has its verdict).
std::shared_ptr<const DecodedImage> ReadImageFile(const std::string& path, std::string& refusal);

// Safe to use from several threads at once.
class SharedFiles {
public:
    SharedBytes File(const std::string& path, const FileKind& kind, std::string& refusal);
    std::shared_ptr<const DecodedImage> Image(const std::string& path, std::string& refusal);

private:
    // What identifies the file's contents on disk without reading it.
    struct Stamp {
        std::uintmax_t size = 0;
        std::int64_t changed = 0;
        bool operator==(const Stamp&) const = default;
    };
    template <typename T>
    struct Entry {
        Stamp stamp;
        std::shared_ptr<const T> value;
    };
    static bool StampOf(const std::string& path, Stamp& stamp);

    std::mutex m_lock;
    std::map<std::string, Entry<std::vector<std::uint8_t>>> m_files;
    std::map<std::string, Entry<DecodedImage>> m_images;
};

} // namespace quillet
