// Time from pressing "Search Signal Generator" to the port shown open, with
// the generator on COM k and instruments that open but never answer on the
// ports before it. The flow's own timing is 300 ms for the first port that
// opens, 400 ms for each further port and 200 ms after the reply's last
// matching byte; the figure printed beside it is what the program adds.
#include "bench/BenchSupport.h"

using namespace quillet;
using namespace quillet::bench;

int main() {
    std::printf("search: generator on COM k, silent instruments on COM1..COM(k-1)\n");
    std::printf("%4s %12s %12s %12s %14s\n", "k", "measured ms", "flow ms", "extra ms", "extra/port ms");
    for (unsigned k : {1u, 3u, 10u}) {
        SimBench sims;
        for (unsigned i = 1; i < k; ++i) {
            sim::Options silent;
            silent.answerSearch = false;
            silent.outputDir = "/tmp";
            sims.Add(silent);
        }
        sim::Options gen;
        gen.searchReplyDelayMs = 0;
        gen.outputDir = "/tmp";
        sims.Add(gen);

        DialogBench d(sims.Map());
        double ms = 0;
        const bool found = d.Search(IDC_SEARCH_GENERATOR, &ms);
        const double flow = (k == 1 ? 0.0 : 300.0 + 400.0 * (k - 2)) + 200.0;
        std::printf("%4u %12.1f %12.1f %12.1f %14.2f%s\n", k, ms, flow, ms - flow, (ms - flow) / k,
                    found ? "" : "  (NOT FOUND)");
    }
    return 0;
}
