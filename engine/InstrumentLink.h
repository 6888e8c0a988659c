// The program's link to one instrument: the serial port, the line settings
// it is opened with, the addresses of the instrument and of this console,
// the command frames that go out and the reply frames that come in, taken
// apart byte by byte and handed on by their entry in the reply table.
// It shows nothing and asks nothing: where the operator must hear of a
// refused command, the caller is told by the result.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "protocol/Frame.h"
#include "serial/SerialDevice.h"
#include "serial/SerialPort.h"

namespace quillet {

// The line every port of the program opens with, 115200 8N1; the parity
// is the one the flows change (the main-MCU bootloader talks at 8E1).
inline constexpr LineSettings kInstrumentLine{115200, 'N', 8, 1, EV_RXCHAR | EV_RXFLAG};

class InstrumentLink {
public:
    static constexpr std::size_t kWriteBufferSize = 512;

    // Talks through `port`, which the caller keeps.
    explicit InstrumentLink(ISerialPort& port) : m_port(&port) {}
    // Through `port` when there is one, else through a port of its own.
    InstrumentLink(ISerialPort* port, std::unique_ptr<ISerialPort> own)
        : m_own(port ? nullptr : std::move(own)), m_port(port ? port : m_own.get()) {}
    InstrumentLink(const InstrumentLink&) = delete;
    InstrumentLink& operator=(const InstrumentLink&) = delete;

    ISerialPort& Port() { return *m_port; }
    const ISerialPort& Port() const { return *m_port; }
    LineSettings& Line() { return m_line; }
    const LineSettings& Line() const { return m_line; }
    // The COM number of the operator's port (the one a search found).
    unsigned& Com() { return m_com; }
    unsigned Com() const { return m_com; }

    // ---- the port --------------------------------------------------------
    // Who receives the serial messages of the ports this link opens.
    void SetOwner(ISerialOwner& owner) { m_owner = &owner; }
    // Opens COM `com` with the line settings at `parity` and starts its
    // monitor. Com() is left as it is.
    bool Open(unsigned com, char parity);
    // Command frames go out only while the link is marked open: the
    // operator's port is on (a search opens ports without marking them).
    bool Ready() const { return m_ready; }
    void SetReady(bool ready) { m_ready = ready; }
    // Not ready any more; the monitor closes the device.
    void Close();

    // ---- addresses ---------------------------------------------------------
    FrameAddress& Device() { return m_device; }
    FrameAddress Device() const { return m_device; }
    FrameAddress& Console() { return m_console; }
    FrameAddress Console() const { return m_console; }

    // ---- command frames ----------------------------------------------------
    enum class Command {
        Sent,
        TooLong,   // more than kMaxPayload bytes: nothing built or sent
        Dropped,   // a negative count describes no payload
        NotReady,  // built, but the port is not on: nothing sent
    };
    // A command frame from this console to the instrument.
    Command SendCommand(std::uint16_t code, const std::uint8_t* payload, int count);
    // The last frame built (also when it could not be sent).
    const std::uint8_t* CommandFrame() const { return m_cmd; }

    // ---- reply frames ------------------------------------------------------
    // A complete reply that passed the checksum, the reply table and the
    // console filter: `entry` is its code's first place in kReplyCodes,
    // `frame` the reply from its header on.
    using ReplySink = std::function<void(std::size_t entry, const std::uint8_t* frame)>;
    void SetReplySink(ReplySink sink) { m_sink = std::move(sink); }
    // Takes one received byte. False when it lies outside any frame: idle,
    // and not a reply header (a boot banner, say).
    bool TakeReplyByte(std::uint8_t b);
    // The receive state: kRxIdle, or the index of the frame's next byte
    // less one. The search-reply matcher shares it.
    int& ReceiveState() { return m_rxState; }
    int ReceiveState() const { return m_rxState; }
    const std::uint8_t* Reply() const { return m_reply; }

private:
    void TakeByteOfState(std::uint8_t b, bool accepted);
    void TakeLengthHigh(std::uint8_t b);
    void TakeFrameByte(std::uint8_t b);
    void DispatchReply();

    std::unique_ptr<ISerialPort> m_own;
    ISerialPort* m_port;
    ISerialOwner* m_owner = nullptr;
    LineSettings m_line = kInstrumentLine;
    unsigned m_com = 1;
    bool m_ready = false;
    FrameAddress m_device;
    FrameAddress m_console;
    std::uint8_t m_cmd[kMaxRequestFrame] = {};

    ReplySink m_sink;
    int m_rxState = kRxIdle;
    int m_expectedLength = 0;
    std::uint8_t m_reply[kReplyBufferSize] = {};
};

} // namespace quillet
