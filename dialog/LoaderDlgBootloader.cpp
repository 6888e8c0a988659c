// The main MCU's serial bootloader exchange (the STM32 USART bootloader):
// sync at even parity, Get, Get ID, two Read Memory queries, mass erase and
// the image in 128-byte pieces from 0x08000000, driven by received bytes
// and by timers 8 (sync), 9 (delayed write) and 10 (stand-in ACK).
// BootloaderStep hands each byte to the function of the state it is in.
//
// Paced by its answers (the command line's mcu --fast) the bytes are the
// same, but each goes out as soon as the bootloader has answered the one
// before: no pauses, no delayed writes, and timer 10 is the limit of each
// step, whose expiry (or a NACK of the erase or a write) ends the exchange
// with the failure note instead of standing in for an ACK.
#include <algorithm>
#include <cstdio>

#include "dialog/LoaderDlg.h"
#include "protocol/Bootloader.h"

namespace quillet {
namespace {

using boot::kAck;
using boot::kFlashBase;
using boot::kNack;
using boot::kSync;
constexpr std::uint32_t kReadBlockMax = 256;
constexpr std::size_t kAddressPacketBytes = 5;

// A Write Memory piece: 128 bytes, sent as its length byte (count - 1), the
// bytes and their XOR.
constexpr std::uint8_t kPieceLengthByte = kMcuPieceBytes - 1;
constexpr std::uint32_t kDataPacketBytes = kMcuPieceBytes + 2;

// Blocking pauses before a write.
constexpr unsigned kAfterSyncMs = 100;     // from the sync answer to Get
constexpr unsigned kCommandGapMs = 50;     // before the queries and their parts
constexpr unsigned kShortGapMs = 10;       // before the last Read Memory part and the erase
// One-shot delays of timer 9 (delayed write) and limits of timer 10, whose
// tick stands in for a missing ACK.
constexpr unsigned kEraseCodesDelayMs = 10;
constexpr unsigned kEraseAnswerMs = 200;
constexpr unsigned kFirstWriteDelayMs = 2000;  // the mass erase takes its time
constexpr unsigned kFirstWriteAnswerMs = 3500;
constexpr unsigned kPiecePartDelayMs = 15;     // address and data packets
constexpr unsigned kNextPieceDelayMs = 50;     // the next piece's write command
constexpr unsigned kPartAnswerMs = 225;        // also the close after the exchange
constexpr unsigned kVerifyAnswerMs = 1000;
// Paced by its answers: timer 10 closes the port this soon after the end.
constexpr unsigned kFastCloseMs = 1;

constexpr const char* kNoteSucceeded =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";
constexpr const char* kNoteFailed =
    "Note: Failed to update \r\nMCU firmware. Turn on the\r\n port and update again!";

// The two Read Memory queries of states 3 and 4: after the command's ACK
// the address packet, after the address's ACK the count, after the count's
// ACK the data bytes, which are only counted; the last of them starts the
// next command.
struct ReadQuery {
    std::uint32_t address;
    std::uint8_t count;      // data bytes asked for
    unsigned countGapMs;     // pause before the count
    std::uint8_t next;       // the command that follows the data
    unsigned nextGapMs;      // pause before it
    BootState nextState;
};
constexpr ReadQuery kReadFlash{kFlashBase, 4, kCommandGapMs, boot::kReadMemory, kCommandGapMs,
                               BootState::ReadFlashSize};
constexpr ReadQuery kReadFlashSize{boot::kFlashSizeAddress, 2, kShortGapMs, boot::kErase, kShortGapMs,
                                   BootState::Erase};

std::string Hex32(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
    return text;
}

// Keeps the first part that the bootloader did not acknowledge itself.
void RecordUnacked(BootloaderState& s, bool erase, std::uint32_t address) {
    if (!s.failure.empty()) return;
    s.failureAddress = address;
    s.failure = erase ? "The MCU bootloader did not acknowledge the flash erase at " + Hex32(address) +
                            ". The firmware was not written; please update it again."
                      : "The MCU bootloader did not acknowledge the write at " + Hex32(address) +
                            ". The firmware was not written completely; please update it again.";
}

// The step whose answer did not come, unless an earlier one was already
// left unacknowledged.
void RecordUnanswered(BootloaderState& s) {
    if (s.state == BootState::Erase) {
        RecordUnacked(s, true, kFlashBase);
    } else if (s.state == BootState::Write || s.state == BootState::AwaitLastAck) {
        RecordUnacked(s, false,
                      s.state == BootState::Write && s.subStep == 0 ? s.writeAddress : s.writeAddress - kMcuPieceBytes);
    } else if (s.state == BootState::Verify && s.failure.empty()) {
        s.failure = "The MCU bootloader did not answer while the flash was read back at " + Hex32(s.verifyAddress) +
                    "; the written firmware could not be checked.";
        s.failureAddress = s.verifyAddress;
    } else if (s.failure.empty()) {
        s.failure = "The MCU bootloader stopped answering before the flash erase; nothing was written at " +
                    Hex32(kFlashBase) + ". Please update it again.";
        s.failureAddress = kFlashBase;
    }
}

void SetState(BootloaderState& s, BootState state) {
    s.state = state;
    s.subStep = 0;
    s.readingData = 0;
}

// Address packet: four bytes, most significant first, and their XOR.
void PutAddress(std::uint8_t* out, std::uint32_t a) {
    out[0] = static_cast<std::uint8_t>(a >> 24);
    out[1] = static_cast<std::uint8_t>(a >> 16);
    out[2] = static_cast<std::uint8_t>(a >> 8);
    out[3] = static_cast<std::uint8_t>(a);
    out[4] = static_cast<std::uint8_t>(out[0] ^ out[1] ^ out[2] ^ out[3]);
}

// The image byte the flash should hold at `address` (0xFF past the image).
std::uint8_t ExpectedAt(const StreamState& stream, std::uint32_t address) {
    const std::uint32_t offset = address - kFlashBase;
    return offset < stream.size && offset < stream.Bytes().size() ? stream.Bytes()[offset] : 0xFF;
}

} // namespace

// ---- timers 8, 9 and 10 ------------------------------------------------------

void CLoaderDlg::BootSyncTick() {
    if (m_boot.active == 1) {
        BootWrite(&kSync, 1);
        return;
    }
    // The port was closed for the exchange: the first tick reopens it at
    // even parity. Testing the parity alone would leave the port closed when
    // an earlier update had already set 'E', and the sync bytes would go
    // nowhere for good. A failed reopen is not tried again.
    if (m_cParity == 'N' || m_boot.reopenPending) {
        m_boot.reopenPending = false;
        m_cParity = 'E';
        OpenPortWithSettings(m_nPort, 'E');
        return;
    }
    m_boot.active = 1;
    SetState(m_boot, BootState::Sync);
    m_boot.failure.clear();
    m_boot.failureAddress = 0;
    m_boot.verdictPending = false;
    m_boot.timedOut = false;
    m_boot.silenceArmed = false;
    BootWrite(&kSync, 1);
    ArmBootAnswer(0);
    Report(FlowEvent::BootloaderStarted);
}

// Every byte to the bootloader goes out here. Timer 11 runs from the
// oldest request it has not answered with any byte (timer 10 alone would
// bridge every missing answer and write the rest of the image blind); a
// pause of the flow's own, such as the wait after the erase, is not silence.
void CLoaderDlg::BootWrite(const std::uint8_t* bytes, std::size_t length) {
    m_port->QueueWrite(bytes, length);
    if (m_bFastBoot || !m_nBootSilenceMs || m_boot.silenceArmed || m_boot.active != 1) return;
    m_boot.silenceArmed = true;
    m_host.SetTimer(TIMER_BOOT_SILENCE, m_nBootSilenceMs);
}

void CLoaderDlg::BootWrite(std::initializer_list<std::uint8_t> bytes) { BootWrite(bytes.begin(), bytes.size()); }

void CLoaderDlg::BootWriteCommand(std::uint8_t opcode) {
    const auto bytes = boot::CommandBytes(opcode);
    BootWrite(bytes.data(), bytes.size());
}

void CLoaderDlg::BootSilenceTick() {
    m_host.KillTimer(TIMER_BOOT_SILENCE);
    m_boot.silenceArmed = false;
    BootloaderState& s = m_boot;
    if (s.active != 1 || m_bFastBoot) return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(m_nBootSilenceMs) / 1000.0);
    const std::string silent = std::string("The MCU bootloader has sent nothing for ") + seconds + " s. ";
    // The first part it did not acknowledge: recorded when timer 10 stood
    // in for its answer, or else the step it is silent at.
    RecordUnanswered(s);
    s.failure = silent + s.failure;
    s.active = 0;
    s.timedOut = true;
    m_host.KillTimer(TIMER_BOOT_SYNC);
    m_host.KillTimer(TIMER_BOOT_SEND);
    m_host.KillTimer(TIMER_BOOT_TIMEOUT);
    ClosePortNow();
    ShowBootloaderFailure();
}

