// State of the device search (the eight search buttons and timer 4).
#pragma once

#include <cstdint>
#include <string>

namespace quillet {

struct SearchState {
    std::uint8_t frame[10] = {};  // search frame built by the last search, re-sent on every port
    int inProgress = 0;           // 1 while a search waits for a reply; routes received bytes
    int deviceFound = 0;          // 1 once a complete search reply has matched
    unsigned savedPort = 1;       // port number current when the search started
    // Ports of the scan that were refused for a reason the operator can
    // mend: the first such problem of each kind, told after the scan found
    // nothing (each hint once, however many ports it concerns).
    std::string deniedProblem;    // no permission
    std::string otherProblem;     // no serial port, set-up failed
};

} // namespace quillet
