// CLoaderDlg: the device search. The eight search buttons try COM1..COM99
// with the search frame of their device kind (engine/SearchFlow); timer 4
// paces the scan and the first port whose reply repeats the device address
// stays open.
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

// Opens the first port from `first` on that opens, and sends it the search
// frame. False when no port up to COM99 opens. Ports that do not open cost
// no waiting.
bool CLoaderDlg::SearchFromPort(unsigned first) {
    for (m_link.Com() = first; m_link.Com() <= SearchFlow::kLastPort; ++m_link.Com()) {
        if (!OpenPortWithSettings(m_link.Com(), m_link.Line().parity)) {
            m_searchFlow.NoteRefusal(m_link.Port().LastOpenRefusal(), m_link.Port().OpenProblem());
            continue;
        }
        m_searchFlow.Probe();
        return true;
    }
    return false;
}

void CLoaderDlg::StartDeviceSearch(std::uint8_t group) {
    // The search closes the port: an upload under way is asked about first.
    if (!ConfirmInterruption()) return;
    RememberKind(group);
    // A new search ends a firmware exchange left waiting for its peer.
    EndStalledExchanges();

    m_link.Device().group = group;
    m_link.Device().machine = 0x00;
    ClosePortQuietly();
    m_searchFlow.Begin(m_link.Device(), m_link.Console(), m_link.Com());

    // Only the signal generator's search goes back to no parity; the others
    // keep what the main-MCU bootloader may have set.
    if (group == kGroupGenerator) m_link.Line().parity = 'N';

    if (SearchFromPort(1)) {
        m_strSearchStatus = kPleaseWait;
        UpdateData(false);
        m_host.SetTimer(TIMER_SCAN, SearchFlow::kFirstPortWaitMs);
        return;
    }

    // Not one port opened: the port number starts again at COM1. A scan
    // this search interrupted ends here too, so its ticks do not carry on
    // from the old port and show the failure a second time.
    EndSearchNotFound(1, 0);
}

void CLoaderDlg::MatchSearchReply(std::uint8_t b) {
    // Every byte after a reply's header moves the next tick to 200 ms later.
    if (m_searchFlow.OnByte(b, m_link.ReceiveState(), m_link.Device()))
        m_host.SetTimer(TIMER_SCAN, SearchFlow::kAfterReplyByteMs);
}

void CLoaderDlg::ScanNextPort() {
    // Other flows arm timer 4 too; their ticks do nothing here.
    if (!m_searchFlow.Running()) return;

    if (m_searchFlow.Found()) {
        ShowPortOpen();
        m_host.SetComboSel(IDC_COM_LIST, static_cast<int>(m_link.Com()) - 1);
        m_strSearchStatus = " ";
        m_searchFlow.End();
        UpdateData(false);
        m_host.KillTimer(TIMER_SCAN);
        Report(FlowEvent::SearchFound, m_link.Com());
        ReportFlowDone(FlowKind::Search, std::string("found the ") + DeviceKindOfGroup(m_link.Device().group).description +
                                             " on " + PortName(m_link.Com()));
        return;
    }

    // No reply on this port: on to the next one that opens.
    m_link.Port().RequestClose();
    if (SearchFromPort(m_link.Com() + 1)) {
        m_host.SetTimer(TIMER_SCAN, SearchFlow::kLaterPortWaitMs);
        return;
    }

    // Ports opened, none answered: back to the port of before the search.
    EndSearchNotFound(m_searchFlow.SavedPort(), 1);
}

// The scan ends without a device: the port number goes to `port`, and the
// operator is told. `portsOpened` says whether any port opened.
void CLoaderDlg::EndSearchNotFound(unsigned port, int portsOpened) {
    if (m_searchFlow.Running()) {
        m_searchFlow.End();
        m_host.KillTimer(TIMER_SCAN);
    }
    m_link.Com() = port;
    m_strSearchStatus = " ";
    UpdateData(false);
    m_host.MessageBox(SearchFlow::NotFoundText(), kCaptionIsp);
    // A port refused for lack of permission may be the instrument's: the
    // group hint follows once, and so does a path that is no serial port.
    const std::string hints = m_searchFlow.Hints();
    if (!hints.empty()) m_host.MessageBox(hints, "");
    Report(FlowEvent::SearchFailed, portsOpened);
    // The boxes above are the operator's; the outcome goes to the front end.
    ReportOutcome(OutcomeKind::Failed, FlowKind::Search, SearchFlow::NotFoundText(), hints, true);
}

} // namespace quillet
