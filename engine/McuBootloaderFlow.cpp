#include "engine/McuBootloaderFlow.h"

#include <algorithm>
#include <cstdio>

#include "protocol/Bootloader.h"
#include "protocol/Counts.h"

namespace quillet {
namespace {

using boot::kAck;
using boot::kFlashBase;
using boot::kNack;
using boot::kSync;
constexpr std::uint32_t kReadBlockMax = 256;
constexpr std::size_t kAddressPacketBytes = 5;
constexpr std::size_t kCountPacketBytes = 2;

// A Write Memory piece: 128 bytes, sent as its length byte (count - 1), the
// bytes and their XOR.
constexpr std::uint8_t kPieceLengthByte = kMcuPieceBytes - 1;
constexpr std::uint32_t kDataPacketBytes = kMcuPieceBytes + 2;
constexpr std::uint8_t kFill = 0xFF;  // past the image's end, as the erased flash reads

// The sync timer: the port's reopen, then a sync byte each tick.
constexpr unsigned kSyncPeriodMs = 300;
constexpr unsigned kFastSyncPeriodMs = 50;  // the same, paced by the bootloader's answers
// Blocking pauses before a write.
constexpr unsigned kAfterSyncMs = 100;     // from the sync answer to Get
constexpr unsigned kCommandGapMs = 50;     // before the queries and their parts
constexpr unsigned kShortGapMs = 10;       // before the last Read Memory part and the erase
// Delays of the send timer and limits of the answer timer, whose tick
// stands in for a missing ACK.
constexpr unsigned kEraseCodesDelayMs = 10;
constexpr unsigned kEraseAnswerMs = 200;
constexpr unsigned kFirstWriteDelayMs = 2000;  // the mass erase takes its time
constexpr unsigned kFirstWriteAnswerMs = 3500;
constexpr unsigned kPiecePartDelayMs = 15;     // address and data packets
constexpr unsigned kNextPieceDelayMs = 50;     // the next piece's write command
constexpr unsigned kPartAnswerMs = 225;        // also the close after the exchange
constexpr unsigned kVerifyAnswerMs = 1000;
// Paced by its answers: the answer timer closes the port this soon after the end.
constexpr unsigned kFastCloseMs = 1;
constexpr double kMsPerSecond = 1000.0;

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
    return offset < stream.size && offset < stream.Bytes().size() ? stream.Bytes()[offset] : kFill;
}

} // namespace

// ---- starting, ending and the timers ----------------------------------------------

void McuBootloaderFlow::Begin() {
    m_s.running = true;
    m_s.percent = 0;
    m_link.StartTimer(FlowTimer::BootSync, m_settings.pacedByAnswers ? kFastSyncPeriodMs : kSyncPeriodMs);
}

void McuBootloaderFlow::Reset() {
    m_s.Reset();
    m_link.StopTimer(FlowTimer::BootSync);
    m_link.StopTimer(FlowTimer::BootSend);
    m_link.StopTimer(FlowTimer::BootAnswer);
    m_link.StopTimer(FlowTimer::BootSilence);
}

void McuBootloaderFlow::VerdictTold() {
    m_s.verdictPending = false;
    m_s.running = false;
}

McuBootloaderFlow::Step McuBootloaderFlow::OnTimer(FlowTimer timer) {
    switch (timer) {
    case FlowTimer::BootSync: return SyncTick();
    case FlowTimer::BootSend: return SendTick();
    case FlowTimer::BootAnswer: return AnswerTick();
    case FlowTimer::BootSilence: return SilenceTick();
    case FlowTimer::SearchScan:
    case FlowTimer::EraseTick:
    case FlowTimer::Timeout:
    case FlowTimer::Close: break;  // other flows' and the engine's, not this flow's
    }
    return Step::None;
}

McuBootloaderFlow::Step McuBootloaderFlow::SyncTick() {
    if (m_s.active == 1)
        Write(&kSync, 1);
    else
        Start();
    return Step::None;
}

void McuBootloaderFlow::Start() {
    m_s.active = 1;
    SetState(BootState::Sync);
    m_s.failure.clear();
    m_s.failureAddress = 0;
    m_s.verdictPending = false;
    m_s.timedOut = false;
    m_s.silenceArmed = false;
    Write(&kSync, 1);
    ArmAnswer(0);
    m_link.Tell(FlowEvent::BootloaderStarted);
}

