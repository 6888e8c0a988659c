// The URLs of network ports: what is taken, and the usage error for each way
// of writing one wrongly.
#include <gtest/gtest.h>

#include "serial/NetAddress.h"

namespace quillet {
namespace {

TEST(NetAddress, HostNamesIpv4AndBracketedIpv6AreTaken) {
    struct Case {
        const char* url;
        NetAddress::Kind kind;
        const char* host;
        unsigned port;
    } cases[] = {
        {"rfc2217://127.0.0.1:7001", NetAddress::Kind::Rfc2217, "127.0.0.1", 7001},
        {"socket://lab-rack-3.example.org:4001", NetAddress::Kind::Socket, "lab-rack-3.example.org", 4001},
        {"rfc2217://[::1]:7001", NetAddress::Kind::Rfc2217, "::1", 7001},
        {"socket://[fe80::1%eth0]:1", NetAddress::Kind::Socket, "fe80::1%eth0", 1},
        {"rfc2217://localhost:65535", NetAddress::Kind::Rfc2217, "localhost", 65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_TRUE(IsNetUrl(c.url));
        const NetAddressParse p = ParseNetAddress(c.url);
        ASSERT_TRUE(p.address) << p.error;
        EXPECT_EQ(p.address->kind, c.kind);
        EXPECT_EQ(p.address->host, c.host);
        EXPECT_EQ(p.address->port, c.port);
        EXPECT_EQ(p.address->Url(), c.url);
    }
}

TEST(NetAddress, EachMalformedUrlIsNamedWithWhatIsWrong) {
    struct Case {
        const char* url;
        const char* says;
    } cases[] = {
        {"rfc2217://127.0.0.1", "has no port"},
        {"rfc2217://127.0.0.1:", "no port number after the colon"},
        {"socket://host:0", "from 1 to 65535, not 0"},
        {"socket://host:65536", "from 1 to 65535, not 65536"},
        {"socket://host:70x", "from 1 to 65535, not \"70x\""},
        {"tcp://host:7001", "unknown kind of port \"tcp://\""},
        {"net:host:7001://", "unknown kind of port"},
        {"rfc2217://::1:7001", "an IPv6 address goes in brackets"},
        {"rfc2217://[::1:7001", "no closing bracket"},
        {"rfc2217://[::1]", "has no port"},
        {"rfc2217://[host]:7001", "is no IPv6 address"},
        {"rfc2217://:7001", "names no host"},
        {"socket://", "names no host"},
        {"socket://host:7001/path", "something after the port"},
        {"socket://ho st:7001", "is no host name or address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_TRUE(IsNetUrl(c.url));
        const NetAddressParse p = ParseNetAddress(c.url);
        EXPECT_FALSE(p.address);
        EXPECT_NE(p.error.find(c.says), std::string::npos) << p.error;
        EXPECT_NE(p.error.find(c.url), std::string::npos) << p.error;
    }
}

TEST(NetAddress, APortListIsCheckedEntryByEntryAndDevicePathsAreLeftAlone) {
    EXPECT_EQ(PortListProblem("/dev/ttyUSB0,,rfc2217://host:7001,socket://[::1]:7002,COM3"), "");
    EXPECT_FALSE(IsNetUrl("/dev/ttyUSB0"));
    EXPECT_FALSE(IsNetUrl("\\\\.\\COM12"));
    const std::string problem = PortListProblem("/dev/ttyUSB0, socket://host:99999 ,rfc2217://x");
    EXPECT_NE(problem.find("socket://host:99999"), std::string::npos) << problem;
    EXPECT_EQ(problem.find("rfc2217://x"), std::string::npos) << "only the first is told: " << problem;
}

} // namespace
} // namespace quillet
