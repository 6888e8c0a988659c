// Shared pieces of the benchmarks: a dialog on the plain event loop with
// the real serial link, simulators on pseudo-terminals, and timing.
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "dialog/LoaderDlg.h"
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

// An empty folder of the benchmark's own under the temporary directory.
inline std::filesystem::path FreshDir(const std::string& name) {
    const auto dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// A file of `size` random bytes (the same bytes for the same seed).
inline void WriteRandomFile(const std::filesystem::path& path, std::size_t size, unsigned seed) {
    std::vector<char> bytes(size);
    std::mt19937 rng(seed);
    for (auto& c : bytes) c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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
    // A signal generator that answers at once, storing into `outDir`.
    sim::Simulator& AddGenerator(const std::filesystem::path& outDir) {
        sim::Options gen;
        gen.searchReplyDelayMs = 0;
        gen.eraseTimeMs = 0;
        gen.bannerDelayMs = 0;
        gen.outputDir = outDir.string();
        return Add(gen);
    }
    // The port map that offers them.
    PortMap Map() const { return PortMap(paths); }
};

// The dialog as the command line drives it, with message boxes kept quiet.
struct DialogBench {
    EventLoopHost host;
    std::unique_ptr<CLoaderDlg> dlg;
    std::vector<FlowEventInfo> events;

    explicit DialogBench(PortMap map) {
        host.onMessageBox = [](const EventLoopHost::Box& b) {
            std::fprintf(stderr, "  (box) %s: %s\n", b.caption.c_str(), b.text.c_str());
        };
        dlg = std::make_unique<CLoaderDlg>(host, std::move(map));
        dlg->SetEventSink([this](const FlowEventInfo& e) { events.push_back(e); });
        dlg->OnInitDialog();
    }
    bool Saw(FlowEvent e) const {
        for (const auto& x : events)
            if (x.event == e) return true;
        return false;
    }
    // Searches the generator; false (and a line on stderr) when not found.
    bool FindGenerator() {
        if (Search(IDC_SEARCH_GENERATOR, nullptr)) return true;
        std::fprintf(stderr, "generator not found\n");
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
