// Command line of quillet-cli: global options, the command and its own
// options and operands. One table of commands and options gives the
// parsing, the help texts (and through them the man page) and the bash
// completion.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillet::cli {

struct Args {
    std::string command;                 // empty when none was given
    std::vector<std::string> operands;   // words after the command that are not options
    std::optional<std::string> ports;    // --ports LIST, or -p/--port DEVICE as a one-entry list
    unsigned timeoutMs = 10000;          // --timeout S
    std::string dataFolder;              // --data DIR (empty: ./data)
    int verbosity = 0;                   // -v (1), -vv or --trace (2), -vvv (3)
    std::string logFile;                 // --log FILE: the trace goes there
    bool help = false;                   // -h / --help
    bool version = false;                // --version
    bool json = false;                   // --json
    std::optional<std::string> kind;     // --kind KIND
    std::optional<int> slot;             // --slot N
    bool direct = false;                 // --direct
    bool verify = false;                 // --verify
    bool fast = false;                   // mcu --fast
    bool all = false;                    // --all
    bool watch = false;                  // --watch (with --all)
    unsigned expect = 0;                 // --expect N (with --all): fewer instruments served fail the run
    unsigned baud = 0;                   // demo --baud N (0: the simulator answers at once)

    bool operator==(const Args&) const = default;
};

// The environment as the parser reads it (std::getenv in the program).
using Environment = std::function<const char*(const char*)>;

// Parses argv[1..]. Global and command options may appear anywhere. The
// environment gives defaults: QUILLET_PORT for -p, QUILLET_TIMEOUT for
// --timeout, QUILLET_DATA for --data. Returns an empty string on success, otherwise what was wrong
// (a usage error).
std::string ParseArgs(const std::vector<std::string>& argv, Args& out, const Environment& env);

// An option as the table of options lists it; the parser applies every
// option of that table, and no other.
struct OptionName {
    const char* shortName;  // "-p", or nullptr when it has none
    const char* longName;   // "--port"
    const char* value;      // placeholder of its value ("DEVICE"), or nullptr for a flag
};
// Every option, global ones first, in the order the help lists them.
std::vector<OptionName> OptionNames();

// Checks that the command exists and that its operands and options fit it.
std::string CheckCommand(const Args& args);

// The usage text listing every command.
std::string UsageText();
// The help text of one command; empty when there is no such command.
std::string CommandHelp(const std::string& command);
// The bash completion script for quillet-cli.
std::string BashCompletion();
// The command names, in the order the help lists them.
std::vector<std::string> CommandNames();

// Decimal integer with nothing else around it.
bool ParseInteger(const std::string& text, long long& value);

} // namespace quillet::cli
