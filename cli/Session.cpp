#include "cli/Session.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "cli/Console.h"
#include "cli/Output.h"
#include "platform/Utf8.h"

#include "cli/Interrupt.h"
#include "serial/SerialLink.h"

namespace quillet::cli {

namespace {

// The scan has its own timing (at most 99 ports of 0.4 s); this limit only
// guards against one that never ends.
constexpr unsigned kSearchLimitMs = 120000;
// How long after --timeout the command line gives up on a flow whose own
// time-out (the dialog's, which says what was not answered) has not ended
// it: the dialog closes the port and tells the failure a little later.
constexpr unsigned kBackstopMs = 1500;

std::uint64_t FileSize(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(PathFromUtf8(path), ec);
    return ec ? 0 : static_cast<std::uint64_t>(n);
}

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    const auto p = std::filesystem::absolute(PathFromUtf8(path), ec);
    return ec ? path : Utf8FromPath(p);
}


// A lone carriage return in a box text would overwrite the line on a
// terminal; it is shown as a line break there.
std::string ForTerminal(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
            out += '\n';
        else if (text[i] != '\r')
            out += text[i];
    }
    return out;
}

// Control characters (of a file or device name) are shown escaped so they
// cannot act on the terminal; the line breaks stay.
std::string EscapeLines(const std::string& text) {
    std::string out;
    for (std::size_t from = 0;;) {
        const std::size_t nl = text.find('\n', from);
        out += EscapeControls(text.substr(from, nl == std::string::npos ? std::string::npos : nl - from));
        if (nl == std::string::npos) return out;
        out += '\n';
        from = nl + 1;
    }
}

} // namespace

AdviceTerms CliAdviceTerms(bool analyzer) {
    if (analyzer) return {"re-power the instrument and run quillet-cli mcu analyzer again"};
    return {"run quillet-cli mcu generator --direct to write it again"};
}

Session::Session(const SessionOptions& options)
    : m_options(options),
      m_port(std::make_unique<CSerialLink>(m_host, options.ports, options.makeDevice), options.ports),
      m_dlg(m_host, &m_port),
      m_traceOnStderr(options.verbosity > 0 && !options.traceOut),
      m_progress(stderr,
                 options.sink                             ? options.sink->Style()
                 : options.json                           ? ProgressStyle::Json
                 : IsTerminal(stderr) && !m_traceOnStderr ? ProgressStyle::Bar
                                                          : ProgressStyle::Lines,
                 [this] { return m_host.NowMs(); }) {
    if (SessionSink* sink = options.sink) {
        m_progress.writer = [sink](const std::string& text) { sink->ProgressText(text); };
        m_progress.onState = [sink](const ProgressState& s) { sink->ProgressChanged(s); };
        m_progress.jsonFields = sink->JsonFields();
    }
    m_dlg.ShareFiles(options.files);
    m_startMs = m_host.NowMs();
    m_host.onMessageBox = [this](const EventLoopHost::Box& box) { OnBox(box); };
    m_port.onReceived = [this](std::uint8_t) { m_lastRxMs = m_host.NowMs(); };
    if (options.verbosity > 0) {
        m_trace = std::make_unique<Trace>(options.traceOut ? options.traceOut : stderr,
                                          options.verbosity, [this] { return m_host.NowMs(); });
        m_port.SetTrace(m_trace.get());
        // The trace and the progress lines share stderr: each writes out
        // what the other holds first.
        if (m_traceOnStderr) {
            m_trace->beforeWrite = [this] { m_progress.Clear(); };
            m_progress.beforeOutput = [this] { m_trace->Flush(); };
        }
    }
    m_dlg.SetEventSink([this](const FlowEventInfo& e) { OnEvent(e); });
    m_dlg.SetDataFolder(options.dataFolder);
    // The flows' time-outs are --timeout; their outcomes are told here, not in boxes.
    m_dlg.SetFlowTimeout(options.timeoutMs);
    m_dlg.SetOutcomeBoxes(false);
    m_dlg.SetAdviceTerms(CliAdviceTerms);
    m_dlg.OnInitDialog();
}