void CLoaderDlg::BootSendTick() {
    BootWrite(m_boot.tx, m_boot.pendingLength);
    m_host.KillTimer(TIMER_BOOT_SEND);
}

void CLoaderDlg::BootTimeoutTick() {
    m_host.KillTimer(TIMER_BOOT_TIMEOUT);
    if (m_boot.active != 1) {
        ClosePortNow();
        if (m_boot.verdictPending) ShowBootloaderFailure();
        return;
    }
    BootloaderState& s = m_boot;
    // The last piece or the read-back was never answered, or, paced by its
    // answers, the step's answer did not come.
    if (s.state == BootState::AwaitLastAck || s.state == BootState::Verify || m_bFastBoot) {
        RecordUnanswered(s);
        s.active = 0;
        if (m_bFastBoot) {
            s.timedOut = true;
            m_host.KillTimer(TIMER_BOOT_SYNC);
            m_host.KillTimer(TIMER_BOOT_SEND);
        }
        ClosePortNow();
        ShowBootloaderFailure();
        return;
    }
    // A missing answer is bridged as if the bootloader had acknowledged.
    m_boot.ackFromTimer = true;
    BootloaderStep(kAck);
    m_boot.ackFromTimer = false;
}

// Puts the first `length` bytes of the transmit buffer out with timer 9
// (paced by the answers: at once).
void CLoaderDlg::ArmBootSend(std::uint32_t length, unsigned delayMs) {
    m_boot.pendingLength = length;
    if (m_bFastBoot)
        BootSendTick();
    else
        m_host.SetTimer(TIMER_BOOT_SEND, delayMs);
}

