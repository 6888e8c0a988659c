// The demonstration set-up of `quillet --demo`: a simulated signal
// generator on a pseudo-terminal offered as COM1, and a demo folder holding
// the sample test pattern, made the current directory so "Load Image"
// opens there.
#pragma once

#include <memory>
#include <string>

#include "serial/PortMap.h"

namespace quillet::sim {
class Simulator;
}

namespace quillet::gui {

class DemoSession {
public:
    DemoSession();
    ~DemoSession();
    DemoSession(const DemoSession&) = delete;
    DemoSession& operator=(const DemoSession&) = delete;

    // Starts the simulator and prepares the folder under `baseDir`. False
    // with `error` set when something could not be set up. With `baud` the
    // simulated line runs at that rate (0: as fast as it can).
    bool Start(const std::string& baseDir, std::string& error, unsigned baud = 0);
    void Stop();

    const std::string& Device() const { return m_device; }
    // The port map of the demo: COM1 is the simulated generator.
    PortMap Map() const { return PortMap::FromList(m_device); }
    const std::string& Folder() const { return m_folder; }
    const std::string& SamplePath() const { return m_sample; }
    const std::string& ReceivedDir() const { return m_received; }

private:
    std::unique_ptr<sim::Simulator> m_sim;
    std::string m_device;
    std::string m_folder;
    std::string m_sample;
    std::string m_received;
};

} // namespace quillet::gui
