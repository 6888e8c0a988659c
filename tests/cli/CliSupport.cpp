#include "cli/CliSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillet::test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/quillet-cli-test-XXXXXX";
    const char* p = mkdtemp(tmpl);
    m_path = p ? p : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (m_path != "/tmp") std::filesystem::remove_all(m_path, ec);
}

namespace {

using Clock = std::chrono::steady_clock;

// Everything the child needs is made before fork: the child only changes
// directory, moves descriptors and executes.
int Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
          int outFd, int errFd, int uid = -1) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (uid >= 0 && (setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0)) _exit(125);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
}

void ReadSome(int fd, std::string& into, bool& open) {
    char buf[65536];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        into.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;  // EOF, or EIO once a terminal's other side has gone
}

} // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, double limitSeconds, bool stderrTerminal, int uid,
                     const std::function<void(int pid)>& started) {
    RunResult r;
    int outPipe[2];
    int errPair[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return r;
    if (stderrTerminal) {
        int master = -1;
        int slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return r;
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        errPair[0] = master;
        errPair[1] = slave;
    } else if (pipe2(errPair, O_CLOEXEC) != 0) {
        return r;
    }
    const auto start = Clock::now();
    const int pid = Spawn(program, args, cwd, outPipe[1], errPair[1], uid);
    close(outPipe[1]);
    close(errPair[1]);
    if (started && pid > 0) started(pid);
    bool outOpen = true;
    bool errOpen = true;
    const auto deadline = start + std::chrono::milliseconds(static_cast<long>(limitSeconds * 1000));
    int status = 0;
    bool exited = false;
    while (outOpen || errOpen || !exited) {
        if (!exited) {
            const int w = waitpid(pid, &status, WNOHANG);
            if (w == pid) exited = true;
        }
        if (exited && stderrTerminal && !outOpen) {
            // The terminal stays readable until drained; then it gives EIO.
        }
        if (Clock::now() > deadline && !exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            exited = true;
            r.timedOut = true;
        }
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPair[0], POLLIN, 0}};
        if (!outOpen) fds[0].fd = -1;
        if (!errOpen) fds[1].fd = -1;
        if (!outOpen && !errOpen) {
            if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const int n = poll(fds, 2, exited ? 50 : 20);
        if (n == 0 && exited) {
            // Nothing more arrives from a finished child.
            break;
        }
        if (n > 0) {
            if (fds[0].revents) ReadSome(outPipe[0], r.out, outOpen);
            if (fds[1].revents) ReadSome(errPair[0], r.err, errOpen);
        }
    }
    close(outPipe[0]);
    close(errPair[0]);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!r.timedOut && WIFEXITED(status)) r.code = WEXITSTATUS(status);
    return r;
}

RunResult RunCli(const std::vector<std::string>& args, const std::string& cwd,
                 double limitSeconds, bool stderrTerminal) {
    return RunProgram(QUILLET_CLI_PATH, args, cwd, limitSeconds, stderrTerminal);
}

CliProgram::CliProgram(const std::vector<std::string>& args, const std::string& cwd) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
    m_pid = Spawn(QUILLET_CLI_PATH, args, cwd, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    m_outFd = outPipe[0];
    m_errFd = errPipe[0];
    fcntl(m_outFd, F_SETFL, O_NONBLOCK);
    fcntl(m_errFd, F_SETFL, O_NONBLOCK);
}

void CliProgram::Poll() {
    bool open = true;
    if (m_outFd >= 0) ReadSome(m_outFd, m_result.out, open);
    if (m_errFd >= 0) ReadSome(m_errFd, m_result.err, open);
}

bool CliProgram::WaitForOutput(const std::function<bool()>& pred, double seconds) {
    return WaitFor(
        [&] {
            Poll();
            return pred();
        },
        seconds);
}

void CliProgram::Signal(int sig) {
    if (m_pid > 0) kill(m_pid, sig);
}

