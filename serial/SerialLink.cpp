// CSerialLink: the port, its monitor thread and the hand-over of received
// bytes and completed writes to the owner window on the GUI thread.
//
// Delivery. The monitor thread reads a burst (what is waiting, up to 4096
// bytes) and posts it to the GUI thread as one piece of work, which calls the
// owner once per byte, in order, then sends the other messages the event
// mask asks for. The monitor thread waits until that work has run before it
// reads again, so the owner sees what SendMessage would give it: one byte per
// call, in arrival order, and no new reads while a handler runs.
//
// Writes. QueueWrite wakes the monitor thread only when it may be waiting
// on the device: while it waits for a delivery to run it looks at the
// queued writes before it waits on the device again, so a write queued by
// a handler (the next block after an acknowledgement) costs no wake-up.
// The completion of a write is a delivery of its own, waited for as one;
// a write queued untold (a command frame, answered by a reply) has none,
// so a block of an upload costs one hand-off to the GUI thread, not two.
//
// Shutdown. Every open has a session. RequestClose, OpenPort and the
// destructor mark the session stopped; posted work checks the mark before
// every byte, and the monitor thread stops waiting for the GUI thread at
// once. So OpenPort and the destructor can wait for the monitor thread even
// when they are called from a handler inside a delivery.
#include "serial/SerialLink.h"

#include <atomic>
#include <cstdio>

#include "serial/PortMap.h"
#include "serial/SerialDevice.h"

namespace quillet {

namespace {

constexpr std::size_t kBurstSize = 4096;
// Writes queued and not yet performed; QueueWrite refuses more.
constexpr std::size_t kMaxPendingWrites = 64;
constexpr const char* kErrorCaption = "Application Error";

// One open of the port: what the monitor thread and the work it posts share.
// Posted work holds it, so it outlives the link if need be.
struct Session {
    Session(ISerialOwner* o, unsigned p, std::uint32_t m) : owner(o), port(p), mask(m) {}

    ISerialOwner* const owner;
    const unsigned port;
    const std::uint32_t mask;

    // Set on the GUI thread only; read by posted work (GUI thread) and, under
    // `lock`, by the monitor thread.
    std::atomic<bool> cancelled{false};

    std::mutex lock;
    std::condition_variable changed;
    bool stop = false;             // shutdown asked for
    std::uint64_t posted = 0;      // deliveries handed to the GUI thread
    std::uint64_t finished = 0;    // deliveries that have run
    // The monitor thread has handed work to the GUI thread and looks at the
    // queued writes before it waits on the device again.
    bool delivering = false;
    struct Write {
        std::vector<std::uint8_t> bytes;
        bool toLine = false;  // complete once they have left the line
        bool tell = true;     // the owner is told of the completion
    };
    std::deque<Write> writes;

    void Send(unsigned msg, std::uintptr_t wParam) {
        if (!cancelled.load(std::memory_order_acquire))
            owner->OnSerialMessage(msg, wParam, static_cast<std::intptr_t>(port));
    }
};

} // namespace

struct CSerialLink::Impl {
    Impl(IHost& h, PortMap m, DeviceFactory f) : host(h), map(std::move(m)), makeDevice(std::move(f)) {}

    IHost& host;
    const PortMap map;
    DeviceFactory makeDevice;
    std::unique_ptr<ISerialDevice> device;
    std::shared_ptr<Session> session;
    std::thread monitor;
    std::atomic<bool> open{false};
    std::uint32_t writeBufferSize = 0;
    std::string problem;
    OpenRefusal refusal = OpenRefusal::None;

