// The simulator over a training day: one real pattern upload (the dialog to
// a simulator on a pseudo-terminal) is recorded, then its traffic is fed N
// times (100 by default) to one instrument as quillet-sim keeps it (a
// bounded tail) and, with "all", to one that keeps every byte. Prints the
// resident memory and the bytes kept after 1, 10, 25, 50 and 100 uploads.
//   sim_memory_bench [N] [all]
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "bench/BenchSupport.h"
#include "pattern/SamplePattern.h"
#include "sim/lib/Instrument.h"

using namespace quillet;
using namespace quillet::bench;

namespace {

constexpr std::uint64_t kUploadGapMs = 60000;  // between two uploads on the instrument's clock

// Resident memory now (not the peak), from /proc/self/statm.
long ResidentKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The bytes the program sends for one pattern upload to slot 1.
std::vector<std::uint8_t> RecordPatternUpload(const std::filesystem::path& dir) {
    const std::string image = (dir / "sample.bmp").string();
    if (!WriteSamplePatternBmp(image)) return {};
    SimBench sims;
    sim::Simulator& sim = sims.AddGenerator(dir / "recorded");
    DialogBench d(sims.Map());
    if (!d.FindGenerator()) return {};
    d.host.QueueFileAnswer(image);
    d.dlg->OnCommand(IDC_LOAD_IMAGE);
    d.host.SetItemText(IDC_PATTERN_NO, "1");
    d.events.clear();
    d.dlg->OnCommand(IDC_NAND_FLASH);
    d.host.RunUntil([&] { return d.Saw(FlowEvent::FlowEnded); }, 600000);
    sim.Stop();
    return sim.Received();
}

} // namespace

int main(int argc, char** argv) {
    const unsigned uploads = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 100;
    const bool keepAll = argc > 2 && std::strcmp(argv[2], "all") == 0;
    const std::filesystem::path dir = FreshDir("quillet-sim-memory-bench");
    const std::vector<std::uint8_t> traffic = RecordPatternUpload(dir);
    if (traffic.empty()) {
        std::fprintf(stderr, "the pattern upload could not be recorded\n");
        return 1;
    }
    std::printf("one pattern upload: %zu bytes on the line\n", traffic.size());

    sim::Options options;
    options.outputDir = (dir / "replayed").string();
    options.eraseTimeMs = 0;
    options.searchReplyDelayMs = 0;
    options.bannerDelayMs = 0;
    options.trafficKept = keepAll ? sim::kKeepAllTraffic : sim::kLongRunTrafficKept;
    std::printf("instrument keeping %s\n", keepAll ? "every byte" : "a 64 KiB tail (as quillet-sim)");
    const long before = ResidentKb();
    sim::Instrument inst(options);
    const std::set<unsigned> report = {1, 10, 25, 50, 100, uploads};
    const auto t0 = Clock::now();
    for (unsigned n = 1; n <= uploads; ++n) {
        inst.Feed(traffic, n * kUploadGapMs);
        if (report.count(n))
            std::printf("after %3u uploads: resident %6ld KiB (%+ld KiB), traffic kept %9zu bytes, blocks accepted %llu\n",
                        n, ResidentKb(), ResidentKb() - before, inst.Received().size(),
                        static_cast<unsigned long long>(inst.GetSummary().blocksAccepted));
    }
    const sim::Summary s = inst.GetSummary();
    std::printf("%u uploads fed in %.1f s; violations: %zu\n", uploads, MsSince(t0) / 1000.0, s.violations.size());
    std::filesystem::remove_all(dir);
    return s.violations.empty() ? 0 : 1;
}
