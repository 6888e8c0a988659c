// The telnet layer of RFC 2217 (see Telnet.h).
#include "serial/Telnet.h"

namespace quillet::telnet {

std::uint8_t ParityCode(char parity) {
    switch (parity) {
    case 'N': return kParityNone;
    case 'O': return kParityOdd;
    case 'E': return kParityEven;
    case 'M': return kParityMark;
    case 'S': return kParitySpace;
    default: return 0;
    }
}

char ParityChar(std::uint8_t code) {
    switch (code) {
    case kParityNone: return 'N';
    case kParityOdd: return 'O';
    case kParityEven: return 'E';
    case kParityMark: return 'M';
    case kParitySpace: return 'S';
    default: return '?';
    }
}

void AppendEscaped(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out) {
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) out.push_back(kIac);
    }
}

std::vector<std::uint8_t> Command(std::uint8_t cmd, std::uint8_t option) { return {kIac, cmd, option}; }

std::vector<std::uint8_t> ComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> out{kIac, kSb, kOptComPort, command};
    AppendEscaped(value.data(), value.size(), out);
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

std::vector<std::uint8_t> BaudBytes(std::uint32_t baud) {
    return {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
            static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
}

void Decoder::Feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
                   std::vector<Event>& events) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = bytes[i];
        switch (m_state) {
        case State::Data:
            if (b == kIac)
                m_state = State::Iac;
            else
                data.push_back(b);
            break;
        case State::Iac:
            if (b == kIac) {
                data.push_back(kIac);
                m_state = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                m_command = b;
                m_state = State::Option;
            } else if (b == kSb) {
                m_sub.clear();
                m_subOverflow = false;
                m_state = State::Sub;
            } else {
                m_state = State::Data;  // NOP, GA and the like: nothing to do
            }
            break;
        case State::Option:
            events.push_back(Event{Event::Kind::Option, m_command, b, {}});
            m_state = State::Data;
            break;
        case State::Sub:
            if (b == kIac) {
                m_state = State::SubIac;
            } else if (m_sub.size() < kMaxSubnegotiation) {
                m_sub.push_back(b);
            } else if (!m_subOverflow) {
                // Never ends, or garbage: told once; the rest up to IAC SE is dropped.
                m_subOverflow = true;
                events.push_back(Event{Event::Kind::Malformed, 0, m_sub.empty() ? std::uint8_t(0) : m_sub[0], {}});
            }
            break;
        case State::SubIac:
            if (b == kSe) {
                if (!m_subOverflow && !m_sub.empty())
                    events.push_back(Event{Event::Kind::Subnegotiation, 0, m_sub[0],
                                           std::vector<std::uint8_t>(m_sub.begin() + 1, m_sub.end())});
                m_state = State::Data;
            } else if (b == kIac) {
                if (m_sub.size() < kMaxSubnegotiation) m_sub.push_back(kIac);
                m_state = State::Sub;
            } else {
                // IAC followed by anything else inside a sub-negotiation.
                events.push_back(Event{Event::Kind::Malformed, b, m_sub.empty() ? std::uint8_t(0) : m_sub[0], {}});
                m_state = State::Data;
            }
            break;
        }
    }
}

std::string DescribeSetting(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    const unsigned base = command >= kServerOffset ? command - kServerOffset : command;
    if (base == kSetBaudrate && value.size() == 4)
        return "speed " + std::to_string((std::uint32_t(value[0]) << 24) | (std::uint32_t(value[1]) << 16) |
                                         (std::uint32_t(value[2]) << 8) | value[3]);
    if (value.size() != 1) return "a malformed answer";
    switch (base) {
    case kSetDatasize: return std::to_string(value[0]) + " data bits";
    case kSetParity: {
        const char p = ParityChar(value[0]);
        static const char* const kNames[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
        return p == '?' ? "parity code " + std::to_string(value[0]) : std::string("parity ") + kNames[value[0] - 1];
    }
    case kSetStopsize: return std::to_string(value[0]) + " (stop bits code)";
    default: return "value " + std::to_string(value[0]);
    }
}

} // namespace quillet::telnet
