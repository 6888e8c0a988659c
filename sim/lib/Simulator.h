// The instrument simulator on a pseudo-terminal or a serial device (POSIX):
// stands in for the instrument at the far end of a serial line and answers
// the program's traffic as the instrument does. Used by quillet-sim, by the
// dialog's --demo, by the tests and benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/NetAddress.h"
#include "sim/lib/Options.h"

namespace quillet::sim {

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Creates a pseudo-terminal pair and returns the device path the program
    // should open; the simulator serves the other end. Empty on failure.
    std::string OpenPty();
    // Serves an existing serial device (e.g. a real port on a null-modem cable).
    bool OpenDevice(const std::string& path);
    // Serves a network port at `address` (rfc2217:// or socket://), one
    // client at a time, each on a fresh line. Over RFC 2217 the parity the
    // client sets is kept: a byte for the bootloader on a line not set to
    // even parity is a violation; a raw TCP port can set none, so every
    // bootloader byte there is one. Empty, or why it cannot listen.
    std::string Listen(const NetAddress& address);
    // Serves in a thread of its own until Stop().
    void Start();
    void Stop();

    // Every byte received so far, in order.
    std::vector<std::uint8_t> Received() const;
    Summary GetSummary() const;
    // Writes <outputDir>/summary.txt (Stop() does this too) and returns its path.
    std::string WriteSummaryFile();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace quillet::sim
