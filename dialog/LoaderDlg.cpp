// CLoaderDlg: construction, initialisation, paint and close, the message
// map, dialog data exchange, port control and the timer dispatch.
#include "dialog/LoaderDlg.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "engine/FlowTimings.h"
#include "discovery/DeviceKinds.h"
#include "protocol/Frame.h"
#include "serial/SerialLink.h"

namespace quillet {

namespace {

// The dialog's timer of each of the engine's timers, in FlowTimer's order.
constexpr Engine::TimerIds kEngineTimers = {TIMER_BOOT_SYNC,    TIMER_BOOT_SEND, TIMER_BOOT_TIMEOUT,
                                            TIMER_BOOT_SILENCE, TIMER_SCAN,      TIMER_ERASE,
                                            TIMER_FLOW_WATCH,   TIMER_CLOSE};

} // namespace

CLoaderDlg::CLoaderDlg(IHost& host, ISerialPort* port)
    : m_engine(host, port, port ? nullptr : std::make_unique<CSerialLink>(host), kEngineTimers, *this),
      m_host(host) {
    Link().SetOwner(*this);
    m_host.SetTimerCallback([this](unsigned id) { OnTimer(id); });
}

CLoaderDlg::CLoaderDlg(IHost& host, PortMap map)
    : m_engine(host, nullptr, std::make_unique<CSerialLink>(host, std::move(map)), kEngineTimers, *this),
      m_host(host) {
    Link().SetOwner(*this);
    m_host.SetTimerCallback([this](unsigned id) { OnTimer(id); });
}

// Destroying the dialog ends the monitor thread and closes the port (the
// embedded link's destructor does that).
CLoaderDlg::~CLoaderDlg() { m_host.SetTimerCallback(nullptr); }

bool CLoaderDlg::OnInitDialog() {
    // Base initialisation: the host has created the controls from the
    // template; the member values go to them.
    UpdateData(false);

    m_strNote = "Note: Only for user \r\n define pattern\r\n uploading !";
    Link().Console().group = 0;
    Link().Console().machine = 0;
    m_engine.StreamData().buffer.assign(10, 0);
    // The raster stays unallocated until an accepted 1920x1080 import or a
    // pattern upload needs it (the upload sends it black until then).

    // The about item of the system menu and the window icons belong to the
    // host (it knows whether the platform has a system menu).

    Link().SetReady(false);
    Link().Line() = kInstrumentLine;
    Link().Com() = 1;

    m_host.SetPortIcon(IDI_PORT_CLOSED);
    m_host.SetComboSel(IDC_COM_LIST, static_cast<int>(Link().Com()) - 1);
    m_strSearchStatus = " ";

    Link().ReceiveState() = kRxIdle;
    m_engine.Board().Reset();
    m_engine.Bootloader().Reset();
    m_engine.EraseWait().Reset();

    RestoreChoices();
    UpdateData(false);
    return true;
}

void CLoaderDlg::OnSysCommand(unsigned id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) m_host.ShowAbout();
    // Every other system command goes to the host's default processing.
}

void CLoaderDlg::OnPaint(bool minimised) {
    // Minimised, the host draws the application icon centred in the client
    // area; otherwise the preview is drawn on every paint.
    if (!minimised) DrawPreview();
}

void CLoaderDlg::OnClose() {
    if (!ConfirmInterruption(true)) return;
    m_engine.StreamData().buffer.clear();
    m_engine.StreamData().buffer.shrink_to_fit();
    m_engine.StreamData().shared.reset();
    m_raster.reset();
    m_host.EndDialog();
}