McuBootloaderFlow::Step McuBootloaderFlow::SendTick() {
    Write(m_s.tx, m_s.pendingLength);
    m_link.StopTimer(FlowTimer::BootSend);
    return Step::None;
}

McuBootloaderFlow::Step McuBootloaderFlow::AnswerTick() {
    m_link.StopTimer(FlowTimer::BootAnswer);
    if (m_s.active != 1) return m_s.verdictPending ? Step::Failed : Step::Closed;
    // The last piece or the read-back was never answered, or, paced by its
    // answers, the step's answer did not come.
    const bool paced = m_settings.pacedByAnswers;
    if (m_s.state == BootState::AwaitLastAck || m_s.state == BootState::Verify || paced) {
        RecordUnanswered();
        Fail(paced);
        return Step::Failed;
    }
    // A missing answer is bridged as if the bootloader had acknowledged.
    m_s.ackFromTimer = true;
    const Step step = Answer(kAck);
    m_s.ackFromTimer = false;
    return step;
}

McuBootloaderFlow::Step McuBootloaderFlow::SilenceTick() {
    m_link.StopTimer(FlowTimer::BootSilence);
    m_s.silenceArmed = false;
    if (m_s.active != 1 || m_settings.pacedByAnswers) return Step::None;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(m_settings.silenceLimitMs) / kMsPerSecond);
    const std::string silent = std::string("The MCU bootloader has sent nothing for ") + seconds + " s. ";
    // The first part it did not acknowledge: recorded when the answer timer
    // stood in for its answer, or else the step it is silent at.
    RecordUnanswered();
    m_s.failure = silent + m_s.failure;
    Fail(true);
    return Step::Failed;
}

// The exchange ends now with the failure recorded (Step::Failed);
// `timedOut`: the bootloader stopped answering, and nothing more goes out.
void McuBootloaderFlow::Fail(bool timedOut) {
    m_s.active = 0;
    if (!timedOut) return;
    m_s.timedOut = true;
    m_link.StopTimer(FlowTimer::BootSync);
    m_link.StopTimer(FlowTimer::BootSend);
    m_link.StopTimer(FlowTimer::BootAnswer);
}

// ---- writes and their pacing ---------------------------------------------------------

// Every byte to the bootloader goes out here. The silence timer runs from
// the oldest request it has not answered with any byte (the answer timer
// alone would bridge every missing answer and write the rest of the image
// blind); a pause of the flow's own, such as the wait after the erase, is
// not silence.
void McuBootloaderFlow::Write(const std::uint8_t* bytes, std::size_t length) {
    m_link.Send(bytes, length);
    if (m_settings.pacedByAnswers || !m_settings.silenceLimitMs || m_s.silenceArmed || m_s.active != 1) return;
    m_s.silenceArmed = true;
    m_link.StartTimer(FlowTimer::BootSilence, m_settings.silenceLimitMs);
}

// A bootloader command: the opcode and its complement.
void McuBootloaderFlow::WriteCommand(std::uint8_t opcode) {
    const auto bytes = boot::CommandBytes(opcode);
    Write(bytes.data(), bytes.size());
}

void McuBootloaderFlow::WriteAddress(std::uint32_t address) {
    std::uint8_t packet[kAddressPacketBytes];
    PutAddress(packet, address);
    Write(packet, sizeof packet);
}

// The count of a Read Memory: (count - 1) and its complement.
void McuBootloaderFlow::WriteCount(std::uint32_t count) {
    const auto n = static_cast<std::uint8_t>(count - 1);
    const std::uint8_t packet[kCountPacketBytes] = {n, boot::Complement(n)};
    Write(packet, sizeof packet);
}

// The flow's own blocking pause before a write (none when paced by the
// bootloader's answers).
void McuBootloaderFlow::Pause(unsigned ms) {
    if (!m_settings.pacedByAnswers) m_link.Pause(ms);
}

// The answer timer for what was just sent: `ms` on the flow's own pacing
// (0: the flow sets no limit there), the step time-out when paced by the
// answers.
void McuBootloaderFlow::ArmAnswer(unsigned ms) {
    if (m_settings.pacedByAnswers)
        m_link.StartTimer(FlowTimer::BootAnswer, m_settings.stepTimeoutMs);
    else if (ms)
        m_link.StartTimer(FlowTimer::BootAnswer, ms);
}

