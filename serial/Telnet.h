// The telnet layer of RFC 2217 (RFC 854 commands, RFC 855 options, RFC 2217
// COM-PORT-OPTION), shared by the program's client (NetSerialDevice.cpp) and
// the simulator's server: escaping of data bytes and a decoder that splits
// what arrives into data bytes, option commands and sub-negotiations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet::telnet {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kOptBinary = 0;
constexpr std::uint8_t kOptEcho = 1;
constexpr std::uint8_t kOptSuppressGoAhead = 3;
constexpr std::uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands, client to server; the server answers each with
// the same number plus kServerOffset and the value it has set.
constexpr std::uint8_t kSetBaudrate = 1;
constexpr std::uint8_t kSetDatasize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopsize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;

// Values of SET-PARITY, SET-STOPSIZE, SET-CONTROL and PURGE-DATA.
constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kParityOdd = 2;
constexpr std::uint8_t kParityEven = 3;
constexpr std::uint8_t kParityMark = 4;
constexpr std::uint8_t kParitySpace = 5;
constexpr std::uint8_t kStopOne = 1;
constexpr std::uint8_t kStopTwo = 2;
constexpr std::uint8_t kControlDtrOn = 8;
constexpr std::uint8_t kControlRtsOn = 11;
constexpr std::uint8_t kPurgeReceive = 1;

// Longest sub-negotiation taken; a longer one is garbage (or never ends).
constexpr std::size_t kMaxSubnegotiation = 64;

// 'N', 'O', 'E', 'M', 'S' as SET-PARITY values (0 for another character),
// and back ('?' for an unknown value).
std::uint8_t ParityCode(char parity);
char ParityChar(std::uint8_t code);

// `data` with every 0xFF doubled, appended to `out`.
void AppendEscaped(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out);
// IAC cmd option.
std::vector<std::uint8_t> Command(std::uint8_t cmd, std::uint8_t option);
// IAC SB COM-PORT-OPTION command value... IAC SE, the value escaped.
std::vector<std::uint8_t> ComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value);
// SET-BAUDRATE's four bytes, most significant first.
std::vector<std::uint8_t> BaudBytes(std::uint32_t baud);

// What the decoder found besides data.
struct Event {
    enum class Kind { Option, Subnegotiation, Malformed };
    Kind kind = Kind::Option;
    std::uint8_t command = 0;  // Option: WILL, WONT, DO or DONT; other commands are skipped
    std::uint8_t option = 0;   // Option and Subnegotiation: the option
    std::vector<std::uint8_t> payload;  // Subnegotiation: what follows the option, unescaped
};

class Decoder {
public:
    // Decodes `length` received bytes: data bytes are appended to `data`,
    // everything else to `events`, in order of arrival.
    void Feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
              std::vector<Event>& events);
    // True while a command or sub-negotiation is incomplete.
    bool InCommand() const { return m_state != State::Data; }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    State m_state = State::Data;
    std::uint8_t m_command = 0;
    std::vector<std::uint8_t> m_sub;
    bool m_subOverflow = false;
};

// Server answer to a COM-PORT-OPTION command, as text for messages:
// "parity EVEN", "speed 115200".
std::string DescribeSetting(std::uint8_t command, const std::vector<std::uint8_t>& value);

} // namespace quillet::telnet