void CLoaderDlg::BootPause(unsigned ms) {
    if (!m_bFastBoot) m_host.Sleep(ms);
}

// Timer 10 for the answer to what was just sent: `ms` on the flow's own
// pacing (0: the flow sets no limit there), the step time-out when paced
// by the answers.
void CLoaderDlg::ArmBootAnswer(unsigned ms) {
    if (m_bFastBoot)
        m_host.SetTimer(TIMER_BOOT_TIMEOUT, m_nBootStepTimeoutMs);
    else if (ms)
        m_host.SetTimer(TIMER_BOOT_TIMEOUT, ms);
}

void CLoaderDlg::EndBootOnFailure() {
    m_boot.active = 0;
    m_boot.verdictPending = true;
    m_host.KillTimer(TIMER_BOOT_SEND);
    m_host.SetTimer(TIMER_BOOT_TIMEOUT, kFastCloseMs);
}

void CLoaderDlg::QueueBootPacket(const std::array<std::uint8_t, 2>& bytes, unsigned delayMs) {
    std::copy(bytes.begin(), bytes.end(), m_boot.tx);
    ArmBootSend(static_cast<std::uint32_t>(bytes.size()), delayMs);
}

// ---- the exchange, state by state -------------------------------------------------

void CLoaderDlg::BootloaderStep(std::uint8_t b) {
    // Any byte from the bootloader answers the requests so far.
    if (!m_boot.ackFromTimer && m_boot.silenceArmed) {
        m_boot.silenceArmed = false;
        m_host.KillTimer(TIMER_BOOT_SILENCE);
    }
    switch (m_boot.state) {
    case BootState::Sync: BootSyncAnswer(b); break;
    case BootState::Get:
    case BootState::GetId: BootQueryAnswer(b); break;
    case BootState::ReadFlash:
    case BootState::ReadFlashSize: BootReadAnswer(b); break;
    case BootState::Erase: BootEraseAnswer(b); break;
    case BootState::Write: BootWriteAnswer(b); break;
    case BootState::AwaitLastAck: BootLastAckAnswer(b); break;
    case BootState::Verify: BootVerifyAnswer(b); break;
    }
}