Session::~Session() {
    m_progress.End();
    if (m_trace) {
        m_trace->Finish();
        m_trace->beforeWrite = nullptr;
    }
    m_dlg.SetEventSink(nullptr);
    m_port.SetTrace(nullptr);
}

void Session::Say(const std::string& text) {
    m_outcome.message = text.rfind("quillet-cli: ", 0) == 0 ? text.substr(13) : text;
    Note(text);
}

void Session::Note(const std::string& text) {
    if (m_trace) {
        // A trace in a file tells the command line's own failures too; one
        // on stderr goes out first.
        if (m_traceOnStderr) m_trace->Finish();
        else if (text.rfind("quillet-cli:", 0) == 0) m_trace->Note(text);
    }
    if (m_options.sink) {
        m_options.sink->Line(text, false);
        return;
    }
    m_progress.Clear();
    WriteOut(stderr, m_options.json ? MessageEventOfLine(text, false) : EscapeLines(text) + "\n");
}

void Session::OnBox(const EventLoopHost::Box& box) {
    m_outcome.message = box.caption + ": " + box.text;
    if (m_trace) {
        if (m_traceOnStderr) m_trace->Finish();
        else m_trace->Note(box.caption + ": " + box.text);
    }
    if (m_options.sink) {
        m_options.sink->Line(box.caption + ": " + box.text, false);
        return;
    }
    m_progress.Clear();
    if (m_options.json) {
        WriteOut(stderr, MessageEvent("box", box.caption + ": " + box.text));
        return;
    }
    const bool terminal = IsTerminal(stderr);
    const std::string text = terminal ? EscapeLines(ForTerminal(box.text)) : box.text;
    WriteOut(stderr, box.caption + ": " + text + "\n");
}

// The dialog's percentage as its flow moved it.
void Session::PollProgress() {
    const double p = m_dlg.Progress();
    if (p == m_percent) return;
    m_lastProgressMs = m_host.NowMs();
    m_percent = p;
    FollowStage();
    m_progress.Update(m_percent, m_unitsDone ? m_unitsDone() : 0);
}

// The stage of the flow under way, as the dialog tells it.
void Session::FollowStage() {
    const FlowSnapshot flow = m_dlg.CurrentFlow();
    if (!flow.stage.empty()) m_progress.SetStage(flow.stage);
}

void Session::OnEvent(const FlowEventInfo& e) {
    const std::uint64_t now = m_host.NowMs();
    if (m_trace) m_trace->Event(e);
    PollProgress();
    switch (e.event) {
    case FlowEvent::BlockSent:
        m_sent.push_back(SentBlock{e.a, static_cast<int>(e.b)});
        if (m_sent.size() == 1) {
            m_lastProgressMs = now;
            m_progress.DataStarted();
        }
        break;
    case FlowEvent::BlockAcked: {
        // Acknowledgements answer the blocks in the order they were sent
        // (resends included), one each.
        const std::size_t index = m_acks++;
        m_lastProgressMs = now;
        if (index < m_sent.size()) {
            if (e.a == 0) {
                ++m_goodAcks;
                if (m_sent[index].marker & kMarkerLast) m_lastBlockAcked = true;
            } else {
                ++m_resendRequests;
            }
        }
        m_progress.Update(m_percent, m_unitsDone ? m_unitsDone() : 0);
        break;
    }
    case FlowEvent::EraseWaitStarted:
        m_erasing = true;
        m_eraseStartMs = now;
        break;
    case FlowEvent::EraseWaitEnded:
        m_erasing = false;
        m_lastProgressMs = now;
        break;
    case FlowEvent::BootloaderStarted: m_bootStarted = true; break;
    case FlowEvent::BootloaderDone: m_bootStarted = false; break;
    case FlowEvent::InputBoardChunk:
        if (m_inputBytes == 0) m_progress.DataStarted();
        m_inputBytes += static_cast<std::uint64_t>(e.b);
        m_lastProgressMs = now;
        break;
    case FlowEvent::FlowEnded:
        m_ended = EndedFlow{static_cast<OutcomeKind>(e.a), e.text, e.advice, e.told};
        break;
    default: break;
    }
    FollowStage();
}

