#include "sim/lib/MemoryDevice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "serial/SerialDevice.h"
#include "sim/lib/Instrument.h"

namespace quillet::sim {

struct MemoryLine::Shared {
    Shared(Options o, std::string n) : name(std::move(n)), inst(std::move(o)) {}

    const std::string name;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
    mutable std::mutex mu;
    std::condition_variable changed;
    Instrument inst;
    bool held = false;  // a device has the line open

    // Replies on their way to the program, in the order they are due.
    struct Due {
        std::uint64_t at;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Due> pending;
    std::deque<std::uint8_t> arrived;  // due and not read yet

    std::uint64_t Now() const {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
    }

    // Moves what has fallen due to `arrived`. Under `mu`.
    void Arrive(std::uint64_t now) {
        while (!pending.empty() && pending.front().at <= now) {
            arrived.insert(arrived.end(), pending.front().bytes.begin(), pending.front().bytes.end());
            pending.pop_front();
        }
    }

    void Schedule(std::vector<Reply>&& replies, std::uint64_t now) {
        for (Reply& r : replies) {
            Due d{now + r.delayMs, std::move(r.bytes)};
            // Stable by due time: equal times keep their order.
            auto it = std::upper_bound(pending.begin(), pending.end(), d.at,
                                       [](std::uint64_t at, const Due& e) { return at < e.at; });
            pending.insert(it, std::move(d));
        }
    }
};

namespace {

class MemoryDevice final : public ISerialDevice {
public:
    explicit MemoryDevice(std::shared_ptr<MemoryLine::Shared> line) : m_line(std::move(line)) {}
    ~MemoryDevice() override { Close(); }

    OpenStatus Open(const std::string& path) override {
        Close();
        std::lock_guard<std::mutex> guard(m_line->mu);
        if (path != m_line->name || m_line->held) return OpenStatus::Absent;
        m_line->held = true;
        m_open = true;
        return OpenStatus::Opened;
    }
    std::string Problem() const override { return {}; }
    std::optional<SerialFailure> Configure(const LineSettings&) override { return std::nullopt; }
    bool IsOpen() const override { return m_open; }

    void PurgeInput() override {
        std::lock_guard<std::mutex> guard(m_line->mu);
        m_line->Arrive(m_line->Now());
        m_line->arrived.clear();
    }

    WaitResult WaitForInput() override {
        std::unique_lock<std::mutex> guard(m_line->mu);
        for (;;) {
            if (m_wake) return WaitResult::Woken;
            const std::uint64_t now = m_line->Now();
            m_line->Arrive(now);
            if (!m_line->arrived.empty()) return WaitResult::Input;
            if (m_line->pending.empty())
                m_line->changed.wait(guard);
            else
                m_line->changed.wait_for(guard, std::chrono::milliseconds(m_line->pending.front().at - now));
        }
    }

    IoResult Read(std::uint8_t* buffer, std::size_t capacity) override {
        std::lock_guard<std::mutex> guard(m_line->mu);
        m_line->Arrive(m_line->Now());
        const std::size_t n = std::min(capacity, m_line->arrived.size());
        std::copy_n(m_line->arrived.begin(), n, buffer);
        m_line->arrived.erase(m_line->arrived.begin(), m_line->arrived.begin() + static_cast<std::ptrdiff_t>(n));
        return {IoStatus::Done, n, std::nullopt};
    }

    IoResult Write(const std::uint8_t* bytes, std::size_t length, const std::function<bool()>&) override {
        {
            std::lock_guard<std::mutex> guard(m_line->mu);
            const std::uint64_t now = m_line->Now();
            for (std::size_t i = 0; i < length; ++i) m_line->Schedule(m_line->inst.Feed(bytes[i], now), now);
        }
        m_line->changed.notify_all();
        return {IoStatus::Done, length, std::nullopt};
    }

    void ClearWake() override {
        std::lock_guard<std::mutex> guard(m_line->mu);
        m_wake = false;
    }

    void Close() override {
        std::lock_guard<std::mutex> guard(m_line->mu);
        if (!m_open) return;
        m_open = false;
        m_line->held = false;
    }

    SerialFailure LastFailure() const override { return {}; }

    void Wake() override {
        {
            std::lock_guard<std::mutex> guard(m_line->mu);
            m_wake = true;
        }
        m_line->changed.notify_all();
    }

private:
    std::shared_ptr<MemoryLine::Shared> m_line;
    std::atomic<bool> m_open{false};
    bool m_wake = false;  // under the line's lock
};

} // namespace

MemoryLine::MemoryLine(Options options, std::string name)
    : m_shared(std::make_shared<Shared>(std::move(options), std::move(name))) {}

MemoryLine::~MemoryLine() = default;

const std::string& MemoryLine::Name() const { return m_shared->name; }

CSerialLink::DeviceFactory MemoryLine::DeviceFactory() {
    std::shared_ptr<Shared> shared = m_shared;
    return [shared] { return std::unique_ptr<ISerialDevice>(std::make_unique<MemoryDevice>(shared)); };
}

std::vector<std::uint8_t> MemoryLine::Received() const {
    std::lock_guard<std::mutex> guard(m_shared->mu);
    return m_shared->inst.Received();
}

Summary MemoryLine::GetSummary() const {
    std::lock_guard<std::mutex> guard(m_shared->mu);
    return m_shared->inst.GetSummary();
}

std::string MemoryLine::WriteSummaryFile() {
    std::lock_guard<std::mutex> guard(m_shared->mu);
    return m_shared->inst.WriteSummaryFile();
}

} // namespace quillet::sim
