// The one JSON object quillet-cli writes on stdout at the end of a command
// run with --json: what was asked, how it ended and what it did.
#pragma once

#include <cstdint>
#include <optional>
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

// The version of the JSON objects' layout (docs/json.md): it goes up when a
// field changes its meaning or goes away, not when one is added.
constexpr int kJsonSchemaVersion = 1;

// Why a command failed, for scripts ("error" in the final object).
enum class ErrorCategory {
    None,          // it did not fail
    Usage,         // the command line (exit code 2)
    File,          // the image or firmware file cannot be used
    Port,          // no port to use, or it could not be opened
    NoInstrument,  // no instrument answered the search
    TimeOut,       // the instrument stopped answering
    DeviceGone,    // the port went away under the flow
    Refused,       // the instrument refused, or a check of its answer failed
    Interrupted,   // a signal (Ctrl+C, SIGTERM, SIGHUP)
};
// "usage", "file", "port", "no-instrument", "time-out", "device-gone",
// "refused", "interrupted"; null for None.
const char* ErrorCategoryName(ErrorCategory category);

struct Outcome {
    std::string command;          // "pattern", "ports", ...
    int exitCode = kExitDone;
    ErrorCategory error = ErrorCategory::None;
    std::string message;          // what the program said last: the result line or the failure
    std::string started;          // when the command started (ISO 8601, UTC)
    std::string file;             // the image or firmware file of the flow; empty: none
    std::string fileSha256;       // its SHA-256 (hex); empty when it could not be read
    std::optional<int> slot;      // the pattern or panel slot
    unsigned com = 0;             // the port it used (0: none)
    std::string device;
    std::string usbSerial;        // of the port's USB device, where known
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
// The category an exit code alone tells (usage, time-out, interrupted);
// `otherwise` for the others.
ErrorCategory CategoryOfExit(int exitCode, ErrorCategory otherwise);
nlohmann::ordered_json OutcomeJson(const Outcome& outcome);
// Prints the object on one line on stdout.
void PrintOutcome(const Outcome& outcome);
// Puts the file of the flow (and its SHA-256) and the port's USB serial
// number into the outcome.
void AddFileAndPort(Outcome& outcome, const std::string& file);

// Numbers in the JSON objects, rounded to what they mean: times in whole
// milliseconds, rates and percentages to a tenth.
std::int64_t JsonMs(double seconds);
double JsonTenth(double value);
// Text for a JSON string: line breaks (CR, LF, CR LF) as one blank, the
// other control characters escaped (\x07), so a message is one line.
std::string JsonText(const std::string& text);
// A "message" object of the progress stream, with its line break: `kind`
// is "info", "error", "box" or "result"; `fields` come first (the port of
// one of several).
std::string MessageEvent(const std::string& kind, const std::string& text,
                         const nlohmann::ordered_json& fields = nlohmann::ordered_json::object());
// What a line says with --json: the JSON message object of a line the
// console would get ("quillet-cli: ..." is an error, without the prefix).
std::string MessageEventOfLine(const std::string& line, bool result,
                               const nlohmann::ordered_json& fields = nlohmann::ordered_json::object());

} // namespace quillet::cli