// State 0: the first answer to the repeated sync byte, ACK or NACK (a
// bootloader synchronised earlier says NACK), stops timer 8.
void CLoaderDlg::BootSyncAnswer(std::uint8_t b) {
    if (b != kAck && b != kNack) return;
    BootPause(kAfterSyncMs);
    BootWriteCommand(boot::kGet);
    m_host.KillTimer(TIMER_BOOT_SYNC);
    ArmBootAnswer(0);
    SetState(m_boot, BootState::Get);
}

// States 1 and 2, Get and Get ID: two ACKs each (the reply's data bytes
// between them are ignored), then the next command.
void CLoaderDlg::BootQueryAnswer(std::uint8_t b) {
    BootloaderState& s = m_boot;
    if (b != kAck) return;
    if (s.subStep == 0) {
        s.subStep = 1;
        return;
    }
    BootPause(kCommandGapMs);
    if (s.state == BootState::Get) {
        BootWriteCommand(boot::kGetId);
        SetState(s, BootState::GetId);
    } else {
        BootWriteCommand(boot::kReadMemory);
        SetState(s, BootState::ReadFlash);
    }
    ArmBootAnswer(0);
}

// States 3 and 4, the Read Memory queries. Once the data bytes arrive they
// are counted whatever their value: an ACK byte among them is data.
// A byte other than ACK before them counts the same way.
void CLoaderDlg::BootReadAnswer(std::uint8_t b) {
    BootloaderState& s = m_boot;
    const ReadQuery& q = s.state == BootState::ReadFlash ? kReadFlash : kReadFlashSize;
    if (s.readingData || b != kAck) {
        if (s.subStep < q.count - 1) {
            ++s.subStep;
            return;
        }
        BootPause(q.nextGapMs);
        BootWriteCommand(q.next);
        SetState(s, q.nextState);
        ArmBootAnswer(0);
        return;
    }
    if (s.subStep == 0) {
        s.subStep = 1;
        BootPause(kCommandGapMs);
        std::uint8_t packet[kAddressPacketBytes];
        PutAddress(packet, q.address);
        BootWrite(packet, sizeof packet);
        ArmBootAnswer(0);
    } else if (s.subStep == 1) {
        s.subStep = 2;
        BootPause(q.countGapMs);
        const auto n = static_cast<std::uint8_t>(q.count - 1);
        BootWrite({n, boot::Complement(n)});
        ArmBootAnswer(0);
    } else {
        s.subStep = 0;
        s.readingData = 1;
    }
}

// State 5, the global erase: 43 BC acknowledged, then FF 00; its ACK starts
// the first write command after the erase has had its time.
void CLoaderDlg::BootEraseAnswer(std::uint8_t b) {
    BootloaderState& s = m_boot;
    m_strStatus = " ";
    const bool ack = b == kAck;
    if ((ack && s.ackFromTimer) || b == kNack) RecordUnacked(s, true, kFlashBase);
    if (b == kNack && m_bFastBoot) {
        EndBootOnFailure();
        return;
    }
    if (!ack) return;
    if (s.subStep == 0) {
        s.subStep = 1;
        // An answer of the bootloader's own, not one timer 10 stood in for.
        if (!s.ackFromTimer) {
            s.eraseTaken = true;
            Report(FlowEvent::BootloaderErasing);
        }
        QueueBootPacket({boot::kEraseAllPages, boot::Complement(boot::kEraseAllPages)}, kEraseCodesDelayMs);
        ArmBootAnswer(kEraseAnswerMs);
        return;
    }
    QueueBootPacket(boot::CommandBytes(boot::kWriteMemory), kFirstWriteDelayMs);
    ArmBootAnswer(kFirstWriteAnswerMs);
    s.writeAddress = kFlashBase;
    m_stream.position = 0;
    SetState(s, BootState::Write);
}

