// What the simulated instrument is and does, and what it received: shared
// by the instrument's side (Instrument.h, any platform) and the servers that
// connect it to a line (Simulator.h on pseudo-terminals, MemoryDevice.h in
// the program's own process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "discovery/DeviceKinds.h"

namespace quillet::sim {

// Options::trafficKept: every byte received is kept (the tests compare it).
constexpr std::size_t kKeepAllTraffic = SIZE_MAX;
// The fewest bytes a bounded tail keeps: a whole search frame and more.
constexpr std::size_t kMinTrafficKept = 64;
// What quillet-sim keeps, as it runs for days: its counters and the images
// and firmware it stored tell the rest.
constexpr std::size_t kLongRunTrafficKept = 64 * 1024;

struct Options {
    std::uint8_t kind = kGroupGenerator;  // the instrument's kind: its group address (kDeviceKinds)
    bool answerSearch = true;          // false: the instrument never answers a search
    unsigned searchReplyDelayMs = 20;  // delay before the search reply
    unsigned eraseTimeMs = 1500;       // erase time before the "cnd 12" line
    std::set<std::uint32_t> resendBlocks;  // block numbers answered once with status 1
    long stopAfterBlocks = -1;         // stop acknowledging after this many blocks (-1: never)
    unsigned noiseBytes = 0;           // noise bytes sent before each acknowledgement
    std::string outputDir = ".";       // where received patterns, panel data and firmware go
    bool verbose = false;              // hex dump of the traffic with time stamps
    std::FILE* log = stderr;
    bool startInBootloader = false;    // the main MCU starts in its system bootloader
    unsigned bannerDelayMs = 50;       // delay before a boot-mode banner line
    std::uint32_t noiseSeed = 1;       // seed of the noise bytes (runs repeat exactly)
    // Faults of the line and the instrument, counted in bytes received
    // (-1: never): after that many bytes the instrument answers nothing
    // more (it hangs), or the device goes away (the cable is pulled).
    long silentAfterBytes = -1;
    long unplugAfterBytes = -1;
    // Write Memory commands of the STM32 bootloader (counted from 0) whose
    // data the bootloader refuses with NACK, leaving the flash unwritten.
    std::set<std::uint32_t> nackWrites;
    // Line rate: 0 answers as fast as it can; otherwise both directions are
    // paced at this many baud, 10 bits a byte (8N1), 11 while the STM32
    // bootloader listens (8E1).
    unsigned baud = 0;
    // How many of the last bytes received the instrument keeps (Received());
    // a simulator that runs for days keeps a bounded tail, its counters
    // and the images and firmware it stored, not the whole traffic.
    std::size_t trafficKept = kKeepAllTraffic;
};

// What the simulator received and stored.
struct Summary {
    std::uint64_t bytesReceived = 0;
    std::uint64_t searchFrames = 0;
    std::uint64_t blocksAccepted = 0;
    std::uint64_t blocksResent = 0;        // resend requests the simulator made
    std::vector<std::string> violations;   // protocol violations seen
    std::vector<std::string> filesWritten; // paths of stored images and firmware
    std::uint64_t blocksReceived = 0;      // block frames seen, answered or not
    std::uint64_t bootloaderCommands = 0;  // STM32 bootloader commands accepted
    std::uint64_t chunkFrames = 0;         // input-board chunk frames accepted
    std::uint64_t violationsNotListed = 0; // violations beyond the listed ones
};

} // namespace quillet::sim
