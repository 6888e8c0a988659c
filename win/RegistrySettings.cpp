#include "win/RegistrySettings.h"

#include "platform/Utf8.h"
#include "platform/WindowsHeaders.h"

namespace quillet::win {

RegistrySettings::RegistrySettings(std::wstring subKey) : m_subKey(std::move(subKey)) {}

std::optional<std::string> RegistrySettings::Read(const std::string& key) const {
    const std::wstring name = WideFromUtf8(key);
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, m_subKey.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, m_subKey.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(),
                     &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    value.resize(wcsnlen(value.c_str(), value.size()));
    return Utf8FromWide(value);
}

void RegistrySettings::Write(const std::string& key, const std::string& value) {
    HKEY hkey = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hkey,
                        nullptr) != ERROR_SUCCESS)
        return;
    const std::wstring text = WideFromUtf8(value);
    RegSetValueExW(hkey, WideFromUtf8(key).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(hkey);
}

} // namespace quillet::win
