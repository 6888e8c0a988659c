#include "WineSupport.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <filesystem>

namespace quillet::test {

namespace fs = std::filesystem;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.code) + (r.timedOut ? " (killed)" : "") + "\nstdout:\n" +
           r.out.substr(0, 4000) + "\nstderr:\n" + r.err.substr(0, 4000);
}

const WineSetup& Wine() {
    static const WineSetup setup = [] {
        WineSetup s;
        const char* build = std::getenv("QUILLET_WIN_BUILD");
        s.build = build && *build ? build : QUILLET_SOURCE_DIR "/build-win";
        s.prefix = s.build + "/wineprefix-e2e";
        s.run = QUILLET_SOURCE_DIR "/tests/wine/wine-run.sh";
        std::error_code ec;
        if (!fs::exists(s.build + "/cli/quillet-cli.exe", ec))
            s.missing = "no Windows build in " + s.build + " (bash scripts/build-windows.sh)";
        else if (std::system("command -v wine >/dev/null 2>&1") != 0)
            s.missing = "wine is not installed";
        return s;
    }();
    return setup;
}

void WineFixture::SetUp() {
    if (!Wine().missing.empty()) GTEST_SKIP() << Wine().missing;
    // wine up (its mount manager sets COM1 when it starts) before the ports
    // are mapped.
    const RunResult r = RunProgram(Wine().run, {Wine().prefix, "cmd", "/c", "exit"}, dir.Path(), 300);
    ASSERT_EQ(r.code, 0) << Describe(r);
    // A unix socket no program listens on: opening it fails with "no such
    // device". A folder: opening it fails with "access denied".
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, Absent().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << Absent();
    ::close(s);
    fs::create_directories(Refusing());
}

void WineFixture::TearDown() {
    if (simulator) simulator->Stop();
}

void WineFixture::StartSim(sim::Options o) {
    o.outputDir = dir / "sim";
    o.log = stderr;
    fs::create_directories(o.outputDir);
    simulator = std::make_unique<sim::Simulator>(o);
    device = simulator->OpenPty();
    ASSERT_FALSE(device.empty());
    simulator->Start();
}

sim::Summary WineFixture::StopSim() {
    simulator->Stop();
    return simulator->GetSummary();
}

// wine's mount manager (mountmgr.sys, started with every wine session)
// sets the dosdevices COM links: first the ports HKLM\Software\Wine\Ports
// defines, then the serial devices it finds (/dev/ttyS0, ...) on the COM
// numbers left. It runs a moment after the session's first program, so
// links made before it has run were rewritten (COM1 -> /dev/ttyS0) while a
// test ran. The ports are defined there, so every run of it makes the
// links the test wants; and the links are made once it has run in this
// session (it has created the port map HARDWARE\DEVICEMAP\SERIALCOMM).
void WineFixture::MapPorts(const std::vector<std::string>& devices) {
    const fs::path dosdevices = fs::path(Wine().prefix) / "dosdevices";
    const unsigned last = std::max<unsigned>(kMappedComPorts, static_cast<unsigned>(devices.size()));
    std::vector<std::string> targets;
    for (unsigned com = 1; com <= last; ++com)
        targets.push_back(com <= devices.size() && !devices[com - 1].empty() ? devices[com - 1] : Absent());
    DefinePorts(targets);
    links.clear();
    for (unsigned com = 1; com <= last; ++com) {
        const fs::path link = dosdevices / ("com" + std::to_string(com));
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(targets[com - 1], link, ec);
        ASSERT_FALSE(ec) << link << ": " << ec.message();
        links[link.string()] = targets[com - 1];
    }
    // Links an earlier test set above, or the mount manager gave a device
    // it found, are gone.
    for (unsigned com = last + 1; com <= kHighestLinkedComPort; ++com) {
        std::error_code ec;
        fs::remove(dosdevices / ("com" + std::to_string(com)), ec);
    }
}

void WineFixture::DefinePorts(const std::vector<std::string>& targets) {
    std::string reg = "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n";
    for (std::size_t i = 0; i < targets.size(); ++i)
        reg += "\"COM" + std::to_string(i + 1) + "\"=\"" + targets[i] + "\"\n";
    WriteFile(dir / "ports.reg", std::vector<std::uint8_t>(reg.begin(), reg.end()));
    RunResult r = RunProgram(Wine().run, {Wine().prefix, "regedit", "/S", "ports.reg"}, dir.Path(), 120);
    ASSERT_EQ(r.code, 0) << Describe(r);
    const bool settled = WaitFor(
        [&] {
            r = RunProgram(Wine().run, {Wine().prefix, "reg", "query", kPortMapKey}, dir.Path(), 60);
            return r.code == 0;
        },
        kMountManagerWaitS);
    ASSERT_TRUE(settled) << "wine's mount manager has not run: " << Describe(r);
}

std::string WineFixture::ParityTraceLibrary() { return QUILLET_PARITYTRACE_LIB; }

// Should wine have started a new session since MapPorts (its server ends
// a minute after its last program), its mount manager has set the links
// again from the ports defined, and given the devices it found the COM
// numbers above them. Links found changed are set again (those above
// taken away); what was found is named, so a wine quirk is told from a
// fault of the program.
std::string WineFixture::RelinkRewrittenPorts() {
    std::string rewritten;
    for (const auto& [link, target] : links) {
        std::error_code ec;
        const fs::path now = fs::read_symlink(link, ec);
        if (!ec && now == target) continue;
        rewritten += link + " -> " + (ec ? std::string("(none)") : now.string()) + "; ";
        fs::remove(link, ec);
        fs::create_symlink(target, link, ec);
    }
    const fs::path dosdevices = fs::path(Wine().prefix) / "dosdevices";
    for (unsigned com = static_cast<unsigned>(links.size()) + 1; com <= kHighestLinkedComPort && !links.empty();
         ++com) {
        const fs::path link = dosdevices / ("com" + std::to_string(com));
        std::error_code ec;
        const fs::path now = fs::read_symlink(link, ec);
        if (ec) continue;
        rewritten += link.string() + " -> " + now.string() + " (added); ";
        fs::remove(link, ec);
    }
    return rewritten;
}

RunResult WineFixture::Run(const std::string& program, const std::vector<std::string>& args, double limit,
                           const std::vector<std::string>& preload, const std::vector<std::string>& env) {
    if (const std::string before = RelinkRewrittenPorts(); !before.empty())
        std::fprintf(stderr, "wine had rewritten COM links before the run, set again: %s\n", before.c_str());
    std::string libraries = QUILLET_MODEMLINES_LIB;
    for (const auto& l : preload) libraries += ":" + l;
    // File names reach the program through wine in the locale's encoding.
    std::vector<std::string> all{"LD_PRELOAD=" + libraries, "LANG=C.UTF-8", "LC_ALL=C.UTF-8",
                                 "QUILLET_WINE_TIMEOUT=" + std::to_string(static_cast<int>(limit) + 10)};
    all.insert(all.end(), env.begin(), env.end());
    all.push_back(Wine().run);
    all.push_back(Wine().prefix);
    all.push_back(Wine().build + "/" + program);
    all.insert(all.end(), args.begin(), args.end());
    RunResult r = RunProgram("/usr/bin/env", all, dir.Path(), limit + 15);
    if (const std::string during = RelinkRewrittenPorts(); !during.empty())
        r.err += "\n[test] wine rewrote COM links during the run: " + during + "\n";
    return r;
}

} // namespace quillet::test
