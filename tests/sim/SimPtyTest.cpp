// The simulator over real pseudo-terminals: the library's serving thread,
// the quillet-sim program, and its bootloader against an outside peer
// (Debian's stm32flash).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "protocol/Frame.h"
#include "sim/lib/Simulator.h"

using namespace quillet::sim;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

int OpenRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads until `n` bytes have come or `ms` have passed.
Bytes ReadFor(int fd, std::size_t n, int ms) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0) continue;
        std::uint8_t buf[512];
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0) got.insert(got.end(), buf, buf + r);
    }
    return got;
}

void WriteAll(int fd, const Bytes& b) { ASSERT_EQ(::write(fd, b.data(), b.size()), ssize_t(b.size())); }

const Bytes kSearch{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x57};
const Bytes kReply{0xAB, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x00, 0x00, 0x54};

fs::path TempDir(const std::string& name) {
    fs::path d = fs::path(::testing::TempDir()) / ("quillet_simpty_" + name);
    fs::remove_all(d);
    return d;
}

Bytes ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// quillet-sim as a child process; its devices are the first lines it prints.
class SimProcess {
public:
    bool Start(const std::vector<std::string>& args, std::size_t count = 1) {
        int out[2];
        if (::pipe(out) != 0) return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(QUILLET_SIM_PATH)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(QUILLET_SIM_PATH, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = out[0];
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string line;
        while (devices.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c;
            if (::read(m_out, &c, 1) != 1) break;
            if (c != '\n') {
                line += c;
                continue;
            }
            devices.push_back(line);
            line.clear();
        }
        if (!devices.empty()) device = devices.front();
        return devices.size() == count && !device.empty();
    }
    // SIGTERM and wait; the exit status.
    int Stop() {
        if (m_pid <= 0) return -1;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        ::close(m_out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~SimProcess() { Stop(); }

    std::string device;                // the first
    std::vector<std::string> devices;  // all of them

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

} // namespace

TEST(SimPty, ServesThePtyAcrossReopensAndRecordsWhatCame) {
    const fs::path dir = TempDir("reopen");
    Options opt;
    opt.outputDir = dir.string();
    opt.searchReplyDelayMs = 30;
    Simulator sim(opt);
    const std::string dev = sim.OpenPty();
    ASSERT_FALSE(dev.empty());
    sim.Start();
    for (int round = 0; round < 3; ++round) {
        const int fd = OpenRaw(dev);
        ASSERT_GE(fd, 0);
        const auto t0 = std::chrono::steady_clock::now();
        WriteAll(fd, kSearch);
        EXPECT_EQ(ReadFor(fd, 12, 3000), kReply) << "round " << round;
        // The reply waits for the delay (generous upper margin for a loaded machine).
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
        ::close(fd);
    }
    // A different kind's search is not answered.
    const int fd = OpenRaw(dev);
    WriteAll(fd, Bytes{0xAA, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x56});
    EXPECT_TRUE(ReadFor(fd, 1, 300).empty());
    ::close(fd);
    sim.Stop();

    const Bytes rx = sim.Received();
    ASSERT_EQ(rx.size(), 40u);
    EXPECT_EQ(Bytes(rx.begin(), rx.begin() + 10), kSearch);
    const Summary s = sim.GetSummary();
    EXPECT_EQ(s.searchFrames, 4u);
    EXPECT_TRUE(s.violations.empty());
    ASSERT_EQ(s.filesWritten.size(), 1u);
    const Bytes text = ReadFile(s.filesWritten[0]);
    EXPECT_NE(std::string(text.begin(), text.end()).find("search frames: 4"), std::string::npos);
    fs::remove_all(dir);
}

TEST(SimPty, ProgramOptionsAndSilentInstrument) {
    EXPECT_EQ(std::system((std::string(QUILLET_SIM_PATH) + " --help > /dev/null").c_str()), 0);
    EXPECT_EQ(WEXITSTATUS(std::system((std::string(QUILLET_SIM_PATH) + " --kind toaster 2> /dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(std::system((std::string(QUILLET_SIM_PATH) + " --resend 1,x 2> /dev/null").c_str())), 2);

    const fs::path dir = TempDir("silent");
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--silent", "--out", dir.string()}));
    EXPECT_EQ(sim.device.rfind("/dev/", 0), 0u) << sim.device;
    const int fd = OpenRaw(sim.device);
    ASSERT_GE(fd, 0);
    WriteAll(fd, kSearch);
    EXPECT_TRUE(ReadFor(fd, 1, 400).empty());
    ::close(fd);
    EXPECT_EQ(sim.Stop(), 0);
    const Bytes text = ReadFile(dir / "summary.txt");
    EXPECT_NE(std::string(text.begin(), text.end()).find("search frames: 1"), std::string::npos);
    fs::remove_all(dir);
}

// --count serves independent instruments, each on its own pty and folder;
// options after --instrument K are that one's.
TEST(SimPty, CountServesSeveralInstrumentsEachWithItsOwnOptions) {
    const std::string sim = QUILLET_SIM_PATH;
    EXPECT_EQ(WEXITSTATUS(std::system((sim + " --count 0 2> /dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(std::system((sim + " --count 2 --instrument 3 --silent 2> /dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(std::system((sim + " --count 2 --device /dev/null 2> /dev/null").c_str())), 2);

    const fs::path dir = TempDir("count");
    SimProcess p;
    ASSERT_TRUE(p.Start({"--count", "3", "--out", dir.string(), "--delay", "0", "--instrument", "2", "--silent",
                         "--instrument", "3", "--kind", "analyzer"},
                        3));
    ASSERT_EQ(p.devices.size(), 3u);
    EXPECT_NE(p.devices[0], p.devices[1]);
    EXPECT_NE(p.devices[1], p.devices[2]);
    for (std::size_t k = 0; k < 3; ++k) {
        const int fd = OpenRaw(p.devices[k]);
        ASSERT_GE(fd, 0);
        WriteAll(fd, kSearch);
        // Only the first is a generator that answers.
        EXPECT_EQ(ReadFor(fd, kReply.size(), k == 0 ? 2000 : 300), k == 0 ? kReply : Bytes{}) << "instrument " << k + 1;
        ::close(fd);
    }
    EXPECT_EQ(p.Stop(), 0);
    for (const char* k : {"1", "2", "3"}) {
        const Bytes text = ReadFile(dir / k / "summary.txt");
        const std::string t(text.begin(), text.end());
        EXPECT_NE(t.find("search frames: 1"), std::string::npos) << k << ": " << t;
        EXPECT_NE(t.find(std::string(k) == "3" ? "(analyzer" : "(generator"), std::string::npos) << k << ": " << t;
    }
    fs::remove_all(dir);
}

TEST(SimPty, Stm32flashWritesAndVerifiesThroughTheBootloader) {
    if (std::system("command -v stm32flash > /dev/null 2>&1") != 0) GTEST_SKIP() << "stm32flash is not installed";
    const fs::path dir = TempDir("stm32flash");
    fs::create_directories(dir);
    Bytes image(8192);
    std::mt19937 rng(20240611);
    for (auto& b : image) b = std::uint8_t(rng());
    const fs::path file = dir / "image.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));

    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--boot", "--out", (dir / "out").string()}));
    const std::string cmd = "timeout 60 stm32flash -b 115200 -m 8n1 -w " + file.string() + " -v " + sim.device +
                            " > " + (dir / "stm32flash.log").string() + " 2>&1";
    const int rc = std::system(cmd.c_str());
    EXPECT_EQ(sim.Stop(), 0);
    const Bytes log = ReadFile(dir / "stm32flash.log");
    ASSERT_EQ(WEXITSTATUS(rc), 0) << std::string(log.begin(), log.end());
    EXPECT_NE(std::string(log.begin(), log.end()).find("0x0410"), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "out" / "mcu_flash.bin"), image);
    const Bytes text = ReadFile(dir / "out" / "summary.txt");
    EXPECT_NE(std::string(text.begin(), text.end()).find("violations: 0"), std::string::npos)
        << std::string(text.begin(), text.end());
    fs::remove_all(dir);
}

// --baud paces the line: 100 block frames of 270 bytes, each answered by a
// 13-byte acknowledgement, need 100 x 283 x 10 bits at 115200 baud (2.46 s);
// unpaced they take a few milliseconds.
TEST(SimPty, BaudPacesBlockStreamsAtTheLineRate) {
    EXPECT_EQ(WEXITSTATUS(std::system((std::string(QUILLET_SIM_PATH) + " --baud 0 2> /dev/null").c_str())), 2);
    const fs::path dir = TempDir("baud");
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--baud", "115200", "--out", dir.string()}));
    const int fd = OpenRaw(sim.device);
    ASSERT_GE(fd, 0);
    constexpr int kBlocks = 100;
    std::uint8_t payload[260] = {};
    std::uint8_t frame[270];
    const auto t0 = std::chrono::steady_clock::now();
    for (int n = 0; n < kBlocks; ++n) {
        payload[1] = std::uint8_t(n);
        payload[3] = n == kBlocks - 1 ? 0x40 : 0x00;  // the last block
        payload[4] = std::uint8_t(n * 7);
        ASSERT_EQ(quillet::BuildRequestFrame(frame, {}, {}, 0x7878, payload, 260), sizeof frame);
        WriteAll(fd, Bytes(frame, frame + sizeof frame));
        const Bytes ack = ReadFor(fd, 13, 3000);
        ASSERT_EQ(ack.size(), 13u) << "block " << n;
        ASSERT_EQ(ack[11], 0) << "block " << n;  // accepted
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::close(fd);
    const double lineSeconds = kBlocks * 283 * 10 / 115200.0;
    EXPECT_GE(seconds, 0.95 * lineSeconds) << seconds << " s for " << lineSeconds << " s on the line";
    EXPECT_EQ(sim.Stop(), 0);
    fs::remove_all(dir);
}