    void Shutdown();
    void ReportCommError(const SerialFailure& failure, unsigned port);
    void PostCommError(const SerialFailure& failure, unsigned port);
    void MonitorThread(std::shared_ptr<Session> s);
    bool Deliver(const std::shared_ptr<Session>& s, std::vector<std::uint8_t> bytes, bool writeDone);
    void DeviceLost(const std::shared_ptr<Session>& s);
    bool Queue(Session::Write write);
};

// Stops the session: nothing more is delivered, the monitor thread ends and
// the device is closed. On the GUI thread.
void CSerialLink::Impl::Shutdown() {
    if (session) {
        {
            std::lock_guard<std::mutex> guard(session->lock);
            session->stop = true;
            session->cancelled.store(true, std::memory_order_release);
        }
        session->changed.notify_all();
    }
    if (monitor.joinable()) {
        device->Wake();
        monitor.join();
    }
    if (device && device->IsOpen()) device->Close();
    open = false;
}

void CSerialLink::Impl::ReportCommError(const SerialFailure& failure, unsigned port) {
    host.MessageBox(FormatCommError(failure.call, failure.text, port), kErrorCaption);
}

// From the monitor thread: the box is shown on the GUI thread and the
// monitor thread goes on at once.
void CSerialLink::Impl::PostCommError(const SerialFailure& failure, unsigned port) {
    IHost* h = &host;
    std::string text = FormatCommError(failure.call, failure.text, port);
    host.Post([h, text = std::move(text)] { h->MessageBox(text, kErrorCaption); });
}

// Hands a burst of received bytes (or a write completion) to the GUI thread
// and waits until it has been handled. False when the session was stopped.
bool CSerialLink::Impl::Deliver(const std::shared_ptr<Session>& s, std::vector<std::uint8_t> bytes,
                                bool writeDone) {
    std::uint64_t ticket;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        if (s->stop) return false;
        ticket = ++s->posted;
        s->delivering = true;
    }
    host.Post([s, bytes = std::move(bytes), writeDone, ticket] {
        if (writeDone) {
            s->Send(WM_SERIAL_WRITE_DONE, 0);
        } else {
            if (s->mask & EV_RXCHAR)
                for (std::uint8_t b : bytes) {
                    if (s->cancelled.load(std::memory_order_acquire)) break;
                    s->owner->OnSerialMessage(WM_SERIAL_RXCHAR, b, static_cast<std::intptr_t>(s->port));
                }
            // The rest of the comm events the mask names, in the driver's order.
            if (s->mask & EV_CTS) s->Send(WM_SERIAL_CTS, 0);
            if (s->mask & EV_BREAK) s->Send(WM_SERIAL_BREAK, 0);
            if (s->mask & EV_ERR) s->Send(WM_SERIAL_ERR, 0);
            if (s->mask & EV_RING) s->Send(WM_SERIAL_RING, 0);
            if (s->mask & EV_RXFLAG) s->Send(WM_SERIAL_RXFLAG, 0);
        }
        {
            std::lock_guard<std::mutex> guard(s->lock);
            s->finished = ticket;
        }
        s->changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(s->lock);
    s->changed.wait(guard, [&] { return s->finished >= ticket || s->stop; });
    return !s->stop;
}

// The device has gone away: close it, tell the owner (which tells the
// operator in words of the flow; the error box is for failures of a port
// that is still there) and end.
void CSerialLink::Impl::DeviceLost(const std::shared_ptr<Session>& s) {
    device->Close();
    open = false;
    host.Post([s] { s->Send(WM_SERIAL_LOST, 0); });
}

void CSerialLink::Impl::MonitorThread(std::shared_ptr<Session> s) {
    std::vector<std::uint8_t> buffer(kBurstSize);
    const auto stopped = [&s] {
        std::lock_guard<std::mutex> guard(s->lock);
        return s->stop;
    };
    for (;;) {
        // Shutdown first, then writes, then received bytes.
        Session::Write write;
        bool haveWrite = false;
        {
            std::lock_guard<std::mutex> guard(s->lock);
            if (s->stop) break;
            s->delivering = false;
            if (!s->writes.empty()) {
                write = std::move(s->writes.front());
                s->writes.pop_front();
                haveWrite = true;
            }
        }
        if (haveWrite) {
            // Received bytes nobody has read yet are stale now; bytes of an
            // earlier write are never thrown away.
            device->PurgeInput();
            ISerialDevice::IoResult result = device->Write(write.bytes.data(), write.bytes.size(), stopped);
            if (result.status == ISerialDevice::IoStatus::Done && write.toLine) {
                const ISerialDevice::IoResult drained = device->Drain();
                if (drained.status != ISerialDevice::IoStatus::Done) result = {drained.status, result.count, drained.failure};
            }
            if (result.status == ISerialDevice::IoStatus::Stopped) break;
            if (result.status == ISerialDevice::IoStatus::Gone) {
                // The completion still comes, so chained writes see it.
                if (write.tell) Deliver(s, {}, true);
                DeviceLost(s);
                return;
            }
            if (result.failure) PostCommError(*result.failure, s->port);
            if (write.tell && !Deliver(s, {}, true)) break;
            continue;
        }

        switch (device->WaitForInput()) {
        case ISerialDevice::WaitResult::Woken:
            device->ClearWake();
            continue;
        case ISerialDevice::WaitResult::Gone:
            DeviceLost(s);
            return;
        case ISerialDevice::WaitResult::Input:
            break;
        }
        const ISerialDevice::IoResult result = device->Read(buffer.data(), buffer.size());
        if (result.status != ISerialDevice::IoStatus::Done) {
            DeviceLost(s);
            return;
        }
        if (result.count == 0) continue;
        if (!Deliver(s, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + result.count), false))
            break;
    }
    device->Close();
    open = false;
}

CSerialLink::CSerialLink(IHost& host, PortMap map, DeviceFactory makeDevice)
    : m_impl(std::make_unique<Impl>(host, std::move(map), std::move(makeDevice))) {}

CSerialLink::~CSerialLink() { m_impl->Shutdown(); }

bool CSerialLink::OpenPort(ISerialOwner* owner, unsigned port, unsigned baud, char parity,
                           unsigned dataBits, unsigned stopBits, std::uint32_t eventMask,
                           std::uint32_t writeBufferSize) {
    Impl& d = *m_impl;
    // A running monitor thread ends, and the old device is closed, before
    // anything else changes.
    d.Shutdown();
    d.session = std::make_shared<Session>(owner, port, eventMask);
    d.writeBufferSize = writeBufferSize;
    d.problem.clear();
    if (!d.device) d.device = d.makeDevice ? d.makeDevice() : MakeSerialDevice();
    d.device->ClearWake();

    d.refusal = OpenRefusal::None;
    const std::string path = d.map.DevicePath(port);
    switch (d.device->Open(path)) {
    case ISerialDevice::OpenStatus::Opened:
        break;
    case ISerialDevice::OpenStatus::Denied:
        d.refusal = OpenRefusal::Denied;
        d.problem = d.device->Problem();
        return false;
    case ISerialDevice::OpenStatus::NotSerial:
        d.refusal = OpenRefusal::NotSerial;
        d.problem = d.device->Problem();
        return false;
    case ISerialDevice::OpenStatus::Busy:
        d.refusal = OpenRefusal::Busy;
        return false;
    case ISerialDevice::OpenStatus::Absent:
        // A network port says why (refused, no answer, unknown host).
        d.refusal = OpenRefusal::Absent;
        d.problem = d.device->Problem();
        return false;
    }
    const LineSettings line{baud, parity, dataBits, stopBits, eventMask};
    if (const auto failure = d.device->Configure(line)) {
        // A line that is not what the flows expect would carry their bytes
        // wrongly: the device is given back untouched.
        d.ReportCommError(*failure, port);
        d.device->Close();
        d.refusal = OpenRefusal::Unusable;
        d.problem = path + " could not be set up as a serial port and was closed again; nothing was sent to it.";
        return false;
    }
    d.device->PurgeInput();
    d.open = true;
    return true;
}

bool CSerialLink::StartMonitor() {
    Impl& d = *m_impl;
    if (!d.open || d.monitor.joinable() || !d.session) return false;
    {
        std::lock_guard<std::mutex> guard(d.session->lock);
        if (d.session->stop) return false;
    }
    d.monitor = std::thread([&d, s = d.session] { d.MonitorThread(s); });
    return true;
}

bool CSerialLink::QueueWrite(const std::uint8_t* bytes, std::size_t length) {
    return m_impl->Queue({std::vector<std::uint8_t>(bytes, bytes + length)});
}

bool CSerialLink::QueueWriteToLine(const std::uint8_t* bytes, std::size_t length) {
    return m_impl->Queue({std::vector<std::uint8_t>(bytes, bytes + length), true});
}

bool CSerialLink::QueueUntoldWrite(const std::uint8_t* bytes, std::size_t length) {
    return m_impl->Queue({std::vector<std::uint8_t>(bytes, bytes + length), false, false});
}

bool CSerialLink::Impl::Queue(Session::Write write) {
    if (!open || !session || write.bytes.size() > writeBufferSize) return false;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(session->lock);
        if (session->stop || session->writes.size() >= kMaxPendingWrites) return false;
        session->writes.push_back(std::move(write));
        wake = !session->delivering;
    }
    // A wake-up is a system call (under wine a request to its server).
    if (wake) device->Wake();
    return true;
}

