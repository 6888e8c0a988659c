// Request and reply frames of the instrument protocol.
//
//   0  header: 0xAA console -> device, 0xAB device -> console
//   1  device group address      2  device machine address
//   3  length low                4  length high   (bytes from offset 5 to the end)
//   5  console group address     6  console machine address
//   7  code low                  8  code high
//   9  payload (n bytes)         9+n checksum (whole frame sums to 0, 8-bit)
//
// Pure helpers shared by SendCommand, the device search, the block frames
// and the reply parser; nothing here touches the dialog.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillet {

inline constexpr std::uint8_t kRequestHeader = 0xAA;
inline constexpr std::uint8_t kReplyHeader = 0xAB;

// The receive state shared by the reply parser and the search-reply
// matcher when no frame is under way.
inline constexpr int kRxIdle = -1;

// Largest payload of a request frame; the frame is then 300 bytes.
inline constexpr int kMaxPayload = 290;
inline constexpr std::size_t kFrameOverhead = 10;  // header .. code, plus checksum
inline constexpr std::size_t kMaxRequestFrame = kMaxPayload + kFrameOverhead;

// Reply frames: the length field must lie in 5..500 (the smallest holds the
// console address, the code and the checksum), so a frame is at most 505
// bytes and always fits the 520-byte reply buffer.
inline constexpr int kMinReplyLength = 5;
inline constexpr int kMaxReplyLength = 500;
inline constexpr std::size_t kReplyBufferSize = 520;
static_assert(kMaxReplyLength + 5 <= static_cast<int>(kReplyBufferSize),
              "the longest accepted reply must fit the reply buffer");

// Command and reply codes.
inline constexpr std::uint16_t kCodeSearch = 0xF802;
// The length field of the search reply: the console address, the code and the device address.
inline constexpr std::uint8_t kSearchReplyLength = 0x07;
inline constexpr std::uint16_t kCodeBlock = 0x7878;
inline constexpr std::uint16_t kCodeBlockAck = 0xFFFF;
inline constexpr std::uint16_t kCodeAnyConsole = 0xF801;  // passes the console filter

// A code goes out low byte first.
constexpr std::uint8_t CodeLow(std::uint16_t code) { return static_cast<std::uint8_t>(code & 0xFF); }
constexpr std::uint8_t CodeHigh(std::uint16_t code) { return static_cast<std::uint8_t>(code >> 8); }

// The reply codes of the opcode table, in table order. 0xF801 stands twice;
// a lookup takes the first match. The last entry is the block acknowledgement.
inline constexpr std::array<std::uint16_t, 35> kReplyCodes = {
    0xB838, 0x8000, 0x8050, 0x8051, 0x9000, 0xA000, 0xA820, 0xA828, 0xA852, 0xA853,
    0xB800, 0xB810, 0xF800, 0xF801, 0xF878, 0x8081, 0xB820, 0x8063, 0x8064, 0x8065,
    0x8066, 0x8067, 0x8068, 0x8080, 0x8094, 0x8095, 0x8091, 0x8096, 0x8090, 0x8092,
    0x809F, 0xF801, 0xF850, 0xF851, 0xFFFF};
inline constexpr std::size_t kBlockAckEntry = 34;

// Two's complement of the 8-bit sum of `n` bytes: appended to those bytes
// it makes their sum 0.
constexpr std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return static_cast<std::uint8_t>(0x100 - sum);
}

// 8-bit sum of `n` bytes; 0 for a frame with a correct checksum.
constexpr std::uint8_t FrameSum(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

struct FrameAddress {
    std::uint8_t group = 0;
    std::uint8_t machine = 0;
};

// Builds a request frame in `out` (room for count + 10 bytes) and returns
// its size. `count` must lie in 0..290; `payload` may be null when it is 0.
constexpr std::size_t BuildRequestFrame(std::uint8_t* out, FrameAddress device,
                                        FrameAddress console, std::uint16_t code,
                                        const std::uint8_t* payload, int count) {
    const unsigned length = static_cast<unsigned>(count) + 5;
    out[0] = kRequestHeader;
    out[1] = device.group;
    out[2] = device.machine;
    out[3] = static_cast<std::uint8_t>(length & 0xFF);
    out[4] = static_cast<std::uint8_t>(length >> 8);
    out[5] = console.group;
    out[6] = console.machine;
    out[7] = CodeLow(code);
    out[8] = CodeHigh(code);
    for (int i = 0; i < count; ++i) out[9 + i] = payload[i];
    const std::size_t body = static_cast<std::size_t>(count) + 9;
    out[body] = FrameChecksum(out, body);
    return body + 1;
}

// The reply code of a frame held in `frame`: normally bytes 7 and 8; when
// bytes 6 and 7 are both 0xFF, bytes 9 and 10.
constexpr std::uint16_t ReplyCode(const std::uint8_t* frame) {
    if (frame[6] == 0xFF && frame[7] == 0xFF)
        return static_cast<std::uint16_t>(frame[9] | (frame[10] << 8));
    return static_cast<std::uint16_t>(frame[7] | (frame[8] << 8));
}

// The length field of a frame (bytes 3 and 4): the bytes from offset 5 on.
constexpr int FrameLength(const std::uint8_t* frame) { return frame[3] | (frame[4] << 8); }

// Index of the last byte ReplyCode reads for this frame.
constexpr int ReplyCodeEnd(const std::uint8_t* frame) {
    return (frame[6] == 0xFF && frame[7] == 0xFF) ? 10 : 8;
}

// The console-address filter: whether a console configured with address
// (group, machine) accepts a reply whose bytes 5 and 6 are (b5, b6).
// 00 00 and FF FF accept everything, as does a group other than 00/FF with
// machine 00 or FF; any other address takes only frames addressed to it.
constexpr bool ConsoleAccepts(FrameAddress console, std::uint8_t b5, std::uint8_t b6) {
    const std::uint8_t g = console.group;
    const std::uint8_t m = console.machine;
    if (g == 0x00 && m == 0x00) return true;
    if (g == 0xFF && m == 0xFF) return true;
    if (g != 0x00 && g != 0xFF && (m == 0x00 || m == 0xFF)) return true;
    return b5 == g && b6 == m;
}

} // namespace quillet
