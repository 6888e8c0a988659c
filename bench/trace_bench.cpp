// What the trace costs on a full user-pattern upload (24,300 blocks) by the
// command line's session to a simulator that answers at once: the data
// phase (first block to last acknowledgement) without a trace, with -v and
// with -vv (bytes as hex and text, the block stream summarised), the trace
// written to a file; four rounds each, alternating. Printed: the best and
// the median data phase, and the CPU time of the thread that runs the
// dialog and the trace (less sensitive to a busy machine than wall time).
// The target for -vv is at most 10 % above no trace.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "cli/Session.h"
#include "pattern/SamplePattern.h"

using namespace quillet;
using namespace quillet::bench;

namespace {

// The session's own lines (progress, result) would bury the figures.
struct Quiet {
    int out = dup(1), err = dup(2);
    Quiet() {
        std::fflush(stdout);
        std::fflush(stderr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Quiet() {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(out, 1);
        dup2(err, 2);
        close(out);
        close(err);
    }
};

double ThreadCpuS() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Run {
    double cpuS = 0;
    double dataS = 0;
    double totalS = 0;
    long logBytes = 0;
    bool ok = false;
};

Run Upload(int level, const std::string& image, const std::string& log) {
    Run run;
    std::FILE* out = level ? std::fopen(log.c_str(), "w") : nullptr;
    cli::SessionOptions options;
    options.verbosity = level;
    options.traceOut = out;
    {
        Quiet quiet;
        cli::Session session(options);
        const double cpu0 = ThreadCpuS();
        const int rc = session.StorePattern(1, image);
        run.cpuS = ThreadCpuS() - cpu0;
        const cli::Outcome o = session.Result(rc);
        run.ok = rc == cli::kExitDone && o.blocks == 24300;
        run.dataS = o.dataS;
        run.totalS = o.durationS;
    }
    if (out) {
        run.logBytes = std::ftell(out);
        std::fclose(out);
    }
    return run;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main() {
    const auto dir = FreshDir("quillet-trace-bench");
    const std::string image = (dir / "sample.bmp").string();
    if (!WriteSamplePatternBmp(image)) return 1;
    SimBench sims;
    sim::Options gen;
    gen.searchReplyDelayMs = 0;
    gen.eraseTimeMs = 0;
    gen.outputDir = dir.string();
    sims.Add(gen);
    sims.Offer();

    const int levels[] = {0, 1, 2};
    std::vector<double> data[3], cpu[3];
    long logBytes[3] = {};
    bool ok = true;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 3; ++i) {
            const Run r = Upload(levels[i], image, (dir / "trace.log").string());
            ok = ok && r.ok;
            data[i].push_back(r.dataS);
            cpu[i].push_back(r.cpuS);
            logBytes[i] = r.logBytes;
        }
    }
    std::printf("full user-pattern upload, 24300 blocks, simulator answering at once; 4 runs each\n");
    std::printf("%-26s %10s %10s %9s %11s %9s %10s\n", "trace", "best s", "median s", "vs none",
                "thread CPU", "vs none", "trace file");
    const char* names[] = {"none", "-v (steps)", "-vv (bytes, summarised)"};
    const double base = *std::min_element(data[0].begin(), data[0].end());
    const double baseCpu = *std::min_element(cpu[0].begin(), cpu[0].end());
    for (int i = 0; i < 3; ++i) {
        const double best = *std::min_element(data[i].begin(), data[i].end());
        const double bestCpu = *std::min_element(cpu[i].begin(), cpu[i].end());
        std::printf("%-26s %10.3f %10.3f %+8.1f%% %10.3fs %+8.1f%% %7ld kB\n", names[i], best,
                    Median(data[i]), 100.0 * (best / base - 1.0), bestCpu,
                    100.0 * (bestCpu / baseCpu - 1.0), logBytes[i] / 1000);
    }
    std::printf("target: -vv at most 10 %% above none%s\n", ok ? "" : "  (A RUN FAILED)");
    return ok ? 0 : 1;
}
