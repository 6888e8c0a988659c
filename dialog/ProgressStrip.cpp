#include "dialog/ProgressStrip.h"

#include <cstdio>

namespace quillet {

namespace {

// A rate is told once the flow has run this long and counted a unit; before
// that it would swing wildly.
constexpr std::uint64_t kMinRateMs = 1000;
constexpr std::uint64_t kMsPerSecond = 1000;
constexpr std::uint64_t kSecondsPerMinute = 60;
constexpr std::uint64_t kSecondsPerHour = 3600;
// Rates from this many units a second on are told without a decimal.
constexpr double kWholeRateFrom = 100.0;
constexpr const char* kSeparator = " \xC2\xB7 ";  // a middle dot between blanks

std::string RateText(double perSecond, const std::string& unit) {
    if (perSecond >= kWholeRateFrom)
        return GroupThousands(static_cast<std::uint64_t>(perSecond + 0.5)) + " " + unit + "/s";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", perSecond);
    return std::string(text) + " " + unit + "/s";
}

} // namespace

std::string GroupThousands(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped.push_back(',');
        grouped.push_back(digits[i]);
    }
    return grouped;
}

std::string SpokenDuration(std::uint64_t seconds) {
    const std::uint64_t hours = seconds / kSecondsPerHour;
    const std::uint64_t minutes = seconds % kSecondsPerHour / kSecondsPerMinute;
    const std::uint64_t secs = seconds % kSecondsPerMinute;
    if (hours > 0) return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    if (minutes > 0) return std::to_string(minutes) + " min " + std::to_string(secs) + " s";
    return std::to_string(secs) + " s";
}

bool ProgressStrip::Update(const FlowSnapshot& flow, std::uint64_t nowMs) {
    // A new flow (or the same kind started again) starts its own count.
    if (flow.kind != m_kind || flow.total != m_total || flow.done < m_startDone) {
        m_kind = flow.kind;
        m_total = flow.total;
        m_startDone = flow.done;
        m_startMs = nowMs;
    }
    FollowWriting(flow);
    std::string line = flow.Running() && flow.total > 0 ? Line(flow, nowMs) : std::string();
    if (!m_advice.empty()) line += (line.empty() ? "" : "\n") + m_advice;
    if (line == m_text) return false;
    m_text = std::move(line);
    return true;
}

// A flow that writes (the erase wait, the stream after it, the bootloader
// exchange) asks for the port's advice as it starts; it holds to the end.
void ProgressStrip::FollowWriting(const FlowSnapshot& flow) {
    const bool writing = flow.Running() && flow.writing;
    if (writing && !m_writing) m_advice = m_adviceSource ? m_adviceSource() : std::string();
    if (!flow.Running()) m_advice.clear();
    m_writing = writing;
}

std::string ProgressStrip::Line(const FlowSnapshot& flow, std::uint64_t nowMs) const {
    std::string line = GroupThousands(flow.done) + " of " + GroupThousands(flow.total) + " " + flow.unit;
    const std::uint64_t elapsedMs = nowMs - m_startMs;
    const std::uint64_t counted = flow.done - m_startDone;
    if (elapsedMs < kMinRateMs || counted == 0) return line;
    const double perSecond = static_cast<double>(counted) * kMsPerSecond / static_cast<double>(elapsedMs);
    line += kSeparator + RateText(perSecond, flow.unit);
    if (flow.done >= flow.total) return line;
    const double left = static_cast<double>(flow.total - flow.done) / perSecond;
    line += kSeparator + SpokenDuration(static_cast<std::uint64_t>(left + 0.5)) + " left";
    return line;
}

} // namespace quillet
