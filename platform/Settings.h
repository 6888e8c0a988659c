// Choices the operator made, kept from one run to the next for this user:
// strings by key. The Qt dialog keeps them with QSettings, the Windows
// dialog under HKEY_CURRENT_USER; the tests use MemorySettings. A dialog
// remembers only when its front end hands it a store (the command line
// never does).
#pragma once

#include <map>
#include <optional>
#include <string>

namespace quillet {

class ISettings {
public:
    virtual ~ISettings() = default;
    // The value stored under `key`, or nothing when none is.
    virtual std::optional<std::string> Read(const std::string& key) const = 0;
    virtual void Write(const std::string& key, const std::string& value) = 0;
};

// Kept in memory for the life of the object.
class MemorySettings : public ISettings {
public:
    std::optional<std::string> Read(const std::string& key) const override {
        const auto it = values.find(key);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    void Write(const std::string& key, const std::string& value) override { values[key] = value; }

    std::map<std::string, std::string> values;
};

} // namespace quillet
