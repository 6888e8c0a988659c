// The device search as a flow of its own: the search frame of a device
// kind goes to each port that opens, COM1 to COM99, and the first port
// whose reply repeats the device's address is the instrument's. The flow
// opens the ports through the instrument link, paces the scan with its
// timer (the waits below), matches the reply and keeps what the operator
// should hear of ports that could not be opened.
#pragma once

#include <cstdint>
#include <string>

#include "discovery/SearchState.h"
#include "engine/FlowEvents.h"
#include "engine/FlowLink.h"
#include "engine/InstrumentLink.h"
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

    SearchFlow(FlowLink& link, InstrumentLink& instrument, SearchState& state)
        : m_link(link), m_instrument(instrument), m_s(state) {}

    // A search for the instrument at the link's device address, at the
    // line's parity: the first port from COM1 on that opens gets the search
    // frame and the scan waits on it. False when not one port opened: the
    // scan (also one this search interrupted) has ended at COM1.
    bool Start();
    // A tick of the scan's timer: the port probed last answered (Found; it
    // stays open and is the link's COM number), or the next port that opens
    // is probed, or none is left (NotFound: the COM number of before the
    // search). Idle when no scan runs.
    enum class Tick { Idle, Probing, Found, NotFound };
    Tick OnTick();
    // A received byte while the scan waits; one of a reply under way
    // restarts the wait at kAfterReplyByteMs.
    void OnByte(std::uint8_t b);
    // The scan ends where it is (its timer too); the port is left to the
    // caller. Nothing happens when no scan runs.
    void Stop();

    // The steps of Start: a new search for `device` by `console`
    // (`currentPort` is the COM number a scan that found nothing gives
    // back), and the search frame to the port just opened.
    void Begin(FrameAddress device, FrameAddress console, unsigned currentPort);
    void Probe();
    bool Running() const { return m_s.inProgress == 1; }
    bool Found() const { return m_s.deviceFound == 1; }
    unsigned SavedPort() const { return m_s.savedPort; }

    // A byte received while the scan waits, matched against the reply
    // AB G M 07 00 x x 02 F8 G M c of `device`; `rxState` is the receive
    // state the frame parser shares. True when a reply was under way: the
    // scan then waits kAfterReplyByteMs from now.
    static bool MatchReply(std::uint8_t b, int& rxState, FrameAddress device, SearchState& s);

    // Keeps the first problem of each kind the operator can mend (no
    // permission; no serial port or set-up failed).
    void NoteRefusal(OpenRefusal why, const std::string& problem);
    // What the operator reads after a scan that found nothing, besides
    // its box: each kind of problem once; empty when there was none.
    std::string Hints() const;

    static const char* NotFoundText();
    static FlowSnapshot Snapshot(const char* kindDescription, unsigned port);

private:
    // Probes the first port from `first` on that opens; false when none up
    // to kLastPort does. Ports that do not open cost no waiting.
    bool ProbeFrom(unsigned first);

    FlowLink& m_link;
    InstrumentLink& m_instrument;
    SearchState& m_s;
};

} // namespace quillet
