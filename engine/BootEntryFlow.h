// The way into boot mode: the text commands that restart the main MCU, a
// sub-MCU or an input board in boot mode, and the banner matcher that
// recognises the boot-mode line the instrument sends before a carriage
// return. What follows the banner (the bootloader exchange, the outside
// sub-MCU tool, the input-board loader) is the caller's.
#pragma once

#include <cstdint>

#include "engine/FlowEvents.h"
#include "engine/FlowLink.h"
#include "firmware/FirmwareState.h"

namespace quillet {

class BootEntryFlow {
public:
    // The highest entry of the MCU list (the sub-MCUs 0..10).
    static constexpr int kLastSubMcu = 10;

    BootEntryFlow(FlowLink& link, EntryState& state) : m_link(link), m_e(state) {}

    // "ISP 32 1": the main MCU restarts in its bootloader.
    void EnterMainMcu();
    // The main-MCU entry of the direct way: the instrument waits in boot
    // mode already, nothing is sent.
    void TakeMainMcuInBootMode() { m_e.mcuEntry = 1; }
    // "UBP 32 2  n": sub-MCU `index` (0..kLastSubMcu) restarts in boot mode.
    void EnterSubMcu(int index);
    // "UBP 32 2 n": input board `board` (1..4) restarts in boot mode.
    void EnterInputBoard(int board);
    // Sends the main-MCU entry again (after a "UBD 00" line).
    void SendIspEntry();

    // An entry is under way: the bytes outside frames are the banner's.
    bool Waiting() const { return m_e.mcuEntry == 1 || m_e.subMcuEntry == 1 || m_e.inputEntry == 1; }
    // What a byte of the banner recognised.
    enum class Banner {
        None,
        IspMode,     // " ISP MODE...": the MCU waits in its bootloader
        Ubd00,       // "UBD 00" (taken loosely): the keyboard's sub-MCU asks
        InputBoard,  // "UBD 01".."UBD 04" during an input-board entry
    };
    Banner OnByte(std::uint8_t b);
    // The main-MCU entry went on to the bootloader exchange.
    void HandedOver() { m_e.mcuHandedOver = true; }
    // Ends every entry under way; the banner ring is kept.
    void Reset() { m_e.Reset(); }
    int Board() const { return m_e.board; }

    // The entry under way, kind None when there is none (or the main-MCU
    // entry was handed over).
    FlowSnapshot Snapshot() const;
    // The message of a main-MCU or sub-MCU entry (`entry`) that had no
    // boot-mode answer within `timeoutMs`.
    static std::string TimeoutText(FlowKind entry, unsigned timeoutMs);

private:
    FlowLink& m_link;
    EntryState& m_e;
};

} // namespace quillet
