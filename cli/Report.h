// The one JSON object quillet-cli writes on stdout at the end of a command
// run with --json: what was asked, how it ended and what it did.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace quillet::cli {

// Exit codes.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;
constexpr int kExitInterrupted = 130;  // Ctrl+C, as shells count it (128 + SIGINT)
constexpr int kExitTerminated = 143;   // SIGTERM (128 + 15)
constexpr int kExitHangUp = 129;       // SIGHUP (128 + 1)
inline bool IsInterruptedExit(int code) {
    return code == kExitInterrupted || code == kExitTerminated || code == kExitHangUp;
}

struct Outcome {
    std::string command;          // "pattern", "ports", ...
    int exitCode = kExitDone;
    std::string message;          // what the program said last: the result line or the failure
    unsigned com = 0;             // the port it used (0: none)
    std::string device;
    std::string kind;             // the instrument kind searched for ("generator"); empty: none
    std::uint64_t blocks = 0;     // blocks acknowledged
    std::uint64_t resends = 0;    // blocks sent again on the instrument's request
    std::uint64_t units = 0;      // units of the flow's progress (blocks, pieces, bytes)
    std::string unit;
    std::uint64_t bytesSent = 0;      // on the line
    std::uint64_t bytesReceived = 0;
    double durationS = 0;         // the whole command
    double dataS = 0;             // its data phase
    double rate = 0;              // units per second over the data phase
    nlohmann::ordered_json extra; // fields of the command's own (the port list)
};

// "done", "failed", "timed out", "interrupted".
const char* ResultName(int exitCode);
nlohmann::ordered_json OutcomeJson(const Outcome& outcome);
// Prints the object on one line on stdout.
void PrintOutcome(const Outcome& outcome);

} // namespace quillet::cli
