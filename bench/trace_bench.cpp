// What the trace costs on a full user-pattern upload (24,300 blocks):
//   1. the trace alone, fed the traffic and events of a full upload as the
//      command line feeds it (270 bytes out, 13 back, two events per block),
//      timed: this work runs on the thread that drives the upload, so it is
//      what the trace adds to the upload's time;
//   2. the upload itself by the command line's session to a simulator that
//      answers at once, without a trace, with -v and with -vv (the trace
//      written to a file), four rounds alternating: data phase (first block
//      to last acknowledgement), best and median. On a busy machine these
//      wall times scatter more than the trace costs; part 1 is the figure.
// The target for -vv is at most 10 % above no trace.
#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "cli/Session.h"
#include "cli/Trace.h"
#include "pattern/SamplePattern.h"
#include "protocol/BlockStream.h"
#include "protocol/Frame.h"

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

struct Run {
    double dataS = 0;
    double totalS = 0;
    long logBytes = 0;
    bool ok = false;
};

Run Upload(const PortMap& ports, int level, const std::string& image, const std::string& log) {
    Run run;
    std::FILE* out = level ? std::fopen(log.c_str(), "w") : nullptr;
    cli::SessionOptions options;
    options.ports = ports;
    options.verbosity = level;
    options.traceOut = out;
    {
        Quiet quiet;
        cli::Session session(options);
        const int rc = session.StorePattern(1, image);
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

// Part 1: the trace fed a full upload's traffic; seconds it took.
double ReplaySeconds(int level) {
    std::FILE* out = std::tmpfile();
    std::uint64_t nowMs = 0;
    const auto t0 = Clock::now();
    {
        cli::Trace trace(out, level, [&] { return nowMs; });
        trace.Opened(1, "/dev/ttyUSB0", 115200, 8, 'N', 1, true);
        std::uint8_t payload[kBlockPayload] = {kBlockSubPattern};
        std::uint8_t frame[kBlockFrameBytes];
        std::uint8_t ack[kBlockAckBytes];
        BuildBlockAck(ack, {}, 0);
        for (int n = 0; n < 24300; ++n) {
            payload[1] = std::uint8_t(n);
            payload[2] = std::uint8_t(n >> 8);
            payload[3] = n == 24299 ? kMarkerLast : kMarkerNone;
            for (int i = kBlockHeader; i < kBlockPayload; ++i) payload[i] = std::uint8_t(n * 7 + i);
            BuildRequestFrame(frame, {}, {}, kCodeBlock, payload, kBlockPayload);
            trace.Sent(frame, sizeof frame);
            trace.Event(FlowEventInfo{FlowEvent::BlockSent, n, payload[3], {}, {}});
            if (n == 24299) trace.Event(FlowEventInfo{FlowEvent::StreamFinished, 0, 0, {}, {}});
            nowMs = std::uint64_t(n) * 5400 / 24300;
            for (std::uint8_t b : ack) trace.Received(b);
            trace.BurstEnd();
            trace.Event(FlowEventInfo{FlowEvent::BlockAcked, 0, 0, {}, {}});
        }
        trace.Closed();
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::fclose(out);
    return s;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main() {
    std::printf("1. the trace alone, fed a full upload (24300 blocks), best of 5\n");
    double replay[4] = {};
    for (int level = 1; level <= 3; ++level) {
        double best = 1e9;
        for (int i = 0; i < 5; ++i) best = std::min(best, ReplaySeconds(level));
        replay[level] = best;
        std::printf("   level %d (%s): %.1f ms, %.2f us per block\n", level,
                    level == 1 ? "-v" : level == 2 ? "-vv" : "-vvv", best * 1e3, best * 1e6 / 24300);
    }

    const auto dir = FreshDir("quillet-trace-bench");
    const std::string image = (dir / "sample.bmp").string();
    if (!WriteSamplePatternBmp(image)) return 1;
    SimBench sims;
    sim::Options gen;
    gen.searchReplyDelayMs = 0;
    gen.eraseTimeMs = 0;
    gen.outputDir = dir.string();
    sims.Add(gen);

    const int levels[] = {0, 1, 2};
    std::vector<double> data[3];
    long logBytes[3] = {};
    bool ok = true;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 3; ++i) {
            const Run r = Upload(sims.Map(), levels[i], image, (dir / "trace.log").string());
            ok = ok && r.ok;
            data[i].push_back(r.dataS);
            logBytes[i] = r.logBytes;
        }
    }
    std::printf("2. the upload to a simulator that answers at once, data phase, 4 runs each\n");
    std::printf("   %-26s %10s %10s %12s\n", "trace", "best s", "median s", "trace file");
    const char* names[] = {"none", "-v (steps)", "-vv (bytes, summarised)"};
    for (int i = 0; i < 3; ++i)
        std::printf("   %-26s %10.3f %10.3f %9ld kB\n", names[i],
                    *std::min_element(data[i].begin(), data[i].end()), Median(data[i]),
                    logBytes[i] / 1000);
    const double base = *std::min_element(data[0].begin(), data[0].end());
    std::printf("-vv adds %.1f ms to an upload whose data phase takes %.3f s here at best: "
                "%.1f %% (target: at most 10 %%)%s\n",
                replay[2] * 1e3, base, 100.0 * replay[2] / base, ok ? "" : "  (A RUN FAILED)");
    return ok ? 0 : 1;
}
