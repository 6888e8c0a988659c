// Network ports: an instrument behind a serial device server (ser2net and
// the like) is named by a URL where a device path would stand.
//
//   rfc2217://HOST:PORT   RFC 2217 (telnet COM-PORT-OPTION): the program sets
//                         the server's line (speed, size, parity, stop bits)
//   socket://HOST:PORT    raw TCP: the line is as the server was set up
//
// HOST is a name, an IPv4 address or an IPv6 address in brackets
// ([::1]:7001). Anything else with "://" in it is a malformed URL.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillet {

struct NetAddress {
    enum class Kind { Rfc2217, Socket };
    Kind kind = Kind::Socket;
    std::string host;  // without brackets
    std::uint16_t port = 0;

    // "rfc2217://[::1]:7001" as written back.
    std::string Url() const;
    // "[::1]:7001" / "lab-server:7001": how messages name the server.
    std::string HostPort() const;
};

// True when `text` is written as a URL (it has "://"): it is a network port,
// or a malformed one, never a device path.
bool IsNetUrl(const std::string& text);

struct NetAddressParse {
    std::optional<NetAddress> address;  // set when the URL is well formed
    std::string error;                  // otherwise what is wrong with it, naming it
};

NetAddressParse ParseNetAddress(const std::string& url);

// The first malformed URL among the entries of a comma-separated port list,
// as a usage error; empty when every URL in it is well formed.
std::string PortListProblem(const std::string& commaSeparatedPorts);

} // namespace quillet
