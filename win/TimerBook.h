// SPDX-License-Identifier: Apache-2.0
// TimerBook: the dialog's window timers as the flows see them, so that
// setting a running timer again to the same interval costs no call to the
// system. The flows re-arm their watch timer after every acknowledgement
// (thousands of times in an upload); under wine every SetTimer is a request
// to wine's server. Here such a re-arm only moves the timer's due time; when
// the system timer fires before that time it is set for the rest and the
// tick is held back, so the flow sees its tick when it would have seen it
// with the re-arm done by the system.
//
// Plain logic on a millisecond clock the caller reads (GetTickCount64 in the
// dialog), so it is tested without windows.
#pragma once

#include <cstdint>
#include <map>

namespace quillet::win {

class TimerBook {
public:
    // The flow sets timer `id` to tick every `ms` from `nowMs`. True when
    // the system timer must be set to `ms`; false when the running one is
    // kept and only its due time moves.
    bool Arm(unsigned id, unsigned ms, std::uint64_t nowMs) {
        auto [at, added] = m_timers.try_emplace(id);
        Timer& t = at->second;
        const bool keep = !added && t.intervalMs == ms;
        t.intervalMs = ms;
        t.dueMs = nowMs + ms;
        t.moved = keep;
        if (!keep) t.systemMs = ms;
        return !keep;
    }

    // The flow has stopped timer `id`.
    void Kill(unsigned id) { m_timers.erase(id); }

    // What to do when the system timer `id` fires at `nowMs`: tell the
    // flow (deliver) or not, and set the system timer to `setMs` first when
    // that is not 0.
    struct Tick {
        bool deliver = true;
        unsigned setMs = 0;
    };
    Tick OnSystemTick(unsigned id, std::uint64_t nowMs) {
        const auto at = m_timers.find(id);
        if (at == m_timers.end()) return {};  // not one of the book's: as it comes
        Timer& t = at->second;
        if (t.moved && nowMs < t.dueMs) {
            t.moved = false;
            t.systemMs = static_cast<unsigned>(t.dueMs - nowMs);
            return {false, t.systemMs};
        }
        t.moved = false;
        t.dueMs = nowMs + t.intervalMs;
        if (t.systemMs == t.intervalMs) return {};
        t.systemMs = t.intervalMs;
        return {true, t.intervalMs};
    }

private:
    struct Timer {
        unsigned intervalMs = 0;  // as the flow set it
        unsigned systemMs = 0;    // as the system timer runs now
        std::uint64_t dueMs = 0;  // the next tick the flow is owed
        bool moved = false;       // re-armed since the system timer was set
    };
    std::map<unsigned, Timer> m_timers;
};

} // namespace quillet::win