// The exit code of the flow's one outcome, once it came. One that did not
// end well is said with its advice, unless the dialog's boxes told both.
std::optional<int> Session::Ended() {
    if (!m_ended) return std::nullopt;
    if (m_ended->kind == OutcomeKind::Done) return kExitDone;
    m_progress.End();
    if (!m_ended->told)
        Say("quillet-cli: " + m_ended->message + (m_ended->advice.empty() ? "" : "; " + m_ended->advice));
    return m_ended->kind == OutcomeKind::TimedOut ? kExitTimeout : kExitFailed;
}

// A file the flow cannot use ends the command before anything, the search
// included, goes to an instrument. Only the file's metadata is looked at;
// the flow reads it where it always does.
std::optional<int> Session::RefuseFile(const std::string& path, const FileKind& kind) {
    const std::string refusal = CheckInputFile(path, kind);
    if (refusal.empty()) return std::nullopt;
    m_cause = ErrorCategory::File;
    Say("quillet-cli: " + refusal + " Nothing was sent.");
    return kExitFailed;
}

void Session::BeginFlow(const std::string& title, std::uint64_t total, const std::string& unit) {
    m_unitName = unit;
    m_progress.Begin(title, total, unit);
}

void Session::Tell(const std::string& text) {
    m_outcome.message = text;
    if (m_options.sink) {
        m_options.sink->Line(text, true);
        return;
    }
    m_progress.Clear();
    // With --json stdout is the final object's.
    WriteOut(m_options.json ? stderr : stdout, m_options.json ? MessageEventOfLine(text, true) : EscapeLines(text) + "\n");
}

std::string Session::Where() const {
    return "on COM" + std::to_string(m_outcome.com) + " (" + m_outcome.device + ")";
}

Outcome Session::Result(int exitCode) const {
    Outcome o = m_outcome;
    o.exitCode = exitCode;
    o.blocks = m_goodAcks;
    o.resends = m_resendRequests;
    o.unit = m_unitName;
    o.units = m_unitsDone ? m_unitsDone() : 0;
    o.bytesSent = m_port.BytesWritten();
    o.bytesReceived = m_port.BytesReceived();
    o.durationS = static_cast<double>(m_host.NowMs() - m_startMs) / 1000.0;
    o.dataS = static_cast<double>(m_progress.DataMs()) / 1000.0;
    o.rate = m_progress.DataRate();
    o.started = UtcTimeText(std::chrono::system_clock::now() - std::chrono::milliseconds(m_host.NowMs() - m_startMs));
    if (!o.device.empty()) o.usbSerial = DescribePort(o.device).serialNumber;
    // Why it failed: as said where it failed, the outcome of the flow, or
    // the instrument's refusal.
    ErrorCategory cause = m_cause.value_or(ErrorCategory::Refused);
    if (m_ended && m_ended->kind == OutcomeKind::DeviceGone) cause = ErrorCategory::DeviceGone;
    o.error = CategoryOfExit(exitCode, cause);
    return o;
}

std::string Session::Elapsed() const {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  static_cast<double>(m_host.NowMs() - m_pressMs) / 1000.0);
    return text;
}

