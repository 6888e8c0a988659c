// The network backend of ISerialDevice: an instrument behind a serial device
// server, opened by URL (NetAddress.h).
//
// socket://HOST:PORT is a raw TCP stream: the bytes are the line's, and the
// line settings are whatever the server was set up with, so only 8N1 is
// taken (the instrument's own setting) and parity cannot be switched.
//
// rfc2217://HOST:PORT is a telnet connection with the COM-PORT-OPTION: every
// Configure sets speed, data size, parity and stop size on the server and
// checks its answers; while the line is set to another parity, the server
// is also asked once for even parity and set back, so the main-MCU update
// knows before it starts whether the server can carry it. Data bytes 0xFF
// are doubled both ways; the server's input is purged (PURGE-DATA) once the
// line is set, the input purge before each write drops what has arrived
// here; RTS and DTR are asked for on, and a server that ignores that is fine.
//
// Both: TCP_NODELAY (every frame waits for its answer), keepalive, a connect
// bounded by a time limit; a connection refused, reset or closed is the
// device gone, naming the server.
#pragma once

#include <memory>

#include "serial/SerialDevice.h"

namespace quillet {

// Limits of the connection's set-up, in milliseconds.
struct NetTimeouts {
    unsigned connectMs = 3000;      // the TCP connect, all addresses of the host together
    unsigned negotiationMs = 3000;  // the server's answers to the option and line requests
};

std::unique_ptr<ISerialDevice> MakeNetSerialDevice(NetTimeouts timeouts = {});
// MakeSerialDevice() (SerialDevice.h) with these limits for network ports.
std::unique_ptr<ISerialDevice> MakeSerialDevice(NetTimeouts network);
// The limits no longer than `limitMs` (the command line's --timeout).
NetTimeouts NetTimeoutsWithin(unsigned limitMs);

} // namespace quillet
