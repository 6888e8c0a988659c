#include "pattern/SharedFiles.h"

#include <filesystem>
#include <system_error>

#include "platform/Utf8.h"

namespace quillet {

SharedBytes ReadSharedFile(const std::string& path, const FileKind& kind, std::string& refusal) {
    refusal = CheckInputFile(path, kind);
    auto bytes = std::make_shared<std::vector<std::uint8_t>>();
    if (refusal.empty() && ReadFileBytes(path, *bytes, &refusal, kind) && bytes->empty())
        refusal = "\"" + path + "\" is empty.";
    if (!refusal.empty()) return nullptr;
    return bytes;
}

std::shared_ptr<const DecodedImage> ReadImageFile(const std::string& path, std::string& refusal) {
    SharedBytes file = ReadSharedFile(path, kPatternBmpFile, refusal);
    if (!file) return nullptr;
    auto image = std::make_shared<DecodedImage>();
    image->outcome = DecodePatternBmp(file->data(), file->size(), image->images);
    file.reset();  // the file's bytes go before the raster is kept
    if (image->outcome.verdict == BmpVerdict::Pattern)
        image->raster = std::make_shared<const std::vector<std::uint8_t>>(std::move(image->images.raster));
    image->images.raster = {};
    return image;
}

bool SharedFiles::StampOf(const std::string& path, Stamp& stamp) {
    std::error_code ec;
    const auto p = PathFromUtf8(path);
    stamp.size = std::filesystem::file_size(p, ec);
    if (ec) return false;
    const auto changed = std::filesystem::last_write_time(p, ec);
    if (ec) return false;
    stamp.changed = static_cast<std::int64_t>(changed.time_since_epoch().count());
    return true;
}

// A file that cannot be used is not kept: it is looked at again next time
// (and its refusal told again).
SharedBytes SharedFiles::File(const std::string& path, const FileKind& kind, std::string& refusal) {
    const std::lock_guard<std::mutex> hold(m_lock);
    Stamp stamp;
    const bool stamped = StampOf(path, stamp);
    auto& entry = m_files[std::string(kind.what) + '\n' + path];
    if (stamped && entry.value && entry.stamp == stamp) return entry.value;
    SharedBytes bytes = ReadSharedFile(path, kind, refusal);
    entry = {stamp, stamped ? bytes : nullptr};
    return bytes;
}

std::shared_ptr<const DecodedImage> SharedFiles::Image(const std::string& path, std::string& refusal) {
    const std::lock_guard<std::mutex> hold(m_lock);
    Stamp stamp;
    const bool stamped = StampOf(path, stamp);
    auto& entry = m_images[path];
    if (stamped && entry.value && entry.stamp == stamp) return entry.value;
    auto image = ReadImageFile(path, refusal);
    entry = {stamp, stamped ? image : nullptr};
    return image;
}

} // namespace quillet
