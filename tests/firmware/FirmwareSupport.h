// Test support for the firmware flows: a recording port that notes when
// each write happened, a small STM32 USART bootloader that answers the
// main-MCU exchange, and a dialog fixture on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>


#include "dialog/LoaderDlg.h"
#include "platform/VirtualHost.h"
#include "protocol/BlockStream.h"
#include "protocol/Frame.h"
#include "support/FakeSerialPort.h"
#include "support/FindInstrument.h"
#include "support/Portable.h"

namespace quillet::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The block acknowledgement of the instrument of `group` (status 00: taken).
inline Bytes AckFrom(std::uint8_t group, std::uint8_t status = 0) {
    Bytes a(kBlockAckBytes);
    BuildBlockAck(a.data(), FrameAddress{group, 0x00}, status);
    return a;
}

// The fake port, with the virtual time of every write and open.
class TimedPort : public FakeSerialPort {
public:
    explicit TimedPort(VirtualHost& host) : m_host(host) {}
    std::vector<std::uint64_t> writeTimes;
    std::vector<std::uint64_t> openTimes;
    std::function<void(const Bytes&)> onWrite;

    bool QueueWrite(const std::uint8_t* bytes, std::size_t length) override {
        writeTimes.push_back(m_host.Now());
        FakeSerialPort::QueueWrite(bytes, length);
        if (onWrite) onWrite(writes.back());
        return true;
    }
    bool OpenPort(ISerialOwner* o, unsigned port, unsigned baud, char parity, unsigned dataBits,
                  unsigned stopBits, std::uint32_t eventMask, std::uint32_t bufferSize) override {
        openTimes.push_back(m_host.Now());
        return FakeSerialPort::OpenPort(o, port, baud, parity, dataBits, stopBits, eventMask, bufferSize);
    }

private:
    VirtualHost& m_host;
};

// The part of the STM32 USART bootloader (ST AN3155) the exchange uses,
// answering each write at once. Knobs make it refuse or stay silent.
class MiniBootloader {
public:
    static constexpr std::uint8_t kAck = 0x79;
    static constexpr std::uint8_t kNack = 0x1F;

    std::map<std::uint32_t, std::uint8_t> flash;      // written bytes
    std::map<std::uint32_t, Bytes> readOverride;      // Read Memory answers by address
    std::uint8_t syncReply = kAck;
    int syncsIgnored = 0;                   // leading sync bytes left unanswered
    std::set<std::uint32_t> nackData;       // data packets refused at these addresses
    std::set<std::uint32_t> silentData;     // data packets left unanswered
    std::set<std::uint32_t> silentAddress;  // write address packets taken but left unanswered
    bool silentWriteCommand = false;        // the first 31 CE is left unanswered
    std::set<std::uint32_t> corruptAt;      // bytes stored wrongly (for the read-back)
    int writeCommands = 0;
    std::vector<std::string> errors;        // malformed packets seen

    Bytes Answer(const Bytes& w) {
        switch (m_expect) {
        case Expect::Command: return Command(w);
        case Expect::ReadAddress:
            if (!CheckAddress(w)) return {kNack};
            m_expect = Expect::ReadCount;
            return {kAck};
        case Expect::ReadCount: {
            m_expect = Expect::Command;
            if (w.size() != 2 || static_cast<std::uint8_t>(w[0] ^ w[1]) != 0xFF) {
                errors.push_back("read count");
                return {kNack};
            }
            Bytes reply{kAck};
            const unsigned n = w[0] + 1u;
            auto it = readOverride.find(m_address);
            for (unsigned i = 0; i < n; ++i) {
                if (it != readOverride.end())
                    reply.push_back(i < it->second.size() ? it->second[i] : 0);
                else
                    reply.push_back(FlashAt(m_address + i));
            }
            return reply;
        }
        case Expect::EraseCodes:
            m_expect = Expect::Command;
            if (w != Bytes{0xFF, 0x00}) {
                errors.push_back("erase codes");
                return {kNack};
            }
            flash.clear();
            return {kAck};
        case Expect::WriteAddress:
            if (!CheckAddress(w)) return {kNack};
            m_expect = Expect::WriteData;
            if (silentAddress.count(m_address)) return {};
            return {kAck};
        case Expect::WriteData: {
            m_expect = Expect::Command;
            std::uint8_t x = 0;
            for (auto b : w) x ^= b;
            if (w.size() != 130 || w[0] != 0x7F || x != 0) {
                errors.push_back("data packet");
                return {kNack};
            }
            if (silentData.count(m_address)) return {};
            if (nackData.count(m_address)) return {kNack};
            for (unsigned i = 0; i < 128; ++i)
                flash[m_address + i] = corruptAt.count(m_address + i) ? static_cast<std::uint8_t>(~w[1 + i]) : w[1 + i];
            return {kAck};
        }
        }
        return {};
    }

