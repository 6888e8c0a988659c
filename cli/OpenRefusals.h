// SPDX-License-Identifier: Apache-2.0
// Why the devices of an explicit port map (-p, --ports) could not be
// opened, so that a flow that found no instrument can say so without -v:
// the device is absent, busy, refused for lack of permission, or no serial
// port. The platform's serial device is wrapped; nothing else changes, and
// nothing is opened or written that the flow itself would not.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/SerialDevice.h"
#include "serial/SerialLink.h"

namespace quillet::cli {

// What became of a port of the map in --all and --watch.
enum class PortState {
    Served,        // an instrument answered there and its run ended
    NoInstrument,  // no such device, or no serial port
    Busy,          // another program has it open
    Denied,        // permission refused
    NoAnswer,      // opened, but nothing answered the search
    NotSearched,   // interrupted (Ctrl+C) before its search started or ended
};

// "served", "no instrument", "busy", "permission refused", "no answer",
// "not searched".
const char* PortStateName(PortState state);
// The state of a port whose open answered `status` (not Opened).
PortState StateOfRefusal(ISerialDevice::OpenStatus status);
// Whether an instrument may be there although none was served (the port
// was held by another program or refused).
inline bool MayHideInstrument(PortState state) { return state == PortState::Busy || state == PortState::Denied; }

// Why `path` could not be opened, in words ("/dev/ttyUSB0 could not be
// opened: it is busy (another program has it open).").
std::string OpenRefusalText(const std::string& path, ISerialDevice::OpenStatus status, const std::string& problem);

// A device factory whose first device is `opened`, already open on `path`:
// the first open of `path` takes it as it is, so the port is not given up
// between the check that it opens and the flow. Later devices come from
// `inner`.
CSerialLink::DeviceFactory HandOver(std::unique_ptr<ISerialDevice> opened, const std::string& path,
                                    CSerialLink::DeviceFactory inner);

class OpenRefusals {
public:
    // A device factory for SessionOptions::makeDevice whose devices (made
    // by `inner`) report here. Only for one session at a time (not --all).
    CSerialLink::DeviceFactory Factory(CSerialLink::DeviceFactory inner);
    // One line per device that was never opened, saying why; empty when
    // every device tried was opened.
    std::vector<std::string> Reasons() const;

    // What an open of `path` answered (called by the wrapped devices).
    void Note(const std::string& path, ISerialDevice::OpenStatus status, const std::string& problem);

private:
    struct Entry {
        std::string path;
        ISerialDevice::OpenStatus status;
        std::string problem;
        bool opened = false;
    };
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

} // namespace quillet::cli
