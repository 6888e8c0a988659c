#include "cli/Board.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "cli/Console.h"
#include "cli/Output.h"

namespace quillet::cli {

namespace {

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Each line of `text` after `prefix`; a lone carriage return (as the
// instrument's boxes have them) breaks the line too.
std::string Prefixed(const std::string& prefix, const std::string& text) {
    std::string out = prefix;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\r' || c == '\n') {
            if (i + 1 < text.size()) out += "\n" + prefix;
            continue;
        }
        out += c;
    }
    return out + "\n";
}

std::string Padded(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

std::string Counts(const Outcome& o) {
    if (o.unit == "blocks") {
        std::string t = std::to_string(o.blocks) + " blocks acknowledged";
        if (o.resends) t += ", " + std::to_string(o.resends) + " sent again";
        return t;
    }
    if (!o.unit.empty()) return std::to_string(o.units) + " " + o.unit;
    return {};
}

} // namespace

Board::Board(BoardStyle style, std::FILE* out, std::FILE* err) : m_style(style), m_out(out), m_err(err) {}

Board::~Board() { Close(); }

Board::Row* Board::Find(int id) {
    for (auto& r : m_rows)
        if (r.id == id) return &r;
    return nullptr;
}

const Board::Row* Board::Find(int id) const {
    for (const auto& r : m_rows)
        if (r.id == id) return &r;
    return nullptr;
}

std::string Board::Prefix(const Row& r) const { return "COM" + std::to_string(r.com) + ": "; }

// A line of an instrument's: with --json its message object, naming the port.
std::string Board::LineOf(const Row& r, const std::string& text, bool result) const {
    if (m_style != BoardStyle::Json) return Prefixed(Prefix(r), text);
    nlohmann::ordered_json port;
    port["com"] = r.com;
    port["device"] = r.device;
    return MessageEventOfLine(text, result, port);
}

int Board::AddRow(unsigned com, const std::string& device, const std::string& serial) {
    std::lock_guard<std::mutex> lock(m_lock);
    // A port's last result stays on view until the next instrument there.
    if (m_style == BoardStyle::Terminal) EraseRows();
    m_rows.erase(std::remove_if(m_rows.begin(), m_rows.end(),
                                [&](const Row& r) { return r.com == com && r.phase == Phase::Ended; }),
                 m_rows.end());
    Row r;
    r.id = m_nextId++;
    r.com = com;
    r.device = device;
    r.serial = serial;
    m_rows.push_back(std::move(r));
    std::stable_sort(m_rows.begin(), m_rows.end(), [](const Row& a, const Row& b) { return a.com < b.com; });
    if (m_style == BoardStyle::Terminal) DrawRows();
    return m_nextId - 1;
}

void Board::SearchEnded(int id, bool found) {
    std::lock_guard<std::mutex> lock(m_lock);
    Row* r = Find(id);
    if (!r || r->phase != Phase::Searching) return;
    if (!found) {
        if (m_notFound.empty())
            for (const auto& [text, result] : r->held)
                if (!result) m_notFound.push_back(text);
        if (m_style == BoardStyle::Terminal) EraseRows();
        m_rows.erase(m_rows.begin() + (r - m_rows.data()));
        if (m_style == BoardStyle::Terminal) DrawRows();
        return;
    }
    r->phase = Phase::Running;
    // What it said while it was searched goes out now, in order.
    std::string err;
    for (const auto& text : r->heldProgress) err += text;
    std::string lines;
    for (const auto& [text, result] : r->held) lines += LineOf(*r, text, result);
    r->held.clear();
    r->heldProgress.clear();
    if (!err.empty()) Emit(m_err, err);
    if (!lines.empty()) Emit(m_err, lines);
    if (m_style == BoardStyle::Terminal && lines.empty() && err.empty()) {
        EraseRows();
        DrawRows();
    }
}

void Board::Line(int id, const std::string& text, bool result) {
    std::lock_guard<std::mutex> lock(m_lock);
    Row* r = Find(id);
    if (!r) return;
    if (r->phase == Phase::Searching) {
        r->held.emplace_back(text, result);
        return;
    }
    // With --json stdout is the final objects'.
    Emit(result && m_style != BoardStyle::Json ? m_out : m_err, LineOf(*r, text, result));
}

void Board::ProgressText(int id, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_lock);
    Row* r = Find(id);
    if (!r || m_style == BoardStyle::Terminal) return;
    std::string out = m_style == BoardStyle::Json ? text : Prefixed(Prefix(*r), text);
    if (r->phase == Phase::Searching) {
        r->heldProgress.push_back(out);
        return;
    }
    Emit(m_err, out);
}

void Board::ProgressChanged(int id, const ProgressState& state) {
    std::lock_guard<std::mutex> lock(m_lock);
    Row* r = Find(id);
    if (!r || r->phase == Phase::Ended) return;
    r->progress = state;
    if (m_style != BoardStyle::Terminal) return;
    const std::uint64_t now = NowMs();
    if (now - m_lastDrawMs < 100) return;
    EraseRows();
    DrawRows();
}

