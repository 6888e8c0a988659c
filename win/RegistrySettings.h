// The operator's choices kept in the registry, per user:
// HKEY_CURRENT_USER\Software\Quillet\Dialog, one string value per key.
#pragma once

#include <string>

#include "platform/Settings.h"

namespace quillet::win {

class RegistrySettings : public ISettings {
public:
    // `subKey` under HKEY_CURRENT_USER.
    explicit RegistrySettings(std::wstring subKey = L"Software\\Quillet\\Dialog");

    std::optional<std::string> Read(const std::string& key) const override;
    void Write(const std::string& key, const std::string& value) override;

private:
    std::wstring m_subKey;
};

} // namespace quillet::win
