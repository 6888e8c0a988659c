// Command line of quillet-cli: global options, the command and its own
// options and operands.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillet::cli {

struct Args {
    std::string command;                 // empty when none was given
    std::vector<std::string> operands;   // words after the command that are not options
    std::optional<std::string> ports;    // --ports LIST
    unsigned timeoutMs = 10000;          // --timeout S
    bool verbose = false;                // -v / --verbose
    bool help = false;                   // -h / --help
    std::optional<std::string> kind;     // --kind KIND
    std::optional<int> slot;             // --slot N
    bool direct = false;                 // --direct
    bool verify = false;                 // --verify
};

// Parses argv[1..]. Global and command options may appear anywhere. Returns
// an empty string on success, otherwise what was wrong (a usage error).
std::string ParseArgs(const std::vector<std::string>& argv, Args& out);

// Checks that the command exists and that its operands and options fit it.
std::string CheckCommand(const Args& args);

// The usage text listing every command.
std::string UsageText();

// Decimal integer with nothing else around it.
bool ParseInteger(const std::string& text, long long& value);

} // namespace quillet::cli
