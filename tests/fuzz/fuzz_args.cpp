// libFuzzer target for the command line of quillet-cli and the port map:
// the input is split at NUL bytes into the words of argv; a word that
// starts with 0x01 is no argument but sets the environment the parser
// reads (next byte 'P' QUILLET_PORT, 'T' QUILLET_TIMEOUT, 'D'
// QUILLET_DATA, the rest is the value). Each parse is checked for what the
// program relies on afterwards; a list of ports, from --ports or the
// input as a whole, goes through the port map, the words through the
// ordering of the default map; every word and list entry written as a URL
// goes through the network port parser.
//
// Built with -DQUILLET_FUZZ=ON and clang, under ASan/UBSan.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "serial/NetAddress.h"
#include "serial/PortMap.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// The port map's view of `list`: one entry per comma, none with blanks
// around it, every present COM number leading to its entry.
void CheckPortList(const std::string& list) {
    using quillet::PortMap;
    const std::vector<std::string> entries = PortMap::ParseList(list);
    std::size_t commas = 0;
    for (char c : list) commas += c == ',';
    Require(list.empty() ? entries.empty() : entries.size() == commas + 1);
    for (const std::string& e : entries) {
        Require(e.find(',') == std::string::npos);
        if (!e.empty()) {
            Require(e.front() != ' ' && e.front() != '\t');
            Require(e.back() != ' ' && e.back() != '\t');
        }
    }
    const PortMap map = PortMap::FromList(list);
    Require(map.IsExplicit());
    Require(map.DevicePath(0).empty());
    for (const auto& [com, device] : map.Present()) {
        Require(com >= 1 && com <= entries.size());
        Require(!device.empty() && device == entries[com - 1]);
        Require(map.DevicePath(com) == device);
        const PortMap one = map.Only(com);
        Require(one.Present().size() == 1 && one.DevicePath(com) == device);
    }
    Require(map.DevicePath(static_cast<unsigned>(entries.size() + 1)).empty());
}

// A URL either parses to an address that writes back to itself, or gets a
// usage error that quotes it; never both, never neither.
void CheckNetUrl(const std::string& text) {
    using namespace quillet;
    const NetAddressParse parsed = ParseNetAddress(text);
    Require(parsed.address.has_value() == parsed.error.empty());
    if (!parsed.address) {
        Require(parsed.error.find(text) != std::string::npos);
        return;
    }
    const NetAddress& a = *parsed.address;
    Require(!a.host.empty() && a.port >= 1);
    Require(IsNetUrl(a.Url()));
    const NetAddressParse again = ParseNetAddress(a.Url());
    Require(again.address && again.address->host == a.host && again.address->port == a.port &&
            again.address->kind == a.kind);
    Require(a.Url() == text || text.find("[") != std::string::npos || text.find(":0") != std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillet::cli;
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> argv;
    std::map<std::string, std::string> environment;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = input.find('\0', start);
        const std::string word = input.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (word.size() >= 2 && word[0] == '\x01') {
            const char* name = word[1] == 'P' ? "QUILLET_PORT" : word[1] == 'T' ? "QUILLET_TIMEOUT" : "QUILLET_DATA";
            environment[name] = word.substr(2);
        } else {
            argv.push_back(word);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    const Environment env = [&](const char* name) -> const char* {
        const auto it = environment.find(name);
        return it == environment.end() ? nullptr : it->second.c_str();
    };

    Args args;
    const std::string error = ParseArgs(argv, args, env);
    if (error.empty()) {
        Require(args.timeoutMs >= 1 && args.timeoutMs <= 86400000u);
        Require(args.verbosity >= 0 && args.verbosity <= 3);
        Require(!args.slot || (*args.slot >= 1 && *args.slot <= 4));
        if (args.ports) CheckPortList(*args.ports);
        const std::string problem = CheckCommand(args);
        if (problem.empty()) Require(!CommandHelp(args.command).empty());
        if (!args.command.empty()) (void)CommandHelp(args.command);
    }
    long long n = 0;
    for (const std::string& word : argv) {
        (void)ParseInteger(word, n);
        CheckNetUrl(word);
    }
    for (const std::string& entry : quillet::PortMap::ParseList(input))
        if (quillet::IsNetUrl(entry)) CheckNetUrl(entry);
    const std::string listProblem = quillet::PortListProblem(input);
    if (!listProblem.empty()) Require(listProblem.find("://") != std::string::npos);
    CheckPortList(input);
    // The words as names found in /dev: the default map keeps the serial
    // kinds it knows, each as a path under /dev.
    for (const std::string& device : quillet::PortMap::OrderDevices(argv))
        Require(device.rfind("/dev/", 0) == 0 && device.size() > 5);
    return 0;
}
