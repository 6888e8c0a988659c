#include "cli/Progress.h"

#include <algorithm>
#include <cmath>

namespace quillet::cli {

Progress::Progress(std::FILE* out, bool terminal, std::function<std::uint64_t()> nowMs)
    : m_out(out), m_terminal(terminal), m_now(std::move(nowMs)) {}

void Progress::Begin(const std::string& title, std::uint64_t total, const std::string& unit) {
    if (m_active) End();
    m_active = true;
    m_drawn = false;
    m_title = title;
    m_unit = unit;
    m_stage.clear();
    m_total = total;
    m_done = 0;
    m_percent = 0;
    m_startMs = m_now();
    m_rateStarted = false;
    m_lastDrawMs = 0;
    m_lastTenth = -1;
    if (!m_terminal) {
        if (beforeOutput) beforeOutput();
        std::fprintf(m_out, "%s\n", title.c_str());
        std::fflush(m_out);
    }
}

void Progress::SetStage(const std::string& stage) {
    if (!m_active || stage == m_stage) return;
    m_stage = stage;
    if (!m_terminal && !stage.empty()) {
        if (beforeOutput) beforeOutput();
        std::fprintf(m_out, "%s\n", stage.c_str());
        std::fflush(m_out);
    }
    if (m_terminal) Draw(true);
}

void Progress::Update(double percent, std::uint64_t done) {
    if (!m_active) return;
    percent = std::clamp(percent, 0.0, 100.0);
    if (!m_rateStarted && (done > 0 || percent > 0)) {
        // The rate counts from the first unit that moved, so a wait before
        // the data (search, erase) does not lower it.
        m_rateStarted = true;
        m_rateStartMs = m_now();
        m_rateStartDone = done;
        m_rateStartPercent = percent;
    }
    m_percent = percent;
    m_done = done;
    Draw(false);
}

std::string Progress::FormatDuration(double ms) {
    if (!(ms >= 0) || ms > 360000000.0) return "--:--";
    const long long s = static_cast<long long>(std::llround(ms / 1000.0));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

std::string Progress::FormatBar(double percent, std::uint64_t done, std::uint64_t total,
                                const std::string& unit, double rate, double leftMs,
                                const std::string& stage, int width) {
    std::string bar(static_cast<std::size_t>(width), ' ');
    const int filled = static_cast<int>(percent / 100.0 * width);
    for (int i = 0; i < filled && i < width; ++i) bar[static_cast<std::size_t>(i)] = '#';
    char text[256];
    std::string counts = std::to_string(done);
    if (total) counts += "/" + std::to_string(total);
    counts += " " + unit;
    std::string speed;
    if (!stage.empty()) {
        speed = stage;
    } else if (rate > 0) {
        char r[64];
        if (unit == "bytes") {
            std::snprintf(r, sizeof r, "%.1f KB/s", rate / 1024.0);
        } else {
            std::snprintf(r, sizeof r, "%.0f %s/s", rate, unit.c_str());
        }
        speed = r;
    }
    std::snprintf(text, sizeof text, "[%s] %5.1f%%  %s  %s  left %s", bar.c_str(), percent,
                  counts.c_str(), speed.c_str(), FormatDuration(leftMs).c_str());
    return text;
}

void Progress::Draw(bool force) {
    const std::uint64_t now = m_now();
    double rate = 0;
    double leftMs = -1;
    if (m_rateStarted && now > m_rateStartMs) {
        const double elapsed = static_cast<double>(now - m_rateStartMs);
        rate = static_cast<double>(m_done - std::min(m_done, m_rateStartDone)) * 1000.0 / elapsed;
        const double pctRate = (m_percent - m_rateStartPercent) / elapsed;
        if (pctRate > 0) leftMs = (100.0 - m_percent) / pctRate;
    }
    if (m_percent >= 100.0) leftMs = 0;
    if (m_terminal) {
        if (!force && m_drawn && now - m_lastDrawMs < 100) return;
        m_lastDrawMs = now;
        m_drawn = true;
        const std::string line =
            FormatBar(m_percent, m_done, m_total, m_unit, rate, leftMs, m_stage, 30);
        if (beforeOutput) beforeOutput();
        std::fprintf(m_out, "\r\033[K%s", line.c_str());
        std::fflush(m_out);
        return;
    }
    // Plain lines at each tenth of the way; the last one is written by End().
    const int tenth = static_cast<int>(m_percent / 10.0);
    if (!force && (tenth == m_lastTenth || tenth < 1 || tenth >= 10)) return;
    m_lastTenth = tenth;
    std::string counts = std::to_string(m_done);
    if (m_total) counts += "/" + std::to_string(m_total);
    char speed[64] = "";
    if (rate > 0) {
        if (m_unit == "bytes")
            std::snprintf(speed, sizeof speed, ", %.1f KB/s", rate / 1024.0);
        else
            std::snprintf(speed, sizeof speed, ", %.0f %s/s", rate, m_unit.c_str());
    }
    if (beforeOutput) beforeOutput();
    std::fprintf(m_out, "progress %5.1f%% (%s %s%s, left %s)\n", m_percent, counts.c_str(),
                 m_unit.c_str(), speed, FormatDuration(leftMs).c_str());
    std::fflush(m_out);
}

void Progress::Clear() {
    if (m_terminal && m_drawn) {
        std::fprintf(m_out, "\r\033[K");
        std::fflush(m_out);
        m_drawn = false;
    }
}

void Progress::End() {
    if (!m_active) return;
    if (m_terminal) {
        if (m_drawn || m_percent > 0) {
            Draw(true);
            std::fputc('\n', m_out);
        }
    } else if (m_percent > 0) {
        Draw(true);
    }
    std::fflush(m_out);
    m_active = false;
    m_drawn = false;
}

} // namespace quillet::cli