// Puts the first `length` bytes of the transmit buffer out with the send
// timer (paced by the answers: at once).
void McuBootloaderFlow::ArmSend(std::uint32_t length, unsigned delayMs) {
    m_s.pendingLength = length;
    if (m_settings.pacedByAnswers)
        SendTick();
    else
        m_link.StartTimer(FlowTimer::BootSend, delayMs);
}

void McuBootloaderFlow::QueuePacket(std::uint8_t first, std::uint8_t second, unsigned delayMs) {
    m_s.tx[0] = first;
    m_s.tx[1] = second;
    ArmSend(kCountPacketBytes, delayMs);
}

// Paced by its answers: the exchange ends now with the failure recorded.
void McuBootloaderFlow::EndOnFailure() {
    m_s.active = 0;
    m_s.verdictPending = true;
    m_link.StopTimer(FlowTimer::BootSend);
    m_link.StartTimer(FlowTimer::BootAnswer, kFastCloseMs);
}

// The exchange is over: Done now, or the failure when the answer timer
// closes the port (so the failure's box never holds the close up).
McuBootloaderFlow::Step McuBootloaderFlow::EndExchange() {
    m_s.active = 0;
    m_s.running = false;
    // Paced by the answers nothing is waited for: the port closes now.
    if (m_settings.pacedByAnswers) m_link.StartTimer(FlowTimer::BootAnswer, kFastCloseMs);
    if (m_s.failure.empty()) return Step::Done;
    m_s.verdictPending = true;
    return Step::None;
}

// ---- what went wrong ------------------------------------------------------------------

// Keeps the first part that the bootloader did not acknowledge itself.
void McuBootloaderFlow::RecordUnacked(bool erase, std::uint32_t address) {
    if (!m_s.failure.empty()) return;
    m_s.failureAddress = address;
    m_s.failure = erase ? "The MCU bootloader did not acknowledge the flash erase at " + Hex32(address) +
                              ". The firmware was not written; please update it again."
                        : "The MCU bootloader did not acknowledge the write at " + Hex32(address) +
                              ". The firmware was not written completely; please update it again.";
}

