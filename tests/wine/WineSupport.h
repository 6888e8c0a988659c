// Running the Windows programs of the build under wine from the Linux tests.
//
// The Windows build is found in QUILLET_WIN_BUILD (default build-win beside
// the sources); the tests are skipped when it or wine is missing. Every
// test uses the wine prefix <build-win>/wineprefix-e2e: its COM ports are
// dosdevices links, which MapPorts defines for wine's mount manager too
// (which sets them whenever a wine session starts) and makes once the
// manager has run; a link found changed is set again before each run, and
// one changed during a run is named in the run's stderr. The tests share
// that prefix and run one at a time (ctest RESOURCE_LOCK).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliSupport.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {

bool Contains(const std::string& text, const std::string& part);
int Count(const std::string& text, const std::string& part);
std::string Describe(const RunResult& r);

// The Windows build, wine and the script that runs a program under wine.
struct WineSetup {
    std::string build;    // build-win
    std::string prefix;   // the tests' wine prefix
    std::string run;      // tests/wine/wine-run.sh
    std::string missing;  // why the tests cannot run here; empty when they can
};
const WineSetup& Wine();

// The COM ports MapPorts sets at least.
constexpr unsigned kMappedComPorts = 9;
// The highest COM port a test links (others above COM9 are taken away).
constexpr unsigned kHighestLinkedComPort = 32;
// The port map wine's mount manager makes each session, once it has run.
constexpr const char* kPortMapKey = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
// How long the mount manager may take to start on a loaded machine.
constexpr double kMountManagerWaitS = 120;

class WineFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The simulator on a pseudo-terminal, storing into dir/sim.
    void StartSim(sim::Options o = {});
    sim::Summary StopSim();

    // Devices for COM1, COM2, ... (as many as given, "" for an absent one);
    // every other COM port up to COM9 is absent.
    void MapPorts(const std::vector<std::string>& devices);
    // Defines COM1, COM2, ... as `targets` for wine's mount manager
    // (HKLM\Software\Wine\Ports, no other) and waits until it has run in
    // the wine session under way.
    void DefinePorts(const std::vector<std::string>& targets);
    std::string Sim() const { return device; }
    // A COM port wine cannot open ("no such device").
    std::string Absent() const { return dir / "absent.sock"; }
    // A COM port wine refuses ("access denied", as for a port in use).
    std::string Refusing() const { return dir / "refusing"; }
    static std::string ParityTraceLibrary();

    // Runs `program` (a path in the Windows build) under wine in `dir`,
    // with the modem-line library and `preload` in LD_PRELOAD and `env`.
    RunResult Run(const std::string& program, const std::vector<std::string>& args, double limit = 90,
                  const std::vector<std::string>& preload = {}, const std::vector<std::string>& env = {});
    RunResult Cli(const std::vector<std::string>& args, double limit = 90,
                  const std::vector<std::string>& preload = {}, const std::vector<std::string>& env = {}) {
        return Run("cli/quillet-cli.exe", args, limit, preload, env);
    }

    // Sets again the COM links MapPorts made that wine has changed since;
    // what it found changed, empty when nothing.
    std::string RelinkRewrittenPorts();

    TempDir dir;
    std::map<std::string, std::string> links;  // dosdevices link -> target, as MapPorts set them
    std::unique_ptr<sim::Simulator> simulator;
    std::string device;
};

} // namespace quillet::test
