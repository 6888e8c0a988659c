// SPDX-License-Identifier: Apache-2.0
// quillet-cli as a user meets it in a terminal: the progress line within
// the terminal's width (counted on an emulated screen of a pseudo-terminal
// of that width), names with control characters shown escaped, why a port
// named with -p could not be opened, combined short options, each
// command's own help, completion of files and folders, and plurals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/Args.h"
#include "cli/CliSupport.h"
#include "cli/Progress.h"
#include "serial/PortMap.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

constexpr int kNobody = 65534;
constexpr double kRunLimitSeconds = 60;
constexpr unsigned kLineBaud = 115200;  // long enough an upload for many redraws

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// quillet-cli with its stderr on a pseudo-terminal `columns` wide (0: a
// terminal that does not tell); what it wrote there.
struct PtyRun {
    int code = -1;
    std::string screen;  // the bytes, as the terminal received them
};

PtyRun RunInPty(const std::vector<std::string>& args, unsigned short columns, const std::string& cwd) {
    PtyRun run;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return run;
    std::vector<std::string> all{QUILLET_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        if (::chdir(cwd.c_str()) != 0) _exit(126);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(slave, 2);
        ::execv(all[0].c_str(), argv.data());
        _exit(127);
    }
    ::close(slave);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kRunLimitSeconds);
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > end) ::kill(pid, SIGKILL);
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the program and its terminal side are gone
        run.screen.append(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The rows of a terminal `columns` wide that `text` writes characters on:
// a character in the last column leaves the cursor there until the next
// one wraps it to a new row; "\r" goes back to the first column, "\n" down
// a row, "ESC [ K" erases without moving.
std::size_t RowsWritten(const std::string& text, int columns) {
    std::set<int> rows;
    int row = 0, col = 0;
    bool pendingWrap = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            col = 0;
            pendingWrap = false;
        } else if (c == '\n') {
            ++row;
            pendingWrap = false;
        } else if (c == '\033' && text.compare(i, 3, "\033[K") == 0) {
            i += 2;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {  // one per UTF-8 character
            if (pendingWrap) {
                ++row;
                col = 0;
                pendingWrap = false;
            }
            rows.insert(row);
            if (++col == columns) {
                col = columns - 1;
                pendingWrap = true;
            }
        }
    }
    return rows.size();
}

// ---- the progress line ---------------------------------------------------------

class TerminalProgress : public ::testing::Test {
protected:
    TempDir dir;
    std::string image;

    void SetUp() override {
        // A name with an escape sequence that would turn the terminal red.
        image = dir / "fpga\033[31m-aux.bin";
        WriteFile(image, RandomBytes(100 * 256, 31));
    }
    PtyRun Upload(unsigned short columns) {
        sim::Options o;
        o.outputDir = dir / ("sim" + std::to_string(columns));
        o.baud = kLineBaud;
        std::filesystem::create_directories(o.outputDir);
        sim::Simulator simulator(o);
        const std::string device = simulator.OpenPty();
        EXPECT_FALSE(device.empty());
        simulator.Start();
        PtyRun run = RunInPty({"-p", device, "fpga", "aux", image}, columns, dir.Path());
        simulator.Stop();
        return run;
    }
};

// One upload leaves its title and one progress line, whatever the width.
TEST_F(TerminalProgress, OneUploadLeavesOneProgressLineAtEveryWidth) {
    for (unsigned short columns : {80, 0, 60, 200}) {
        SCOPED_TRACE(columns);
        const PtyRun run = Upload(columns);
        ASSERT_EQ(run.code, 0) << run.screen;
        const std::size_t titleEnd = run.screen.find("\r\n");
        ASSERT_NE(titleEnd, std::string::npos) << run.screen;
        const int width = columns ? columns : cli::kDefaultColumns;
        const std::string bar = run.screen.substr(titleEnd + 2);
        EXPECT_GT(std::count(bar.begin(), bar.end(), '\r'), 3) << "redrawn in place: " << bar;
        // No redraw wraps: one row for each line (the bar, and the line
        // that tells where the generator was found).
        const auto lines = static_cast<std::size_t>(std::count(bar.begin(), bar.end(), '\n'));
        EXPECT_EQ(lines, 2u) << bar;
        EXPECT_EQ(RowsWritten(bar, width), lines) << bar;
        EXPECT_TRUE(Contains(bar, "100.0%")) << bar;
        // Wide enough, nothing gives way; in 60 columns the rate does.
        EXPECT_EQ(Contains(bar, "blocks/s"), width >= 80) << bar;
        EXPECT_TRUE(Contains(bar, "left 0:00")) << bar;
    }
}