int Session::Run(const std::function<std::optional<int>()>& verdict,
                 const std::function<std::optional<std::uint64_t>()>& idleSince,
                 unsigned timeoutMs, const std::function<std::string()>& stallText) {
    for (;;) {
        std::optional<int> v;
        m_host.RunUntil(
            [&] {
                PollProgress();
                v = verdict();
                return v.has_value() || StopRequested();
            },
            100);
        if (!v) v = verdict();
        if (v) return *v;
        // A signal, or the runner of several stopping every session.
        if (StopRequested()) return StopOnInterrupt(InterruptSignal() ? InterruptSignal() : SIGINT);
        const auto since = idleSince();
        if (since && m_host.NowMs() > *since + timeoutMs) {
            m_progress.End();
            Say(stallText());
            return kExitTimeout;
        }
        // Keeps the rate and the time left moving while nothing arrives.
        m_progress.Update(m_percent, m_unitsDone ? m_unitsDone() : 0);
    }
}

// The flow under way stops and the port is closed; the operator reads what
// was interrupted, how far it came, what the instrument now holds and what
// to do next.
int Session::StopOnInterrupt(int signal) {
    // A flow that ran ends with its stop's outcome (what it was, how far it
    // came, what to do next).
    m_ended.reset();
    m_dlg.StopRunningFlow();
    m_progress.End();
    std::string text = "quillet-cli: interrupted";
    if (signal != SIGINT) text += std::string(" by ") + InterruptName(signal);
    if (m_ended) {
        text += ": " + m_ended->message;
        if (!m_ended->advice.empty()) text += "; " + m_ended->advice;
    } else if (!m_sent.empty() && !m_lastBlockAcked) {
        text += ": the last block had gone out, its acknowledgement had not come; run the command again to be sure";
    }
    Say(text);
    return InterruptExitCode(signal);
}

bool Session::Start(const std::function<void()>& call) {
    m_pressMs = m_host.NowMs();
    m_ended.reset();
    call();
    // A call the dialog refused has told why in its box: what was to be
    // sent could not be used (the instrument was not asked).
    const bool started = m_ended.has_value() || m_dlg.CurrentFlow().Running();
    if (!started) m_cause = ErrorCategory::File;
    return started;
}

// ---- search ------------------------------------------------------------------

int Session::Search(const DeviceKind& kind, bool printFound) {
    m_outcome.kind = kind.name;
    m_progress.SetStage(kStageSearching);
    // A flow's progress display tells the stage; a search of its own says it.
    if (!printFound && !m_progress.Active()) Say(std::string("searching for the ") + kind.description + " ...");
    Start([&] { m_dlg.StartDeviceSearch(kind.group); });
    // The scan has its own timing (at most 99 ports of 0.4 s); the limit
    // here only guards against a scan that never ends.
    const int rc = Run(
        [&]() -> std::optional<int> {
            const auto ended = Ended();
            if (ended == kExitDone && !m_dlg.IsPortOpen()) return kExitFailed;
            return ended;
        },
        [&]() -> std::optional<std::uint64_t> { return m_pressMs; }, kSearchLimitMs,
        [] { return std::string("quillet-cli: the search did not end"); });
    if (rc != kExitDone) {
        m_cause = ErrorCategory::NoInstrument;
        // The dialog's box has told it, unless the port closed under a found instrument.
        if (rc == kExitFailed && (!m_ended || !m_ended->told))
            Say(std::string("quillet-cli: no ") + kind.description + " answered");
        if (m_options.sink) m_options.sink->SearchEnded(false);
        return rc;
    }
    const unsigned com = m_dlg.PortNumber();
    const std::string device = m_options.ports.DevicePath(com);
    m_outcome.com = com;
    m_outcome.device = device;
    if (m_options.sink) m_options.sink->SearchEnded(true);
    if (printFound) {
        Tell(std::string("Found the ") + kind.description + " on COM" + std::to_string(com) + "  " + device);
    } else {
        Say(std::string("found the ") + kind.description + " on COM" + std::to_string(com) +
            " (" + device + ")");
    }
    AdviseOnAdapter(device);
    return kExitDone;
}

