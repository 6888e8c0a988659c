#include "cli/Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Console.h"
#include "cli/Output.h"
#include "cli/Report.h"

namespace quillet::cli {

namespace {

constexpr int kBarMaxWidth = 30;  // the bar itself, between its brackets
constexpr int kBarMinWidth = 10;  // narrower than this, the bar is left out
constexpr unsigned char kDelete = 0x7F;
constexpr unsigned char kFirstC1 = 0x80;
constexpr unsigned char kLastC1 = 0x9F;

// The length of the UTF-8 sequence starting at text[i], 0 when none starts there.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    return n;
}

std::string Hex(const char* form, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, form, value);
    return text;
}

} // namespace

std::string EscapeControls(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == kDelete) {
            out += Hex("\\x%02x", c);
            ++i;
        } else if (c < kFirstC1) {
            out += text[i++];
        } else if (const std::size_t n = Utf8Length(text, i); n == 0) {
            out += Hex("\\x%02x", c);
            ++i;
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= kLastC1) {
            out += Hex("\\u%04x", static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

Progress::Progress(std::FILE* out, ProgressStyle style, std::function<std::uint64_t()> nowMs)
    : m_out(out), m_style(style), m_now(std::move(nowMs)) {
    if (m_style == ProgressStyle::Bar) m_controls = HandlesControlSequences(out);
}

std::string Progress::EraseLine() {
    std::string text = m_controls ? "\r\033[K" : "\r" + std::string(m_lineLength, ' ') + "\r";
    m_lineLength = 0;
    return text;
}

void Progress::Out(const std::string& text) {
    if (beforeOutput) beforeOutput();
    if (writer) {
        writer(text);
        return;
    }
    WriteOut(m_out, text);
}

void Progress::Begin(const std::string& title, std::uint64_t total, const std::string& unit) {
    if (m_active) End();
    m_active = true;
    m_drawn = false;
    m_title = title;
    m_unit = unit;
    m_stage.clear();
    m_detail.clear();
    m_total = total;
    m_done = 0;
    m_percent = 0;
    m_startMs = m_now();
    m_dataStarted = false;
    m_lastMoveMs = m_startMs;
    m_lastDrawMs = 0;
    m_lastTenth = -1;
    m_jsonDone = 0;
    m_jsonPercent = 0;
    if (m_style == ProgressStyle::Json)
        Json("begin");
    else if (m_style == ProgressStyle::State)
        Draw(true);
    else
        Out(EscapeControls(title) + "\n");  // on a terminal too, above the bar
}

void Progress::SetStage(const std::string& stage) {
    if (!m_active || stage == m_stage) return;
    m_stage = stage;
    m_detail.clear();
    switch (m_style) {
    case ProgressStyle::Lines:
        if (!stage.empty()) Out(EscapeControls(stage) + "\n");
        break;
    case ProgressStyle::Bar:
    case ProgressStyle::State: Draw(true); break;
    case ProgressStyle::Json: Json("stage"); break;
    }
}

void Progress::SetStageDetail(const std::string& detail) {
    if (!m_active || detail == m_detail) return;
    m_detail = detail;
    switch (m_style) {
    case ProgressStyle::Lines: break;  // a line for each stage is enough there
    case ProgressStyle::Bar:
    case ProgressStyle::State: Draw(true); break;
    case ProgressStyle::Json: Json("progress"); break;
    }
}

void Progress::DataStarted() {
    if (!m_active || m_dataStarted) return;
    m_dataStarted = true;
    m_dataStartMs = m_now();
    m_dataStartDone = m_done;
    m_dataStartPercent = m_percent;
    m_lastMoveMs = m_dataStartMs;
}

void Progress::Update(double percent, std::uint64_t done) {
    if (!m_active) return;
    percent = std::clamp(percent, 0.0, 100.0);
    const std::uint64_t now = m_now();
    if (!m_dataStarted && (done > 0 || percent > 0)) {
        // Nobody said when the data began: it counts from the first unit
        // that moved, so a wait before the data does not lower the rate.
        m_dataStarted = true;
        m_dataStartMs = now;
        m_dataStartDone = done;
        m_dataStartPercent = percent;
    }
    if (done > m_done || percent > m_percent) m_lastMoveMs = now;
    m_percent = percent;
    m_done = done;
    Draw(false);
}

double Progress::DataRate() const {
    if (!m_dataStarted || m_lastMoveMs <= m_dataStartMs) return 0;
    return static_cast<double>(m_done - std::min(m_done, m_dataStartDone)) * 1000.0 /
           static_cast<double>(m_lastMoveMs - m_dataStartMs);
}

std::uint64_t Progress::DataMs() const { return m_dataStarted ? m_lastMoveMs - m_dataStartMs : 0; }

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

std::string Progress::FormatRate(double rate, const std::string& unit) {
    char r[64];
    if (unit == "bytes") {
        if (rate >= 1e6)
            std::snprintf(r, sizeof r, "%.2f MB/s", rate / 1e6);
        else if (rate >= 1e3)
            std::snprintf(r, sizeof r, "%.1f kB/s", rate / 1e3);
        else
            std::snprintf(r, sizeof r, "%.0f B/s", rate);
    } else {
        std::snprintf(r, sizeof r, rate >= 100 ? "%.0f %s/s" : "%.1f %s/s", rate, unit.c_str());
    }
    return r;
}

std::string Progress::FormatBar(double percent, std::uint64_t done, std::uint64_t total,
                                const std::string& unit, double rate, double leftMs,
                                const std::string& stage, int columns) {
    const std::size_t room = static_cast<std::size_t>(std::max(columns, 2) - 1);
    char pct[16];
    std::snprintf(pct, sizeof pct, "%5.1f%%", percent);
    std::string counts = std::to_string(done);
    if (total) counts += "/" + std::to_string(total);
    counts += " " + unit;
    const std::string left = "left " + FormatDuration(leftMs);
    const std::string speed = rate > 0 ? FormatRate(rate, unit) : std::string();
    // What follows the bar, from everything down to the percentage alone;
    // the first three with the bar, the others without it.
    const std::vector<std::vector<std::string>> tails = {
        {pct, counts, stage, speed, left}, {pct, counts, stage, left}, {pct, counts, left},
        {pct, counts, left}, {pct, left}, {pct}};
    constexpr std::size_t kTailsWithBar = 3;
    for (std::size_t i = 0; i < tails.size(); ++i) {
        std::string t;
        for (const auto& part : tails[i])
            if (!part.empty()) t += (t.empty() ? "" : "  ") + part;
        if (i >= kTailsWithBar) {
            if (t.size() <= room) return t;
            continue;
        }
        const std::size_t framed = t.size() + 3;  // "[", "] "
        if (framed >= room || room - framed < static_cast<std::size_t>(kBarMinWidth)) continue;
        const int width = static_cast<int>(std::min<std::size_t>(kBarMaxWidth, room - framed));
        std::string bar(static_cast<std::size_t>(width), ' ');
        const int filled = std::clamp(static_cast<int>(percent / 100.0 * width), 0, width);
        std::fill_n(bar.begin(), filled, '#');
        return "[" + bar + "] " + t;
    }
    return std::string(pct).substr(0, room);
}

void Progress::Draw(bool force) {
    const std::uint64_t now = m_now();
    // While it runs the rate counts to now, so a stall shows; at the end,
    // to the last unit (not the wait for the port to close).
    const bool final = !m_active || m_percent >= 100.0;
    double rate = 0;
    double leftMs = -1;
    if (m_dataStarted && now > m_dataStartMs) {
        const double elapsed = static_cast<double>(now - m_dataStartMs);
        rate = final ? DataRate()
                     : static_cast<double>(m_done - std::min(m_done, m_dataStartDone)) * 1000.0 / elapsed;
        const double pctRate = (m_percent - m_dataStartPercent) / elapsed;
        if (pctRate > 0) leftMs = (100.0 - m_percent) / pctRate;
    }
    if (m_percent >= 100.0) leftMs = 0;
    switch (m_style) {
    case ProgressStyle::Bar: {
        if (!force && m_drawn && now - m_lastDrawMs < 100) return;
        m_lastDrawMs = now;
        m_drawn = true;
        const int columns = TerminalColumns(m_out);
        const std::string bar = FormatBar(m_percent, m_done, m_total, m_unit, rate, leftMs,
                                          EscapeControls(m_detail.empty() ? m_stage : m_stage + " " + m_detail),
                                          columns > 0 ? columns : kDefaultColumns);
        Out(EraseLine() + bar);
        m_lineLength = bar.size();
        return;
    }
    case ProgressStyle::State: {
        if (!force && m_drawn && now - m_lastDrawMs < 100) return;
        m_lastDrawMs = now;
        m_drawn = true;
        if (!onState) return;
        ProgressState s;
        s.active = m_active;
        s.title = m_title;
        s.stage = m_detail.empty() ? m_stage : m_stage + " " + m_detail;
        s.unit = m_unit;
        s.percent = m_percent;
        s.done = m_done;
        s.total = m_total;
        s.rate = rate;
        s.leftMs = leftMs;
        onState(s);
        return;
    }
    case ProgressStyle::Json:
        // An object when the count moved, at most ten a second.
        if (!force && (now - m_lastDrawMs < 100 || (m_done == m_jsonDone && m_percent == m_jsonPercent)))
            return;
        m_lastDrawMs = now;
        m_jsonDone = m_done;
        m_jsonPercent = m_percent;
        Json("progress");
        return;
    case ProgressStyle::Lines: {
        // A line at each tenth of the way; the last one is written by End().
        const int tenth = static_cast<int>(m_percent / 10.0);
        if (!force && (tenth == m_lastTenth || tenth < 1 || tenth >= 10)) return;
        m_lastTenth = tenth;
        std::string counts = std::to_string(m_done);
        if (m_total) counts += "/" + std::to_string(m_total);
        const std::string speed = rate > 0 ? ", " + FormatRate(rate, m_unit) : std::string();
        char text[256];
        std::snprintf(text, sizeof text, "progress %5.1f%% (%s %s%s, left %s)\n", m_percent,
                      counts.c_str(), m_unit.c_str(), speed.c_str(), FormatDuration(leftMs).c_str());
        Out(text);
        return;
    }
    }
}

void Progress::Json(const char* event) {
    const std::uint64_t now = m_now();
    const bool end = std::string(event) == "end";
    double rate = end || m_percent >= 100.0 ? DataRate() : 0;
    if (!end && m_percent < 100.0 && m_dataStarted && now > m_dataStartMs)
        rate = static_cast<double>(m_done - std::min(m_done, m_dataStartDone)) * 1000.0 /
               static_cast<double>(now - m_dataStartMs);
    nlohmann::ordered_json j = jsonFields.is_object() ? jsonFields : nlohmann::ordered_json::object();
    j["event"] = event;
    j["title"] = JsonText(m_title);
    j["stage"] = JsonText(m_stage);
    if (!m_detail.empty()) j["stage_detail"] = JsonText(m_detail);
    j["done"] = m_done;
    j["total"] = m_total;
    j["unit"] = m_unit;
    j["percent"] = JsonTenth(m_percent);
    j["rate"] = JsonTenth(rate);
    j["rate_unit"] = m_unit + "/s";
    j["elapsed_ms"] = now - m_startMs;
    if (end) j["data_ms"] = DataMs();
    Out(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void Progress::Clear() {
    if (m_style == ProgressStyle::Bar && m_drawn) {
        WriteOut(m_out, EraseLine());
        m_drawn = false;
    }
}

void Progress::End() {
    if (!m_active) return;
    switch (m_style) {
    case ProgressStyle::Bar:
        if (m_drawn || m_percent > 0) {
            m_active = false;
            Draw(true);
            Out("\n");
        }
        break;
    case ProgressStyle::Lines:
        if (m_percent > 0) {
            m_active = false;
            Draw(true);
        }
        break;
    case ProgressStyle::Json: Json("end"); break;
    case ProgressStyle::State:
        m_active = false;
        Draw(true);
        break;
    }
    m_active = false;
    m_drawn = false;
}

} // namespace quillet::cli
