// SPDX-License-Identifier: Apache-2.0
// The Win32 dialog's book of flow timers against a model of the system's
// window timers: the flow must see its ticks when it would with every
// SetTimer passed to the system, while re-arms at the same interval cost
// no system call.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "win/TimerBook.h"

namespace quillet::win {
namespace {

constexpr unsigned kWatchId = 7;
constexpr unsigned kWatchMs = 5000;
constexpr unsigned kTickId = 3;
constexpr unsigned kTickMs = 250;

// One system timer per id, firing every `period` ms from when it was set;
// it counts the calls to the system and records the ticks the flow saw.
class TimerModel {
public:
    void Arm(unsigned id, unsigned ms) {
        if (m_book.Arm(id, ms, m_now)) SetSystem(id, ms);
    }
    void Kill(unsigned id) {
        m_book.Kill(id);
        m_system.erase(id);
    }
    // Advances the clock one millisecond at a time to `untilMs`, firing
    // the system timers that come due.
    void RunTo(std::uint64_t untilMs) {
        while (m_now < untilMs) {
            ++m_now;
            for (auto& [id, timer] : m_system) {
                if (m_now < timer.nextMs) continue;
                timer.nextMs = m_now + timer.periodMs;
                const TimerBook::Tick tick = m_book.OnSystemTick(id, m_now);
                if (tick.setMs) SetSystem(id, tick.setMs);
                if (tick.deliver) ticks.push_back({id, m_now});
            }
        }
    }
    std::uint64_t Now() const { return m_now; }

    struct Seen {
        unsigned id;
        std::uint64_t atMs;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> ticks;
    int systemSets = 0;

private:
    struct System {
        unsigned periodMs;
        std::uint64_t nextMs;
    };
    void SetSystem(unsigned id, unsigned ms) {
        ++systemSets;
        m_system[id] = {ms, m_now + ms};
    }
    TimerBook m_book;
    std::map<unsigned, System> m_system;
    std::uint64_t m_now = 1000;
};

TEST(TimerBook, WatchReArmedAfterEveryBlockTicksOnceItsTimeHasPassedSinceTheLast) {
    TimerModel m;
    // An upload: the watch set again every 2 ms for 12 s, far past its 5 s.
    const std::uint64_t start = m.Now();
    for (std::uint64_t t = start; t < start + 12000; t += 2) {
        m.RunTo(t);
        m.Arm(kWatchId, kWatchMs);
    }
    const std::uint64_t lastArm = m.Now();
    EXPECT_TRUE(m.ticks.empty());
    // The system timer was set at the start and, each time it fired
    // early, for the rest: a handful of calls, not one per block.
    EXPECT_LE(m.systemSets, 4);

    // The blocks stop: the flow is told once the watch's time has passed
    // since the last re-arm, and then every interval as the system would.
    m.RunTo(lastArm + 3 * kWatchMs);
    ASSERT_GE(m.ticks.size(), 2u);
    EXPECT_EQ(m.ticks[0], (TimerModel::Seen{kWatchId, lastArm + kWatchMs}));
    EXPECT_EQ(m.ticks[1], (TimerModel::Seen{kWatchId, lastArm + 2 * kWatchMs}));
}

TEST(TimerBook, PeriodicTicksKeepTheirPaceAndOtherIntervalsOrKillsGoToTheSystem) {
    TimerModel m;
    const std::uint64_t start = m.Now();
    m.Arm(kTickId, kTickMs);
    m.RunTo(start + 4 * kTickMs);
    ASSERT_EQ(m.ticks.size(), 4u);
    for (std::size_t i = 0; i < m.ticks.size(); ++i)
        EXPECT_EQ(m.ticks[i], (TimerModel::Seen{kTickId, start + (i + 1) * kTickMs}));
    EXPECT_EQ(m.systemSets, 1);

    // Another interval is passed on at once, and counts from now.
    m.ticks.clear();
    const std::uint64_t changed = m.Now();
    m.Arm(kTickId, kWatchMs);
    EXPECT_EQ(m.systemSets, 2);
    m.RunTo(changed + kWatchMs);
    EXPECT_EQ(m.ticks, (std::vector<TimerModel::Seen>{{kTickId, changed + kWatchMs}}));

    // After a kill nothing ticks; the same interval set again goes to the
    // system as a new timer.
    m.ticks.clear();
    m.Kill(kTickId);
    m.RunTo(m.Now() + 2 * kWatchMs);
    EXPECT_TRUE(m.ticks.empty());
    const std::uint64_t again = m.Now();
    m.Arm(kTickId, kWatchMs);
    EXPECT_EQ(m.systemSets, 3);
    m.RunTo(again + kWatchMs);
    EXPECT_EQ(m.ticks, (std::vector<TimerModel::Seen>{{kTickId, again + kWatchMs}}));
}

TEST(TimerBook, TimersNotInTheBookAndLateTicksAreDeliveredAsTheyCome) {
    TimerBook book;
    // An id the book never armed (a timer of the dialog's own).
    const TimerBook::Tick foreign = book.OnSystemTick(kTickId, 1000);
    EXPECT_TRUE(foreign.deliver);
    EXPECT_EQ(foreign.setMs, 0u);

    // Re-armed, but the system's tick comes only after the new due time
    // (a busy message loop): the flow is told at once.
    EXPECT_TRUE(book.Arm(kWatchId, kWatchMs, 0));
    EXPECT_FALSE(book.Arm(kWatchId, kWatchMs, 100));
    const TimerBook::Tick late = book.OnSystemTick(kWatchId, 100 + kWatchMs + 30);
    EXPECT_TRUE(late.deliver);
    EXPECT_EQ(late.setMs, 0u);
}

} // namespace
} // namespace quillet::win