// An MCU that already waits in its bootloader does not answer a search: the
// operator picks its port in the COM list instead.
int Session::OpenFirstPort() {
    const auto present = m_options.ports.Present();
    if (present.empty()) {
        m_cause = ErrorCategory::Port;
        Say("quillet-cli: no serial port present (see --ports)");
        return kExitFailed;
    }
    const unsigned com = present.front().first;
    // Without a search the port is taken to hold the MCU.
    if (m_options.sink) m_options.sink->SearchEnded(true);
    m_pressMs = m_host.NowMs();
    if (!m_dlg.SelectPort(com)) {
        m_cause = ErrorCategory::Port;
        return kExitFailed;
    }
    m_outcome.com = com;
    m_outcome.device = present.front().second;
    Say("opened COM" + std::to_string(com) + " (" + present.front().second + ")");
    AdviseOnAdapter(present.front().second);
    return kExitDone;
}

// Before a flow: what slows the uploads on this port (an FTDI latency
// timer left at its default on Windows), as `ports` tells it.
void Session::AdviseOnAdapter(const std::string& device) {
    const std::string advice = DescribePort(device).advice;
    if (!advice.empty()) Note(advice);
}

// ---- block streams ----------------------------------------------------------------

int Session::FollowBlockStream(const std::function<void()>& start, const std::string& what, bool eraseFirst) {
    m_unitsDone = [this] { return static_cast<std::uint64_t>(m_goodAcks); };
    m_progress.SetStage(eraseFirst ? "slot command" : kStageWriting);
    m_lastProgressMs = m_host.NowMs();
    // Refused (no port, no file): the dialog's box has said why.
    if (!Start(start)) return kExitFailed;

    const int rc = Run(
        [&]() -> std::optional<int> {
            // Done once the instrument has acknowledged the last block,
            // whatever the port does after it.
            if (const auto ended = Ended()) return ended;
            if (m_erasing) {
                // The instrument may say nothing while it erases: the wait
                // is the program's own pause (up to 51 s), shown with its
                // time so far.
                m_progress.SetStageDetail(std::to_string((m_host.NowMs() - m_eraseStartMs) / 1000) + " s");
            }
            return std::nullopt;
        },
        // The stream's time-outs are its own (FlowEnded).
        [&]() -> std::optional<std::uint64_t> { return std::nullopt; }, m_options.timeoutMs,
        [] { return std::string(); });
    m_progress.End();
    if (rc == kExitDone) {
        std::string text = what + " " + Where() + ": done, " + std::to_string(m_goodAcks) +
                           " blocks acknowledged";
        if (m_resendRequests)
            text += ", " + std::to_string(m_resendRequests) + " sent again on request";
        text += " (" + Elapsed() + ", " + Progress::FormatRate(m_progress.DataRate(), "blocks") + ")";
        Tell(text);
    }
    return rc;
}

int Session::StorePattern(int slot, const std::string& image) {
    const std::string what = "storing " + image + " in user-pattern slot " + std::to_string(slot);
    if (const auto refused = RefuseFile(image, kPatternBmpFile)) return *refused;
    BeginFlow(what, 24300, "blocks");
    int rc = Search(DeviceKindOfGroup(kGroupGenerator), false);
    if (rc != kExitDone) return rc;
    m_progress.SetStage("loading the image");
    // A file the dialog refused has had its box.
    m_cause = ErrorCategory::File;
    if (!m_dlg.LoadImageFile(AbsolutePath(image))) return kExitFailed;
    if (!m_dlg.PatternReady()) {
        Say("quillet-cli: " + image +
            " cannot be stored as a user pattern: it must be a 1920x1080 24-bit BMP");
        return kExitFailed;
    }
    m_cause.reset();
    return FollowBlockStream([&] { m_dlg.StorePattern(slot); }, what, true);
}