RunResult CliProgram::Wait(double seconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    int status = 0;
    while (m_pid > 0) {
        Poll();
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            if (WIFEXITED(status)) m_result.code = WEXITSTATUS(status);
            break;
        }
        if (Clock::now() > deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_pid = -1;
            m_result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // What is left in the pipes.
    for (int fd : {m_outFd, m_errFd}) {
        if (fd < 0) continue;
        fcntl(fd, F_SETFL, 0);
        bool open = true;
        while (open) ReadSome(fd, fd == m_outFd ? m_result.out : m_result.err, open);
        close(fd);
    }
    m_outFd = m_errFd = -1;
    return m_result;
}

CliProgram::~CliProgram() { Wait(0); }

SimProgram::SimProgram(const std::vector<std::string>& args, std::size_t count) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return;
    m_pid = Spawn(QUILLET_SIM_PATH, args, "", outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    m_errFd = errPipe[0];
    fcntl(m_errFd, F_SETFL, O_NONBLOCK);
    // The first lines of its output are the devices to open.
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const auto lines = [&] { return static_cast<std::size_t>(std::count(line.begin(), line.end(), '\n')); };
    while (lines() < count && Clock::now() < deadline) {
        pollfd p{outPipe[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char c[256];
            const ssize_t n = read(outPipe[0], c, sizeof c);
            if (n <= 0) break;
            line.append(c, static_cast<std::size_t>(n));
        }
    }
    close(outPipe[0]);
    std::size_t at = 0;
    for (std::size_t end; (end = line.find('\n', at)) != std::string::npos; at = end + 1)
        m_devices.push_back(line.substr(at, end - at));
    if (!m_devices.empty()) m_device = m_devices.front();
    // quillet-sim announces that it keeps the bootloader's parity on its
    // ptys; the programs the test starts take its word for them.
    if (!m_devices.empty() && m_device.rfind("/dev/pts/", 0) == 0) setenv("QUILLET_SIM_PTYS", PortList().c_str(), 1);
}

std::string SimProgram::PortList() const {
    std::string list;
    for (const auto& d : m_devices) list += (list.empty() ? "" : ",") + d;
    return list;
}

std::string SimProgram::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            bool open = true;
            ReadSome(m_errFd, m_err, open);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
    }
    if (m_errFd >= 0) {
        bool open = true;
        while (open) ReadSome(m_errFd, m_err, open);
        close(m_errFd);
        m_errFd = -1;
    }
    return m_err;
}

SimProgram::~SimProgram() { Stop(); }

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

namespace {
bool Python(const std::string& code, const std::vector<std::string>& args) {
    std::vector<std::string> all{"-c", code};
    all.insert(all.end(), args.begin(), args.end());
    const RunResult r = RunProgram(QUILLET_PYTHON, all, "", 60);
    return r.code == 0;
}
} // namespace

bool HavePillow() { return Python("import PIL.Image", {}); }

bool PillowRandomBmp(const std::string& path, int width, int height, int seed) {
    return Python(
        "import sys, random\n"
        "from PIL import Image\n"
        "w, h, seed = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])\n"
        "data = random.Random(seed).randbytes(w * h * 3)\n"
        "Image.frombytes('RGB', (w, h), data).save(sys.argv[1], 'BMP')\n"
        "open(sys.argv[1] + '.rgb', 'wb').write(data)\n",
        {path, std::to_string(width), std::to_string(height), std::to_string(seed)});
}

bool PillowDecodeRgb(const std::string& image, const std::string& rgbOut) {
    return Python(
        "import sys\n"
        "from PIL import Image\n"
        "open(sys.argv[2], 'wb').write(Image.open(sys.argv[1]).convert('RGB').tobytes())\n",
        {image, rgbOut});
}

bool WaitFor(const std::function<bool()>& pred, double seconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::uint8_t> Rgb565(const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
        out.push_back(static_cast<std::uint8_t>((rgb[i] & 0xF8) | (rgb[i + 1] >> 5)));
        out.push_back(static_cast<std::uint8_t>(((rgb[i + 1] & 0x1C) << 3) | (rgb[i + 2] >> 3)));
    }
    return out;
}

} // namespace quillet::test