void CSerialLink::RequestClose() {
    Impl& d = *m_impl;
    if (!d.session) return;
    {
        std::lock_guard<std::mutex> guard(d.session->lock);
        d.session->stop = true;
        d.session->cancelled.store(true, std::memory_order_release);
    }
    d.session->changed.notify_all();
    if (d.monitor.joinable()) {
        // The monitor thread closes the device and ends.
        d.device->Wake();
    } else if (d.device && d.device->IsOpen()) {
        d.device->Close();
        d.open = false;
    }
}

bool CSerialLink::IsOpen() const { return m_impl->open; }

std::string CSerialLink::OpenProblem() const { return m_impl->problem; }

const PortMap& CSerialLink::Map() const { return m_impl->map; }
OpenRefusal CSerialLink::LastOpenRefusal() const { return m_impl->refusal; }

std::string CSerialLink::LineInUse() const {
    const Impl& d = *m_impl;
    return d.open && d.device ? d.device->LineInUse() : std::string();
}

std::string CSerialLink::ParityProblem(char parity) const {
    const Impl& d = *m_impl;
    return d.open && d.device ? d.device->ParityProblem(parity) : std::string();
}

std::string CSerialLink::DeviceName(unsigned com) const { return m_impl->map.DevicePath(com); }

std::string CSerialLink::FormatCommError(const std::string& call, const std::string& systemText,
                                         unsigned port) {
    return "WARNING:  " + call + " Failed with the following error: \n" + systemText +
           "\nPort: " + std::to_string(port) + "\n";
}

} // namespace quillet
