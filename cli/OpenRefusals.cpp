// SPDX-License-Identifier: Apache-2.0
#include "cli/OpenRefusals.h"

#include <algorithm>

#include "cli/Progress.h"

namespace quillet::cli {

namespace {

// A device that passes every call on to the one it wraps; the wrappers
// below change only what they are for.
class ForwardingDevice : public ISerialDevice {
public:
    explicit ForwardingDevice(std::unique_ptr<ISerialDevice> inner) : m_inner(std::move(inner)) {}

    OpenStatus Open(const std::string& path) override { return m_inner->Open(path); }
    std::string Problem() const override { return m_inner->Problem(); }
    std::optional<SerialFailure> Configure(const LineSettings& line) override { return m_inner->Configure(line); }
    bool IsOpen() const override { return m_inner->IsOpen(); }
    std::string LineInUse() const override { return m_inner->LineInUse(); }
    std::string ParityProblem(char parity) const override { return m_inner->ParityProblem(parity); }
    void PurgeInput() override { m_inner->PurgeInput(); }
    WaitResult WaitForInput() override { return m_inner->WaitForInput(); }
    IoResult Read(std::uint8_t* buffer, std::size_t capacity) override { return m_inner->Read(buffer, capacity); }
    IoResult Write(const std::uint8_t* bytes, std::size_t length, const std::function<bool()>& stop) override {
        return m_inner->Write(bytes, length, stop);
    }
    IoResult Drain() override { return m_inner->Drain(); }
    void ClearWake() override { m_inner->ClearWake(); }
    void Close() override { m_inner->Close(); }
    SerialFailure LastFailure() const override { return m_inner->LastFailure(); }
    void Wake() override { m_inner->Wake(); }

protected:
    std::unique_ptr<ISerialDevice> m_inner;
};

// The platform's device, with every open told to `refusals`.
class ReportingDevice : public ForwardingDevice {
public:
    ReportingDevice(std::unique_ptr<ISerialDevice> inner, OpenRefusals& refusals)
        : ForwardingDevice(std::move(inner)), m_refusals(refusals) {}

    OpenStatus Open(const std::string& path) override {
        const OpenStatus status = m_inner->Open(path);
        m_refusals.Note(path, status, m_inner->Problem());
        return status;
    }

private:
    OpenRefusals& m_refusals;
};

// A device already opened on its port: the first open of that port is
// taken as done.
class HandedOverDevice : public ForwardingDevice {
public:
    HandedOverDevice(std::unique_ptr<ISerialDevice> inner, std::string path)
        : ForwardingDevice(std::move(inner)), m_path(std::move(path)) {}

    OpenStatus Open(const std::string& path) override {
        if (m_fresh && path == m_path && m_inner->IsOpen()) {
            m_fresh = false;
            return OpenStatus::Opened;
        }
        m_fresh = false;
        return m_inner->Open(path);
    }
    void Close() override {
        m_fresh = false;
        m_inner->Close();
    }

private:
    const std::string m_path;
    bool m_fresh = true;
};

// The reason in words. What to do about a refused permission the dialog's
// own message tells already (once); the device's account of a path that is
// no serial port names what it is.
std::string Reason(const std::string& path, ISerialDevice::OpenStatus status, const std::string& problem) {
    const std::string name = EscapeControls(path);
    if (status == ISerialDevice::OpenStatus::NotSerial && !problem.empty()) return EscapeControls(problem);
    switch (status) {
    case ISerialDevice::OpenStatus::Absent: return name + " could not be opened: there is no such device.";
    case ISerialDevice::OpenStatus::Busy:
        return name + " could not be opened: it is busy (another program has it open).";
    case ISerialDevice::OpenStatus::Denied: return name + " could not be opened: permission denied.";
    case ISerialDevice::OpenStatus::NotSerial: return name + " is not a serial port; nothing was written to it.";
    case ISerialDevice::OpenStatus::Opened: break;
    }
    return {};
}

} // namespace

std::string OpenRefusalText(const std::string& path, ISerialDevice::OpenStatus status, const std::string& problem) {
    return Reason(path, status, problem);
}

const char* PortStateName(PortState state) {
    switch (state) {
    case PortState::Served: return "served";
    case PortState::NoInstrument: return "no instrument";
    case PortState::Busy: return "busy";
    case PortState::Denied: return "permission refused";
    case PortState::NoAnswer: return "no answer";
    case PortState::NotSearched: return "not searched";
    }
    return "";
}

PortState StateOfRefusal(ISerialDevice::OpenStatus status) {
    switch (status) {
    case ISerialDevice::OpenStatus::Busy: return PortState::Busy;
    case ISerialDevice::OpenStatus::Denied: return PortState::Denied;
    case ISerialDevice::OpenStatus::Absent:
    case ISerialDevice::OpenStatus::NotSerial: return PortState::NoInstrument;
    case ISerialDevice::OpenStatus::Opened: break;
    }
    return PortState::NoAnswer;
}

CSerialLink::DeviceFactory HandOver(std::unique_ptr<ISerialDevice> opened, const std::string& path,
                                    CSerialLink::DeviceFactory inner) {
    // The factory is copied; the one device goes to whoever asks first.
    auto first = std::make_shared<std::unique_ptr<ISerialDevice>>(
        std::make_unique<HandedOverDevice>(std::move(opened), path));
    auto lock = std::make_shared<std::mutex>();
    return [first, lock, inner]() -> std::unique_ptr<ISerialDevice> {
        {
            std::lock_guard<std::mutex> guard(*lock);
            if (*first) return std::move(*first);
        }
        return inner ? inner() : MakeSerialDevice();
    };
}

CSerialLink::DeviceFactory OpenRefusals::Factory(CSerialLink::DeviceFactory inner) {
    return [this, inner] { return std::make_unique<ReportingDevice>(inner(), *this); };
}

void OpenRefusals::Note(const std::string& path, ISerialDevice::OpenStatus status, const std::string& problem) {
    // A COM number the map leaves empty has no device to tell of: the
    // search only passes it by.
    if (path.empty()) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& e) { return e.path == path; });
    if (it == m_entries.end()) it = m_entries.insert(m_entries.end(), Entry{path, status, problem});
    it->status = status;
    it->problem = problem;
    it->opened = it->opened || status == ISerialDevice::OpenStatus::Opened;
}

std::vector<std::string> OpenRefusals::Reasons() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> reasons;
    for (const Entry& e : m_entries)
        if (!e.opened) reasons.push_back(Reason(e.path, e.status, e.problem));
    return reasons;
}

} // namespace quillet::cli
