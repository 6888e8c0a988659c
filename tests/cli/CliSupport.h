// Running quillet-cli and quillet-sim as programs from the tests: temporary
// folders, a child process with its output captured and a time limit, and
// files written and decoded by Debian's Pillow (an outside BMP encoder).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillet::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

struct RunResult {
    int code = -1;           // exit code; -1 when killed or not started
    bool timedOut = false;
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs `program` with `args` in `cwd` (empty: the current one), at most
// `limitSeconds`. With `stderrTerminal` its stderr is a pseudo-terminal.
// With `uid` 0 or more the child takes that user and group id first (a
// test run as root tries what an operator without root meets). `started`
// is called with the child's process id once it runs (to signal it later
// from a thread of the test's own).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd = "", double limitSeconds = 60,
                     bool stderrTerminal = false, int uid = -1,
                     const std::function<void(int pid)>& started = {});
RunResult RunCli(const std::vector<std::string>& args, const std::string& cwd = "",
                 double limitSeconds = 60, bool stderrTerminal = false);

// quillet-cli running in the background (--watch): its output so far, a
// signal, and its end.
class CliProgram {
public:
    CliProgram(const std::vector<std::string>& args, const std::string& cwd = "");
    ~CliProgram();  // SIGKILL if still running
    // Reads what has come so far (stdout, stderr).
    void Poll();
    const std::string& Out() const { return m_result.out; }
    const std::string& Err() const { return m_result.err; }
    // Waits until `pred` holds of the output, at most `seconds`.
    bool WaitForOutput(const std::function<bool()>& pred, double seconds);
    void Signal(int sig);
    // Waits at most `seconds` for the end (then SIGKILL); the result.
    RunResult Wait(double seconds);

private:
    int m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    RunResult m_result;
};

// quillet-sim running in the background; its devices are the first
// `count` lines it prints (--count N).
class SimProgram {
public:
    explicit SimProgram(const std::vector<std::string>& args, std::size_t count = 1);
    ~SimProgram();  // SIGTERM, then wait
    const std::string& Device() const { return m_device; }
    const std::vector<std::string>& Devices() const { return m_devices; }
    // The devices as a --ports list.
    std::string PortList() const;
    // Stops the program and returns what it wrote on stderr.
    std::string Stop();

private:
    int m_pid = -1;
    int m_errFd = -1;
    std::string m_device;
    std::vector<std::string> m_devices;
    std::string m_err;
};

std::vector<std::uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
// RGB565, high byte first, of raw RGB pixels (as the panel slot stores them).
std::vector<std::uint8_t> Rgb565(const std::vector<std::uint8_t>& rgb);
std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed);
bool HavePillow();
// Writes a random RGB image as a 24-bit BMP with Pillow, and its pixels as
// raw RGB rows top to bottom beside it (path + ".rgb").
bool PillowRandomBmp(const std::string& path, int width, int height, int seed);
// Decodes any image Pillow reads into raw RGB rows top to bottom.
bool PillowDecodeRgb(const std::string& image, const std::string& rgbOut);
// Waits until `pred` holds, at most `seconds`.
bool WaitFor(const std::function<bool()>& pred, double seconds);

} // namespace quillet::test
