// The strip below the dialog's controls: how far a counted flow has come,
// at what rate and how long it still needs, as one line:
//   "1,234 of 24,300 blocks · 41.2 blocks/s · 9 min 20 s left".
// Fed with the dialog's snapshot of the flow and the time; the rate is the
// flow's own since its first counted unit was seen, so it settles as the
// flow goes on. Empty while no counted flow runs.
#pragma once

#include <cstdint>
#include <string>

#include "engine/FlowEvents.h"

namespace quillet {

class ProgressStrip {
public:
    // Follows `flow` at `nowMs`; true when the line changed.
    bool Update(const FlowSnapshot& flow, std::uint64_t nowMs);
    const std::string& Text() const { return m_text; }

private:
    std::string Line(const FlowSnapshot& flow, std::uint64_t nowMs) const;

    FlowKind m_kind = FlowKind::None;
    std::uint64_t m_total = 0;
    std::uint64_t m_startDone = 0;
    std::uint64_t m_startMs = 0;
    std::string m_text;
};

// 24300 -> "24,300".
std::string GroupThousands(std::uint64_t n);
// Seconds as the strip says them: "45 s", "9 min 20 s", "1 h 5 min".
std::string SpokenDuration(std::uint64_t seconds);

} // namespace quillet
