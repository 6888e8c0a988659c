#include "cli/AllRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "cli/Board.h"
#include "cli/Console.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/OpenRefusals.h"
#include "serial/NetAddress.h"

namespace quillet::cli {

namespace {

// How often the main thread looks at the runs (and at Ctrl+C).
constexpr unsigned kTickMs = 50;
// --watch: how long a busy or refused port waits before it is tried again.
constexpr unsigned kRetryBusyMs = 2000;

// One port's run: its thread, and what its session tells the board.
class InstrumentRun : public SessionSink {
public:
    InstrumentRun(Board& board, ProgressStyle style, unsigned com, std::string device, const std::string& serial)
        : m_board(board), m_style(style), m_com(com), m_device(std::move(device)),
          m_id(board.AddRow(com, m_device, serial)) {}
    ~InstrumentRun() override { Join(); }

    void Start(const AllRunPlan& plan) {
        m_thread = std::thread([this, &plan] { Run(plan); });
    }
    bool Ended() const { return m_ended; }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }
    // After it ended: whether an instrument was there, and how its run ended.
    bool Found() const { return m_found; }
    int ExitCode() const { return m_rc; }
    unsigned Com() const { return m_com; }
    const std::string& Device() const { return m_device; }
    // When the session gave the port up (its epoch when it never had it).
    std::chrono::system_clock::time_point ClosedAt() const { return m_closedAt; }
    // Where no instrument was served: why.
    Board::PortRecord NotServed() const { return Board::PortRecord{m_com, m_device, m_state, m_detail}; }

    // SessionSink, on the run's own thread.
    ProgressStyle Style() const override { return m_style; }
    nlohmann::ordered_json JsonFields() const override {
        nlohmann::ordered_json j;
        j["com"] = m_com;
        j["device"] = m_device;
        return j;
    }
    void Line(const std::string& text, bool result) override { m_board.Line(m_id, text, result); }
    void ProgressText(const std::string& text) override { m_board.ProgressText(m_id, text); }
    void ProgressChanged(const ProgressState& state) override { m_board.ProgressChanged(m_id, state); }
    void SearchEnded(bool found) override {
        m_searchFound = found;
        m_board.SearchEnded(m_id, found);
    }

private:
    // The port is opened here first: a session is made only for a port
    // that opens, and it takes the open device over.
    void Run(const AllRunPlan& plan) {
        auto device = plan.base.makeDevice ? plan.base.makeDevice() : MakeSerialDevice();
        const auto status = device->Open(m_device);
        Outcome outcome;
        int rc = kExitFailed;
        if (status != ISerialDevice::OpenStatus::Opened) {
            m_state = StateOfRefusal(status);
            m_detail = OpenRefusalText(m_device, status, device->Problem());
        } else {
            SessionOptions options = plan.base;
            options.ports = plan.base.ports.Only(m_com);
            options.makeDevice = HandOver(std::move(device), m_device, plan.base.makeDevice);
            options.sink = this;
            {
                Session session(options);
                rc = plan.flow(session);
                outcome = session.Result(rc);
                if (plan.describe) plan.describe(outcome, session);
            }
            m_closedAt = std::chrono::system_clock::now();
            m_detail = "nothing answered the search on " + m_device + ".";
        }
        outcome.command = plan.command;
        if (outcome.com == 0) outcome.com = m_com;
        if (outcome.device.empty()) outcome.device = m_device;
        m_found = m_searchFound.load();
        m_board.Finished(m_id, outcome);
        m_rc = rc;
        m_ended = true;
    }

