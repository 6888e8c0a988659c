// Shared pieces of the benchmarks: a dialog on the plain event loop with
// the real serial link, simulators on pseudo-terminals, and timing.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "app/LoaderDlg.h"
#include "platform/EventLoopHost.h"
#include "serial/PortMap.h"
#include "sim/lib/Simulator.h"

namespace quillet::bench {

using Clock = std::chrono::steady_clock;

inline double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Simulators on pseudo-terminals, offered as COM1, COM2, ... in order.
struct SimBench {
    std::vector<std::unique_ptr<sim::Simulator>> sims;
    std::vector<std::string> paths;

    sim::Simulator& Add(const sim::Options& options) {
        sims.push_back(std::make_unique<sim::Simulator>(options));
        paths.push_back(sims.back()->OpenPty());
        sims.back()->Start();
        return *sims.back();
    }
    void Offer() const {
        std::string list;
        for (std::size_t i = 0; i < paths.size(); ++i) list += (i ? "," : "") + paths[i];
        PortMap::SetOverride(list);
    }
};

// The dialog as the command line drives it, with message boxes kept quiet.
struct DialogBench {
    EventLoopHost host;
    std::unique_ptr<CLoaderDlg> dlg;
    std::vector<FlowEventInfo> events;

    DialogBench() {
        host.onMessageBox = [](const EventLoopHost::Box& b) {
            std::fprintf(stderr, "  (box) %s: %s\n", b.caption.c_str(), b.text.c_str());
        };
        dlg = std::make_unique<CLoaderDlg>(host);
        dlg->SetEventSink([this](const FlowEventInfo& e) { events.push_back(e); });
        dlg->OnInitDialog();
    }
    bool Saw(FlowEvent e) const {
        for (const auto& x : events)
            if (x.event == e) return true;
        return false;
    }
    // Presses a search button and runs until the search has ended.
    bool Search(int button, double* ms) {
        events.clear();
        const auto t0 = Clock::now();
        dlg->OnCommand(button);
        host.RunUntil([&] { return Saw(FlowEvent::SearchFound) || Saw(FlowEvent::SearchFailed); },
                      60000);
        if (ms) *ms = MsSince(t0);
        return Saw(FlowEvent::SearchFound);
    }
};

} // namespace quillet::bench
