// What the dialog remembers for the operator (SetSettings) and what it
// shows beyond template 102: the loaded file's name, the progress strip,
// and a file dropped on the dialog.
#include <cstdlib>

#include "dialog/LoaderDlg.h"

namespace quillet {

namespace {

// The keys under which the choices are kept.
constexpr const char* kKeyPort = "port";
constexpr const char* kKeySlot = "slot";
constexpr const char* kKeyFolder = "folder";
constexpr const char* kKeyKind = "kind";
constexpr unsigned kFirstCom = 1, kLastCom = 99;
constexpr unsigned kFirstSlot = 1, kLastSlot = 4;

// A stored number in [low, high]; nothing for anything else.
std::optional<unsigned> ReadNumber(const ISettings& settings, const char* key, unsigned low, unsigned high) {
    const auto text = settings.Read(key);
    if (!text || text->empty()) return std::nullopt;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text->c_str(), &end, 10);
    if (*end != '\0' || v < low || v > high) return std::nullopt;
    return static_cast<unsigned>(v);
}

// Where the last separator of a path is (either kind), npos for none.
std::size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

} // namespace

void CLoaderDlg::RestoreChoices() {
    if (!m_settings) return;
    if (const auto port = ReadNumber(*m_settings, kKeyPort, kFirstCom, kLastCom)) {
        Link().Com() = *port;
        m_host.SetComboSel(IDC_COM_LIST, static_cast<int>(Link().Com()) - 1);
    }
    if (const auto slot = ReadNumber(*m_settings, kKeySlot, kFirstSlot, kLastSlot))
        m_nPatternNo = static_cast<int>(*slot);
    if (const auto folder = m_settings->Read(kKeyFolder); folder && !folder->empty()) m_imageFolder = *folder;
    if (const auto kind = m_settings->Read(kKeyKind)) {
        if (const DeviceKind* k = FindDeviceKind(*kind)) {
            m_rememberedGroup = k->group;
            m_kindRemembered = true;
        }
    }
}

void CLoaderDlg::Remember(const char* key, const std::string& value) {
    if (m_settings) m_settings->Write(key, value);
}

void CLoaderDlg::RememberPort() { Remember(kKeyPort, std::to_string(Link().Com())); }
void CLoaderDlg::RememberSlot() { Remember(kKeySlot, std::to_string(m_nPatternNo)); }
void CLoaderDlg::RememberKind(std::uint8_t group) { Remember(kKeyKind, DeviceKindOfGroup(group).name); }

int CLoaderDlg::RememberedSearchButton() const {
    if (!m_kindRemembered) return 0;
    for (int id = IDC_SEARCH_GENERATOR; id <= IDC_SEARCH_KX4; ++id) {
        const DeviceKind* kind = DeviceKindOfButton(id);
        if (kind && kind->group == m_rememberedGroup) return id;
    }
    return 0;
}

void CLoaderDlg::ShowLoadedFile(const std::string& path, bool shown) {
    const std::size_t sep = LastSeparator(path);
    m_loadedFileName = shown ? path.substr(sep == std::string::npos ? 0 : sep + 1) : std::string();
    m_host.SetItemText(IDC_LOADED_FILE, m_loadedFileName);
    if (!shown || !m_settings || sep == std::string::npos) return;
    // The next "Load Image" opens where this file was.
    m_imageFolder = path.substr(0, sep + 1);
    Remember(kKeyFolder, m_imageFolder);
}

bool CLoaderDlg::DropImageFile(const std::string& path) {
    if (!ConfirmControl(IDC_LOAD_IMAGE)) return false;
    return LoadImageFile(path);
}

void CLoaderDlg::RefreshStrip() const {
    if (m_strip.Update(CurrentFlow(), m_host.ClockMs())) m_host.SetItemText(IDC_PROGRESS_STRIP, m_strip.Text());
}

} // namespace quillet