// The step whose answer did not come, unless an earlier one was already
// left unacknowledged.
void McuBootloaderFlow::RecordUnanswered() {
    BootloaderState& s = m_s;
    if (s.state == BootState::Erase) {
        RecordUnacked(true, kFlashBase);
    } else if (s.state == BootState::Write || s.state == BootState::AwaitLastAck) {
        RecordUnacked(false,
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

void McuBootloaderFlow::SetState(BootState state) {
    m_s.state = state;
    m_s.subStep = 0;
    m_s.readingData = 0;
}

// ---- the exchange, state by state -------------------------------------------------

McuBootloaderFlow::Step McuBootloaderFlow::OnByte(std::uint8_t b) {
    // Any byte from the bootloader answers the requests so far.
    if (m_s.silenceArmed) {
        m_s.silenceArmed = false;
        m_link.StopTimer(FlowTimer::BootSilence);
    }
    return Answer(b);
}

// A byte, or the answer timer's stand-in ACK, to the state it is in.
McuBootloaderFlow::Step McuBootloaderFlow::Answer(std::uint8_t b) {
    using Handler = Step (McuBootloaderFlow::*)(std::uint8_t);
    // By BootState, 0 to 8.
    static constexpr Handler kAnswers[] = {
        &McuBootloaderFlow::SyncAnswer,  &McuBootloaderFlow::QueryAnswer,   &McuBootloaderFlow::QueryAnswer,
        &McuBootloaderFlow::ReadAnswer,  &McuBootloaderFlow::ReadAnswer,    &McuBootloaderFlow::EraseAnswer,
        &McuBootloaderFlow::WriteAnswer, &McuBootloaderFlow::LastAckAnswer, &McuBootloaderFlow::VerifyAnswer,
    };
    return (this->*kAnswers[static_cast<std::size_t>(m_s.state)])(b);
}

// State 0: the first answer to the repeated sync byte, ACK or NACK (a
// bootloader synchronised earlier says NACK), stops the sync timer.
McuBootloaderFlow::Step McuBootloaderFlow::SyncAnswer(std::uint8_t b) {
    if (b != kAck && b != kNack) return Step::None;
    Pause(kAfterSyncMs);
    WriteCommand(boot::kGet);
    m_link.StopTimer(FlowTimer::BootSync);
    ArmAnswer(0);
    SetState(BootState::Get);
    return Step::None;
}

// States 1 and 2, Get and Get ID: two ACKs each (the reply's data bytes
// between them are ignored), then the next command.
McuBootloaderFlow::Step McuBootloaderFlow::QueryAnswer(std::uint8_t b) {
    if (b != kAck) return Step::None;
    if (m_s.subStep == 0) {
        m_s.subStep = 1;
        return Step::None;
    }
    Pause(kCommandGapMs);
    if (m_s.state == BootState::Get) {
        WriteCommand(boot::kGetId);
        SetState(BootState::GetId);
    } else {
        WriteCommand(boot::kReadMemory);
        SetState(BootState::ReadFlash);
    }
    ArmAnswer(0);
    return Step::None;
}

// States 3 and 4, the Read Memory queries. Once the data bytes arrive they
// are counted whatever their value: an ACK byte among them is data.
// A byte other than ACK before them counts the same way.
McuBootloaderFlow::Step McuBootloaderFlow::ReadAnswer(std::uint8_t b) {
    BootloaderState& s = m_s;
    const ReadQuery& q = s.state == BootState::ReadFlash ? kReadFlash : kReadFlashSize;
    if (s.readingData || b != kAck) {
        if (s.subStep < q.count - 1) {
            ++s.subStep;
            return Step::None;
        }
        Pause(q.nextGapMs);
        WriteCommand(q.next);
        SetState(q.nextState);
        ArmAnswer(0);
        return Step::None;
    }
    if (s.subStep == 0) {
        s.subStep = 1;
        Pause(kCommandGapMs);
        WriteAddress(q.address);
        ArmAnswer(0);
    } else if (s.subStep == 1) {
        s.subStep = 2;
        Pause(q.countGapMs);
        WriteCount(q.count);
        ArmAnswer(0);
    } else {
        s.subStep = 0;
        s.readingData = 1;
    }
    return Step::None;
}

// State 5, the global erase: 43 BC acknowledged, then FF 00; its ACK starts
// the first write command after the erase has had its time.
McuBootloaderFlow::Step McuBootloaderFlow::EraseAnswer(std::uint8_t b) {
    BootloaderState& s = m_s;
    const bool ack = b == kAck;
    if ((ack && s.ackFromTimer) || b == kNack) RecordUnacked(true, kFlashBase);
    if (b == kNack && m_settings.pacedByAnswers) {
        EndOnFailure();
        return Step::Erase;
    }
    if (!ack) return Step::Erase;
    if (s.subStep == 0) {
        s.subStep = 1;
        // An answer of the bootloader's own, not one the timer stood in for.
        if (!s.ackFromTimer) {
            s.eraseTaken = true;
            m_link.Tell(FlowEvent::BootloaderErasing);
        }
        QueuePacket(boot::kEraseAllPages, boot::Complement(boot::kEraseAllPages), kEraseCodesDelayMs);
        ArmAnswer(kEraseAnswerMs);
        return Step::Erase;
    }
    const auto command = boot::CommandBytes(boot::kWriteMemory);
    QueuePacket(command[0], command[1], kFirstWriteDelayMs);
    ArmAnswer(kFirstWriteAnswerMs);
    s.writeAddress = kFlashBase;
    m_image.position = 0;
    SetState(BootState::Write);
    return Step::Erase;
}

// State 6, Write Memory once per piece: the command's ACK brings the
// address packet, the address's ACK the data packet, the data's ACK the
// next piece's command.
McuBootloaderFlow::Step McuBootloaderFlow::WriteAnswer(std::uint8_t b) {
    BootloaderState& s = m_s;
    const bool ack = b == kAck;
    // The part this byte answers: the write command of the next piece, or
    // the address or data of the piece just addressed.
    const std::uint32_t piece = s.subStep == 0 ? s.writeAddress : s.writeAddress - kMcuPieceBytes;
    if ((ack && s.ackFromTimer) || b == kNack) RecordUnacked(false, piece);
    if (b == kNack && m_settings.pacedByAnswers) {
        EndOnFailure();
        return Step::None;
    }
    if (!ack) return Step::None;
    if (s.subStep == 0) {
        s.subStep = 1;
        PutAddress(s.tx, s.writeAddress);
        ArmSend(kAddressPacketBytes, kPiecePartDelayMs);
        s.writeAddress += kMcuPieceBytes;
        ArmAnswer(kPartAnswerMs);
    } else if (s.subStep == 1) {
        s.subStep = 2;
        return SendDataPacket();
    } else {
        s.subStep = 0;
        const auto command = boot::CommandBytes(boot::kWriteMemory);
        QueuePacket(command[0], command[1], kNextPieceDelayMs);
        ArmAnswer(kPartAnswerMs);
    }
    return Step::None;
}

// Data packet: the length byte (128 bytes follow), the piece from the
// image position on, the XOR of the 129 bytes; an image that ends early is
// filled with 0xFF.
McuBootloaderFlow::Step McuBootloaderFlow::SendDataPacket() {
    BootloaderState& s = m_s;
    StreamState& image = m_image;
    s.tx[0] = kPieceLengthByte;
    const std::uint32_t size = image.size;
    const std::uint32_t limit = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(image.Bytes().size()));
    std::uint32_t next = image.position % kMcuPieceBytes;  // next slot to fill
    while (next < kMcuPieceBytes && image.position < limit) {
        s.tx[1 + next] = image.Bytes()[image.position];
        ++image.position;
        ++next;
    }
    const bool ended = image.position >= limit;
    std::fill(s.tx + 1 + next, s.tx + 1 + kMcuPieceBytes, kFill);
    // The last piece shows 100 % only once the bootloader has acknowledged
    // it (LastAckAnswer): an image that was not written never does.
    if (!ended) s.percent = static_cast<float>(image.position) / static_cast<float>(size) * 100.0f;
    std::uint8_t x = 0;
    for (std::uint32_t i = 0; i <= kMcuPieceBytes; ++i) x = static_cast<std::uint8_t>(x ^ s.tx[i]);
    s.tx[kMcuPieceBytes + 1] = x;
    ArmSend(kDataPacketBytes, kPiecePartDelayMs);
    if (!ended) {
        ArmAnswer(kPartAnswerMs);
        return Step::Progress;
    }
    // The answer timer is not re-armed: the one armed at the address packet
    // closes the port. The verdict waits for the bootloader's own
    // acknowledgement of this last piece (paced by the answers, for the
    // step time-out). When that timer has just stood in for the address's
    // ACK it is gone, and a new one closes the port instead: else the
    // exchange would wait for ever for a close no timer brings.
    const bool closerSpent = s.ackFromTimer;
    SetState(BootState::AwaitLastAck);
    if (m_settings.pacedByAnswers || closerSpent) ArmAnswer(kPartAnswerMs);
    return Step::LastPieceSent;
}

// State 7: the last piece's own answer decides, or reading the flash back
// when the operator asked for it.
McuBootloaderFlow::Step McuBootloaderFlow::LastAckAnswer(std::uint8_t b) {
    BootloaderState& s = m_s;
    if (b == kNack) {
        RecordUnacked(false, s.writeAddress - kMcuPieceBytes);
        return EndExchange();
    }
    if (b != kAck) return Step::None;
    if (!s.failure.empty()) return EndExchange();
    s.percent = 100;
    if (!m_settings.verifyAfterWrite) return EndExchange();
    // Read the written area back before the verdict; the close by the
    // answer timer waits until then.
    SetState(BootState::Verify);
    s.verifyAddress = kFlashBase;
    s.verifyEnd = s.writeAddress;
    RequestReadBlock();
    return Step::Progress;
}

// ---- the read-back ------------------------------------------------------------------

// Read Memory of the next block of the written area: 11 EE; the ACK brings
// the address, the next ACK the count.
void McuBootloaderFlow::RequestReadBlock() {
    BootloaderState& s = m_s;
    s.verifyCount = std::min(kReadBlockMax, s.verifyEnd - s.verifyAddress);
    s.subStep = 0;
    s.readBack.clear();
    WriteCommand(boot::kReadMemory);
    ArmAnswer(kVerifyAnswerMs);
}

void McuBootloaderFlow::VerifyFailed(std::string why, std::uint32_t address) {
    m_s.failure = std::move(why);
    m_s.failureAddress = address;
    m_s.active = 0;
    m_s.running = false;
    m_s.verdictPending = true;
    // The answer timer closes the port and the failure is told, as after a write.
    m_link.StartTimer(FlowTimer::BootAnswer, m_settings.pacedByAnswers ? kFastCloseMs : kPartAnswerMs);
}

// State 8: three ACKs (command, address, count), then the block's data.
McuBootloaderFlow::Step McuBootloaderFlow::VerifyAnswer(std::uint8_t b) {
    BootloaderState& s = m_s;
    if (s.subStep >= 3) {
        // Data bytes, whatever their value.
        s.readBack.push_back(b);
        return s.readBack.size() < s.verifyCount ? Step::None : CheckReadBlock();
    }
    if (b != kAck) {
        VerifyFailed("The MCU bootloader refused to read the flash back at " + Hex32(s.verifyAddress) +
                         "; the written firmware could not be checked.",
                     s.verifyAddress);
        return Step::None;
    }
    if (s.subStep == 0)
        WriteAddress(s.verifyAddress);
    else if (s.subStep == 1)
        WriteCount(s.verifyCount);
    ++s.subStep;
    ArmAnswer(kVerifyAnswerMs);
    return Step::None;
}

// A block read back whole: compared with the image, then the next block
// or the verdict.
McuBootloaderFlow::Step McuBootloaderFlow::CheckReadBlock() {
    BootloaderState& s = m_s;
    for (std::uint32_t i = 0; i < s.verifyCount; ++i) {
        const std::uint32_t address = s.verifyAddress + i;
        if (s.readBack[i] != ExpectedAt(m_image, address)) {
            VerifyFailed("The MCU flash differs from the firmware file at " + Hex32(address) +
                             "; please update it again.",
                         address);
            return Step::None;
        }
    }
    s.verifyAddress += s.verifyCount;
    if (s.verifyAddress < s.verifyEnd) {
        RequestReadBlock();
        return Step::None;
    }
    s.active = 0;
    s.running = false;
    m_link.StartTimer(FlowTimer::BootAnswer, m_settings.pacedByAnswers ? kFastCloseMs : kPartAnswerMs);
    return Step::Verified;
}

// ---- progress -----------------------------------------------------------------------

McuBootloaderFlow::Phase McuBootloaderFlow::CurrentPhase() const {
    switch (m_s.state) {
    case BootState::Erase: return m_s.eraseTaken ? Phase::Erasing : Phase::EraseAsked;
    case BootState::Write: return Phase::Writing;
    case BootState::AwaitLastAck: return Phase::LastPiece;
    case BootState::Verify: return Phase::Verifying;
    default: return Phase::BeforeErase;
    }
}

std::uint32_t McuBootloaderFlow::PiecesSent() const {
    return static_cast<std::uint32_t>(CeilDiv(m_image.position, kMcuPieceBytes));
}

std::uint32_t McuBootloaderFlow::PieceCount() const {
    return static_cast<std::uint32_t>(CeilDiv(m_image.size, kMcuPieceBytes));
}

namespace {

// The main-MCU update's words by the flow's phase: its stage and where it
// stood (null: counted in pieces), and whether every piece is out.
struct BootPhaseWords {
    McuBootloaderFlow::Phase phase;
    const char* stage;
    const char* progress;
    bool allSent;
};
constexpr BootPhaseWords kBootPhaseWords[] = {
    {McuBootloaderFlow::Phase::BeforeErase, kStageSyncing, "before the flash was erased", false},
    // Syncing until the bootloader has taken the erase command.
    {McuBootloaderFlow::Phase::EraseAsked, kStageSyncing, "while the flash was being erased", false},
    {McuBootloaderFlow::Phase::Erasing, kStageErasing, "while the flash was being erased", false},
    {McuBootloaderFlow::Phase::Writing, kStageWriting, nullptr, false},
    {McuBootloaderFlow::Phase::LastPiece, kStageWriting, "before its last piece was acknowledged", true},
    {McuBootloaderFlow::Phase::Verifying, kStageVerifying, "while the flash was read back", true},
};

} // namespace

FlowSnapshot McuBootloaderFlow::Snapshot() const {
    FlowSnapshot f;
    f.kind = FlowKind::McuBootloader;
    f.what = "the main-MCU update";
    f.writing = true;
    const Phase phase = CurrentPhase();
    const auto* words = std::find_if(std::begin(kBootPhaseWords), std::end(kBootPhaseWords),
                                     [phase](const BootPhaseWords& w) { return w.phase == phase; });
    f.stage = words->stage;
    if (words->progress) {
        f.unit = "pieces";
        f.total = PieceCount();
        f.done = words->allSent ? f.total : 0;
        f.progress = words->progress;
    } else {
        f.Count(PiecesSent(), PieceCount(), "pieces");
    }
    return f;
}

} // namespace quillet