// State 6, Write Memory once per piece: the command's ACK brings the
// address packet, the address's ACK the data packet, the data's ACK the
// next piece's command.
void CLoaderDlg::BootWriteAnswer(std::uint8_t b) {
    BootloaderState& s = m_boot;
    const bool ack = b == kAck;
    // The part this byte answers: the write command of the next piece, or
    // the address or data of the piece just addressed.
    const std::uint32_t piece = s.subStep == 0 ? s.writeAddress : s.writeAddress - kMcuPieceBytes;
    if ((ack && s.ackFromTimer) || b == kNack) RecordUnacked(s, false, piece);
    if (b == kNack && m_bFastBoot) {
        EndBootOnFailure();
        return;
    }
    if (!ack) return;
    if (s.subStep == 0) {
        s.subStep = 1;
        PutAddress(s.tx, s.writeAddress);
        ArmBootSend(kAddressPacketBytes, kPiecePartDelayMs);
        s.writeAddress += kMcuPieceBytes;
        ArmBootAnswer(kPartAnswerMs);
    } else if (s.subStep == 1) {
        s.subStep = 2;
        SendDataPacket();
    } else {
        s.subStep = 0;
        QueueBootPacket(boot::CommandBytes(boot::kWriteMemory), kNextPieceDelayMs);
        ArmBootAnswer(kPartAnswerMs);
    }
}

// Data packet: the length byte (128 bytes follow), the piece from the
// stream position on, the XOR of the 129 bytes; an image that ends early is
// filled with 0xFF.
void CLoaderDlg::SendDataPacket() {
    BootloaderState& s = m_boot;
    s.tx[0] = kPieceLengthByte;
    const std::uint32_t size = m_stream.size;
    const std::uint32_t limit =
        std::min<std::uint32_t>(size, static_cast<std::uint32_t>(m_stream.Bytes().size()));
    std::uint32_t next = m_stream.position % kMcuPieceBytes;  // next slot to fill
    while (next < kMcuPieceBytes && m_stream.position < limit) {
        s.tx[1 + next] = m_stream.Bytes()[m_stream.position];
        ++m_stream.position;
        ++next;
    }
    const bool ended = m_stream.position >= limit;
    std::fill(s.tx + 1 + next, s.tx + 1 + kMcuPieceBytes, 0xFF);
    // The last piece shows 100 % only once the bootloader has acknowledged
    // it (BootLastAckAnswer): an image that was not written never does.
    if (!ended) m_fProgress = static_cast<float>(m_stream.position) / static_cast<float>(size) * 100.0f;
    std::uint8_t x = 0;
    for (std::uint32_t i = 0; i <= kMcuPieceBytes; ++i) x = static_cast<std::uint8_t>(x ^ s.tx[i]);
    s.tx[kMcuPieceBytes + 1] = x;
    ArmBootSend(kDataPacketBytes, kPiecePartDelayMs);
    if (ended) {
        // Timer 10 is not re-armed: the one armed at the address packet
        // closes the port. The success note waits for the bootloader's own
        // acknowledgement of this last piece (paced by the answers, for
        // the step time-out).
        SetState(s, BootState::AwaitLastAck);
        if (m_bFastBoot) ArmBootAnswer(kPartAnswerMs);
    } else {
        ArmBootAnswer(kPartAnswerMs);
    }
    UpdateData(false);
}

// State 7: the last piece's own answer decides, or reading the flash back
// when the operator asked for it.
void CLoaderDlg::BootLastAckAnswer(std::uint8_t b) {
    BootloaderState& s = m_boot;
    if (b == kNack) {
        RecordUnacked(s, false, s.writeAddress - kMcuPieceBytes);
        EndBootExchange();
        return;
    }
    if (b != kAck) return;
    if (s.failure.empty()) {
        m_fProgress = 100;
        UpdateData(false);
    }
    if (m_bVerifyAfterWrite && s.failure.empty()) {
        // Read the written area back before the verdict; the close by
        // timer 10 waits until then.
        SetState(s, BootState::Verify);
        s.verifyAddress = kFlashBase;
        s.verifyEnd = s.writeAddress;
        RequestReadBlock();
    } else {
        EndBootExchange();
    }
}

// ---- the end of the exchange and the read-back ----------------------------------

// The exchange has ended without a failure: the success note.
void CLoaderDlg::ShowBootSucceeded() {
    m_boot.running = false;
    m_strNote = kNoteSucceeded;
    UpdateData(false);
    Report(FlowEvent::BootloaderDone, 1);
    ReportFlowDone(FlowKind::McuBootloader, "the main-MCU update: every piece acknowledged");
}

