// The device search as a flow of its own: the search frame of a device
// kind goes to each port that opens, COM1 to COM99, and the first port
// whose reply repeats the device's address is the instrument's. The front
// end opens the ports and paces the scan with its timer (the waits below);
// the flow builds the frame, matches the reply and keeps what the operator
// should hear of ports that could not be opened.
#pragma once

#include <cstdint>
#include <string>

#include "discovery/SearchState.h"
#include "engine/FlowEvents.h"
#include "engine/FlowLink.h"
#include "protocol/Frame.h"
#include "serial/SerialPort.h"

namespace quillet {

class SearchFlow {
public:
    static constexpr unsigned kLastPort = 99;
    // How long the scan waits for a reply: on the first port, on each later
    // one, and after each byte of a reply under way.
    static constexpr unsigned kFirstPortWaitMs = 300;
    static constexpr unsigned kLaterPortWaitMs = 400;
    static constexpr unsigned kAfterReplyByteMs = 200;

    SearchFlow(FlowLink& link, SearchState& state) : m_link(link), m_s(state) {}

    // A new search for `device` by `console`; `currentPort` is the port
    // number the scan gives back when ports opened but none answered.
    void Begin(FrameAddress device, FrameAddress console, unsigned currentPort);
    // The port just opened gets the search frame; the scan waits on it.
    void Probe();
    bool Running() const { return m_s.inProgress == 1; }
    bool Found() const { return m_s.deviceFound == 1; }
    void End() { m_s.inProgress = 0; }
    unsigned SavedPort() const { return m_s.savedPort; }

    // A byte received while the scan waits, matched against the reply
    // AB G M 07 00 x x 02 F8 G M c of `device`; `rxState` is the receive
    // state the frame parser shares. True when a reply was under way: the
    // scan then waits kAfterReplyByteMs from now.
    static bool MatchReply(std::uint8_t b, int& rxState, FrameAddress device, SearchState& s);
    bool OnByte(std::uint8_t b, int& rxState, FrameAddress device) { return MatchReply(b, rxState, device, m_s); }

    // Keeps the first problem of each kind the operator can mend (no
    // permission; no serial port or set-up failed).
    void NoteRefusal(OpenRefusal why, const std::string& problem);
    // What the operator reads after a scan that found nothing, besides
    // its box: each kind of problem once; empty when there was none.
    std::string Hints() const;

    static const char* NotFoundText();
    static FlowSnapshot Snapshot(const char* kindDescription, unsigned port);

private:
    FlowLink& m_link;
    SearchState& m_s;
};

} // namespace quillet
