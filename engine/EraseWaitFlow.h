// The erase of a user-pattern slot before its upload: the slot command asks
// the instrument to erase slot n and to echo "cnd 12" once it is done; the
// flow collects the text it sends until a line feed ends a text holding
// "cnd 12", and gives up after the fifty-first one-second tick.
#pragma once

#include <cstdint>
#include <string>

#include "engine/FlowEvents.h"
#include "engine/FlowLink.h"

namespace quillet {

namespace test {
class DialogProbe;
}

class EraseWaitFlow {
public:
    // The host ticks the wait this often.
    static constexpr unsigned kTickMs = 1000;

    explicit EraseWaitFlow(FlowLink& link) : m_link(link) {}

    // Sends the slot command of `slot` (1..4) and starts the wait and its
    // tick (FlowTimer::EraseTick); the tick stops when the wait ends.
    void Begin(int slot);
    bool Waiting() const { return m_ticks != 0; }
    // Ticks counted since the wait began (1 at its start).
    int Ticks() const { return m_ticks; }
    // A byte from the instrument: true when it confirmed the erase (the
    // wait is over).
    bool OnByte(std::uint8_t b);
    enum class Tick {
        Idle,      // no wait: the tick may stop
        Waiting,   // counted
        TimedOut,  // the instrument did not confirm the erase in time
    };
    Tick OnTick();
    // Ends a wait under way; nothing when none is.
    void Stop();
    // Forgets the wait without a word (the dialog's start).
    void Reset() { m_ticks = 0; }

    // The flow while it waits, for the upload to slot `slot`.
    static FlowSnapshot Snapshot(int slot);
    static std::string TimeoutText();

private:
    friend class test::DialogProbe;

    FlowLink& m_link;
    int m_ticks = 0;     // 0: not waiting
    std::string m_echo;  // the instrument's text since the slot command
};

} // namespace quillet