TEST_F(TerminalProgress, ControlCharactersInNamesAreShownEscaped) {
    const PtyRun run = Upload(80);
    ASSERT_EQ(run.code, 0) << run.screen;
    EXPECT_FALSE(Contains(run.screen, "\033[31m")) << run.screen;
    EXPECT_TRUE(Contains(run.screen, "fpga\\x1b[31m-aux.bin")) << run.screen;
}

// Off the terminal too: the command line's own messages show a name's
// control characters escaped.
TEST(TerminalText, NamesInMessagesAreShownEscaped) {
    TempDir dir;
    const std::string image = dir / "empty\033[31m.bin";
    WriteFile(image, {});
    const RunResult r = RunCli({"--ports", dir / "absent", "fpga", "aux", image}, dir.Path(), 20);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_FALSE(Contains(r.err, "\033")) << r.err;
    EXPECT_TRUE(Contains(r.err, "empty\\x1b[31m.bin")) << r.err;
}

TEST(TerminalText, EscapingLeavesUtf8AndShowsControls) {
    using cli::EscapeControls;
    EXPECT_EQ(EscapeControls("Müller 図.bmp"), "Müller 図.bmp");
    EXPECT_EQ(EscapeControls("a\tb\nc\x7f"), "a\\x09b\\x0ac\\x7f");
    EXPECT_EQ(EscapeControls("csi \xc2\x9b" "2J"), "csi \\u009b2J");
    EXPECT_EQ(EscapeControls("bad \x9b\xff end \xe2\x82"), "bad \\x9b\\xff end \\xe2\\x82");
}

TEST(TerminalText, BarGivesWayPartByPart) {
    using cli::Progress;
    const auto bar = [](int columns) {
        return Progress::FormatBar(40, 9720, 24300, "blocks", 41.2, 354000, "writing", columns);
    };
    EXPECT_EQ(bar(200), "[############                  ]  40.0%  9720/24300 blocks  writing  41.2 blocks/s  left 5:54");
    for (int columns : {100, 80, 60, 40, 20, 8}) {
        SCOPED_TRACE(columns);
        EXPECT_LT(bar(columns).size(), static_cast<std::size_t>(columns));
        EXPECT_TRUE(Contains(bar(columns), "40.0%"));
    }
    EXPECT_FALSE(Contains(bar(60), "blocks/s"));
    EXPECT_TRUE(Contains(bar(60), "writing"));
    EXPECT_EQ(bar(20), " 40.0%  left 5:54");
}

// ---- why -p failed ----------------------------------------------------------------

TEST(PortReasons, ANamedPortThatCannotBeOpenedIsSaidWhyWithoutVerbose) {
    const std::string missing = "/dev/quillet-no-such-device";
    RunResult r = RunCli({"-p", missing, "search"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, missing + " could not be opened: there is no such device.")) << r.err;

    r = RunCli({"-p", "/dev/null", "search"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, "quillet-cli: /dev/null is not a serial port (it is a device that is no terminal)"))
        << r.err;

    // Another program holds the port (a lock on it, as a second Quillet takes).
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(::flock(slave, LOCK_EX | LOCK_NB), 0);
    r = RunCli({"-p", name, "search"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, std::string(name) + " could not be opened: it is busy")) << r.err;
    ::flock(slave, LOCK_UN);

    // No permission: the reason, and the group hint of the dialog once.
    ::chmod(name, 0);
    r = RunProgram(QUILLET_CLI_PATH, {"-p", name, "search"}, "/tmp", 30, false, ::geteuid() == 0 ? kNobody : -1);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Contains(r.err, std::string(name) + " could not be opened: permission denied.")) << r.err;
    ::close(slave);
    ::close(master);
}

// ---- the command line's words ------------------------------------------------------

cli::Args Parse(const std::vector<std::string>& words, std::string* err = nullptr) {
    cli::Args a;
    const std::string e = cli::ParseArgs(words, a, [](const char*) { return nullptr; });
    if (err) *err = e;
    else EXPECT_EQ(e, "");
    return a;
}

TEST(ShortOptions, CombineAsInOtherTools) {
    EXPECT_EQ(Parse({"-vv", "search"}).verbosity, 2);
    EXPECT_EQ(Parse({"-vvvv", "search"}).verbosity, 3);
    cli::Args a = Parse({"-vp", "/dev/ttyUSB3", "search"});
    EXPECT_EQ(a.verbosity, 1);
    EXPECT_EQ(a.ports, "/dev/ttyUSB3");
    EXPECT_EQ(a.command, "search");
    a = Parse({"search", "-p/dev/ttyUSB4"});
    EXPECT_EQ(a.ports, "/dev/ttyUSB4");
    EXPECT_EQ(a.verbosity, 0);
    a = Parse({"-vvp/dev/ttyACM0", "ports"});
    EXPECT_EQ(a.verbosity, 2);
    EXPECT_EQ(a.ports, "/dev/ttyACM0");
    EXPECT_TRUE(Parse({"-hv", "mcu"}).help);
    std::string err;
    Parse({"-vx", "search"}, &err);
    EXPECT_EQ(err, "unknown option -x (in -vx)");
    Parse({"sub-mcu", "-10"}, &err);
    EXPECT_EQ(err, "unknown option -10");
    Parse({"search", "-vp"}, &err);
    EXPECT_EQ(err, "option -p needs a value");
    Parse({"-pa,b", "search"}, &err);
    EXPECT_TRUE(Contains(err, "--ports takes a list")) << err;
}