void CLoaderDlg::OnCommand(int controlId) {
    // While the instrument is written, a control that would end or replace
    // the flow asks first; No leaves everything as it is.
    const bool portWasOpen = Link().Ready();
    if (!ConfirmControl(controlId)) return;
    // "Close Port" answered Yes: the stop has closed the port, as asked.
    if (controlId == IDC_PORT_BUTTON && portWasOpen && !Link().Ready()) return;
    // The eight search buttons share one handler body, with their kind.
    if (const DeviceKind* kind = DeviceKindOfButton(controlId)) {
        StartDeviceSearch(kind->group);
        return;
    }
    switch (controlId) {
    case IDC_PORT_BUTTON: OnPortButton(); break;
    case IDC_COM_LIST: OnPortListSelect(); break;
    case IDC_GENERATOR_MCU: OnGeneratorMcu(); break;
    case IDC_SUB_MCU: OnSubMcu(); break;
    case IDC_IN1: OnInputBoardFirmware(1); break;
    case IDC_IN2: OnInputBoardFirmware(2); break;
    case IDC_IN3: OnInputBoardFirmware(3); break;
    case IDC_IN4: OnInputBoardFirmware(4); break;
    case IDC_ANALYZER_MCU: OnAnalyzerMcu(); break;
    case IDC_ANALYZER_DATA: OnAnalyzerDataFlash(); break;
    case IDC_GENERATOR_FPGA: OnGeneratorFpga(); break;
    case IDC_AUX_FPGA: OnAuxFpga(); break;
    case IDC_ANALYZER_FPGA: OnAnalyzerFpga(); break;
    case IDC_LOAD_IMAGE: OnLoadImage(); break;
    case IDC_NAND_FLASH: OnNandFlash(); break;
    case IDC_PANEL_DATA: OnPanelDataFlash(); break;
    case IDC_MCU_LIST: break;  // selecting an MCU does nothing by itself
    default: break;
    }
}

