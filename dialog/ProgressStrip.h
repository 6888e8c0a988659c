// The strip below the dialog's controls: how far a counted flow has come,
// at what rate and how long it still needs, as one line:
//   "1,234 of 24,300 blocks · 41.2 blocks/s · 9 min 20 s left".
// Fed with the dialog's snapshot of the flow and the time; the rate is the
// flow's own since its first counted unit was seen, so it settles as the
// flow goes on. Empty while no counted flow runs.
//
// What slows the flows on the port (an FTDI adapter's latency timer left
// above 1 ms, see serial/AdapterLatency.h) is told on a line of its own
// below, from the start of a flow that writes to the instrument to its
// end: the operator sees it while waiting, nothing stops the upload, and
// the dialog's own texts stay as they are. The front end says where that
// advice comes from; the strip asks once as each such flow starts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/FlowEvents.h"

namespace quillet {

class ProgressStrip {
public:
    // Follows `flow` at `nowMs`; true when the line changed.
    bool Update(const FlowSnapshot& flow, std::uint64_t nowMs);
    const std::string& Text() const { return m_text; }
    // The advice for the port a flow runs on ("" when none); asked when a
    // flow starts writing to the instrument.
    void SetAdviceSource(std::function<std::string()> source) { m_adviceSource = std::move(source); }

private:
    std::string Line(const FlowSnapshot& flow, std::uint64_t nowMs) const;
    void FollowWriting(const FlowSnapshot& flow);

    FlowKind m_kind = FlowKind::None;
    std::uint64_t m_total = 0;
    std::uint64_t m_startDone = 0;
    std::uint64_t m_startMs = 0;
    std::string m_text;
    std::function<std::string()> m_adviceSource;
    bool m_writing = false;  // the flow under way writes to the instrument
    std::string m_advice;    // told while it does
};

// 24300 -> "24,300".
std::string GroupThousands(std::uint64_t n);
// Seconds as the strip says them: "45 s", "9 min 20 s", "1 h 5 min".
std::string SpokenDuration(std::uint64_t seconds);

} // namespace quillet