TEST(CommandHelp, ShowsItsOwnOptionsAndPointsToTheGlobalOnes) {
    const RunResult r = RunCli({"help", "pattern"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("Usage: quillet-cli [OPTIONS] pattern --slot N IMAGE\n", 0), 0u) << r.out;
    EXPECT_TRUE(Contains(r.out, "--slot N") && Contains(r.out, "--all") && Contains(r.out, "PNG")) << r.out;
    EXPECT_TRUE(Contains(r.out, "'quillet-cli --help' for them")) << r.out;
    EXPECT_TRUE(Contains(r.out, "-p/--port DEVICE")) << r.out;
    // The global options' explanations stay in the overview.
    EXPECT_FALSE(Contains(r.out, "give up when the instrument")) << r.out;
    EXPECT_LT(std::count(r.out.begin(), r.out.end(), '\n'), 25) << r.out;
    const RunResult all = RunCli({"--help"});
    EXPECT_TRUE(Contains(all.out, "give up when the instrument")) << all.out;
    for (const char* code : {"  129  ", "  130  ", "  143  "}) EXPECT_TRUE(Contains(all.out, code)) << code;
}

TEST(Completion, FilesAfterLogAndFoldersAfterData) {
    TempDir dir;
    std::filesystem::create_directories(dir / "images");
    WriteFile(dir / "run.log", {});
    const RunResult c = RunCli({"completion"});
    ASSERT_EQ(c.code, 0);
    WriteFile(dir / "completion.bash", std::vector<std::uint8_t>(c.out.begin(), c.out.end()));
    // COMP_WORDS as bash splits the line (at blanks and at '=').
    auto complete = [&](const std::string& words) {
        const std::string script = "source completion.bash; COMP_WORDS=(" + words +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quillet_cli; "
                                   "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | tr '\\n' ' '";
        return RunProgram("/bin/bash", {"-c", script}, dir.Path()).out;
    };
    EXPECT_EQ(complete("quillet-cli --log ''"), "completion.bash images run.log ");
    EXPECT_EQ(complete("quillet-cli --log = r"), "run.log ");
    EXPECT_EQ(complete("quillet-cli --data ''"), "images ");
    EXPECT_EQ(complete("quillet-cli search --data = i"), "images ");
    // After the value of --log, the command.
    EXPECT_EQ(complete("quillet-cli --log run.log se"), "search ");
    EXPECT_EQ(complete("quillet-cli --log = run.log se"), "search ");
    EXPECT_EQ(complete("quillet-cli -vp /dev/x pa"), "panel pattern ");
}

// ---- the default map and the system console -------------------------------------

TEST(DefaultMap, PortsSaysWhichConsoleItLeftOut) {
    std::string console;
    for (const auto& name : SystemConsoles()) {
        const auto serial = PortMap::OrderDevices({name});
        if (!serial.empty() && std::filesystem::exists(serial.front())) console = serial.front();
    }
    if (console.empty()) GTEST_SKIP() << "this machine's console is no serial port";
    ::unsetenv("QUILLET_PORTS");
    RunResult r = RunCli({"ports"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, console + " is the system console: left out of the default map (-p " + console +
                                    " reaches it)\n"))
        << r.out;
    EXPECT_FALSE(Contains(r.out, "  " + console + "  ") || Contains(r.out, "  " + console + "\n")) << r.out;
    r = RunCli({"--json", "ports"});
    EXPECT_EQ(nlohmann::json::parse(r.out)["left_out"], nlohmann::json::array({console})) << r.out;
    // Named by the operator, it is COM1.
    r = RunCli({"ports", "-p", console});
    EXPECT_EQ(r.out.rfind("COM1  " + console, 0), 0u) << r.out;
    EXPECT_FALSE(Contains(r.out, "system console")) << r.out;
}

TEST(Plurals, OnePortInTheMap) {
    RunResult r = RunCli({"--json", "ports", "-p", "/dev/null"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(nlohmann::json::parse(r.out)["message"], "1 port in the map");
    r = RunCli({"--json", "ports", "--ports", "/dev/null,/dev/zero"});
    EXPECT_EQ(nlohmann::json::parse(r.out)["message"], "2 ports in the map");
}

} // namespace
} // namespace quillet::test
