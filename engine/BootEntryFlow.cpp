#include "engine/BootEntryFlow.h"

#include <string_view>

namespace quillet {
namespace {

constexpr std::uint8_t kIspEntry[12] = {0x0D, 0x0A, 'I', 'S', 'P', ' ', '3', '2', ' ', '1', 0x0D, 0x0A};
constexpr std::uint8_t kCrLf[2] = {0x0D, 0x0A};
constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr unsigned kSubMcuLineGapMs = 100;  // between the two sub-MCU entry writes

// Boot-mode lines of the instrument, each just before a carriage return.
constexpr std::string_view kIspModeBanner = " ISP MODE...";
constexpr std::string_view kUbd00Banner = "UBD 00";
constexpr std::size_t kUbd00MinMatches = 3;
constexpr std::string_view kBoardBanners[4] = {"UBD 01", "UBD 02", "UBD 03", "UBD 04"};

// Compares `pattern` with the characters just before the carriage return at
// ring[index], backwards; returns the number of equal positions.
std::size_t CountBannerMatches(const EntryState& e, std::string_view pattern) {
    const int length = static_cast<int>(pattern.size());
    std::size_t equal = 0;
    for (int k = 0; k < length; ++k) {
        const int at = ((e.ringIndex - 1 - k) % kBannerRingSize + kBannerRingSize) % kBannerRingSize;
        const char expected = pattern[static_cast<std::size_t>(length - 1 - k)];
        if (e.ring[at] == static_cast<std::uint8_t>(expected)) ++equal;
    }
    return equal;
}

} // namespace

void BootEntryFlow::SendIspEntry() { m_link.Send(kIspEntry, sizeof kIspEntry); }

void BootEntryFlow::EnterMainMcu() {
    SendIspEntry();
    m_e.mcuEntry = 1;
    m_link.Answered();
}

void BootEntryFlow::EnterSubMcu(int index) {
    m_link.Send(kCrLf, sizeof kCrLf);
    std::uint8_t line[13] = {'U', 'B', 'P', ' ', '3', '2', ' ', '2', ' ', ' ', '0', 0x0D, 0x0A};
    if (index == kLastSubMcu) {
        line[9] = '2';
        line[10] = '0';
    } else {
        line[10] = static_cast<std::uint8_t>('0' + index);
    }
    // The first write must have left the port's single write buffer.
    m_link.Pause(kSubMcuLineGapMs);
    m_link.Send(line, sizeof line);
    m_e.subMcuEntry = 1;
    m_link.Answered();
}

void BootEntryFlow::EnterInputBoard(int board) {
    const std::uint8_t command[14] = {0x0D, 0x0A, 'U', 'B', 'P', ' ', '3', '2', ' ', '2', ' ',
                                      static_cast<std::uint8_t>('0' + board), 0x0D, 0x0A};
    m_link.Send(command, sizeof command);
    m_e.inputEntry = 1;
    m_e.board = board;
    m_link.Answered();
}

BootEntryFlow::Banner BootEntryFlow::OnByte(std::uint8_t b) {
    m_e.ringIndex = (m_e.ringIndex + 1) % kBannerRingSize;
    m_e.ring[m_e.ringIndex] = b;
    if (b != kCarriageReturn) return Banner::None;
    if (m_e.inputEntry == 1) {
        for (std::string_view banner : kBoardBanners)
            if (CountBannerMatches(m_e, banner) == banner.size()) return Banner::InputBoard;
        return Banner::None;
    }
    if (CountBannerMatches(m_e, kIspModeBanner) == kIspModeBanner.size()) return Banner::IspMode;
    if (CountBannerMatches(m_e, kUbd00Banner) >= kUbd00MinMatches) return Banner::Ubd00;
    return Banner::None;
}

FlowSnapshot BootEntryFlow::Snapshot() const {
    FlowSnapshot f;
    if (m_e.mcuEntry == 1 && !m_e.mcuHandedOver) {
        f.kind = FlowKind::McuEntry;
        f.what = "the main-MCU update";
        f.progress = "while waiting for the instrument's boot mode";
    } else if (m_e.subMcuEntry == 1) {
        f.kind = FlowKind::SubMcuEntry;
        f.what = "the sub-MCU update";
        f.progress = "while waiting for the instrument's boot mode";
    } else if (m_e.inputEntry == 1) {
        f.kind = FlowKind::BoardEntry;
        f.slot = m_e.board;
        f.what = "the update of input board " + std::to_string(f.slot);
        f.progress = "while waiting for its boot mode";
    } else {
        return f;
    }
    f.stage = kStageBootMode;
    return f;
}

std::string BootEntryFlow::TimeoutText(FlowKind entry, unsigned timeoutMs) {
    return "time-out: the instrument has not answered for " + SecondsText(timeoutMs) +
           (entry == FlowKind::SubMcuEntry ? " (no boot-mode answer from the sub-MCU)" : " (no boot-mode answer)");
}

} // namespace quillet
