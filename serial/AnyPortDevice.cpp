// MakeSerialDevice(): one device for every kind of port a map can name. Each
// Open picks the backend for the path (a network URL or a local device) and
// everything else goes to the one that opened it.
#include <algorithm>
#include <memory>

#include "serial/NetAddress.h"
#include "serial/NetSerialDevice.h"
#include "serial/SerialDevice.h"

namespace quillet {
namespace {

class AnyPortDevice final : public ISerialDevice {
public:
    explicit AnyPortDevice(NetTimeouts network) : m_network(network) {}

    OpenStatus Open(const std::string& path) override {
        Close();
        std::unique_ptr<ISerialDevice>& backend = IsNetUrl(path) ? m_net : m_local;
        if (!backend) backend = IsNetUrl(path) ? MakeNetSerialDevice(m_network) : MakeLocalSerialDevice();
        m_active = backend.get();
        return m_active->Open(path);
    }
    std::string Problem() const override { return m_active ? m_active->Problem() : std::string(); }
    std::optional<SerialFailure> Configure(const LineSettings& line) override { return m_active->Configure(line); }
    bool IsOpen() const override { return m_active && m_active->IsOpen(); }
    std::string LineInUse() const override { return m_active ? m_active->LineInUse() : std::string(); }
    std::string ParityProblem(char parity) const override {
        return m_active ? m_active->ParityProblem(parity) : std::string();
    }
    void PurgeInput() override { m_active->PurgeInput(); }
    WaitResult WaitForInput() override { return m_active->WaitForInput(); }
    IoResult Read(std::uint8_t* buffer, std::size_t capacity) override { return m_active->Read(buffer, capacity); }
    IoResult Write(const std::uint8_t* bytes, std::size_t length, const std::function<bool()>& stop) override {
        return m_active->Write(bytes, length, stop);
    }
    IoResult Drain() override { return m_active->Drain(); }
    // Wake-ups go to both backends: the one a monitor thread waits on is
    // chosen by Open, which no monitor thread runs beside.
    void ClearWake() override {
        if (m_local) m_local->ClearWake();
        if (m_net) m_net->ClearWake();
    }
    void Close() override {
        if (m_active) m_active->Close();
    }
    SerialFailure LastFailure() const override { return m_active ? m_active->LastFailure() : SerialFailure{}; }
    void Wake() override {
        if (m_local) m_local->Wake();
        if (m_net) m_net->Wake();
    }

private:
    const NetTimeouts m_network;
    std::unique_ptr<ISerialDevice> m_local;
    std::unique_ptr<ISerialDevice> m_net;
    ISerialDevice* m_active = nullptr;
};

} // namespace

std::unique_ptr<ISerialDevice> MakeSerialDevice() { return std::make_unique<AnyPortDevice>(NetTimeouts{}); }

std::unique_ptr<ISerialDevice> MakeSerialDevice(NetTimeouts network) {
    return std::make_unique<AnyPortDevice>(network);
}

NetTimeouts NetTimeoutsWithin(unsigned limitMs) {
    NetTimeouts t;
    t.connectMs = std::min(t.connectMs, limitMs);
    t.negotiationMs = std::min(t.negotiationMs, limitMs);
    return t;
}

} // namespace quillet