void Board::Finished(int id, const Outcome& outcome) {
    std::lock_guard<std::mutex> lock(m_lock);
    Row* r = Find(id);
    if (!r) return;
    if (r->phase == Phase::Searching) {
        // It ended before its search found anything (interrupted): no
        // instrument to tell of.
        if (m_style == BoardStyle::Terminal) EraseRows();
        m_rows.erase(m_rows.begin() + (r - m_rows.data()));
        if (m_style == BoardStyle::Terminal) DrawRows();
        return;
    }
    r->phase = Phase::Ended;
    r->outcome = outcome;
    m_results.push_back(Result{r->com, r->device, r->serial, outcome});
    if (m_style == BoardStyle::Json) {
        nlohmann::ordered_json j = OutcomeJson(outcome);
        j["serial_number"] = r->serial.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r->serial);
        j["port_state"] = PortStateName(PortState::Served);
        Emit(m_out, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    } else if (m_style == BoardStyle::Terminal) {
        EraseRows();
        DrawRows();
    }
}

void Board::NotServed(const PortRecord& port, const std::string& command) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_notServed.push_back(port);
    if (m_style == BoardStyle::Json) {
        nlohmann::ordered_json j;
        j["command"] = command;
        j["com"] = port.com;
        j["device"] = port.device;
        j["port_state"] = PortStateName(port.state);
        j["result"] = "not served";
        j["message"] = port.detail;
        Emit(m_out, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        return;
    }
    if (MayHideInstrument(port.state))
        Emit(m_err, Prefixed("COM" + std::to_string(port.com) + ": ",
                             port.detail + " An instrument there is not served."));
}

std::vector<Board::PortRecord> Board::NotServedPorts() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_notServed;
}

void Board::Say(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_lock);
    Emit(m_err, m_style == BoardStyle::Json ? MessageEventOfLine(text, false) : Prefixed("", text));
}

void Board::Redraw() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_style != BoardStyle::Terminal || m_closed) return;
    if (NowMs() - m_lastDrawMs < 100) return;
    EraseRows();
    DrawRows();
}

void Board::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_closed) return;
    if (m_style == BoardStyle::Terminal) {
        EraseRows();
        DrawRows();
    }
    m_closed = true;
    m_drawnLines = 0;
}

std::vector<Board::Result> Board::Results() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_results;
}

std::vector<std::string> Board::Running() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> running;
    for (const auto& r : m_rows)
        if (r.phase == Phase::Running) running.push_back("COM" + std::to_string(r.com) + " (" + r.device + ")");
    return running;
}

std::vector<std::string> Board::NotFoundLines() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_notFound;
}

void Board::Emit(std::FILE* f, const std::string& text) {
    if (m_style == BoardStyle::Terminal) EraseRows();
    WriteOut(f, text);
    if (m_style == BoardStyle::Terminal) DrawRows();
}

void Board::EraseRows() {
    if (m_drawnLines == 0 || m_closed) return;
    WriteOut(m_err, "\033[" + std::to_string(m_drawnLines) + "A\r\033[J");
    m_drawnLines = 0;
}

void Board::DrawRows() {
    if (m_closed) return;
    std::size_t deviceWidth = 0, serialWidth = 0, stageWidth = 9;
    for (const auto& r : m_rows) {
        deviceWidth = std::max(deviceWidth, std::min<std::size_t>(r.device.size(), 28));
        serialWidth = std::max(serialWidth, std::min<std::size_t>(r.serial.size(), 20));
        stageWidth = std::max(stageWidth, std::min<std::size_t>(r.progress.stage.size(), 22));
    }
    int columns = TerminalColumns(m_err);
    if (columns <= 0) columns = 120;
    std::string text;
    int lines = 0;
    for (const auto& r : m_rows) {
        std::string line = RowText(r, deviceWidth, serialWidth, stageWidth);
        if (line.size() >= static_cast<std::size_t>(columns)) line.resize(static_cast<std::size_t>(columns - 1));
        text += line + "\n";
        ++lines;
    }
    WriteOut(m_err, text);
    m_drawnLines = lines;
    m_lastDrawMs = NowMs();
}

std::string Board::RowText(const Row& r, std::size_t deviceWidth, std::size_t serialWidth,
                           std::size_t stageWidth) const {
    const std::string port = "COM" + std::to_string(r.com);
    switch (r.phase) {
    case Phase::Searching:
    case Phase::NotFound: {
        ProgressState none;
        none.unit.clear();
        return FormatRow(port, r.device, r.serial, "searching", none, "", deviceWidth, serialWidth, stageWidth);
    }
    case Phase::Running:
        return FormatRow(port, r.device, r.serial, r.progress.stage.empty() ? "starting" : r.progress.stage,
                         r.progress, "", deviceWidth, serialWidth, stageWidth);
    case Phase::Ended: {
        ProgressState p = r.progress;
        p.rate = 0;
        p.leftMs = -1;
        const Outcome& o = *r.outcome;
        return FormatRow(port, r.device, r.serial, ResultName(o.exitCode), p, "in " + Seconds(o.durationS),
                         deviceWidth, serialWidth, stageWidth);
    }
    }
    return port;
}

