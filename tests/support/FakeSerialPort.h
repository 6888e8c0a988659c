// A serial port for tests on the virtual clock: no thread, no device. It
// records what the dialog asks of it; the test decides which COM numbers
// exist and delivers received bytes and write completions itself.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "serial/SerialPort.h"

namespace quillet::test {

class FakeSerialPort : public ISerialPort {
public:
    struct Open {
        unsigned port;
        unsigned baud;
        char parity;
        unsigned dataBits;
        unsigned stopBits;
        std::uint32_t eventMask;
        std::uint32_t bufferSize;
        bool ok;
    };

    std::set<unsigned> present{1};              // COM numbers that open
    std::vector<Open> opens;
    std::vector<std::vector<std::uint8_t>> writes;  // every QueueWrite, in order
    std::vector<std::size_t> toLine;  // indexes in `writes` of those queued with QueueWriteToLine
    std::vector<std::size_t> untold;  // indexes in `writes` of those queued with QueueUntoldWrite
    int monitorStarts = 0;
    int closeRequests = 0;
    bool open = false;
    unsigned current = 0;
    ISerialOwner* owner = nullptr;

    bool OpenPort(ISerialOwner* o, unsigned port, unsigned baud, char parity, unsigned dataBits,
                  unsigned stopBits, std::uint32_t eventMask, std::uint32_t bufferSize) override {
        const bool ok = present.count(port) != 0;
        opens.push_back(Open{port, baud, parity, dataBits, stopBits, eventMask, bufferSize, ok});
        owner = o;
        open = ok;
        current = ok ? port : 0;
        return ok;
    }
    bool StartMonitor() override {
        ++monitorStarts;
        return open;
    }
    bool QueueWrite(const std::uint8_t* bytes, std::size_t length) override {
        writes.emplace_back(bytes, bytes + length);
        return true;
    }
    bool QueueWriteToLine(const std::uint8_t* bytes, std::size_t length) override {
        toLine.push_back(writes.size());
        return QueueWrite(bytes, length);
    }
    bool QueueUntoldWrite(const std::uint8_t* bytes, std::size_t length) override {
        untold.push_back(writes.size());
        return QueueWrite(bytes, length);
    }
    void RequestClose() override {
        ++closeRequests;
        open = false;
    }
    bool IsOpen() const override { return open; }

    // Every byte written so far, concatenated.
    std::vector<std::uint8_t> AllWritten() const {
        std::vector<std::uint8_t> all;
        for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
        return all;
    }
    // Delivers bytes to the owner as the monitor thread would.
    void Receive(const std::vector<std::uint8_t>& bytes) {
        for (auto b : bytes) owner->OnSerialMessage(WM_SERIAL_RXCHAR, b, static_cast<std::intptr_t>(current));
    }
    void WriteDone() { owner->OnSerialMessage(WM_SERIAL_WRITE_DONE, 0, static_cast<std::intptr_t>(current)); }
};

} // namespace quillet::test