int Session::StorePanel(int slot, const std::string& image) {
    const std::string what =
        "storing the panel image of " + image + " in slot " + std::to_string(slot);
    if (const auto refused = RefuseFile(image, kPatternBmpFile)) return *refused;
    BeginFlow(what, 300, "blocks");
    int rc = Search(DeviceKindOfGroup(kGroupGenerator), false);
    if (rc != kExitDone) return rc;
    m_progress.SetStage("loading the image");
    m_cause = ErrorCategory::File;
    if (!m_dlg.LoadImageFile(AbsolutePath(image))) return kExitFailed;
    if (!m_dlg.PanelReady()) {
        Say("quillet-cli: " + image + " gives no panel image");
        return kExitFailed;
    }
    m_cause.reset();
    return FollowBlockStream([&] { m_dlg.StorePanel(slot); }, what, false);
}

int Session::WriteFpga(const std::string& which, const std::string& auxFile,
                       const DeviceKind& auxKind) {
    const bool aux = which == "aux";
    const DeviceKind& kind = aux ? auxKind : *FindDeviceKind(which);
    std::string file;
    std::function<void()> start;
    if (which == "generator" || which == "analyzer") {
        const bool analyzer = which == "analyzer";
        file = m_dlg.DataFile(analyzer ? kAnalyzerFpgaImage : kGeneratorFpgaImage);
        start = [this, analyzer] { m_dlg.WriteFpgaImage(analyzer); };
    } else {
        file = auxFile;
        start = [this, file] { m_dlg.WriteAuxFpga(AbsolutePath(file)); };
    }
    const std::string what = "writing " + file + " to the " + which + " FPGA flash";
    if (const auto refused = RefuseFile(file, kBlockImageFile)) return *refused;
    const std::uint64_t blocks = CeilDiv(FileSize(file), kBlockData);
    BeginFlow(what, blocks, "blocks");
    int rc = Search(kind, false);
    if (rc != kExitDone) return rc;
    return FollowBlockStream(start, what, false);
}

int Session::FlashAnalyzerData(const std::string& file) {
    const std::string what = "writing " + file + " to the analyzer's data flash";
    if (const auto refused = RefuseFile(file, kBlockImageFile)) return *refused;
    const std::uint64_t blocks = CeilDiv(FileSize(file), kBlockData);
    BeginFlow(what, blocks, "blocks");
    int rc = Search(DeviceKindOfGroup(kGroupAnalyzer), false);
    if (rc != kExitDone) return rc;
    return FollowBlockStream([&] { m_dlg.WriteAnalyzerData(AbsolutePath(file)); }, what, false);
}

// ---- firmware -------------------------------------------------------------------------

int Session::UpdateMcu(bool analyzer, bool direct, bool verify, bool fast) {
    McuUpdate update;
    update.analyzer = analyzer;
    update.direct = direct;
    // --verify: the exchange reads the flash back after the last piece.
    update.exchange.verifyAfterWrite = verify;
    update.exchange.pacedByAnswers = fast;
    update.exchange.stepTimeoutMs = m_options.timeoutMs;
    // A bootloader that sends nothing for --timeout ends the exchange, even
    // while timer 10 bridges its missing answers.
    update.exchange.silenceLimitMs = m_options.timeoutMs;
    const std::string file = m_dlg.DataFile(analyzer ? kAnalyzerMcuImage : kGeneratorMcuImage);
    if (const auto refused = RefuseFile(file, kMcuImageFile)) return *refused;
    const std::uint64_t pieces = CeilDiv(FileSize(file), kMcuPieceBytes);
    m_unitsDone = [this, pieces] {
        return static_cast<std::uint64_t>(std::llround(m_percent / 100.0 * static_cast<double>(pieces)));
    };
    BeginFlow("updating the main MCU from " + file, pieces, "pieces");
    int rc = direct ? OpenFirstPort()
                    : Search(DeviceKindOfGroup(analyzer ? kGroupAnalyzer : kGroupGenerator), false);
    if (rc != kExitDone) return rc;
    m_progress.SetStage(direct ? kStageSyncing : kStageBootMode);
    // Refused (no port, no parity): the dialog's box has said why.
    if (!Start([&] { m_dlg.UpdateMainMcu(update); }))
        return kExitFailed;
    rc = Run(
        [&]() -> std::optional<int> {
            // Done once the bootloader has acknowledged the last piece (and,
            // with --verify, the flash read back equal).
            return Ended();
        },
        [&]() -> std::optional<std::uint64_t> {
            return std::max({m_lastRxMs, m_lastProgressMs, m_pressMs});
        },
        // The flow's own limits (the boot-mode wait, the bootloader's silence,
        // each step paced by its answers) tell what was not acknowledged;
        // this one is only behind them.
        m_options.timeoutMs + kBackstopMs,
        [&] {
            if (!m_bootStarted)
                return "quillet-cli: " + BootEntryFlow::TimeoutText(FlowKind::McuEntry, m_options.timeoutMs);
            return "quillet-cli: time-out: the instrument has not answered for " + SecondsText(m_options.timeoutMs) +
                   " (bootloader exchange, " + std::to_string(static_cast<int>(m_percent)) + " % written)";
        });
    m_progress.End();
    if (rc == kExitDone)
        Tell("main MCU " + Where() + " updated from " + file + ": every piece acknowledged" +
             (verify ? " and the flash read back equal" : "") + " (" + Elapsed() + ")");
    return rc;
}

