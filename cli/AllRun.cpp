#include "cli/AllRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "cli/Board.h"
#include "cli/Console.h"
#include "cli/Interrupt.h"

namespace quillet::cli {

namespace {

// One instrument's run: its thread, and what its session tells the board.
class InstrumentRun : public SessionSink {
public:
    InstrumentRun(Board& board, ProgressStyle style, unsigned com, std::string device, const std::string& serial)
        : m_board(board), m_style(style), m_com(com), m_device(std::move(device)),
          m_id(board.AddRow(com, m_device, serial)) {}
    ~InstrumentRun() override { Join(); }

    void Start(const AllRunPlan& plan) {
        m_thread = std::thread([this, &plan] {
            SessionOptions options = plan.base;
            options.ports = plan.base.ports.Only(m_com);
            options.sink = this;
            Outcome outcome;
            int rc = kExitFailed;
            {
                Session session(options);
                rc = plan.flow(session);
                outcome = session.Result(rc);
            }
            outcome.command = plan.command;
            if (outcome.com == 0) outcome.com = m_com;
            if (outcome.device.empty()) outcome.device = m_device;
            m_found = m_searchFound.load();
            m_board.Finished(m_id, outcome);
            m_rc = rc;
            m_ended = true;
        });
    }
    bool Ended() const { return m_ended; }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }
    // After it ended: whether an instrument was there, and how its run ended.
    bool Found() const { return m_found; }
    int ExitCode() const { return m_rc; }
    const std::string& Device() const { return m_device; }

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
};

// A port as --watch follows it.
struct WatchedPort {
    std::string identity;  // of the device there now; empty while absent
    bool armed = true;     // the next instrument there is to be served
    bool busy = false;     // a run is under way
};

} // namespace

int RunOnAll(const AllRunPlan& plan) {
    const bool terminal = IsTerminal(stderr) && HandlesControlSequences(stderr);
    const bool traceOnStderr = plan.base.verbosity > 0 && !plan.base.traceOut;
    const BoardStyle boardStyle = plan.base.json                  ? BoardStyle::Json
                                  : terminal && !traceOnStderr    ? BoardStyle::Terminal
                                                                  : BoardStyle::Lines;
    const ProgressStyle progressStyle = boardStyle == BoardStyle::Json       ? ProgressStyle::Json
                                        : boardStyle == BoardStyle::Terminal ? ProgressStyle::State
                                                                             : ProgressStyle::Lines;

    const auto present = plan.base.ports.Present();
    if (present.empty() && !plan.watch) {
        // No port at all: the one search tells it as for one instrument.
        Outcome outcome;
        int rc;
        {
            Session session(plan.base);
            rc = plan.flow(session);
            outcome = session.Result(rc);
        }
        if (plan.base.json) {
            outcome.command = plan.command;
            PrintOutcome(outcome);
        }
        return rc;
    }

    Board board(boardStyle, stdout, stderr);
    if (boardStyle != BoardStyle::Json) {
        std::string ports;
        for (const auto& [com, device] : present) ports += (ports.empty() ? "COM" : ", COM") + std::to_string(com);
        board.Say(plan.watch ? "quillet-cli: watching the ports of the map (" + (ports.empty() ? std::string("none yet") : ports) +
                                   "); Ctrl+C ends"
                             : "quillet-cli: searching " + ports);
    }

    // The runs stop on this, once the command line has told who is still running.
    std::atomic<bool> stop{false};
    AllRunPlan own = plan;
    own.base.stopRequested = [&stop] { return stop.load(); };
    std::vector<std::unique_ptr<InstrumentRun>> runs;
    std::map<std::string, WatchedPort> watched;  // by device
    std::map<InstrumentRun*, std::string> runPort;
    int worst = kExitDone;
    bool anyFound = false;
    bool told = false;
    auto start = [&](unsigned com, const std::string& device) {
        const std::string serial = DescribePort(device).serialNumber;
        runs.push_back(std::make_unique<InstrumentRun>(board, progressStyle, com, device, serial));
        runPort[runs.back().get()] = device;
        runs.back()->Start(own);
    };

    if (!plan.watch)
        for (const auto& [com, device] : present) start(com, device);

    auto lastPoll = std::chrono::steady_clock::now() - std::chrono::hours(1);
    for (;;) {
        const bool interrupted = Interrupted();
        if (plan.watch && !interrupted &&
            std::chrono::steady_clock::now() - lastPoll >= std::chrono::milliseconds(plan.pollMs)) {
            lastPoll = std::chrono::steady_clock::now();
            std::map<std::string, bool> seen;
            for (const auto& [com, device] : plan.base.ports.Present()) {
                seen[device] = true;
                WatchedPort& w = watched[device];
                const std::string identity = DeviceIdentity(device);
                if (identity.empty()) {
                    // Gone: the next one there is served.
                    w.identity.clear();
                    w.armed = true;
                    continue;
                }
                if (!w.identity.empty() && identity != w.identity) w.armed = true;  // another device now
                w.identity = identity;
                if (w.armed && !w.busy) {
                    w.armed = false;
                    w.busy = true;
                    start(com, device);
                }
            }
            // Entries that left the map (a USB device unplugged) come back armed.
            for (auto& [device, w] : watched)
                if (!seen.count(device)) {
                    w.identity.clear();
                    w.armed = true;
                }
        }

        // Runs that ended.
        for (auto it = runs.begin(); it != runs.end();) {
            InstrumentRun& run = **it;
            if (!run.Ended()) {
                ++it;
                continue;
            }
            run.Join();
            if (run.Found()) {
                anyFound = true;
                worst = std::max(worst, run.ExitCode());
            } else if (IsInterruptedExit(run.ExitCode())) {
                worst = std::max(worst, run.ExitCode());
            }
            auto w = watched.find(runPort[&run]);
            if (w != watched.end()) w->second.busy = false;
            runPort.erase(&run);
            it = runs.erase(it);
        }

        if (interrupted && !told) {
            told = true;
            const auto running = board.Running();
            std::string list;
            for (const auto& r : running) list += (list.empty() ? "" : ", ") + r;
            board.Say(running.empty() ? "quillet-cli: interrupted; no instrument was being served"
                                      : "quillet-cli: interrupted; stopping the instruments still running: " + list);
            stop = true;
        }
        if (runs.empty() && (!plan.watch || interrupted)) break;
        board.Redraw();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    board.Close();

    const auto results = board.Results();
    if (!anyFound && !plan.watch && worst == kExitDone) {
        // No port had the instrument: said as the search of one says it.
        const auto lines = board.NotFoundLines();
        Outcome o;
        o.command = plan.command;
        o.exitCode = kExitFailed;
        for (const auto& l : lines) {
            o.message = l;
            std::string text = l;
            if (IsTerminal(stderr))
                for (std::size_t i = 0; i < text.size(); ++i)
                    if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) text[i] = '\n';
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        if (lines.empty()) {
            o.message = "quillet-cli: no instrument answered on any port of the map";
            std::fprintf(stderr, "%s\n", o.message.c_str());
        }
        if (plan.base.json) PrintOutcome(o);
        return kExitFailed;
    }
    if (!plan.base.json && !results.empty()) {
        std::fputs(Board::SummaryTable(results).c_str(), stdout);
        std::fflush(stdout);
    }
    return worst;
}

} // namespace quillet::cli