namespace {

// Decimal as "%d" reads it, with nothing but blanks after the number.
bool ParseInt(const std::string& text, int& out) {
    const char* s = text.c_str();
    while (*s == ' ' || *s == '\t') ++s;
    if (*s == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace

std::string FormatProgress(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", 6, static_cast<double>(value));
    return text;
}

bool CLoaderDlg::UpdateData(bool saveAndValidate) {
    if (!saveAndValidate) {
        m_host.SetItemText(IDC_SEARCH_STATUS, m_strSearchStatus);
        m_host.SetItemText(IDC_PROGRESS, FormatProgress(m_fProgress));
        m_host.SetItemText(IDC_KEYBOARD_CHAIN, std::to_string(m_nKeyboardChain));
        m_host.SetItemText(IDC_STATUS, m_strStatus);
        m_host.SetItemText(IDC_NOTE, m_strNote);
        m_host.SetItemText(IDC_PATTERN_NO, std::to_string(m_nPatternNo));
        RefreshStrip();
        return true;
    }
    int chain = 0;
    int pattern = 0;
    if (!ParseInt(m_host.GetItemText(IDC_KEYBOARD_CHAIN), chain) ||
        !ParseInt(m_host.GetItemText(IDC_PATTERN_NO), pattern)) {
        m_host.MessageBox("Please enter an integer.", "");
        return false;
    }
    m_nKeyboardChain = chain;
    m_nPatternNo = pattern;
    return true;
}

// ---- checks the start handlers share ----------------------------------------

bool CLoaderDlg::CheckPortOpen(const char* caption) {
    if (Link().Ready()) return true;
    m_host.MessageBox("Please turn on the COM port first!", caption);
    return false;
}

bool CLoaderDlg::CheckDeviceKind(std::uint8_t group) {
    if (Link().Device().group == group) return true;
    m_host.MessageBox(group == kGroupAnalyzer ? "Please confirm the device is Signal Analyzer!"
                                              : "Please confirm the device is Signal Generator!",
                      kCaptionIspBlank);
    return false;
}

void CLoaderDlg::ShowNote(const char* note) {
    m_strNote = note;
    UpdateData(false);
}

// ---- port control --------------------------------------------------------

void CLoaderDlg::ShowPortOpen() {
    m_host.SetPortIcon(IDI_PORT_OPEN);
    Link().SetReady(true);
    m_host.SetItemText(IDC_PORT_BUTTON, kClosePort);
}

void CLoaderDlg::ShowPortClosed() {
    Link().SetReady(false);
    m_host.SetItemText(IDC_PORT_BUTTON, kTurnOnPort);
    m_host.SetPortIcon(IDI_PORT_CLOSED);
}

// After the port's own failure box, a second one tells a Linux operator how
// to mend a permission problem (group membership) instead of leaving a bare
// failure.
void CLoaderDlg::ShowOpenProblem() {
    const std::string problem = Link().Port().OpenProblem();
    if (!problem.empty()) m_host.MessageBox(problem, "");
}

// The one way a port is opened: COM `port` with the serial settings at
// `parity`, and its monitor thread when it opens.
bool CLoaderDlg::OpenPortWithSettings(unsigned port, char parity) {
    return Link().Open(port, parity);
}

// The display goes to closed and the monitor thread closes the device.
void CLoaderDlg::ClosePortNow() {
    Link().Close();
    PortClosed();
}

void CLoaderDlg::OnPortButton() {
    if (Link().Ready()) {
        // The operator closing the port also ends a firmware exchange that
        // stalled, so later bytes reach the frame parser again.
        m_engine.EndExchanges();
        ClosePortNow();
        return;
    }
    Link().Line().parity = 'N';
    if (OpenPortWithSettings(Link().Com(), 'N')) {
        ShowPortOpen();
        RememberPort();
    } else {
        Link().SetReady(false);
        m_host.MessageBox("Can not find this port or used by other application", "");
        ShowOpenProblem();
        ShowPortClosed();
    }
}

void CLoaderDlg::OnPortListSelect() {
    SelectPort(static_cast<unsigned>(m_host.GetComboSel(IDC_COM_LIST) + 1));
}

bool CLoaderDlg::SelectPort(unsigned com) {
    if (Link().Port().IsOpen()) Link().Port().RequestClose();
    Link().Com() = com;
    if (OpenPortWithSettings(Link().Com(), Link().Line().parity)) {
        ShowPortOpen();
        RememberPort();
        return true;
    }
    m_host.SetPortIcon(IDI_PORT_CLOSED);
    m_host.MessageBox("Can not find this port or used by other application", "");
    ShowOpenProblem();
    Link().SetReady(false);
    m_host.SetItemText(IDC_PORT_BUTTON, kTurnOnPort);
    return false;
}

void CLoaderDlg::OnTimer(unsigned id) {
    m_engine.OnTimer(id);
}

long CLoaderDlg::OnWriteDone(std::uintptr_t, std::intptr_t) {
    m_engine.OnWriteDone();
    return 0;
}

// The percentage moves with each chunk; the engine tells the load's end.
void CLoaderDlg::BoardStepped(InputBoardFlow::Step step) {
    if (step != InputBoardFlow::Step::Chunk) return;
    m_fProgress = m_engine.Board().Percent();
    UpdateData(false);
}

void CLoaderDlg::PortClosed() {
    ShowPortClosed();
    m_engine.Tell(FlowEvent::PortClosed, Link().Com());
}

long CLoaderDlg::OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    switch (msg) {
    case WM_SERIAL_RXCHAR: return OnSerialRxChar(wParam, lParam);
    case WM_SERIAL_WRITE_DONE: return OnWriteDone(wParam, lParam);
    case WM_SERIAL_LOST: OnSerialLost(static_cast<unsigned>(lParam)); return 0;
    default: return 0;  // break, CTS, error, ring and RXFLAG have no effect
    }
}

std::string CLoaderDlg::DataFile(const char* name) const {
    if (m_dataFolder.empty()) {
#ifdef _WIN32
        return std::string(".\\data\\") + name;
#else
        return std::string("./data/") + name;
#endif
    }
    const char last = m_dataFolder.back();
    return m_dataFolder + (last == '/' || last == '\\' ? "" : "/") + name;
}

} // namespace quillet
