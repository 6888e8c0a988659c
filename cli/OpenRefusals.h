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