// The exchange is over: the success note now, or the failure when timer 10
// closes the port (so the box never holds the close up).
void CLoaderDlg::EndBootExchange() {
    m_boot.active = 0;
    m_boot.running = false;
    // Paced by the answers nothing is waited for: the port closes now.
    if (m_bFastBoot) m_host.SetTimer(TIMER_BOOT_TIMEOUT, kFastCloseMs);
    if (m_boot.failure.empty())
        ShowBootSucceeded();
    else
        m_boot.verdictPending = true;
}

void CLoaderDlg::ShowBootloaderFailure() {
    BootloaderState& s = m_boot;
    s.verdictPending = false;
    s.running = false;
    m_strNote = kNoteFailed;
    UpdateData(false);
    // The dialogs add what to do next to the failure's own words.
    const std::string advice = AdviceOf(FlowKind::McuBootloader);
    m_host.MessageBox(m_bOutcomeBoxes ? OutcomeText(s.failure, advice) : s.failure, kCaptionIspBlank);
    Report(FlowEvent::BootloaderDone, s.timedOut ? 2 : 0, s.failureAddress, s.failure);
    // The box above is the operator's (with the advice where outcome boxes are on).
    ReportOutcome(s.timedOut ? OutcomeKind::TimedOut : OutcomeKind::Failed, FlowKind::McuBootloader, s.failure,
                  advice, true);
}

// Read Memory of the next block of the written area: 11 EE; the ACK brings
// the address, the next ACK the count.
void CLoaderDlg::RequestReadBlock() {
    BootloaderState& s = m_boot;
    s.verifyCount = std::min(kReadBlockMax, s.verifyEnd - s.verifyAddress);
    s.subStep = 0;
    s.readBack.clear();
    BootWriteCommand(boot::kReadMemory);
    ArmBootAnswer(kVerifyAnswerMs);
}

void CLoaderDlg::VerifyFailed(std::string why, std::uint32_t address) {
    BootloaderState& s = m_boot;
    s.failure = std::move(why);
    s.failureAddress = address;
    s.active = 0;
    s.running = false;
    s.verdictPending = true;
    // Timer 10 closes the port and shows the failure, as after a write.
    m_host.SetTimer(TIMER_BOOT_TIMEOUT, m_bFastBoot ? kFastCloseMs : kPartAnswerMs);
}

// State 8: three ACKs (command, address, count), then the block's data.
void CLoaderDlg::BootVerifyAnswer(std::uint8_t b) {
    BootloaderState& s = m_boot;
    if (s.subStep < 3) {
        if (b != kAck) {
            VerifyFailed("The MCU bootloader refused to read the flash back at " + Hex32(s.verifyAddress) +
                             "; the written firmware could not be checked.",
                         s.verifyAddress);
            return;
        }
        if (s.subStep == 0) {
            std::uint8_t packet[kAddressPacketBytes];
            PutAddress(packet, s.verifyAddress);
            BootWrite(packet, sizeof packet);
        } else if (s.subStep == 1) {
            const auto n = static_cast<std::uint8_t>(s.verifyCount - 1);
            BootWrite({n, boot::Complement(n)});
        }
        ++s.subStep;
        ArmBootAnswer(kVerifyAnswerMs);
        return;
    }
    // Data bytes, whatever their value.
    s.readBack.push_back(b);
    if (s.readBack.size() < s.verifyCount) return;
    for (std::uint32_t i = 0; i < s.verifyCount; ++i) {
        const std::uint32_t address = s.verifyAddress + i;
        if (s.readBack[i] != ExpectedAt(m_stream, address)) {
            VerifyFailed("The MCU flash differs from the firmware file at " + Hex32(address) +
                             "; please update it again.",
                         address);
            return;
        }
    }
    s.verifyAddress += s.verifyCount;
    if (s.verifyAddress < s.verifyEnd) {
        RequestReadBlock();
        return;
    }
    s.active = 0;
    ShowBootSucceeded();
    m_host.SetTimer(TIMER_BOOT_TIMEOUT, m_bFastBoot ? kFastCloseMs : kPartAnswerMs);
}

} // namespace quillet
