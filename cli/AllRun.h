// --all and --watch: a command run on every instrument at once.
//
// Every port of the map is searched on its own, each by a session of its
// own (dialog, serial link, event loop, timers, data folder) on a thread
// of its own, with a port map that holds that one port; where the search
// finds the instrument the flow goes on there. Nothing of one session is
// seen by another: a port that fails, stalls or goes away ends its own run.
// With --watch the ports are looked at again and again, and an instrument
// that appears (a new entry of the system's map, or an entry of an explicit
// map that starts to exist) is served too; one that stays after its run is
// served again only once it has gone away and come back.
#pragma once

#include <functional>
#include <string>

#include "cli/Session.h"

namespace quillet::cli {

struct AllRunPlan {
    std::string command;               // for the final objects ("pattern")
    SessionOptions base;               // what every session gets (its map is the one searched)
    std::function<int(Session&)> flow; // the command's flow on one session
    bool watch = false;
    unsigned pollMs = 250;             // --watch: how often the ports are looked at
};

// Runs the command; the exit code is 0 when every instrument's run was
// done, otherwise the worst of them (1 failed < 3 timed out < 130
// interrupted); 1 with the not-found message when no port had an
// instrument (without --watch).
int RunOnAll(const AllRunPlan& plan);

} // namespace quillet::cli
