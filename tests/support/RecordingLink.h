// A FlowLink that keeps what a flow object asked for: the tests drive a
// flow with no dialog and check the bytes, command frames, pauses, answer
// watches, percentages, events and timers it produced.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/FlowLink.h"

namespace quillet::test {

struct RecordingLink : FlowLink {
    using Bytes = std::vector<std::uint8_t>;
    struct Command {
        std::uint16_t code;
        Bytes payload;
    };
    struct Event {
        FlowEvent event;
        long long a, b;
        std::string text;
    };

    std::vector<Bytes> sent;         // Send and SendToLine, in order
    std::vector<Command> commands;   // SendCommand
    std::vector<unsigned> pauses;
    int answers = 0;
    std::vector<float> percents;
    std::vector<Event> events;
    std::vector<std::pair<FlowTimer, unsigned>> timersStarted;
    std::vector<FlowTimer> timersStopped;

    void Send(const std::uint8_t* bytes, std::size_t length) override { sent.emplace_back(bytes, bytes + length); }
    void SendToLine(const std::uint8_t* bytes, std::size_t length) override { Send(bytes, length); }
    void SendCommand(std::uint16_t code, const std::uint8_t* payload, int count) override {
        commands.push_back({code, Bytes(payload, payload + count)});
    }
    void Pause(unsigned ms) override { pauses.push_back(ms); }
    void Answered() override { ++answers; }
    void Progress(float percent) override { percents.push_back(percent); }
    void Tell(FlowEvent event, long long a, long long b, const std::string& text) override {
        events.push_back({event, a, b, text});
    }
    void StartTimer(FlowTimer timer, unsigned ms) override { timersStarted.emplace_back(timer, ms); }
    void StopTimer(FlowTimer timer) override { timersStopped.push_back(timer); }

    int Count(FlowEvent e) const {
        int n = 0;
        for (const Event& x : events) n += x.event == e;
        return n;
    }
    std::vector<FlowEvent> EventKinds() const {
        std::vector<FlowEvent> kinds;
        for (const Event& x : events) kinds.push_back(x.event);
        return kinds;
    }
};

} // namespace quillet::test
