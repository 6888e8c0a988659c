// CLoaderDlg: the device search on the screen. The eight search buttons
// start the search of their device kind (engine/SearchFlow), which tries
// COM1..COM99 paced by timer 4; the first port whose reply repeats the
// device address stays open.
#include <array>
#include <utility>

#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"
#include "protocol/Frame.h"

namespace quillet {

namespace {

// The dialog's eight search buttons and the kind (group address) each one
// searches for.
constexpr std::array<std::pair<int, std::uint8_t>, 8> kSearchButtons = {{
    {IDC_SEARCH_GENERATOR, kGroupGenerator},
    {IDC_SEARCH_ANALYZER, kGroupAnalyzer},
    {IDC_SEARCH_MV42, 0x02},
    {IDC_SEARCH_MV48, 0x03},
    {IDC_SEARCH_DA28, 0x04},
    {IDC_SEARCH_KX4, 0x05},
    {IDC_SEARCH_MV99, 0x06},
    {IDC_SEARCH_MX88, 0x07},
}};

} // namespace

const DeviceKind* DeviceKindOfButton(int controlId) {
    for (const auto& [button, group] : kSearchButtons)
        if (button == controlId) return &DeviceKindOfGroup(group);
    return nullptr;
}

namespace {

constexpr const char* kPleaseWait = "Please wait.....";

} // namespace

void CLoaderDlg::StartDeviceSearch(std::uint8_t group) {
    // The search closes the port: an upload under way is asked about first.
    if (!ConfirmInterruption()) return;
    RememberKind(group);
    // A new search ends a firmware exchange left waiting for its peer.
    m_engine.EndExchanges();

    ShowPortClosed();
    if (!m_engine.StartSearch(group)) return;
    m_strSearchStatus = kPleaseWait;
    UpdateData(false);
}

void CLoaderDlg::SearchTicked(SearchFlow::Tick tick) {
    switch (tick) {
    case SearchFlow::Tick::Idle:
    case SearchFlow::Tick::Probing:
    case SearchFlow::Tick::NotFound: return;  // the engine tells it (SearchNotFound)
    case SearchFlow::Tick::Found: break;
    }
    ShowPortOpen();
    m_host.SetComboSel(IDC_COM_LIST, static_cast<int>(Link().Com()) - 1);
    m_strSearchStatus = " ";
    UpdateData(false);
}

// The scan has ended without a device, and the operator is told.
void CLoaderDlg::SearchNotFound() {
    m_strSearchStatus = " ";
    UpdateData(false);
    m_host.MessageBox(SearchFlow::NotFoundText(), kCaptionIsp);
    // A port refused for lack of permission may be the instrument's: the
    // group hint follows once, and so does a path that is no serial port.
    const std::string hints = m_engine.Search().Hints();
    if (!hints.empty()) m_host.MessageBox(hints, "");
}

} // namespace quillet
