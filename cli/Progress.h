// Progress of a flow on stderr, in one of three styles:
//   Bar    on a terminal: the title on a line of its own, then a bar redrawn
//          in place (at most about ten times a second) with percentage,
//          units done of the total, stage, rate and time left, made to fit
//          the terminal's width (80 columns when it does not say);
//   Lines  otherwise: the title, each stage, and a plain line at every tenth
//          of the way;
//   Json   with --json: one JSON object per line for each event (begin,
//          stage, progress at most ten times a second, end);
//   State  for a view of its own (the board of --all): the state, as the bar
//          would show it, goes to onState at most ten times a second.
// Rates are in SI units (1 kB = 1000 bytes) and count the data phase only:
// from DataStarted() (or the first unit that moved) to the last unit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace quillet::cli {

// Columns assumed when the terminal does not tell its width.
constexpr int kDefaultColumns = 80;

// `text` with the bytes a terminal would act on shown instead: control
// characters (C0, DEL and the C1 range) as \xNN or \u00NN, bytes that are
// no UTF-8 as \xNN. Other UTF-8 text is left as it is.
std::string EscapeControls(const std::string& text);

enum class ProgressStyle { Bar, Lines, Json, State };

// What the bar shows, for a view that draws it itself.
struct ProgressState {
    bool active = false;   // between Begin and End
    std::string title;
    std::string stage;
    std::string unit;
    double percent = 0;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    double rate = 0;       // units per second; 0 before the data
    double leftMs = -1;    // time left; -1 when not known
};

class Progress {
public:
    Progress(std::FILE* out, ProgressStyle style, std::function<std::uint64_t()> nowMs);

    // Starts a new display. `unit` names what is counted ("blocks",
    // "pieces", "bytes"); `total` 0 when the count is not known.
    void Begin(const std::string& title, std::uint64_t total, const std::string& unit);
    // What is happening ("searching", "erasing", "writing", ...).
    void SetStage(const std::string& stage);
    // How far the stage has come when it is no count of units ("12 s" of
    // an erase): beside the stage on the bar and in the JSON objects; the
    // next stage clears it.
    void SetStageDetail(const std::string& detail);
    // The data phase starts now: rates count from here.
    void DataStarted();
    // Percentage as the dialog shows it, and units done.
    void Update(double percent, std::uint64_t done);
    // Draws the final state and ends the display.
    void End();
    // Clears the bar's line so that other text can be written; the bar is
    // drawn again at the next update.
    void Clear();
    bool Active() const { return m_active; }
    // Called before the progress writes anything (a trace sharing the
    // stream writes out what it holds).
    std::function<void()> beforeOutput;
    // Where the text goes instead of the stream (a session of several).
    std::function<void(const std::string&)> writer;
    // The State style's receiver.
    std::function<void(const ProgressState&)> onState;
    // Fields put first into every JSON object (the port of one of several).
    nlohmann::ordered_json jsonFields;

    // Units per second over the data phase so far (to the last unit that
    // moved), and how long that phase has lasted; 0 before it started.
    double DataRate() const;
    std::uint64_t DataMs() const;

    // The bar's line, shorter than `columns`: the bar narrows first, then
    // the rate, the stage, the bar itself, the counts and the time left give
    // way, in that order (exposed for the format).
    static std::string FormatBar(double percent, std::uint64_t done, std::uint64_t total,
                                 const std::string& unit, double rate, double leftMs,
                                 const std::string& stage, int columns);
    static std::string FormatDuration(double ms);
    // "41.2 blocks/s", "10.6 kB/s", "1.25 MB/s": SI prefixes.
    static std::string FormatRate(double rate, const std::string& unit);

private:
    void Draw(bool force);
    void Out(const std::string& text);
    // What takes back the bar's line: the control sequence where the
    // terminal has it (a Windows console without virtual terminal
    // processing has not), otherwise blanks over the line.
    std::string EraseLine();
    void Json(const char* event);

    std::FILE* m_out;
    ProgressStyle m_style;
    bool m_controls = true;        // the terminal understands ESC [ K
    std::size_t m_lineLength = 0;  // length of the bar's line as drawn
    std::function<std::uint64_t()> m_now;
    bool m_active = false;
    bool m_drawn = false;
    std::string m_title;
    std::string m_unit;
    std::string m_stage;
    std::string m_detail;
    std::uint64_t m_total = 0;
    std::uint64_t m_done = 0;
    double m_percent = 0;
    std::uint64_t m_startMs = 0;
    bool m_dataStarted = false;
    std::uint64_t m_dataStartMs = 0;
    std::uint64_t m_dataStartDone = 0;
    double m_dataStartPercent = 0;
    std::uint64_t m_lastMoveMs = 0;     // when the count last went up
    std::uint64_t m_lastDrawMs = 0;
    int m_lastTenth = -1;
    std::uint64_t m_jsonDone = 0;       // what the last JSON object told
    double m_jsonPercent = 0;
};

} // namespace quillet::cli
