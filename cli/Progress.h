// Progress of a flow on stderr: on a terminal a bar redrawn in place (at
// most about ten times a second) with percentage, units done, rate and time
// left; otherwise a plain line at every tenth of the way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace quillet::cli {

class Progress {
public:
    Progress(std::FILE* out, bool terminal, std::function<std::uint64_t()> nowMs);

    // Starts a new bar. `unit` names what is counted ("blocks", "bytes");
    // `total` 0 when the count is not known.
    void Begin(const std::string& title, std::uint64_t total, const std::string& unit);
    // Percentage as the dialog shows it, and units done.
    void Update(double percent, std::uint64_t done);
    // A short word shown instead of the rate (e.g. "erasing").
    void SetStage(const std::string& stage);
    // Draws the final state and ends the bar's line.
    void End();
    // Clears the bar's line so that other text can be written; the bar is
    // drawn again at the next update.
    void Clear();
    bool Active() const { return m_active; }
    // Called before the progress writes anything (a trace sharing the
    // stream writes out what it holds).
    std::function<void()> beforeOutput;

    // The bar's line for `percent`, `done` of `total` at `rate` units per
    // second with `leftMs` to go (exposed for the format).
    static std::string FormatBar(double percent, std::uint64_t done, std::uint64_t total,
                                 const std::string& unit, double rate, double leftMs,
                                 const std::string& stage, int width);
    static std::string FormatDuration(double ms);

private:
    void Draw(bool force);

    std::FILE* m_out;
    bool m_terminal;
    std::function<std::uint64_t()> m_now;
    bool m_active = false;
    bool m_drawn = false;
    std::string m_title;
    std::string m_unit;
    std::string m_stage;
    std::uint64_t m_total = 0;
    std::uint64_t m_done = 0;
    double m_percent = 0;
    std::uint64_t m_startMs = 0;
    std::uint64_t m_rateStartMs = 0;    // first update with units moving
    std::uint64_t m_rateStartDone = 0;
    double m_rateStartPercent = 0;
    bool m_rateStarted = false;
    std::uint64_t m_lastDrawMs = 0;
    int m_lastTenth = -1;
};

} // namespace quillet::cli
