// --all and --watch: a command run on every instrument at once.
//
// The command's file is checked first, as for one instrument. Then every
// port of the map is searched on its own, each by a session of its own
// (dialog, serial link, event loop, timers, data folder) on a thread of its
// own, with a port map that holds that one port; where the search finds
// the instrument the flow goes on there. A thread is started only for a
// port whose device exists, at most kMaxRunsAtOnce at once, and the port is
// opened before its session is made: one that is busy or refused is told
// as such and gets no session. Nothing of one session is seen by another:
// a port that fails, stalls or goes away ends its own run. Every port of
// the map ends up served or noted as no instrument, busy, permission
// refused or no answer (Board).
// With --watch the ports are looked at again and again, and an instrument
// that appears (a new entry of the system's map, or an entry of an explicit
// map that starts to exist) is served too; one that stays after its run is
// served again only once it has gone away and come back (another device
// node, or the same node made anew).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "cli/Session.h"

namespace quillet::cli {

// At most this many ports are searched or served at once.
inline constexpr std::size_t kMaxRunsAtOnce = 64;

struct AllRunPlan {
    std::string command;               // for the final objects ("pattern")
    SessionOptions base;               // what every session gets (its map is the one searched)
    std::function<int(Session&)> flow; // the command's flow on one session
    bool watch = false;
    unsigned pollMs = 250;             // --watch: how often the ports are looked at
    unsigned expect = 0;               // --expect N: fewer instruments served fail the run
    // Why the command's file cannot be used, as the flow would say it
    // (empty when it can); asked before any port is searched.
    std::function<std::string()> fileRefusal;
    // Adds to an instrument's final object what the command was given (the
    // file and its SHA-256, the slot), from its session.
    std::function<void(Outcome&, Session&)> describe;
};

// Runs the command; the exit code is 0 when every instrument's run was
// done, otherwise the worst of them (1 failed < 3 timed out < 130
// interrupted); at least 1 when a port was busy or refused, or when fewer
// instruments than `expect` were served; 1 with the not-found message when
// no port had an instrument (without --watch); 1 when the file is refused.
int RunOnAll(const AllRunPlan& plan);

} // namespace quillet::cli
