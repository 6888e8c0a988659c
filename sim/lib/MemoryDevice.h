// The simulated instrument inside the program's own process, reached as a
// serial device: what the program writes is fed to the Instrument, and its
// replies become readable when they are due. No operating-system device is
// involved, so the demo works the same on every platform (Windows has no
// pseudo-terminals).
//
// A MemoryLine owns the instrument; the devices it makes open only the
// line's name (put it into the port map to offer it as a COM port) and are
// handed to CSerialLink through its device factory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/SerialLink.h"
#include "sim/lib/Options.h"

namespace quillet::sim {

class MemoryLine {
public:
    explicit MemoryLine(Options options, std::string name = "simulated instrument");
    ~MemoryLine();
    MemoryLine(const MemoryLine&) = delete;
    MemoryLine& operator=(const MemoryLine&) = delete;

    // The device name the line answers to.
    const std::string& Name() const;
    // Devices for CSerialLink; they may outlive neither the line nor each
    // other's use of it (one open device at a time, like a real port).
    CSerialLink::DeviceFactory DeviceFactory();

    std::vector<std::uint8_t> Received() const;
    Summary GetSummary() const;
    std::string WriteSummaryFile();

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

} // namespace quillet::sim
