// CLoaderDlg: the device search. The eight search buttons try COM1..COM99
// with the search frame of their device kind; timer 4 paces the scan and
// the first port whose reply repeats the device address stays open.
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

constexpr unsigned kLastPort = 99;
constexpr unsigned kFirstPortWaitMs = 300;
constexpr unsigned kLaterPortWaitMs = 400;
constexpr unsigned kAfterReplyByteMs = 200;

constexpr const char* kNoDevice =
    "Can not find available device for this console(from com1 to com99)\r Or COM port is used by "
    "other application!";
constexpr const char* kPleaseWait = "Please wait.....";

} // namespace

// Opens the first port from `first` on that opens, and sends it the search
// frame. False when no port up to COM99 opens. Ports that do not open cost
// no waiting.
bool CLoaderDlg::SearchFromPort(unsigned first) {
    for (m_nPort = first; m_nPort <= kLastPort; ++m_nPort) {
        if (!OpenPortWithSettings(m_nPort, m_cParity)) {
            NoteScanRefusal();
            continue;
        }
        m_port->QueueWrite(m_search.frame, sizeof m_search.frame);
        m_search.inProgress = 1;
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

    m_devGroup = group;
    m_devMachine = 0x00;
    BuildRequestFrame(m_search.frame, {m_devGroup, m_devMachine}, {m_conGroup, m_conMachine},
                      kCodeSearch, nullptr, 0);

    ClosePortQuietly();

    m_search.deviceFound = 0;
    m_search.savedPort = m_nPort;
    m_search.deniedProblem.clear();
    m_search.otherProblem.clear();

    // Only the signal generator's search goes back to no parity; the others
    // keep what the main-MCU bootloader may have set.
    if (group == kGroupGenerator) m_cParity = 'N';

    if (SearchFromPort(1)) {
        m_strSearchStatus = kPleaseWait;
        UpdateData(false);
        m_host.SetTimer(TIMER_SCAN, kFirstPortWaitMs);
        return;
    }

    // Not one port opened: the port number starts again at COM1. A scan
    // this search interrupted ends here too, so its ticks do not carry on
    // from the old port and show the failure a second time.
    EndSearchNotFound(1, 0);
}

void CLoaderDlg::MatchSearchReply(std::uint8_t b) {
    // Every byte after a reply's header moves the next tick to 200 ms later.
    if (m_nRxState != kRxIdle) m_host.SetTimer(TIMER_SCAN, kAfterReplyByteMs);
    if (b == kReplyHeader && m_nRxState == kRxIdle) {
        m_nRxState = 0;
        return;
    }
    // Expected: AB G M 07 00 x x 02 F8 G M c. A byte that breaks the match
    // returns to idle and is not looked at again as a header.
    int next = kRxIdle;
    switch (m_nRxState) {
    case 0: next = b == m_devGroup ? 1 : kRxIdle; break;
    case 1: next = b == m_devMachine ? 2 : kRxIdle; break;
    case 2: next = b == 0x07 ? 3 : kRxIdle; break;
    case 3: next = b == 0x00 ? 4 : kRxIdle; break;
    case 4: next = 5; break;  // console address, not examined
    case 5: next = 6; break;
    case 6: next = b == 0x02 ? 7 : kRxIdle; break;
    case 7: next = b == 0xF8 ? 8 : kRxIdle; break;
    case 8: next = b == m_devGroup ? 9 : kRxIdle; break;
    case 9:
        if (b == m_devMachine) m_search.deviceFound = 1;
        next = kRxIdle;
        break;
    default:  // idle, or a state the frame parser left behind
        next = kRxIdle;
        break;
    }
    m_nRxState = next;
}

void CLoaderDlg::ScanNextPort() {
    // Other flows arm timer 4 too; their ticks do nothing here.
    if (m_search.inProgress != 1) return;

    if (m_search.deviceFound == 1) {
        ShowPortOpen();
        m_host.SetComboSel(IDC_COM_LIST, static_cast<int>(m_nPort) - 1);
        m_strSearchStatus = " ";
        m_search.inProgress = 0;
        UpdateData(false);
        m_host.KillTimer(TIMER_SCAN);
        Report(FlowEvent::SearchFound, m_nPort);
        ReportFlowDone(FlowKind::Search, std::string("found the ") + DeviceKindOfGroup(m_devGroup).description +
                                             " on " + PortName(m_nPort));
        return;
    }

    // No reply on this port: on to the next one that opens.
    m_port->RequestClose();
    if (SearchFromPort(m_nPort + 1)) {
        m_host.SetTimer(TIMER_SCAN, kLaterPortWaitMs);
        return;
    }

    // Ports opened, none answered: back to the port of before the search.
    EndSearchNotFound(m_search.savedPort, 1);
}

// The scan ends without a device: the port number goes to `port`, and the
// operator is told. `portsOpened` says whether any port opened.
void CLoaderDlg::EndSearchNotFound(unsigned port, int portsOpened) {
    if (m_search.inProgress == 1) {
        m_search.inProgress = 0;
        m_host.KillTimer(TIMER_SCAN);
    }
    m_nPort = port;
    m_strSearchStatus = " ";
    UpdateData(false);
    m_host.MessageBox(kNoDevice, kCaptionIsp);
    // A port refused for lack of permission may be the instrument's: the
    // group hint follows once, and so does a path that is no serial port.
    std::string hints = m_search.deniedProblem;
    if (!m_search.otherProblem.empty()) hints += (hints.empty() ? "" : "\n") + m_search.otherProblem;
    if (!hints.empty()) m_host.MessageBox(hints, "");
    Report(FlowEvent::SearchFailed, portsOpened);
    // The boxes above are the operator's; the outcome goes to the front end.
    ReportOutcome(OutcomeKind::Failed, FlowKind::Search, kNoDevice, hints, true);
}

// Keeps what the operator should know of a port the scan could not open.
void CLoaderDlg::NoteScanRefusal() {
    const OpenRefusal why = m_port->LastOpenRefusal();
    std::string& slot = why == OpenRefusal::Denied ? m_search.deniedProblem : m_search.otherProblem;
    if (slot.empty() && (why == OpenRefusal::Denied || why == OpenRefusal::NotSerial ||
                         why == OpenRefusal::Unusable))
        slot = m_port->OpenProblem();
}

} // namespace quillet