    Board& m_board;
    const ProgressStyle m_style;
    const unsigned m_com;
    const std::string m_device;
    const int m_id;
    std::thread m_thread;
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_searchFound{false};
    bool m_found = false;
    int m_rc = kExitFailed;
    PortState m_state = PortState::NoAnswer;
    std::string m_detail;
    std::chrono::system_clock::time_point m_closedAt{};
};

using Clock = std::chrono::steady_clock;

// A port as --watch follows it.
struct WatchedPort {
    std::string identity;  // of the device there now; empty while absent
    bool armed = true;     // the next instrument there is to be served
    bool busy = false;     // a run is under way
    Clock::time_point retryAt{};           // a busy or refused port: when it is tried again
    std::optional<PortState> told;         // what was said of it last (not served)
    bool touchedInRun = false;             // the node changed, not moved, while a run had it
};

// How far the system's file times may lag behind its clock (they are
// taken from a coarse clock), with room to spare.
constexpr auto kFileTimeLag = std::chrono::milliseconds(50);

// Two identities of one node that only its change time tells apart: the
// node was touched (udev setting its mode), or made anew under the same
// name and number.
bool SameNode(const std::string& a, const std::string& b) {
    const std::size_t cut = a.rfind(':');
    return cut != std::string::npos && a.compare(0, cut + 1, b, 0, cut + 1) == 0;
}

// The change time at the end of an identity ("...:SECONDS.NANOSECONDS").
std::chrono::system_clock::time_point ChangeTimeOf(const std::string& identity) {
    const std::size_t colon = identity.rfind(':');
    const std::size_t dot = identity.rfind('.');
    if (colon == std::string::npos || dot == std::string::npos || dot < colon) return {};
    const long long seconds = std::atoll(identity.c_str() + colon + 1);
    const long long nanoseconds = std::atoll(identity.c_str() + dot + 1);
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

// Whether a node touched while a run had it was made anew: the run did not
// end well (its device went away), or the node changed after the run had
// given the port up. A node touched while the run went on to its end (udev
// setting its mode) is the same instrument.
bool MadeAnew(const std::string& identity, const InstrumentRun& run) {
    return run.ExitCode() != kExitDone || ChangeTimeOf(identity) + kFileTimeLag >= run.ClosedAt();
}

// A device that may be opened: a network port always (its open tells), a
// device when the system knows it (a node in /dev, a COM name of Windows).
bool DeviceThere(const std::string& device) {
    return IsNetUrl(device) || !DeviceIdentity(device).empty();
}

BoardStyle StyleFor(const AllRunPlan& plan) {
    const bool terminal = IsTerminal(stderr) && HandlesControlSequences(stderr);
    const bool traceOnStderr = plan.base.verbosity > 0 && !plan.base.traceOut;
    return plan.base.json                ? BoardStyle::Json
           : terminal && !traceOnStderr ? BoardStyle::Terminal
                                        : BoardStyle::Lines;
}

ProgressStyle ProgressFor(BoardStyle style) {
    return style == BoardStyle::Json       ? ProgressStyle::Json
           : style == BoardStyle::Terminal ? ProgressStyle::State
                                           : ProgressStyle::Lines;
}

// A line of the command's own on stderr: with --json its message object.
void SayLine(bool json, const std::string& line) {
    WriteOut(stderr, json ? MessageEventOfLine(line, false) : line + "\n");
}

// Says a line of the command's own on stderr and, with --json, puts it in
// the final object; returns `rc`.
int Refuse(const AllRunPlan& plan, const std::string& message, int rc) {
    SayLine(plan.base.json, "quillet-cli: " + message);
    if (plan.base.json) {
        Outcome o;
        o.command = plan.command;
        o.exitCode = rc;
        o.message = message;
        PrintOutcome(o);
    }
    return rc;
}

// No port of the map at all: the one search tells it as for one instrument.
int RunWithoutPorts(const AllRunPlan& plan) {
    Outcome outcome;
    int rc;
    {
        Session session(plan.base);
        rc = plan.flow(session);
        outcome = session.Result(rc);
        if (plan.describe) plan.describe(outcome, session);
    }
    if (plan.base.json) {
        outcome.command = plan.command;
        PrintOutcome(outcome);
    }
    return rc;
}

// The runs of one --all or --watch, driven from the main thread.
class AllRunner {
public:
    AllRunner(const AllRunPlan& plan, Board& board)
        : m_plan(plan), m_own(plan), m_board(board), m_progressStyle(ProgressFor(board.Style())) {
        m_own.base.stopRequested = [this] { return m_stop.load(); };
    }

    int Run() {
        const auto present = m_plan.base.ports.Present();
        if (m_board.Style() != BoardStyle::Json) {
            std::vector<unsigned> coms;
            for (const auto& entry : present) coms.push_back(entry.first);
            const std::string ports = coms.empty() ? "none yet" : Board::PortRanges(coms);
            m_board.Say(m_plan.watch ? "quillet-cli: watching the ports of the map (" + ports + "); Ctrl+C ends"
                                     : "quillet-cli: searching " + ports);
        }
        if (!m_plan.watch)
            for (const auto& [com, device] : present) Queue(com, device);
        Loop();
        m_board.Close();
        return Finish();
    }

private:
    struct Pending {
        unsigned com;
        std::string device;
    };

    // A port of the map to be run, or noted at once when its device is not there.
    void Queue(unsigned com, const std::string& device) {
        if (DeviceThere(device)) {
            m_queue.push_back({com, device});
            return;
        }
        m_board.NotServed({com, device, PortState::NoInstrument, device + " could not be opened: there is no such device."},
                          m_plan.command);
    }

    void StartQueued() {
        while (!m_queue.empty() && m_runs.size() < kMaxRunsAtOnce) {
            const Pending next = m_queue.front();
            m_queue.pop_front();
            const std::string serial = DescribePort(next.device).serialNumber;
            m_runs.push_back(std::make_unique<InstrumentRun>(m_board, m_progressStyle, next.com, next.device, serial));
            m_runs.back()->Start(m_own);
        }
    }

    void Loop() {
        auto lastPoll = Clock::now() - std::chrono::hours(1);
        bool told = false;
        for (;;) {
            const bool interrupted = Interrupted();
            if (m_plan.watch && !interrupted && Clock::now() - lastPoll >= std::chrono::milliseconds(m_plan.pollMs)) {
                lastPoll = Clock::now();
                Poll();
            }
            if (!interrupted) StartQueued();
            CollectEnded();
            if (interrupted && !told) {
                told = true;
                NoteUnsearched();
                TellInterrupted();
                m_stop = true;
            }
            if (m_runs.empty() && m_queue.empty() && (!m_plan.watch || interrupted)) break;
            m_board.Redraw();
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
        }
    }

    // --watch: the ports of the map now; a device that appeared, or came
    // back as another device (another node, or the same node made anew),
    // is served.
    void Poll() {
        std::map<std::string, bool> seen;
        for (const auto& [com, device] : m_plan.base.ports.Present()) {
            seen[device] = true;
            WatchedPort& w = m_watched[device];
            const std::string identity = DeviceIdentity(device);
            if (identity.empty()) {
                // Gone: the next one there is served.
                w.identity.clear();
                w.armed = true;
                w.told.reset();
                continue;
            }
            if (!w.identity.empty() && identity != w.identity) {
                if (w.busy && SameNode(identity, w.identity)) {
                    w.touchedInRun = true;  // decided when the run ends (MadeAnew)
                } else {
                    w.armed = true;  // another device now
                    w.told.reset();
                }
            }
            w.identity = identity;
            if (w.armed && !w.busy && Clock::now() >= w.retryAt && m_runs.size() + m_queue.size() < kMaxRunsAtOnce) {
                w.armed = false;
                w.busy = true;
                m_queue.push_back({com, device});
            }
        }
        // Entries that left the map (a USB device unplugged) come back armed.
        for (auto& [device, w] : m_watched)
            if (!seen.count(device)) {
                w.identity.clear();
                w.armed = true;
                w.told.reset();
            }
    }

    void CollectEnded() {
        for (auto it = m_runs.begin(); it != m_runs.end();) {
            InstrumentRun& run = **it;
            if (!run.Ended()) {
                ++it;
                continue;
            }
            run.Join();
            Ended(run);
            it = m_runs.erase(it);
        }
    }

    void Ended(const InstrumentRun& run) {
        WatchedPort* w = nullptr;
        if (auto found = m_watched.find(run.Device()); found != m_watched.end()) {
            w = &found->second;
            w->busy = false;
            if (w->touchedInRun && MadeAnew(w->identity, run)) {
                w->armed = true;
                w->told.reset();
            }
            w->touchedInRun = false;
        }
        if (run.Found()) {
            ++m_served;
            m_worst = std::max(m_worst, run.ExitCode());
            return;
        }
        Board::PortRecord port = run.NotServed();
        if (IsInterruptedExit(run.ExitCode())) {
            m_worst = std::max(m_worst, run.ExitCode());
            port.state = PortState::NotSearched;
            port.detail = "the search on " + port.device + " was interrupted.";
        }
        if (w && MayHideInstrument(port.state)) {
            // Tried again a little later; told again only when it changes.
            w->armed = true;
            w->retryAt = Clock::now() + std::chrono::milliseconds(kRetryBusyMs);
        }
        if (w && w->told == port.state) return;
        if (w) w->told = port.state;
        m_board.NotServed(port, m_plan.command);
    }

    // The ports still queued when the run is interrupted: never searched.
    void NoteUnsearched() {
        for (const Pending& p : m_queue)
            m_board.NotServed({p.com, p.device, PortState::NotSearched,
                               "the search on " + p.device + " did not start: interrupted."},
                              m_plan.command);
        m_queue.clear();
    }

    void TellInterrupted() {
        const auto running = m_board.Running();
        std::string list;
        for (const auto& r : running) list += (list.empty() ? "" : ", ") + r;
        m_board.Say(running.empty() ? "quillet-cli: interrupted; no instrument was being served"
                                    : "quillet-cli: interrupted; stopping the instruments still running: " + list);
    }

    // The summary, the ports that may hide an instrument, --expect; the exit code.
    int Finish();
    int TellNotFound();

    const AllRunPlan& m_plan;
    AllRunPlan m_own;  // the plan the runs get: stopped by m_stop
    Board& m_board;
    const ProgressStyle m_progressStyle;
    std::atomic<bool> m_stop{false};
    std::deque<Pending> m_queue;
    std::vector<std::unique_ptr<InstrumentRun>> m_runs;
    std::map<std::string, WatchedPort> m_watched;  // by device
    int m_worst = kExitDone;
    std::size_t m_served = 0;
};

// No port had the instrument: said as the search of one says it.
int AllRunner::TellNotFound() {
    const auto lines = m_board.NotFoundLines();
    Outcome o;
    o.command = m_plan.command;
    o.exitCode = kExitFailed;
    for (const auto& l : lines) {
        o.message = l;
        std::string text = l;
        if (IsTerminal(stderr))
            for (std::size_t i = 0; i < text.size(); ++i)
                if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) text[i] = '\n';
        SayLine(m_plan.base.json, text);
    }
    if (lines.empty()) {
        o.message = "quillet-cli: no instrument answered on any port of the map";
        SayLine(m_plan.base.json, o.message);
    }
    if (m_plan.base.json) PrintOutcome(o);
    return kExitFailed;
}

int AllRunner::Finish() {
    const auto results = m_board.Results();
    const auto ports = m_board.NotServedPorts();
    if (!m_plan.base.json && (!results.empty() || !ports.empty())) {
        WriteOut(stdout, Board::SummaryTable(results, ports));
    }
    if (const int signal = InterruptSignal()) m_worst = std::max(m_worst, InterruptExitCode(signal));
    int rc = m_worst;
    if (m_served == 0 && !m_plan.watch && rc == kExitDone) rc = TellNotFound();
    std::vector<unsigned> hiding;
    for (const auto& p : ports)
        if (MayHideInstrument(p.state)) hiding.push_back(p.com);
    std::sort(hiding.begin(), hiding.end());
    hiding.erase(std::unique(hiding.begin(), hiding.end()), hiding.end());
    if (!hiding.empty()) {
        SayLine(m_plan.base.json, "quillet-cli: not every instrument may have been served: " +
                                      Board::PortRanges(hiding) + (hiding.size() == 1 ? " was" : " were") +
                                      " busy or refused");
        rc = std::max(rc, kExitFailed);
    }
    if (m_plan.expect && m_served < m_plan.expect) {
        SayLine(m_plan.base.json, "quillet-cli: " + std::to_string(m_served) +
                                      (m_served == 1 ? " instrument was" : " instruments were") + " served, " +
                                      std::to_string(m_plan.expect) + " expected (--expect)");
        rc = std::max(rc, kExitFailed);
    }
    return rc;
}

} // namespace

int RunOnAll(const AllRunPlan& plan) {
    // The file first, exactly as for one instrument.
    if (plan.fileRefusal)
        if (const std::string refusal = plan.fileRefusal(); !refusal.empty())
            return Refuse(plan, refusal + " Nothing was sent.", kExitFailed);
    if (plan.base.ports.Present().empty() && !plan.watch) return RunWithoutPorts(plan);
    Board board(StyleFor(plan), stdout, stderr);
    AllRunner runner(plan, board);
    return runner.Run();
}

} // namespace quillet::cli