std::string Board::FormatRow(const std::string& port, const std::string& device, const std::string& serial,
                             const std::string& stage, const ProgressState& p, const std::string& tail,
                             std::size_t deviceWidth, std::size_t serialWidth, std::size_t stageWidth) {
    std::string line = Padded(port, 6) + Padded(device, deviceWidth) + "  ";
    if (serialWidth) line += Padded(serial, serialWidth) + "  ";
    line += Padded(stage, stageWidth);
    if (!p.unit.empty()) {
        char pct[16];
        std::snprintf(pct, sizeof pct, "%6.1f%%", p.percent);
        line += std::string("  ") + pct + "  " + std::to_string(p.done);
        if (p.total) line += "/" + std::to_string(p.total);
        line += " " + p.unit;
        if (p.rate > 0) line += "  " + Progress::FormatRate(p.rate, p.unit);
        if (p.leftMs >= 0 && p.percent < 100.0) line += "  left " + Progress::FormatDuration(p.leftMs);
    }
    if (!tail.empty()) line += "  " + tail;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string Board::PortRanges(const std::vector<unsigned>& coms) {
    std::string text;
    for (std::size_t i = 0; i < coms.size();) {
        std::size_t j = i;
        while (j + 1 < coms.size() && coms[j + 1] == coms[j] + 1) ++j;
        text += (text.empty() ? "COM" : ", COM") + std::to_string(coms[i]);
        if (j > i) text += (j == i + 1 ? ", COM" : "-COM") + std::to_string(coms[j]);
        i = j + 1;
    }
    return text;
}

namespace {

// What the summary says of a port where no instrument was served.
const char* StateNote(PortState state) {
    switch (state) {
    case PortState::Busy: return "another program has it open";
    case PortState::Denied: return "this user may not open it";
    case PortState::NoAnswer: return "nothing answered the search";
    case PortState::NotSearched: return "interrupted before its search ended";
    case PortState::NoInstrument:
    case PortState::Served: break;
    }
    return "";
}

// The last line about the ports where no instrument was served:
// "not served: COM2 busy; no instrument on COM3, COM5-COM99".
std::string NotServedLine(const std::vector<Board::PortRecord>& ports) {
    std::map<PortState, std::vector<unsigned>> byState;
    for (const auto& p : ports) byState[p.state].push_back(p.com);
    std::string line;
    for (auto& [state, coms] : byState) {
        std::sort(coms.begin(), coms.end());
        coms.erase(std::unique(coms.begin(), coms.end()), coms.end());
        line += (line.empty() ? "" : "; ") + std::string(PortStateName(state)) + ": " + Board::PortRanges(coms);
    }
    return line.empty() ? line : "ports without an instrument served: " + line + "\n";
}

} // namespace

std::string Board::SummaryTable(const std::vector<Result>& results, const std::vector<PortRecord>& ports) {
    std::vector<Result> sorted = results;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Result& a, const Result& b) { return a.com < b.com; });
    std::vector<PortRecord> shown;
    for (const auto& p : ports)
        if (p.state != PortState::NoInstrument) shown.push_back(p);
    std::stable_sort(shown.begin(), shown.end(), [](const PortRecord& a, const PortRecord& b) { return a.com < b.com; });
    std::size_t deviceWidth = 6, serialWidth = 0;
    for (const auto& r : sorted) {
        deviceWidth = std::max(deviceWidth, r.device.size());
        serialWidth = std::max(serialWidth, r.serial.size());
    }
    for (const auto& p : shown) deviceWidth = std::max(deviceWidth, p.device.size());
    if (serialWidth) serialWidth = std::max<std::size_t>(serialWidth, 6);
    auto row = [&](const std::string& port, const std::string& device, const std::string& serial,
                   const std::string& result, const std::string& duration, const std::string& counts) {
        std::string line = Padded(port, 7) + Padded(device, deviceWidth) + "  ";
        if (serialWidth) line += Padded(serial, serialWidth) + "  ";
        line += Padded(result, 12) + std::string(duration.size() < 9 ? 9 - duration.size() : 0, ' ') + duration +
                "  " + counts;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        return line + "\n";
    };
    std::string t = row("port", "device", serialWidth ? "serial" : "", "result", "duration", "counts");
    std::map<std::string, int> tally;
    for (const auto& r : sorted) {
        const Outcome& o = r.outcome;
        t += row("COM" + std::to_string(r.com), r.device, r.serial, ResultName(o.exitCode), Seconds(o.durationS),
                 Counts(o));
        ++tally[ResultName(o.exitCode)];
    }
    for (const auto& p : shown)
        t += row("COM" + std::to_string(p.com), p.device, "", PortStateName(p.state), "", StateNote(p.state));
    std::string totals;
    for (const char* name : {"done", "failed", "timed out", "interrupted"})
        if (tally.count(name)) totals += (totals.empty() ? "" : ", ") + std::to_string(tally[name]) + " " + name;
    if (sorted.empty())
        t += "no instrument served\n";
    else
        t += std::to_string(sorted.size()) + (sorted.size() == 1 ? " instrument: " : " instruments: ") + totals + "\n";
    return t + NotServedLine(ports);
}

} // namespace quillet::cli
