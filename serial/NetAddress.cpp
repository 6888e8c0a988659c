// Parsing of rfc2217:// and socket:// port URLs (see NetAddress.h).
#include "serial/NetAddress.h"

#include <algorithm>
#include <cctype>

#include "serial/PortMap.h"

namespace quillet {

namespace {

constexpr const char* kRfc2217Scheme = "rfc2217://";
constexpr const char* kSocketScheme = "socket://";
constexpr const char* kSchemeMark = "://";
constexpr unsigned kMaxTcpPort = 65535;
// Longest host name the resolver takes (RFC 1035).
constexpr std::size_t kMaxHostLength = 253;

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool IsHostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// "%zone" of a link-local address: letters, digits and a few marks.
bool IsZoneChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// The port after the host: digits from 1 to 65535; empty error when good.
std::string ParsePort(const std::string& url, const std::string& digits, std::uint16_t& port) {
    if (digits.empty()) return Quoted(url) + " has no port number after the colon (HOST:PORT)";
    if (digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return Quoted(url) + ": the port must be a number from 1 to 65535, not " + Quoted(digits);
    const unsigned long value = std::stoul(digits);
    if (value < 1 || value > kMaxTcpPort)
        return Quoted(url) + ": the port must be a number from 1 to 65535, not " + digits;
    port = static_cast<std::uint16_t>(value);
    return {};
}

// "[v6]:port"; empty error when good.
std::string ParseBracketed(const std::string& url, const std::string& rest, NetAddress& a) {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return Quoted(url) + ": the IPv6 address has no closing bracket";
    std::string inside = rest.substr(1, close - 1);
    const std::size_t zone = inside.find('%');
    const std::string address = inside.substr(0, zone);
    if (address.empty() || address.find(':') == std::string::npos ||
        !std::all_of(address.begin(), address.end(), IsIpv6Char))
        return Quoted(url) + ": " + Quoted(inside) + " in brackets is no IPv6 address";
    if (zone != std::string::npos &&
        (zone + 1 == inside.size() || !std::all_of(inside.begin() + zone + 1, inside.end(), IsZoneChar)))
        return Quoted(url) + ": the IPv6 address has a malformed zone after %";
    const std::string after = rest.substr(close + 1);
    if (after.empty() || after[0] != ':') return Quoted(url) + " has no port (write [ADDRESS]:PORT)";
    a.host = inside;
    return ParsePort(url, after.substr(1), a.port);
}

} // namespace

std::string NetAddress::Url() const {
    return std::string(kind == Kind::Rfc2217 ? kRfc2217Scheme : kSocketScheme) + HostPort();
}

std::string NetAddress::HostPort() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool IsNetUrl(const std::string& text) { return text.find(kSchemeMark) != std::string::npos; }

NetAddressParse ParseNetAddress(const std::string& url) {
    NetAddressParse result;
    NetAddress a;
    std::string rest;
    if (StartsWith(url, kRfc2217Scheme)) {
        a.kind = NetAddress::Kind::Rfc2217;
        rest = url.substr(std::char_traits<char>::length(kRfc2217Scheme));
    } else if (StartsWith(url, kSocketScheme)) {
        a.kind = NetAddress::Kind::Socket;
        rest = url.substr(std::char_traits<char>::length(kSocketScheme));
    } else {
        const std::size_t mark = url.find(kSchemeMark);
        result.error = Quoted(url) + ": unknown kind of port " +
                       Quoted(mark == std::string::npos ? url : url.substr(0, mark + 3)) +
                       " (rfc2217://HOST:PORT or socket://HOST:PORT)";
        return result;
    }
    // Nothing may follow the port: no path, no options.
    if (rest.find('/') != std::string::npos || rest.find('?') != std::string::npos)
        result.error = Quoted(url) + " has something after the port (only HOST:PORT goes there)";
    else if (!rest.empty() && rest[0] != '[' && std::count(rest.begin(), rest.end(), ':') > 1)
        result.error = Quoted(url) + ": an IPv6 address goes in brackets, as [::1]:7001";
    else if (rest.empty() || rest[0] == ':')
        result.error = Quoted(url) + " names no host";
    else if (rest[0] == '[')
        result.error = ParseBracketed(url, rest, a);
    else if (rest.find(':') == std::string::npos)
        result.error = Quoted(url) + " has no port (write HOST:PORT)";
    else {
        const std::size_t colon = rest.find(':');
        a.host = rest.substr(0, colon);
        if (a.host.size() > kMaxHostLength || !std::all_of(a.host.begin(), a.host.end(), IsHostNameChar))
            result.error = Quoted(url) + ": " + Quoted(a.host) + " is no host name or address";
        else
            result.error = ParsePort(url, rest.substr(colon + 1), a.port);
    }
    if (result.error.empty()) result.address = a;
    return result;
}

std::string PortListProblem(const std::string& commaSeparatedPorts) {
    for (const std::string& entry : PortMap::ParseList(commaSeparatedPorts)) {
        if (!IsNetUrl(entry)) continue;
        const NetAddressParse parsed = ParseNetAddress(entry);
        if (!parsed.address) return "malformed port " + parsed.error;
    }
    return {};
}

} // namespace quillet
