#include "gui/Demo.h"

#include <filesystem>
#include <system_error>

#include "pattern/SamplePattern.h"
#include "sim/lib/Simulator.h"

namespace quillet::gui {

DemoSession::DemoSession() = default;

DemoSession::~DemoSession() { Stop(); }

bool DemoSession::Start(const std::string& baseDir, std::string& error, unsigned baud) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = fs::path(baseDir) / "quillet-demo";
    const fs::path received = folder / "received";
    fs::create_directories(received, ec);
    if (ec) {
        error = "Cannot create the demo folder " + received.string() + ": " + ec.message();
        return false;
    }
    m_folder = fs::absolute(folder, ec).string();
    m_received = fs::absolute(received, ec).string();
    m_sample = (fs::path(m_folder) / "sample-pattern.bmp").string();
    if (!WriteSamplePatternBmp(m_sample)) {
        error = "Cannot write the sample pattern " + m_sample;
        return false;
    }

    sim::Options options;
    options.kind = kGroupGenerator;
    options.outputDir = m_received;
    options.trafficKept = sim::kLongRunTrafficKept;  // a demo may run all day
    options.baud = baud;
    m_sim = std::make_unique<sim::Simulator>(options);
    m_device = m_sim->OpenPty();
    if (m_device.empty()) {
        error = "Cannot create a pseudo-terminal for the simulated generator";
        m_sim.reset();
        return false;
    }
    m_sim->Start();
    fs::current_path(m_folder, ec);
    if (ec) {
        error = "Cannot change to the demo folder " + m_folder + ": " + ec.message();
        return false;
    }
    return true;
}

void DemoSession::Stop() {
    if (!m_sim) return;
    m_sim->Stop();
    m_sim.reset();
}

} // namespace quillet::gui