    std::uint8_t FlashAt(std::uint32_t a) const {
        auto it = flash.find(a);
        return it == flash.end() ? 0xFF : it->second;
    }

private:
    enum class Expect { Command, ReadAddress, ReadCount, EraseCodes, WriteAddress, WriteData };
    Expect m_expect = Expect::Command;
    std::uint32_t m_address = 0;

    bool CheckAddress(const Bytes& w) {
        if (w.size() != 5 || static_cast<std::uint8_t>(w[0] ^ w[1] ^ w[2] ^ w[3]) != w[4]) {
            errors.push_back("address packet");
            m_expect = Expect::Command;
            return false;
        }
        m_address = (std::uint32_t{w[0]} << 24) | (std::uint32_t{w[1]} << 16) | (std::uint32_t{w[2]} << 8) | w[3];
        return true;
    }

    Bytes Command(const Bytes& w) {
        if (w == Bytes{0x7F}) {
            if (syncsIgnored > 0) {
                --syncsIgnored;
                return {};
            }
            return {syncReply};
        }
        if (w == Bytes{0x00, 0xFF})
            return {kAck, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, kAck};
        if (w == Bytes{0x02, 0xFD}) return {kAck, 0x01, 0x04, 0x10, kAck};
        if (w == Bytes{0x11, 0xEE}) {
            m_expect = Expect::ReadAddress;
            return {kAck};
        }
        if (w == Bytes{0x43, 0xBC}) {
            m_expect = Expect::EraseCodes;
            return {kAck};
        }
        if (w == Bytes{0x31, 0xCE}) {
            m_expect = Expect::WriteAddress;
            if (writeCommands++ == 0 && silentWriteCommand) return {};
            return {kAck};
        }
        errors.push_back("unknown command");
        return {kNack};
    }
};

struct FirmwareFixture : ::testing::Test {
    VirtualHost host;
    TimedPort port{host};
    CLoaderDlg dlg{host, &port};
    std::vector<FlowEventInfo> events;
    std::vector<std::uint64_t> eventTimes;

    void SetUp() override {
        dlg.OnInitDialog();
        dlg.SetEventSink([this](const FlowEventInfo& e) {
            events.push_back(e);
            eventTimes.push_back(host.Now());
        });
        dlg.OnPortButton();
        ASSERT_TRUE(dlg.IsPortOpen());
    }

    // The operator searches for the instrument of `group` and finds it on
    // COM1, which is open afterwards. What the search wrote and told (its
    // frame, the close of the port, its events and boxes) is forgotten, so
    // that the test sees its own flow alone.
    void FindInstrument(std::uint8_t group) {
        test::FindInstrument(dlg, host, port, group);
        ASSERT_EQ(EventsOf(FlowEvent::SearchFound).size(), 1u);
        port.writes.clear();
        port.writeTimes.clear();
        port.toLine.clear();
        port.untold.clear();
        port.closeRequests = 0;
        events.clear();
        eventTimes.clear();
        host.boxes.clear();
    }

    // Virtual time of the first event of this kind (-1 when none).
    long long TimeOf(FlowEvent kind) const {
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i].event == kind) return static_cast<long long>(eventTimes[i]);
        return -1;
    }

    std::vector<FlowEventInfo> EventsOf(FlowEvent kind) const {
        std::vector<FlowEventInfo> out;
        for (const auto& e : events)
            if (e.event == kind) out.push_back(e);
        return out;
    }
};

// A scratch directory that becomes the current directory for the test and
// is removed afterwards.
class ScratchDir {
public:
    ScratchDir() {
        m_old = std::filesystem::current_path();
        m_dir = std::filesystem::temp_directory_path() /
                ("quillet-fw-" + std::to_string(ProcessId()) + "-" +
                 std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(m_dir);
        std::filesystem::current_path(m_dir);
    }
    ~ScratchDir() {
        std::filesystem::current_path(m_old);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return m_dir; }
    std::string Write(const std::string& relative, const Bytes& bytes) const {
        const auto p = m_dir / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }

private:
    std::filesystem::path m_old;
    std::filesystem::path m_dir;
};

inline Bytes Pattern(std::size_t n, unsigned seed = 1) {
    Bytes b(n);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

} // namespace quillet::test
