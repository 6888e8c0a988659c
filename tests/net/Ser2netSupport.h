// A real ser2net (the Debian package) for the tests: a configuration of the
// test's own in its temporary folder, every port bound to 127.0.0.1 only on
// a free port, started in the foreground and stopped by its process id.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace quillet::test {

constexpr const char* kSer2netPath = "/usr/sbin/ser2net";
constexpr auto kSer2netStartLimit = std::chrono::seconds(10);
constexpr auto kSer2netStopLimit = std::chrono::seconds(5);
constexpr auto kSer2netPoll = std::chrono::milliseconds(50);

// A TCP port on 127.0.0.1 that nobody listens on now.
inline unsigned FreeTcpPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    unsigned port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

inline bool Accepts(unsigned port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

class Ser2net {
public:
    struct Port {
        std::string device;  // the serial device ser2net serves (a pty of quillet-sim)
        bool rfc2217 = true; // telnet with the COM port option; else raw TCP
        unsigned tcpPort = 0;
    };

    static bool Installed() { return ::access(kSer2netPath, X_OK) == 0; }

    Ser2net(const std::string& folder, std::vector<Port> ports) : m_ports(std::move(ports)) {
        const std::string config = folder + "/ser2net.yaml";
        {
            std::ofstream out(config);
            int n = 0;
            for (Port& p : m_ports) {
                p.tcpPort = FreeTcpPort();
                out << "connection: &port" << ++n << "\n"
                    << "  accepter: " << (p.rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << p.tcpPort << "\n"
                    << "  connector: serialdev," << p.device << ",115200n81,local\n"
                    << "  options:\n"
                    << "    chardelay: false\n";
            }
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            // Its notes (mdns and the like) are not the test's business.
            const int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::execl(kSer2netPath, kSer2netPath, "-n", "-c", config.c_str(), "-P", (folder + "/ser2net.pid").c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + kSer2netStartLimit;
        while (!AllAccept() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kSer2netPoll);
    }
    ~Ser2net() { Stop(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    bool Ready() const { return m_pid > 0 && AllAccept(); }
    std::string Url(std::size_t i) const {
        return std::string(m_ports[i].rfc2217 ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(m_ports[i].tcpPort);
    }
    // SIGKILL: the server dies without a word, as a crash or a power cut.
    void Kill() { End(SIGKILL); }
    void Stop() { End(SIGTERM); }

private:
    bool AllAccept() const {
        for (const Port& p : m_ports)
            if (!Accepts(p.tcpPort)) return false;
        return true;
    }
    void End(int sig) {
        if (m_pid <= 0) return;
        ::kill(m_pid, sig);
        const auto deadline = std::chrono::steady_clock::now() + kSer2netStopLimit;
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(kSer2netPoll);
        }
        m_pid = -1;
    }

    std::vector<Port> m_ports;
    pid_t m_pid = -1;
};

} // namespace quillet::test