int Session::EnterSubMcu(int index, const DeviceKind& kind) {
    int rc = Search(kind, false);
    if (rc != kExitDone) return rc;
    const unsigned com = m_dlg.PortNumber();
    Say("restarting sub-MCU " + std::to_string(index) + " in boot mode ...");
    if (!Start([&] { m_dlg.EnterSubMcu(index); })) return kExitFailed;
    rc = Run(
        // Done once the outside tool has the port; a tool that could not be
        // started has said so in its box.
        [&]() -> std::optional<int> { return Ended(); },
        [&]() -> std::optional<std::uint64_t> { return std::max(m_lastRxMs, m_pressMs); },
        m_options.timeoutMs + kBackstopMs,  // behind the flow's own time-out
        [&] {
            return "quillet-cli: " + BootEntryFlow::TimeoutText(FlowKind::SubMcuEntry, m_options.timeoutMs);
        });
    if (rc == kExitDone)
        Tell("sub-MCU " + std::to_string(index) + " in boot mode: COM" + std::to_string(com) +
             " given up to the outside tool ./FlyMcu/FlyMcu.exe (" + m_outcome.device + ")");
    return rc;
}

int Session::UpdateInputBoard(int board, const std::string& file, const DeviceKind& kind) {
    if (const auto refused = RefuseFile(file, kBoardImageFile)) return *refused;
    const std::uint64_t size = FileSize(file);
    m_unitsDone = [this] { return m_inputBytes; };
    BeginFlow("updating input board " + std::to_string(board) + " from " + file, size, "bytes");
    int rc = Search(kind, false);
    if (rc != kExitDone) return rc;
    m_progress.SetStage(kStageBootMode);
    if (!Start([&] { m_dlg.UpdateInputBoard(board, AbsolutePath(file)); })) return kExitFailed;
    rc = Run(
        // Done once the board has taken the last chunk.
        [&]() -> std::optional<int> { return Ended(); },
        [&]() -> std::optional<std::uint64_t> {
            return std::max({m_lastRxMs, m_lastProgressMs, m_pressMs});
        },
        m_options.timeoutMs + kBackstopMs,  // behind the flow's own time-out
        [&] {
            return "quillet-cli: " + InputBoardFlow::TimeoutText(m_options.timeoutMs, m_inputBytes, size);
        });
    m_progress.End();
    if (rc == kExitDone)
        Tell("input board " + std::to_string(board) + " " + Where() + " updated from " + file + ": " +
             std::to_string(m_inputBytes) + " bytes sent (" + Elapsed() + ", " +
             Progress::FormatRate(m_progress.DataRate(), "bytes") + ")");
    return rc;
}

} // namespace quillet::cli
